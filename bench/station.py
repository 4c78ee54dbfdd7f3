#!/usr/bin/env python3
"""The station measured (a benchmark, not a test).

  bench/station.py [BUILD_DIR] [--rate BYTES_PER_SECOND] [--cycles N] [--rows N]

1. Arrivals: 16 virtual boards attached one after another, 100 ms apart, each given a 1 MiB
   image by quillon-cli --station: the time from each board's attach to the start of its flash,
   and the whole batch (first attach to last finished flash) against quillon-cli --all over the
   same 16 boards already attached. --rate caps each board's data phases as a slower board's
   bootloader would (default: none, the virtual board's own speed).
2. Idle: the station's CPU time over 10 s with no board.
3. Churn: N attachments and detachments (default 1000) of one board, each flashed; the
   station's open descriptors and resident memory after the first 20 and at the end.
4. Summary: a journal of N rows (default 100,000; one written by the station, the rest copied
   from it with other slots, days and results by the sqlite3 program) summed up by
   quillon-cli --journal FILE --summary.
"""

import argparse
import datetime
import json
import os
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def utc_seconds(text):
    """Seconds since 1970 of "2026-12-08T09:14:03.250Z"."""
    return datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp()


class Station:
    """quillon-cli --station with --json, its events read line by line."""

    def __init__(self, build, work, image, journal, env):
        self.process = subprocess.Popen(
            [os.path.join(build, "quillon-cli"), "--station", image, "--journal", journal,
             "--json"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, cwd=work, text=True)
        self.events = []

    def next_event(self, kind, slot=None):
        while True:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("the station ended early")
            event = json.loads(line)
            self.events.append(event)
            if event["event"] == kind and (slot is None or event["slot"] == slot):
                return event

    def stop(self):
        self.process.send_signal(signal.SIGINT)
        for line in self.process.stdout:
            self.events.append(json.loads(line))
        return self.process.wait()

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.process.pid))

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return -1

    def cpu_seconds(self):
        with open("/proc/%d/stat" % self.process.pid) as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_board(build, registry, name, rate):
    """One quillon-board process with one board; returns it and the time it was attached."""
    command = [os.path.join(build, "quillon-board"), "--registry", registry, "--board", name]
    if rate:
        command += ["--rate", str(rate)]
    board = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    line = board.stdout.readline()  # "attached ..." once the board is listed
    attached = time.time()
    if "attached" not in line:
        raise RuntimeError("the board did not attach: " + line)
    return board, attached


def stop_board(board):
    board.send_signal(signal.SIGTERM)
    board.wait()


def arrivals(build, work, image, env, rate):
    registry = env["QUILLON_BOARD_DIR"]
    station = Station(build, work, image, os.path.join(work, "arrivals.db"), env)
    time.sleep(0.5)
    boards = []
    attached = {}
    for n in range(16):
        name = "slot%02d" % n
        board, at = start_board(build, registry, name, rate)
        boards.append(board)
        attached[os.path.join(registry, name)] = at
        time.sleep(0.1)
    finished = {}
    started = {}
    while len(finished) < 16:
        event = station.next_event("finished")
        finished[event["slot"]] = utc_seconds(event["time"])
    for event in station.events:
        if event["event"] == "started":
            started[event["slot"]] = utc_seconds(event["time"])
    station.stop()
    delays = sorted((started[slot] - attached[slot]) * 1000 for slot in attached)
    batch = max(finished.values()) - min(attached.values())
    spread = max(attached.values()) - min(attached.values())
    flashed = sum(1 for e in station.events if e["event"] == "finished" and e["result"] == "flashed")

    # The same 16 boards, all attached, flashed at once by --all.
    start = time.time()
    tray = subprocess.run([os.path.join(build, "quillon-cli"), "--all", "--count", "16", image],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, cwd=work)
    all_time = time.time() - start
    for board in boards:
        stop_board(board)
    print("1. Arrivals (16 boards, 100 ms apart, 1 MiB, board rate %s):"
          % ("%d B/s" % rate if rate else "unlimited"))
    print("   flashed %d of 16; attach to start of flash: median %.1f ms, max %.1f ms"
          % (flashed, statistics.median(delays), max(delays)))
    print("   batch (first attach to last finished) %.3f s, of which the arrivals' spread %.3f s"
          % (batch, spread))
    print("   --all over the 16 boards attached: %.3f s (exit %d); batch / --all = %.2f"
          % (all_time, tray.returncode, batch / all_time))
    print("   batch after the last arrival: %.3f s" % (batch - spread))


def idle(build, work, image, env):
    station = Station(build, work, image, os.path.join(work, "idle.db"), env)
    time.sleep(1)
    before = station.cpu_seconds()
    time.sleep(10)
    used = station.cpu_seconds() - before
    station.stop()
    print("2. Idle: %.3f s of CPU in 10 s (%.2f%% of a core)" % (used, used * 10))


