#!/usr/bin/env bash
# Runs the real velkdb binary through a key's life: a request, the issued
# certificate joined with its key, a key joined with its stored
# certificate, export to PKCS#12, PEM chains and clear keys read by openssl
# and keytool, and the labels that imports keep.  A check that needs a
# tool that is not installed prints SKIP.
#
#   velkdb_lifecycle_test.sh PATH/TO/velkdb
source "$(dirname "$0")/harness.sh" lifecycle "$1"

labels() { json "$1" "sorted(r['label'] for r in d['$2'])"; }
pubkey_of_cert() { openssl x509 -in "$1" -pubkey -noout; }

# --- material: a root, an intermediate under it ---------------------------------
echo "db password" >pw
echo "export secret" >epw
chmod 600 pw epw
P=(--password-file pw)
ecreq -x509 -keyout root.key -subj "/O=Life/CN=Life Root" -days 30 -out root.pem
printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' >ca.ext
ecreq -keyout inter.key -subj "/O=Life/CN=Life Inter" -out inter.csr
openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -CAcreateserial -days 30 -extfile ca.ext \
  -out inter.pem 2>/dev/null
issue() {  # issue CSR OUT: a certificate for the request, by the intermediate
  openssl x509 -req -in "$1" -CA inter.pem -CAkey inter.key -CAcreateserial -days 30 -copy_extensions copy \
    -out "$2" 2>/dev/null
}
gencrl root.key root.pem root-crl.pem
[ -s inter.pem ] && [ -s root-crl.pem ] || { echo "FAIL: test material"; exit 1; }

# --- 1. request, then install the issued certificate ---------------------------
export VELKDB_DB=$WORK/db
check "create" "$VELKDB" create "${P[@]}"
# Usage errors come before the password is asked for (none is given here).
fails_with "request without --subject" 2 0x8B67A "$VELKDB" request
fails_with "request with a label that is two lines" 2 0x8B67A "$VELKDB" request --subject CN=x --label "$(printf 'a\nb')"

check "request to standard output" "$VELKDB" request "${P[@]}" --subject "CN=web.life.test,O=Life" \
  --san "web.life.test,IP:192.0.2.7"
cp out.txt web.csr
contains "request says where the key went" err.txt "stored key pair #"
check "the request verifies" openssl req -in web.csr -verify -noout
openssl req -in web.csr -noout -text >req.txt
contains "request names the SAN" req.txt "DNS:web.life.test, IP Address:192.0.2.7"
for type in ec:P-384 rsa:2048 rsa:3072 ed25519; do
  check "request --key $type -o" "$VELKDB" request "${P[@]}" --subject "CN=$type.life.test" --key "$type" -o "$type.csr"
  openssl req -in "$type.csr" -verify -noout -text >req.txt 2>&1 || bad "$type request does not verify"
  case $type in
    ec:P-384) contains "P-384 key" req.txt "NIST CURVE: P-384" ;;
    rsa:*) contains "$type key" req.txt "Public-Key: (${type#rsa:} bit)" ;;
    ed25519) contains "ed25519 key" req.txt "ED25519" ;;
  esac
done
# Nothing is stored for a request that has nowhere to go.
fails_with "request into a missing directory" 1 0x8B67A \
  "$VELKDB" request "${P[@]}" --subject "CN=lost.life.test" -o "$WORK/no/such/dir/lost.csr"
check "list" "$VELKDB" list "${P[@]}" --format json
cp out.txt list.json
[ "$(labels list.json keypairs)" = "['ec:P-384.life.test', 'ed25519.life.test', 'rsa:2048.life.test', 'rsa:3072.life.test', 'web.life.test']" ] &&
  ok || bad "key pairs after requests: $(labels list.json keypairs)"
check "stored keys open with the database password" "$VELKDB" verify "${P[@]}"

issue web.csr web.pem
# A stop inside the joining import leaves the key pair as it was.
VELKDB_TEST_CRASH=import:1 "$VELKDB" import "${P[@]}" web.pem >out.txt 2>&1
[ $? -eq 99 ] && ok || bad "crash hook did not stop the import"
check "a read-write open recovers" "$VELKDB" rename "${P[@]}" --table keypairs ed25519.life.test "ed key"
check "list after the stopped join" "$VELKDB" list "${P[@]}" --format json
[ "$(json out.txt "len(d['keys']), len(d['keypairs'])")" = "(0, 5)" ] && ok || bad "stopped join changed the tables"

check "import the issued certificate alone" "$VELKDB" import "${P[@]}" web.pem
contains "summary tells of the join" out.txt "1 certificate joined with the stored key pair's key"
check "list after the join" "$VELKDB" list "${P[@]}" --format json
[ "$(json out.txt "[(r['label'], r['hasKey']) for r in d['keys']]")" = "[('web.life.test', True)]" ] && ok ||
  bad "joined certificate: $(json out.txt "d['keys']")"
