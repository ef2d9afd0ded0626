#!/usr/bin/env bash
# Runs the real velkdb binary as a small CA: a self-signed CA and server
# certificate made in one step, requests (velkdb's own and openssl's) signed
# with the stored CA key and installed with their keys, the trust mark that
# verify-chain anchors on, show's extensions and JSON, verify-chain for a
# purpose and at a time, and revocation with the CA's CRLs.  openssl checks
# what velkdb makes.
#
#   velkdb_issue_test.sh PATH/TO/velkdb
source "$(dirname "$0")/harness.sh" issue "$1"

# The CRL number of a PEM CRL in hex, as openssl prints it ("01").
crlnumber() { openssl crl -in "$1" -noout -crlnumber | sed 's/^crlNumber=//; s/^0x//'; }

echo "issue password" >pw && chmod 600 pw
P=(--password-file pw)
export VELKDB_DB=$WORK/db
check "create" "$VELKDB" create "${P[@]}"

# --- selfsign ------------------------------------------------------------------
warns "selfsign a CA" '"ca" (EC P-256, self-signed CA' "$VELKDB" selfsign "${P[@]}" --subject "/O=Issue/CN=Issue CA" \
  --ca --path-length 0 --days 30 --label ca -o ca.pem
check "the CA verifies itself with openssl" openssl verify -CAfile ca.pem ca.pem
openssl x509 -in ca.pem -noout -text >ca.txt
contains "CA: basic constraints" ca.txt "CA:TRUE, pathlen:0"
contains "CA: key usage" ca.txt "Certificate Sign, CRL Sign"
check "selfsign a server certificate to standard output" "$VELKDB" selfsign "${P[@]}" --subject "CN=self.example" \
  --san "self.example,IP:192.0.2.7" --eku serverAuth --key rsa:2048
cp out.txt self.pem
openssl x509 -in self.pem -noout -text >self.txt
contains "self: SAN" self.txt "DNS:self.example, IP Address:192.0.2.7"
contains "self: EKU" self.txt "TLS Web Server Authentication"
check "the server certificate is stored with its key" "$VELKDB" export "${P[@]}" self.example --key --unencrypted
openssl pkey -in out.txt -pubout 2>/dev/null >self-key.pub
openssl x509 -in self.pem -pubkey -noout >self-cert.pub
cmp -s self-key.pub self-cert.pub && ok || bad "selfsign: the stored key is not the certificate's"
fails_with "selfsign: unknown EKU" 2 0x8B67A "$VELKDB" selfsign "${P[@]}" --subject CN=x --eku serverauth,bogus
fails_with "selfsign: the label is taken" 1 0x8C245 "$VELKDB" selfsign "${P[@]}" --subject CN=x --label ca
check "list after the refusals" "$VELKDB" list "${P[@]}" --format json
cp out.txt after-selfsign.json
[ "$(json after-selfsign.json "len(d['keys'])")" = 2 ] && ok || bad "selfsign refusals stored something"

# --- sign ------------------------------------------------------------------------
check "velkdb request" "$VELKDB" request "${P[@]}" --subject "/O=Issue/CN=www.issue.example" \
  --san "www.issue.example" --label web -o web.csr
