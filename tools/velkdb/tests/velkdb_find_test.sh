#!/usr/bin/env bash
# Runs the real velkdb binary on files made here with openssl: finding
# certificates by serial number and fingerprint, the report of what ends
# soon, chain verification against the trusted certificates and CRLs,
# waiting for a database another process holds, the record length of new
# tables and the label limit, legacy PKCS#12 files, and errors that name
# the record in the way.
#
#   velkdb_find_test.sh PATH/TO/velkdb
source "$(dirname "$0")/harness.sh" find "$1"

# --- material ------------------------------------------------------------------
echo "find password" >pw && chmod 600 pw
echo "p12 secret" >p12pw && chmod 600 p12pw
P=(--password-file pw)
mkca() {  # mkca NAME CN: a self-signed CA
  ecreq -x509 -keyout "$1.key" -subj "/O=Find Org/CN=$2" -days 365 -out "$1.pem"
}
mkleaf() {  # mkleaf NAME CN CA SERIAL DAYS
  ecreq -keyout "$1.key" -subj "/O=Find Org/CN=$2" -out "$1.csr"
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -set_serial "$4" -days "$5" -out "$1.pem" 2>/dev/null
}
mkca rootA "Root A"
mkca rootB "Root B"
mkca rogue "Root A"            # same name as Root A, another key: not trusted
mkleaf web web.find.example rootA 0x01a3 10
mkleaf mail mail.find.example rootB 0x01a3 100   # same serial, other issuer
mkleaf long long.find.example rootA 0x7f 400
mkleaf fake web.find.example rogue 0x99 10
mkleaf twin twin.find.example rootA 0x01a3 50    # Root A's serial 01A3 again
# An expired certificate: made with a start and end date in the past.
openssl req -new -key long.key -subj "/O=Find Org/CN=old.find.example" -out old.csr 2>/dev/null
cacnf ca
openssl ca -batch -config ca.cnf -keyfile rootA.key -cert rootA.pem -in old.csr -startdate 20200101000000Z \
  -enddate 20200201000000Z -out old.pem >/dev/null 2>&1
# Root A's CRL revokes "web", next update in 3 days; Root B's is current for 30.
openssl ca -batch -config ca.cnf -keyfile rootA.key -cert rootA.pem -revoke web.pem >/dev/null 2>&1
openssl ca -config ca.cnf -gencrl -keyfile rootA.key -cert rootA.pem -crldays 3 -out crlA.pem 2>/dev/null
: >ca/index.txt
openssl ca -config ca.cnf -gencrl -keyfile rootB.key -cert rootB.pem -crldays 30 -out crlB.pem 2>/dev/null
for f in old.pem crlA.pem crlB.pem; do [ -s "$f" ] || { echo "FAIL: test material $f"; exit 1; }; done

# --- find by serial and fingerprint ---------------------------------------------------
check "create" "$VELKDB" create -d f "${P[@]}"
check "import roots as trusted" "$VELKDB" import -d f "${P[@]}" --trusted rootA.pem rootB.pem
check "import leaves" "$VELKDB" import -d f "${P[@]}" web.pem mail.pem long.pem old.pem
fails_with "serial 01:A3 of two issuers without --issuer" 1 0x8B67A "$VELKDB" show -d f "${P[@]}" --serial 01:A3
contains "ambiguous serial names every match" err.txt '"web.find.example" issued by'
contains "ambiguous serial names every match" err.txt '"mail.find.example" issued by'
check "serial with --issuer" "$VELKDB" show -d f "${P[@]}" --serial 01:a3 --issuer "CN=root b, O=find org"
contains "serial+issuer finds mail" out.txt "label:        mail.find.example"
lacks "serial+issuer: only mail" out.txt "web.find.example"
check "serial of one issuer needs no --issuer" "$VELKDB" show -d f "${P[@]}" --serial 7F
contains "serial 7F" out.txt "label:        long.find.example"
fails_with "unknown serial" 1 0x8C23E "$VELKDB" show -d f "${P[@]}" --serial 0bad
fails_with "--serial beside a label" 2 0x8B67A "$VELKDB" show -d f "${P[@]}" --serial 7f web.find.example