[ "$(json out.txt "'web.life.test' in [r['label'] for r in d['keypairs']]")" = False ] && ok || bad "key pair left after the join"
check "export the joined key" "$VELKDB" export "${P[@]}" --key --unencrypted web.life.test -o web-clear.pem
openssl pkey -in web-clear.pem -pubout >web-key-pub.pem 2>/dev/null
pubkey_of_cert web.pem | cmp -s - web-key-pub.pem && ok || bad "the joined key is not the certificate's"

# The certificate first, its key later: the key joins the stored record,
# which keeps its label and ID.
ecreq -keyout late.key -subj "/CN=late.life.test" -out late.csr
issue late.csr late.pem
check "import a certificate without its key" "$VELKDB" import "${P[@]}" --label "late cert" late.pem
check "show it" "$VELKDB" show "${P[@]}" "late cert"
late_id=$(sed -n 's/^record ID: *//p' out.txt)
says "import its key alone" "1 key joined stored certificates" "$VELKDB" import "${P[@]}" late.key
check "show the joined record" "$VELKDB" show "${P[@]}" "late cert"
[ "$(sed -n 's/^record ID: *//p' out.txt)" = "$late_id" ] && ok || bad "the joined record has another ID"
contains "the joined key opens" out.txt "opens with the database password"
says "the same key again" "skipped 1 already present" "$VELKDB" import "${P[@]}" late.key
# The same with the key and its certificate in one input.
openssl req -newkey rsa:2048 -nodes -keyout both.key -subj "/CN=both.life.test" -out both.csr 2>/dev/null
issue both.csr both.pem
check "import another certificate without its key" "$VELKDB" import "${P[@]}" --label "both cert" both.pem
cat both.pem both.key >both-with-key.pem
check "import it again with its key" "$VELKDB" import "${P[@]}" both-with-key.pem
contains "the key joined it" out.txt "imported 0 certificates (0 with keys), 0 key pairs, 0 CRLs; 1 key joined"
check "list" "$VELKDB" list "${P[@]}" --format json
[ "$(json out.txt "[(r['label'], r['hasKey']) for r in d['keys'] if r['subject'] == 'CN=both.life.test']")" = \
  "[('both cert', True)]" ] && ok || bad "certificate and key did not join the stored record: $(cat out.txt)"
says "a certificate stored with its key, again" "skipped" "$VELKDB" import "${P[@]}" both-with-key.pem
openssl genpkey -algorithm ed25519 -out stray.key 2>/dev/null
fails_with "a key of nothing stored" 1 0x8B67A "$VELKDB" import "${P[@]}" stray.key
check "verify after the joins" "$VELKDB" verify "${P[@]}"

# --- 2. export for other tools ---------------------------------------------------
check "import the CA certificates" "$VELKDB" import "${P[@]}" root.pem inter.pem
fails_with "--unencrypted without --key" 2 0x8B67A "$VELKDB" export "${P[@]}" --unencrypted web.life.test
fails_with "a PKCS#12 file with no password source" 1 0x8B67A \
  setsid "$VELKDB" export "${P[@]}" web.life.test --pkcs12 none.p12 </dev/null
[ ! -e none.p12 ] && ok || bad "a refused export left a file"
fails_with "a PKCS#12 file of a certificate without a key" 1 0x8B67A \
  "$VELKDB" export "${P[@]}" "Life Root" --pkcs12 root.p12 --export-password-file epw

check "export --pkcs12" "$VELKDB" export "${P[@]}" web.life.test --pkcs12 web.p12 --export-password-file epw
[ "$(stat -c %a web.p12)" = 600 ] && ok || bad "PKCS#12 file has mode $(stat -c %a web.p12)"
openssl pkcs12 -in web.p12 -info -noout -passin file:epw >p12info.txt 2>&1 || bad "openssl does not read the PKCS#12 file"
contains "MAC is HMAC-SHA256" p12info.txt "MAC: sha256"
contains "encryption is PBES2 with AES-256" p12info.txt "PBES2, PBKDF2, AES-256-CBC"
contains "PBKDF2 with HMAC-SHA256" p12info.txt "PRF hmacWithSHA256"
if grep -q "PBE-SHA1\|RC2\|3DES" p12info.txt; then bad "legacy algorithm in the PKCS#12 file"; else ok; fi
openssl pkcs12 -in web.p12 -nokeys -passin file:epw -out p12certs.pem 2>/dev/null
[ "$(grep -c 'BEGIN CERTIFICATE' p12certs.pem)" = 3 ] && ok || bad "PKCS#12 holds $(grep -c 'BEGIN CERTIFICATE' p12certs.pem) certificates"
contains "friendly name is the label" p12certs.pem "friendlyName: web.life.test"
openssl verify -CAfile root.pem -untrusted p12certs.pem web.pem >/dev/null 2>&1 && ok || bad "PKCS#12 chain does not verify"
openssl pkcs12 -in web.p12 -nocerts -nodes -passin file:epw 2>/dev/null | openssl pkey -pubout 2>/dev/null |
  cmp -s - web-key-pub.pem && ok || bad "PKCS#12 key is not the certificate's"
