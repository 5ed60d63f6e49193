#!/usr/bin/env bash
# The service's Debian package as an office gets it: a release build packed by
# CPack, its listing, the post-install script writing a key of its own into a
# copy of the configuration (and keeping it on upgrade), the packaged program
# started from an unpacked copy with that configuration (paths adjusted on the
# command line) answering listUsers on loopback with that key only, and its
# systemd unit through systemd-analyze.
# Usage: deb_test.sh SOURCE_DIR      (exit 77: a tool is missing, skipped)
set -euo pipefail
source_dir=$(cd "$1" && pwd)
for tool in dpkg-deb dpkg-shlibdeps systemd-analyze curl; do
  command -v "$tool" >/dev/null || { echo "deb_test: $tool is missing, skipped"; exit 77; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vestibra-deb-test.XXXXXX")
service_pid=
cleanup() {
  if [ -n "$service_pid" ]; then kill "$service_pid" 2>/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "deb_test: FAILED: $*" >&2; exit 1; }

echo "== release build of the service, packed"
cd "$source_dir"
cmake --preset release >/dev/null
cmake --build --preset release --target vestibra-reception >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
deb=build/release/vestibra-reception_${version}_amd64.deb
rm -f "$deb"
(cd build/release && cpack -G DEB) >"$scratch/cpack.log" 2>&1 || fail "cpack: $(cat "$scratch/cpack.log")"
[ -f "$deb" ] || fail "cpack made no $deb"

echo "== contents"
contents=$(dpkg-deb --contents "$deb")
for path in ./usr/bin/vestibra-reception ./lib/systemd/system/vestibra-reception.service \
            ./etc/vestibra/reception.conf ./usr/share/doc/vestibra-reception/README.Debian \
            ./lib/systemd/system/vestibra-reception-backup.service ./lib/systemd/system/vestibra-reception-backup.timer \
            ./etc/logrotate.d/vestibra-reception; do
  grep -q " $path\$" <<<"$contents" || fail "$path is not in the package"
done
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = $'/etc/vestibra/reception.conf\n/etc/logrotate.d/vestibra-reception' ] ||
  fail "reception.conf and the logrotate file are not the conffiles"
for library in libmicrohttpd libsqlite3 libstdc++6; do
  dpkg-deb --field "$deb" Depends | grep -q "$library" || fail "Depends does not name $library"
done
grep -q "desk-user add NAME --role admin" <(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst) ||
  fail "the install notes do not say how to create the first admin"
grep -q "systemctl status vestibra-reception" <(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst) ||
  fail "the install notes do not say how to check the service"

root=$scratch/root
dpkg -x "$deb" "$root"

echo "== install writes a random key, upgrade keeps it"
mkdir "$scratch/control"
dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$scratch/control"
# The script as packaged, on a copy of the configuration and without systemctl.
run_postinst() { # CONF ARGS...
  local conf=$1
  shift
  sed -e "s#/etc/vestibra/reception.conf#$conf#g" -e 's#\[ -d /run/systemd/system \]#false#' \
    "$scratch/control/postinst" >"$scratch/postinst"
  sh "$scratch/postinst" "$@" >/dev/null
}
key_of() { sed -n 's/^key = //p' "$1"; }
conf=$scratch/reception.conf
cp "$root/etc/vestibra/reception.conf" "$conf"
cp "$conf" "$scratch/second.conf"
[ -z "$(key_of "$conf")" ] || fail "the packaged configuration already sets a key"
run_postinst "$conf" configure
key=$(key_of "$conf")
grep -Eqx '[A-Za-z0-9]{24}' <<<"$key" || fail "the install wrote the key \"$key\""
run_postinst "$conf" configure "$version"
[ "$(grep -c '^key = ' "$conf")" = 1 ] && [ "$(key_of "$conf")" = "$key" ] || fail "the upgrade changed the key"
run_postinst "$scratch/second.conf" configure
[ "$(key_of "$scratch/second.conf")" != "$key" ] || fail "two installs wrote the same key"

echo "== the packaged program with the installed configuration"
address=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
"$root/usr/bin/vestibra-reception" --config "$conf" --listen "$address:0" \
  --database "$scratch/reception.db" --demo >"$scratch/service.log" 2>&1 &
service_pid=$!
for _ in $(seq 50); do
  grep -q "listening on" "$scratch/service.log" && break
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
port=$(sed -n "s#.*listening on http://$address:\([0-9]*\)/.*#\1#p" "$scratch/service.log")
[ -n "$port" ] || fail "the service did not start: $(cat "$scratch/service.log")"
users=$(curl -sS --noproxy '*' --max-time 5 -H 'User-Agent:' -H 'Accept:' "http://$address:$port/api/reception/listUsers?key=$key")
grep -q "Anna Schmidt" <<<"$users" || fail "listUsers answered \"$users\""
builtin=$(curl -sS --noproxy '*' --max-time 5 -o /dev/null -w '%{http_code}' -H 'User-Agent:' -H 'Accept:' \
  "http://$address:$port/api/reception/listUsers?key=m9pqzRWkfhT7031")
[ "$builtin" = 403 ] || fail "the key built into the notifiers answered $builtin"
kill -TERM "$service_pid"
for _ in $(seq 50); do kill -0 "$service_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$service_pid" 2>/dev/null && fail "the service did not stop on SIGTERM"
service_pid=
grep -q "^vestibra-reception: stopped" "$scratch/service.log" || fail "the service did not stop cleanly"
# A bad configuration line stops the start with the file and line named.
printf 'listen = *:80\nkey = not a key\n' >"$scratch/bad.conf"
if "$root/usr/bin/vestibra-reception" --config "$scratch/bad.conf" --database "$scratch/bad.db" 2>"$scratch/bad.log"; then
  fail "a bad configuration was accepted"
fi
grep -q "bad.conf, line 2: --key" "$scratch/bad.log" || fail "unclear error: $(cat "$scratch/bad.log")"

echo "== systemd unit"
unit=$root/lib/systemd/system/vestibra-reception.service
# verify also checks that ExecStart's program exists: point it at the unpacked one.
mkdir "$scratch/verify"
sed "s#/usr/bin/vestibra-reception#$root/usr/bin/vestibra-reception#g" "$unit" >"$scratch/verify/vestibra-reception.service"
verify=$(systemd-analyze verify "$scratch/verify/vestibra-reception.service" 2>&1) || fail "verify: $verify"
[ -z "$verify" ] || fail "verify is not clean: $verify"
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for vestibra-reception.service: \([0-9.]*\).*/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security gave no rating"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "exposure $exposure is above 2.0"
for setting in DynamicUser=yes StateDirectory=vestibra-reception AmbientCapabilities=CAP_NET_BIND_SERVICE MemoryMax=512M \
               Restart=on-failure "ExecStart=/usr/bin/vestibra-reception --config /etc/vestibra/reception.conf"; do
  grep -qx "$setting" "$unit" || fail "the unit lacks $setting"
done
# The daily backup: valid units, shipped disabled (the install enables only the service).
cp "$root"/lib/systemd/system/vestibra-reception-backup.{service,timer} "$scratch/verify/"
verify=$(systemd-analyze verify "$scratch/verify/vestibra-reception-backup.service" \
         "$scratch/verify/vestibra-reception-backup.timer" 2>&1) || fail "verify of the backup units: $verify"
[ -z "$verify" ] || fail "verify of the backup units is not clean: $verify"
if dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -q backup; then fail "the install enables the backup timer"; fi
echo "deb_test: $deb passed (exposure $exposure)"
