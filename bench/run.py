#!/usr/bin/python3
"""The installer's benchmarks, each against baselines measured in the same run, on the same Wine
prefix, display and loopback HTTPS server (one e2e harness Session):

1. package download time: MORVELTSetup.exe /i vs bench/plain_download.exe (only the download
   service, a counting callback; and once more with --marquee, the installer's bar animating in a
   window of its own meanwhile) vs curl natively, at 64 MiB (and 1 GiB unless --no-big);
2. CPU seconds per GiB of the downloading process (its Unix process, all threads), with the
   wineserver's and the test server's CPU over the same interval beside it;
3. invalidations and status-line paints during a download, from Wine's trace of the installer,
   against the bounds (main line once per whole percent, detail line once per 3 s);
4. process start to first paint of the installer vs bench/bare_window.exe (alone, and with the
   installer's child controls: --controls);
5. the executable's size and import list: the DLLs loaded at start and those loaded at first use,
   with what Wine loaded by the first paint.
Each of the targets (size <= 100 KB, first paint <= 1.2x, 1 GiB download <= 1.10x) is printed next
to its figure and once more at the end.

The package is a synthetic body of the chosen size (the server's repeating pattern): no file is
read on the server side and all three clients get the same bytes. The installer then tries to
run that body as the package, which fails at once, after the download has been measured.

Usage: bench/run.py [--no-big] [--reps N] [--big-reps N] [--start-reps N]   (root: network namespaces)
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

import net_support as net  # noqa: E402
from harness import Session, installer_path, tools_dir, wine_version  # noqa: E402

MIB = 1 << 20
GIB = 1 << 30
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
# Four /proc samples of 10 ms ticks go into the installer's extra CPU beyond its idle cost.
CPU_RESOLUTION = 4.0 / CLOCK_TICKS
PLAIN_TARGET = "C:\\bench\\plain.bin"
# The baselines run from the prefix's C: drive, as the installer does (C:\Downloads), so no
# program is loaded through the Unix-path drive.
BARE_EXE = "C:\\bench\\bare_window.exe"
PLAIN_EXE = "C:\\bench\\plain_download.exe"
# plain_download alone, and with the installer's marquee bar animating in a window of its own
# while it downloads: the platform's share of the window's cost.
PLAIN_CLIENTS = ("plain", "marquee")
# bare_window alone, and with the installer's child controls (the v6 common controls) in it.
BARE_CLIENTS = ("bare", "controls")
PAINT_TRACE = "+timestamp,trace+win"
# The first paint of a 500x330 window: the bare window, or the installer's main window (its
# children are smaller).
FIRST_LINE = re.compile(r"^(\d+\.\d+):[0-9a-f]+:trace:")
FIRST_PAINT = re.compile(r"^(\d+\.\d+):[0-9a-f]+:trace:win:NtUserBeginPaint hdc = \S+ box = \(\(0,0\)-\(500,330\)\)")
TITLE_BAND = (118, 136, 154)
# Wine's record of each DLL it maps: "<stamp>:<tid>:trace:loaddll:... Loaded L"<path>" at ...".
DLL_LOAD = re.compile(r"^(\d+\.\d+):[0-9a-f]+:trace:loaddll:\w+ Loaded L\"([^\"]+)\"", re.M)
# The targets, each printed next to its figure.
TARGET_SIZE = 100 * 1024
TARGET_FIRST_PAINT = 1.2
TARGET_BIG_DOWNLOAD = 1.10
# DLLs that come with every Windows.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "winhttp.dll", "urlmon.dll",
               "advapi32.dll", "shell32.dll", "shlwapi.dll", "ole32.dll", "oleaut32.dll", "rpcrt4.dll",
               "msvcrt.dll", "psapi.dll", "crypt32.dll", "version.dll", "ws2_32.dll", "wininet.dll"}

STATUS_BANDS = {(0, 98, 500, 183), (0, 58, 500, 143)}
DETAIL_BANDS = {(0, 133, 500, 193), (0, 93, 500, 153)}
STATUS_LINES = {(0, 133, 500, 163), (0, 133, 500, 123), (0, 113, 500, 143)}
WHOLE = (0, 0, 500, 330)


def cpu_seconds(pid):
    """user + sys of a process, all its threads, from /proc/<pid>/stat; None once it is gone."""
    try:
        data = Path("/proc/%d/stat" % pid).read_text()
    except OSError:
        return None
    fields = data[data.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def gui_subsystem(path):
    """Marks a console program's copy as a GUI program, as the installer is: Wine then starts no
    console host for it, which would put some 0.3 s into its start-up that the installer does not
    have. The subsystem field is the only difference linking with -mwindows makes to it."""
    data = bytearray(Path(path).read_bytes())
    pe = int.from_bytes(data[0x3C:0x40], "little")
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s is not a PE file" % path)
    field = pe + 24 + 68  # IMAGE_OPTIONAL_HEADER.Subsystem
    data[field:field + 2] = (2).to_bytes(2, "little")  # IMAGE_SUBSYSTEM_WINDOWS_GUI
    Path(path).write_bytes(data)


def load_average():
    return Path("/proc/loadavg").read_text().split()[:3]


class LogTail:
    """New records of the server's JSON-lines log since the last look."""

    def __init__(self, path):
        self.path = Path(path)
        self.offset = self.path.stat().st_size if self.path.exists() else 0
        self.partial = b""

    def new(self):
        if not self.path.exists():
            return []
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        self.offset += len(data)
        data = self.partial + data
        lines = data.split(b"\n")
        self.partial = lines.pop()
        return [json.loads(line) for line in lines if line.strip()]


