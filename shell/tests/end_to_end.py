#!/usr/bin/env python3
"""vestibra.exe as a user sees it: Wine with its X11 driver on a private Xvfb
display, against a reception service on 127.0.0.1:80 (the compiled-in host is
localhost). Checks the panel's pixels in a screenshot, dismisses the guest with
a click on Close, reads the diagnostics from redirected standard output and
leaves through File > Exit.

Usage: end_to_end.py VESTIBRA_EXE WINE_PREFIX_SCRIPT [--prefix DIR] [--screenshot PNG]
The Wine prefix (by default ~/.cache/vestibra/wineprefix-display) belongs to
this test alone; a lock beside it also keeps runs from several build trees
from meeting on port 80. Exit code 77 means a tool is missing: skipped."""

import argparse
import errno
import fcntl
import os
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
SCREEN = (1024, 768)
DESKTOP = (800, 600)
DARK_RED = (100, 10, 10)
LIGHT_GREY = (220, 220, 220)
GREY = (100, 100, 100)
GUEST = ("n1", "Mr Smith", "is waiting at reception")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_for(predicate, seconds, step=0.2):
    """Polls predicate until it returns something true, at most seconds long."""
    deadline = time.monotonic() + seconds
    while True:
        result = predicate()
        if result or time.monotonic() >= deadline:
            return result
        time.sleep(step)


class Reception(socketserver.ThreadingTCPServer):
    """A reception service holding one waiting guest until it is archived."""

    allow_reuse_address = True
    daemon_threads = True

    def __init__(self):
        self.requests_seen = []
        self.archived = False
        self.lock = threading.Lock()
        self.guest_arrived(65)
        super().__init__(("127.0.0.1", 80), ReceptionHandler)

    def guest_arrived(self, seconds_ago):
        arrival = time.localtime(time.time() - seconds_ago)
        with self.lock:
            self.arrival = (arrival.tm_hour, arrival.tm_min, arrival.tm_sec)

    def answer(self, path):
        with self.lock:
            self.requests_seen.append(path)
            if "/api/reception/listUsers" in path:
                return "Ann Lee,Bob Ray"
            if "/api/reception/archiveNotification" in path:
                self.archived = True
                return "1"
            if "/api/reception/getNotification" in path and not self.archived:
                return "|".join(GUEST + tuple(str(part) for part in self.arrival))
            return ""

    def seen(self, fragment):
        with self.lock:
            return any(fragment in path for path in self.requests_seen)


