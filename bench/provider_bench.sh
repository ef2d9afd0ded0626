#!/bin/bash
# provider_bench.sh -- one key and certificate loaded by label from a
# database of 10,000 records: the store (OSSL_STORE_open_ex through the
# provider, in a program of ours) against `velkdb show` of the same record.
# Both open the database, which dominates.  Prints the median wall and CPU
# time of RUNS runs of each, taken in turns, and their ratio.
#
#   provider_bench.sh PATH/TO/velkdb MODULE_DIR PATH/TO/velstore_open [RUNS]
set -u
VELKDB=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
MODDIR=$(cd "$2" && pwd)
OPENER=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
RUNS=${4:-9}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/velstore-bench-XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK" || exit 1
export VELFILEDB_SYNC=off
python3 -c 'import cryptography' 2>/dev/null || { echo "SKIP: python3 cryptography is needed to make the corpus"; exit 0; }

python3 - 9999 <<'PY'
import datetime, sys
from cryptography import x509
from cryptography.x509.oid import NameOID
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
now = datetime.datetime.now(datetime.timezone.utc)
ca_key = ec.generate_private_key(ec.SECP256R1())
ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Bench CA")])
def cert(cn, key):
    name = x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Bench"), x509.NameAttribute(NameOID.COMMON_NAME, cn)])
    return (x509.CertificateBuilder().subject_name(name).issuer_name(ca_name).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(now)
            .not_valid_after(now + datetime.timedelta(days=30)).sign(ca_key, hashes.SHA256()))
shared = ec.generate_private_key(ec.SECP256R1())
with open("bundle.pem", "wb") as out:
    for i in range(int(sys.argv[1])):
        out.write(cert("host%05d.bench" % i, shared).public_bytes(serialization.Encoding.PEM))
web = ec.generate_private_key(ec.SECP256R1())
with open("web.pem", "wb") as out:
    out.write(cert("web.bench", web).public_bytes(serialization.Encoding.PEM))
    out.write(web.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption()))
PY
printf 'bench password 1234\n' >pw && chmod 600 pw
"$VELKDB" create -d db --password-file pw --record-length 1024 >/dev/null &&
  "$VELKDB" import -d db --password-file pw bundle.pem >/dev/null &&
  "$VELKDB" import -d db --password-file pw --label web web.pem >/dev/null || { echo "could not make the database"; exit 1; }

# run NAME COMMAND...: appends "wall cpu" in ms to NAME.times
run() {
  local name=$1; shift
  /usr/bin/time -f "%e %U %S" -o t.txt "$@" >/dev/null 2>&1 || { echo "$name failed"; "$@"; exit 1; }
  awk '{ printf "%.0f %.0f\n", $1 * 1000, ($2 + $3) * 1000 }' t.txt >>"$name.times"
}
for _ in $(seq "$RUNS"); do
  run show "$VELKDB" show -d db --password-file pw web
  run store "$OPENER" "$MODDIR" "velkdb:$WORK/db?label=web&password-file=$WORK/pw"
done
median() { sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END { print v[int((NR + 1) / 2)] }'; }
for what in "wall 1" "cpu 2"; do
  set -- $what
  s=$(median show.times "$2")
  p=$(median store.times "$2")
  awk -v w="$1" -v s="$s" -v p="$p" 'BEGIN { printf "%-4s  velkdb show %5d ms   store by label %5d ms   ratio %.2f (target <= 1.50)\n", w, s, p, p / s }'
done
