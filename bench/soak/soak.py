#!/usr/bin/env python3
"""Fault-injection soak: full firmware updates through tarnsim, over a real
pseudo-terminal, with the real tarnload binary, while the line misbehaves.

Every run checks one invariant:
  * tarnload exits 0 and tarnsim holds exactly the file's image (every byte,
    blocks in order), got the end-of-image block after the last one, and
    finished manifestation; or
  * tarnload exits 1 and tarnsim never took the end-of-image block after an
    incomplete or altered image.
Anything else is a violation: another exit status, output on tarnload's
standard error (a sanitizer report), or a run that outlives its wall-clock
limit (tarnload hung). One kind of endless run is not: after a restart in
the middle of the download the device answers every status request with
dfuIDLE, and tarnload keeps asking, because status polls have no overall
limit by design (each single request still has its time-outs). Such runs are
counted in their own column, recognised by the device's state and the number
of requests it answered, never as successes or clean failures. A damaged frame that passes the 16-bit CRC is a limit
of the protocol, not of tarnload: such runs are counted as CRC escapes and
listed with tarnsim's log of the frame and its bytes, never mixed with
successes. A violation that coincides with a CRC escape is counted as an
escape and listed.

Hostile lines: from a random block on, the line carries noise instead of the
device's bytes (babble), or lets the device's bytes through one a second
(trickle). Every wait of tarnload is bounded in real time, so such a run
must end within its kind's wall-clock limit, and when it fails its last line
must say so ("Download failed" or another summary line); a run that outlives
the limit or fails without that line is a violation.

Usage:
  python3 bench/soak/soak.py --bin build/soak            # full: 200+ runs
  python3 bench/soak/soak.py --bin build/soak --small    # CI: a handful, < 60 s
  python3 bench/soak/soak.py --bin build/soak --replay KIND RATE SEED
--bin is a build directory holding tarnload and sim/tarnsim (scripts/test_fuzz.sh
builds one with the sanitizers in build/soak). Each run prints its replay
command when it fails; --replay runs it again verbosely and keeps its files.
"""

import argparse
import concurrent.futures
import fcntl
import hashlib
import os
import random
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

