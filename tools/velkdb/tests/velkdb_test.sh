#!/usr/bin/env bash
# Runs the real velkdb binary on real files made here with openssl: every
# command, every input format, the password change and its recovery after a
# crash, a tampered file, and the one-line errors.
#
#   velkdb_test.sh PATH/TO/velkdb
source "$(dirname "$0")/harness.sh" cli "$1"
# A directory that another user can reach (the core-dump test runs velkdb
# as nobody).
PUB=$(mktemp -d "$HARNESS_OUTER_TMPDIR/velkdb-pub-XXXXXX")
chmod 755 "$PUB"
HARNESS_CLEANUP+=("$PUB")

der_of_cert() { openssl x509 -in "$1" -outform DER | od -An -tx1 | tr -d ' \n'; }

# --- material ------------------------------------------------------------------
echo "db password one" >pw1
echo "db password two" >pw2
echo "import secret" >importpw
chmod 600 pw1 pw2 importpw
ecreq -x509 -keyout ca.key -subj "/O=Test Org/CN=Test Root CA" -days 30 -out ca.pem
mkcert() {  # mkcert NAME CN: key NAME.key (clear PKCS#8), NAME.pem signed by the CA
  ecreq -keyout "$1.key" -subj "/O=Test Org/CN=$2" -out "$1.csr"
  openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -out "$1.pem" 2>/dev/null
}
mkcert server www.test.example
mkcert enc enc.test.example
mkcert p12 p12.test.example
mkcert bundle1 one.test.example
mkcert bundle2 two.test.example
mkcert der der.test.example
cat bundle1.pem bundle2.pem ca.pem >bundle.pem
openssl x509 -in der.pem -outform DER -out der.cer
cat server.pem server.key >server-with-key.pem
openssl pkcs8 -topk8 -in enc.key -v2 aes-256-cbc -passout file:importpw -out enc-encrypted.key
openssl pkcs12 -export -in p12.pem -inkey p12.key -certfile ca.pem -passout file:importpw -out p12.p12 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout request.key -subj "/O=Test Org/CN=request.test.example" \
  -out request.csr 2>/dev/null
gencrl ca.key ca.pem crl.pem
[ -s crl.pem ] && [ -s p12.p12 ] && [ -s enc-encrypted.key ] || { echo "FAIL: test material"; exit 1; }

# --- help -------------------------------------------------------------------------
check "velkdb --version" "$VELKDB" --version
grep -q '^velkdb [0-9][0-9.]*$' out.txt && ok || bad "--version: $(head -1 out.txt)"
check "velkdb --help" "$VELKDB" --help
cp out.txt main-help.txt
contains "main help tells what a signal does" main-help.txt "128 + the signal's number"
for c in create info verify import list show export delete rename passwd expire upgrade demo request backup recover \
  verify-chain selfsign sign trust revoke crl; do
  contains "main help names $c" main-help.txt "  $c "
  "$VELKDB" "$c" --help >help.txt 2>&1 || bad "$c --help exits non-zero"
  contains "$c --help" help.txt "usage: velkdb $c"
done
# What some commands' help must tell.
for c_text in "request|ed25519" "export|--pkcs12 FILE" "show|--serial HEX" "export|--serial HEX" "delete|--serial HEX" \
  "create|--record-length N" "import|--wait SECONDS" "list|status 1"; do
  "$VELKDB" "${c_text%%|*}" --help >help.txt 2>&1
  contains "${c_text%%|*} --help" help.txt "${c_text#*|}"
done

# --- errors and passwords -------------------------------------------------------
export VELKDB_DB=$WORK/db
fails_with "a password on the command line is no option" 2 0x8B67A "$VELKDB" create --password secret
fails_with "no password source, no terminal" 1 0x8B67A setsid "$VELKDB" create </dev/null
fails_with "opening a database that is not there" 1 0x8C236 "$VELKDB" list --password-file pw1
check "create (version 4)" "$VELKDB" create --password-file pw1
fails_with "create over an existing database" 1 0x8C24E "$VELKDB" create --password-file pw1
fails_with "wrong password" 1 0x8C240 "$VELKDB" list --password-file pw2
printf 'db password one' >pw1bare && chmod 600 pw1bare
check "a password file without its line end" "$VELKDB" list --password-file pw1bare
export VELKDB_PASSWORD="db password one"
check "password from VELKDB_PASSWORD" "$VELKDB" list
unset VELKDB_PASSWORD

# --- import -----------------------------------------------------------------------
P=(--password-file pw1)
check "import a PEM bundle" "$VELKDB" import "${P[@]}" bundle.pem
contains "bundle summary" out.txt "imported 3 certificates (0 with keys), 0 key pairs, 0 CRLs"
[ "$(wc -l <out.txt)" -eq 1 ] && ok || bad "import summary is one line off a terminal"
check "import DER with a label" "$VELKDB" import "${P[@]}" --label "der cert" der.cer
check "import certificate and key in one PEM" "$VELKDB" import "${P[@]}" --label server server-with-key.pem
contains "cert+key summary" out.txt "1 certificate (1 with its key)"
refuses "encrypted key without its password" 1 0x8B67A "needs a password" "$VELKDB" import "${P[@]}" enc.pem enc-encrypted.key
check "import encrypted PKCS#8 key with its certificate" \
  "$VELKDB" import "${P[@]}" --import-password-file importpw enc.pem enc-encrypted.key
says "import PKCS#12 (CA already present: skipped)" "skipped 1 already present" \
  "$VELKDB" import "${P[@]}" --skip-existing --import-password-file importpw --label p12 p12.p12
