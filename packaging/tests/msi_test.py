#!/usr/bin/env python3
"""The notifier's MSI as an office installs it, under Wine in a scratch prefix
of its own (removed afterwards): a SERVICEHOST with a scheme and a SERVICEKEY
with other characters than letters and digits refused (1603, the reason in
the log, nothing installed), a silent install of an older version with
SERVICEHOST, SERVICEKEY and SERVICEUSER (written to settings.conf) and
without the start at login, the user's own settings.conf, an upgrade to this
version with another SERVICEUSER that keeps that file byte for byte and the
service's address, the Autostart feature added and removed again
(REMOVE=Autostart), the program started as its Start-menu shortcut says
(target and working directory) polling a loopback test service by that
address, and an uninstall that leaves no program, shortcut or registry value.

Usage: msi_test.py VESTIBRA_EXE VERSION SOURCE_DIR
Exit code 77: wixl, msibuild, Wine or cmake is missing (skipped)."""

import glob
import http.server
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
SETTINGS = b"user=Ann Lee\r\n# written by the user, kept as it is\r\n\xe9\r\n"
KEY = "officeKey1"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Reception(http.server.ThreadingHTTPServer):
    """Records every request's path and Host line; nobody is waiting."""

    daemon_threads = True

    def __init__(self, address):
        self.seen = []
        self.lock = threading.Lock()
        super().__init__((address, 80), ReceptionHandler)

    def requests(self):
        with self.lock:
            return list(self.seen)


class ReceptionHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        with self.server.lock:
            self.server.seen.append((self.path, self.headers.get("Host")))
        body = b"Ann Lee,Bob Ray" if "/listUsers" in self.path else b""
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Prefix:
    """A scratch Wine prefix with the project's set-up (null graphics driver)."""

    def __init__(self, root, source_dir):
        self.path = os.path.join(root, "wineprefix")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        subprocess.run([os.path.join(source_dir, "cmake", "wine-prefix"), self.path], env=self.env,
                       check=True, timeout=180, stdin=subprocess.DEVNULL)

    def run(self, *args, timeout=120):
        return subprocess.run(["wine", *args], env=self.env, capture_output=True, timeout=timeout,
                              stdin=subprocess.DEVNULL)

    def msiexec(self, *args, status=0):
        result = self.run("msiexec", *args, "/qn")
        # Wine's exit status is the installer's code modulo 256 (1603: 67).
        check(result.returncode == status % 256, f"msiexec {' '.join(args)} ended with {result.returncode}")

    def registry_values(self, key):
        """The values under key as {name: data}; {} when the key is missing."""
        result = self.run("reg", "query", key)
        values = {}
        for line in result.stdout.decode("utf-8", "replace").splitlines():
            parts = line.strip().split(None, 2)
            if len(parts) >= 2 and parts[1].startswith("REG_"):
                values[parts[0]] = parts[2] if len(parts) == 3 else ""
        return values

    def unix_path(self, windows_path):
        check(windows_path[:3].upper() == "C:\\", f"{windows_path} is not on drive C:")
        return os.path.join(self.path, "drive_c", *[p for p in windows_path[3:].split("\\") if p])

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60, check=False)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60, check=False)


def read_shortcut(path):
    """(target, working directory) of a Shell Link file."""
    data = open(path, "rb").read()
    flags = struct.unpack_from("<I", data, 20)[0]
    at = 76
    if flags & 0x1:  # HasLinkTargetIDList
        at += 2 + struct.unpack_from("<H", data, at)[0]
    target = None
    if flags & 0x2:  # HasLinkInfo: LocalBasePath, ANSI
        size, _, info_flags, _, base = struct.unpack_from("<IIIII", data, at)
        if info_flags & 0x1:
            target = data[at + base:data.index(b"\0", at + base)].decode("latin-1")
        at += size
    strings = {}
    unicode = flags & 0x80
    for bit, name in ((0x4, "name"), (0x8, "relative"), (0x10, "directory"), (0x20, "arguments"),
                      (0x40, "icon")):
        if flags & bit:
            count = struct.unpack_from("<H", data, at)[0]
            length = count * 2 if unicode else count
            text = data[at + 2:at + 2 + length].decode("utf-16-le" if unicode else "latin-1")
            strings[name] = text.rstrip("\0")  # Wine counts the terminating NUL
            at += 2 + length
    return target, strings.get("directory")


