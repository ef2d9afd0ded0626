#!/usr/bin/env bash
# A database taken out and put back: export --all --key and --all --pkcs12
# give every label, trust mark, key, key pair and CRL back; backup copies
# the files and a restore puts them back; an import run twice; the
# messages for a wrong password, a cut-off file and a Java key store; DER
# export; expiries that have passed.
#
#   velkdb_backup_test.sh PATH/TO/velkdb
source "$(dirname "$0")/harness.sh" backup "$1"

# What a backup must keep: every record without its ID (a new database
# gives new ones), sorted.
records() {
  "$VELKDB" list -d "$1" --password-file pw --format json >"$2.json" &&
    json "$2.json" "'\\n'.join(sorted(repr((t, sorted((k, repr(v)) for k, v in r.items() if k != 'id'))) for t in ('keys', 'keypairs', 'crls') for r in d.get(t, [])))" >"$2"
}

echo "db password" >pw
echo "other password" >pw2
echo "export secret" >epw
chmod 600 pw pw2 epw
A=(-d a/db --password-file pw)
B=(-d b/db --password-file pw)
mkdir a b c d

# --- material: a root with a CRL, a server under it, a PKCS#12 with a friendly name
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout root.key -subj "/CN=Backup Root" \
  -days 30 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  -out root.pem 2>/dev/null
for n in web app apart; do
  ecreq -keyout $n.key -subj "/CN=$n.example" -out $n.csr
  openssl x509 -req -in $n.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30 -out $n.pem 2>/dev/null
done
gencrl root.key root.pem root-crl.pem
openssl pkcs12 -export -inkey app.key -in app.pem -certfile root.pem -name "app alias" -passout file:epw -out app.p12
[ -s root-crl.pem ] && [ -s app.p12 ] || { echo "FAIL: test material"; exit 1; }

check "create" "$VELKDB" create "${A[@]}"
check "a trusted root" "$VELKDB" import "${A[@]}" --trusted --label "the root" root.pem
check "a key with --label" "$VELKDB" import "${A[@]}" --label "web server" web.pem web.key
check "a CRL with --label" "$VELKDB" import "${A[@]}" --label "root revocations" root-crl.pem
check "a key pair by request --label" "$VELKDB" request "${A[@]}" --subject "CN=pending" --label "pending request" -o p.csr
# A key pair and the certificate issued for it stored apart (as older
# releases stored them).
check "a key pair and its certificate apart" "$VELKDB" import "${A[@]}" apart.csr apart.key apart.pem

# --- an identical PKCS#12 twice; its CA certificate is stored already
check "a PKCS#12 whose CA certificate is stored" "$VELKDB" import "${A[@]}" --import-password-file epw app.p12
contains "... skipping the root" out.txt "skipped 1 already present"
check "the same PKCS#12 again, keys and all stored" "$VELKDB" import "${A[@]}" --import-password-file epw app.p12
contains "... imports nothing" out.txt "imported 0 certificates"
check "a certificate with its key again, --skip-existing" "$VELKDB" import "${A[@]}" --skip-existing web.pem web.key
contains "... is skipped" out.txt "skipped 1 already present"
check "the same key pair again" "$VELKDB" export "${A[@]}" --label "pending request" --table keypairs --key -o pair.pem
says "... skipped with --skip-existing" "skipped 1 already present" "$VELKDB" import "${A[@]}" --skip-existing pair.pem

# --- the PEM backup round trip
check "export --all --key" "$VELKDB" export "${A[@]}" --all --key -o all.pem
contains "labels travel before their blocks" all.pem "friendlyName: web server"
contains "... and the trust mark" all.pem "trusted: yes"
check "create the restore target" "$VELKDB" create "${B[@]}"
check "import the backup (no --import-password-file: same password)" "$VELKDB" import "${B[@]}" all.pem
contains "trust marks are not taken unasked" out.txt "1 trust mark of the input not taken (--keep-trust"
check "create another target" "$VELKDB" create -d c/db --password-file pw
check "import the backup with --keep-trust" "$VELKDB" import -d c/db --password-file pw --keep-trust all.pem
records a/db a.list
records c/db c.list
if cmp -s a.list c.list; then ok; else bad "records differ after the round trip"; diff a.list c.list; fi
contains "every kind of label came back" c.list "'pending request'"
contains "... the CRL's" c.list "'root revocations'"
contains "... the friendly name's" c.list "'app alias'"
records b/db b.list
lacks "without --keep-trust nothing is trusted" b.list "('trusted', 'True')"

# --- a wrong password, a cut-off file
check "create a database with another password" "$VELKDB" create -d d/db --password-file pw2
refuses "a wrong PKCS#12 password says so" 1 0x8C240 "wrong password for app.p12" \
  "$VELKDB" import -d d/db --password-file pw2 --import-password-file pw2 app.p12
