#!/usr/bin/env python3
"""Moves one file from Dorvish to Kelvane over loopback, driving both programs through
pseudo-terminals with text-mode dialogs, and in the same run the same file with netcat
(nc -l / nc -N). Prints transfer time, CPU seconds and peak memory of each side, and the
ratios ours/netcat.

  python3 bench/programs.py [--size-mib 1024] [--build build/release]

Transfer time for Dorvish runs from the end of its one-second pause after
"Verbunden zum Empfaenger ..." to the receiver's "Datei wurde hier gespeichert:".
"""
import argparse, os, pty, select, shutil, signal, socket, subprocess, sys, tempfile, threading, time


def peak_kib(pid):
    """The process's peak resident memory since its exec (VmHWM), 0 once it is gone."""
    try:
        for line in open(f"/proc/{pid}/status"):
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


class PeakWatch(threading.Thread):
    """Samples the peak memory of running processes until stopped (for programs that end
    by themselves, whose peak cannot be read afterwards)."""

    def __init__(self, pids):
        super().__init__(daemon=True)
        self.peaks = {pid: 0 for pid in pids}
        self.running = True

    def run(self):
        while self.running:
            for pid in self.peaks:
                self.peaks[pid] = max(self.peaks[pid], peak_kib(pid))
            time.sleep(0.02)


def free_port():
    for port in range(4000 + os.getpid() % 5000, 10000):
        with socket.socket() as s:
            try:
                s.bind(("0.0.0.0", port))
                return port
            except OSError:
                pass
    raise SystemExit("no free port")


class Pty:
    """A program on a pseudo-terminal; remembers when each text first appeared."""

    def __init__(self, argv):
        env = dict(os.environ, KV_DIALOGS="text")
        env.pop("DISPLAY", None)
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(argv[0], argv, env)
        self.out = b""
        self.rusage = None
        self.peak = 0

    def pump(self, timeout):
        r, _, _ = select.select([self.fd], [], [], timeout)
        if r:
            try:
                self.out += os.read(self.fd, 65536)
            except OSError:
                pass

    def wait_for(self, text, timeout=600, others=()):
        needle = text.encode()
        deadline = time.monotonic() + timeout
        while needle not in self.out:
            if time.monotonic() > deadline:
                raise SystemExit(f"timeout waiting for {text!r}: {self.out[-400:]!r}")
            self.pump(0.005)
            for other in others:
                other.pump(0)
        return time.monotonic()

    def type(self, text):
        os.write(self.fd, text.encode())

    def finish(self):
        self.peak = peak_kib(self.pid)
        os.kill(self.pid, signal.SIGKILL)
        _, _, self.rusage = os.wait4(self.pid, 0)


def run_ours(build, source, target, port):
    receiver = Pty([os.path.join(build, "Kelvane")])
    receiver.wait_for("Bitte Ort zum speichern")
    receiver.type(target + "\r")
    receiver.wait_for("Bitte den Port eingeben")
    receiver.type(f"{port}\r")
    receiver.wait_for("Server: Wait for Connection ...")

    sender = Pty([os.path.join(build, "Dorvish")])
    sender.wait_for("kann die Datei gesendet werden!")
    sender.type("\r")
    sender.wait_for("Bitte Datei zum Laden")
    sender.type(source + "\r")
    sender.wait_for("Bitte den Port eingeben")
    sender.type(f"{port}\r")
    sender.wait_for("Bitte die IP eingeben")
    sender.type("127.0.0.1\r")
    connected = sender.wait_for("Verbunden zum Empfaenger ...", others=[receiver])
    saved = receiver.wait_for("Datei wurde hier gespeichert:", others=[sender])
    sender.wait_for("Bitte Enter druecken ...", others=[receiver])
    elapsed = saved - (connected + 1.0)
    sender.finish()
    receiver.finish()
    return elapsed, sender.rusage, receiver.rusage, sender.peak, receiver.peak


def listening(port):
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = open(table).read().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            fields = line.split()
            if fields[3] == "0A" and int(fields[1].rsplit(":", 1)[1], 16) == port:
                return True
    return False


def run_netcat(source, target, port):
    with open(target, "wb") as out:
        listener = subprocess.Popen(["nc", "-l", "-p", str(port)], stdout=out)
        # Wait until it listens without connecting: netcat serves one connection only.
        for _ in range(500):
            if listening(port):
                break
            time.sleep(0.01)
        start = time.monotonic()
        with open(source, "rb") as inp:
            sender = subprocess.Popen(["nc", "-N", "127.0.0.1", str(port)], stdin=inp)
            watch = PeakWatch([sender.pid, listener.pid])
            watch.start()
            _, _, sender_usage = os.wait4(sender.pid, 0)
        _, _, receiver_usage = os.wait4(listener.pid, 0)
        elapsed = time.monotonic() - start
        watch.running = False
    return elapsed, sender_usage, receiver_usage, watch.peaks[sender.pid], watch.peaks[listener.pid]


def row(name, result, size):
    elapsed, send, recv, send_peak, recv_peak = result
    mib = size / 2**20
    print(f"{name:8} {elapsed:7.3f} s {mib / elapsed:8.1f} MiB/s | sender cpu {send.ru_utime:.2f}u "
          f"{send.ru_stime:.2f}s peak {send_peak / 1024:.1f} MiB | receiver cpu "
          f"{recv.ru_utime:.2f}u {recv.ru_stime:.2f}s peak {recv_peak / 1024:.1f} MiB")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--build", default="build/release")
    args = parser.parse_args()
    size = args.size_mib * 2**20
    if args.size_mib >= 2048:
        parser.error("the programs refuse files of 2 GiB or more: --size-mib must be below 2048")
    work = tempfile.mkdtemp(prefix="kv-bench-")
    try:
        source = os.path.join(work, "source.bin")
        with open(source, "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(args.size_mib):
                f.write(block)
        ours = run_ours(args.build, source, os.path.join(work, "ours.bin"), free_port())
        netcat = run_netcat(source, os.path.join(work, "nc.bin"), free_port())
        for name in ("ours.bin", "nc.bin"):
            if os.path.getsize(os.path.join(work, name)) != size:
                raise SystemExit(f"{name}: wrong size")
        print(f"{args.size_mib} MiB over loopback")
        row("ours", ours, size)
        row("netcat", netcat, size)
        cpu = lambda r: r[1].ru_utime + r[1].ru_stime + r[2].ru_utime + r[2].ru_stime
        print(f"ratios ours/netcat: time {ours[0] / netcat[0]:.2f}  cpu {cpu(ours) / cpu(netcat):.2f}  "
              f"receiver peak {ours[4] / max(netcat[4], 1):.2f}")
    finally:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