def build_msi(source_dir, exe, version, output):
    subprocess.run(["cmake", f"-DPROGRAM={exe}", f"-DVERSION={version}", f"-DOUTPUT={output}",
                    "-P", os.path.join(source_dir, "packaging", "msi.cmake")], check=True, timeout=120)


def installed_product_versions(prefix):
    versions = []
    for hive in ("HKLM", "HKCU"):
        result = prefix.run("reg", "query", hive + "\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/s")
        block = {}
        for line in result.stdout.decode("utf-8", "replace").splitlines() + ["HKEY_END"]:
            if line.startswith("HKEY"):
                if block.get("DisplayName") == "Vestibra":
                    versions.append(block.get("DisplayVersion"))
                block = {}
            parts = line.strip().split(None, 2)
            if len(parts) == 3 and parts[1].startswith("REG_"):
                block[parts[0]] = parts[2]
    return versions


def wait_for(predicate, seconds):
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.2)
    return predicate()


def start_from_shortcut(prefix, shortcut, log_path):
    target, directory = read_shortcut(shortcut)
    check(target and target.lower().endswith("\\programs\\vestibra\\vestibra.exe"), f"shortcut target {target}")
    check(directory and directory.rstrip("\\").lower() == target.rsplit("\\", 1)[0].lower(),
          f"shortcut working directory {directory} is not the program's folder")
    with open(log_path, "wb") as log:
        return subprocess.Popen(["wine", target], cwd=prefix.unix_path(directory), env=prefix.env,
                                stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)