class ReceptionHandler(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.settimeout(5)
        data = b""
        while b"\r\n\r\n" not in data and len(data) < 65536:
            chunk = self.request.recv(4096)
            if not chunk:
                break
            data += chunk
        words = data.split(b" ", 2)
        path = words[1].decode("latin-1") if len(words) > 1 else ""
        body = self.server.answer(path)
        self.request.sendall(("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body).encode("latin-1"))


class Screen:
    """The Xvfb root window as RGB rows."""

    def __init__(self, display, work):
        self.display = display
        self.work = work
        self.width, self.height, self.pixels = 0, 0, b""

    def grab(self, png=None):
        raw = os.path.join(self.work, "screen.rgb")
        environment = dict(os.environ, DISPLAY=self.display)
        subprocess.run(["import", "-window", "root", "-depth", "8", "rgb:" + raw],
                       env=environment, check=True, timeout=30)
        if png:
            subprocess.run(["import", "-window", "root", "-crop", "%dx%d+0+0" % DESKTOP, png],
                           env=environment, check=True, timeout=30)
        with open(raw, "rb") as file:
            self.pixels = file.read()
        self.width, self.height = SCREEN
        check(len(self.pixels) == SCREEN[0] * SCREEN[1] * 3, "the screenshot is not %dx%d" % SCREEN)
        return self

    def at(self, x, y):
        offset = (y * self.width + x) * 3
        return tuple(self.pixels[offset:offset + 3])

    def find_title_band(self):
        """Client origin of the panel: the dark red band starts 10 px in."""
        for y in range(self.height - 50):
            row = y * self.width * 3
            start = self.pixels.find(bytes(DARK_RED), row, row + self.width * 3)
            while start != -1 and (start - row) % 3 != 0:
                start = self.pixels.find(bytes(DARK_RED), start + 1, row + self.width * 3)
            if start == -1:
                continue
            x = (start - row) // 3
            if x + 559 < self.width and self.at(x + 559, y + 49) == DARK_RED and self.at(x + 560, y) != DARK_RED:
                return (x - 10, y - 10)
        return None


def tool_missing():
    for tool in ("Xvfb", "xdotool", "import", "wine", "wineserver"):
        if shutil.which(tool) is None:
            return tool
    return None


def start_xvfb(work):
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % SCREEN, "-nolisten", "tcp"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 20
    while not number.endswith(b"\n") and time.monotonic() < deadline:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    check(number.strip().isdigit(), "Xvfb did not report a display")
    return xvfb, ":" + number.strip().decode()


def wine_environment(prefix, display):
    return dict(os.environ, WINEPREFIX=prefix, DISPLAY=display, WINEDEBUG="-all",
                WINEDLLOVERRIDES="mscoree,mshtml=")


def prepare_prefix(script, prefix, environment):
    subprocess.run([script, prefix, "display"], env=environment, check=True, timeout=300,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Wine's own fonts draw the caption buttons; a prefix made before they
    # were installed gets them now.
    fonts = os.path.join(prefix, "drive_c", "windows", "Fonts")
    if os.path.isdir("/usr/share/wine/fonts") and os.path.isdir(fonts):
        for name in os.listdir("/usr/share/wine/fonts"):
            if not os.path.exists(os.path.join(fonts, name)):
                shutil.copy(os.path.join("/usr/share/wine/fonts", name), fonts)
    # Every program runs in one virtual desktop at the root's top-left corner,
    # so Windows screen coordinates equal X root coordinates.
    for key, name, value in (("HKCU\\Software\\Wine\\Explorer", "Desktop", "Vestibra"),
                             ("HKCU\\Software\\Wine\\Explorer\\Desktops", "Vestibra", "%dx%d" % DESKTOP)):
        subprocess.run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], env=environment, check=True,
                       timeout=60, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def xdotool(display, *arguments):
    subprocess.run(["xdotool", *arguments], env=dict(os.environ, DISPLAY=display), check=True, timeout=30)


def click(display, x, y):
    xdotool(display, "mousemove", "--sync", str(x), str(y), "click", "1")


def take_lock(path, seconds):
    """An exclusive lock on path, waited for at most seconds; None if not had."""
    handle = open(path, "w")
    deadline = time.monotonic() + seconds
    while True:
        try:
            fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return handle
        except OSError as error:
            if error.errno not in (errno.EAGAIN, errno.EACCES) or time.monotonic() >= deadline:
                handle.close()
                return None
            time.sleep(0.5)


def run(arguments, work):
    server = Reception()
    threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()
    xvfb, display = start_xvfb(work)
    program = None
    environment = wine_environment(arguments.prefix, display)
    try:
        prepare_prefix(arguments.wine_prefix_script, arguments.prefix, environment)
        program_dir = os.path.join(work, "program")
        os.makedirs(program_dir)
        with open(os.path.join(program_dir, "settings.conf"), "wb") as file:
            file.write(b"user=Ann Lee\r\n")
        server.guest_arrived(65)
        stdout_path = os.path.join(work, "stdout.txt")
        with open(stdout_path, "wb") as stdout:
            program = subprocess.Popen(["wine", arguments.exe], cwd=program_dir, env=environment,
                                       stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.DEVNULL)

        screen = Screen(display, work)
        origin = wait_for(lambda: screen.grab().find_title_band(), 60, 0.5)
        check(origin, "the Guest Waiting panel never appeared")
        # Let the next tick repaint with the clock of the first tick.
        time.sleep(1.5)
        screen.grab(arguments.screenshot)
        ox, oy = origin
        samples = {(ox + 12, oy + 12): DARK_RED, (ox + 568, oy + 58): DARK_RED,
                   (ox + 12, oy + 67): LIGHT_GREY, (ox + 568, oy + 168): LIGHT_GREY,
                   (ox + 470, oy + 95): GREY, (ox + 569, oy + 134): GREY,
                   (ox + 10, oy + 95): GREY, (ox + 109, oy + 134): GREY}
        for (x, y), colour in samples.items():
            check(screen.at(x, y) == colour, "pixel (%d, %d) is %s, not %s" % (x - ox, y - oy, screen.at(x, y), colour))
        ink = sum(screen.at(x, y) != LIGHT_GREY for x in range(ox + 130, ox + 470) for y in range(oy + 75, oy + 170))
        check(ink > 100, "no text in the notification area")
        check(server.seen("getNotification?key=m9pqzRWkfhT7031&fn=Ann&ln=Lee"), "the poll did not ask for Ann Lee")

        click(display, ox + 520, oy + 115)
        check(wait_for(lambda: server.seen("archiveNotification?key=m9pqzRWkfhT7031&id=n1"), 15),
              "the click on Close did not reach the service")
        check(wait_for(lambda: screen.grab().find_title_band() is None, 10), "the panel stayed after the dismiss")

        # File > Exit: open the File menu on the menu bar just above the client
        # area, then take its first item.
        click(display, ox + 15, oy - 10)
        time.sleep(0.5)
        xdotool(display, "key", "Down", "Return")
        try:
            code = program.wait(timeout=20)
        except subprocess.TimeoutExpired:
            raise Failure("File > Exit did not end the program")
        check(code == 0, "exit code %d" % code)
        program = None

        with open(stdout_path, "rb") as file:
            output = file.read()
        for expected in (b"user = Ann Lee", b"Buffer being sent:\r\nGET /api/reception/listUsers?key=m9pqzRWkfhT7031",
                         b"data returned:\r\nAnn Lee,Bob Ray", b"data retu rned:\r\nn1|Mr Smith|",
                         b"Got some data\r\n", b"\r\n1\r\n", b"-1 = 0\r\n"):
            check(expected in output, "diagnostics lack %r; got %r" % (expected, output[:2000]))
        with open(os.path.join(program_dir, "downloaded.file"), "rb") as file:
            check(file.read() == b"1", "downloaded.file does not hold the last body")
    finally:
        if program is not None and program.poll() is None:
            program.kill()
            program.wait(timeout=10)
        # Ends what this run left in its own prefix (the desktop process), then the display.
        subprocess.run(["wineserver", "-k"], env=environment, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        xvfb.send_signal(signal.SIGTERM)
        try:
            xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            xvfb.kill()
            xvfb.wait(timeout=10)
        server.shutdown()
        server.server_close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("wine_prefix_script")
    parser.add_argument("--prefix", default=os.path.join(
        os.environ.get("XDG_CACHE_HOME", os.path.expanduser("~/.cache")), "vestibra", "wineprefix-display"))
    parser.add_argument("--screenshot")
    arguments = parser.parse_args()
    missing = tool_missing()
    if missing:
        print("skipped: %s is not installed" % missing)
        return SKIP
    os.makedirs(os.path.dirname(arguments.prefix), exist_ok=True)
    lock = take_lock(arguments.prefix + ".e2e.lock", 240)
    if lock is None:
        print("FAILED: another end-to-end run held the prefix and port 80 for too long")
        return 1
    work = tempfile.mkdtemp(prefix="vestibra-e2e-")
    try:
        run(arguments, work)
    except (Failure, OSError, subprocess.SubprocessError) as error:
        print("FAILED: %s" % error)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
        lock.close()
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
