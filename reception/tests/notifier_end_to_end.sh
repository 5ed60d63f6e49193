#!/usr/bin/env bash
# vestibra.exe under Wine (null graphics driver) against vestibra-reception on
# 127.0.0.1:80, the host the notifier has compiled in: the notifier lists the
# staff, picks up a guest announced before it started at its first poll and
# one announced later at a following poll, and the desk sees both delivered
# and the notifier online.
# Usage: notifier_end_to_end.sh SERVICE_EXE VESTIBRA_EXE WINE_RUN
# Exits 77 (skipped) when vestibra.exe has not been built by the windows preset.
set -euo pipefail
service_exe=$1
notifier_exe=$2
wine_run=$3
[ -f "$notifier_exe" ] || { echo "skipped: $notifier_exe is not built (windows preset)"; exit 77; }

work=$(mktemp -d)
service_pid=""
notifier_pid=""
finish() {
  set +e
  [ -n "$notifier_pid" ] && kill "$notifier_pid" 2>/dev/null && wait "$notifier_pid" 2>/dev/null
  [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null && wait "$service_pid" 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
fail() { echo "FAILED: $*"; echo "--- service"; cat "$work/service.log"; echo "--- notifier"; cat -v "$work/notifier/output.log" 2>/dev/null | head -60; exit 1; }

desk=http://127.0.0.1/api/desk
# shellcheck source=scripts/service.sh
source "$(dirname "$0")/../../scripts/service.sh"
start_service "$work/service.log" "$service_exe" --listen 127.0.0.1:80 --database "$work/reception.db" --demo ||
  fail "the service did not start"

# The desk API needs a session: the demo account's, as the service printed it.
password=$(sed -n 's|^desk login: reception / ||p' "$work/service.log")
curl -sf -c "$work/cookies" -H 'Content-Type: application/json' \
  -d "{\"name\": \"reception\", \"password\": \"$password\"}" "$desk/login" >/dev/null || fail "the demo desk login failed"
desk_curl() { curl -sf -b "$work/cookies" "$@"; }

# José Müller's id and his notifier's presence, read from the desk API's JSON.
jose() {
  desk_curl "$desk/state" | python3 -c 'import json, sys
member = next(m for m in json.load(sys.stdin)["staff"] if m["displayName"] == "José Müller")
print(member[sys.argv[1]])' "$1"
}
staff_id=$(jose id)
announce() {
  desk_curl -X POST -H 'Content-Type: application/json' \
    -d "{\"staffId\": $staff_id, \"guestName\": \"$1\", \"note\": \"$2\"}" "$desk/notifications" |
    grep -o '"id":[0-9]*' | grep -o '[0-9]*$'
}
delivered() {
  desk_curl "$desk/state" | python3 -c 'import json, sys
state = json.load(sys.stdin)
sys.exit(0 if any(n["guestName"] == sys.argv[1] and n["deliveredAt"] for n in state["notifications"]) else 1)' "$1"
}

first=$(announce "Zoë Brontë" "Meeting room 2")
mkdir "$work/notifier"
printf 'user=Jos\xe9 M\xfcller\r\n' >"$work/notifier/settings.conf"
(cd "$work/notifier" && exec "$wine_run" "$notifier_exe") >"$work/notifier/output.log" 2>&1 &
notifier_pid=$!

# Bounded waits: the first poll comes at start-up, the next about 12 s later.
for _ in $(seq 60); do delivered "Zoë Brontë" && break; sleep 1; done
delivered "Zoë Brontë" || fail "the first guest never reached the notifier"
second=$(announce "Ada Lovelace" "")
for _ in $(seq 40); do delivered "Ada Lovelace" && break; sleep 1; done
delivered "Ada Lovelace" || fail "the second guest never reached the notifier"
[ "$(jose online)" = True ] || fail "the desk does not see the notifier online"

# What the notifier decoded, in its own code page, from its diagnostics.
# By last name, as the desk lists them.
grep -q $'Chlo\xe9 Dubois,Jos\xe9 M\xfcller,Liam O\'Brien,Anna Schmidt' "$work/notifier/output.log" || fail "no user list"
grep -q $'^'"$first"$'|Zo\xeb Bront\xeb|Meeting room 2|' "$work/notifier/output.log" || fail "first record not decoded"
grep -q "$second|Ada Lovelace||" "$work/notifier/output.log" || fail "second record not decoded"
echo "vestibra.exe received guests $first and $second from the reception service"