def churn(build, work, image, env, cycles):
    registry = env["QUILLON_BOARD_DIR"]
    station = Station(build, work, image, os.path.join(work, "churn.db"), env)
    slot = os.path.join(registry, "churn")
    samples = []
    start = time.time()
    for n in range(1, cycles + 1):
        board, _ = start_board(build, registry, "churn", 0)
        station.next_event("finished", slot)
        stop_board(board)
        station.next_event("left", slot)
        if n == 20 or n % max(cycles // 4, 1) == 0:
            samples.append("%d: %d fds, %d KiB" % (n, station.fds(), station.rss_kib()))
    elapsed = time.time() - start
    station.stop()
    flashed = sum(1 for e in station.events if e["event"] == "finished" and e["result"] == "flashed")
    print("3. Churn: %d attachments and detachments in %.1f s, %d flashed" % (cycles, elapsed, flashed))
    print("   descriptors and resident memory after n cycles: " + "; ".join(samples))


def summary(build, work, image, env, rows):
    registry = env["QUILLON_BOARD_DIR"]
    journal = os.path.join(work, "summary.db")
    station = Station(build, work, image, journal, env)
    board, _ = start_board(build, registry, "seed", 0)
    station.next_event("finished")
    station.stop()
    stop_board(board)
    # Copies of the station's own row: 16 slots, 4 stations, 3 images, a row every 5 minutes.
    sql = """
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %d)
INSERT INTO attempts (start_utc, end_utc, station, slot, description, bootloader_version,
  image_path, image_size, image_sha256, result, exit_code, reason, duration_s, quillon_version)
SELECT strftime('%%Y-%%m-%%dT%%H:%%M:%%fZ', '2026-01-01', '+' || (i * 300) || ' seconds'),
  strftime('%%Y-%%m-%%dT%%H:%%M:%%fZ', '2026-01-01', '+' || (i * 300 + 2) || ' seconds'),
  'station-' || (i %% 4), a.slot || '-' || (i %% 16), a.description, a.bootloader_version,
  a.image_path || '.' || (i %% 3), a.image_size, substr(a.image_sha256, 2) || (i %% 3),
  CASE WHEN i %% 50 = 0 THEN 'failed' WHEN i %% 97 = 0 THEN 'stopped' ELSE 'flashed' END,
  CASE WHEN i %% 50 = 0 THEN 39 WHEN i %% 97 = 0 THEN 2 ELSE 0 END,
  CASE WHEN i %% 50 = 0 THEN 'Send Failed: the board did not answer within 3000 ms' ELSE '' END,
  2.0, a.quillon_version
FROM n, (SELECT * FROM attempts LIMIT 1) AS a;
""" % (rows - 1)
    subprocess.run(["sqlite3", journal], input=sql, text=True, check=True)
    times = []
    cpu = []
    for _ in range(5):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.time()
        result = subprocess.run([os.path.join(build, "quillon-cli"), "--journal", journal,
                                 "--summary"], stdout=subprocess.PIPE, text=True, env=env)
        times.append(time.time() - start)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    start = time.time()
    subprocess.run([os.path.join(build, "quillon-cli"), "--journal", journal, "--summary",
                    "--json"], stdout=subprocess.DEVNULL, env=env)
    json_time = time.time() - start
    print("4. Summary of %s rows: median %.3f s, slowest %.3f s, median CPU %.3f s"
          " (--json %.3f s; exit %d)"
          % (result.stdout.split(": ")[1].split(" ")[0], statistics.median(times), max(times),
             statistics.median(cpu), json_time, result.returncode))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--rate", type=int, default=0)
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--only", choices=["arrivals", "idle", "churn", "summary"])
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    for program in ("quillon-cli", "quillon-board"):
        if not os.access(os.path.join(build, program), os.X_OK):
            sys.exit("%s is missing: build it first (cmake --build %s)" % (program, build))
    if not shutil.which("sqlite3"):
        sys.exit("the sqlite3 program is missing: apt-get install sqlite3")
    work = tempfile.mkdtemp(prefix="quillon-station-")
    try:
        registry = os.path.join(work, "boards")
        os.mkdir(registry, 0o700)
        env = dict(os.environ, QUILLON_BOARD_DIR=registry)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
            env.pop(name, None)
        image = os.path.join(work, "image.bin")
        with open(image, "wb") as file:
            file.write(os.urandom(1 << 20))
        steps = {
            "arrivals": lambda: arrivals(build, work, image, env, args.rate),
            "idle": lambda: idle(build, work, image, env),
            "churn": lambda: churn(build, work, image, env, args.cycles),
            "summary": lambda: summary(build, work, image, env, args.rows),
        }
        for name, step in steps.items():
            if args.only in (None, name):
                step()
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