check "import key with certification request" "$VELKDB" import "${P[@]}" request.key request.csr
check "import CRL" "$VELKDB" import "${P[@]}" crl.pem
says "a key stored already (in its key pair)" "skipped 1 already present" "$VELKDB" import "${P[@]}" request.key
# What is stored already is skipped: an import run twice imports nothing new.
check "the same certificate, CRL and key pair again" "$VELKDB" import "${P[@]}" ca.pem crl.pem request.key request.csr
contains "... are skipped" out.txt "imported 0 certificates (0 with keys), 0 key pairs, 0 CRLs; skipped 3 already present"
printf 'not a certificate' >garbage.pem
fails_with "garbage input" 1 0x8B67A "$VELKDB" import "${P[@]}" garbage.pem
fails_with "missing input file" 1 0x8B67A "$VELKDB" import "${P[@]}" no-such-file.pem

# --- list -------------------------------------------------------------------------
check "list" "$VELKDB" list "${P[@]}"
for label in "Test Root CA" "one.test.example" "der cert" server "enc.test.example" p12 "request.test.example"; do
  contains "list shows $label" out.txt "$label"
done
check "list --format json" "$VELKDB" list "${P[@]}" --format json
cp out.txt list.json
# Key records, of them with a key, key pairs, CRLs.
counts="len(d['keys']), sum(r['hasKey'] for r in d['keys']), len(d['keypairs']), len(d['crls'])"
[ "$(json list.json "$counts")" = "(7, 3, 1, 1)" ] && ok || bad "records listed: $(json list.json "$counts")"
check "list one table" "$VELKDB" list "${P[@]}" --table crls --format json
[ "$(json out.txt "sorted(d)")" = "['crls', 'database']" ] && ok || bad "list --table crls shows only CRLs"

# Private keys are not stored in the clear.
python3 - "$WORK/db.vkey" server.key <<'PY' && ok || bad "a clear private key is in the key file"
import base64, sys
pem = open(sys.argv[2]).read()
body = "".join(l for l in pem.splitlines() if not l.startswith("-----"))
clear = base64.b64decode(body)
# ECPrivateKey: version 1, then the 32-byte private scalar.
at = clear.find(b"\x02\x01\x01\x04\x20")
scalar = clear[at + 5:at + 37]
sys.exit(1 if at < 0 or scalar in open(sys.argv[1], "rb").read() else 0)
PY

# --- show, export ---------------------------------------------------------------
says "show by label" "PBES2 (PBKDF2-HMAC-SHA256" "$VELKDB" show "${P[@]}" server
contains "show: key opens" out.txt "opens with the database password"
says "show by subject" "label:        server" "$VELKDB" show "${P[@]}" --subject "cn=WWW.test.example, o=test org"
says "show by record ID" "record ID:    1" "$VELKDB" show "${P[@]}" --table keys --id 1
fails_with "show what is not there" 1 0x8C23E "$VELKDB" show "${P[@]}" nothing-here
check "export a certificate" "$VELKDB" export "${P[@]}" server --out server-exported.pem
[ "$(der_of_cert server-exported.pem)" = "$(der_of_cert server.pem)" ] && ok || bad "exported certificate differs"
check "export DER-imported certificate" "$VELKDB" export "${P[@]}" "der cert"
[ "$(openssl x509 -in out.txt -outform DER | od -An -tx1 | tr -d ' \n')" = "$(od -An -tx1 der.cer | tr -d ' \n')" ] && ok ||
  bad "DER round trip"
check "export with key" "$VELKDB" export "${P[@]}" --key server -o server-key-exported.pem
contains "exported key is encrypted" server-key-exported.pem "BEGIN ENCRYPTED PRIVATE KEY"
check "exported key opens with the database password" \
  openssl pkey -in server-key-exported.pem -passin file:pw1 -pubout -out exported-pub.pem
openssl x509 -in server.pem -pubkey -noout >server-pub.pem
cmp -s exported-pub.pem server-pub.pem && ok || bad "exported key is not the server's key"
check "export the request with its key" "$VELKDB" export "${P[@]}" --key --table keypairs request.test.example
contains "request PEM" out.txt "BEGIN CERTIFICATE REQUEST"
check "export the CRL" "$VELKDB" export "${P[@]}" --table crls --issuer "CN=Test Root CA,O=Test Org"
openssl crl -in out.txt -noout 2>/dev/null && ok || bad "exported CRL does not parse"
check "export --all" "$VELKDB" export "${P[@]}" --all --table keys
[ "$(grep -c 'BEGIN CERTIFICATE' out.txt)" = 7 ] && ok || bad "export --all: 7 certificates"

# --- rename, delete -------------------------------------------------------------
check "rename" "$VELKDB" rename "${P[@]}" server web-server
check "renamed record found" "$VELKDB" show "${P[@]}" web-server
fails_with "old label gone" 1 0x8C23E "$VELKDB" show "${P[@]}" server
fails_with "delete by an ID that several tables have" 1 0x8B67A "$VELKDB" delete "${P[@]}" --id 1
check "delete by label" "$VELKDB" delete "${P[@]}" "der cert"
says "delete by subject" "deleted 1 record" "$VELKDB" delete "${P[@]}" --subject "CN=two.test.example,O=Test Org"
check "list after deletes" "$VELKDB" list "${P[@]}" --format json
[ "$(json out.txt "len(d['keys'])")" = 5 ] && ok || bad "5 key records after two deletes"

# --- expire, info -----------------------------------------------------------------
check "expire in 30 days" "$VELKDB" expire "${P[@]}" 30
says "info" "password expires: $(date -u -d '+30 days' +%Y-%m-%d)" "$VELKDB" info "${P[@]}"
contains "info: file" out.txt "$WORK/db.vcrl"
contains "info: version" out.txt "version:  4"
contains "info: records" out.txt "records:  5"
check "expire never" "$VELKDB" expire "${P[@]}" never
# A refused value exits 2 before the database is opened, --table too.
fails_with "list --table of no table" 2 0x8B67A "$VELKDB" list -d "$WORK/not-there" --table certs
for c in show export delete; do
  fails_with "$c --table of no table" 2 0x8B67A "$VELKDB" "$c" -d "$WORK/not-there" --table certs web-server
done
says "verify" "keys: ok (version 4, 5 records, 3 private keys checked)" "$VELKDB" verify "${P[@]}"

