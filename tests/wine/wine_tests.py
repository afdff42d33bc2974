#!/usr/bin/env python3
"""tarnload.exe run for real under Wine, against tarnsim on a pty.

Every case runs the Windows build as a user would: the port is a pty slave
that the case itself links into the Wine prefix as dosdevices/<name> and
passes as \\\\.\\<NAME>, typed with its prefix so that it reaches CreateFileA
unchanged. Standard output is compared exactly with what the Linux build
prints (text mode's CR LF folded to LF, the timing numbers by pattern), and
the image tarnsim received is compared byte for byte with the firmware file.

Safety: a fresh prefix maps COM1 to /dev/ttyS0 by itself, which on the
build machines is the kernel console. The set removes every COMn/LPTn link
Wine made, refuses to start if one comes back, and refuses to pass a COMn
name to tarnload.exe; the only ports the program ever sees are the ones a
case set up.

Usage: wine_tests.py --exe tarnload.exe --sim tarnsim --work DIR [-k NAME]
Exit status 0 when every case passed, 1 otherwise.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import ctypes
import dataclasses
import hashlib
import json
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import tty
import zlib
from typing import Callable, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))

USAGE = "Usage: tarnload.exe <com> <file.dfu>\n"

# Longest any single tarnload.exe run may take. The slowest case waits out
# four 5000-tick send attempts: a tick is a 1 ms Sleep, ~1.13 ms under an idle
# Wine and near 2 ms on a busy machine.
RUN_TIMEOUT_S = 90

# ---------------------------------------------------------------------------
# Wine prefix


class WinePrefix:
    """A fresh, headless prefix with one persistent wineserver."""

    def __init__(self, root: str):
        self.path = os.path.join(root, "prefix")
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        self.env.update(
            WINEPREFIX=self.path,
            WINEDEBUG="-all",
            # No Mono or Gecko installer dialogs: nothing here needs them.
            WINEDLLOVERRIDES="mscoree,mshtml=",
        )
        self.dosdevices = os.path.join(self.path, "dosdevices")
        self.log = open(os.path.join(root, "wine.log"), "wb")

    def start(self):
        shutil.rmtree(self.path, ignore_errors=True)
        os.makedirs(self.path)
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stderr=self.log)
        boot = ["wineboot", "-i"]
        subprocess.run(boot, env=self.env, check=True, stdout=self.log, stderr=self.log)
        # The port links Wine creates by itself lead to real serial devices.
        # With the server kept alive they are not made again.
        for name in os.listdir(self.dosdevices):
            if re.fullmatch(r"(com|lpt)\d+", name):
                os.unlink(os.path.join(self.dosdevices, name))
        self.check_no_system_ports()

    def check_no_system_ports(self):
        stray = [n for n in os.listdir(self.dosdevices) if re.fullmatch(r"(com|lpt)\d+", n)]
        if stray:
            raise SystemExit(f"Wine mapped system ports again ({', '.join(stray)}); stopping")

    def link(self, name: str, target: str) -> str:
        """Makes \\\\.\\NAME lead to `target`; returns the name as typed."""
        path = os.path.join(self.dosdevices, name.lower())
        if os.path.lexists(path):
            os.unlink(path)
        os.symlink(target, path)
        return "\\\\.\\" + name

    def unlink(self, name: str):
        path = os.path.join(self.dosdevices, name.lower())
        if os.path.lexists(path):
            os.unlink(path)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=self.log)
        self.log.close()
        # Some 700 MB, and every run starts from a fresh one anyway.
        shutil.rmtree(self.path, ignore_errors=True)


# ---------------------------------------------------------------------------
# Watching for opens: proves a stage was never reached.


class OpenWatch:
    IN_OPEN = 0x20
    IN_NONBLOCK = 0o4000

    _libc = ctypes.CDLL(None, use_errno=True)

    def __init__(self, path: str):
        self.fd = self._libc.inotify_init1(self.IN_NONBLOCK)
        if self.fd < 0 or self._libc.inotify_add_watch(self.fd, path.encode(), self.IN_OPEN) < 0:
            raise OSError(ctypes.get_errno(), f"inotify on {path}")

    def opened(self) -> bool:
        try:
            return len(os.read(self.fd, 4096)) > 0
        except BlockingIOError:
            return False

    def close(self):
        os.close(self.fd)


# ---------------------------------------------------------------------------
# Ports behind the names the cases pass


class QuietPort:
    """A pty nobody answers on: for the stages before the link."""

    def __init__(self):
        self.master, slave = pty.openpty()
        tty.setraw(slave)
        self.slave = os.ttyname(slave)
        os.close(slave)
        os.set_blocking(self.master, False)

    def traffic(self) -> bytes:
        try:
            return os.read(self.master, 65536)
        except (BlockingIOError, OSError):
            return b""

    def close(self):
        os.close(self.master)


class Device:
    """tarnsim on its own pty; its first output line is the slave's path."""

    def __init__(self, sim: str, options: List[str], image_out: str, log_path: str):
        self.log = open(log_path, "wb")
        self.proc = subprocess.Popen(
            [sim, *options, "--image-out", image_out],
            stdout=subprocess.PIPE,
            stderr=self.log,
        )
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        line = self.proc.stdout.readline().decode().strip() if ready else ""
        if not line.startswith("/dev/"):
            self.stop()
            raise RuntimeError(f"tarnsim gave no pty path (got {line!r})")
        self.slave = line

    def kill(self):
        """The device vanishes: its end of the line closes at once."""
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.log.close()