IMAGE_SIZE = 16 * 1024
SUFFIX_SIZE = 16
# The reply time-out is 5000 idle ticks of at least 1 ms each; a tick costs a
# little more than its sleep, so the real limit lies somewhat above 5 s.
TIMEOUT_MS = 5000
# Channel-12 frames a healthy update makes the device send (about 230).
REPLY_FRAMES = 230
# Frames of any kind the device writes in a healthy update.
DEVICE_FRAMES = 240
# Requests a healthy update makes; an endless status poll answers far more.
HEALTHY_REQUESTS = 230
# Device states that no waiting loop of the download ever leaves.
IDLE_STATES = (0, 2)
# DNLOAD blocks of the image (230 bytes each).
IMAGE_BLOCKS = -(-IMAGE_SIZE // 230)
# The last line of a run that failed for a reason tarnload could name.
SUMMARY_LINES = (b"Download failed", b"Cannot bring device into dfuIDLE state",
                 b"Cannot establish communication with device")


def drop_frames(p):
    def args(rng):
        picked = [n for n in range(1, 4 * DEVICE_FRAMES) if rng.random() < p]
        return [a for n in picked for a in ("--drop-frame", str(n))]
    return args


def byte_fault(option, p):
    return lambda rng: [option, repr(p)]


def duplicates(p):
    return lambda rng: ["--tx-dup-rate", repr(p), "--rx-dup-rate", repr(p)]


def restart(rng):
    return ["--restart-after-request", str(rng.randint(1, REPLY_FRAMES))]


def no_faults(rng):
    return []


def acknowledge_first(rng):
    # The device acknowledges each request at once and replies a moment later.
    return ["--reply-delay-ms", "1"]


def line_turn(option, acknowledge):
    # From a random block on; acknowledged at once, the request is out before
    # the line turns, and the reply wait decides instead of the send.
    def args(rng):
        block = ["--" + option + "-after-block", str(rng.randint(0, IMAGE_BLOCKS - 1))]
        return block + (["--reply-delay-ms", "1"] if acknowledge else [])
    return args


# kind, rate label, tarnsim options from the run's generator, delay of one
# reply frame (ms, through the line proxy) or 0, runs in full mode, runs in
# small mode. Byte rates are per byte; frame rates per frame.
CELLS = [
    ("none", "-", no_faults, 0, 8, 1),
    ("rx-corrupt", "1e-4", byte_fault("--rx-corrupt-rate", 1e-4), 0, 10, 0),
    ("rx-corrupt", "1e-3", byte_fault("--rx-corrupt-rate", 1e-3), 0, 10, 1),
    ("rx-corrupt", "1e-2", byte_fault("--rx-corrupt-rate", 1e-2), 0, 8, 0),
    ("rx-drop", "1e-4", byte_fault("--rx-drop-rate", 1e-4), 0, 10, 0),
    ("rx-drop", "1e-3", byte_fault("--rx-drop-rate", 1e-3), 0, 10, 0),
    ("rx-drop", "1e-2", byte_fault("--rx-drop-rate", 1e-2), 0, 8, 0),
    ("tx-corrupt", "1e-4", byte_fault("--tx-corrupt-rate", 1e-4), 0, 10, 0),
    ("tx-corrupt", "1e-3", byte_fault("--tx-corrupt-rate", 1e-3), 0, 10, 1),
    ("tx-corrupt", "1e-2", byte_fault("--tx-corrupt-rate", 1e-2), 0, 8, 0),
    ("tx-drop", "1e-4", byte_fault("--tx-drop-rate", 1e-4), 0, 10, 0),
    ("tx-drop", "1e-3", byte_fault("--tx-drop-rate", 1e-3), 0, 10, 1),
    ("tx-drop", "1e-2", byte_fault("--tx-drop-rate", 1e-2), 0, 8, 0),
    ("drop-frame", "1e-2", drop_frames(1e-2), 0, 10, 1),
    ("drop-frame", "5e-2", drop_frames(5e-2), 0, 10, 0),
    ("dup-frame", "1e-2", duplicates(1e-2), 0, 10, 0),
    ("dup-frame", "1e-1", duplicates(1e-1), 0, 10, 1),
    ("restart", "1/run", restart, 0, 16, 1),
    # A reply held back on the line after its request was acknowledged: the
    # reply wait's time-out (T) decides.
    ("stall-reply", "0.9 T", acknowledge_first, TIMEOUT_MS * 9 // 10, 8, 0),
    ("stall-reply", "1.1 T", acknowledge_first, TIMEOUT_MS * 11 // 10, 8, 0),
    ("stall-reply", "1.5 T", acknowledge_first, TIMEOUT_MS * 15 // 10, 8, 1),
    ("stall-reply", "2 T", acknowledge_first, TIMEOUT_MS * 2, 8, 0),
    # A reply that carries the acknowledgement held back: the send's four
    # attempts of T each decide.
    ("stall-ack", "2 T", no_faults, TIMEOUT_MS * 2, 6, 0),
    ("stall-ack", "5 T", no_faults, TIMEOUT_MS * 5, 6, 0),
    # Noise or a trickle from a random block on: the send's four attempts of
    # T, or with the request acknowledged at once the reply wait, decide.
    ("babble", "send", line_turn("babble", False), 0, 6, 0),
    ("babble", "reply", line_turn("babble", True), 0, 6, 1),
    ("trickle", "send", line_turn("trickle", False), 0, 6, 0),
    ("trickle", "reply", line_turn("trickle", True), 0, 6, 1),
    # The trace (TARNLOAD_TRACE) names a FIFO that nobody opens, or whose
    # reader stops at a random point: the flash must not notice.
    ("trace-stall", "unread", no_faults, 0, 4, 1),
    ("trace-stall", "stops", no_faults, 0, 6, 1),
]

# A healthy run takes about 4 s (up to a minute at the highest byte-fault
# rates); one that fails runs into a few 5 s time-outs. Far beyond either
# means tarnload hangs. A restart either fails fast or starts an endless poll,
# so its runs get a shorter limit.
WALL_LIMIT_S = {"full": 300, "small": 45}
RESTART_WALL_LIMIT_S = 40
# The documented bound of a hostile line: the update up to the turn (a few
# seconds), then at most a send's 4 x 5 s (plus the request or reply that
# trickled through before, at 1 byte a second, up to 20 s).
LINE_TURN_LIMIT_S = {"babble": 35, "trickle": 60}
# A stalled trace costs the flash nothing: a healthy run's time, with room
# for a loaded machine.
STALLED_TRACE_WALL_LIMIT_S = 30
# The one line a trace FIFO without a reader may put on standard error.
NO_READER_COMPLAINT = b": a FIFO with no reader\n"
# A trace FIFO's buffer: one page, so that a stalled reader is felt within
# the link's set-up rather than after 64 KiB.
TRACE_PIPE_SIZE = 4096
F_SETPIPE_SZ = 1031


def cell_by_name(kind, rate):
    for cell in CELLS:
        if cell[0] == kind and cell[1] == rate:
            return cell
    sys.exit(f"no cell {kind} {rate}; kinds and rates: " +
             ", ".join(f"{c[0]} {c[1]}" for c in CELLS))


def run_seed(base, kind, rate, index):
    digest = hashlib.sha256(f"{base}/{kind}/{rate}/{index}".encode()).digest()
    return int.from_bytes(digest[:4], "little")


class LineProxy:
    """Relays bytes between a pty of its own (given to tarnload) and
    tarnsim's pty, holding back one chosen channel-12 frame from the device,
    and everything behind it, for `delay_ms`: a reply (or acknowledgement)
    that arrives before or after the host's time-out."""

    def __init__(self, device_path, frame_number, delay_ms):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.device = os.open(device_path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.device)
        self.frame_number = frame_number
        self.delay_s = delay_ms / 1000.0
        self.stop = False
        self.delayed = None  # time the delayed frame was released
        self.thread = threading.Thread(target=self.relay, daemon=True)
        self.thread.start()

    def relay(self):
        held = bytearray()  # device bytes not yet passed on
        release_at = 0.0
        frame = bytearray()
        channel12 = 0
        escape = False
        while not self.stop:
            timeout = 0.01
            readable, _, _ = select.select([self.master, self.device], [], [], timeout)
            if self.master in readable:
                try:
                    os.write(self.device, os.read(self.master, 4096))
                except OSError:
                    pass  # tarnload has not opened its end yet, or has gone
            if self.device in readable:
                try:
                    data = os.read(self.device, 4096)
                except OSError:
                    data = b""
                for b in data:
                    held.append(b)
                    if b == 0xC0:
                        if len(frame) >= 4 and frame[1] & 0x0F == 12:
                            channel12 += 1
                            if channel12 == self.frame_number and self.delayed is None:
                                release_at = time.monotonic() + self.delay_s
                                self.delayed = release_at
                        frame.clear()
                        escape = False
                    elif b == 0xDB:
                        escape = True
                    else:
                        frame.append({0xDC: 0xC0, 0xDD: 0xDB}.get(b, b) if escape else b)
                        escape = False
            if held and time.monotonic() >= release_at:
                try:
                    os.write(self.master, bytes(held))
                except OSError:
                    pass
                held.clear()

    def close(self):
        self.stop = True
        self.thread.join()
        for fd in (self.master, self.slave, self.device):
            os.close(fd)


class StalledTraceReader:
    """Holds a trace FIFO open for reading, reads its first `stop_after`
    bytes, then nothing until `release()` (after tarnload ended), then the
    rest up to the end."""

    def __init__(self, path, stop_after):
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        try:
            fcntl.fcntl(self.fd, F_SETPIPE_SZ, TRACE_PIPE_SIZE)
        except OSError:
            pass  # not Linux: the default buffer, a later stall
        self.stop_after = stop_after
        self.released = threading.Event()
        self.text = bytearray()
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        while True:
            if len(self.text) >= self.stop_after and not self.released.wait(0.01):
                continue
            readable, _, _ = select.select([self.fd], [], [], 0.01)
            if not readable:
                if self.released.is_set() and not self.pending():
                    return
                continue
            data = os.read(self.fd, 4096)
            if not data:
                return  # tarnload closed its end
            self.text += data

    def pending(self):
        readable, _, _ = select.select([self.fd], [], [], 0.2)
        return bool(readable)

    def release(self):
        self.released.set()
        self.thread.join()
        os.close(self.fd)


def read_stats(path):
    stats = {}
    try:
        with open(path) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                stats[key] = int(value)
    except (OSError, ValueError):
        pass
    return stats


def one_run(binaries, dfu_file, expected, cell, index, seed, mode, workdir, verbose=False):
    kind, rate, make_args, delay_ms, _, _ = cell
    rng = random.Random(seed)
    sim_args = ["--seed", str(seed)] + make_args(rng)
    delay_frame = rng.randint(1, REPLY_FRAMES) if delay_ms else 0
    tag = f"{kind}-{rate.replace(' ', '').replace('/', '_')}-{index}"
    image_out = os.path.join(workdir, tag + ".img")
    stats_out = os.path.join(workdir, tag + ".stats")
    sim_log = os.path.join(workdir, tag + ".sim.log")
    host_log = os.path.join(workdir, tag + ".host.log")
    sim_cmd = [binaries["tarnsim"], "--updates", "1", "--image-out", image_out,
               "--stats", stats_out] + sim_args
    if verbose:
        print("tarnsim:", " ".join(sim_cmd))
        if delay_ms:
            print(f"proxy: channel-12 frame {delay_frame} held for {delay_ms} ms")
    with open(sim_log, "wb") as sim_err:
        sim = subprocess.Popen(sim_cmd, stdout=subprocess.PIPE, stderr=sim_err)
    pty_path = sim.stdout.readline().decode().strip()
    proxy = LineProxy(pty_path, delay_frame, delay_ms) if delay_ms else None
    port = proxy.path if proxy else pty_path
    host_cmd = [binaries["tarnload"], port, dfu_file]
    if verbose:
        print("tarnload:", " ".join(host_cmd))
    env = dict(os.environ, ASAN_OPTIONS="exitcode=86", UBSAN_OPTIONS="exitcode=86")
    limit = (RESTART_WALL_LIMIT_S if kind == "restart" else
             LINE_TURN_LIMIT_S.get(kind, WALL_LIMIT_S[mode]))
    trace_reader = None
    if kind == "trace-stall":
        fifo = os.path.join(workdir, tag + ".trace")
        os.mkfifo(fifo)
        env["TARNLOAD_TRACE"] = fifo
        limit = STALLED_TRACE_WALL_LIMIT_S
        if rate == "stops":
            trace_reader = StalledTraceReader(fifo, rng.randint(0, 2 * TRACE_PIPE_SIZE))
        if verbose:
            print(f"trace: {fifo}, " + (f"reader stops after {trace_reader.stop_after} bytes"
                                        if trace_reader else "unread"))
    start = time.monotonic()
    hung = False
    with open(host_log, "wb") as out:
        host = subprocess.Popen(host_cmd, stdout=out, stderr=subprocess.PIPE, env=env)
        try:
            _, host_err = host.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            hung = True
            host.kill()
            _, host_err = host.communicate()
    elapsed = time.monotonic() - start
    if trace_reader:
        trace_reader.release()
    if kind == "trace-stall" and rate == "unread" and host_err.endswith(NO_READER_COMPLAINT):
        host_err = b""  # the complaint asked for, once
    try:
        sim.wait(timeout=2)
    except subprocess.TimeoutExpired:
        sim.send_signal(signal.SIGTERM)
        try:
            sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
    if proxy:
        proxy.close()

    stats = read_stats(stats_out)
    try:
        with open(image_out, "rb") as f:
            image = f.read()
    except OSError:
        image = None
    with open(sim_log, "rb") as f:
        escapes = [line.decode(errors="replace").strip() for line in f
                   if b"would pass the frame check" in line or b"passed the frame check" in line]

    rc = host.returncode
    complete = stats.get("image_complete") == 1
    manifested = stats.get("manifestation_done") == 1
    exact = image == expected
    problems = []
    endless_poll = (hung and stats.get("state") in IDLE_STATES and
                    stats.get("requests", 0) > 2 * HEALTHY_REQUESTS and not complete)
    if hung:
        problems.append(f"tarnload still running after {limit} s")
    elif host_err:
        problems.append("tarnload wrote to standard error: " +
                        host_err.decode(errors="replace").strip().splitlines()[0])
    elif rc == 0:
        if not (exact and complete and manifested):
            problems.append(f"exit 0 but image {'exact' if exact else 'differs'}, "
                            f"end-of-image {complete}, manifested {manifested}")
    elif rc == 1:
        if complete and not exact:
            problems.append("exit 1 and the device took end-of-image after a wrong image")
        if kind in LINE_TURN_LIMIT_S:
            with open(host_log, "rb") as f:
                lines = f.read().rstrip(b"\n").splitlines()
            if not lines or lines[-1] not in SUMMARY_LINES:
                problems.append("exit 1 without a summary line as the last line")
    else:
        problems.append(f"exit status {rc}")
    if not stats:
        problems.append("tarnsim left no statistics")

    if endless_poll and len(problems) == 1:
        outcome = "endless-poll"
    elif problems and escapes:
        outcome = "escape"
    elif problems:
        outcome = "violation"
    elif rc == 0:
        outcome = "success"
    else:
        outcome = "clean-failure"
    replay = (f"python3 {os.path.relpath(__file__)} --bin {binaries['dir']} "
              f"--replay {kind} '{rate}' {seed}")
    return {
        "cell": (kind, rate), "seed": seed, "outcome": outcome, "rc": rc, "time": elapsed,
        "problems": problems, "escapes": escapes, "replay": replay, "host_log": host_log,
        "crc_escape": bool(escapes),
    }


def make_dfu(binaries, workdir):
    path = os.path.join(workdir, "soak.dfu")
    subprocess.run([binaries["tarnsim"], "make-dfu", "--out", path, "--size", str(IMAGE_SIZE),
                    "--seed", "16384"], check=True, stdout=subprocess.DEVNULL)
    with open(path, "rb") as f:
        data = f.read()
    return path, data[:-SUFFIX_SIZE]


def print_table(results, cells):
    header = (f"{'fault':<12} {'rate':<6} {'runs':>5} {'ok':>5} {'clean-fail':>10} "
              f"{'violations':>10} {'crc-escapes':>11} {'esc-harm':>8} {'endless-poll':>12} "
              f"{'median s':>9}")
    print(header)
    print("-" * len(header))
    totals = [0, 0, 0, 0, 0, 0, 0]
    for kind, rate, *_ in cells:
        rows = [r for r in results if r["cell"] == (kind, rate)]
        if not rows:
            continue
        counts = [len(rows),
                  sum(r["outcome"] == "success" for r in rows),
                  sum(r["outcome"] == "clean-failure" for r in rows),
                  sum(r["outcome"] == "violation" for r in rows),
                  sum(r["crc_escape"] for r in rows),
                  sum(r["outcome"] == "escape" for r in rows),
                  sum(r["outcome"] == "endless-poll" for r in rows)]
        totals = [t + c for t, c in zip(totals, counts)]
        median = statistics.median(r["time"] for r in rows)
        print(f"{kind:<12} {rate:<6} {counts[0]:>5} {counts[1]:>5} {counts[2]:>10} "
              f"{counts[3]:>10} {counts[4]:>11} {counts[5]:>8} {counts[6]:>12} {median:>9.1f}")
    print("-" * len(header))
    median = statistics.median(r["time"] for r in results)
    print(f"{'total':<19} {totals[0]:>5} {totals[1]:>5} {totals[2]:>10} {totals[3]:>10} "
          f"{totals[4]:>11} {totals[5]:>8} {totals[6]:>12} {median:>9.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="build directory with tarnload and sim/tarnsim")
    parser.add_argument("--small", action="store_true", help="a handful of runs for CI")
    parser.add_argument("--jobs", type=int, default=2, help="runs in parallel (default 2)")
    parser.add_argument("--base-seed", default="tarn", help="varies every run's seed")
    parser.add_argument("--replay", nargs=3, metavar=("KIND", "RATE", "SEED"),
                        help="run one recorded run again, verbosely")
    args = parser.parse_args()

    binaries = {"dir": args.bin, "tarnload": os.path.join(args.bin, "tarnload"),
                "tarnsim": os.path.join(args.bin, "sim", "tarnsim")}
    for name in ("tarnload", "tarnsim"):
        if not os.access(binaries[name], os.X_OK):
            sys.exit(f"{binaries[name]} is missing: build it first")
    mode = "small" if args.small else "full"

    if args.replay:
        kind, rate, seed = args.replay
        workdir = tempfile.mkdtemp(prefix="tarn-soak-replay-")
        dfu_file, expected = make_dfu(binaries, workdir)
        result = one_run(binaries, dfu_file, expected, cell_by_name(kind, rate), 0, int(seed),
                         "full", workdir, verbose=True)
        print(f"outcome: {result['outcome']} (exit {result['rc']}, {result['time']:.1f} s)")
        for line in result["problems"] + result["escapes"]:
            print("  " + line)
        print(f"files kept in {workdir}")
        return 0 if result["outcome"] != "violation" else 1

    with tempfile.TemporaryDirectory(prefix="tarn-soak-") as workdir:
        dfu_file, expected = make_dfu(binaries, workdir)
        plan = []
        for cell in CELLS:
            runs = cell[5] if args.small else cell[4]
            for index in range(runs):
                plan.append((cell, index, run_seed(args.base_seed, cell[0], cell[1], index)))
        print(f"soak ({mode}): {len(plan)} updates of a {IMAGE_SIZE // 1024} KiB image, "
              f"{args.jobs} at a time", flush=True)
        results = []
        started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = [pool.submit(one_run, binaries, dfu_file, expected, cell, index, seed,
                                   mode, workdir) for cell, index, seed in plan]
            for future in concurrent.futures.as_completed(futures):
                r = future.result()
                results.append(r)
                if r["outcome"] in ("violation", "escape"):
                    print(f"{r['outcome'].upper()}: {r['cell'][0]} {r['cell'][1]} seed {r['seed']}")
                    for line in r["problems"] + r["escapes"]:
                        print("  " + line)
                    print("  replay: " + r["replay"], flush=True)
                elif r["crc_escape"]:
                    print(f"crc escape without harm: {r['cell'][0]} {r['cell'][1]} "
                          f"seed {r['seed']}")
                    for line in r["escapes"]:
                        print("  " + line)
        print(f"done in {time.monotonic() - started:.0f} s")
        print_table(results, CELLS)
        violations = sum(r["outcome"] == "violation" for r in results)
        return 1 if violations else 0


if __name__ == "__main__":
    sys.exit(main())
