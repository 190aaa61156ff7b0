"""Harness for tests that drive Windows programs under Wine on a virtual X display: a private
Xvfb, a Wine prefix of the test's own, the app_probe helper (window queries and clicks from
inside Wine), screenshots and xdotool input. Standard library only."""
import json
import os
import re
import shutil
import subprocess
import tempfile
import time


STM_GETICON = 0x0171


class TestFailure(AssertionError):
    pass


# Generous enough for Wine on a loaded 2-core machine; it only turns a hang into a failure.
EVENT_DEADLINE = 30


def wait_until(predicate, deadline=EVENT_DEADLINE, what="a condition", interval=0.05):
    """The tests' one way to wait (the twin of WaitUntil in tests/support): polls predicate until
    it returns something true and returns that, or fails after deadline seconds naming what it
    waited for."""
    until = time.monotonic() + deadline
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > until:
            raise TestFailure(f"gave up after {deadline} s waiting for {what}")
        time.sleep(interval)


class Xvfb:
    """A virtual X server on a display that it picks itself (-displayfd), so that tests running
    side by side never share one."""

    def __init__(self, size="800x600x24"):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", size, "-nolisten", "tcp",
             # Wine redirects owned windows (message boxes) when Composite is there, and with
             # no compositing manager they would never reach the screen or a screenshot.
             "-extension", "Composite"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip():
            self.process.kill()
            raise TestFailure("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def screenshot(self, path):
        """The screen as a PNG. Every mapped top-level window is captured on its own and laid
        on the root in stacking order: windows that Wine opens over another one (dialogs, with
        save-under) stay black in a capture of the root alone."""
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        env = dict(os.environ, DISPLAY=self.display)
        with tempfile.TemporaryDirectory() as folder:
            root = os.path.join(folder, "root.xwd")
            subprocess.run(["xwd", "-root", "-silent", "-out", root], env=env, check=True)
            layers = []
            for index, (window, x, y) in enumerate(self._mapped_windows(env)):
                image = os.path.join(folder, f"{index}.xwd")
                if subprocess.run(["xwd", "-id", window, "-silent", "-out", image], env=env,
                                  stderr=subprocess.DEVNULL).returncode == 0:
                    layers += [f"xwd:{image}", "-geometry", f"+{x}+{y}", "-composite"]
            subprocess.run(["convert", f"xwd:{root}", *layers, path], check=True)

    def _mapped_windows(self, env):
        """Top-level windows bigger than a pixel that are viewable, bottom first."""
        tree = subprocess.run(["xwininfo", "-root", "-children"], env=env, check=True,
                              stdout=subprocess.PIPE, text=True).stdout
        found = []
        for match in re.finditer(r"^\s+(0x[0-9a-f]+) .*?(\d+)x(\d+)[+-]\d+[+-]\d+", tree,
                                 re.MULTILINE):
            if int(match.group(2)) <= 1 or int(match.group(3)) <= 1:
                continue
            info = subprocess.run(["xwininfo", "-id", match.group(1)], env=env,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True).stdout
            if "IsViewable" not in info:
                continue
            x = re.search(r"Absolute upper-left X:\s+(-?\d+)", info)
            y = re.search(r"Absolute upper-left Y:\s+(-?\d+)", info)
            if x and y:
                found.append((match.group(1), int(x.group(1)), int(y.group(1))))
        # xwininfo lists the topmost first.
        return list(reversed(found))

    def click(self, x, y):
        env = dict(os.environ, DISPLAY=self.display)
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=env,
                       check=True)

    def focus(self, title):
        """Gives the keyboard to the window with exactly this title."""
        env = dict(os.environ, DISPLAY=self.display)
        pattern = "^" + re.escape(title) + "$"
        subprocess.run(["xdotool", "search", "--name", pattern, "windowfocus", "--sync"],
                       env=env, check=True, stdout=subprocess.DEVNULL)

    def keys(self, *keys):
        env = dict(os.environ, DISPLAY=self.display)
        subprocess.run(["xdotool", "key", "--delay", "150", *keys], env=env, check=True)