# ---------------------------------------------------------------------------
# Firmware files


# The firmware file the device cases send: the description and IDs it
# carries are printed, its image (header included) goes to the device.
FIRMWARE_DESCRIPTION = "Wine run firmware"
FIRMWARE_VID, FIRMWARE_PID = 0x1A2B, 0x3C4D
# 56 full blocks of 230 bytes and one of 120: a progress line after the
# 50th block, then dots ending in "done".
FIRMWARE_IMAGE_SIZE = 13000


# beyond.dfu's suffix offset: one byte short of room for the suffix.
BEYOND_OFFSET = FIRMWARE_IMAGE_SIZE + 16 - 15


def make_firmware(path: str):
    """A firmware file: 100-byte header (suffix offset at 10, description
    at 16), image bytes, 16-byte suffix in the USB DFU 1.1 layout."""
    header = bytearray(100)
    struct.pack_into("<I", header, 10, FIRMWARE_IMAGE_SIZE)
    header[16 : 16 + len(FIRMWARE_DESCRIPTION)] = FIRMWARE_DESCRIPTION.encode()
    # Every byte value appears, C0 and DB included, so escaping is exercised.
    body = bytes((i * 7 + 3) & 0xFF for i in range(FIRMWARE_IMAGE_SIZE - len(header)))
    data = bytes(header) + body
    suffix = struct.pack("<HHHH3sB", 0xFFFF, FIRMWARE_PID, FIRMWARE_VID, 0x0100, b"UFD", 16)
    crc = zlib.crc32(data + suffix) ^ 0xFFFFFFFF
    write_bytes(path, data + suffix + struct.pack("<I", crc))


def image_of(path: str) -> bytes:
    """What the device must receive: the file up to its suffix."""
    data = open(path, "rb").read()
    (suffix_offset,) = struct.unpack_from("<I", data, 10)
    return data[:suffix_offset]


def write_bytes(path: str, data: bytes):
    with open(path, "wb") as f:
        f.write(data)


def firmware_files(work: str):
    """The firmware files every case can name, made in `work`."""
    make_firmware(os.path.join(work, "firmware.dfu"))
    # The same for the case that runs alongside the others, whose opening of
    # its file must not show in their watches on firmware.dfu.
    make_firmware(os.path.join(work, "alongside.dfu"))
    good = open(os.path.join(work, "firmware.dfu"), "rb").read()
    write_bytes(os.path.join(work, "short.dfu"), good[:60])
    beyond = bytearray(good)
    struct.pack_into("<I", beyond, 10, BEYOND_OFFSET)
    write_bytes(os.path.join(work, "beyond.dfu"), bytes(beyond))
    write_bytes(os.path.join(work, "empty.dfu"), b"")
    write_bytes(os.path.join(work, UNICODE_SHORT), good[:60])
    write_bytes(os.path.join(work, UNICODE_GOOD), good)


# ---------------------------------------------------------------------------
# Output comparison

# The rate must be a number: GetTickCount moves in ~16 ms steps under Wine,
# so a download shorter than one step would show "inf", but every image
# here takes well over a second to send.
TIMING = re.compile(
    r"Download time: (\d+\.\d) s \((\d+) Bytes/s\)\n"
    r"Manifest time: (\d+\.\d) s\n"
    r"Total time: (\d+\.\d) s\n"
)
TIMING_SHAPE = "Download time: <s> s (<rate> Bytes/s)\nManifest time: <s> s\nTotal time: <s> s\n"