# --- passwd ----------------------------------------------------------------------
cp db.vkey db.vkey.before
says "passwd" "4 private keys re-wrapped" "$VELKDB" passwd "${P[@]}" --new-password-file pw2
fails_with "old password refused after passwd" 1 0x8C240 "$VELKDB" list "${P[@]}"
P=(--password-file pw2)
check "verify under the new password (every key opens)" "$VELKDB" verify "${P[@]}"
fails_with "passwd to the same password" 1 0x8C240 "$VELKDB" passwd "${P[@]}" --new-password-file pw2

# An interrupted passwd: the keys' re-wrap and the tables' new password are
# one transaction.  Killed after the last key re-wrap (three keys, then the
# key pair), and killed after the tables took the new password but before
# the commit: either way the database has the old password and every key
# under it, readers see that at once, and passwd again completes the change.
for hook in rewrap:4 table:1; do
  VELKDB_TEST_CRASH=$hook "$VELKDB" passwd "${P[@]}" --new-password-file pw1 >out.txt 2>&1
  [ $? -eq 99 ] && ok || bad "crash hook $hook did not stop passwd"
  ls db.vkey-journal >/dev/null 2>&1 && ok || bad "$hook: no journal left by the stopped passwd"
  check "$hook: a read-only list with the old password reads through it" "$VELKDB" list "${P[@]}"
  fails_with "$hook: the new password is not the database's" 1 0x8C240 "$VELKDB" list --password-file pw1
  ls db.vkey-journal >/dev/null 2>&1 && ok || bad "$hook: a read-only list removed the journal"
  for label in web-server enc.test.example p12 request.test.example; do
    "$VELKDB" export "${P[@]}" --key "$label" -o k.pem 2>/dev/null
    if openssl pkey -in k.pem -passin file:pw2 -noout 2>/dev/null; then
      ok
    else
      bad "$hook: key $label does not open with the old password after a stop before the commit"
    fi
  done
done
check "passwd again completes" "$VELKDB" passwd "${P[@]}" --new-password-file pw1
contains "... re-wrapping every key" out.txt "password changed; 4 private keys re-wrapped"
[ -z "$(ls db.*-journal db.vtxn-* 2>/dev/null)" ] && ok || bad "left after passwd: $(ls db.*-journal db.vtxn-*)"
P=(--password-file pw1)
says "verify after completing" "keypairs: ok (version 4, 1 record, 1 private key checked)" "$VELKDB" verify "${P[@]}"
check "passwd run again says it is done" "$VELKDB" passwd --password-file pw2 --new-password-file pw1
contains "... done" out.txt "the database password is already the new one; nothing to do"

# --- tampering -----------------------------------------------------------------------
for t in vkey vcrl; do
  cp db.$t db.$t.good
  size=$(stat -c %s db.$t)
  printf '\x5a' | dd of=db.$t bs=1 seek=$((size - 40)) conv=notrunc 2>/dev/null
  "$VELKDB" verify "${P[@]}" >out.txt 2>&1
  [ $? -eq 1 ] && ok || bad "verify of a tampered .$t exits 0"
  contains "tampered .$t reported" out.txt "FAULT: error 0x8C243"
  mv db.$t.good db.$t
done
check "verify after restoring" "$VELKDB" verify "${P[@]}"

# --- version 3, default password ---------------------------------------------------
check "create version 3 with the default password" "$VELKDB" create -d "$WORK/v3" --version 3 --default-password
check "import into version 3" "$VELKDB" import -d "$WORK/v3" --default-password server-with-key.pem
check "verify version 3" "$VELKDB" verify -d "$WORK/v3" --default-password
contains "version 3" out.txt "keys: ok (version 3, 1 record, 1 private key checked)"
fails_with "default password not used unless asked" 1 0x8C240 "$VELKDB" list -d "$WORK/v3" --password-file pw1
# Without a key-pair file: passwd re-wraps the keys without making one (it
# would keep the old password), and leaves nothing in its temporary directory.
rm "$WORK/v3.vkyp"
mkdir "$WORK/tmp-passwd"
TMPDIR=$WORK/tmp-passwd says "passwd without a key-pair file" "1 private key re-wrapped" \
  "$VELKDB" passwd -d "$WORK/v3" --default-password --new-password-file pw1
[ ! -e "$WORK/v3.vkyp" ] && ok || bad "passwd made a key-pair file"
[ -z "$(ls -A "$WORK/tmp-passwd")" ] && ok || bad "passwd left files in TMPDIR: $(ls -A "$WORK/tmp-passwd")"
check "verify after passwd without a key-pair file" "$VELKDB" verify -d "$WORK/v3" --password-file pw1

# --- all or nothing: errors and killed processes ---------------------------------
# Certificates of one bulk CA: distinct subjects and serials, one issuer.
ecreq -x509 -keyout bulkca.key -subj "/O=Bulk/CN=Bulk CA" -days 30 -out bulkca.pem
BULK=200
for i in $(seq 1 $BULK); do
  openssl req -x509 -new -key bulkca.key -CA bulkca.pem -CAkey bulkca.key -set_serial $((1000 + i)) \
    -subj "/O=Bulk/CN=host$i.bulk.example" -days 30 2>/dev/null
done >bulk.pem
# Another certificate with the issuer and serial of the last bulk one: the
# key table refuses it, but only when it comes to insert it.
openssl req -x509 -new -key bulkca.key -CA bulkca.pem -CAkey bulkca.key -set_serial $((1000 + BULK)) \
  -subj "/O=Bulk/CN=clash.bulk.example" -days 30 -out clash.pem 2>/dev/null
# One certificate signed twice: the same to-be-signed part, two signatures.
ecreq -x509 -keyout twice.key -subj "/CN=twice.test.example" -days 30 -out twice-self.pem
for n in 1 2; do
  openssl x509 -in twice-self.pem -CA ca.pem -CAkey ca.key -preserve_dates -set_serial 77 \
    -out twice$n.pem 2>/dev/null