def exercise(root, exe, version, source_dir):
    old_msi = os.path.join(root, "vestibra-old.msi")
    new_msi = os.path.join(root, f"vestibra-{version}-win64.msi")
    build_msi(source_dir, exe, "0.9.0", old_msi)
    build_msi(source_dir, exe, version, new_msi)

    address = f"127.{random.randint(20, 220)}.{random.randint(1, 250)}.{random.randint(1, 250)}"
    reception = Reception(address)
    threading.Thread(target=reception.serve_forever, daemon=True).start()
    prefix = Prefix(root, source_dir)
    try:
        profile = glob.glob(os.path.join(prefix.path, "drive_c", "users", "*", "AppData"))
        profile = [p for p in profile if "Public" not in p]
        check(len(profile) == 1, f"no single user profile in the prefix: {profile}")
        programs = os.path.join(profile[0], "Roaming", "Microsoft", "Windows", "Start Menu", "Programs")
        start_menu = os.path.join(programs, "Vestibra.lnk")
        startup = os.path.join(programs, "StartUp", "Vestibra.lnk")
        folder = os.path.join(profile[0], "Local", "Programs", "Vestibra")
        program = os.path.join(folder, "vestibra.exe")
        settings = os.path.join(folder, "settings.conf")

        # 0. Refused: a URL for the host, a key the notifier would send unencoded.
        for bad, reason in ((f"SERVICEHOST=http://{address}/", f"REFUSED = SERVICEHOST=http://{address}/ is not a host name"),
                            ("SERVICEKEY=office-Key_1", "REFUSED = SERVICEKEY is not 1 to 64 letters and digits")):
            log = os.path.join(root, "refused.log")
            prefix.msiexec("/i", old_msi, f"SERVICEHOST={address}", bad, "/l*v", "Z:" + log.replace("/", "\\"), status=1603)
            text = open(log, "rb").read().decode("utf-8", "replace")
            check(reason in text, f"{bad}: the log does not say why: {text[-1500:]}")
            check(not os.path.exists(program) and prefix.registry_values("HKCU\\Software\\Vestibra") == {},
                  f"{bad} installed something")

        # 1. The older version, silently, with the service's address, key and
        # user, no start at login.
        prefix.msiexec("/i", old_msi, f"SERVICEHOST={address}", f"SERVICEKEY={KEY}", "SERVICEUSER=Ann Lee",
                       "REMOVE=Autostart")
        check(open(settings, "rb").read() == b"user=Ann Lee\r\n", "SERVICEUSER was not written to settings.conf")
        check(os.path.isfile(program), "the program is not in %LOCALAPPDATA%\\Programs\\Vestibra")
        check(os.path.isfile(start_menu), "no Start-menu shortcut")
        check(not os.path.exists(startup), "REMOVE=Autostart made a Startup shortcut")
        values = prefix.registry_values("HKCU\\Software\\Vestibra")
        check(values.get("ServiceHost") == address and values.get("AccessKey") == KEY,
              f"registry values after install: {values}")
        with open(settings, "wb") as file:
            file.write(SETTINGS)

        # 2. This version over it, with another user only: one product, the
        # user's file and the values kept.
        prefix.msiexec("/i", new_msi, "SERVICEUSER=Bob Ray")
        check(installed_product_versions(prefix) == [version],
              f"installed versions after the upgrade: {installed_product_versions(prefix)}")
        check(open(settings, "rb").read() == SETTINGS, "the upgrade changed settings.conf")
        values = prefix.registry_values("HKCU\\Software\\Vestibra")
        check(values.get("ServiceHost") == address and values.get("AccessKey") == KEY,
              f"registry values after the upgrade: {values}")

        # 3. The start at login added, then taken away with REMOVE=Autostart.
        prefix.msiexec("/i", new_msi, "ADDLOCAL=Autostart")
        check(os.path.isfile(startup), "ADDLOCAL=Autostart made no Startup shortcut")
        check(read_shortcut(startup) == read_shortcut(start_menu), "the two shortcuts start different things")
        prefix.msiexec("/i", new_msi, "REMOVE=Autostart")
        check(not os.path.exists(startup), "REMOVE=Autostart left the Startup shortcut")
        check(os.path.isfile(program) and os.path.isfile(start_menu), "REMOVE=Autostart removed more")

        # 4. Started as the shortcut says, it polls the configured service by that name.
        notifier = start_from_shortcut(prefix, start_menu, os.path.join(root, "notifier.log"))
        try:
            polled = wait_for(lambda: any("getNotification" in p for p, _ in reception.requests()), 60)
        finally:
            notifier.terminate()
            notifier.wait(timeout=30)
        seen = reception.requests()
        check(polled, f"the installed notifier never polled {address}: {seen}")
        check(all(host == address for _, host in seen), f"Host lines: {seen}")
        check(f"/api/reception/listUsers?key={KEY}" in [p for p, _ in seen], f"no listUsers with the key: {seen}")
        check(any(p.startswith(f"/api/reception/getNotification?key={KEY}&fn=Ann&ln=Lee") for p, _ in seen),
              f"no poll for the user in settings.conf (working directory): {seen}")

        # 5. Uninstall: no program, shortcut or value; the user's settings stay.
        prefix.msiexec("/x", new_msi)
        check(not os.path.exists(program), "uninstall left the program")
        check(not os.path.exists(start_menu) and not os.path.exists(startup), "uninstall left a shortcut")
        check(prefix.registry_values("HKCU\\Software\\Vestibra") == {} and
              prefix.registry_values("HKCU\\Software\\Vestibra\\Installer") == {}, "uninstall left registry values")
        check(installed_product_versions(prefix) == [], "uninstall left the product registered")
        check(open(settings, "rb").read() == SETTINGS, "uninstall changed or removed settings.conf")
    finally:
        prefix.stop()
        reception.shutdown()
        reception.server_close()


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    exe, version, source_dir = sys.argv[1:]
    for tool in ("wixl", "msibuild", "wine", "wineserver", "cmake"):
        if not shutil.which(tool):
            print(f"msi_test: {tool} is missing, skipped")
            return SKIP
    root = tempfile.mkdtemp(prefix="vestibra-msi-test.")
    try:
        exercise(root, os.path.abspath(exe), version, os.path.abspath(source_dir))
    except Failure as failure:
        print(f"msi_test: FAILED: {failure}")
        log = os.path.join(root, "notifier.log")
        if os.path.exists(log):
            print("notifier output:\n" + open(log, "rb").read().decode("latin-1")[-2000:])
        return 1
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("msi_test: install, upgrade, Autostart, poll and uninstall passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