sha256=$(openssl x509 -in long.pem -noout -fingerprint -sha256 | cut -d= -f2)
sha1=$(openssl x509 -in long.pem -noout -fingerprint -sha1 | cut -d= -f2)
says "show prints both fingerprints" "SHA-256:      $sha256" "$VELKDB" show -d f "${P[@]}" long.find.example
contains "show SHA-1" out.txt "SHA-1:        $sha1"
check "find by SHA-256 with colons" "$VELKDB" show -d f "${P[@]}" --fingerprint "$sha256"
contains "by SHA-256" out.txt "label:        long.find.example"
lower1=$(echo "$sha1" | tr -d : | tr 'A-F' 'a-f')
check "find by SHA-1, lower case, no colons" "$VELKDB" export -d f "${P[@]}" --fingerprint "$lower1"
cmp -s out.txt <(openssl x509 -in long.pem) && ok || bad "export by fingerprint is not the certificate"
check "JSON list carries fingerprints" "$VELKDB" list -d f "${P[@]}" --format json
python3 - "$sha256" "$sha1" <<'PY' && ok || bad "JSON fingerprints"
import json, sys
doc = json.load(open("out.txt"))
rows = [r for r in doc["keys"] if r["label"] == "long.find.example"]
assert len(rows) == 1 and rows[0]["sha256"] == sys.argv[1] and rows[0]["sha1"] == sys.argv[2], rows
PY
check "delete by serial and issuer" "$VELKDB" delete -d f "${P[@]}" --serial 1A3 --issuer "/O=Find Org/CN=Root B"
contains "deleted mail" out.txt '"mail.find.example"'
says "the other 01A3 stays" "label:        web.find.example" "$VELKDB" show -d f "${P[@]}" --serial 1a3

# --- list --expiring / --expired ---------------------------------------------------------
check "import CRLs" "$VELKDB" import -d f "${P[@]}" crlA.pem crlB.pem
status_is "expired: found, exit 1" 1 "$VELKDB" list -d f "${P[@]}" --expired
contains "expired lists old" out.txt "old.find.example"
lacks "expired leaves web out" out.txt "web.find.example"
status_is "expiring 20: exit 1" 1 "$VELKDB" list -d f "${P[@]}" --expiring 20
python3 - <<'PY' && ok || bad "expiring 20: wrong set or order"
lines = [l for l in open("out.txt") if "#" in l]
# old (2020), then the CRL of Root A (3 days), then web (10 days), sorted by end
assert [l.split()[0][:4] for l in lines][0] == "2020", lines
assert "EXPIRED" in lines[0] and "old.find.example" in lines[0], lines
assert "crls #" in lines[1] and "Root A" in lines[1], lines
assert "web.find.example" in lines[2], lines
assert len(lines) == 3, lines
PY
status_is "expiring JSON" 1 "$VELKDB" list -d f "${P[@]}" --expiring 40 --format json
python3 - <<'PY' && ok || bad "expiring JSON"
import json
rows = json.load(open("out.txt"))["ending"]
assert [r["table"] for r in rows] == ["keys", "crls", "keys", "crls"], rows
assert rows[0]["ended"] is True and all(r["ended"] is False for r in rows[1:]), rows
PY
status_is "expiring keys only leaves CRLs out" 1 "$VELKDB" list -d f "${P[@]}" --expiring 40 --table keys
lacks "no CRL with --table keys" out.txt "crls #"
check "delete the expired one" "$VELKDB" delete -d f "${P[@]}" old.find.example
status_is "nothing expired: exit 0" 0 "$VELKDB" list -d f "${P[@]}" --expired
contains "says none" out.txt "0 have ended"
status_is "nothing within 0 days: exit 0" 0 "$VELKDB" list -d f "${P[@]}" --expiring 0
fails_with "--expiring and --expired" 2 0x8B67A "$VELKDB" list -d f "${P[@]}" --expiring 3 --expired