done
[ "$(grep -c 'BEGIN CERTIFICATE' bulk.pem)" = $BULK ] && [ -s clash.pem ] && [ -s twice2.pem ] &&
  ! cmp -s twice1.pem twice2.pem || { echo "FAIL: bulk test material"; exit 1; }

T=(-d "$WORK/tx" --password-file pw1)
check "create the transaction database" "$VELKDB" create "${T[@]}"
check "import a certificate before" "$VELKDB" import "${T[@]}" server.pem
snapshot() { "$VELKDB" list "${T[@]}" --format json >"$1" 2>&1; }
snapshot before.json
refuses "a refusal at the last insert" 1 0x8C248 "clash.bulk.example" "$VELKDB" import "${T[@]}" bulk.pem clash.pem
snapshot after.json
cmp -s before.json after.json && ok || bad "a refused import left records behind"
# --skip-existing skips a different record in the way too, and imports the
# rest: in the same import, in the database, and a --label in use.
K=(-d "$WORK/skip" --password-file pw1)
check "create the database for --skip-existing" "$VELKDB" create "${K[@]}"
check "--skip-existing: a clash within one import" "$VELKDB" import "${K[@]}" --skip-existing bulk.pem clash.pem
contains "... the rest imported, the clash counted" out.txt \
  "imported $BULK certificates (0 with keys), 0 key pairs, 0 CRLs; skipped 1 in the way of other records"
fails_with "a stored certificate in the way is named" 1 0x8C248 "$VELKDB" import "${K[@]}" clash.pem
contains "... the record in the way" err.txt "has the issuer and serial number of keys #$BULK \"host$BULK.bulk.example\""
check "--skip-existing: a stored certificate in the way" "$VELKDB" import "${K[@]}" --skip-existing clash.pem twice1.pem
contains "... counted" out.txt "imported 1 certificate (0 with keys), 0 key pairs, 0 CRLs; skipped 1 in the way"
fails_with "a --label in use" 1 0x8C245 "$VELKDB" import "${K[@]}" --label host1.bulk.example server.pem
check "--skip-existing: a --label in use" "$VELKDB" import "${K[@]}" --skip-existing --label host1.bulk.example server.pem
contains "... counted" out.txt "imported 0 certificates (0 with keys), 0 key pairs, 0 CRLs; skipped 1 in the way"
check "list after --skip-existing" "$VELKDB" list "${K[@]}" --format json
[ "$(json out.txt "len(d['keys'])")" = $((BULK + 1)) ] && ok ||
  bad "--skip-existing stored what it skipped"
fails_with "one certificate signed twice, in one import" 1 0x8C247 "$VELKDB" import "${T[@]}" twice1.pem twice2.pem
check "... with --skip-existing the second is skipped" "$VELKDB" import "${T[@]}" --skip-existing twice1.pem twice2.pem
contains "skipped within one import" out.txt "imported 1 certificate (0 with keys), 0 key pairs, 0 CRLs; skipped 1"
says "the same CRL twice in one input is stored once" "0 key pairs, 1 CRL" "$VELKDB" import "${T[@]}" crl.pem crl.pem
check "verify after refused imports" "$VELKDB" verify "${T[@]}"
snapshot before.json

# records FILE: the number of key records, or "unreadable".
records() { json "$1" "len(d['keys'])" 2>/dev/null || echo unreadable; }
# kill_while_writing EXTRA COMMAND...: runs COMMAND in the background (full
# syncs, so that its commit takes a while) and kills it with SIGKILL EXTRA
# seconds after its first write (when the key table's journal appears), or
# when it has ended.
kill_while_writing() {
  local extra=$1 deadline=$((SECONDS + 30))
  shift
  VELFILEDB_SYNC=full "$@" >/dev/null 2>&1 &
  local pid=$!
  while [ $SECONDS -lt $deadline ] && kill -0 $pid 2>/dev/null && [ ! -e "$WORK/tx.vkey-journal" ]; do :; done
  [ "$extra" = 0 ] || sleep "$extra"
  kill -9 $pid 2>/dev/null
  wait $pid 2>/dev/null
}
# after_kill WHAT WANT...: the database opens, verifies, and holds one of the
# WANT numbers of key records; sets n to the number.  A read-only open reads
# through a killed change's journal: verify and list see the committed state
# at once and write nothing; one read-write open (an import that skips what
# is there) then rolls the change back, and sees the same records.
after_kill() {
  local what=$1
  shift
  local seen=""
  if [ -e "$WORK/tx.vkey-journal" ]; then
    local journal_sum
    journal_sum=$(cksum <"$WORK/tx.vkey-journal")
    "$VELKDB" verify "${T[@]}" >verify.txt 2>&1 && bad "$what: verify passed over a pending change"
    grep -qF "PENDING: an interrupted change is pending; run \`velkdb recover -d" verify.txt && ok || bad "$what: verify does not say how to recover: $(head -3 verify.txt)"
    snapshot reader.json
    seen=$(records reader.json)
    [ -e "$WORK/tx.vkey-journal" ] && [ "$(cksum <"$WORK/tx.vkey-journal")" = "$journal_sum" ] && ok ||
      bad "$what: a read-only open changed the journal"
  fi
  "$VELKDB" import "${T[@]}" --skip-existing server.pem >recover.txt 2>&1 ||
    bad "$what: the read-write open that recovers fails: $(head -3 recover.txt)"
  "$VELKDB" verify "${T[@]}" >verify.txt 2>&1 || bad "$what: verify fails: $(grep -v ': ok' verify.txt | head -3)"
  snapshot after.json
  n=$(records after.json)
  [ -z "$seen" ] || [ "$seen" = "$n" ] && ok || bad "$what: a read-only open saw $seen key records, the read-write open $n"
  case " $* " in
    *" $n "*) ok ;;
    *) bad "$what: $n key records, wanted one of: $*" ;;
  esac
}
base=$(records before.json)
# Killed at a chosen insert, half-way through the bundle ...
VELKDB_TEST_CRASH=import:$((BULK / 2)) "$VELKDB" import "${T[@]}" bulk.pem >out.txt 2>&1
[ $? -eq 99 ] && ok || bad "crash hook did not stop import"
check "a read-write open recovers the stopped import" "$VELKDB" import "${T[@]}" --skip-existing server.pem
snapshot after.json
cmp -s before.json after.json && ok || bad "an import killed half-way left records behind"
# ... and at moments from the first insert to the end of the commit.
for extra in 0 0.002 0.005 0.01 0.02 0.04; do
  kill_while_writing $extra "$VELKDB" import "${T[@]}" bulk.pem
  after_kill "import killed ${extra}s after its first write" $base $((base + BULK))
  # (On a busy machine even a kill "at once" may land after the commit: the
  # crash hook above is what proves a stop in the middle.)
  if [ "$n" = $((base + BULK)) ]; then
    check "delete what the killed import finished" "$VELKDB" delete "${T[@]}" --issuer "CN=Bulk CA,O=Bulk"
  fi