class Wine:
    """One Wine prefix, made on first use and kept in the build tree (creating one takes a
    while); every process of it is ended by stop()."""

    def __init__(self, prefix, display):
        self.prefix = prefix
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", DISPLAY=display)
        self.env.pop("WINELOADERNOEXEC", None)
        self.processes = []
        self.log = open(prefix.rstrip("/") + ".log", "a")
        if not os.path.isfile(os.path.join(prefix, "system.reg")):
            os.makedirs(prefix, exist_ok=True)
            subprocess.run(["wineboot", "-i"], env=self.env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
            subprocess.run(["wineserver", "-w"], env=self.env, check=False,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # There is no window manager: Wine draws the title bars itself, so that screenshots
        # show them, and window positions are the same for Windows and for X.
        self.run("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N",
                 "/f")

    def start(self, exe, *args, extra_env=None, **kwargs):
        """Starts exe in the prefix; extra_env adds variables for that process alone."""
        # Wine's own chatter (and the server's, started by the first process) goes to a log.
        kwargs.setdefault("stdout", self.log)
        kwargs.setdefault("stderr", self.log)
        env = dict(self.env, **(extra_env or {}))
        process = subprocess.Popen(["wine", exe, *args], env=env, **kwargs)
        self.processes.append(process)
        return process

    def run(self, exe, *args, check=True, timeout=None):
        result = subprocess.run(["wine", exe, *args], env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL,
                                timeout=timeout)
        if check and result.returncode != 0:
            raise TestFailure(f"{os.path.basename(exe)} {' '.join(args)} failed: "
                              f"{result.returncode} {result.stderr.strip()}")
        return result

    def link_com_port(self, name, target):
        """Makes the COM port name (com7) that device (a pty) inside the prefix."""
        link = os.path.join(self.prefix, "dosdevices", name.lower())
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(target, link)

    def end(self, process):
        """Ends one process started here, if it still runs."""
        if process.poll() is None:
            process.kill()
            process.wait()

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
        self.log.close()


class Probe:
    """app_probe.exe, kept running: one command a line in, one JSON line out."""

    def __init__(self, wine, exe):
        self.process = wine.start(exe, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, text=True, bufsize=1)

    def ask(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline()
        if not answer:
            raise TestFailure(f"app_probe ended on: {line}")
        return json.loads(answer)

    def windows(self):
        return self.ask("windows")

    def window(self, title, cls=None):
        """The visible top-level window with exactly this title (and class), or None."""
        for w in self.windows():
            if w["title"] == title and (cls is None or w["class"] == cls):
                return w
        return None

    def wait_window(self, title, timeout=EVENT_DEADLINE, cls=None):
        return wait_until(lambda: self.window(title, cls), timeout, f"window '{title}'")

    def wait_gone(self, hwnd, timeout=EVENT_DEADLINE):
        wait_until(lambda: all(w["hwnd"] != hwnd for w in self.windows()), timeout,
                   f"window {hwnd} to close")

    def controls(self, hwnd):
        return self.ask(f"controls {hwnd}")

    def control(self, hwnd, control_id):
        for c in self.controls(hwnd):
            if c["id"] == control_id:
                return c
        raise TestFailure(f"window {hwnd} has no control {control_id}")

    def combo(self, hwnd):
        return self.ask(f"combo {hwnd}")

    def send(self, hwnd, message, wparam=0, lparam=0):
        return self.ask(f"send {hwnd} {message} {wparam} {lparam}")

    def post(self, hwnd, message, wparam=0, lparam=0):
        return self.ask(f"post {hwnd} {message} {wparam} {lparam}")

    def click(self, hwnd, control_id):
        return self.ask(f"click {hwnd} {control_id}")

    def ping(self, hwnd, limit_ms):
        """Whether the window's thread answers a WM_NULL within limit_ms, as Windows asks before
        it calls a window not responding."""
        return self.ask(f"ping {hwnd} {limit_ms}")

    def message_box(self, caption, timeout=EVENT_DEADLINE):
        """Waits for a message box with this caption; returns (window, text, buttons, icon)."""
        box = self.wait_window(caption, timeout, cls="#32770")
        controls = self.controls(box["hwnd"])
        texts = [c["text"] for c in controls if c["class"] == "Static" and c["text"]]
        buttons = [c["text"].replace("&", "") for c in controls if c["class"] == "Button"]
        # The box's icon is an SS_ICON static; a box without one leaves it empty.
        icon = any(c["class"] == "Static" and (c["style"] & 0x1F) == 0x3 and c["visible"]
                   and int(self.send(c["hwnd"], STM_GETICON)) != 0 for c in controls)
        return box, " ".join(texts), buttons, icon

    def close(self):
        try:
            self.process.stdin.write("quit\n")
            self.process.stdin.flush()
            self.process.wait(timeout=10)
        except (BrokenPipeError, subprocess.TimeoutExpired, OSError):
            self.process.kill()


def require_tools(*names):
    missing = [n for n in names if shutil.which(n) is None]
    if missing:
        raise TestFailure("missing tools: " + ", ".join(missing))


def start_session(test_class, work, probe_exe):
    """Xvfb, a Wine prefix under work and the probe, for a test class; cleaned up even when the
    set-up fails half-way (class cleanups run where tearDownClass would not)."""
    require_tools("Xvfb", "xwd", "convert", "xdotool", "wine", "wineserver")
    os.makedirs(work, exist_ok=True)
    test_class.shots = os.path.join(work, "screenshots")
    test_class.xvfb = Xvfb()
    test_class.addClassCleanup(test_class.xvfb.stop)
    test_class.wine = Wine(os.path.join(work, "wineprefix"), test_class.xvfb.display)
    test_class.addClassCleanup(test_class.wine.stop)
    return lambda: _start_probe(test_class, probe_exe)


def _start_probe(test_class, probe_exe):
    test_class.probe = Probe(test_class.wine, probe_exe)
    test_class.addClassCleanup(test_class.probe.close)
