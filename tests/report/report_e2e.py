#!/usr/bin/env python3
"""TARNLOAD_REPORT end to end: tarnload and tarnsim as processes.

Each row runs the same case twice, without a report and with one, and
requires the same standard output (timing figures and progress dots by
pattern) and exit status; the report run must append exactly one line,
whose keys are checked against the truth: the file's SHA-256 and size
taken here with hashlib, the identity tarnsim plays, and on success
blocks = ceil(image / transfer size). Four runs at once through GNU
parallel must leave four whole lines in one shared file. Every report
produced is validated against the installed schema.

Usage: report_e2e.py --tarnload BIN --tarnsim BIN --schema FILE --work DIR
Exit status 0 when every row passed, 1 otherwise.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

import jsonschema

RUN_TIMEOUT_S = 60
FILE_VID, FILE_PID = 0x1D50, 0x6089
# What tarnsim plays by default: its DFU-mode identity (the last one read,
# after the detach), transfer size and attributes.
DEVICE = {"vid": "7a52", "pid": "0101", "transfer_size": 230,
          "capabilities": ["download", "manifestation_tolerant", "will_detach"]}
TIMING = re.compile(r"Download time: [0-9.]+ s \(([0-9]+|inf|-?nan) Bytes/s\)\n"
                    r"Manifest time: [0-9.]+ s\nTotal time: [0-9.]+ s\n")
INTERRUPTED = ("Interrupted: the device was left in the middle of an update; "
               "running the same command again completes it")

ARGS = None
REPORTS = []  # every line any row produced, for the schema
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("  FAIL:", what)


class Sim:
    """A tarnsim on a pty; its path is its first line of output."""

    count = 0

    def __init__(self, *extra):
        Sim.count += 1
        self.stats_path = os.path.join(ARGS.work, "stats-%d.txt" % Sim.count)
        self.proc = subprocess.Popen([ARGS.tarnsim, "--quiet", "--stats", self.stats_path, *extra],
                                     stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 5)
        self.pty = self.proc.stdout.readline().decode().strip() if ready else ""
        if not self.pty.startswith("/dev/"):
            raise RuntimeError("tarnsim did not start")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(10)
        self.proc.stdout.close()

    def stats(self):
        """Its statistics, written as it ended."""
        return dict(l.split("=", 1) for l in open(self.stats_path).read().split())


def make_firmware(path, image_size, damage=False):
    subprocess.run([ARGS.tarnsim, "make-dfu", "--out", path, "--size", str(image_size - 100),
                    "--seed", "3", "--vid", hex(FILE_VID), "--pid", hex(FILE_PID),
                    "--desc", "report \"e2e\"\tfirmware"], check=True, stdout=subprocess.DEVNULL)
    if damage:
        with open(path, "r+b") as f:
            f.seek(image_size // 2)
            byte = f.read(1)
            f.seek(image_size // 2)
            f.write(bytes([byte[0] ^ 0xFF]))
    data = open(path, "rb").read()
    return {"path": path, "size": len(data), "image_size": image_size,
            "sha256": hashlib.sha256(data).hexdigest(),
            "crc32": data[-4:][::-1].hex(), "description": "report \"e2e\"\tfirmware",
            "vid": "%04x" % FILE_VID, "pid": "%04x" % FILE_PID}


def run(argv, report, interrupt_at=None):
    """Runs tarnload; with `interrupt_at`, SIGTERM once that text is out."""
    env = dict(os.environ)
    env.pop("TARNLOAD_REPORT", None)
    env.pop("TARNLOAD_TRACE", None)
    if report:
        env["TARNLOAD_REPORT"] = report
    proc = subprocess.Popen([ARGS.tarnload, *argv], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    out = b""
    deadline = time.monotonic() + RUN_TIMEOUT_S
    os.set_blocking(proc.stdout.fileno(), False)
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], 0.5)
        if ready:
            chunk = proc.stdout.read() or b""
            out += chunk
            if not chunk and proc.poll() is not None:
                break
        if interrupt_at is not None and interrupt_at in out:
            proc.send_signal(signal.SIGTERM)
            interrupt_at = None
    else:
        proc.kill()
    err = proc.stderr.read()
    proc.wait()
    return out.decode("utf-8", "replace"), err.decode("utf-8", "replace"), proc.returncode


def normal(text):
    """The output with what legitimately differs between runs set aside."""
    text = TIMING.sub("{TIMING}\n", text)
    # A frame the device was sending while the port opened arrives cut: its
    # damaged-frame line (and the line break before it) comes and goes.
    text = re.sub(r"\n?#{24} [^\n]*\n", "", text)
    # Progress: dots, and the byte total after every 50th block.
    return re.sub(r"(\.+([0-9]+\n)?)+", ".", text)


def read_report(path):
    lines = open(path, "rb").read().split(b"\n") if os.path.exists(path) else []
    check(lines and lines[-1] == b"", "the report ends its line")
    lines = [l for l in lines if l]
    for l in lines:
        REPORTS.append(json.loads(l))
    return [json.loads(l) for l in lines]


def row(name, argv_of, sims, want, interrupt_at=None, report_path=None, want_stderr=""):
    """Runs one case without and with a report; `want(report)` checks it."""
    print("row:", name)
    report = os.path.join(ARGS.work, "report.jsonl") if report_path is None else report_path
    if os.path.exists(report) and report_path is None:
        os.unlink(report)
    results = []
    devices = []
    for with_report in (False, True):
        devices = [Sim(*s) for s in sims]
        try:
            results.append(run(argv_of(devices), report if with_report else None, interrupt_at))
        finally:
            for d in devices:
                d.stop()
    (out0, err0, rc0), (out1, err1, rc1) = results
    check(normal(out0) == normal(out1), "%s: same output with a report:\n%s---\n%s" %
          (name, out0, out1))
    check(rc0 == rc1, "%s: same exit status (%d, %d)" % (name, rc0, rc1))
    check(err0 == "", "%s: nothing on standard error without a report: %r" % (name, err0))
    check(err1 == want_stderr, "%s: standard error %r" % (name, err1))
    if want is None:
        return out1
    reports = read_report(report)
    check(len(reports) == 1, "%s: one report line, got %d" % (name, len(reports)))
    if reports:
        r = reports[0]
        check(r["exit_status"] == rc1 or (r["exit_status"] is None and rc1 < 0),
              "%s: exit_status %r, process %d" % (name, r["exit_status"], rc1))
        for problem in want(r, out1, devices):
            check(False, "%s: %s\n  %s" % (name, problem, json.dumps(r)))
    return out1


def expect(r, **keys):
    """The differences between `r` and the wanted `keys`."""
    return ["%s is %r, want %r" % (k, r.get(k), v) for k, v in keys.items() if r.get(k) != v]


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for a in ("--tarnload", "--tarnsim", "--schema", "--work"):
        parser.add_argument(a, required=True)
    ARGS = parser.parse_args()
    shutil.rmtree(ARGS.work, ignore_errors=True)
    os.makedirs(ARGS.work)
    fw = os.path.join(ARGS.work, "fw.dfu")
    bad = os.path.join(ARGS.work, "bad.dfu")
    quiet = "--busy-answers=0"

    good_file = make_firmware(fw, 1000)
    bad_file = make_firmware(bad, 1000, damage=True)

    # Frames sent again (a loaded machine may be slow to acknowledge) are
    # the ones the device received twice; it sends no damaged frame.
    row("success", lambda d: [d[0].pty, fw], [[quiet]],
        lambda r, out, d: expect(r, result="ok", stage=None, lines=[], file=good_file,
                                 device=DEVICE, blocks=math.ceil(1000 / 230),
                                 resent=int(d[0].stats()["host_retransmissions"]),
                                 frame_errors=0, dfu_state="dfuIDLE", signal=None,
                                 port=r["port_opened"]))

    row("refused file (CRC)", lambda d: [d[0].pty, bad], [[quiet]],
        lambda r, out, d: expect(r, result="failed", stage="file", file=dict(bad_file, path=bad),
                              device=None, blocks=0, lines=out.splitlines()))

    # The device reports an error after the third block: three blocks were
    # acknowledged, and the lines are the failure's, not the progress.
    row("device error mid-download", lambda d: [d[0].pty, fw], [[quiet, "--error-at-block", "2"]],
        lambda r, out, d: expect(r, result="failed", stage="download", file=good_file,
                              device=DEVICE, blocks=3, dfu_state="dfuERROR", dfu_status=3,
                              lines=["Device reports error (3) during download - aborting",
                                     "Download failed"]))

    big = os.path.join(ARGS.work, "big.dfu")
    big_file = make_firmware(big, 60000)
    # Paced at the line's real speed, the download lasts about 6 s.
    row("SIGTERM mid-download", lambda d: [d[0].pty, big], [["--paced", quiet]],
        lambda r, out, d: expect(r, result="interrupted", stage="download", signal="SIGTERM",
                              exit_status=1, file=big_file, lines=[INTERRUPTED]) +
        ([] if 0 < r["blocks"] < math.ceil(60000 / 230) else ["blocks %d" % r["blocks"]]),
        interrupt_at=b"..")

    # The port's name has a control character and a byte that is no UTF-8:
    # the report keeps both, escaped, as valid JSON.
    missing = "/nonexistent/tarn\x01port\udcff"
    row("a port that does not exist", lambda d: [missing, fw], [],
        lambda r, out, d: expect(r, result="failed", stage="port", port="/nonexistent/tarn\x01port\xff",
                              port_opened=None, file=None, device=None,
                              lines=["Serial port: no such device",
                                     'Cannot open com port "/nonexistent/tarn\\x01port\xff"']))

    # A report that cannot be opened costs one line on standard error; one
    # naming the port is never opened, and the device sees no stray byte.
    unwritable = os.path.join(ARGS.work, "no-such-dir", "r.jsonl")
    row("report cannot be opened", lambda d: [d[0].pty, fw], [[quiet]], None,
        report_path=unwritable,
        want_stderr="tarnload: cannot open report file %s: No such file or directory\n" % unwritable)
    stats = os.path.join(ARGS.work, "stats.txt")
    print("row: report is the port")
    sim = Sim(quiet, "--stats", stats)
    out, err, rc = run([sim.pty, fw], sim.pty)
    sim.stop()
    check(rc == 0 and err == "tarnload: cannot open report file %s: it is the port itself\n" % sim.pty,
          "report is the port: status %d, stderr %r" % (rc, err))
    check("\nframe_errors=0\n" in open(stats).read(), "report is the port: the device saw no stray byte")

    # Four runs at once share one report file.
    print("row: four runs at once")
    shared = os.path.join(ARGS.work, "shared.jsonl")
    devices = [Sim(quiet) for _ in range(4)]
    env = dict(os.environ, TARNLOAD_REPORT=shared)
    done = subprocess.run(["parallel", "--will-cite", "--jobs", "0", ARGS.tarnload, "{}", fw,
                           ":::", *[d.pty for d in devices]], env=env,
                          stdout=subprocess.DEVNULL, timeout=RUN_TIMEOUT_S)
    for d in devices:
        d.stop()
    reports = read_report(shared)
    check(done.returncode == 0, "four runs: all succeeded")
    check(sorted(r["port"] for r in reports) == sorted(d.pty for d in devices) and
          all(r["result"] == "ok" and r["file"] == good_file for r in reports),
          "four runs: four whole lines, one per port")

    validator = jsonschema.Draft202012Validator(json.load(open(ARGS.schema)))
    for r in REPORTS:
        for e in validator.iter_errors(r):
            check(False, "schema: %s in %s" % (e.message, json.dumps(r)))
    print("%d reports validated against the schema" % len(REPORTS))
    if FAILURES:
        print("%d failures" % len(FAILURES))
        return 1
    print("report e2e: all rows passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
