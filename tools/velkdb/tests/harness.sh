# harness.sh -- what the velkdb scripts share: a private working directory,
# a clean environment, and the checks that count passes and failures.
#
#   source "$(dirname "$0")/harness.sh" NAME PATH/TO/velkdb
#
# sets VELKDB (the binary, absolute) and WORK (the working directory, the
# current one, removed at exit with what is in it, as is every path added
# to HARNESS_CLEANUP); `finish` prints the counts and gives the script's
# exit status.
set -u
umask 022
HARNESS_NAME=$1
HARNESS_OUTER_TMPDIR=${TMPDIR:-/tmp}
VELKDB=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/velkdb-$HARNESS_NAME-XXXXXX")
HARNESS_CLEANUP=("$WORK")
trap 'rm -rf "${HARNESS_CLEANUP[@]}"' EXIT
cd "$WORK" || exit 1
# The tool's temporary directories (a stopped passwd leaves its own) go too.
mkdir tmp && export TMPDIR=$WORK/tmp
unset VELKDB_PASSWORD VELKDB_NEW_PASSWORD VELKDB_IMPORT_PASSWORD VELKDB_EXPORT_PASSWORD VELKDB_DB VELKDB_TEST_CRASH \
  OPENSSL_MODULES
export VELFILEDB_SYNC=off

passed=0
failed=0
skipped=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
skip() { skipped=$((skipped + 1)); echo "SKIP: $*"; }
have() { command -v "$1" >/dev/null 2>&1; }
check() {  # check DESCRIPTION COMMAND...: the command succeeds
  local what=$1; shift
  if "$@" >out.txt 2>err.txt; then ok; else bad "$what (exit $?)"; sed 's/^/    /' out.txt err.txt | head -20; return 1; fi
}
# says / warns DESCRIPTION TEXT COMMAND...: the command succeeds with TEXT in
# its standard output / standard error.
says() { local what=$1 text=$2; shift 2; check "$what" "$@" && contains "$what" out.txt "$text"; }
warns() { local what=$1 text=$2; shift 2; check "$what" "$@" && contains "$what" err.txt "$text"; }
status_is() {  # status_is DESCRIPTION STATUS COMMAND...: exits STATUS, nothing on standard error
  local what=$1 status=$2; shift 2
  "$@" >out.txt 2>err.txt
  local got=$?
  if [ "$got" -ne "$status" ]; then bad "$what: exit $got, wanted $status"; sed 's/^/    /' out.txt err.txt | head -10; return; fi
  if [ -s err.txt ]; then bad "$what: wrote to standard error"; sed 's/^/    /' err.txt | head -5; return; fi
  ok
}
# fails_with DESCRIPTION STATUS ERRNUM COMMAND...: exits STATUS with exactly
# one line on standard error naming error ERRNUM.
fails_with() {
  local what=$1 status=$2 num=$3; shift 3
  "$@" >out.txt 2>err.txt
  local got=$?
  if [ "$got" -ne "$status" ]; then bad "$what: exit $got, wanted $status"; sed 's/^/    /' err.txt | head -5; return 1; fi
  if [ "$(wc -l <err.txt)" -ne 1 ]; then bad "$what: stderr is not one line"; sed 's/^/    /' err.txt; return 1; fi
  if ! grep -q "^velkdb: error $num (" err.txt; then bad "$what: wanted error $num, got: $(cat err.txt)"; return 1; fi
  ok
}
# refuses DESCRIPTION STATUS ERRNUM TEXT COMMAND...: fails_with, the error
# line holding TEXT.
refuses() {
  local what=$1 status=$2 num=$3 text=$4; shift 4
  fails_with "$what" "$status" "$num" "$@" && contains "$what" err.txt "$text"
}
contains() {  # contains DESCRIPTION FILE TEXT
  if grep -qF -- "$3" "$2"; then ok; else bad "$1: \"$3\" not in $2"; sed 's/^/    /' "$2" | head -20; fi
}
lacks() {  # lacks DESCRIPTION FILE TEXT
  if grep -qF -- "$3" "$2"; then bad "$1: \"$3\" in $2"; sed 's/^/    /' "$2" | head -20; else ok; fi
}
# ecreq ARGS...: `openssl req` with a new P-256 key kept in the clear (ARGS
# give -keyout, -subj, -out, and -x509 for a self-signed certificate).
ecreq() { openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "$@" 2>/dev/null; }
# cacnf NAME [LINE...]: NAME.cnf, an `openssl ca` configuration kept in the
# directory NAME (an empty index, serials from 05, CRL numbers from 01) that
# takes any subject with a common name; LINEs go into its section (such as
# "x509_extensions = v3ca" for a CA certificate).
cacnf() {
  local name=$1; shift
  mkdir -p "$name" && : >"$name/index.txt" && echo 05 >"$name/serial"
  [ -s "$name/crlnumber" ] || echo 01 >"$name/crlnumber"
  cat >"$name.cnf" <<CNF
[ ca ]
default_ca = CA_default
[ anything ]
commonName = supplied
organizationName = optional
[ v3ca ]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ CA_default ]
database = $WORK/$name/index.txt
crlnumber = $WORK/$name/crlnumber
serial = $WORK/$name/serial
new_certs_dir = $WORK/$name
default_md = sha256
default_crl_days = 30
policy = anything
unique_subject = no
CNF
  [ $# -eq 0 ] || printf '%s\n' "$@" >>"$name.cnf"
}
gencrl() {  # gencrl KEY CERT OUT: an empty CRL of the CA CERT, valid for 30 days
  cacnf ca
  openssl ca -config ca.cnf -gencrl -keyfile "$1" -cert "$2" -out "$3" 2>/dev/null
}
# hold FILE: another process holds FILE's write lock, as a writer does,
# until `release` (and only then, however slowly velkdb starts).
hold() {
  rm -f held
  python3 - "$1" <<'PY' &
import fcntl, os, struct, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, 0, 0, 1, 0))
open("held", "w").close()
time.sleep(60)
PY
  holder=$!
  for _ in $(seq 1 600); do [ -e held ] && break; sleep 0.05; done
}
release() { kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null; }
# bulkcerts TEMPLATE N: N PEM certificates made from the DER certificate
# TEMPLATE (of serial 5A5A5A5A5A5A5A5A; a QQQQQQQQ in its names is
# numbered), each with its own serial and signature bytes.  openssl takes
# milliseconds per certificate; these take none, and their signatures do
# not verify, which nothing checks.
bulkcerts() {
  python3 - "$1" "$2" <<'PY'
import base64, sys
template = open(sys.argv[1], "rb").read()
serial, name = bytes.fromhex("5A5A5A5A5A5A5A5A"), b"QQQQQQQQ"
assert template.count(serial) == 1
for i in range(int(sys.argv[2])):
    der = template.replace(serial, (0x5A00000000000000 + i).to_bytes(8, "big")).replace(name, b"%08d" % i)
    der = der[:-4] + i.to_bytes(4, "big")
    text = base64.b64encode(der).decode()
    body = "\n".join(text[j:j + 64] for j in range(0, len(text), 64))
    sys.stdout.write("-----BEGIN CERTIFICATE-----\n%s\n-----END CERTIFICATE-----\n" % body)
PY
}
# json FILE EXPRESSION: prints the Python EXPRESSION over `d`, the parsed
# JSON of FILE (such as `list --format json`).
json() { python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$@"; }
finish() {
  echo "velkdb $HARNESS_NAME: $passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
}
