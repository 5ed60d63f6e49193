# shellcheck shell=bash
# Sourced (not run) by the scripts that start vestibra-reception: ./run,
# scripts/bench and the notifier end-to-end test.
#
# The service's readiness signal is the line
#   vestibra-reception: listening on http://ADDRESS:PORT/ with the database FILE
# on its standard output, printed and flushed once the database is open and
# the socket accepts connections. The C++ and browser test support wait for
# the same line.

# start_service LOG COMMAND [ARGUMENT...]
# Starts the service command in the background, its standard output and error
# in LOG (emptied first), and waits at most 10 s for the readiness line. On
# success service_pid names the service. Otherwise returns 1 with the service
# stopped and service_pid empty; LOG holds what it said.
start_service() {
  local log=$1 _
  shift
  : >"$log"
  "$@" >>"$log" 2>&1 &
  service_pid=$!
  for _ in $(seq 100); do
    grep -q "listening on " "$log" && return 0
    kill -0 "$service_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -TERM "$service_pid" 2>/dev/null || true
  wait "$service_pid" 2>/dev/null || true
  service_pid=""
  return 1
}
