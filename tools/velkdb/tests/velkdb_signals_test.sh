#!/usr/bin/env bash
# Signals and stopped changes: Ctrl-C, SIGTERM and a second signal in the
# middle of a big import roll it back whole; a wait for a lock ends on a
# signal and leaves nothing in $TMPDIR; a journal a killed process left (of
# a table or of a password change) is reported by verify and finished by
# recover; names planted where passwd puts its marker are neither written
# through nor waited on.
#
#   velkdb_signals_test.sh PATH/TO/velkdb
source "$(dirname "$0")/harness.sh" signals "$1"

echo "db password one" >pw1
echo "db password two" >pw2
chmod 600 pw1 pw2
S=(-d "$WORK/s" --password-file pw1)

# --- material: one real certificate and thousands made from it ---------------------
BULK=12000
ecreq -x509 -keyout bulk.key -subj "/O=Bulk/CN=host-QQQQQQQQ.bulk.example" -set_serial 0x5A5A5A5A5A5A5A5A -days 30 \
  -outform DER -out template.der
ecreq -x509 -keyout /dev/null -subj "/CN=before.example" -days 30 -out before.pem
bulkcerts template.der $BULK >bulk.pem
[ "$(grep -c 'BEGIN CERTIFICATE' bulk.pem)" = $BULK ] && [ -s before.pem ] || { echo "FAIL: test material"; exit 1; }

check "create" "$VELKDB" create "${S[@]}" --record-length 1024
check "a record before" "$VELKDB" import "${S[@]}" before.pem
snapshot() { "$VELKDB" list "${S[@]}" --wait 0 --format json >"$1" 2>&1; }
snapshot before.json

leftovers() {  # the journals and transaction files beside database s
  ls -d s.vkey-journal s.vkyp-journal s.vcrl-journal s.vkey-password-journal s.vtxn-* 2>/dev/null
}

# interrupt_import SIGNAL...: starts the bulk import, sends each SIGNAL once
# its journal shows it writing, and leaves its status in $status.
interrupt_import() {
  # Job control: a background job of a script would ignore SIGINT.
  set -m
  "$VELKDB" import "${S[@]}" bulk.pem >imp.out 2>imp.err &
  local pid=$!
  set +m
  for _ in $(seq 1 3000); do
    { [ -e s.vkey-journal ] || ! kill -0 "$pid" 2>/dev/null; } && break
    sleep 0.01
  done
  local s
  for s in "$@"; do kill -s "$s" "$pid" 2>/dev/null; done
  wait "$pid"
  status=$?
}

# after_interrupt WHAT STATUS [OUTCOMES]: the import ended by the signal, said
# so in one line (ending with OUTCOMES, a regular expression, by default
# "nothing was imported"), and left the database as it was.
after_interrupt() {
  [ "$status" -eq "$2" ] && ok || { bad "$1: exit $status, wanted $2"; sed 's/^/    /' imp.out imp.err | head -5; }
  [ "$(wc -l <imp.err)" -eq 1 ] && grep -Eqx "velkdb: interrupted: (${3:-nothing was imported})" imp.err && ok ||
    bad "$1: stderr is not the one line: $(head -3 imp.err)"
  [ ! -s imp.out ] && ok || bad "$1: reported an import: $(cat imp.out)"
  [ -z "$(leftovers)" ] && ok || bad "$1: left $(leftovers)"
  snapshot after.json
  cmp -s before.json after.json && ok || bad "$1: the database changed or does not list at once: $(head -3 after.json)"
  [ -z "$(ls -A tmp)" ] && ok || bad "$1: left in TMPDIR: $(ls -A tmp)"
}

# --- an import stopped midway ------------------------------------------------------
interrupt_import INT
after_interrupt "Ctrl-C during an import" 130
interrupt_import TERM
after_interrupt "SIGTERM during an import" 143
# The second signal comes while the first one's roll-back runs.
interrupt_import HUP INT
after_interrupt "SIGHUP and then Ctrl-C during an import" 129
# Ctrl-C while the input is still being read (its certificates decoded in
# two threads): the same end, said before the database is opened as for
# any command.
set -m
"$VELKDB" import "${S[@]}" bulk.pem >imp.out 2>imp.err &
pid=$!
set +m
# Signalled once velkdb catches SIGINT (a slow start, as under a sanitizer,
# would otherwise be killed before it has a word to say).
for _ in $(seq 500); do
  mask=$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
  [ -n "$mask" ] && [ $((0x$mask & 2)) -ne 0 ] && break
  sleep 0.02
