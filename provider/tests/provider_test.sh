#!/bin/bash
# provider_test.sh -- the velfiledb store provider under the real openssl
# binary: a database made with velkdb, then keys, certificates and CRLs
# loaded from it by storeutl, pkey, x509, verify and a TLS handshake on
# loopback, by a program of our own on its own library context, and the
# refusals (wrong password, missing database, no such record, damaged
# table, a writer's lock, an interrupted change), each an OpenSSL error
# with exit 1 and nothing written.  (A password in the URI and a password
# file others can read are refused in storeuri_test and passwordfile_test.)
#
#   provider_test.sh PATH/TO/velkdb PATH/TO/velfiledb.so PATH/TO/velstore_open
MODDIR=$(cd "$(dirname "$2")" && pwd)
OPENER=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
source "$(dirname "$0")/../../tools/velkdb/tests/harness.sh" provider "$1"
unset OPENSSL_CONF
SERVER_PID=
holder=
trap '[ -z "$SERVER_PID" ] || kill "$SERVER_PID" 2>/dev/null; release; rm -rf "${HARNESS_CLEANUP[@]}"' EXIT

# A module built with a sanitizer needs its run-time loaded first into the
# openssl binary, which is not built with one (and the C++ run-time before
# it, which libubsan brings): a wrapper in PATH preloads them for every
# openssl run of this script.
SANITIZER_RUNTIMES=$(ldd "$MODDIR/$(basename "$2")" | awk '/lib(asan|ubsan|tsan)\.so/ { print $3 }' | tr '\n' ' ')
if [ -n "$SANITIZER_RUNTIMES" ]; then
  mkdir bin
  printf '#!/bin/sh\nLD_PRELOAD="%s" exec %s "$@"\n' "$SANITIZER_RUNTIMES" "$(command -v openssl)" >bin/openssl
  chmod +x bin/openssl
  export PATH=$WORK/bin:$PATH
fi

# refused DESCRIPTION TEXT COMMAND...: exits 1 (STATUS, when set) with TEXT
# in an OpenSSL error line of the provider, and the database files are
# unchanged.
refused() {
  local what=$1 text=$2 want=${STATUS:-1}; shift 2
  local before; before=$(cat db.* | sha256sum)
  timeout 60 "$@" >out.txt 2>err.txt
  local got=$?
  if [ "$got" -ne "$want" ]; then bad "$what: exit $got, wanted $want"; sed 's/^/    /' err.txt | head -10; return; fi
  if ! grep -q ":velfiledb:.*$text" err.txt; then bad "$what: no provider error with \"$text\""; sed 's/^/    /' err.txt | head -10; return; fi
  [ "$(cat db.* | sha256sum)" = "$before" ] || { bad "$what: the database changed"; return; }
  ok
}
same() {  # same DESCRIPTION FILE1 FILE2
  if cmp -s "$2" "$3"; then ok; else bad "$1: $2 and $3 differ"; diff "$2" "$3" | head -10; fi
}
count() {  # count DESCRIPTION WANTED PATTERN FILE: lines matching PATTERN
  local got; got=$(grep -c -- "$3" "$4")
  [ "$got" -eq "$2" ] && ok || { bad "$1: $got lines with \"$3\", wanted $2"; head -20 "$4" | sed 's/^/    /'; }
}

PV=(-provider-path "$MODDIR" -provider velfiledb -provider default)
DB="velkdb:$WORK/db"
printf 'correct horse battery staple\n' >pw && chmod 600 pw
printf 'not the password at all\n' >wrongpw && chmod 600 wrongpw
P=(-d "$WORK/db" --password-file pw)