if have keytool; then
  keytool -list -v -storetype PKCS12 -keystore web.p12 -storepass "export secret" >keytool.txt 2>&1 ||
    bad "keytool does not read the PKCS#12 file: $(head -3 keytool.txt)"
  contains "keytool: alias" keytool.txt "Alias name: web.life.test"
  contains "keytool: key entry" keytool.txt "Entry type: PrivateKeyEntry"
  contains "keytool: chain" keytool.txt "Certificate chain length: 3"
else
  skip "keytool is not installed: PKCS#12 interchange with keytool"
fi

check "export --chain" "$VELKDB" export "${P[@]}" web.life.test --chain -o chain.pem
[ "$(stat -c %a chain.pem)" = 644 ] && ok || bad "a chain without key has mode $(stat -c %a chain.pem)"
python3 - chain.pem <<'PY' >order.txt
import subprocess, sys
blocks = open(sys.argv[1]).read().split("-----END CERTIFICATE-----")[:-1]
for b in blocks:
    pem = b[b.index("-----BEGIN"):] + "-----END CERTIFICATE-----\n"
    print(subprocess.run(["openssl", "x509", "-noout", "-subject", "-nameopt", "RFC2253"], input=pem,
                         capture_output=True, text=True).stdout.strip())
PY
[ "$(tr '\n' '|' <order.txt)" = "subject=CN=web.life.test,O=Life|subject=CN=Life Inter,O=Life|subject=CN=Life Root,O=Life|" ] &&
  ok || bad "chain order: $(tr '\n' '|' <order.txt)"
openssl verify -CAfile root.pem -untrusted chain.pem web.pem >/dev/null 2>&1 && ok || bad "exported chain does not verify"

check "export --key --unencrypted" "$VELKDB" export "${P[@]}" --key --unencrypted "late cert" -o late-clear.pem
[ "$(stat -c %a late-clear.pem)" = 600 ] && ok || bad "a clear key file has mode $(stat -c %a late-clear.pem)"
contains "plain PKCS#8" late-clear.pem "BEGIN PRIVATE KEY"
openssl pkey -in late-clear.pem -pubout -passin pass: 2>/dev/null | cmp -s - <(openssl pkey -in late.key -pubout) &&
  ok || bad "openssl pkey does not read the clear key, or it is another"

# --- 4. names ----------------------------------------------------------------------
check "a CA and its CRL together" "$VELKDB" import "${P[@]}" --skip-existing root.pem root-crl.pem
check "list" "$VELKDB" list "${P[@]}" --format json
[ "$(labels out.txt crls)" = "['Life Root CRL']" ] && ok || bad "CRL label: $(labels out.txt crls)"
says "delete by the CRL's label" 'deleted crls #' "$VELKDB" delete "${P[@]}" "Life Root CRL"
check "the CRL again, under the CA's label" "$VELKDB" import "${P[@]}" --label "Life Root" root-crl.pem
fails_with "delete a label that two tables have" 1 0x8B67A "$VELKDB" delete "${P[@]}" "Life Root"
contains "the refusal names the tables" err.txt "is in the tables keys and crls: add --table keys or --table crls"
says "delete it from one table" 'deleted crls #' "$VELKDB" delete "${P[@]}" --table crls "Life Root"
check "the certificate stays" "$VELKDB" show "${P[@]}" --table keys "Life Root"

export VELKDB_DB=$WORK/names
check "create a second database" "$VELKDB" create "${P[@]}"
ecreq -keyout fn.key -subj "/CN=fn.life.test" -out fn.csr
issue fn.csr fn.pem
openssl pkcs12 -export -in fn.pem -inkey fn.key -certfile inter.pem -name "friendly web" -passout file:epw -out fn.p12
check "import a PKCS#12 file" "$VELKDB" import "${P[@]}" --import-password-file epw fn.p12
check "import the PKCS#12 file that velkdb wrote" \
  "$VELKDB" import "${P[@]}" --skip-existing --import-password-file epw web.p12
check "list" "$VELKDB" list "${P[@]}" --format json
[ "$(labels out.txt keys)" = "['Life Inter', 'Life Root', 'friendly web', 'web.life.test']" ] && ok ||
  bad "labels from friendly names: $(labels out.txt keys)"
if have keytool; then
  keytool -genkeypair -alias "kt alias" -keyalg EC -groupname secp256r1 -dname "CN=kt.life.test" -validity 30 \
    -storetype PKCS12 -keystore kt.p12 -storepass "export secret" >/dev/null 2>&1
  keytool -importcert -noprompt -alias "kt trusted root" -file root.pem -storetype PKCS12 -keystore kt.p12 \
    -storepass "export secret" >/dev/null 2>&1
  check "import a keytool-made PKCS#12 file" "$VELKDB" import "${P[@]}" --skip-existing --import-password-file epw kt.p12
  check "list" "$VELKDB" list "${P[@]}" --format json
  [ "$(json out.txt "[r['hasKey'] for r in d['keys'] if r['label'] == 'kt alias']")" = "[True]" ] && ok ||
    bad "keytool alias is no label: $(labels out.txt keys)"
else
  skip "keytool is not installed: aliases of a keytool-made PKCS#12 file"
fi

finish
