#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, and only
# those that are missing, so that a fresh machine needs nothing by hand.
set -euo pipefail

# libbenchmark-dev and libsqlite3-dev serve `make bench` only (SQLite is the
# peer the benchmarks compare with); the library and its tests need neither.
# pkgconf, dpkg-dev (dpkg-shlibdeps), file and groff-base serve the install
# and package test (make test-install, make package).  libcli11-dev and
# nlohmann-json3-dev are velkdb's command line and JSON, header-only: the
# build needs them, the installed package does not.
packages=(cmake g++ make libssl-dev libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev openssl ca-certificates
          clang libclang-rt-14-dev python3 pkgconf dpkg-dev file groff-base libcli11-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