head -c 300 app.p12 >cut.p12
refuses "a cut-off PKCS#12 file" 1 0x8B67A "truncated or damaged" "$VELKDB" import "${A[@]}" cut.p12
VELKDB_IMPORT_PASSWORD="db password" check "a backup under another password opens with the one given" \
  "$VELKDB" import -d d/db --password-file pw2 all.pem

# --- DER, one record at a time
check "export --der a certificate" "$VELKDB" export "${A[@]}" --der --label "web server" -o web.der
if openssl x509 -inform DER -in web.der -noout 2>/dev/null && cmp -s web.der <(openssl x509 -in web.pem -outform DER); then ok
else bad "the DER certificate is not the imported one"; fi
check "export --der --key" "$VELKDB" export "${A[@]}" --der --key --label "web server" -o webkey.der
check "... encrypted under the database password" openssl pkcs8 -inform DER -in webkey.der -passin file:pw -out web.clear
check "export --der --key --unencrypted" "$VELKDB" export "${A[@]}" --der --key --unencrypted --label "web server" -o webclear.der
if cmp -s <(openssl pkey -inform DER -in webclear.der -pubout) <(openssl pkey -in web.key -pubout); then ok
else bad "the clear DER key is not the imported one"; fi
check "export --der a CRL" "$VELKDB" export "${A[@]}" --der --table crls --label "root revocations" -o crl.der
check "... that openssl reads" openssl crl -inform DER -in crl.der -noout
fails_with "--der with --all is refused" 2 0x8B67A "$VELKDB" export "${A[@]}" --der --all -o x.der
fails_with "--der with several matches is refused" 1 0x8B67A "$VELKDB" export "${A[@]}" --der --issuer "CN=Backup Root"

# --- the whole store as one PKCS#12 file: every record comes back
VELKDB_EXPORT_PASSWORD="export secret" check "export --all --pkcs12" "$VELKDB" export "${A[@]}" --all --pkcs12 store.p12
contains "... with the key pair and the CRL" err.txt "2 key pairs, 1 CRL"
check "openssl reads the store" openssl pkcs12 -info -noout -in store.p12 -passin file:epw
if have keytool; then
  check "keytool lists the store" keytool -list -v -keystore store.p12 -storetype PKCS12 -storepass "export secret"
  contains "... with the labels as aliases" out.txt "Alias name: web server"
  contains "... and the trusted root as a trusted entry" out.txt "trustedCertEntry"
else
  skip "keytool is not installed: the store is not listed with it"
fi
mkdir e && check "create a fourth database" "$VELKDB" create -d e/db --password-file pw
check "import the store" "$VELKDB" import -d e/db --password-file pw --keep-trust --import-password-file epw store.p12
records a/db a.records
records e/db e.records
if cmp -s a.records e.records; then ok; else bad "the store's records came back otherwise"; diff a.records e.records; fi
for db in a e; do
  check "export the key pair's request from $db" "$VELKDB" export -d $db/db --password-file pw --table keypairs \
    --label "pending request" --format der -o $db.csr.der
  check "export the CRL from $db" "$VELKDB" export -d $db/db --password-file pw --table crls \
    --label "root revocations" --format der -o $db.crl.der
done
if cmp -s a.csr.der e.csr.der; then ok; else bad "the request's bytes changed on the way"; fi
if cmp -s a.crl.der e.crl.der; then ok; else bad "the CRL's bytes changed on the way"; fi
check "the key pair's key came back with it" "$VELKDB" export -d e/db --password-file pw --table keypairs \
  --label "pending request" --key --unencrypted -o e.pair.pem
if cmp -s <(openssl req -in e.pair.pem -noout -pubkey) <(openssl pkey -in e.pair.pem -pubout); then ok
else bad "the key pair's key is not its request's"; fi
check "the store imported again" "$VELKDB" import -d e/db --password-file pw --keep-trust --import-password-file epw store.p12
contains "... imports nothing new" out.txt "imported 0 certificates (0 with keys), 0 key pairs, 0 CRLs"

# --- a file-level backup, and a restore from it
check "backup" "$VELKDB" backup "${A[@]}" bk
check "the copy verifies" "$VELKDB" verify -d bk --password-file pw
"$VELKDB" list "${A[@]}" >a.plain 2>&1
"$VELKDB" list -d bk --password-file pw >bk.plain 2>&1
if [ -s a.plain ] && cmp -s a.plain bk.plain; then ok; else bad "the copy lists otherwise"; diff a.plain bk.plain; fi
for ext in vkey vkyp vcrl; do
  if cmp -s a/db.$ext bk.$ext; then ok; else bad "bk.$ext is not a/db.$ext byte for byte"; fi
