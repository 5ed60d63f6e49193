#!/usr/bin/env bash
# The service's Debian package as an office gets it: a release build packed by
# CPack, its listing, an install of an older release into a scratch root
# (dpkg --root), the upgrade answered Y and N to the changed reception.conf
# keeping the key in notifier.key (0640 root:vestibra-key), purge keeping the
# backups, the packaged program
# started from an unpacked copy with that configuration (paths adjusted on the
# command line) answering listUsers on loopback with that key only, and its
# systemd unit through systemd-analyze.
# Usage: deb_test.sh SOURCE_DIR      (exit 77: a tool is missing, skipped)
set -euo pipefail
source_dir=$(cd "$1" && pwd)
for tool in dpkg-deb dpkg-shlibdeps systemd-analyze curl groupadd; do
  command -v "$tool" >/dev/null || { echo "deb_test: $tool is missing, skipped"; exit 77; }
done
# dpkg sets the files' owners as packaged.
[ "$(id -u)" = 0 ] || { echo "deb_test: installing into a scratch root needs root, skipped"; exit 77; }

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
            ./usr/share/doc/vestibra-reception/copyright \
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

echo "== install of an older release, upgrade answered Y to the changed reception.conf, purge"
# dpkg into a directory of its own: the maintainer scripts run outside a
# chroot with DPKG_ROOT set, as they do for a real root.
# An older release as offices have it: its postinst appended the key to reception.conf.
old=$scratch/old
dpkg-deb -R "$deb" "$old"
sed -i 's/^Version: .*/Version: 0.9.0/' "$old/DEBIAN/control"
rm -f "$old/DEBIAN/preinst"
sed -i '/^key-file = /d' "$old/etc/vestibra/reception.conf"
cat >"$old/DEBIAN/postinst" <<'OLD'
#!/bin/sh
set -e
conf=${DPKG_ROOT:-}/etc/vestibra/reception.conf
if [ "$1" = configure ] && ! grep -q '^key = ' "$conf"; then
  printf '\n# The access key of this installation, made at install.\nkey = %s\n' "$(LC_ALL=C tr -dc 'A-Za-z0-9' </dev/urandom | head -c 24)" >>"$conf"
fi
OLD
(cd "$old" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | xargs -0 md5sum >DEBIAN/md5sums)
dpkg-deb -b "$old" "$scratch/old.deb" >/dev/null
target=$scratch/target
mkdir -p "$target/var/lib/dpkg/info" "$target/var/lib/dpkg/updates" "$target/etc"
touch "$target/var/lib/dpkg/status" "$target/var/lib/dpkg/available"
printf 'root:x:0:\n' >"$target/etc/group"
in_target() { dpkg --root="$target" --force-script-chrootless --force-depends "$@" >>"$scratch/dpkg.log" 2>&1 ||
  fail "dpkg $*: $(tail -20 "$scratch/dpkg.log")"; }
key_line() { sed -n 's/^key = //p' "$1"; }
etc=$target/etc/vestibra
in_target -i "$scratch/old.deb"
old_key=$(key_line "$etc/reception.conf")
grep -Eqx '[A-Za-z0-9]{24}' <<<"$old_key" || fail "the older release wrote no key"
# The older release's daily copies, in its state directory.
mkdir -p "$target/var/lib/private/vestibra-reception/backups"
echo copy >"$target/var/lib/private/vestibra-reception/backups/reception-Mon.db"
in_target --force-confnew -i "$deb"
cmp -s "$etc/reception.conf" "$root/etc/vestibra/reception.conf" || fail "the upgrade did not take the new reception.conf"
[ "$(cat "$etc/notifier.key")" = "$old_key" ] || fail "the upgrade lost the key: \"$(cat "$etc/notifier.key")\""
group_id=$(awk -F: '$1 == "vestibra-key" { print $3 }' "$target/etc/group")
[ -n "$group_id" ] || fail "no group vestibra-key"
[ "$(stat -c '%a %u %g' "$etc/notifier.key")" = "640 0 $group_id" ] ||
  fail "notifier.key is $(stat -c '%a %u %g' "$etc/notifier.key"), not 640 root:vestibra-key"
! grep -rq "$old_key" "$etc"/reception.conf* || fail "the key is still in a readable copy of reception.conf"
[ -f "$target/var/backups/vestibra-reception/reception-Mon.db" ] || fail "the older daily copy was not moved to /var/backups"
in_target --force-confnew -i "$deb"
[ "$(cat "$etc/notifier.key")" = "$old_key" ] || fail "a second upgrade changed the key"
# The same key after an upgrade answered N (the old file kept): its key line moved, once.
echo "key = Kept0ld" >>"$etc/reception.conf"
rm "$etc/notifier.key"
in_target --force-confold -i "$deb"
[ "$(cat "$etc/notifier.key")" = Kept0ld ] && ! grep -q '^key = ' "$etc/reception.conf" ||
  fail "a key line kept in reception.conf was not moved into notifier.key"
cp "$etc/reception.conf" "$scratch/reception.conf"
cp "$etc/notifier.key" "$scratch/notifier.key"
in_target --purge vestibra-reception
[ ! -e "$etc/notifier.key" ] && [ ! -e "$target/var/lib/vestibra-reception" ] || fail "purge left the key or the database"
[ -f "$target/var/backups/vestibra-reception/reception-Mon.db" ] || fail "purge deleted the backups"
in_target -i "$deb"
key=$(cat "$etc/notifier.key")
grep -Eqx '[A-Za-z0-9]{24}' <<<"$key" && [ "$key" != "$old_key" ] || fail "a fresh install wrote the key \"$key\""
conf=$scratch/reception.conf
key=Kept0ld

echo "== the packaged program with the installed configuration"
address=127.$((RANDOM % 200 + 20)).$((RANDOM % 250 + 1)).$((RANDOM % 250 + 1))
"$root/usr/bin/vestibra-reception" --config "$conf" --listen "$address:0" \
  --database "$scratch/reception.db" --key-file "$scratch/notifier.key" --demo >"$scratch/service.log" 2>&1 &
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
if dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst | grep -q "backup\.timer"; then fail "the install enables the backup timer"; fi
echo "deb_test: $deb passed (exposure $exposure)"