# --- verify-chain --------------------------------------------------------------------
status_is "stored certificate verifies" 0 "$VELKDB" verify-chain -d f "${P[@]}" long.find.example
contains "chain shows the trusted root" out.txt 'CN=Root A,O=Find Org  (keys #1 "Root A", trusted)'
status_is "file verifies" 0 "$VELKDB" verify-chain -d f "${P[@]}" long.pem
status_is "a certificate of an untrusted root does not" 1 "$VELKDB" verify-chain -d f "${P[@]}" fake.pem
contains "reason given" out.txt "reason: "
check "import the rogue root untrusted" "$VELKDB" import -d f "${P[@]}" rogue.pem
status_is "an untrusted stored root does not anchor" 1 "$VELKDB" verify-chain -d f "${P[@]}" fake.pem
status_is "revoked: fine without --crl" 0 "$VELKDB" verify-chain -d f "${P[@]}" web.find.example
status_is "revoked: refused with --crl" 1 "$VELKDB" verify-chain -d f "${P[@]}" --crl web.find.example
contains "revocation named" out.txt "certificate revoked"
status_is "not revoked, CRL current: verifies with --crl" 0 "$VELKDB" verify-chain -d f "${P[@]}" --crl long.pem
contains "CRLs counted" out.txt "and 2 CRLs"
fails_with "no such label" 1 0x8C23E "$VELKDB" verify-chain -d f "${P[@]}" no.such.label

# --- clashes name the record in the way ---------------------------------------------------
check "create a second database" "$VELKDB" create -d g "${P[@]}"
cat web.pem twin.pem >twins.pem
refuses "issuer and serial twice in one import" 1 0x8C248 '"web.find.example"' "$VELKDB" import -d g "${P[@]}" twins.pem
fails_with "rename onto a label in use" 1 0x8C245 "$VELKDB" rename -d f "${P[@]}" long.find.example "Root B"
contains "rename clash names the record" err.txt 'keys #2 "Root B" (subject CN=Root B,O=Find Org)'
check "rename to its own label is no clash" "$VELKDB" rename -d f "${P[@]}" --table keys "Root B" "Root B"

# --- labels, record length -----------------------------------------------------------
long=$(head -c 1025 /dev/zero | tr '\0' a)
fails_with "a label over 1024 bytes on import" 2 0x8B67A "$VELKDB" import -d nothere "${P[@]}" --label "$long" twin.pem
contains "label limit said" err.txt "at most 1024 bytes"
[ "$(wc -c <err.txt)" -lt 300 ] && ok || bad "the refused label is repeated whole"
fails_with "--record-length 255" 2 0x8B67A "$VELKDB" create -d r "${P[@]}" --record-length 255
[ ! -e r.vkey ] && ok || bad "a refused --record-length left a table"
check "create --record-length 1024" "$VELKDB" create -d r "${P[@]}" --record-length 1024
check "import one certificate" "$VELKDB" import -d r "${P[@]}" long.pem
# Header (88 bytes) and one slot of the length asked for.
[ "$(stat -c %s r.vkey)" -eq $((88 + 1024)) ] && ok || bad "r.vkey is $(stat -c %s r.vkey) bytes, wanted 1112"
check "create --record-length 256" "$VELKDB" create -d s "${P[@]}" --record-length 256
check "a record longer than the length is stored" "$VELKDB" import -d s "${P[@]}" rootA.pem long.pem
check "and the table still verifies" "$VELKDB" verify -d s "${P[@]}"
check "and reads back" "$VELKDB" export -d s "${P[@]}" long.find.example
cmp -s out.txt <(openssl x509 -in long.pem) && ok || bad "a grown table does not give the certificate back"
[ $(( ($(stat -c %s s.vkey) - 88) % 2 )) -eq 0 ] && [ "$(stat -c %s s.vkey)" -gt $((88 + 2 * 256)) ] && ok ||
  bad "s.vkey did not grow its record length ($(stat -c %s s.vkey) bytes)"

