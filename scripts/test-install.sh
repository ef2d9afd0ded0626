#!/usr/bin/env bash
# Checks that an installed velfiledb serves a program built outside this tree.
#
#   scripts/test-install.sh prefix BUILD      installs BUILD (cmake --install)
#                                             under a fresh temporary prefix
#   scripts/test-install.sh deb FILE.deb      unpacks the Debian package into
#                                             a temporary directory (no root)
#
# Against that tree alone: the libraries' versions, SONAMEs and links; no
# test program installed; the installed headers compile on their own; the
# examples build once with find_package and once with pkg-config, insert a
# certificate and read it back (directly, and through the library manager
# of the companion library); the installed velkdb runs and reads what they
# wrote; its manual page formats cleanly; its bash completion completes
# from its help.
set -uo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-}
what=${2:-}
if [[ $mode != prefix && $mode != deb ]] || [[ -z $what ]]; then
  echo "usage: $0 prefix BUILD | deb FILE.deb" >&2
  exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/velfiledb-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# check NAME COMMAND...: runs COMMAND in a subshell that stops at the first
# failing command; its output is shown when it fails.
check() {
  local name=$1 status
  shift
  (
    set -e
    "$@"
  ) >"$work/check.log" 2>&1
  status=$?
  if [[ $status -eq 0 ]]; then
    passed=$((passed + 1))
    echo "  ok    $name"
  else
    failed=$((failed + 1))
    echo "  FAIL  $name"
    sed 's/^/        /' "$work/check.log" | tail -n 40
  fi
}

fail() {
  echo "$*"
  exit 1
}

# --- the tree under test -----------------------------------------------------------
pkgconfig=(pkg-config)
if [[ $mode == prefix ]]; then
  root=$work/prefix
  echo "test-install: cmake --install $what --prefix $root"
  cmake --install "$what" --prefix "$root" >"$work/install.log" 2>&1 || {
    cat "$work/install.log"
    exit 1
  }
else
  deb=$what
  echo "test-install: dpkg-deb -x $deb"
  dpkg-deb -x "$deb" "$work/deb" || exit 1
  root=$work/deb/usr
  # The .pc files name /usr: point them at the unpacked tree.
  pkgconfig=(pkg-config "--define-variable=prefix=$root")

  package_fields() {
    dpkg-deb -f "$deb" Package Version Maintainer Depends Description >"$work/fields"
    cat "$work/fields"
    grep -qx "Package: velfiledb" "$work/fields" || fail "package name"
    grep -q "^Version: [0-9]" "$work/fields" || fail "version"
    grep -qx "Maintainer: velfiledb developers" "$work/fields" || fail "maintainer"
    grep -q "^Depends:.*libssl3" "$work/fields" || fail "no dependency on libssl3"
    grep -q "^Description: ." "$work/fields" || fail "description"
  }
  check "package metadata (name, version, maintainer, depends on libssl3)" package_fields

  only_usr() {
    local outside
    outside=$(cd "$work/deb" && find . -mindepth 1 -maxdepth 1 ! -name usr)
    [[ -z $outside ]] || fail "files outside /usr: $outside"
  }
  check "package installs under /usr only" only_usr
fi

