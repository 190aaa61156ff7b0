#!/usr/bin/env python3
"""Runs a Windows link test under Wine with a Linux pty as the far end of its COM port.

Usage: serial_pty_peer.py <wine-run.sh> <test.exe> [test args...]

Maps $WINEPREFIX/dosdevices/comN (a free N from 40 up) to the slave side of a pty and serves
the test over a TCP connection on 127.0.0.1 (port in PX_PEER_PORT), one request a line:
  NEW                       a fresh pty behind comN          -> OK COM<n>
  W <hex>                   write bytes to the line          -> OK
  R <count> <ms> <bps> <delay>  read, paced at bps (0: as fast as they come) -> D <hex>
  F                         fill the line towards the peer   -> OK <bytes>
  H                         hang up (close the pty)          -> OK
  NUL                       a COM port that is /dev/null     -> OK COM<m>
The exit status is the test's.
"""
import os
import select
import socket
import subprocess
import sys
import threading
import time
import tty

JUNK = 0xEE


def find_prefix(exe):
    prefix = os.environ.get("WINEPREFIX")
    if prefix:
        return prefix
    d = os.path.dirname(os.path.abspath(exe))
    while d != "/" and not os.path.isfile(os.path.join(d, "CMakeCache.txt")):
        d = os.path.dirname(d)
    return os.path.join(d, "wineprefix")


def claim_com_number(dosdevices):
    """A free comN in the prefix, taken by pointing it at /dev/null."""
    for n in range(40, 100):
        try:
            os.symlink("/dev/null", os.path.join(dosdevices, "com%d" % n))
            return n
        except FileExistsError:
            continue
    raise SystemExit("no free COM number in " + dosdevices)


class Line:
    def __init__(self, dosdevices):
        self.dosdevices = dosdevices
        self.master = self.slave = None
        self.holder = None
        self.number = claim_com_number(dosdevices)
        self.link = os.path.join(dosdevices, "com%d" % self.number)
        self.null_links = []
        self.renew()

    def renew(self):
        self.hang_up()
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        # A process of our own takes the pty as its controlling terminal. Otherwise the
        # wineserver, a session leader without one, takes it on opening the port and gets a
        # SIGHUP (and prints a dump of its objects) whenever the pty goes away.
        self.holder = subprocess.Popen(["setsid", "-c", "sleep", "100000"], stdin=self.slave,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.set_blocking(self.master, False)
        tmp = self.link + ".new"
        if os.path.lexists(tmp):
            os.unlink(tmp)
        os.symlink(os.ttyname(self.slave), tmp)
        os.replace(tmp, self.link)

    def hang_up(self):
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None
        if self.holder is not None:
            self.holder.kill()
            self.holder.wait()
            self.holder = None

    def write(self, data):
        while data:
            try:
                data = data[os.write(self.master, data):]
            except BlockingIOError:
                select.select([], [self.master], [], 0.1)

    def read(self, count, ms, bps, delay):
        time.sleep(delay / 1000.0)
        got = bytearray()
        start = time.monotonic()
        deadline = start + ms / 1000.0
        while len(got) < count and time.monotonic() < deadline:
            want = min(4096, count - len(got))
            if bps:
                allowed = int((time.monotonic() - start) * bps) - len(got)
                if allowed <= 0:
                    time.sleep(0.002)
                    continue
                want = min(want, allowed)
            try:
                got += os.read(self.master, want)
            except (BlockingIOError, OSError):
                select.select([self.master], [], [], 0.01)
        return bytes(got)

    def fill(self):
        fd = os.open(os.ttyname(self.slave), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        total, refusals = 0, 0
        while refusals < 3:
            try:
                total += os.write(fd, bytes([JUNK]) * (256 if refusals == 0 else 1))
                refusals = 0
            except BlockingIOError:
                refusals += 1
                time.sleep(0.05)
        os.close(fd)
        return total

    def null_port(self):
        number = claim_com_number(self.dosdevices)
        self.null_links.append(os.path.join(self.dosdevices, "com%d" % number))
        return number

    def close(self):
        self.hang_up()
        for link in [self.link] + self.null_links:
            if os.path.lexists(link):
                os.unlink(link)


def serve(server, line):
    while True:
        try:
            conn, _ = server.accept()
        except OSError:
            return
        with conn, conn.makefile("rwb", buffering=0) as f:
            for raw in f:
                word = raw.decode().split()
                if not word:
                    continue
                if word[0] == "NEW":
                    line.renew()
                    reply = "OK COM%d" % line.number
                elif word[0] == "W":
                    line.write(bytes.fromhex(word[1] if len(word) > 1 else ""))
                    reply = "OK"
                elif word[0] == "R":
                    reply = "D " + line.read(*map(int, word[1:5])).hex()
                elif word[0] == "F":
                    reply = "OK %d" % line.fill()
                elif word[0] == "H":
                    line.hang_up()
                    reply = "OK"
                elif word[0] == "NUL":
                    reply = "OK COM%d" % line.null_port()
                else:
                    reply = "ERR"
                f.write((reply + "\n").encode())


def main():
    wine_run, exe = sys.argv[1], sys.argv[2]
    env = dict(os.environ)
    env["WINEPREFIX"] = find_prefix(exe)
    env.setdefault("WINEDEBUG", "-all")
    if not os.path.isfile(os.path.join(env["WINEPREFIX"], "system.reg")):
        subprocess.run(["wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-w"], env=env)
    dosdevices = os.path.join(env["WINEPREFIX"], "dosdevices")
    os.makedirs(dosdevices, exist_ok=True)
    line = Line(dosdevices)
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    env["PX_PEER_PORT"] = str(server.getsockname()[1])
    threading.Thread(target=serve, args=(server, line), daemon=True).start()
    try:
        return subprocess.call([wine_run, exe] + sys.argv[3:], env=env)
    finally:
        server.close()
        line.close()


if __name__ == "__main__":
    sys.exit(main())