class Bench:
    def __init__(self, s):
        self.s = s
        self.runs = 0
        self.tls_libraries = set()
        self.ca = s.base.trusted["ca_pem"]
        self.wineserver = s.wineserver.proc.pid
        self.server = s.server.pid
        folder = s.host_path("C:\\").joinpath("bench")
        folder.mkdir(exist_ok=True)
        for name in ("bare_window.exe", "plain_download.exe"):
            shutil.copy2(tools_dir() / name, folder / name)
        gui_subsystem(folder / "bare_window.exe")

    # -- one download ---------------------------------------------------------------------------

    def download(self, client, size, rate=None, trace=None, timeout=600):
        """One download of size bytes by client ("curl", "plain", "installer"); a fresh package
        name each time, so no cache answers. Returns the figures of that run."""
        s = self.s
        self.runs += 1
        name = "bench-%d-%s.exe" % (self.runs, client)
        entry = {"size": size}
        if rate:
            entry["rate"] = rate
        s.set_download(name, **entry)
        target = "/downloads_ls/" + name
        url = "https://127.0.0.1" + target
        tail = LogTail(s.dir / "requests.jsonl")
        env = {"WINEDEBUG": trace or "-all"}
        out = s.dir / ("bench-%d.out" % self.runs)
        app = None
        if client == "curl":
            with open(out, "w") as f:
                proc = subprocess.Popen(s.ns.cmd(["curl", "-sS", "--cacert", self.ca, "-o", s.dir / "curl.bin",
                                                  "-w", "%{size_download} %{time_total}\n", url]),
                                        env=s.env(), stdout=f, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            pid = proc.pid
        elif client in PLAIN_CLIENTS:
            proc, out = s.popen(plain_command(client, url), env=env, name=client)
            pid = proc.pid
        else:
            s.set_lookup(name.encode())
            app = s.start_installer("/i", env=env)
            proc, pid, out = app.popen, app.popen.pid, Path(app.stdout_path)

        r = {"client": client, "size": size, "rate": rate, "name": name}
        seq = None
        deadline = time.monotonic() + timeout

        def sample(key):
            r[key + "_cpu"] = cpu_seconds(pid)
            r[key + "_ws"] = cpu_seconds(self.wineserver)
            r[key + "_srv"] = cpu_seconds(self.server)

        # A paced server may still sleep off its pace after the last byte, so its "done" can come
        # after the client already has the file.
        while "file_t" not in r or "done_t" not in r or (client == "installer" and "final" not in r):
            if time.monotonic() > deadline:
                proc.kill()
                raise TimeoutError("%s did not finish %s in %d s: %s" % (client, name, timeout, r))
            for rec in tail.new():
                if rec["kind"] == "request" and rec["target"] == target:
                    seq, r["req_t"] = rec["seq"], rec["t"]
                    sample("req")
                    if client != "curl":
                        self._note_tls(pid)
                elif rec["kind"] == "done" and rec["seq"] == seq:
                    r["done_t"], r["sent"], r["how"] = rec["t"], rec["sent"], rec["how"]
                    sample("done")
                elif client == "installer" and rec["kind"] == "request" and "&type=" in rec["target"]:
                    kind = int(re.search(r"&type=(\d+)", rec["target"]).group(1))
                    if kind == 2 and "req_t" in r:
                        r["file_t"] = rec["t"]
                        sample("file")
                    elif kind in (3, 4) and "req_t" in r:
                        r["final"] = kind
            if client == "curl":
                done, status, usage = os.wait4(pid, os.WNOHANG)
                if done and "req_t" not in r:
                    raise RuntimeError("curl ended before its request: %s" % out.read_text(errors="replace"))
                if done:
                    r["file_t"] = time.time()
                    r["file_cpu"] = usage.ru_utime + usage.ru_stime
                    r["file_ws"], r["file_srv"] = cpu_seconds(self.wineserver), cpu_seconds(self.server)
                    proc.returncode = os.waitstatus_to_exitcode(status)
            elif client in PLAIN_CLIENTS and "file_t" not in r:
                text = out.read_text(errors="replace") if out.exists() else ""
                m = re.search(r"^\{.*\"returned_at\":[0-9.]+\}$", text, re.M)
                if m:
                    sample("file")
                    answer = json.loads(m.group(0))
                    r["file_t"], r["progress_calls"], r["result"] = (answer["returned_at"], answer["progress_calls"],
                                                                     answer["result"])
                    if not r.get("req_t"):
                        raise RuntimeError("plain_download ended without a request: %s" % text[-500:])
            elif proc.poll() is not None and "file_t" not in r:
                raise RuntimeError("%s ended before the download was in place: %s" % (
                    client, out.read_text(errors="replace")[-800:] if out.exists() else ""))
            time.sleep(0.01)
        if client == "curl":
            text = out.read_text().split()
            r["curl_bytes"] = int(text[0])
            if r["curl_bytes"] != size:
                raise RuntimeError("curl got %s of %d bytes" % (text, size))
        elif client in PLAIN_CLIENTS:
            proc.wait(30)
            if r["result"] != "0x00000000":
                raise RuntimeError("plain_download answered %s" % r["result"])
        else:
            app.kill()
        if r.get("sent") != size or r.get("how") != "complete":
            raise RuntimeError("%s: the server sent %s of %d bytes (%s)" % (client, r.get("sent"), size, r.get("how")))
        if client == "installer":
            r["trace_path"] = out
        self._clean()
        return r

    def _note_tls(self, pid):
        """The TLS libraries mapped into a Wine client while it downloads."""
        try:
            maps = Path("/proc/%d/maps" % pid).read_text()
        except OSError:
            return
        self.tls_libraries |= set(re.findall(r"/(lib(?:gnutls|ssl|crypto|nettle|gcrypt)[\w.-]*\.so[\w.]*)$", maps, re.M))

    def _clean(self):
        """Removes the downloaded copies (and Wine's cache copy of each): 1 GiB runs add up."""
        s = self.s
        for path in (s.dir / "curl.bin", s.host_path(PLAIN_TARGET), s.host_path(net.PACKAGE_PATH)):
            if path.exists():
                path.unlink()
        cache = s.host_path("C:\\users\\root\\AppData\\Local\\Microsoft\\Windows\\INetCache")
        if cache.exists():
            for f in cache.rglob("*"):
                if f.is_file() and f.stat().st_size > MIB:
                    f.unlink()

    def stalled_cpu(self, client, seconds=6.0):
        """CPU seconds per second of a client waiting on a download whose body never comes (the
        headers with the size have arrived): what the program costs while nothing is received."""
        s = self.s
        self.runs += 1
        name = "bench-%d-%s-stalled.exe" % (self.runs, client)
        s.set_download(name, size=8 * MIB, stall_after=0, stall_seconds=seconds + 30)
        tail = LogTail(s.dir / "requests.jsonl")
        if client in PLAIN_CLIENTS:
            proc, _ = s.popen(plain_command(client, "https://127.0.0.1/downloads_ls/" + name),
                              env={"WINEDEBUG": "-all"}, name=client)
        else:
            s.set_lookup(name.encode())
            proc = s.start_installer("/i", env={"WINEDEBUG": "-all"}).popen
        s.wait_for(lambda: any(r["kind"] == "request" and r["target"].endswith(name) for r in tail.new()), 60,
                   interval=0.05, what="the stalled download's request")
        time.sleep(1.0)  # the headers' progress calls and the first repaint are over
        a, wa = cpu_seconds(proc.pid), cpu_seconds(self.wineserver)
        time.sleep(seconds)
        z, wz = cpu_seconds(proc.pid), cpu_seconds(self.wineserver)
        proc.kill()
        proc.wait(10)
        self._clean()
        return {"cpu_per_s": (z - a) / seconds, "ws_per_s": (wz - wa) / seconds}

    # -- one first paint ------------------------------------------------------------------------

    def first_paint(self, client, shot=False):
        """Seconds from the process's start (host clock, just before it is spawned) to the trace
        stamp of its first 500x330 BeginPaint. Wine stamps traces with CLOCK_MONOTONIC_RAW."""
        s = self.s
        env = {"WINEDEBUG": PAINT_TRACE}
        t0 = time.clock_gettime(time.CLOCK_MONOTONIC_RAW)
        if client in BARE_CLIENTS:
            hold = "3000" if shot else "0"
            proc, out = s.popen(["wine", BARE_EXE, hold] + (["--controls"] if client == "controls" else []),
                                env=env, name=client)
            app = None
        else:
            app = s.start_installer(env=env)
            proc, out = app.popen, Path(app.stdout_path)
        deadline = time.monotonic() + 30
        stamp = None
        text = ""
        while stamp is None:
            ended = proc.poll() is not None  # before the read, so a trace written before the end is seen
            text = out.read_text(errors="replace") if out.exists() else ""
            for line in text.splitlines():
                m = FIRST_PAINT.match(line)
                if m:
                    stamp = float(m.group(1))
                    break
            if stamp is None and (ended or time.monotonic() > deadline):
                proc.kill()
                raise RuntimeError("%s: no first paint traced: %s" % (client, text[-500:]))
            time.sleep(0.01)
        first = FIRST_LINE.match(text)
        result = {"client": client, "first_paint_s": stamp - t0, "loader_s": float(first.group(1)) - t0}
        if client == "installer":
            # The face is painted by the time the first child (the button) begins its own paint.
            child = None
            while child is None and time.monotonic() < deadline:
                later = out.read_text(errors="replace").split("box = ((0,0)-(500,330))", 1)[1]
                m = re.search(r"^(\d+\.\d+):[0-9a-f]+:trace:win:NtUserBeginPaint ", later, re.M)
                child = float(m.group(1)) if m else None
                time.sleep(0.01)
            result["face_s"] = child - stamp if child is not None else None
        if shot:
            time.sleep(0.5)
            image = s.screenshot("first-paint-%s" % client, settle=True)
            result["shot"] = str(image.path)
            result["pixels_ok"] = self._painted(image, client)
        if client in BARE_CLIENTS:
            proc.wait(15)
            m = re.search(r"first_paint_ms=([0-9.]+)", out.read_text(errors="replace"))
            result["self_reported_s"] = float(m.group(1)) / 1000 if m else None
        else:
            app.kill()
        return result

    def dll_loads(self, settle=4.0):
        """The DLLs Wine loads into the installer (an extra, untimed start under +loaddll): those
        loaded by its first paint, and those loaded in the settle seconds after it (the start-up
        report, the session's UUID, COM)."""
        env = {"WINEDEBUG": PAINT_TRACE + ",+loaddll"}
        app = self.s.start_installer(env=env)
        out = Path(app.stdout_path)
        deadline = time.monotonic() + 30
        paint = None
        while paint is None and time.monotonic() < deadline:
            text = out.read_text(errors="replace") if out.exists() else ""
            m = re.compile(FIRST_PAINT.pattern, re.M).search(text)
            paint = float(m.group(1)) if m else None
            time.sleep(0.05)
        time.sleep(settle)
        text = out.read_text(errors="replace")
        app.kill()
        before, after = [], []
        for m in DLL_LOAD.finditer(text):
            name = m.group(2).rsplit("\\", 1)[-1].lower()
            (before if paint is None or float(m.group(1)) <= paint else after).append(name)
        return {"by_paint": before, "after_paint": after, "painted": paint is not None}

    @staticmethod
    def _painted(image, client):
        """Whether the window's own pixels are on the screen."""
        if client == "bare":
            # One rectangle with the default pen and brush at the screen origin.
            return image.pixel(0, 0) == (0, 0, 0) and image.count((1, 1, 499, 329), (255, 255, 255)) == 498 * 328
        if client == "controls":
            # The same rectangle, around and between the controls.
            return image.pixel(0, 0) == (0, 0, 0) and image.count((1, 1, 499, 329), (255, 255, 255)) > 498 * 328 // 2
        # The title band of the centred window.
        return image.count((0, 0, image.width, image.height), TITLE_BAND) > 400 * 20

    # -- one traced download --------------------------------------------------------------------

    def repaint_counts(self, size, rate):
        """A download by the installer under Wine's trace of windows, texts and the download
        service; what the worker invalidated and the window painted between the first sized
        progress call and the end of the binding."""
        r = self.download("installer", size, rate=rate, trace=net.TRACE_ALL)
        lines = Path(r["trace_path"]).read_text(errors="replace").splitlines()
        worker = None
        started = ended = False
        first_t = last_t = None
        c = {"progress": 0, "sized": 0, "status": [], "detail": [], "whole": 0, "other": 0, "status_draws": 0,
             "reads": [], "hwnds": set()}
        for line in lines:
            m = re.match(r"^(\d+\.\d+):([0-9a-f]+):trace:(\w+):(\w+) ?(.*)$", line)
            if not m:
                continue
            t, tid, fn, rest = float(m.group(1)), m.group(2), m.group(4), m.group(5)
            if fn == "URLDownloadToFileW" and worker is None:
                worker = tid
            if tid == worker and fn == "DownloadBSC_OnStopBinding":
                ended = True
            if ended or worker is None:
                continue
            if fn == "DownloadBSC_OnProgress":
                p = re.match(r"^\w+\)->\((\d+) (\d+) (\d+) ", rest)
                if p:
                    c["progress"] += 1
                    if int(p.group(2)):
                        c["sized"] += 1
                        started = True
                        first_t = first_t or t
                        last_t = t
            elif fn == "HttpProtocol_Read":
                p = re.match(r"^\(\w+\)->\(\w+ (\d+) ", rest)
                if p:
                    c["reads"].append(int(p.group(1)))
            if not started:
                continue
            if fn == "NtUserRedrawWindow" and tid == worker:
                w = re.match(r"^(0x[0-9a-f]+) rect \((-?\d+),(-?\d+)\)-\((-?\d+),(-?\d+)\)", rest)
                rect = tuple(int(v) for v in w.group(2, 3, 4, 5)) if w else None
                if rect in STATUS_BANDS:
                    c["status"].append(t)
                    c["hwnds"].add(w.group(1))
                elif rect in DETAIL_BANDS:
                    c["detail"].append(t)
                    c["hwnds"].add(w.group(1))
                elif rect == WHOLE:
                    c["whole"] += 1
                else:
                    c["other"] += 1
            elif fn == "DrawTextExW" and tid != worker:
                d = re.search(r", \[\((-?\d+),(-?\d+)\)-\((-?\d+),(-?\d+)\)\]", rest)
                if d and tuple(int(v) for v in d.group(1, 2, 3, 4)) in STATUS_LINES:
                    c["status_draws"] += 1
        c["seconds"] = (last_t - first_t) if first_t is not None else 0.0
        gaps = [b - a for a, b in zip(c["detail"], c["detail"][1:])]
        c["detail_min_gap"] = min(gaps) if gaps else None
        # Samples are 3 whole clock seconds apart, which is more than 2 s of real time.
        c["detail_bound"] = int(c["seconds"] // 2) + 1
        c["ok"] = (len(c["status"]) <= 101 and len(c["detail"]) <= c["detail_bound"] and
                   (c["detail_min_gap"] is None or c["detail_min_gap"] > 2.0))
        c["run"] = r
        return c


# ---- figures and printing ------------------------------------------------------------------------

def plain_command(client, url):
    return ["wine", PLAIN_EXE, url, PLAIN_TARGET] + (["--marquee"] if client == "marquee" else [])


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, spec="%.2f"):
    return "-" if value is None else spec % value


def ratio(a, b):
    return None if a is None or b in (None, 0) else a / b


def download_figures(runs):
    """Medians over the runs of one client: seconds to the last byte sent and to the file in
    place, MiB/s, and CPU seconds per GiB of the client, the wineserver and the server."""
    size = runs[0]["size"]
    gib = size / GIB

    def per(key_from, key_to, what):
        return median([(r[key_to + what] - r[key_from + what]) / gib for r in runs])

    return {
        "n": len(runs),
        "server_s": median([r["done_t"] - r["req_t"] for r in runs]),
        "file_s": median([r["file_t"] - r["req_t"] for r in runs]),
        "tail_s": median([r["file_t"] - r["done_t"] for r in runs]),
        "spread": (min(r["file_t"] - r["req_t"] for r in runs), max(r["file_t"] - r["req_t"] for r in runs)),
        "mib_s": median([size / MIB / (r["file_t"] - r["req_t"]) for r in runs]),
        "cpu_gib": per("req", "file", "_cpu"),
        "ws_gib": per("req", "file", "_ws"),
        "srv_gib": per("req", "file", "_srv"),
        "core": median([(r["file_cpu"] - r["req_cpu"]) / (r["file_t"] - r["req_t"]) for r in runs]),
        "ws_core": median([(r["file_ws"] - r["req_ws"]) / (r["file_t"] - r["req_t"]) for r in runs]),
        "srv_core": median([(r["file_srv"] - r["req_srv"]) / (r["file_t"] - r["req_t"]) for r in runs]),
        "calls": median([r.get("progress_calls") for r in runs]),
    }


def imports_of(path):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(path)], capture_output=True, text=True).stdout
    return re.findall(r"^\s*DLL Name: (\S+)", out, re.M)