# --- a small PKI: a CA with a server, a revoked certificate and a CRL; a CA
# that is not trusted, with a server of its own.
newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
mkca() {  # mkca NAME CN
  newkey "$1.key"
  openssl req -x509 -new -key "$1.key" -out "$1.pem" -subj "/O=Provider Test/CN=$2" -days 30 \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
issue() {  # issue CA NAME CN
  newkey "$2.key"
  openssl req -new -key "$2.key" -subj "/O=Provider Test/CN=$3" -out "$2.csr" 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' >ext.cnf
  openssl x509 -req -in "$2.csr" -CA "$1.pem" -CAkey "$1.key" -CAcreateserial -out "$2.pem" -days 30 \
    -extfile ext.cnf 2>/dev/null
}
mkca ca "Store Test CA"
issue ca server localhost
issue ca revoked localhost
mkca rogue "Untrusted CA"
issue rogue stranger localhost
cacnf crlca
openssl ca -config crlca.cnf -keyfile ca.key -cert ca.pem -revoke revoked.pem 2>/dev/null
openssl ca -config crlca.cnf -keyfile ca.key -cert ca.pem -gencrl -out ca.crl 2>/dev/null
[ -s ca.crl ] || { echo "could not make the CRL"; exit 1; }

check "create the database" "$VELKDB" create "${P[@]}"
check "import the trusted CA" "$VELKDB" import "${P[@]}" --trusted ca.pem
check "import the server with its key" "$VELKDB" import "${P[@]}" --label web server.pem server.key
check "import the revoked certificate" "$VELKDB" import "${P[@]}" --label revoked revoked.pem
check "import the CRL" "$VELKDB" import "${P[@]}" --label "ca crl" ca.crl
check "import a key pair" sh -c "openssl req -new -key stranger.key -subj /CN=pair -out pair.csr 2>/dev/null &&
  '$VELKDB' import ${P[*]} --label pair stranger.key pair.csr"

# --- what the URIs name
check "storeutl lists the database" openssl storeutl "${PV[@]}" -passin file:pw "$DB"
cp out.txt all.txt
count "every certificate" 3 "^[0-9]*: Certificate" all.txt
count "every private key (record and key pair)" 2 "^[0-9]*: Pkey" all.txt
count "every CRL" 1 "^[0-9]*: CRL" all.txt
check "storeutl -certs takes the certificates only" openssl storeutl "${PV[@]}" -passin file:pw -certs "$DB"
count "three certificates" 3 "^[0-9]*: Certificate" out.txt
count "... and nothing else" 0 "^[0-9]*: \(Pkey\|CRL\)" out.txt

check "pkey by label" openssl pkey "${PV[@]}" -in "$DB?label=web" -passin file:pw -pubout -out key-pub.pem
openssl x509 -in server.pem -pubkey -noout >cert-pub.pem
same "the stored key is the certificate's" key-pub.pem cert-pub.pem
check "x509 by label" openssl x509 "${PV[@]}" -in "$DB?label=web&password-file=$WORK/pw" -out web.pem
same "the certificate by label" web.pem server.pem
# By record ID (1 is the CA), SHA-256 fingerprint, serial and issuer: QUERY FILE.
fp=$(openssl x509 -in server.pem -noout -fingerprint -sha256 | cut -d= -f2)
serial=$(openssl x509 -in revoked.pem -noout -serial | cut -d= -f2)
for q in "id=1 ca.pem" "fingerprint=$fp server.pem" "serial=$serial&issuer=CN=store%20test%20ca,O=Provider%20Test revoked.pem"; do
  check "x509 by ${q% *}" openssl x509 "${PV[@]}" -in "$DB?${q% *}" -passin file:pw -out by.pem
  same "the certificate by ${q% *}" by.pem "${q##* }"
done
check "trusted only" openssl storeutl "${PV[@]}" -passin file:pw "$DB?trusted"
count "one trusted certificate" 1 "^[0-9]*: Certificate" out.txt
count "no keys with trusted" 0 "Pkey" out.txt
check "CRLs only" openssl storeutl "${PV[@]}" -passin file:pw -out crls.pem "$DB?crls"
count "one CRL" 1 "BEGIN X509 CRL" crls.pem
check "a key pair's key by label" openssl pkey "${PV[@]}" -in "$DB?label=pair" -passin file:pw -pubout -out pair-pub.pem
openssl pkey -in stranger.key -pubout >stranger-pub.pem
same "the key pair's key" pair-pub.pem stranger-pub.pem
check "the public key alone" openssl pkey "${PV[@]}" -pubin -in "$DB?label=web" -passin file:pw -out pubin.pem
same "public key by label" pubin.pem cert-pub.pem

# --- trust anchors and revocation
check "verify against the trusted store" openssl verify "${PV[@]}" -CAstore "$DB?trusted&password-file=$WORK/pw" server.pem
refused_verify() {  # refused_verify DESCRIPTION TEXT ARGS...: verify exits non-zero naming TEXT
  local what=$1 text=$2; shift 2
  openssl verify "${PV[@]}" "$@" >out.txt 2>err.txt && { bad "$what: verified"; return; }
  grep -q "$text" out.txt err.txt && ok || { bad "$what: no \"$text\""; cat out.txt err.txt | head -5; }
}
refused_verify "a certificate of an untrusted CA" "unable to get local issuer" \
  -CAstore "$DB?trusted&password-file=$WORK/pw" stranger.pem
refused_verify "a revoked certificate (CRL file)" "certificate revoked" \
  -CAstore "$DB?trusted&password-file=$WORK/pw" -crl_check -CRLfile crls.pem revoked.pem
refused_verify "a revoked certificate (CRLs from the store)" "certificate revoked" \
  -CAstore "$DB?password-file=$WORK/pw" -crl_check revoked.pem
check "a good certificate passes the CRL check" openssl verify "${PV[@]}" -CAstore "$DB?password-file=$WORK/pw" \
  -crl_check server.pem

# --- a TLS handshake on loopback: key and certificate from the store, the
# client's trust anchors from the store.
start_server() {  # start_server: s_server on a free port, PORT set
  for _ in 1 2 3 4 5; do
    PORT=$((20000 + RANDOM % 20000))
    openssl s_server "${PV[@]}" -accept "127.0.0.1:$PORT" -key "$DB?label=web" -pass file:pw \
      -cert "$DB?label=web&password-file=$WORK/pw" -www -naccept 2 </dev/null >server.out 2>&1 &
    SERVER_PID=$!
    for _ in $(seq 50); do
      grep -q ACCEPT server.out && return 0
      kill -0 "$SERVER_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill "$SERVER_PID" 2>/dev/null
    wait "$SERVER_PID" 2>/dev/null
  done
  return 1
}
if start_server; then
  ok
  echo | timeout 20 openssl s_client "${PV[@]}" -connect "127.0.0.1:$PORT" -servername localhost -verify_return_error \
    -CAstore "$DB?trusted&password-file=$WORK/pw" >client.out 2>&1
  [ $? -eq 0 ] && grep -q "Verify return code: 0 (ok)" client.out && ok ||
    { bad "s_client with the store's trust anchors"; tail -5 client.out; }
  echo | timeout 20 openssl s_client -connect "127.0.0.1:$PORT" -servername localhost -verify_return_error \
    -CAfile stranger.pem >client2.out 2>&1
  [ $? -ne 0 ] && ok || bad "s_client trusted a server whose CA is not among its anchors"
  kill "$SERVER_PID" 2>/dev/null
  wait "$SERVER_PID" 2>/dev/null
  SERVER_PID=
else
  bad "s_server did not start: $(head -5 server.out)"
fi

# --- a program of our own, the provider in its own library context
check "OSSL_STORE_open_ex on a library context" "$OPENER" "$MODDIR" "$DB?label=web" pw
count "its certificate" 1 "^Certificate /O=Provider Test/CN=localhost" out.txt
count "its key" 1 "^Pkey EC" out.txt
check "... with an expectation" "$OPENER" "$MODDIR" "$DB" pw cert
count "the certificates only" 3 "^Certificate" out.txt
count "... no key" 0 "^Pkey" out.txt
check "... with a search by name" "$OPENER" "$MODDIR" "$DB" pw cert "/O=Provider Test/CN=Store Test CA"
[ "$(cat out.txt)" = "Certificate /O=Provider Test/CN=Store Test CA" ] && ok || bad "search by name: $(cat out.txt)"

# --- a configuration file that loads the module and names a password file
cat >openssl.cnf <<CNF
openssl_conf = openssl_init
[openssl_init]
providers = provider_sect
[provider_sect]
default = default_sect
velfiledb = velfiledb_sect
[default_sect]
activate = 1
[velfiledb_sect]
module = $MODDIR/velfiledb.so
password-file = $WORK/pw
lock-wait = 0.5
activate = 1
CNF
check "the configuration loads the module" env OPENSSL_CONF=openssl.cnf openssl verify -CAstore "$DB?trusted" server.pem
check "... and its password file opens the store" env OPENSSL_CONF=openssl.cnf openssl storeutl -certs "$DB"

# --- refusals: an OpenSSL error of the provider, exit 1, nothing written
refused "wrong password" "wrong database password" openssl pkey "${PV[@]}" -in "$DB?label=web" -passin file:wrongpw
refused "missing database" "no such database" openssl storeutl "${PV[@]}" -passin file:pw "velkdb:$WORK/nodb"
refused "a label that names nothing" "no such record" openssl storeutl "${PV[@]}" -passin file:pw "$DB?label=nothing"
refused "a certificate without a key, asked for its key" "holds no private key" \
  openssl pkey "${PV[@]}" -in "$DB?label=revoked" -passin file:pw
# (verify says "not verified" with 2)
STATUS=2 refused "no password at all" "no database password" openssl verify "${PV[@]}" -CAstore "$DB?trusted" server.pem
cp db.vkey damaged.vkey && cp db.vkyp damaged.vkyp && cp db.vcrl damaged.vcrl
python3 - damaged.vkey <<'PY'
import sys
data = bytearray(open(sys.argv[1], 'rb').read())
data[len(data) // 2] ^= 0x5A
open(sys.argv[1], 'wb').write(data)
PY
refused "a damaged table" "damaged database" openssl storeutl "${PV[@]}" -passin file:pw "velkdb:$WORK/damaged"

# A writer's lock is waited for (lock-wait 0.5 s in the configuration), then
# refused as in use.
hold db.vkey
start=$(date +%s%N)
refused "a database a writer holds" "database in use" env OPENSSL_CONF=openssl.cnf openssl storeutl "$DB"
waited=$((($(date +%s%N) - start) / 1000000))
[ "$waited" -ge 400 ] && [ "$waited" -lt 10000 ] && ok || bad "waited $waited ms for a lock-wait of 0.5 s"
release

# An import stopped half way leaves its journal; a reader sees the tables
# as the last committed change left them, and leaves the journal for
# `velkdb recover`.
cp db.vkey stopped.vkey && cp db.vkyp stopped.vkyp && cp db.vcrl stopped.vcrl
VELKDB_TEST_CRASH=import:1 "$VELKDB" import -d "$WORK/stopped" --password-file pw stranger.pem >/dev/null 2>&1
if ls stopped.*-journal >/dev/null 2>&1; then
  check "a database with an interrupted change" openssl storeutl "${PV[@]}" -passin file:pw -certs "velkdb:$WORK/stopped"
  count "... reads as last committed" 3 "^[0-9]*: Certificate" out.txt
  ls stopped.*-journal >/dev/null 2>&1 && ok || bad "the reader took the journal away"
else
  bad "the stopped import left no journal"
fi

finish