def text_mode(raw: bytes) -> str:
    """Folds the CR LF that a Windows program's text-mode stdout writes for
    each LF. Only that one CR goes: a system message's own CR LF, printed
    in text mode, arrives as CR CR LF and keeps its CR."""
    bare_lf = re.search(rb"(?<!\r)\n", raw)
    if bare_lf:
        raise AssertionError(f"LF without CR at byte {bare_lf.start()}: stdout not in text mode")
    return raw.replace(b"\r\n", b"\n").decode("latin-1")


@dataclasses.dataclass
class Timing:
    download: float
    rate: int
    manifest: float
    total: float


def fold_timing(out: str):
    """Replaces the timing report's numbers by placeholders."""
    m = TIMING.search(out)
    if not m:
        return out, None
    t = Timing(float(m[1]), int(m[2]), float(m[3]), float(m[4]))
    return out[: m.start()] + TIMING_SHAPE + out[m.end() :], t


def check_timing(t: Timing, wall_s: float, min_download_s: float = 0.0):
    # Each figure is a difference of GetTickCount stamps (16 ms steps under
    # Wine) rounded to 0.1 s, so download + manifest meets total within the
    # rounding of the three.
    if abs(t.download + t.manifest - t.total) > 0.15 + 1e-9:
        raise AssertionError(f"download {t.download} + manifest {t.manifest} != total {t.total}")
    if t.total > wall_s + 0.05:
        raise AssertionError(f"total time {t.total} s longer than the whole run ({wall_s:.2f} s)")
    if t.download < min_download_s:
        raise AssertionError(
            f"download time {t.download} s, yet the device asked for "
            f"{min_download_s:.2f} s of sleeps"
        )


def diff(expected: str, actual: str) -> str:
    import difflib

    lines = difflib.unified_diff(
        expected.splitlines(keepends=True), actual.splitlines(keepends=True), "expected", "actual"
    )
    return "".join(repr(l)[1:-1] + "\n" for l in lines)


# ---------------------------------------------------------------------------
# The system's own message texts, as FormatMessageA gives them


def system_messages(wine: WinePrefix, work: str) -> dict:
    source = os.path.join(HERE, "system_messages.c")
    exe = os.path.join(work, "system_messages.exe")
    compiler = ["x86_64-w64-mingw32-gcc-posix", "-O2", "-static"]
    subprocess.run(compiler + [source, "-o", exe], check=True)
    out = subprocess.run(["wine", exe], env=wine.env, capture_output=True, check=True).stdout
    texts = {}
    for line in out.decode().split():
        code, text = line.split(":")
        texts[bytes.fromhex(text).decode("latin-1")] = int(code)
    return texts


# ---------------------------------------------------------------------------
# Running a case


@dataclasses.dataclass
class Case:
    name: str
    # Arguments as typed; "{port}" is the case's port name with its \\.\ prefix.
    args: List[str]
    status: int
    # Exact standard output after text-mode folding, "{port}" substituted.
    # "<system text>" stands for one of the system's own message texts, the
    # timing report's numbers are checked by pattern (TIMING_SHAPE).
    expected: str
    # What stands behind the port name: "quiet" (a pty nobody answers on),
    # "device" (tarnsim), "absent" (no link at all), "file" (a regular
    # file), "gone" (a link to a pty that no longer exists), "rfc2217" or
    # "socket" (tarnsim behind a ser2net on 127.0.0.1; the port name is the
    # URL, and no link is made).
    port: str = "quiet"
    device: List[str] = dataclasses.field(default_factory=list)
    # The device must hold exactly the firmware file's image afterwards.
    image: bool = False
    # Things the run must never open: "port", "firmware.dfu".
    untouched: List[str] = dataclasses.field(default_factory=list)
    # Nothing may be written on the quiet port.
    no_traffic: bool = False
    # The device asked for at least this much sleeping during the download.
    min_download_s: float = 0.0
    # Runs while tarnload.exe does: (device, stdout path, process) -> None.
    during: Optional[Callable] = None
    skip: Optional[str] = None
    # A check of its own instead of a tarnload.exe run: (context) -> note.
    custom: Optional[Callable] = None
    # Spends its time waiting out time-outs: runs alongside the other cases.
    background: bool = False
    # Run with TARNLOAD_TRACE set: the output must not change, and the trace
    # must hold whole lines from the first to the exit status.
    trace: bool = False
    # Run with TARNLOAD_REPORT set: the output must not change, and the
    # report must be one line valid against the schema, with the file's
    # SHA-256 (from Windows' provider), these `blocks` and some frames
    # damaged and sent again.
    report_blocks: Optional[int] = None