done
kill -s INT "$pid" 2>/dev/null
wait "$pid"
status=$?
after_interrupt "Ctrl-C while the input is read" 130 "nothing was changed|nothing was imported"

# --- after the interrupted imports, the whole import -------------------------------
check "verify after the interrupted imports" "$VELKDB" verify "${S[@]}"
says "and the same import runs whole" "imported $BULK certificates" "$VELKDB" import "${S[@]}" bulk.pem

# --- a wait for the database ends on a signal ---------------------------------------
# waits_then SIGNAL STATUS WHAT COMMAND...: COMMAND waits for the held
# database; SIGNAL ends it with STATUS within two seconds.
waits_then() {
  local signal=$1 want=$2 what=$3; shift 3
  set -m
  "$@" >wait.out 2>wait.err &
  local pid=$!
  set +m
  sleep 1
  local start=$(date +%s%N)
  kill -s "$signal" "$pid"
  wait "$pid"
  local got=$?
  local took=$((($(date +%s%N) - start) / 1000000))
  [ "$got" -eq "$want" ] && [ "$took" -lt 2000 ] && ok || bad "$what: exit $got after $took ms, wanted $want"
  contains "$what: says so" wait.err "velkdb: interrupted: "
}
hold s.vkey
waits_then INT 130 "Ctrl-C while import waits" "$VELKDB" import "${S[@]}" --wait 60 before.pem
# passwd waits with a scratch table open in $TMPDIR; it goes too.
waits_then TERM 143 "SIGTERM while passwd waits" "$VELKDB" passwd "${S[@]}" --wait 60 --new-password-file pw2
release
[ -z "$(ls -A tmp)" ] && ok || bad "a stopped passwd left in TMPDIR: $(ls -A tmp)"
check "the password is unchanged" "$VELKDB" list "${S[@]}"

# --- passwd stopped while it re-wraps the keys ---------------------------------------
# Each key takes two key derivations: a few keys keep it busy long enough.
for i in 1 2 3 4 5 6 7 8; do
  ecreq -x509 -keyout "k$i.key" -subj "/CN=key$i.example" -days 30 -out "k$i.pem"
  cat "k$i.pem" "k$i.key"
done >keys.pem
K=(-d "$WORK/k" --password-file pw1)
check "create a database of keys" "$VELKDB" create "${K[@]}"
check "import the keys" "$VELKDB" import "${K[@]}" keys.pem
set -m
"$VELKDB" passwd "${K[@]}" --new-password-file pw2 >pw.out 2>pw.err &
pid=$!
set +m
for _ in $(seq 1 3000); do
  { [ -e k.vkey-journal ] || ! kill -0 "$pid" 2>/dev/null; } && break
  sleep 0.01
done
kill -INT "$pid"
wait "$pid"
status=$?
[ $status -eq 130 ] && ok || bad "Ctrl-C during the re-wrap: exit $status, wanted 130: $(cat pw.out pw.err)"
[ "$(cat pw.err)" = "velkdb: interrupted: nothing was changed" ] && ok || bad "passwd stopped said: $(cat pw.err)"
[ -z "$(ls -d k.*-journal k.vtxn-* 2>/dev/null)" ] && ok || bad "a stopped passwd left $(ls -d k.*-journal k.vtxn-*)"
says "every key still opens with the old password" "8 private keys checked" "$VELKDB" verify "${K[@]}"
[ -z "$(ls -A tmp)" ] && ok || bad "a stopped passwd left in TMPDIR: $(ls -A tmp)"