done
check "import the bundle" "$VELKDB" import "${T[@]}" bulk.pem
snapshot before.json
base=$(records before.json)

# A multi-record delete, killed half-way or at any moment, likewise.
VELKDB_TEST_CRASH=delete:$((BULK / 2)) "$VELKDB" delete "${T[@]}" --issuer "CN=Bulk CA,O=Bulk" >out.txt 2>&1
[ $? -eq 99 ] && ok || bad "crash hook did not stop delete"
! grep -q '^deleted' out.txt && ok || bad "a delete that did not finish reported deletions"
check "a read-write open recovers the stopped delete" "$VELKDB" import "${T[@]}" --skip-existing server.pem
snapshot after.json
cmp -s before.json after.json && ok || bad "a delete killed half-way deleted some records"
for extra in 0 0.01 0.05 0.2; do
  kill_while_writing $extra "$VELKDB" delete "${T[@]}" --issuer "CN=Bulk CA,O=Bulk"
  after_kill "delete killed ${extra}s after its first write" $base $((base - BULK))
  if [ "$n" = $((base - BULK)) ]; then
    check "import again what the killed delete took" "$VELKDB" import "${T[@]}" bulk.pem
  fi
done
says "delete the bundle" "deleted $BULK records" "$VELKDB" delete "${T[@]}" --issuer "CN=Bulk CA,O=Bulk"
check "verify after the kills" "$VELKDB" verify "${T[@]}"

# --- journals from elsewhere --------------------------------------------------------
# Two databases of the same name and password.  A journal of an interrupted
# change of one, copied beside the other, is never applied there: the other
# lists its own records, verifies, and says which file it left alone.  So
# is a journal kept from an earlier change of the same database.
mkdir -p jA jB
check "create A" "$VELKDB" create -d jA/db --password-file pw1
check "import into A" "$VELKDB" import -d jA/db --password-file pw1 server.pem
check "create B" "$VELKDB" create -d jB/db --password-file pw1
check "import into B" "$VELKDB" import -d jB/db --password-file pw1 bundle1.pem
VELKDB_TEST_CRASH=import:1 "$VELKDB" import -d jB/db --password-file pw1 bundle2.pem ca.pem >/dev/null 2>&1
[ -e jB/db.vkey-journal ] && ok || bad "the crash hook left no journal in B"
"$VELKDB" list -d jA/db --password-file pw1 --format json >a-before.json
cp jB/db.vkey-journal jA/db.vkey-journal
check "a read-only list of A with B's journal beside it" "$VELKDB" list -d jA/db --password-file pw1 --format json
cmp -s out.txt a-before.json && ok || bad "A's listing changed with B's journal beside it"
contains "the list warns about the journal" err.txt "jA/db.vkey-journal"
check "a read-write command on A with B's journal" "$VELKDB" import -d jA/db --password-file pw1 --skip-existing server.pem
contains "the import warns about the journal" err.txt "not made by the interrupted change"
check "A verifies" "$VELKDB" verify -d jA/db --password-file pw1
"$VELKDB" list -d jA/db --password-file pw1 --format json >a-after.json
cmp -s a-before.json a-after.json && ok || bad "B's journal changed A"
[ -e jA/db.vkey-journal ] && bad "the foreign journal outlived a read-write open of a table that verifies" || ok
check "B recovers with its own journal" "$VELKDB" import -d jB/db --password-file pw1 --skip-existing bundle1.pem
[ "$("$VELKDB" list -d jB/db --password-file pw1 --format json >b.json && json b.json "len(d['keys'])")" = 1 ] && ok ||
  bad "B's interrupted import was not rolled back"
# A journal kept from A's own interrupted change, put back after a later one.
VELKDB_TEST_CRASH=import:1 "$VELKDB" import -d jA/db --password-file pw1 bundle2.pem ca.pem >/dev/null 2>&1
cp jA/db.vkey-journal kept-journal
check "A recovers" "$VELKDB" import -d jA/db --password-file pw1 bundle1.pem
"$VELKDB" list -d jA/db --password-file pw1 --format json >a-later.json
cp kept-journal jA/db.vkey-journal
check "a read-write command with an old journal put back" "$VELKDB" import -d jA/db --password-file pw1 \
  --skip-existing bundle1.pem
"$VELKDB" list -d jA/db --password-file pw1 --format json >a-replayed.json
cmp -s a-later.json a-replayed.json && ok || bad "a journal kept from an earlier change rolled A back"

# --- a shared machine: files written, links, modes, core dumps, escapes ------------
S=(-d "$WORK/safe" --password-file pw1)
check "create the database of the shared-machine tests" "$VELKDB" create "${S[@]}"
snapshot_s() { "$VELKDB" list "${S[@]}" --format json >"$1" 2>&1; }
check "import from standard input (-)" "$VELKDB" import "${S[@]}" --label web - <server-with-key.pem
contains "standard input: certificate and key" out.txt "1 certificate (1 with its key)"
check "import a key pair" "$VELKDB" import "${S[@]}" request.key request.csr
fails_with "standard input given twice" 2 0x8B67A "$VELKDB" import "${S[@]}" - - </dev/null