# Port names Wine maps to the machine's own serial ports; never passed.
SYSTEM_PORT = re.compile(r"^(\\\\[.?]\\)?(com|lpt)\d+:?$", re.IGNORECASE)


@dataclasses.dataclass
class Context:
    wine: WinePrefix
    exe: str
    sim: str
    work: str
    messages: dict
    # The ser2net harness as a command (tests/support/ser2net_serve), or None.
    serve: Optional[str] = None


def run_case(case: Case, number: int, ctx: Context) -> str:
    """Runs one case; raises AssertionError on a mismatch. Returns a note
    for the log ("" when there is none)."""
    if case.custom:
        return case.custom(ctx)
    name = f"TARNWINE{number}"
    case_dir = os.path.join(ctx.work, f"case{number}")
    os.makedirs(case_dir, exist_ok=True)
    image_out = os.path.join(case_dir, "received.bin")
    quiet = device = serve = None
    typed = "\\\\.\\" + name
    ctx.wine.unlink(name)
    if case.port == "quiet":
        quiet = QuietPort()
        ctx.wine.link(name, quiet.slave)
    elif case.port == "device":
        device = Device(ctx.sim, case.device, image_out, os.path.join(case_dir, "tarnsim.log"))
        ctx.wine.link(name, device.slave)
    elif case.port == "file":
        write_bytes(os.path.join(case_dir, "not_a_port"), b"")
        ctx.wine.link(name, os.path.join(case_dir, "not_a_port"))
    elif case.port in ("rfc2217", "socket"):
        device = Device(ctx.sim, case.device, image_out, os.path.join(case_dir, "tarnsim.log"))
        # The server goes when its standard input closes, before the device does.
        serve = subprocess.Popen([ctx.serve, device.slave], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE)
        ready, _, _ = select.select([serve.stdout], [], [], 10)
        ports = serve.stdout.readline().decode().split() if ready else []
        if len(ports) != 2:
            serve.stdin.close()
            serve.wait()
            device.stop()
            raise RuntimeError("ser2net did not come up")
        port = ports[0] if case.port == "socket" else ports[1]
        typed = f"{case.port}://127.0.0.1:{port}"
    elif case.port == "gone":
        gone = QuietPort()
        ctx.wine.link(name, gone.slave)
        gone.close()

    watches = {}
    for what in case.untouched:
        path = (quiet or device).slave if what == "port" else os.path.join(ctx.work, what)
        watches[what] = OpenWatch(path)

    args = [a.replace("{port}", typed) for a in case.args]
    for a in args:
        if SYSTEM_PORT.match(a):
            raise SystemExit(f"refusing to pass {a} to tarnload.exe: a real port of this machine")
    ctx.wine.check_no_system_ports()

    stdout_path = os.path.join(case_dir, "stdout")
    stderr_path = os.path.join(case_dir, "stderr")
    env = dict(ctx.wine.env)
    trace_name = f"trace{number}.log"
    if case.trace:
        # Relative to the run's directory: a plain Windows path.
        env["TARNLOAD_TRACE"] = trace_name
    report_name = f"report{number}.jsonl"
    if case.report_blocks is not None:
        env["TARNLOAD_REPORT"] = report_name
    start = time.monotonic()
    try:
        with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
            proc = subprocess.Popen(
                ["wine", ctx.exe, *args], cwd=ctx.work, env=env, stdout=out, stderr=err
            )
            try:
                if case.during:
                    case.during(device, stdout_path, proc)
                # The exit is what counts: with a cold wineserver the output
                # can stay open for a while after the program has ended.
                status = proc.wait(RUN_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                raise AssertionError(f"still running after {RUN_TIMEOUT_S} s")
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
        wall = time.monotonic() - start
        traffic = quiet.traffic() if quiet else b""
        opened = [what for what, w in watches.items() if w.opened()]
    finally:
        if serve:
            serve.stdin.close()
            serve.wait()
        if device:
            device.stop()
        if quiet:
            quiet.close()
        ctx.wine.unlink(name)
        for w in watches.values():
            w.close()

    out, timing = fold_timing(text_mode(open(stdout_path, "rb").read()))
    note = ""
    lost = "Serial port lost: "
    if lost in out:
        head, rest = out.split(lost, 1)
        text, rest = rest.split("\n", 1)
        if text + "\r\n" not in ctx.messages:
            raise AssertionError(f"port lost reason {text!r} is not one of the system's messages")
        out = head + lost + "<system text>\n" + rest
    marker = "Last windows error: "
    if marker in out:
        head, text = out.split(marker, 1)
        if text not in ctx.messages:
            raise AssertionError(f"last error text {text!r} is not one of the system's messages")
        note = f"last error {ctx.messages[text]}: {text.strip()}"
        out = head + marker + "<system text>\n"
    expected = case.expected.replace("{port}", typed)
    if out != expected:
        raise AssertionError("standard output differs:\n" + diff(expected, out))
    if status != case.status:
        raise AssertionError(f"exit status {status}, expected {case.status}")
    err = open(stderr_path, "rb").read()
    if err:
        raise AssertionError(f"standard error is not empty: {err[:200]!r}")
    if timing:
        check_timing(timing, wall, case.min_download_s)
    if case.trace:
        check_trace(os.path.join(ctx.work, trace_name), status)
    if case.report_blocks is not None:
        check_report(os.path.join(ctx.work, report_name), status, case.report_blocks,
                     os.path.join(ctx.work, case.args[1]))
    if opened:
        raise AssertionError(f"opened, but must not have been: {', '.join(opened)}")
    if case.no_traffic and traffic:
        raise AssertionError(f"{len(traffic)} bytes were sent on the port")
    if case.image:
        want = image_of(os.path.join(ctx.work, "firmware.dfu"))
        got = open(image_out, "rb").read() if os.path.exists(image_out) else b""
        if got != want:
            differing = (i for i, (a, b) in enumerate(zip(got, want)) if a != b)
            first = next(differing, min(len(got), len(want)))
            raise AssertionError(
                f"device received {len(got)} bytes, expected {len(want)}; "
                f"first difference at {first}"
            )
    return note


TRACE_LINE = re.compile(r" *[0-9]+\.[0-9]{6} (H>D|D>H|link|dfu |con |port|net |os  |run ) .+")


def check_trace(path: str, status: int):
    text = open(path, "rb").read().decode() if os.path.exists(path) else ""
    if not text.endswith("\n"):
        raise AssertionError(f"trace missing or cut: {text[-200:]!r}")
    lines = text.splitlines()
    bad = [line for line in lines if not TRACE_LINE.fullmatch(line)]
    if bad:
        raise AssertionError(f"trace lines out of shape: {bad[:3]!r}")
    if "run  tarnload " not in lines[0] or "Windows" not in lines[0]:
        raise AssertionError(f"first trace line: {lines[0]!r}")
    if not lines[-1].endswith(f"run  exit status {status}"):
        raise AssertionError(f"last trace line: {lines[-1]!r}")
    for want in ("H>D  rel seq", ": GETSTATUS", "D>H  rel seq", "port ", "con  Download failed"):
        if want not in text:
            raise AssertionError(f"no {want!r} in the trace")


def check_report(path: str, status: int, blocks: int, firmware: str):
    lines = open(path, "rb").read().splitlines() if os.path.exists(path) else []
    if len(lines) != 1:
        raise AssertionError(f"{len(lines)} report lines")
    r = json.loads(lines[0])
    try:
        import jsonschema

        schema = os.path.join(HERE, "..", "..", "report", "report.schema.json")
        jsonschema.validate(r, json.load(open(schema)))
    except ImportError:
        pass
    sha256 = hashlib.sha256(open(firmware, "rb").read()).hexdigest()
    want = {"result": "ok" if status == 0 else "failed", "exit_status": status, "blocks": blocks}
    got = {k: r[k] for k in want}
    if got != want or r["file"]["sha256"] != sha256 or "Windows" not in r["platform"]:
        raise AssertionError(f"report: {r}")
    if r["frame_errors"] < 1 or r["resent"] < 1:
        raise AssertionError(f"report counts no damaged or resent frame: {r}")


# ---------------------------------------------------------------------------
# The cases


def cannot_open(port: str, reason: str) -> Case:
    return Case(
        f"port cannot be opened: {port}",
        ["{port}", "firmware.dfu"],
        1,
        f"Serial port: {reason}\n" 'Cannot open com port "{port}"\n',
        port=port,
        untouched=["firmware.dfu"],
    )


def invalid_file(path: str, reason: str) -> Case:
    return Case(
        f"invalid firmware file: {path}",
        ["{port}", path],
        1,
        f"Firmware file: {reason}\n{path} is not a valid DFU file\n",
        no_traffic=True,
    )


def not_a_port(name: str) -> Case:
    """The console and the null device open like files, and some answer the
    comm calls: refused by name, the run writes nowhere."""
    return Case(
        f"console or null device is no port: {name}",
        [name, "firmware.dfu"],
        1,
        f'Serial port: not a serial port\nCannot open com port "{name}"\n',
        untouched=["firmware.dfu"],
    )


# Names outside any ANSI code page: Cyrillic, Chinese and an emoji.
UNICODE_SHORT = "固件 прошивка.dfu"
UNICODE_GOOD = "прошивка 🙂.dfu"


def shown(text: str) -> str:
    """How the run's UTF-8 output of `text` reads after text_mode's latin-1."""
    return text.encode("utf-8").decode("latin-1")


# The device the update cases talk to: IDs and sizes apart from tarnsim's
# defaults, so that each printed value is known to come from the device.
VID, APP_PID, DFU_PID = 0x5A17, 0x0A01, 0x0D01
DEVICE = [
    "--vid", hex(VID), "--app-pid", hex(APP_PID), "--dfu-pid", hex(DFU_PID),
    "--detach-timeout", "750", "--transfer-size", "230", "--attributes", "0x000D",
]  # fmt: skip

FILE_LINES = (
    f"DFU file: {FIRMWARE_DESCRIPTION}\n"
    f"DFU file VID: 0x{FIRMWARE_VID:04X}, PID: 0x{FIRMWARE_PID:04X}\n"
)


def connect_lines(pid: int) -> str:
    return (
        "BCSP communication established\n"
        f"VID: 0x{VID:04X}, PID: 0x{pid:04X}\n"
        "Max detach timeout 750 ms\n"
        "MTU 230 bytes\n"
    )


DETACH_LINES = (
    "Device in App mode - executing detach\n"
    "BCSP communication re-established\n"
    f"VID: 0x{VID:04X}, PID: 0x{DFU_PID:04X}\n"
    "DFU capabilities: WillDetach ManifestTollerant Download \n"
    "MTU 230 bytes\n"
    "Device in DFU mode\n"
)
# 57 blocks: the 50th ends its line with the bytes sent so far.
BLOCKS, FULL_LINE = 57, 50
FINISH_LINES = (
    "Manifest\n"
    "Manifest complete, resetting device\n"
    + TIMING_SHAPE
    + "Operation complete, the new application should now be running\n"
)
# What an update from application mode prints when nothing goes wrong.
CLEAN_UPDATE_LINES = (
    FILE_LINES
    + connect_lines(APP_PID)
    + DETACH_LINES
    + "Downloading\n"
    + "." * FULL_LINE + "11500\n"
    + "." * (BLOCKS - FULL_LINE) + "done\n"
    + FINISH_LINES
)
BUSY = "Device BUSY, sleeping 10\n"
# Far more than a reply takes to cross the pty, far less than the 5000-tick
# wait of the request that follows it.
REPLY_GRACE_S = 1.0
CRC_ERROR = "\n######################## CRC Error\n"


def kill_when_restarting(device: Device, stdout_path: str, proc: subprocess.Popen):
    """Pulls the device off the line for good while it is quiet for its
    restart: the port's far end closes, so every later write fails. The
    device logs the restart before its last reply has left, so the reply
    gets a moment to reach the program first."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and proc.poll() is None:
        if b"restarting" in open(device.log.name, "rb").read():
            time.sleep(REPLY_GRACE_S)
            device.kill()
            return
        time.sleep(0.01)
    raise AssertionError("the device never restarted")


def line_settings(ctx: Context) -> str:
    """Builds the device-control block check against the Windows build's
    own serial library and runs it."""
    build = os.path.dirname(ctx.exe)
    exe = os.path.join(ctx.work, "line_settings_test.exe")
    compiler = ["x86_64-w64-mingw32-g++-posix", "-std=c++20", "-O2", "-static"]
    compiler += ["-Wall", "-Wextra", "-Wpedantic", "-Werror"]
    compiler += ["-I", os.path.join(HERE, "..", "..", "serial")]
    compiler += [os.path.join(HERE, "line_settings_test.cpp"), "-o", exe]
    for lib in ("serial/tarn_serial", "usbport/tarn_usbport", "report/tarn_report",
                "trace/tarn_trace", "platform/tarn_platform", "base/tarn_base", "wire/tarn_wire"):
        folder, name = lib.split("/")
        compiler.append(os.path.join(build, folder, f"lib{name}.a"))
    # The serial library holds the network port too, the port listing asks
    # SetupAPI, and the platform library's clock asks for a 1 ms timer (as
    # their CMake targets say).
    compiler += ["-lws2_32", "-lsetupapi", "-lcfgmgr32", "-lwinmm"]
    made = subprocess.run(compiler, capture_output=True, text=True)
    if made.returncode != 0:
        raise AssertionError("line_settings_test.exe does not build:\n" + made.stderr)
    run = subprocess.run(["wine", exe], env=ctx.wine.env, capture_output=True, timeout=60)
    if run.returncode != 0:
        raise AssertionError(f"status {run.returncode}:\n{text_mode(run.stdout)}")
    return ""


def usb_names_without_usb(ctx: Context) -> str:
    """Wine has no USB serial port: tarnload-ports lists none, as text and
    as JSON, and a usb: name is refused before anything is opened."""
    ports = os.path.join(os.path.dirname(ctx.exe), "usbport", "tarnload-ports.exe")
    expected = [([ports], ""), ([ports, "--json"], "[]\n"),
                ([ctx.exe, "usb:serial=NOSUCH", "firmware.dfu"],
                 'Serial port: no USB serial port matches usb:serial=NOSUCH (none present)\n'
                 'Cannot open com port "usb:serial=NOSUCH"\n')]  # fmt: skip
    for command, out in expected:
        run = subprocess.run(["wine"] + command, env=ctx.wine.env, cwd=ctx.work,
                             capture_output=True, timeout=RUN_TIMEOUT_S)  # fmt: skip
        status = 1 if command[0] == ctx.exe else 0
        if run.returncode != status or text_mode(run.stdout) != out:
            raise AssertionError(f"{command[1:]}: status {run.returncode}, output "
                                 f"{text_mode(run.stdout)!r}, expected {status}, {out!r}")  # fmt: skip
    return ""


def device_error(traced: bool) -> Case:
    """The device's own error leaves no Windows error behind: no report
    line. Traced, the run exercises the trace's file writes and clock on
    Windows, and shows nothing of it on standard output or error."""
    return Case(
        "failed download, device error" + (", traced" if traced else ""),
        ["{port}", "firmware.dfu"],
        1,
        FILE_LINES
        + connect_lines(DFU_PID)
        + "Device in DFU mode\n"
        + "Downloading\n"
        + "....\nDevice reports error (3) during download - aborting\n"
        + "Download failed\n",
        port="device",
        device=DEVICE + ["--start", "dfu-idle", "--busy-answers", "0", "--error-at-block", "3"],
        trace=traced,
    )


CASES = [
    Case("line settings: the device-control block", [], 0, "", custom=line_settings),
    Case("usb: names with no USB port present", [], 0, "", custom=usb_names_without_usb),
    Case("usage: no arguments", [], 1, USAGE),
    Case("usage: port only", ["{port}"], 1, USAGE, untouched=["port"]),
    Case(
        "usage: three arguments",
        ["{port}", "firmware.dfu", "x"],
        1,
        USAGE,
        untouched=["port", "firmware.dfu"],
    ),
    cannot_open("absent", "no such device"),
    cannot_open("file", "not a serial port"),
    cannot_open("gone", "no such device"),
    Case(
        "port already in use",
        [],
        1,
        "",
        skip="under Wine a share mode of 0 does not make CreateFileW's open exclusive, so a "
        "second open of the same port succeeds there; only real Windows can show the refusal",
    ),
    invalid_file("missing.dfu", "cannot be opened (No such file or directory)"),
    invalid_file("short.dfu", "shorter than the 100-byte header"),
    invalid_file("beyond.dfu", f"ends before its 16-byte suffix (suffix offset {BEYOND_OFFSET})"),
    invalid_file("empty.dfu", "shorter than the 100-byte header"),
    not_a_port("CONOUT$"),
    not_a_port("CONIN$"),
    not_a_port("NUL"),
    not_a_port("\\\\.\\NUL"),
    # Opened and read (not "cannot be opened"), the name echoed as typed.
    Case(
        "firmware name in other scripts: refused for its content",
        ["{port}", UNICODE_SHORT],
        1,
        "Firmware file: shorter than the 100-byte header\n"
        f"{shown(UNICODE_SHORT)} is not a valid DFU file\n",
        no_traffic=True,
    ),
    Case(
        "firmware name in other scripts: update",
        ["{port}", UNICODE_GOOD],
        0,
        CLEAN_UPDATE_LINES,
        port="device",
        device=DEVICE + ["--busy-answers", "0"],
        image=True,
    ),
    Case(
        "update from application mode, will-detach, never busy",
        ["{port}", "firmware.dfu"],
        0,
        CLEAN_UPDATE_LINES,
        port="device",
        device=DEVICE + ["--busy-answers", "0"],
        image=True,
    ),
    Case(
        # Reply 30 is lost and reply 48 (the ready answer after block 9,
        # counting the lost one's resend) arrives damaged; the device
        # sends both again.
        "update with busy blocks and line faults",
        ["{port}", "firmware.dfu"],
        0,
        FILE_LINES
        + connect_lines(APP_PID)
        + DETACH_LINES
        + "Downloading\n"
        + ("." + BUSY * 2) * 10
        + CRC_ERROR
        + ("." + BUSY * 2) * (FULL_LINE - 11)
        + ".11500\n" + BUSY * 2
        + ("." + BUSY * 2) * (BLOCKS - FULL_LINE)
        + "done\n"
        + FINISH_LINES,
        port="device",
        device=DEVICE
        + ["--busy-answers", "2", "--busy-poll-ms", "10"]
        + ["--drop-reply", "30", "--corrupt-reply", "48", "--retransmit-ms", "1000"],
        image=True,
        # Two 10 ms sleeps per block, less the report's rounding.
        min_download_s=BLOCKS * 2 * 0.010 - 0.05,
        report_blocks=BLOCKS,
    ),
    device_error(traced=False),
    device_error(traced=True),
    Case(
        "failed download, the device vanishes",
        ["{port}", "alongside.dfu"],
        1,
        FILE_LINES
        + connect_lines(DFU_PID)
        + "Device in DFU mode\n"
        + "Downloading\n"
        + "....\n"
        + "Serial port lost: <system text>\n"
        + "Get status send packet failed\n"
        + "Download failed\n"
        + "Last windows error: <system text>\n",
        port="device",
        device=DEVICE
        + ["--start", "dfu-idle", "--busy-answers", "0"]
        + ["--restart-after-block", "3", "--restart-ms", "60000"],
        during=kill_when_restarting,
        background=True,
    ),
]


def network_update(kind: str) -> Case:
    return Case(
        f"update over {kind}:// through ser2net",
        ["{port}", "firmware.dfu"],
        0,
        CLEAN_UPDATE_LINES,
        port=kind,
        device=DEVICE + ["--busy-answers", "0"],
        image=True,
    )


CASES += [network_update("rfc2217"), network_update("socket")]


def report(case: Case, number: int, ctx: Context) -> bool:
    """Runs one case and prints its outcome; true when it passed."""
    started = time.monotonic()
    try:
        note = run_case(case, number, ctx)
    except (AssertionError, OSError, RuntimeError, subprocess.SubprocessError) as e:
        print(f"FAILED  {case.name} ({time.monotonic() - started:.1f} s): {e}", flush=True)
        return False
    note = f" [{note}]" if note else ""
    print(f"ok      {case.name} ({time.monotonic() - started:.1f} s){note}", flush=True)
    return True


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True, help="tarnload.exe (MinGW-w64 build)")
    parser.add_argument("--sim", required=True, help="tarnsim (Linux build)")
    parser.add_argument("--work", required=True, help="scratch folder (emptied)")
    parser.add_argument("--serve", help="tests/support/ser2net_serve (network cases)")
    parser.add_argument("-k", dest="only", help="run only cases whose name contains this")
    opts = parser.parse_args()
    # A CI time-out's SIGTERM still shuts the wineserver down.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    set_start = time.monotonic()
    work = os.path.abspath(opts.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    wine = WinePrefix(work)
    failed = 0
    try:
        boot_start = time.monotonic()
        wine.start()
        print(f"wine prefix ready in {time.monotonic() - boot_start:.1f} s", flush=True)
        ctx = Context(wine, os.path.abspath(opts.exe), os.path.abspath(opts.sim), work, {})
        if opts.serve and os.access(opts.serve, os.X_OK) and shutil.which("ser2net"):
            ctx.serve = os.path.abspath(opts.serve)
        ctx.messages = system_messages(wine, work)
        firmware_files(work)
        chosen = [(n, c) for n, c in enumerate(CASES, 1) if not opts.only or opts.only in c.name]
        for _, case in chosen:
            if case.port in ("rfc2217", "socket") and not ctx.serve:
                case.skip = "ser2net or tests/support/ser2net_serve is missing"
            if case.skip:
                print(f"skipped {case.name}: {case.skip}", flush=True)
        runnable = [(n, c) for n, c in chosen if not c.skip]
        with concurrent.futures.ThreadPoolExecutor() as pool:
            waiting = [pool.submit(report, c, n, ctx) for n, c in runnable if c.background]
            passed = [report(c, n, ctx) for n, c in runnable if not c.background]
            passed += [w.result() for w in waiting]
        failed = passed.count(False)
    finally:
        wine.stop()
    verdict = f"{failed} case(s) failed" if failed else "all cases passed"
    print(f"wine set: {verdict} in {time.monotonic() - set_start:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