check "sign it and install" "$VELKDB" sign "${P[@]}" --issuer ca web.csr --days 10 --eku serverAuth --install -o web.pem
contains "sign --install says where" err.txt 'stored as keys #'
check "openssl verifies the issued certificate" openssl verify -CAfile ca.pem web.pem
openssl x509 -in web.pem -noout -text -serial >web.txt
contains "issued: the request's SAN" web.txt "DNS:www.issue.example"
contains "issued: AKI" web.txt "Authority Key Identifier"
serial=$(sed -n 's/^serial=//p' web.txt)
[ ${#serial} -ge 30 ] && ok || bad "issued serial $serial is short"
check "the key pair became a certificate with its key" "$VELKDB" list "${P[@]}" --format json
cp out.txt after-sign.json
[ "$(json after-sign.json "[(r['label'], r['hasKey']) for r in d['keys'] if r['label'] == 'web']")" = "[('web', True)]" ] \
  && ok || bad "web not stored with its key"
[ "$(json after-sign.json "len(d['keypairs'])")" = 0 ] && ok || bad "the key pair was not taken"

# A request made by openssl that asks to be a CA gets CA:FALSE, and is
# clipped to the CA's 30 days with a warning.
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ossl.key -subj "/CN=ossl.issue.example" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "subjectAltName=DNS:ossl.issue.example" -out ossl.csr 2>/dev/null
"$VELKDB" sign "${P[@]}" --issuer ca ossl.csr --days 400 >ossl.pem 2>err.txt && ok || bad "sign the openssl request"
contains "sign warns of the clipped validity" err.txt "warning: the validity ends with the issuer's"
check "openssl verifies it" openssl verify -CAfile ca.pem ossl.pem
openssl x509 -in ossl.pem -noout -text >ossl.txt
lacks "a request cannot make itself a CA" ossl.txt "CA:TRUE"
[ "$(openssl x509 -in ossl.pem -noout -enddate)" = "$(openssl x509 -in ca.pem -noout -enddate)" ] && ok ||
  bad "the validity does not end with the CA's"
check "import the certificate" "$VELKDB" import "${P[@]}" ossl.pem
check "and its key joins it" "$VELKDB" import "${P[@]}" ossl.key
check "the openssl request's certificate is stored with its key" "$VELKDB" show "${P[@]}" ossl.issue.example
contains "with the key" out.txt "opens with the database password"

fails_with "sign: issuer is not a CA" 1 0x8B67A "$VELKDB" sign "${P[@]}" --issuer self.example ossl.csr
fails_with "sign: --install without the key pair here" 1 0x8C23E "$VELKDB" sign "${P[@]}" --issuer ca ossl.csr --install
fails_with "sign: no request" 2 0x8B67A "$VELKDB" sign "${P[@]}" --issuer ca
fails_with "sign: a file without a request" 1 0x8B67A "$VELKDB" sign "${P[@]}" --issuer ca ca.pem
check "a stored request by label" "$VELKDB" request "${P[@]}" --subject CN=client.issue.example --label client -o /dev/null
check "sign --request LABEL" "$VELKDB" sign "${P[@]}" --issuer ca --request client --eku clientAuth --install
cp out.txt client.pem
check "openssl verifies the client certificate" openssl verify -CAfile ca.pem client.pem

# --- trust and verify-chain --------------------------------------------------
status_is "not trusted yet: web does not verify" 1 "$VELKDB" verify-chain "${P[@]}" web
says "trust the CA" 'keys #1 "ca": now trusted' "$VELKDB" trust "${P[@]}" ca
status_is "web verifies" 0 "$VELKDB" verify-chain "${P[@]}" web
says "trust again changes nothing" "already trusted" "$VELKDB" trust "${P[@]}" --label ca --on
status_is "web verifies as a TLS server" 0 "$VELKDB" verify-chain "${P[@]}" web --purpose sslserver
status_is "web does not verify as a TLS client" 1 "$VELKDB" verify-chain "${P[@]}" web --purpose sslclient
contains "the reason is the purpose" out.txt "unsuitable certificate purpose"
status_is "client verifies as a TLS client" 0 "$VELKDB" verify-chain "${P[@]}" client --purpose sslclient
fails_with "an unknown purpose" 2 0x8B67A "$VELKDB" verify-chain "${P[@]}" web --purpose server
status_is "web at a date in its validity" 0 "$VELKDB" verify-chain "${P[@]}" web --at "$(date -u -d '+5 days' +%F)"
status_is "web after its end" 1 "$VELKDB" verify-chain "${P[@]}" web --at "$(date -u -d '+20 days' +%FT%H:%M:%SZ)"
contains "expired at that time" out.txt "certificate has expired"
status_is "web before its start" 1 "$VELKDB" verify-chain "${P[@]}" web --at 2001-01-01
for t in 2026-02-30 2026-1-01 "2026-01-01T25:00" 2026-01-01x tomorrow; do
  fails_with "--at $t" 2 0x8B67A "$VELKDB" verify-chain "${P[@]}" web --at "$t"
done
says "trust --off" "no longer trusted" "$VELKDB" trust "${P[@]}" ca --off
status_is "untrusted again: web does not verify" 1 "$VELKDB" verify-chain "${P[@]}" web
fails_with "trust of no such certificate" 1 0x8C23E "$VELKDB" trust "${P[@]}" --label nothing-here
fails_with "trust --on --off" 2 0x8B67A "$VELKDB" trust "${P[@]}" ca --on --off

# --- show: extensions and JSON ------------------------------------------------
says "show lists extensions" "X509v3 Subject Alternative Name: DNS:www.issue.example" "$VELKDB" show "${P[@]}" web
contains "show: critical basic constraints" out.txt "X509v3 Basic Constraints (critical): CA:FALSE"
contains "show: EKU" out.txt "X509v3 Extended Key Usage: TLS Web Server Authentication"
check "show --format json" "$VELKDB" show "${P[@]}" web --format json
cp out.txt web.json
[ "$(json web.json "[e['value'] for r in d['records'] for e in r['extensions'] if 'Alternative' in e['name']]")" = \
  "['DNS:www.issue.example']" ] && ok || bad "show JSON: no SAN"
fp=$(openssl x509 -in web.pem -noout -fingerprint -sha256 | sed 's/.*=//')
[ "$(json web.json "d['records'][0]['sha256'].upper()")" = "$fp" ] && ok || bad "show JSON: SHA-256 is not $fp"
[ "$(json web.json "d['records'][0]['privateKey']['opensWithDatabasePassword']")" = True ] && ok ||
  bad "show JSON: the key status"
check "a key pair to show" "$VELKDB" request "${P[@]}" --subject CN=pending --label pending -o /dev/null
check "show --format json of a key pair" "$VELKDB" show "${P[@]}" pending --format json
cp out.txt pending.json
[ "$(json pending.json "[(r['table'], 'extensions' in r, r['privateKey']['opensWithDatabasePassword']) for r in d['records']]")" = \
  "[('keypairs', False, True)]" ] && ok || bad "show JSON of a key pair: $(cat pending.json)"

# --- sign with profiles ------------------------------------------------------
check "a key pair for a server" "$VELKDB" request "${P[@]}" --subject CN=srv.issue.example --label srv -o /dev/null
check "sign --ca --profile server --store" "$VELKDB" sign "${P[@]}" --ca ca --request srv --profile server --store -o srv.pem
openssl x509 -in srv.pem -noout -ext keyUsage,extendedKeyUsage,basicConstraints >srv.txt
contains "server profile: serverAuth" srv.txt "TLS Web Server Authentication"
says "stored with its key" "opens with the database password" "$VELKDB" show "${P[@]}" srv
openssl req -new -newkey rsa:2048 -nodes -keyout rcli.key -subj "/CN=rsa-client" -out rcli.csr 2>/dev/null
check "sign --profile client (any case) for an RSA key" "$VELKDB" sign "${P[@]}" --ca ca rcli.csr --profile CLIENT
fails_with "sign: --ca without a label" 2 0x8B67A "$VELKDB" sign "${P[@]}" rcli.csr --ca
fails_with "sign: --path-length without a CA profile" 2 0x8B67A "$VELKDB" sign "${P[@]}" --ca ca rcli.csr --path-length 1
fails_with "sign: --ca flag contradicts --profile" 2 0x8B67A "$VELKDB" sign "${P[@]}" --issuer ca --ca rcli.csr --profile client
fails_with "sign: the old --ca flag before the request" 1 0x8B67A "$VELKDB" sign "${P[@]}" --issuer ca --ca rcli.csr
contains "still a CA request under path length 0" err.txt "path length"

# --- revoke and crl -------------------------------------------------------------
check "the first CRL" "$VELKDB" crl "${P[@]}" --ca ca -o crl1.pem
openssl crl -in crl1.pem -CAfile ca.pem -noout >crlv.txt 2>&1
contains "the CRL verifies with the CA" crlv.txt "verify OK"
check "revoke web" "$VELKDB" revoke "${P[@]}" --ca ca web --reason keyCompromise -o crl2.pem
contains "revoke says what" out.txt "reason keyCompromise; CRL number 2"
openssl verify -crl_check -CAfile ca.pem -CRLfile crl2.pem web.pem >v.txt 2>&1 && bad "openssl accepts the revoked certificate"
contains "revoked, says openssl" v.txt "certificate revoked"
check "openssl accepts another" openssl verify -crl_check -CAfile ca.pem -CRLfile crl2.pem client.pem
refuses "revoke twice" 1 0x8B67A "revoked already" "$VELKDB" revoke "${P[@]}" --ca ca web
check "revoke a serial not stored" "$VELKDB" revoke "${P[@]}" --ca ca --serial 0a:0B:0c
check "crl again" "$VELKDB" crl "${P[@]}" --ca ca --days 7
cp out.txt crl4.pem
[ "$(crlnumber crl4.pem)" = 04 ] && ok || bad "crl after two revokes is not number 4"
openssl crl -in crl4.pem -noout -text >crl4.txt
contains "earlier revocations kept: web" crl4.txt "Serial Number: $serial"
contains "earlier revocations kept: its reason" crl4.txt "Key Compromise"
contains "the serial revoked" crl4.txt "Serial Number: 0A0B0C"
check "the CRLs" "$VELKDB" list "${P[@]}" --format json
cp out.txt crls.json
[ "$(json crls.json "len(d['crls'])")" = 1 ] && ok || bad "the CA's CRLs: $(json crls.json "d['crls']")"

# A certificate of another CA, and everything refused, leaves the database as it was.
check "another CA" "$VELKDB" selfsign "${P[@]}" --subject "CN=Other CA" --ca --label other -o other.pem
check "a key pair for it" "$VELKDB" request "${P[@]}" --subject CN=foreign.example --label foreign -o /dev/null
check "the other CA signs" "$VELKDB" sign "${P[@]}" --ca other --request foreign --store -o foreign.pem
# A CA whose certificate expired in 2020.
cacnf old "x509_extensions = v3ca"
ecreq -keyout oldca.key -subj "/CN=Old CA" -out oldca.csr
openssl ca -batch -config old.cnf -selfsign -keyfile oldca.key -in oldca.csr -startdate 20200101000000Z \
  -enddate 20200201000000Z -out oldca.pem >/dev/null 2>&1
check "store the expired CA with its key" "$VELKDB" import "${P[@]}" --label old oldca.pem oldca.key
md5sum db.v* >before.md5
for c in crl "revoke --serial 01" "sign oldca.csr"; do
  refuses "$c by an expired CA" 1 0x8B67A 'the issuer "old" expired on' "$VELKDB" $c "${P[@]}" --ca old
done
refuses "revoke a foreign certificate" 1 0x8B67A 'was not issued by "ca"' "$VELKDB" revoke "${P[@]}" --ca ca foreign
fails_with "revoke the CA itself" 1 0x8B67A "$VELKDB" revoke "${P[@]}" --ca ca ca
fails_with "revoke by a certificate that is not a CA" 1 0x8B67A "$VELKDB" revoke "${P[@]}" --ca srv --serial 01
fails_with "revoke: a bad --reason" 2 0x8B67A "$VELKDB" revoke "${P[@]}" --ca ca client --reason stolen
fails_with "revoke: LABEL and --serial" 2 0x8B67A "$VELKDB" revoke "${P[@]}" --ca ca client --serial 01
fails_with "crl: no such CA" 1 0x8C23E "$VELKDB" crl "${P[@]}" --ca nothing-here
fails_with "crl: -o in no directory" 1 0x8B67A "$VELKDB" crl "${P[@]}" --ca ca -o no-such-dir/ca.crl
fails_with "revoke: -o in no directory" 1 0x8B67A "$VELKDB" revoke "${P[@]}" --ca ca client -o no-such-dir/ca.crl
md5sum -c --quiet before.md5 && ok || bad "a refused revoke or crl changed the database"
check "the other CA's own CRL" "$VELKDB" crl "${P[@]}" --ca other -o other-crl.pem
[ "$(crlnumber other-crl.pem)" = 01 ] && ok || bad "the other CA's CRL is not number 1"
check "two CAs, two CRLs" "$VELKDB" list "${P[@]}" --format json
[ "$(json out.txt "len(d['crls'])")" = 2 ] && ok || bad "not one CRL per CA"

finish
