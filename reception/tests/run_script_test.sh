#!/usr/bin/env bash
# ./run's guards, which act before it installs or builds anything: a
# --stop-after that is not a whole number, and a second run while another
# holds the demo folder (whose log keeps the one-time desk password).
set -u
root=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

for bad in abc 1.5 -3 "" 10s; do
  out=$("$root/run" --stop-after "$bad" 2>&1)
  code=$?
  [ $code -eq 2 ] || fail "--stop-after '$bad' exited $code: $out"
  grep -q "whole number of seconds" <<<"$out" || fail "--stop-after '$bad' said: $out"
done

demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
echo "desk login: reception / first-runs-password" >"$demo/reception.log"
exec 9>"$demo/run.lock"
flock -n 9 || fail "the test cannot hold the demo folder's lock"
out=$(VESTIBRA_DEMO_DIR=$demo timeout 20 "$root/run" --stop-after 1 2>&1)
code=$?
[ $code -eq 1 ] || fail "a second run exited $code: $out"
grep -q "already running" <<<"$out" || fail "a second run said: $out"
[ "$(cat "$demo/reception.log")" = "desk login: reception / first-runs-password" ] ||
  fail "a second run changed the first run's log"
echo "ok"