# --- waiting for a lock --------------------------------------------------------------
for i in $(seq 1 30); do
  ecreq -x509 -keyout /dev/null -subj "/CN=par$i" -days 5 -out "par$i.pem"
done
check "create the shared database" "$VELKDB" create -d par "${P[@]}"
for i in $(seq 1 30); do
  "$VELKDB" import -d par "${P[@]}" --wait 60 "par$i.pem" >"par$i.out" 2>"par$i.err" &
  "$VELKDB" list -d par "${P[@]}" --wait 60 >/dev/null 2>"list$i.err" &
done
wait
cat par*.err list*.err >errs.txt
[ ! -s errs.txt ] && ok || bad "parallel imports and lists failed: $(sort errs.txt | uniq -c | head -3)"
check "list after the parallel imports" "$VELKDB" list -d par "${P[@]}" --format json
[ "$(json out.txt "len(d['keys'])")" = 30 ] && ok ||
  bad "not every parallel import is there"
# --wait 0 fails at once on a database held by another process; a wait ends
# with the time waited said.
hold par.vkey
fails_with "--wait 0 on a held database" 1 0x8C23A "$VELKDB" list -d par "${P[@]}" --wait 0
fails_with "--wait 0.3 on a held database" 1 0x8C23A "$VELKDB" list -d par "${P[@]}" --wait 0.3
contains "time waited said" err.txt "still in use after waiting"
(sleep 1; kill "$holder") &
check "a longer wait outlasts the holder" "$VELKDB" import -d par "${P[@]}" --wait 30 long.pem
release
# An interrupted change (a journal and nobody holding the table) is not
# waited for: a read-only open reads the committed state at once, through
# the journal, and leaves it.
"$VELKDB" list -d par "${P[@]}" >committed.txt
VELKDB_TEST_CRASH=import:1 "$VELKDB" import -d par "${P[@]}" rootA.pem rootB.pem >/dev/null 2>&1
[ -e par.vkey-journal ] && ok || bad "the crash hook left no journal"
start=$(date +%s%N)
"$VELKDB" list -d par "${P[@]}" --wait 20 >reader.txt 2>err.txt && ok || bad "a read-only list refused an interrupted change"
[ $(( ($(date +%s%N) - start) / 1000000 )) -lt 3000 ] && ok || bad "waited for an interrupted change"
cmp -s committed.txt reader.txt && ok || bad "a read-only list did not show the committed state"
[ -e par.vkey-journal ] && ok || bad "a read-only list removed the journal"

# --- legacy PKCS#12 ------------------------------------------------------------------
openssl pkcs12 -export -legacy -certpbe PBE-SHA1-RC2-40 -keypbe PBE-SHA1-3DES -in long.pem -inkey long.key \
  -passout file:p12pw -out legacy.p12 2>/dev/null
[ -s legacy.p12 ] || { echo "FAIL: test material legacy.p12"; exit 1; }
check "create for PKCS#12" "$VELKDB" create -d p "${P[@]}"
check "a legacy RC2-40 PKCS#12 file imports" "$VELKDB" import -d p "${P[@]}" --import-password-file p12pw legacy.p12
contains "with its key" out.txt "1 certificate (1 with its key)"
fails_with "without the legacy provider: why" 1 0x8B67A \
  env OPENSSL_MODULES="$WORK/none" "$VELKDB" import -d p "${P[@]}" --import-password-file p12pw legacy.p12
contains "the algorithm is named" err.txt "written with the legacy algorithm RC2-40, which this OpenSSL cannot read"

finish