libdir=$(dirname "$(find "$root" -name 'libvelfiledb_64.so' | head -n 1)")
[[ -d $libdir && $libdir == "$root"/* ]] || {
  echo "test-install: no libvelfiledb_64.so under $root"
  exit 1
}
bindir=$root/bin
incdir=$root/include/velfiledb

# --- layout --------------------------------------------------------------------------
libraries() {
  local lib real soname
  for lib in velcert velfiledb; do
    real=$(readlink -f "$libdir/lib${lib}_64.so")
    [[ $real == "$libdir"/lib${lib}_64.so.*.*.* ]] || fail "lib${lib}_64.so does not lead to a versioned file: $real"
    soname=$(readelf -d "$real" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
    [[ $soname =~ ^lib${lib}_64\.so\.[0-9]+$ ]] || fail "SONAME of $real: '$soname'"
    [[ -L $libdir/$soname && $(readlink -f "$libdir/$soname") == "$real" ]] || fail "no link $soname -> $real"
    echo "lib${lib}_64.so -> $(readlink "$libdir/lib${lib}_64.so"), SONAME $soname"
  done
}
check "libraries: versioned file, SONAME link, development link" libraries

nothing_else() {
  local programs extra
  programs=$(ls "$bindir")
  [[ $programs == velkdb ]] || fail "programs installed: $programs"
  extra=$(find "$root" \( -iname '*test*' -o -iname '*bench*' -o -iname '*gtest*' -o -iname '*fuzz*' -o -iname '*corpus*' \) -print)
  [[ -z $extra ]] || fail "installed, but for this tree only: $extra"
  [[ -f $root/share/man/man1/velkdb.1 ]] || fail "no manual page"
  [[ -f $root/share/bash-completion/completions/velkdb ]] || fail "no bash completion"
  [[ -f $libdir/cmake/velfiledb/velfiledbConfig.cmake && -f $libdir/cmake/velfiledb/velfiledbConfigVersion.cmake ]] ||
    fail "no CMake package"
  [[ -f $libdir/pkgconfig/velfiledb.pc && -f $libdir/pkgconfig/velcert.pc ]] || fail "no pkg-config files"
}
check "only velkdb, the libraries and their development files are installed" nothing_else

# Every installed header, in one translation unit, with no include path but
# the installed one: whatever a public header includes was installed too.
headers_alone() {
  local h
  for h in "$incdir"/*.h; do echo "#include \"$(basename "$h")\""; done >"$work/allheaders.cpp"
  echo "int main() { return 0; }" >>"$work/allheaders.cpp"
  [[ $(wc -l <"$work/allheaders.cpp") -gt 30 ]] || fail "only $(ls "$incdir" | wc -l) headers installed"
  c++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$incdir" "$work/allheaders.cpp"
}
check "installed headers compile with only the installed include directory" headers_alone

# --- the consumers -----------------------------------------------------------------------
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" \
  -subj /CN=www.example.test -outform DER -out "$work/cert.der" >"$work/openssl.log" 2>&1 || {
  cat "$work/openssl.log"
  exit 1
}
printf 'example password\n' >"$work/password"
chmod 600 "$work/password"

# uses_tree PROGRAM: every velfiledb library it loads comes from the tree.
uses_tree() {
  local name arrow path rest
  ldd "$1" | grep 'libvel' >"$work/ldd" || fail "$1 links no velfiledb library"
  while read -r name arrow path rest; do
    [[ $(dirname "$(readlink -f "$path")") == "$(readlink -f "$libdir")" ]] || fail "$1 loads $name from $path"
  done <"$work/ldd"
}

# consumer DIR: runs the examples built in DIR on a fresh database.
consumer() {
  local dir=$1 db=$1/db out
  uses_tree "$dir/velfiledb_example"
  uses_tree "$dir/velfiledb_loadbyname"
  [[ $(readelf -d "$dir/velfiledb_loadbyname") != *libvelfiledb_64* ]] || fail "velfiledb_loadbyname links libvelfiledb_64"

  out=$("$dir/velfiledb_example" "$db" "$work/cert.der" web-server) || fail "quickstart: $out"
  echo "$out"
  [[ $out == *"inserted record 1"*"found: yes"*"1  web-server"* ]] || fail "quickstart did not read its record back"
  "$dir/velfiledb_example" "$db" "$work/cert.der" web-server >"$work/again" 2>&1 && fail "a second insert under the label was taken"
  grep -q 0x8C245 "$work/again" || fail "second insert: $(cat "$work/again")"

  # Through the library manager: the module must come from the tree.
  out=$(LD_DEBUG=files "$dir/velfiledb_loadbyname" "$db" web-server 2>"$work/lddebug") || fail "loadbyname: $out"
  echo "$out"
  [[ $out == "found record 1 (web-server) through the library manager" ]] || fail "loadbyname: $out"
  grep -q "file=$libdir/libvelfiledb_64.so.*dynamically loaded by" "$work/lddebug" ||
    fail "module not loaded from $libdir: $(grep 'file=.*libvelfiledb' "$work/lddebug")"
  out=$("$dir/velfiledb_loadbyname" "$db" nobody) && fail "an unknown label was found"

  # The installed tool reads what the program wrote.
  uses_tree "$bindir/velkdb"
  out=$("$bindir/velkdb" list -d "$db" --password-file "$work/password" --format json) || fail "velkdb list: $out"
  [[ $out == *'"web-server"'* && $out == *'www.example.test'* ]] || fail "velkdb list: $out"
}

find_package_build() {
  cmake -S "$here/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$root" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
    -DCMAKE_BUILD_TYPE=Release &&
    grep -q "velfiledb_DIR:PATH=$libdir/cmake/velfiledb" "$work/cmake/CMakeCache.txt" &&
    cmake --build "$work/cmake" -j 2
}
check "find_package consumer builds against the tree" find_package_build
check "find_package consumer: insert, read back, load by name, velkdb reads it" consumer "$work/cmake"

# The version file takes 1.x requests and refuses 2.0.
version_file() {
  local want
  for want in 1.0 2.0; do
    mkdir -p "$work/version-$want"
    printf 'cmake_minimum_required(VERSION 3.16)\nproject(v LANGUAGES CXX)\nfind_package(velfiledb %s CONFIG REQUIRED)\n' \
      "$want" >"$work/version-$want/CMakeLists.txt"
    if cmake -S "$work/version-$want" -B "$work/version-$want/build" -DCMAKE_PREFIX_PATH="$root" >/dev/null 2>&1; then
      [[ $want == 1.0 ]] || fail "find_package(velfiledb $want) accepted this version"
    else
      [[ $want == 2.0 ]] || fail "find_package(velfiledb $want) refused"
    fi
  done
}
check "find_package version: 1.0 found, 2.0 refused" version_file

pkg_config_build() {
  PKG_CONFIG_PATH=$libdir/pkgconfig "${pkgconfig[@]}" --cflags --libs velfiledb
  mkdir -p "$work/pkgconfig"
  PKG_CONFIG_PATH=$libdir/pkgconfig make -C "$here/examples" --no-print-directory PKG_CONFIG="${pkgconfig[*]}" \
    OUT="$work/pkgconfig"
}
check "pkg-config consumer builds against the tree" pkg_config_build
check "pkg-config consumer: insert, read back, load by name, velkdb reads it" consumer "$work/pkgconfig"

# --- velkdb's manual page and completion ---------------------------------------------------
manual() {
  local warnings command page
  "$bindir/velkdb" --version
  warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$root/share/man/man1/velkdb.1" 2>&1)
  [[ -z $warnings ]] || fail "groff: $warnings"
  page=$(sed 's/\\-/-/g' "$root/share/man/man1/velkdb.1")
  for command in $("$bindir/velkdb" --help | awk '/^commands:/ {on = 1; next} on && NF == 0 {exit} on {print $1}'); do
    grep -q "^\.B $command\b" <<<"$page" ||
      echo "test-install: warning: velkdb.1 does not describe the command $command" >>"$work/warnings"
  done
  return 0
}
check "velkdb runs from the tree; its manual page formats without warnings" manual

completion() {
  # A shell of its own: compopt fails outside a completion, harmlessly.
  PATH="$bindir:$PATH" bash -c '
    source "$1"
    cd "$2"
    complete_words() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); _velkdb; echo "${COMPREPLY[*]}"; }
    commands=$(velkdb --help | awk "/^commands:/ {on = 1; next} on && NF == 0 {exit} on {print \$1}" | xargs)
    expect() { local want=$1; shift; local got; got=$(complete_words "$@"); [[ $got == "$want" ]] || { echo "[$*]: \"$got\", not \"$want\""; exit 1; }; }
    expect "$commands" velkdb ""
    expect "import" velkdb imp
    expect "verify verify-chain" velkdb verif
    expect "--out" velkdb export --ou
    expect "--new-password-file" velkdb passwd --new
    expect "3 4" velkdb create --version ""
    expect "keys keypairs crls" velkdb list --table ""
    expect "cert.der" velkdb import --password-file cert
    expect "cert.der" velkdb export -o cert
    expect "cert.der" velkdb export --out = cert
    expect "cert.der" velkdb import cert
    expect "pkgconfig/db" velkdb info -d pkgconfig/d
    expect "" velkdb show cert
  ' completion "$root/share/bash-completion/completions/velkdb" "$work"
}
check "bash completion: commands and options from velkdb's help, file names for files" completion

# A command that velkdb has and its manual page not yet fails nothing.
[[ -f $work/warnings ]] && cat "$work/warnings"
echo "test-install ($mode): $passed passed, $failed failed"
[[ $failed -eq 0 ]]