# --- a change a killed process left -------------------------------------------------
check "recover with nothing pending" "$VELKDB" recover "${S[@]}"
[ "$(cat out.txt)" = "nothing was pending" ] && ok || bad "recover with nothing pending said: $(cat out.txt)"
"$VELKDB" list "${S[@]}" >pending-before.txt 2>&1
VELKDB_TEST_CRASH=import:1 "$VELKDB" import "${S[@]}" template.der >/dev/null 2>&1
[ -e s.vkey-journal ] && ok || bad "the crash hook left no journal"
"$VELKDB" verify "${S[@]}" >out.txt 2>err.txt
[ $? -eq 1 ] && ok || bad "verify with a change pending does not exit 1"
contains "verify names the pending change" out.txt "keys: PENDING: an interrupted change is pending; run \`velkdb recover -d $WORK/s\`"
contains "verify's summary" out.txt "1 interrupted change(s) pending"
check "a read-only command reads through the pending change" "$VELKDB" list "${S[@]}"
cmp -s out.txt pending-before.txt && ok || bad "a read-only command saw the pending change"
[ -e s.vkey-journal ] && ok || bad "a read-only command removed the journal"
says "recover" "keys: finished an interrupted change" "$VELKDB" recover "${S[@]}"
[ -z "$(leftovers)" ] && ok || bad "recover left $(leftovers)"
check "verify after recover" "$VELKDB" verify "${S[@]}"
fails_with "recover takes no arguments" 2 0x8B67A "$VELKDB" recover "${S[@]}" extra

# --- names planted where the library writes its journals -------------------------
# A hard link to a file outside, a symbolic link to it, or a FIFO at a
# table's journal name: never written through, never waited on; the change
# takes the name over.
mkdir outside
echo "not the database's" >outside/victim
cp outside/victim victim.orig
"$VELKDB" list "${S[@]}" --format json >planted-before.json
for kind in hard symbolic fifo; do
  case $kind in
    hard) ln outside/victim s.vkey-journal ;;
    symbolic) ln -s "$WORK/outside/victim" s.vkey-journal ;;
    fifo) mkfifo s.vkey-journal ;;
  esac
  timeout 30 "$VELKDB" list "${S[@]}" --format json >out.txt 2>err.txt
  st=$?
  [ $st -eq 0 ] && cmp -s out.txt planted-before.json && ok || bad "list with a $kind link at the journal's name: exit $st"
  # A FIFO cannot be read as a journal: the list names it.  A link to a
  # file that is no journal is one cut short, with nothing to say.
  [ $kind != fifo ] || contains "the list names the FIFO it left alone" err.txt "s.vkey-journal"
  timeout 30 "$VELKDB" expire "${S[@]}" never >out.txt 2>err.txt
  st=$?
  [ $st -eq 0 ] && ok || bad "a change with a $kind link at the journal's name: exit $st (124: it hung)"
  cmp -s outside/victim victim.orig && ok || bad "a change wrote through a $kind link at the journal's name"
  [ ! -e s.vkey-journal ] && [ ! -L s.vkey-journal ] && ok || bad "the $kind link outlived the change"
done
check "the database is as it was" "$VELKDB" list "${S[@]}" --format json
cmp -s out.txt planted-before.json && ok || bad "planted journal names changed the database"
[ -z "$(ls -A tmp)" ] && ok || bad "left in TMPDIR: $(ls -A tmp)"

# --- a password change a killed process left -------------------------------------------
# passwd is one transaction: killed at any moment (its thousands of slots
# take a while with full syncs), it leaves the database under one password,
# old or new, which a reader finds at once; recover with that password
# finishes what is left, and passwd again completes the change or says it is
# done.
from=pw1
to=pw2
for delay in 0.05 0.2 0.4 0.8; do
  VELFILEDB_SYNC=full "$VELKDB" passwd -d "$WORK/s" --password-file $from --new-password-file $to >/dev/null 2>&1 &
  pid=$!
  sleep $delay
  kill -9 $pid 2>/dev/null
  wait $pid 2>/dev/null
  opens=""
  for pw in $from $to; do
    "$VELKDB" list -d "$WORK/s" --password-file $pw >/dev/null 2>&1 && opens="$opens $pw"
  done
  [ "$opens" = " $from" ] || [ "$opens" = " $to" ] && ok || bad "killed after ${delay}s: opened by [$opens ]"
  [ -z "$(ls -A tmp)" ] && ok || bad "killed after ${delay}s: left in TMPDIR: $(ls -A tmp)"
  check "killed after ${delay}s: recover" "$VELKDB" recover -d "$WORK/s" --password-file ${opens# }
  [ -z "$(leftovers)" ] && ok || bad "recover left $(leftovers)"
  check "killed after ${delay}s: passwd again" "$VELKDB" passwd -d "$WORK/s" --password-file $from --new-password-file $to
  check "killed after ${delay}s: the new password opens every table" "$VELKDB" verify -d "$WORK/s" --password-file $to
  tmp=$from; from=$to; to=$tmp
done

finish