def late_dlls(path, imports):
    """The DLLs the executable names besides its import table: those it loads at their first use,
    named in its delay-import descriptors (ASCII) and in the lists of base/delay_load.cpp and the
    entry point (UTF-16)."""
    data = Path(path).read_bytes()
    names = [raw.decode("utf-16-le") for raw in re.findall(rb"((?:[A-Za-z0-9_]\0){1,40}\.\0[dD]\0[lL]\0[lL]\0)", data)]
    names += [raw.decode() for raw in re.findall(rb"(?<=\0)([A-Za-z0-9_]{1,40}\.[dD][lL][lL])(?=\0)", data)]
    static = {d.lower() for d in imports}
    out = []
    for name in names:
        if name.lower() not in static and name not in out:
            out.append(name)
    return out


def verdict(value, limit):
    return "-" if value is None else ("met" if value <= limit else "NOT met")


def stripped(path):
    out = subprocess.run(["i686-w64-mingw32-objdump", "-t", str(path)], capture_output=True, text=True).stdout
    sections = subprocess.run(["i686-w64-mingw32-objdump", "-h", str(path)], capture_output=True, text=True).stdout
    return "no symbols" in out and ".debug" not in sections


def main():
    parser = argparse.ArgumentParser(description="installer benchmarks against same-run baselines")
    parser.add_argument("--no-big", action="store_true", help="skip the 1 GiB downloads")
    parser.add_argument("--reps", type=int, default=5, help="64 MiB downloads per client (default 5)")
    parser.add_argument("--big-reps", type=int, default=2, help="1 GiB downloads per client (default 2)")
    parser.add_argument("--start-reps", type=int, default=21, help="first-paint runs per program (default 21)")
    args = parser.parse_args()
    if os.geteuid() != 0:
        print("bench: needs root for its network namespace", file=sys.stderr)
        return 1

    began = time.monotonic()
    load_before = load_average()
    exe = installer_path()
    results = {}
    with Session("bench", server_timeout=3600) as s:
        b = Bench(s)
        # Warm-up: the prefix's services start with the first Wine program, and the TLS
        # libraries load with the first download; neither belongs to a measured run. The
        # installer loads DLLs the bare window does not (WinHTTP, COM, the v6 controls): it starts once too.
        b.download("plain", MIB)
        b.first_paint("bare")
        b.first_paint("controls")
        b.first_paint("installer")

        starters = ("bare", "controls", "installer")
        paints = {c: [] for c in starters}
        for i in range(args.start_reps):
            for client in starters[i % 3:] + starters[:i % 3]:
                paints[client].append(b.first_paint(client, shot=(i == 0)))
        results["paints"] = paints
        loads = b.dll_loads()

        clients = ("curl", "plain", "marquee", "installer")
        small = {c: [] for c in clients}
        orders = [clients[i:] + clients[:i] for i in range(len(clients))]
        for i in range(args.reps):
            for client in orders[i % len(orders)]:
                small[client].append(b.download(client, 64 * MIB))
        results["64"] = small

        throttle_size, throttle_rate = 8 * MIB, MIB
        throttled = {c: [b.download(c, throttle_size, rate=throttle_rate)] for c in ("plain", "installer")}
        results["throttled"] = throttled
        counts_slow = b.repaint_counts(throttle_size, throttle_rate)
        counts_fast = b.repaint_counts(64 * MIB, None)
        stalled = {c: b.stalled_cpu(c) for c in ("plain", "marquee", "installer")}

        big = None
        if not args.no_big:
            big = {c: [] for c in clients}
            for i in range(args.big_reps):
                for client in orders[i % len(orders)]:
                    big[client].append(b.download(client, GIB))
        results["1024"] = big
        b_tls = b.tls_libraries
    load_after = load_average()
    elapsed = time.monotonic() - began

    p = print
    p()
    p("MORVELT installer benchmarks  (%s, %d cores, load average %s before, %s after; %.0f s in all)" % (
        wine_version(), os.cpu_count(), "/".join(load_before), "/".join(load_after), elapsed))
    p("One harness session: one prefix, one Xvfb, the loopback HTTPS test server; the package is a synthetic")
    p("body of the given size. Times are medians over the runs shown; the machine is shared with other Wine")
    p("runs, so wall times are noisy (the spread column gives min-max); CPU seconds and counts depend on load less.")

    # 1 and 2: downloads.
    for label, group in (("64 MiB", results["64"]), ("1 GiB", results["1024"])):
        if not group:
            continue
        figs = {c: download_figures(runs) for c, runs in group.items()}
        p()
        p("1/2. Package download, %s (server: request arrival to last byte sent; file: request arrival to file in place)" % label)
        p("%-20s %3s %9s %8s %15s %7s %9s %9s %11s %10s %9s" % (
            "client", "n", "server s", "file s", "spread s", "MiB/s", "file/plain", "file/curl", "CPU s/GiB",
            "CPU/plain", "wsrv s/GiB"))
        p("   (CPU: the client's Unix process, all its threads; wsrv: the prefix's wineserver; both over the same")
        p("   interval as the file time, from /proc/<pid>/stat, curl's from its rusage at exit)")
        for c, title in (("curl", "curl (native)"), ("plain", "plain_download.exe"), ("marquee", "plain_dl --marquee"),
                         ("installer", "MORVELTSetup.exe /i")):
            f = figs[c]
            p("%-20s %3d %9s %8s %15s %7s %10s %9s %11s %10s %9s" % (
                title, f["n"], fmt(f["server_s"]), fmt(f["file_s"]), "%.2f-%.2f" % f["spread"], fmt(f["mib_s"], "%.0f"),
                fmt(ratio(f["file_s"], figs["plain"]["file_s"]), "%.2fx"),
                fmt(ratio(f["file_s"], figs["curl"]["file_s"]), "%.2fx"), fmt(f["cpu_gib"]),
                fmt(ratio(f["cpu_gib"], figs["plain"]["cpu_gib"]), "%.2fx"), fmt(f["ws_gib"])))
        fp, fi, fc = figs["plain"], figs["installer"], figs["curl"]
        p("   busy over the transfer, in % of one core (client / wineserver / test server):")
        for c, title in (("curl", "curl"), ("plain", "plain_download"), ("marquee", "  --marquee"),
                         ("installer", "installer")):
            f = figs[c]
            p("     %-15s %4.0f%% / %3.0f%% / %3.0f%%" % (title, 100 * f["core"], 100 * f["ws_core"], 100 * f["srv_core"]))
        if max(fc["core"], fc["srv_core"]) < 0.9:
            p("   limits: curl: scheduling on 2 shared cores: neither curl nor the Python test server fills a core;")
        else:
            p("   limits: curl: the %s, which fills a core;" % ("test server" if fc["srv_core"] >= fc["core"] else "client"))
        p("     by its CPU per GiB the server alone could send ~%.0f MiB/s on a free core." %
          (1024 / fc["srv_gib"] if fc["srv_gib"] else 0))
        p("     plain and installer: Wine's download service and its TLS in the client process (the core share")
        p("     above; mapped while downloading: %s)," % (", ".join(sorted(b_tls)) or "no TLS library seen"))
        p("     socket calls through the wineserver (%.2f s/GiB), and the copy from Wine's INetCache to the target"
          % fp["ws_gib"])
        p("     after the last byte: %.2f s (plain), %.2f s (installer). The installer's" % (fp["tail_s"], fi["tail_s"]))
        p("     file time ends at its DownloadFinished report, so it also holds the layout collapse and that report's")
        p("     TLS exchange; its CPU includes them. Load from other helpers' Wine runs moves all wall times.")
        if fp.get("calls"):
            p("     plain_download's callback was called %d times per download." % fp["calls"])
        idle_gib = stalled["installer"]["cpu_per_s"] * fi["file_s"] / (group["installer"][0]["size"] / GIB)
        p("   the installer's window costs %.3f CPU s/s while it waits (2b below): %.2f s/GiB over this file time;" % (
            stalled["installer"]["cpu_per_s"], idle_gib))
        p("     without it the installer's CPU is %.2f s/GiB, %.2fx plain_download." % (
            fi["cpu_gib"] - idle_gib, ratio(fi["cpu_gib"] - idle_gib, fp["cpu_gib"])))
        fm = figs["marquee"]
        p("   the platform's marquee alone (plain_download --marquee: the installer's bar, nothing else, in a window")
        p("     of its size) costs %.3f CPU s/s while it waits and makes the download %.2fx plain_download; the" % (
            stalled["marquee"]["cpu_per_s"], ratio(fm["file_s"], fp["file_s"])))
        p("     installer against it: %.2fx file time, %.2fx CPU per GiB (what the installer adds beyond the animation)."
          % (ratio(fi["file_s"], fm["file_s"]), ratio(fi["cpu_gib"], fm["cpu_gib"])))
        if label == "1 GiB":
            big_ratio = ratio(fi["file_s"], fp["file_s"])
            p("   TARGET 1 GiB download <= %.2fx plain_download: %.2fx, %s (server side %.2fx)" % (
                TARGET_BIG_DOWNLOAD, big_ratio, verdict(big_ratio, TARGET_BIG_DOWNLOAD),
                ratio(fi["server_s"], fp["server_s"])))
            own = ratio(fi["file_s"], fm["file_s"])
            p("     beyond the platform's marquee: %.2fx plain_download --marquee, %s" % (
                own, verdict(own, TARGET_BIG_DOWNLOAD)))

    # 2b: CPU at a throttled rate, where the service calls back per chunk.
    tp, ti = download_figures(results["throttled"]["plain"]), download_figures(results["throttled"]["installer"])
    p()
    p("2b. CPU while the service calls back per chunk: %d MiB at %d KiB/s (one run each, untraced)" % (
        throttle_size // MIB, throttle_rate // 1024))
    share = throttle_size / GIB
    p("%-20s %8s %8s %10s %15s" % ("client", "file s", "CPU s", "CPU/plain", "wineserver s"))
    for title, f in (("plain_download.exe", tp), ("MORVELTSetup.exe /i", ti)):
        p("%-20s %8s %8s %10s %15s" % (title, fmt(f["file_s"]), fmt(f["cpu_gib"] * share),
                                        fmt(ratio(f["cpu_gib"], tp["cpu_gib"]), "%.2fx"), fmt(f["ws_gib"] * share)))
    extra = (ti["cpu_gib"] - tp["cpu_gib"]) * share
    duration = ti["file_s"]
    idle = (stalled["installer"]["cpu_per_s"] - stalled["plain"]["cpu_per_s"]) * duration
    p("   the installer's extra CPU over this download: %.2f s in %.1f s, %d progress calls (traced run below)." % (
        extra, duration, counts_slow["sized"]))
    p("   waiting on a stalled download (size known, no bytes; marquee running): installer %.3f CPU s/s," % (
        stalled["installer"]["cpu_per_s"]))
    p("   plain_download %.3f CPU s/s (wineserver %.3f and %.3f s/s): %.2f s of the extra is the window's idle" % (
        stalled["plain"]["cpu_per_s"], stalled["installer"]["ws_per_s"], stalled["plain"]["ws_per_s"], idle))
    rest = extra - idle
    if rest < -CPU_RESOLUTION:
        p("   cost over %.1f s, more than the whole extra (%.2f s): the two runs saw different load, so the cost"
          % (duration, rest))
        p("   per progress call cannot be separated in this run.")
    elif abs(rest) < CPU_RESOLUTION:
        p("   cost over %.1f s; the rest, %.2f s, is within the resolution (+-%.2f s): under %.2f ms per progress call"
          % (duration, rest, CPU_RESOLUTION, 1000 * CPU_RESOLUTION / max(1, counts_slow["sized"])))
    else:
        p("   cost over %.1f s; the rest, %.2f s, is about %.2f ms per progress call for texts, invalidations and paints."
          % (duration, rest, 1000 * rest / max(1, counts_slow["sized"])))
    p("   limits: 10 ms CPU ticks of /proc/<pid>/stat; one run each; the marquee animation is the control's own.")

    # 3: invalidations.
    p()
    p("3. Invalidations by the download worker between the first sized progress call and the end of the binding")
    p("   (Wine trace +win,+text,+urlmon; traced runs, not timed)")
    p("%-26s %7s %9s %12s %7s %12s %6s %10s %7s %7s" % ("run", "seconds", "progress", "status band", "bound",
                                                        "detail band", "bound", "min gap s", "paints", "within"))
    for title, c in (("%d MiB at %d KiB/s" % (throttle_size // MIB, throttle_rate // 1024), counts_slow),
                     ("64 MiB at full speed", counts_fast)):
        p("%-26s %7.1f %9d %12d %7s %12d %6s %10s %7d %7s" % (
            title, c["seconds"], c["sized"], len(c["status"]), "<= 101", len(c["detail"]), "<= %d" % c["detail_bound"],
            fmt(c["detail_min_gap"]) + (" > 2" if c["detail_min_gap"] is not None else ""), c["status_draws"],
            "yes" if c["ok"] else "NO"))
        if c["whole"] or c["other"]:
            p("   %s: also %d whole-window invalidation(s) (the expansion after 5 s), %d other" % (title, c["whole"],
                                                                                                 c["other"]))
        if len(c["hwnds"]) > 1:
            p("   %s: band invalidations went to %d windows: %s" % (title, len(c["hwnds"]), sorted(c["hwnds"])))
    reads = counts_slow["reads"]
    p("   progress = sized calls of the download service; the detail line's samples lie 3 whole clock seconds apart,")
    p("   which is more than 2 s of real time, hence its bound; paints = status-line DrawTextExW calls of the UI")
    p("   thread in the same interval (WM_PAINT-driven; the expansion's whole-window repaint adds to them).")
    p("   limits: the bound is the rule itself (one per whole percent, detail once per 3 whole seconds); how often")
    p("   the service calls back depends on how the bytes arrive: %s-byte reads per HttpProtocol_Read, and on a"
      % ("/".join(str(v) for v in sorted(set(reads))) if reads else "?"))
    p("   fast loopback it calls only a handful of times.")

    # 4: first paint.
    pb = [r["first_paint_s"] for r in results["paints"]["bare"]]
    pi = [r["first_paint_s"] for r in results["paints"]["installer"]]
    p()
    p("4. Process start to first paint (host CLOCK_MONOTONIC_RAW before the spawn, to Wine's trace stamp of the first")
    p("   BeginPaint of the 500x330 window; WINEDEBUG=%s for both)" % PAINT_TRACE)
    p("%-20s %3s %9s %15s %8s %13s %13s %8s" % ("program", "n", "median s", "spread s", "ratio", "Wine start s",
                                                 "own part s", "pixels"))
    pc = [r["first_paint_s"] for r in results["paints"]["controls"]]
    for title, values, runs in (("bare_window.exe", pb, results["paints"]["bare"]),
                                ("  --controls", pc, results["paints"]["controls"]),
                                ("MORVELTSetup.exe", pi, results["paints"]["installer"])):
        shot = [r for r in runs if "pixels_ok" in r][0]
        p("%-20s %3d %9.3f %15s %8s %13.3f %13.3f %8s" % (
            title, len(values), median(values), "%.3f-%.3f" % (min(values), max(values)),
            fmt(ratio(median(values), median(pb)), "%.2fx"), median([r["loader_s"] for r in runs]),
            median([r["first_paint_s"] - r["loader_s"] for r in runs]), "yes" if shot["pixels_ok"] else "NO"))
    paint_ratio = ratio(median(pi), median(pb))
    p("   TARGET first paint <= %.2fx bare_window: %.2fx, %s" % (TARGET_FIRST_PAINT, paint_ratio,
                                                                 verdict(paint_ratio, TARGET_FIRST_PAINT)))
    controls_ratio = ratio(median(pi), median(pc))
    p("     against bare_window --controls (the installer's five child controls, v6 common controls, nothing else):")
    p("     %.2fx; the controls alone make a bare window %.2fx." % (controls_ratio, ratio(median(pc), median(pb))))
    p("   'Wine start' = spawn to the process's first trace line (user32 loaded); 'own part' = from there to the paint.")
    selfrep = median([r.get("self_reported_s") for r in results["paints"]["bare"]])
    face = median([r.get("face_s") for r in results["paints"]["installer"]])
    p("   the installer's face paint, from that BeginPaint to its first child's: median %s s." % fmt(face, "%.3f"))
    p("   bare_window's own figure (GetProcessTimes creation to first WM_PAINT): median %.3f s." % selfrep)
    p("   screenshots: %s" % ", ".join([r for r in results["paints"][c] if "shot" in r][0]["shot"] for c in ("bare", "controls", "installer")))
    p("   limits: Wine's process start (loader, DLL loading, wineserver round trips); the installer loads more")
    p("   DLLs (its imports below) and creates its controls before its first paint; ms stamps; load.")

    # 5: size and imports.
    p()
    p("5. Executables (i686-w64-mingw32-objdump -p)")
    for path in (exe, tools_dir() / "bare_window.exe", tools_dir() / "plain_download.exe"):
        dlls = imports_of(path)
        foreign = [d for d in dlls if d.lower() not in SYSTEM_DLLS]
        p("   %-20s %7d bytes (%.1f KiB), %s, imports %d DLLs%s" % (
            path.name, path.stat().st_size, path.stat().st_size / 1024, "stripped" if stripped(path) else "NOT stripped",
            len(dlls), "" if not foreign else ", NOT system DLLs: " + " ".join(foreign)))
        if path == exe:
            p("      loaded at start (import table): " + " ".join(dlls))
            p("      loaded at first use (LoadLibraryExW from the system folder): " + " ".join(late_dlls(path, dlls)))
            p("      Wine loaded by the first paint: %s" % " ".join(loads["by_paint"]))
            p("      and in the %s s after it: %s" % ("4", " ".join(loads["after_paint"]) or "none"))
            p("   TARGET size <= %d bytes: %d, %s" % (TARGET_SIZE, path.stat().st_size,
                                                     verdict(path.stat().st_size, TARGET_SIZE)))
    p("   limits: the static C++ runtime parts the program pulls in; resources (icons, bitmaps) are in it.")

    # Targets.
    f64 = {c: download_figures(r) for c, r in results["64"].items()}
    p()
    p("Targets (ratios against baselines of this run):")
    p("   size <= 100 KB (%d bytes): %d bytes, %s" % (TARGET_SIZE, exe.stat().st_size,
                                                      verdict(exe.stat().st_size, TARGET_SIZE)))
    p("   first paint <= %.1fx bare_window: %.2fx, %s" % (TARGET_FIRST_PAINT, paint_ratio,
                                                          verdict(paint_ratio, TARGET_FIRST_PAINT)))
    p("     against bare_window with the same controls: %.2fx, %s" % (controls_ratio,
                                                                   verdict(controls_ratio, TARGET_FIRST_PAINT)))
    if results["1024"]:
        big_ratio = ratio(download_figures(results["1024"]["installer"])["file_s"],
                          download_figures(results["1024"]["plain"])["file_s"])
        p("   1 GiB download <= %.2fx plain_download: %.2fx, %s" % (TARGET_BIG_DOWNLOAD, big_ratio,
                                                                   verdict(big_ratio, TARGET_BIG_DOWNLOAD)))
        own = ratio(download_figures(results["1024"]["installer"])["file_s"],
                    download_figures(results["1024"]["marquee"])["file_s"])
        p("     against plain_download with the same marquee (the platform's animation in both): %.2fx, %s" % (
            own, verdict(own, TARGET_BIG_DOWNLOAD)))
    else:
        p("   1 GiB download <= %.2fx plain_download: not measured (--no-big)" % TARGET_BIG_DOWNLOAD)
    p()
    p("Further suggested targets (from these figures):")
    p("   download, file in place: installer <= 1.15x plain_download (now %.2fx at 64 MiB%s;" % (
        ratio(f64["installer"]["file_s"], f64["plain"]["file_s"]),
        "" if not results["1024"] else ", %.2fx at 1 GiB" % ratio(
            download_figures(results["1024"]["installer"])["file_s"], download_figures(results["1024"]["plain"])["file_s"])))
    p("     1.10x once the machine is quiet: with other Wine runs on the 2 cores, runs of the same program differ by")
    p("     up to ~15%)")
    p("   CPU per GiB at full speed, the window's idle cost taken out: installer <= 1.10x plain_download (now %.2fx"
      % ratio(f64["installer"]["cpu_gib"] - stalled["installer"]["cpu_per_s"] * f64["installer"]["file_s"] * GIB / (64 * MIB),
              f64["plain"]["cpu_gib"]))
    p("     at 64 MiB; %.2fx with it)" % ratio(f64["installer"]["cpu_gib"], f64["plain"]["cpu_gib"]))
    if rest < -CPU_RESOLUTION:
        now = "not separable in this run"
    elif rest < CPU_RESOLUTION:
        now = "under %.2f ms" % (1000 * CPU_RESOLUTION / max(1, counts_slow["sized"]))
    else:
        now = "%.2f ms" % (1000 * rest / max(1, counts_slow["sized"]))
    p("   per-chunk callbacks: <= 0.5 ms of CPU per progress call beyond the window's idle cost (now %s);" % now)
    p("     the idle cost with the marquee running <= 0.1 CPU s/s (now %.3f)" % stalled["installer"]["cpu_per_s"])
    p("   invalidations: status band <= 101 and detail band 3 whole seconds apart in every run (now %d and %d,"
      % (len(counts_slow["status"]), len(counts_slow["detail"])))
    p("     min gap %s s, at %d progress calls)" % (fmt(counts_slow["detail_min_gap"]), counts_slow["sized"]))
    p("   first paint: installer <= bare_window + 0.15 s (now +%.3f s)" % (median(pi) - median(pb)))
    p("   imports: system DLLs only")
    return 0


if __name__ == "__main__":
    sys.exit(main())