# export -o: the file is written under a fresh name and renamed into place;
# nothing planted in the directory is written through, and a file with a
# private key is the owner's alone whatever the umask.
echo "another user's file" >victim
cp victim victim.orig
ln -s "$WORK/victim" web.pem.velkdb-tmp
ln -s "$WORK/victim" linked.pem
check "export --key beside a planted link" "$VELKDB" export "${S[@]}" --key web -o web.pem
cmp -s victim victim.orig && ok || bad "export wrote through a link planted beside its output"
rm web.pem.velkdb-tmp
[ "$(stat -c %a web.pem)" = 600 ] && ok || bad "exported private key has mode $(stat -c %a web.pem), wanted 600"
check "the exported key opens" openssl pkey -in web.pem -passin file:pw1 -noout
check "export over a link" "$VELKDB" export "${S[@]}" web -o linked.pem
[ ! -L linked.pem ] && cmp -s victim victim.orig && ok || bad "export wrote through the link at its output"
[ "$(stat -c %a linked.pem)" = 644 ] && ok || bad "an exported certificate has mode $(stat -c %a linked.pem), wanted 644"
check "export --key over a file others can read" "$VELKDB" export "${S[@]}" --key web -o linked.pem
[ "$(stat -c %a linked.pem)" = 600 ] && ok || bad "a key exported over a 0644 file has mode $(stat -c %a linked.pem)"
check "export a key pair with its key" "$VELKDB" export "${S[@]}" --key --table keypairs request.test.example -o pair.pem
[ "$(stat -c %a pair.pem)" = 600 ] && ok || bad "an exported key pair has mode $(stat -c %a pair.pem)"
check "export --all --key" "$VELKDB" export "${S[@]}" --all --key -o all.pem
[ "$(stat -c %a all.pem)" = 600 ] && ok || bad "export --all --key has mode $(stat -c %a all.pem)"
mkdir outdir
refuses "export onto a directory" 1 0x8C239 "Is a directory" "$VELKDB" export "${S[@]}" web -o outdir
[ -z "$(find . -maxdepth 2 -name '*.velkdb-*')" ] && ok || bad "export left temporary files: $(find . -name '*.velkdb-*')"

# Password files that others may read are used, with one line of warning.
cp pw1 pw1-open && chmod 644 pw1-open
cp pw1 pw1-group && chmod 640 pw1-group
check "a password file readable by others" "$VELKDB" list -d "$WORK/safe" --password-file pw1-open
[ "$(wc -l <err.txt)" = 1 ] && grep -q "^velkdb: warning: --password-file pw1-open is readable by others (mode 0644)" err.txt &&
  ok || bad "no warning for a password file of mode 0644: $(cat err.txt)"
check "a password file readable by its group" "$VELKDB" list -d "$WORK/safe" --password-file pw1-group
contains "group warning" err.txt "pw1-group is readable by its group (mode 0640)"
check "no warning for a password file of mode 0600" "$VELKDB" list "${S[@]}"
[ ! -s err.txt ] && ok || bad "warning for a 0600 password file: $(cat err.txt)"
cp importpw importpw-open && chmod 644 importpw-open
check "an input password file readable by others" \
  "$VELKDB" import "${S[@]}" --import-password-file importpw-open enc.pem enc-encrypted.key
contains "input password warning" err.txt "warning: --import-password-file importpw-open is readable by others"
mkdir pwdir
fails_with "a directory as password file" 1 0x8B67A "$VELKDB" list -d "$WORK/safe" --password-file pwdir
contains "password file: is a directory" err.txt "pwdir: is a directory"

# A passwd whose change completed, run again with --expire (its process
# stopped before it said so): the expiry is set all the same.
cp pw2 pw2-open && chmod 644 pw2-open
check "passwd" "$VELKDB" passwd "${S[@]}" --new-password-file pw2-open
contains "new password warning" err.txt "warning: --new-password-file pw2-open is readable by others"
check "passwd again with --expire" "$VELKDB" passwd "${S[@]}" --new-password-file pw2 --expire 2035-06-30
S=(-d "$WORK/safe" --password-file pw2)
says "info after passwd again" "password expires: 2035-06-30T00:00:00Z" "$VELKDB" info "${S[@]}"
check "verify after passwd again" "$VELKDB" verify "${S[@]}"

# A running velkdb neither dumps core nor lets other processes of its user
# read it: seen from outside while it waits for its password on a FIFO.
mkfifo -m 666 "$PUB/pw"
as_other=()
owner_check=yes
if [ "$(id -u)" = 0 ]; then
  # As root, /proc tells dumpable from not only for another user.
  if command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$VELKDB"; then
    as_other=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  else
    owner_check=no
  fi
fi
hard_core=$(ulimit -H -c)
sh -c 'ulimit -S -c "$1" 2>/dev/null; shift; exec "$@"' sh "$hard_core" "${as_other[@]}" \
  "$VELKDB" list -d "$PUB/none" --password-file "$PUB/pw" >/dev/null 2>&1 &
pid=$!
# Opening the FIFO returns once velkdb has opened it, well past its start.
timeout 20 sh -c 'exec 3>"$1" && cat "/proc/$2/limits" >"$3" && stat -c %u "/proc/$2/status" >>"$3" && echo x >&3' \
  sh "$PUB/pw" "$pid" "$WORK/proc.txt" || bad "velkdb did not open its password FIFO"
wait $pid
if [ "$hard_core" != 0 ]; then
  [ "$(awk '/^Max core file size/ {print $5}' proc.txt)" = 0 ] && ok || bad "velkdb may dump core: $(grep core proc.txt)"
fi
if [ "$owner_check" = yes ]; then
  # The /proc files of a process that is not dumpable belong to root.
  [ "$(tail -1 proc.txt)" = 0 ] && ok || bad "velkdb is dumpable (/proc/PID/status belongs to uid $(tail -1 proc.txt))"
else
  echo "note: not checked whether velkdb is dumpable (root without setpriv)"