done
if [ "$(stat -c %a bk.vkey)" = 600 ]; then ok; else bad "the copy is readable by others: $(stat -c %a bk.vkey)"; fi
fails_with "a backup over a database is refused" 1 0x8C24E "$VELKDB" backup "${A[@]}" bk
check "... --force replaces it" "$VELKDB" backup "${A[@]}" --force bk
fails_with "a backup onto itself is refused" 2 0x8B67A "$VELKDB" backup "${A[@]}" --force a/db
touch a/db.vkey-journal
refuses "a backup of a change left unfinished is refused" 1 0x8B67A "velkdb recover -d" "$VELKDB" backup "${A[@]}" bk2
rm a/db.vkey-journal
[ ! -e bk2.vkey ] && ok || bad "a refused backup left bk2.vkey"
check "a change after the backup" "$VELKDB" delete "${A[@]}" --table crls --label "root revocations"
for ext in vkey vkyp vcrl; do cp bk.$ext a/db.$ext; done
check "the restored database verifies" "$VELKDB" verify "${A[@]}"
"$VELKDB" list "${A[@]}" >a.restored 2>&1
if cmp -s a.plain a.restored; then ok; else bad "the restore lists otherwise"; diff a.plain a.restored; fi

# --- a backup taken while an import writes: the state before it or after it
# Many records for the import to take a while.
ecreq -x509 -keyout /dev/null -subj "/CN=bulk" -set_serial 0x5A5A5A5A5A5A5A5A -days 30 -outform DER -out template.der
bulkcerts template.der 3000 >bulk.pem
check "create a database to write to" "$VELKDB" create -d w --password-file pw
"$VELKDB" import -d w --password-file pw bulk.pem >bulk.out 2>&1 &
writer=$!
seen=" "
while :; do
  running=0
  kill -0 $writer 2>/dev/null && running=1
  "$VELKDB" backup -d w --password-file pw --wait 120 --force wb >/dev/null 2>&1 || bad "a backup during the import"
  "$VELKDB" verify -d wb --password-file pw >/dev/null 2>&1 || bad "a backup during the import does not verify"
  "$VELKDB" list -d wb --password-file pw --format json >wb.json 2>/dev/null
  count=$(json wb.json "len(d.get('keys', []))")
  case $count in 0 | 3000) seen="$seen$count " ;; *) bad "a backup during the import holds $count of its 3000 records" ;; esac
  [ $running = 1 ] || break
done
wait $writer || bad "the import beside the backups failed"
case $seen in *" 3000 "*) ok ;; *) bad "no backup saw the import: $seen" ;; esac

# --- Java key stores: refused with the command that converts them
"$VELKDB" list "${A[@]}" >before.txt 2>&1
printf '\xfe\xed\xfe\xed\x00\x00\x00\x02\x00\x00\x00\x00' >crafted.jks
printf '\xce\xce\xce\xce\x00\x00\x00\x02\x00\x00\x00\x00' >crafted.jceks
jks=(crafted.jks crafted.jceks)
if have keytool; then
  keytool -genkeypair -alias java -keyalg EC -dname CN=java -validity 3 -storetype JKS -keystore real.jks \
    -storepass changeit -keypass changeit >/dev/null 2>&1 && jks+=(real.jks)
fi
for f in "${jks[@]}"; do
  fails_with "$f is refused" 1 0x8B67A "$VELKDB" import "${A[@]}" --import-password-file epw "$f"
  contains "... with the conversion" err.txt "keytool -importkeystore -srckeystore $f -destkeystore $f.p12 -deststoretype PKCS12"
done
"$VELKDB" list "${A[@]}" >after.txt 2>&1
if cmp -s before.txt after.txt; then ok; else bad "a refused key store changed the database"; fi

# --- expiries that have passed
fails_with "expire in the past" 2 0x8B67A "$VELKDB" expire "${A[@]}" 2020-01-01
check "... taken with --force" "$VELKDB" expire "${A[@]}" --force 2020-01-01
mkdir -p old
fails_with "create --expire in the past" 2 0x8B67A "$VELKDB" create -d old/db --password-file pw --expire 2020-01-01
if [ -n "$(ls -A old)" ]; then bad "... left files"; else ok; fi
fails_with "passwd --expire in the past" 2 0x8B67A "$VELKDB" passwd "${A[@]}" --new-password-file pw2 --expire 2020-01-01
warns "passwd with an expiry that has passed" "has passed" "$VELKDB" passwd "${A[@]}" --new-password-file pw2
contains "... and the new password does not expire" out.txt "password expires never"

finish