fi

# A database in a shared sticky folder (mode 1777): another user can plant a
# journal beside it but not remove the owner's files, nor the owner theirs.
# The planted journal is never applied: the owner's reads go on with a
# warning; a change says clearly that the file is in its way.
if [ ${#as_other[@]} -gt 0 ]; then
  SHARED=$(mktemp -d "$HARNESS_OUTER_TMPDIR/velkdb-shared-XXXXXX")
  chmod 1777 "$SHARED"
  HARNESS_CLEANUP+=("$SHARED")
  cp pw1 "$SHARED/pw" && cp server.pem bundle1.pem "$SHARED/" && chown 65534:65534 "$SHARED/pw" && chmod 644 "$SHARED"/*.pem
  owner=("${as_other[@]}" "$VELKDB")
  check "the owner creates a database in the shared folder" "${owner[@]}" create -d "$SHARED/db" --password-file "$SHARED/pw"
  check "the owner imports" "${owner[@]}" import -d "$SHARED/db" --password-file "$SHARED/pw" "$SHARED/server.pem"
  "${owner[@]}" list -d "$SHARED/db" --password-file "$SHARED/pw" --format json >shared-before.json 2>/dev/null
  # A whole journal of the earliest layout (it has no MAC): what a user
  # without the password can make.
  python3 -c '
import hashlib, sys
head = b"VELJRNL1" + b"n" * 16 + (10).to_bytes(8, "big")
sys.stdout.buffer.write(head + hashlib.sha256(head).digest() + b"\0" * 200)' >"$SHARED/db.vkey-journal"
  check "the owner lists with a planted journal" "${owner[@]}" list -d "$SHARED/db" --password-file "$SHARED/pw" --format json
  cmp -s out.txt shared-before.json && ok || bad "a planted journal changed what the owner sees"
  contains "the list warns about the planted journal" err.txt "db.vkey-journal"
  "${owner[@]}" import -d "$SHARED/db" --password-file "$SHARED/pw" "$SHARED/bundle1.pem" >out.txt 2>err.txt &&
    bad "an import went on with a journal it cannot remove in its way" || ok
  contains "the import says what is in its way" err.txt "must remove it"
  "${owner[@]}" list -d "$SHARED/db" --password-file "$SHARED/pw" --format json >shared-after.json 2>/dev/null
  cmp -s shared-before.json shared-after.json && ok || bad "the refused import changed the database"
  rm -f "$SHARED/db.vkey-journal"
  check "once it is removed the import goes on" "${owner[@]}" import -d "$SHARED/db" --password-file "$SHARED/pw" \
    "$SHARED/bundle1.pem"
else
  echo "note: the shared-folder journal test needs root and setpriv"
fi

# New labels are one line of UTF-8 text; impossible dates are refused.
snapshot_s before.json
fails_with "a label with a line end" 2 0x8B67A "$VELKDB" import "${S[@]}" --label "$(printf 'two\nlines')" der.cer
fails_with "rename to a label with a tab" 2 0x8B67A "$VELKDB" rename "${S[@]}" web "$(printf 'a\tb')"
contains "the label is named, written out" err.txt 'the label "a\tb" holds a control character'
fails_with "create expiring on 31 April" 2 0x8B67A "$VELKDB" create -d "$WORK/never" --password-file pw1 --expire 2026-04-31
[ ! -e "$WORK/never.vkey" ] && ok || bad "create with an impossible date made a database"

# Input that is cut off, or no file: refused whole.
{ cat bundle1.pem bundle2.pem; head -c 15 ca.pem; } >cut.pem
refuses "a bundle cut inside a begin line" 1 0x8B67A "cut-off or malformed PEM" "$VELKDB" import "${S[@]}" cut.pem
snapshot_s after.json
cmp -s before.json after.json && ok || bad "refused input changed the database"

# --- what an attacker may hand velkdb ------------------------------------------------
says "export -o - writes to standard output" "BEGIN CERTIFICATE" "$VELKDB" export "${S[@]}" web -o -

# Password files: a FIFO is fine only when none but its owner may read it;
# another user's file gets the warning too.
mkfifo -m 666 pw.fifo
(timeout 20 sh -c 'cat pw2 >pw.fifo' &)
check "a password FIFO others may read" timeout 20 "$VELKDB" list "${S[@]}" --password-file pw.fifo
contains "warning for a FIFO of mode 0666" err.txt "pw.fifo is readable by others (mode 0666)"
mkfifo -m 600 pw-own.fifo
(timeout 20 sh -c 'cat pw2 >pw-own.fifo' &)
check "a password FIFO of the user's own" timeout 20 "$VELKDB" list "${S[@]}" --password-file pw-own.fifo
[ ! -s err.txt ] && ok || bad "warning for a 0600 FIFO of the user's own: $(cat err.txt)"
if [ "$(id -u)" = 0 ]; then
  cp pw2 pw1-theirs && chown 65534 pw1-theirs
  check "a password file of another user" "$VELKDB" list "${S[@]}" --password-file pw1-theirs
  contains "warning for another user's file" err.txt "pw1-theirs belongs to another user"
else
  skip "another user's password file (needs root to make one)"
fi

# Weak new passwords: short or common ones are taken with a warning.
printf 'short\n' >pw-short && chmod 600 pw-short
printf 'PassWord1234\n' >pw-common && chmod 600 pw-common
check "create with a short password" "$VELKDB" create -d "$WORK/weak" --password-file pw-short
contains "short password: warning" err.txt "the new database password is short (5 characters; use 12 or more)"
check "passwd to a common password" "$VELKDB" passwd -d "$WORK/weak" --password-file pw-short --new-password-file pw-common
contains "common password: warning" err.txt "is one of the most common passwords"
status_is "--weak-password-ok silences passwd" 0 \
  "$VELKDB" passwd -d "$WORK/weak" --password-file pw-common --new-password-file pw-short --weak-password-ok

# A record longer than its table's limit: refused before the table grows,
# naming the record and its length; taken with a raised limit.
python3 - >huge.cnf <<'PY'
print("[req]\ndistinguished_name = dn\nprompt = no\n[dn]")
for i in range(1600):
    print("%d.OU = unit %04d of a subject longer than a certificate needs" % (i, i))
print("CN = huge.test.example")
PY
ecreq -x509 -keyout huge.key -config huge.cnf -days 5 -out huge.pem
[ "$(openssl x509 -in huge.pem -outform DER | wc -c)" -gt 100000 ] && ok || bad "test material: huge.pem too small"
size_before=$(stat -c %s "$WORK/safe.vkey")
refuses "a certificate over 64 KiB" 1 0x8B67A "certificate CN=huge.test.example" "$VELKDB" import "${S[@]}" huge.pem
contains "long record: the limit" err.txt "more than the keys table's limit of 65536 bytes"
[ "$(stat -c %s "$WORK/safe.vkey")" = "$size_before" ] && ok || bad "a refused record grew the key table"
fails_with "--max-record-length takes a number" 2 0x8B67A "$VELKDB" import "${S[@]}" --max-record-length lots huge.pem
check "taken with --max-record-length" "$VELKDB" import "${S[@]}" --max-record-length 1000000 --label huge huge.pem
check "and read back" "$VELKDB" export "${S[@]}" huge
cmp -s out.txt <(openssl x509 -in huge.pem) && ok || bad "the long certificate did not come back"
check "delete the long record" "$VELKDB" delete "${S[@]}" huge

# --- upgrade from version 3 --------------------------------------------------------
U=(-d "$WORK/old" --password-file pw1)
check "create a version-3 database" "$VELKDB" create "${U[@]}" --version 3 --expire 2031-02-03
check "v3: a certificate with its key" "$VELKDB" import "${U[@]}" --label "keyed" server-with-key.pem
check "v3: a trusted certificate" "$VELKDB" import "${U[@]}" --trusted --label "trusted root" ca.pem
check "v3: a certificate deleted after" "$VELKDB" import "${U[@]}" --label gone bundle1.pem
check "v3: another certificate" "$VELKDB" import "${U[@]}" --label "after the gap" bundle2.pem
check "v3: a key pair" "$VELKDB" import "${U[@]}" --label "pending request" request.key request.csr
check "v3: a CRL" "$VELKDB" import "${U[@]}" --label "root CRL" crl.pem
check "v3: delete one (its record ID stays unused)" "$VELKDB" delete "${U[@]}" gone
says "info on version 3" "version-3 tables can be forged by combining snapshots of the file" "$VELKDB" info "${U[@]}"
contains "info: suggests upgrade" out.txt "velkdb upgrade"
says "verify on version 3" "run \`velkdb upgrade\`" "$VELKDB" verify "${U[@]}"
"$VELKDB" list "${U[@]}" --format json >old-list.json
"$VELKDB" export "${U[@]}" --all --key >old-all.pem
# Stopped after the first table was renamed: every table still opens with
# all its records, and upgrade again completes the change.
VELKDB_TEST_CRASH=upgrade:1 "$VELKDB" upgrade "${U[@]}" >out.txt 2>&1
[ $? -eq 99 ] && ok || bad "crash hook did not stop upgrade"
check "a half-done upgrade still lists" "$VELKDB" list "${U[@]}" --format json
cmp -s out.txt old-list.json && ok || bad "a half-done upgrade changed what list shows"
says "upgrade" "upgraded $WORK/old to version 4 (3 tables, 5 records)" "$VELKDB" upgrade "${U[@]}"
[ -z "$(ls "$WORK" | grep -E '^old\..*velkdb')" ] && ok || bad "upgrade left files: $(ls "$WORK" | grep -E '^old\..*velkdb')"
check "info after upgrade" "$VELKDB" info "${U[@]}"
[ "$(grep -c 'version:  4' out.txt)" = 3 ] && ok || bad "not every table at version 4: $(grep version out.txt)"
lacks "info: no version-3 note after upgrade" out.txt "version-3"
contains "upgrade keeps the expiry" out.txt "password expires: 2031-02-03"
check "list after upgrade" "$VELKDB" list "${U[@]}" --format json
cmp -s out.txt old-list.json && ok || bad "records, labels, IDs or trust changed: $(diff old-list.json out.txt | head -5)"
check "export after upgrade" "$VELKDB" export "${U[@]}" --all --key
cmp -s out.txt old-all.pem && ok || bad "exported records or keys changed by the upgrade"
check "verify after upgrade (every key opens)" "$VELKDB" verify "${U[@]}"
contains "verify after upgrade: keys" out.txt "keys: ok (version 4, 3 records, 1 private key checked)"
says "upgrade a version-4 database" "is at version 4 already; nothing to do" "$VELKDB" upgrade "${U[@]}"
fails_with "upgrade with the wrong password" 1 0x8C240 "$VELKDB" upgrade -d "$WORK/old" --password-file pw2

# --- demo -------------------------------------------------------------------------
says "demo" "verify: ok" "$VELKDB" demo "$WORK/demo" --ca-bundle bundle.pem
contains "demo finds by subject" out.txt "label:        www.demo.test"
check "demo database opens with the kept password" \
  "$VELKDB" verify -d "$WORK/demo/demo" --password-file "$WORK/demo/password"
# A password file kept from before that others could read, or a link there,
# is replaced by a new file of the owner's alone.
chmod 644 "$WORK/demo/password"
check "demo runs again over its own database" "$VELKDB" demo "$WORK/demo" --ca-bundle bundle.pem
[ "$(stat -c %a "$WORK/demo/password")" = 600 ] && ok || bad "demo password file has mode $(stat -c %a "$WORK/demo/password")"
cp victim.orig victim
ln -sf "$WORK/victim" "$WORK/demo/password"
check "demo over a link at its password file" "$VELKDB" demo "$WORK/demo" --ca-bundle bundle.pem
[ ! -L "$WORK/demo/password" ] && cmp -s victim victim.orig && ok || bad "demo wrote its password through a link"

finish
