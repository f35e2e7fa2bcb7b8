"""End-to-end harness: the real installer under Wine and Xvfb, against a local HTTPS vendor server.

Once per run a base Wine prefix is prepared (``base()``): a booted win64 prefix, a throwaway test
CA trusted in its user Root store, the fakes copied to C:\\fakes\\ and any registry files of
tests/e2e/base_*.reg imported. Each scenario then works in a ``Session``:

    with Session(self) as s:                    # own prefix copy, netns, Xvfb, wineserver, server
        s.set_lookup(b"MORVELT_2.0_Setup.exe")  # what the package lookup answers
        s.set_download("MORVELT_2.0_Setup.exe", file=s.fake("package_fake.exe"), rate=200_000)
        app = s.start_installer("/i")
        win = s.main_window()                   # the MORVELTSETUP window as the UI driver sees it
        shot = s.screenshot("started")          # PNG saved under build/e2e/artifacts/<scenario>/
        shot.pixel(win["rect"][0] + 10, win["rect"][1] + 40)
        s.click(x, y); s.drag((x, y), (dx, dy)); s.msgboxes(); s.press("No")
        s.requests()                            # every request the server saw, as received
        s.read_file(r"C:\\fakes\\log\\package.txt"); s.reg_query(r"HKLM\\Software\\...")

Everything a session starts runs inside its own network namespace; leaving the ``with`` block
always kills it all (wineserver -k, Xvfb, server, the namespace), also when the scenario fails.

Environment: E2E_INSTALLER (another installer exe), E2E_TOOLS (folder of uidriver.exe, trustca.exe,
httpget.exe and the fakes; default build/win), E2E_BASE (a prepared base run folder, set by the
runner), E2E_FRESH=1 (rebuild the base), E2E_KEEP=1 (keep session folders), E2E_WINEDEBUG.
"""

import base64
import contextlib
import fcntl
import functools
import hashlib
import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path, PureWindowsPath

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build"
E2E_DIR = BUILD / "e2e"
ARTIFACTS = E2E_DIR / "artifacts"
HERE = Path(__file__).resolve().parent
PYTHON = "/usr/bin/python3"
CONVERT = "/usr/bin/convert"  # ImageMagick itself, not a stand-in that may come first on PATH

SCREEN = "1024x768x24"
FAKES = ["package_fake.exe", "product_fake.exe", "uninstaller_fake.exe", "browser_fake.exe", "locker_fake.exe"]
TOOLS = ["uidriver.exe", "trustca.exe", "httpget.exe"]
# The driver's commands that answer at once, asked of one driver process per session: a Wine
# start costs about 0.3 s natively and 2 to 3 s where QEMU runs 32-bit code, and waits poll
# these every 0.2 s. Commands that wait, make windows or use COM start a driver of their own.
SERVED_COMMANDS = {"windows", "msgbox", "press", "ps", "screen", "proc", "handles", "send", "post", "keydacl"}
INSTALLER_WIN_PATH = "C:\\Downloads\\MORVELTSetup.exe"
MAIN_CLASS = "MORVELTSETUP"


def tools_dir():
    return Path(os.environ.get("E2E_TOOLS", BUILD / "win"))


def installer_path():
    return Path(os.environ.get("E2E_INSTALLER", BUILD / "win" / "MORVELTSetup.exe"))


@functools.lru_cache(maxsize=None)
def wine_version():
    return subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()


def wine_major():
    found = re.match(r"wine-(\d+)", wine_version())
    return int(found.group(1)) if found else 0


def job_outlived_by_its_programs():
    """Whether a program started in a job without kill-on-close outlives the job's last handle,
    as on Windows. Seen: Wine 8 keeps it; Wine 10 ends it with the process that held the job."""
    return wine_major() < 10


def _sha1_of_files(paths):
    h = hashlib.sha1()
    for p in paths:
        h.update(str(p.name).encode())
        if p.exists():
            h.update(p.read_bytes())
        else:
            h.update(b"<missing>")
    return h.hexdigest()


_ns_counter = itertools.count()


class Namespace:
    """A private network namespace with only loopback, named after this process."""

    def __init__(self, tag):
        self.name = "me2e-%s-%d-%d" % (tag, os.getpid(), next(_ns_counter))
        subprocess.run(["ip", "netns", "add", self.name], check=True)
        subprocess.run(["ip", "netns", "exec", self.name, "ip", "link", "set", "lo", "up"], check=True)

    def cmd(self, args):
        return ["ip", "netns", "exec", self.name] + [str(a) for a in args]

    def kill_all(self):
        """Kills whatever still runs inside this namespace: only what the session started."""
        out = subprocess.run(["ip", "netns", "pids", self.name], capture_output=True, text=True).stdout
        for pid in out.split():
            with contextlib.suppress(ProcessLookupError, ValueError):
                os.kill(int(pid), signal.SIGKILL)

    def delete(self):
        self.kill_all()
        subprocess.run(["ip", "netns", "delete", self.name], capture_output=True)


class Display:
    """Xvfb inside a namespace; its display number is whatever it found free."""

    def __init__(self, ns, screen=SCREEN, attempts=3):
        # Two sessions starting together can race for the same free display number (the lock
        # file in /tmp is shared across namespaces); the loser exits at once. Another try finds
        # the next number.
        errors = []
        for _ in range(attempts):
            number, error = self._start(ns, screen)
            if number:
                self.name = ":" + number
                return
            errors.append(error)
        raise RuntimeError("Xvfb did not start: %s" % " | ".join(errors))

    def _start(self, ns, screen):
        read_end, write_end = os.pipe()
        with tempfile.TemporaryFile() as err:
            self.proc = subprocess.Popen(
                ns.cmd(["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp", "-noreset"]),
                pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=err)
            os.close(write_end)
            number = b""
            deadline = time.monotonic() + 15
            with os.fdopen(read_end, "rb", buffering=0) as r:
                while not number.endswith(b"\n") and time.monotonic() < deadline:
                    chunk = r.read(16)
                    if not chunk:
                        break
                    number += chunk
            if number.strip():
                return number.decode().strip(), None
            self.proc.kill()
            self.proc.wait(5)
            err.seek(0)
            return None, err.read().decode(errors="replace").strip()[-300:] or "no output"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(3)


# The fonts Wine may see besides its own (which it loads from its data folder, not through
# fontconfig): exactly what scripts/setup-deps.sh installs, whatever else the machine has.
# Liberation Sans has Arial's metrics, and Arial is what Windows' font mapper gives the
# window's fonts that name no face.
FONT_DIRS = ["/usr/share/fonts/truetype/liberation"]
WINE_FONT_DIR = "/usr/share/wine/fonts"
FONT_RENDERING = [("antialias", "bool", "true"), ("hinting", "bool", "true"), ("hintstyle", "const", "hintslight"),
                  ("lcdfilter", "const", "lcddefault"), ("embeddedbitmap", "bool", "false")]


def fontconfig_file():
    """A fontconfig file of our own listing only FONT_DIRS, with a cache of its own."""
    folder = E2E_DIR / "fonts"
    conf = folder / "fonts.conf"
    text = ('<?xml version="1.0"?>\n<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">\n<fontconfig>\n'
            + "".join("  <dir>%s</dir>\n" % d for d in FONT_DIRS)
            + "  <cachedir>%s</cachedir>\n" % (folder / "cache")
            # Wine takes its default smoothing from fontconfig: pinned to Debian's defaults.
            + "  <match target=\"pattern\">\n"
            + "".join("    <edit name=\"%s\" mode=\"assign\"><%s>%s</%s></edit>\n" % (n, t, v, t)
                      for n, t, v in FONT_RENDERING)
            + "  </match>\n</fontconfig>\n")
    if not conf.exists() or conf.read_text() != text:
        folder.mkdir(parents=True, exist_ok=True)
        tmp = folder / ("fonts.conf.%d" % os.getpid())
        tmp.write_text(text)
        os.replace(tmp, conf)
    return conf


def font_inputs():
    """What the painted text depends on: the font files Wine sees, by name and size."""
    files = []
    for d in FONT_DIRS + [WINE_FONT_DIR]:
        for f in sorted(Path(d).glob("*")) if Path(d).is_dir() else []:
            files.append("%s:%d" % (f, f.stat().st_size))
    return files


def _wine_env(prefix, display, extra=None):
    env = dict(os.environ)
    env.update({
        "FONTCONFIG_FILE": str(fontconfig_file()),
        "WINEPREFIX": str(prefix),
        "WINEARCH": "win64",
        "WINEDEBUG": os.environ.get("E2E_WINEDEBUG", "-all"),
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "DISPLAY": display,
        "LANG": "C.UTF-8",
    })
    env.pop("LC_ALL", None)
    if extra:
        env.update({k: str(v) for k, v in extra.items()})
    return env


def _server_socket(prefix):
    """Path of the prefix's wineserver socket, or None while it cannot be known yet.

    Upstream Wine keeps it in /tmp/.wine-UID/server-DEV-INODE; Debian's Wine makes a random
    /tmp/wine-XXXXXX folder instead and writes its name into the prefix's "wineserver" file."""
    st = os.stat(prefix)
    folder = "/tmp/.wine-%d" % os.getuid()
    marker = Path(prefix) / "wineserver"
    if marker.exists():
        name = marker.read_text().strip()
        if not name:
            return None
        folder = "/tmp/" + name
    return Path("%s/server-%x-%x/socket" % (folder, st.st_dev, st.st_ino))


class WineServer:
    """The prefix's wineserver, started inside the namespace: under Wine 8 the wineserver creates
    the sockets, so it must live where the network is."""

    def __init__(self, ns, prefix, display, persistent=True):
        self.ns, self.prefix, self.display = ns, prefix, display
        # A persistent server outlives gaps between the session's programs; a one-shot one exits
        # with its last client, after saving the registry, which "wineserver -w" waits for.
        mode = ["-p"] if persistent else []
        self.proc = subprocess.Popen(ns.cmd(["wineserver", "-f"] + mode), env=_wine_env(prefix, display),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not (_server_socket(prefix) and _server_socket(prefix).exists()):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("wineserver did not start")
            time.sleep(0.02)

    def stop(self):
        run_to_files(self.ns.cmd(["wineserver", "-k"]), env=_wine_env(self.prefix, self.display), timeout=15)
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(3)


def run_to_files(args, env=None, timeout=30, check=False):
    """subprocess.run with output through temporary files rather than pipes: Wine's helper
    processes (services, explorer, ...) inherit the first client's output and outlive it, so a
    pipe would not see its end until the whole prefix stops."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        p = subprocess.Popen([str(a) for a in args], env=env, stdout=out, stderr=err, stdin=subprocess.DEVNULL)
        try:
            code = p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(5)
            raise
        out.seek(0)
        err.seek(0)
        result = subprocess.CompletedProcess(args, code, out.read().decode("utf-8", "replace"),
                                             err.read().decode("utf-8", "replace"))
    if check:
        result.check_returncode()
    return result


def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True)


def make_ca(folder, name):
    """A throwaway CA and a server certificate for localhost and 127.0.0.1, signed by it."""
    folder.mkdir(parents=True, exist_ok=True)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "%s-ca.key" % name, "-out", "%s-ca.pem" % name,
             "-days", "7", "-subj", "/CN=MORVELT E2E %s CA" % name,
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             cwd=folder)
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "%s-server.key" % name, "-out", "%s-server.csr" % name,
             "-subj", "/CN=localhost", cwd=folder)
    # Wine's certificate policy matches host names against DNS entries only, so 127.0.0.1 is
    # listed as a DNS name as well as an IP address.
    (folder / "server-ext.cnf").write_text(
        "subjectAltName=DNS:localhost,DNS:127.0.0.1,IP:127.0.0.1,IP:::1\n"
        "extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n")
    _openssl("x509", "-req", "-in", "%s-server.csr" % name, "-CA", "%s-ca.pem" % name, "-CAkey", "%s-ca.key" % name,
             "-CAcreateserial", "-out", "%s-server.pem" % name, "-days", "7", "-extfile", "server-ext.cnf", cwd=folder)
    _openssl("x509", "-in", "%s-ca.pem" % name, "-outform", "DER", "-out", "%s-ca.der" % name, cwd=folder)
    return {"ca_pem": folder / ("%s-ca.pem" % name), "ca_der": folder / ("%s-ca.der" % name),
            "cert": folder / ("%s-server.pem" % name), "key": folder / ("%s-server.key" % name)}


# The signer the signature-checking build (build/win-signer) asks for, and the package fake
# signed in each way that build must tell apart, laid in C:\\fakes of every prefix.
PACKAGE_SIGNER = "MORVELT Test Vendor"
SIGNED_PACKAGES = ("package_signed.exe", "package_other_signer.exe", "package_untrusted_root.exe",
                   "package_tampered.exe")


def signer_installer_path():
    return Path(os.environ.get("E2E_SIGNER_INSTALLER", BUILD / "win-signer" / "MORVELTSetup.exe"))


def _code_signer(folder, ca_name, cn, tag):
    """A code-signing certificate and key for cn, issued by the run's CA of that name."""
    (folder / "sign-ext.cnf").write_text("extendedKeyUsage=codeSigning\nbasicConstraints=CA:FALSE\n"
                                         "keyUsage=critical,digitalSignature\n")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", tag + ".key", "-out", tag + ".csr", "-subj",
             "/CN=" + cn, cwd=folder)
    _openssl("x509", "-req", "-in", tag + ".csr", "-CA", ca_name + "-ca.pem", "-CAkey", ca_name + "-ca.key",
             "-CAcreateserial", "-out", tag + ".pem", "-days", "7", "-extfile", "sign-ext.cnf", cwd=folder)
    return folder / (tag + ".pem"), folder / (tag + ".key")


def sign_package_fakes(certs, fakes):
    """The package fake signed by the vendor's name, by another name, by the vendor's name from a
    root the prefix does not trust, and signed by the vendor then changed in one byte."""
    source = fakes / "package_fake.exe"
    signers = {"package_signed.exe": ("trusted", PACKAGE_SIGNER), "package_other_signer.exe": ("trusted", "Someone Else"),
               "package_untrusted_root.exe": ("untrusted", PACKAGE_SIGNER)}
    for name, (ca, cn) in signers.items():
        cert, key = _code_signer(certs, ca, cn, name[:-4])
        subprocess.run(["osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-in", str(source),
                        "-out", str(fakes / name)], check=True, capture_output=True)
    data = bytearray((fakes / "package_signed.exe").read_bytes())
    stub = data.find(b"This program cannot be run in DOS mode")
    data[stub] ^= 0x20  # a byte the signature covers, harmless to the program
    (fakes / "package_tampered.exe").write_bytes(bytes(data))


class Base:
    """A prepared base run: a prefix to copy and the certificates of its test servers."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.prefix = self.folder / "prefix"
        self.certs = self.folder / "certs"
        info = json.loads((self.folder / "base.json").read_text())
        self.info = info
        self.trusted = {k: Path(v) for k, v in info["trusted"].items()}
        self.untrusted = {k: Path(v) for k, v in info["untrusted"].items()}


def _base_inputs():
    regs = sorted(HERE.glob("base_*.reg"))
    files = [tools_dir() / n for n in TOOLS + FAKES] + regs
    return {"wine": wine_version(), "files": _sha1_of_files(files), "screen": SCREEN, "fonts": font_inputs()}


def _run_in_fresh_ns(tag, prefix, args, timeout=120, env_extra=None):
    """Runs a Wine command in a throwaway namespace with its own display and wineserver."""
    ns = Namespace(tag)
    display = server = None
    try:
        display = Display(ns)
        env = _wine_env(prefix, display.name, env_extra)
        if Path(prefix).exists():
            server = WineServer(ns, prefix, display.name, persistent=False)
        result = run_to_files(ns.cmd(args), env=env, timeout=timeout)
        run_to_files(ns.cmd(["wineserver", "-w"]), env=env, timeout=60)
        return result
    finally:
        if server:
            server.stop()
        else:
            run_to_files(ns.cmd(["wineserver", "-k"]), env=_wine_env(prefix, ":0"), timeout=15)
        if display:
            display.stop()
        ns.delete()


def _pristine_prefix():
    """A freshly booted prefix, kept between runs for this Wine version (booting takes ~10 s)."""
    # Wine keeps what it found of the fonts in the prefix: a prefix booted with other fonts is
    # not reused.
    key = hashlib.sha1((wine_version() + SCREEN + json.dumps(font_inputs())).encode()).hexdigest()[:12]
    folder = E2E_DIR / ("pristine-" + key)
    E2E_DIR.mkdir(parents=True, exist_ok=True)
    with open(E2E_DIR / "pristine.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = folder / "booted"
        if stamp.exists():
            return folder / "prefix"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        prefix = folder / "prefix"
        result = _run_in_fresh_ns("boot", prefix, ["wineboot", "--init"], timeout=300)
        if not (prefix / "system.reg").exists():
            raise RuntimeError("wineboot failed: %s" % result.stderr[-2000:])
        stamp.write_text(wine_version())
        return prefix


# Wine's programs, DLLs, fonts and language tables in the prefix's Windows folder: 1.3 GB that
# nothing writes once the prefix is booted. A session links them from the base rather than
# copying them (a copy took 3 s on a loaded machine and kept the disk busy for every other
# scenario); all the rest (registry, ini files, the user's folders, C:\fakes) is a copy of its own.
SHARED_SUFFIXES = {".dll", ".exe", ".drv", ".sys", ".acm", ".ocx", ".cpl", ".tlb", ".ax", ".ds", ".nls", ".ttf",
                   ".fon", ".mui", ".manifest"}


def copy_prefix(source, target):
    source, target = Path(source), Path(target)
    windows = source / "drive_c" / "windows"
    for folder, dirs, files in os.walk(source):
        here = Path(folder)
        (target / here.relative_to(source)).mkdir(exist_ok=True)
        for name in dirs + files:
            src = here / name
            dst = target / src.relative_to(source)
            if src.is_symlink():
                os.symlink(os.readlink(src), dst)
            elif name in files:
                shared = src.suffix.lower() in SHARED_SUFFIXES and windows in src.parents
                os.link(src, dst) if shared else shutil.copy2(src, dst)
        dirs[:] = [d for d in dirs if not (here / d).is_symlink()]
    shutil.copystat(source, target)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def reap_stale():
    """Removes what harness processes that died without their teardown left behind: their
    namespaces (with whatever still runs in them), session folders and base runs. Only names
    carrying the id of a process that no longer exists are touched."""
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        m = re.match(r"^(me2e-\w+-(\d+)-\d+)", line)
        if m and not _pid_alive(int(m.group(2))):
            ns = Namespace.__new__(Namespace)
            ns.name = m.group(1)
            ns.delete()
    for pattern, rx in (("sessions/s-*", r"^s-(\d+)-"), ("run-*", r"^run-(\d+)$")):
        for folder in E2E_DIR.glob(pattern):
            m = re.match(rx, folder.name)
            if m and not _pid_alive(int(m.group(1))):
                shutil.rmtree(folder, ignore_errors=True)


def import_reg(prefix, reg_text, view=32):
    """Imports .reg text ("Windows Registry Editor Version 5.00" ...) into a prefix that has no
    session running; view 32 writes what a 32-bit program sees (the installer is one)."""
    with tempfile.TemporaryDirectory(dir=prefix / "drive_c") as tmp:
        path = Path(tmp) / "import.reg"
        path.write_text(reg_text, encoding="utf-16")
        win = "C:\\" + str(path.relative_to(prefix / "drive_c")).replace("/", "\\")
        return _run_in_fresh_ns("reg", prefix, ["wine", "reg", "import", win, "/reg:%d" % view])


def build_base(folder):
    """Builds a base run in folder: prefix copy, fresh CAs, trust, fakes, base registry files."""
    t0 = time.monotonic()
    folder = Path(folder)
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    pristine = _pristine_prefix()
    t_boot = time.monotonic() - t0
    certs = folder / "certs"
    trusted = make_ca(certs, "trusted")
    untrusted = make_ca(certs, "untrusted")
    prefix = folder / "prefix"
    subprocess.run(["cp", "-a", str(pristine), str(prefix)], check=True)

    tools = prefix / "drive_c" / "e2e"
    tools.mkdir()
    for name in TOOLS:
        if (tools_dir() / name).exists():
            shutil.copy2(tools_dir() / name, tools / name)
    if not (tools / "trustca.exe").exists():
        raise RuntimeError("trustca.exe not built in %s" % tools_dir())
    shutil.copy2(trusted["ca_der"], tools / "test-ca.der")
    result = _run_in_fresh_ns("trust", prefix, ["wine", "C:\\e2e\\trustca.exe", "C:\\e2e\\test-ca.der"])
    if '"added":true' not in result.stdout:
        raise RuntimeError("could not trust the test CA: %s %s" % (result.stdout, result.stderr[-1000:]))

    fakes = prefix / "drive_c" / "fakes"
    (fakes / "log").mkdir(parents=True)
    copied = []
    for name in FAKES:
        if (tools_dir() / name).exists():
            shutil.copy2(tools_dir() / name, fakes / name)
            copied.append(name)
    if "package_fake.exe" in copied:
        sign_package_fakes(certs, fakes)
    (prefix / "drive_c" / "Downloads").mkdir(exist_ok=True)
    for reg in sorted(HERE.glob("base_*.reg")):
        import_reg(prefix, reg.read_text())

    info = {
        "inputs": _base_inputs(),
        "trusted": {k: str(v) for k, v in trusted.items()},
        "untrusted": {k: str(v) for k, v in untrusted.items()},
        "fakes": copied,
        "seconds": {"boot_or_cache": round(t_boot, 2), "total": round(time.monotonic() - t0, 2)},
    }
    (folder / "base.json").write_text(json.dumps(info, indent=1))
    return Base(folder)


_base = None
_base_lock = threading.Lock()


def base():
    """The base run for this process: E2E_BASE when the runner prepared one, else a cached
    build/e2e/base-<inputs> for the current tools, fakes and Wine (E2E_FRESH=1 rebuilds it).
    A new base never replaces one in place, since another process may be copying from it;
    bases of other inputs are removed once they have been unused for a while."""
    global _base
    with _base_lock:
        if _base:
            return _base
        if os.environ.get("E2E_BASE"):
            _base = Base(os.environ["E2E_BASE"])
            return _base
        E2E_DIR.mkdir(parents=True, exist_ok=True)
        inputs = _base_inputs()
        key = hashlib.sha1(json.dumps(inputs, sort_keys=True).encode()).hexdigest()[:12]
        folder = E2E_DIR / ("base-" + key)
        with open(E2E_DIR / "base.lock", "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            try:
                current = Base(folder)
                if os.environ.get("E2E_FRESH") == "1":
                    raise ValueError("fresh base asked for")
            except (OSError, ValueError, KeyError):
                current = build_base(folder)
            os.utime(folder)
            for old in E2E_DIR.glob("base-*"):
                if old != folder and time.time() - old.stat().st_mtime > 600:
                    shutil.rmtree(old, ignore_errors=True)
            _base = current
        return _base


# ---- screenshots and pixels ---------------------------------------------------------------

class Image:
    """An RGB image read from a PNG through ImageMagick; pixel(x, y) -> (r, g, b)."""

    def __init__(self, width, height, rgb, path=None):
        self.width, self.height, self.rgb, self.path = width, height, rgb, path

    @classmethod
    def load(cls, path):
        ppm = subprocess.run([CONVERT, str(path), "-depth", "8", "ppm:-"], capture_output=True, check=True).stdout
        # P6 header: magic, width, height, maxval, each separated by whitespace.
        m = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", ppm)
        if not m:
            raise ValueError("not a PPM from %s" % path)
        width, height = int(m.group(1)), int(m.group(2))
        return cls(width, height, ppm[m.end():m.end() + width * height * 3], path)

    def pixel(self, x, y):
        if not (0 <= x < self.width and 0 <= y < self.height):
            raise IndexError("(%d,%d) outside %dx%d" % (x, y, self.width, self.height))
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def crop(self, left, top, width, height):
        """The part of the image at (left, top), e.g. a window's client area."""
        rows = []
        for y in range(top, top + height):
            i = (y * self.width + left) * 3
            rows.append(self.rgb[i:i + width * 3])
        return Image(width, height, b"".join(rows), self.path)

    def pixels(self, box):
        """(x, y, colour) for every pixel of box = (left, top, right, bottom), right/bottom exclusive."""
        left, top, right, bottom = box
        for y in range(top, bottom):
            for x in range(left, right):
                yield x, y, self.pixel(x, y)

    def count(self, box, colour, tolerance=0):
        return sum(1 for _, _, c in self.pixels(box) if close(c, colour, tolerance))

    def count_if(self, box, predicate):
        return sum(1 for _, _, c in self.pixels(box) if predicate(c))


def close(c1, c2, tolerance=0):
    return all(abs(a - b) <= tolerance for a, b in zip(c1, c2))


def luminance(c):
    return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]


# ---- the session --------------------------------------------------------------------------

class InstallerProcess:
    """The Linux side of one Wine process started by the session. Under Wine 8 the process
    started is the program; under Wine 10 it is start.exe, which makes the program as a process
    of its own (parent 1, named after the program) and waits for it, passing on its exit code."""

    def __init__(self, popen, stdout_path, prefix=None, name=None):
        self.popen = popen
        self.stdout_path = stdout_path
        self.prefix, self.name = prefix, name
        # The moment the process ended, on time.monotonic(), seen by a thread that only waits:
        # a caller busy with other readings would learn of the end late.
        self.ended_at = None
        threading.Thread(target=self._watch_end, daemon=True).start()

    def _watch_end(self):
        self.popen.wait()
        self.ended_at = time.monotonic()

    def wait(self, timeout):
        """Exit code of the Windows process, or None if it is still running after timeout."""
        try:
            return self._program_code(self.popen.wait(timeout))
        except subprocess.TimeoutExpired:
            return None

    def _program_code(self, code):
        # Wine 10 under QEMU: a thread that used the network was seen to fault while the process
        # ended (the table), and the emulator then ends it with 1 whatever the program gave. Only
        # ending processes do: their code is the one the program was ending with, 0 here.
        if code == 1 and wine_major() >= 10 and "qemu: uncaught target signal 11" in \
                Path(self.stdout_path).read_text(errors="replace"):
            return 0
        return code

    @property
    def running(self):
        return self.popen.poll() is None

    def linux_pid(self):
        """The Linux process that runs the program: of this prefix, named after the program (the
        kernel keeps 15 characters), the first from this start on."""
        def ours(pid):
            with contextlib.suppress(OSError):
                return (Path("/proc", pid, "comm").read_text().strip() == self.name[:15] and
                        ("WINEPREFIX=%s\0" % self.prefix).encode() in Path("/proc", pid, "environ").read_bytes() + b"\0")
        pids = sorted(int(p.name) for p in Path("/proc").iterdir()
                      if self.name and p.name.isdigit() and int(p.name) >= self.popen.pid and ours(p.name))
        return pids[0] if pids else self.popen.pid

    def kill(self):
        """Ends the Windows process at once: the program's Linux process and the one started."""
        if self.popen.poll() is None:
            with contextlib.suppress(OSError):
                program = self.linux_pid()
                if program != self.popen.pid:
                    os.kill(program, signal.SIGKILL)
            self.popen.kill()
        self.popen.wait(10)

    @property
    def returncode(self):
        code = self.popen.poll()
        return None if code is None else self._program_code(code)


class Session:
    """One scenario's world. Use as a context manager; see the module's doc for the API.

    owner: the unittest.TestCase (its id names the artifact folder) or a plain name.
    desktop: run Wine's explorer as a virtual desktop filling the screen, for the desktop shell.
    server: start the vendor server ("trusted" certificate, "untrusted", or None for no server).
    server_hosts: the addresses it listens on, when not the ones the installer's names resolve to.
    lookup, api, downloads: the server's first config (see set_lookup / set_download).
    """

    def __init__(self, owner, desktop=False, server="trusted", lookup=None, downloads=None, api=None,
                 server_timeout=300, server_hosts=None):
        self.server_hosts = server_hosts
        self.scenario = owner.id().replace("__main__.", "") if hasattr(owner, "id") else str(owner)
        self.desktop = desktop
        self.server_kind = server
        self.server_timeout = server_timeout
        self.config = {"api": api or {"status": 200, "body": "OK"},
                       "lookup": lookup if lookup is not None else {"status": 200, "body": "MORVELT_2.0_Setup.exe"},
                       "downloads": downloads or {}}
        self.artifacts = ARTIFACTS / re.sub(r"[^A-Za-z0-9_.-]", "_", self.scenario)
        self.ns = self.display = self.wineserver = self.server = None
        self.procs = []
        self.shots = 0
        self.timings = {}
        self.base = None
        self.dir = self.prefix = None
        self._cursor_refs = None
        self._served = None  # the session's "uidriver serve" process and its answer file
        self._served_lock = threading.Lock()

    # -- life cycle --

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _start(self):
        t0 = time.monotonic()
        self.base = base()
        shutil.rmtree(self.artifacts, ignore_errors=True)
        self.artifacts.mkdir(parents=True)
        tmp_root = E2E_DIR / "sessions"
        tmp_root.mkdir(parents=True, exist_ok=True)
        self.dir = Path(tempfile.mkdtemp(prefix="s-%d-" % os.getpid(), dir=tmp_root))
        self.prefix = self.dir / "prefix"
        copy_prefix(self.base.prefix, self.prefix)
        if self.desktop:
            self._enable_virtual_desktop()
        self.timings["copy"] = time.monotonic() - t0
        self.ns = Namespace("s")
        self.display = Display(self.ns)
        self.wineserver = WineServer(self.ns, self.prefix, self.display.name)
        if self.server_kind:
            self._start_server()
        self.timings["start"] = time.monotonic() - t0

    def close(self):
        """Kills everything the session started, whatever state it is in."""
        steps = [
            lambda: self.wineserver and self.wineserver.stop(),
            self._stop_procs,
            self._stop_server,
            lambda: self.display and self.display.stop(),
            lambda: self.ns and self.ns.delete(),
            self._save_logs,
            lambda: self.dir and os.environ.get("E2E_KEEP") != "1" and shutil.rmtree(self.dir, ignore_errors=True),
        ]
        for step in steps:
            try:
                step()
            except Exception:  # teardown goes on whatever one step did
                pass
        self.ns = self.display = self.wineserver = self.server = None

    def _stop_procs(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            with contextlib.suppress(Exception):
                p.wait(3)
        if self._served:
            self._drop_served()

    def _save_logs(self):
        if not self.dir:
            return
        if (self.dir / "requests.jsonl").exists():
            shutil.copy2(self.dir / "requests.jsonl", self.artifacts / "requests.jsonl")
        logs = self.prefix / "drive_c" / "fakes" / "log"
        if logs.exists() and any(logs.iterdir()):
            shutil.copytree(logs, self.artifacts / "fakes-log", dirs_exist_ok=True)
        for out in self.dir.glob("*.out"):
            shutil.copy2(out, self.artifacts / out.name)

    def _enable_virtual_desktop(self):
        # Equivalent of "wine explorer /desktop=Default,WxH" for every program of the prefix: the
        # default desktop becomes a virtual desktop run by Wine's explorer, with its shell windows.
        w, h = SCREEN.split("x")[:2]
        stamp = int(time.time())
        with open(self.prefix / "user.reg", "a", encoding="utf-8") as f:
            f.write('\n[Software\\\\Wine\\\\Explorer] %d\n"Desktop"="Default"\n' % stamp)
            f.write('\n[Software\\\\Wine\\\\Explorer\\\\Desktops] %d\n"Default"="%sx%s"\n' % (stamp, w, h))

    # -- the vendor server --

    def _start_server(self):
        certs = self.base.trusted if self.server_kind == "trusted" else self.base.untrusted
        other = self.base.untrusted if self.server_kind == "trusted" else self.base.trusted
        self._write_config()
        ready = self.dir / "server.ready"
        with open(self.dir / "server.out", "w") as log:
            self.server = subprocess.Popen(
                self.ns.cmd([PYTHON, HERE / "vendor_server.py", "--config", self.dir / "server.json",
                             "--log", self.dir / "requests.jsonl", "--cert", certs["cert"], "--key", certs["key"],
                             "--alt-cert", other["cert"], "--alt-key", other["key"],
                             "--timeout", self.server_timeout, "--ready", ready]
                            + (["--hosts", self.server_hosts] if self.server_hosts else [])),
                stdout=log, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while not ready.exists():
            if self.server.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("vendor server did not start: %s" % (self.dir / "server.out").read_text())
            time.sleep(0.02)

    def _stop_server(self):
        if self.server and self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(3)
            except subprocess.TimeoutExpired:
                self.server.kill()

    def _write_config(self):
        path = self.dir / "server.json"
        tmp = path.with_suffix(".tmp")
        tmp.write_text(json.dumps(self.config))
        os.replace(tmp, path)

    def set_lookup(self, body, status=200, **options):
        """The package lookup's answer: body as bytes (any bytes: line feeds, zero bytes, ...).
        options: content_type, chunk_size, chunk_delay, chunked, delay."""
        entry = {"status": status, "body_b64": base64.b64encode(body).decode()}
        entry.update(options)
        self.config["lookup"] = entry
        self._write_config()

    def set_download(self, name, file=None, size=None, **faults):
        """What /downloads_ls/<name> serves ("*" for any name): a file or size synthetic bytes.
        faults: rate (bytes/s), stall_after, stall_seconds, drop_after, content_length, status, delay."""
        entry = dict(faults)
        if file is not None:
            entry["file"] = str(file)
        if size is not None:
            entry["size"] = int(size)
        self.config["downloads"][name] = entry
        self._write_config()

    def set_tls(self, refuse=(), untrusted=(), othername=()):
        """Fails TLS handshakes by the host name asked for: "127.0.0.1" is the download host and
        "localhost" the vendor's server. refuse: a handshake failure; untrusted: a certificate
        from a CA the prefix does not trust; othername: a certificate from the trusted CA made
        out for another host name (other_name_cert). Wine's download service reports success for
        cut or failed transfers, so this is the way to make the package download fail."""
        self.config["tls"] = {"refuse": list(refuse), "untrusted": list(untrusted), "othername": list(othername)}
        if othername:
            cert, key = self.other_name_cert()
            self.config["tls"].update(othername_cert=str(cert), othername_key=str(key))
        self._write_config()

    def other_name_cert(self, name="other.invalid"):
        """A server certificate from the run's trusted CA for the DNS name `name` only (made once
        per session): trusted, but not for the hosts the installer asks for."""
        folder = self.dir / "othername"
        cert, key = folder / "server.pem", folder / "server.key"
        if not cert.exists():
            ca_pem = Path(self.base.trusted["ca_pem"])
            ca_key = ca_pem.with_name(ca_pem.name.replace("-ca.pem", "-ca.key"))
            folder.mkdir(parents=True, exist_ok=True)
            _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", "server.csr",
                     "-subj", "/CN=%s" % name, cwd=folder)
            (folder / "ext.cnf").write_text("subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth\n"
                                            "basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                                            % name)
            _openssl("x509", "-req", "-in", "server.csr", "-CA", ca_pem, "-CAkey", ca_key, "-CAcreateserial",
                     "-CAserial", folder / "ca.srl", "-out", cert, "-days", "7", "-extfile", "ext.cnf", cwd=folder)
        return cert, key

    def set_silent(self, silent=True):
        """Every new connection is accepted and never answered (not even the TLS handshake)."""
        self.config["silent"] = bool(silent)
        self._write_config()

    def set_close_connections(self, close=True):
        """Every answer closes its connection, so no TLS session is reused after a set_tls."""
        self.config["close_connections"] = bool(close)
        self._write_config()

    def stop_server(self):
        """Stops the vendor server: nothing listens on port 443 any more. Its record stays readable."""
        self._stop_server()

    def set_api(self, status=200, body=b"OK"):
        self.config["api"] = {"status": status, "body_b64": base64.b64encode(body).decode()}
        self._write_config()

    def server_log(self):
        path = self.dir / "requests.jsonl"
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]

    def requests(self, prefix=None):
        """Requests the server received, in order; prefix filters on the raw target."""
        reqs = [r for r in self.server_log() if r["kind"] == "request"]
        if prefix:
            reqs = [r for r in reqs if r["target"].startswith(prefix)]
        return reqs

    def reports(self):
        """The event reports received, each with its query fields parsed (raw values kept)."""
        out = []
        for r in self.requests("/wp-json/hlv/api"):
            query = r["target"].split("?", 1)[1] if "?" in r["target"] else ""
            fields = [tuple(kv.split("=", 1)) if "=" in kv else (kv, None) for kv in query.split("&")]
            out.append(dict(r, fields=fields, query=dict(fields)))
        return out

    def wait_for(self, predicate, timeout=10, interval=0.1, what="condition"):
        """Polls predicate until it returns something true; returns that, or raises on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                raise TimeoutError("timed out after %ss waiting for %s" % (timeout, what))
            time.sleep(interval)

    def wait_while_progressing(self, count, stall=20, what="progress"):
        """Waits until count() reaches 0, for as long as it keeps falling: a long job's pace is the
        machine's (several times slower where 32-bit code is emulated), a halt is the program's."""
        last, since = count(), time.monotonic()
        while last:
            time.sleep(0.5)
            now = count()
            if now < last:
                last, since = now, time.monotonic()
            elif time.monotonic() - since > stall:
                raise TimeoutError("%s halted at %d for %s s" % (what, last, stall))
        return True

    def wait_requests(self, prefix, count=1, timeout=10):
        return self.wait_for(lambda: len(self.requests(prefix)) >= count and self.requests(prefix),
                             timeout, what="%d request(s) to %s" % (count, prefix))

    # -- running Windows programs --

    def env(self, extra=None):
        return _wine_env(self.prefix, self.display.name, extra)

    def popen(self, args, env=None, name="proc", cwd=None):
        out = self.dir / ("%s-%d.out" % (name, len(self.procs)))
        with open(out, "w") as f:
            p = subprocess.Popen(self.ns.cmd(args), env=self.env(env), stdout=f, stderr=subprocess.STDOUT,
                                 stdin=subprocess.DEVNULL, cwd=cwd)
        self.procs.append(p)
        return p, out

    def start_installer(self, *args, env=None, exe=None):
        """Starts the installer from C:\\Downloads with the given arguments, not waiting for it. That
        folder is its current folder too, as when the browser or Explorer starts it."""
        target = self.host_path(INSTALLER_WIN_PATH)
        if not target.exists():
            shutil.copy2(exe or installer_path(), target)
        p, out = self.popen(["wine", INSTALLER_WIN_PATH] + list(args), env=env, name="installer", cwd=target.parent)
        return InstallerProcess(p, out, self.prefix, PureWindowsPath(INSTALLER_WIN_PATH).name)

    def run(self, args, timeout=30, env=None, check=False):
        """Runs a command (a Linux one, or ["wine", ...]) inside the session; CompletedProcess."""
        return run_to_files(self.ns.cmd(args), env=self.env(env), timeout=timeout, check=check)

    def tool(self, name, *args, timeout=30):
        """Runs one of the test tools (uidriver.exe, httpget.exe, ... from the build) under Wine."""
        return self.run(["wine", str(tools_dir() / name)] + [str(a) for a in args], timeout=timeout)

    def driver(self, *args, timeout=30):
        """The UI driver's JSON answer to one command (None when it printed nothing)."""
        text = self._served_driver(args, timeout) if args and args[0] in SERVED_COMMANDS else None
        if text is None:
            text = self.tool("uidriver.exe", *args, timeout=timeout).stdout
        text = text.strip()
        return json.loads(text) if text else None

    def _served_driver(self, args, timeout):
        """The answer of the session's one driver process, started at the first query; None when
        it is gone (the prefix's Wine session ended), so the caller starts a driver of its own.
        Its answers go to a file: a pipe would be held open by Wine's helper processes."""
        with self._served_lock:
            if self._served and self._served[0].poll() is not None:
                self._drop_served()
            if not self._served:
                path = self.dir / ("driver-%d.out" % len(self.procs))
                with open(path, "ab") as answers:  # appended to, whatever offset the reader is at
                    p = subprocess.Popen(self.ns.cmd(["wine", tools_dir() / "uidriver.exe", "serve"]),
                                         env=self.env(), stdin=subprocess.PIPE, stdout=answers,
                                         stderr=subprocess.DEVNULL)
                self.procs.append(p)
                self._served = (p, open(path, "rb"))
            p, out = self._served
            start = out.seek(0, os.SEEK_END)
            try:
                p.stdin.write(("\t".join(str(a) for a in args) + "\n").encode())
                p.stdin.flush()
            except OSError:
                self._drop_served()
                return None
            deadline = time.monotonic() + timeout
            while True:
                out.seek(start)
                answer = out.read()
                end = re.search(rb"(?:^|\n)\x1e-?\d+\r?\n", answer)
                if end:
                    return answer[:end.start()].decode("utf-8", "replace")
                if p.poll() is not None:
                    self._drop_served()
                    return None
                if time.monotonic() > deadline:
                    p.kill()
                    self._drop_served()
                    raise subprocess.TimeoutExpired(args, timeout)
                time.sleep(0.01)

    def _drop_served(self):
        """Forgets the served driver, closing what the harness holds of it."""
        p, answers = self._served
        self._served = None
        answers.close()
        with contextlib.suppress(OSError):
            p.stdin.close()

    def wait_desktop_shell(self, timeout=30):
        """Brings up Wine's desktop (the driver's start starts it) and waits until its shell hands
        out the desktop's window, as a logged-on Windows has before any user program starts.

        Under load Wine's explorer has been seen never to hand it out (a fresh clone's full run, one
        scenario in five runs, the same start alone then taking 0.5 s). Windows has its shell before
        the user's first program, so a shell that does not come is the harness's to mend, not the
        installer's: the prefix's Wine session is ended once (nothing of the installer runs yet) and
        the shell awaited again. What was seen goes to the artifacts either way."""
        for attempt in (1, 2):
            answers = []

            def shell_up():
                started = time.monotonic()
                try:
                    answer = self.driver("shell", timeout=15)
                except subprocess.TimeoutExpired:
                    answer = "no answer within 15 s"
                answers.append("%.1f s: %s" % (time.monotonic() - started, answer))
                return isinstance(answer, dict) and answer.get("dispatch")

            try:
                return self.wait_for(shell_up, timeout, interval=0.5, what="the desktop shell")
            except TimeoutError:
                seen = self._stall_report(answers)
                with open(self.artifacts / ("desktop-shell-stall-%d.txt" % attempt), "w") as f:
                    f.write(seen)
                if attempt == 2:
                    raise TimeoutError("the desktop shell did not come, twice:\n" + seen)
                print("desktop shell stalled; ending the prefix's Wine session once\n" + seen, flush=True)
                self.wineserver.stop()
                self.wineserver = WineServer(self.ns, self.prefix, self.display.name)

    def _stall_report(self, answers):
        """The driver's answers and the prefix's Wine processes with their states."""
        ps = subprocess.run(["ps", "-eo", "pid,etimes,stat,wchan:24,args"], capture_output=True, text=True).stdout
        mine = [line for line in ps.splitlines()[1:] if "wine" in line or ".exe" in line]
        return "driver answers:\n  %s\nWine processes on the machine:\n  %s\n" % (
            "\n  ".join(answers[-8:]), "\n  ".join(mine[:40]))

    # -- windows and message boxes --

    def windows(self, **filters):
        """Top-level windows, filtered by pid, title, cls; each with its children."""
        args = ["windows"]
        for key, flag in (("pid", "--pid"), ("title", "--title"), ("cls", "--class")):
            if filters.get(key) is not None:
                args += [flag, filters[key]]
        return self.driver(*args) or []

    def main_window(self, timeout=20, visible=True, settle=True):
        """Waits for the installer's main window and returns it as the driver reports it. The
        window is shown at the screen origin before it is centred, so with settle the rectangle
        must also read the same three times in a row."""
        def find():
            for w in self.windows(cls=MAIN_CLASS):
                if w["visible"] or not visible:
                    return w
            return None
        window = self.wait_for(find, timeout, interval=0.2, what="the %s window" % MAIN_CLASS)
        if not settle:
            return window
        same = 0
        deadline = time.monotonic() + timeout
        while same < 2 and time.monotonic() < deadline:
            time.sleep(0.1)
            again = find()
            if again is None:
                return window  # it closed (or hid) meanwhile: the last sight is all there is
            same = same + 1 if again["rect"] == window["rect"] else 0
            window = again
        return window

    def wait_no_window(self, cls=MAIN_CLASS, timeout=10):
        """Waits until no top-level window of the class is left (after a process ended)."""
        self.wait_for(lambda: not self.windows(cls=cls), timeout, interval=0.2, what="no %s window" % cls)

    def control(self, window, text=None, cls=None):
        for c in window["children"]:
            if (text is None or c["text"] == text) and (cls is None or c["class"].lower() == cls.lower()):
                return c
        return None

    def msgboxes(self, pid=None):
        args = ["msgbox"] + (["--pid", pid] if pid else [])
        return self.driver(*args) or []

    def wait_msgbox(self, timeout=10, pid=None):
        boxes = self.wait_for(lambda: self.msgboxes(pid), timeout, interval=0.2, what="a message box")
        return boxes[0]

    def press(self, button, pid=None):
        """Presses a message-box button by its text ("Yes", "No", "OK") or id."""
        args = ["press", button] + (["--pid", pid] if pid else [])
        answer = self.driver(*args)
        if not answer or answer.get("pressed") is None:
            raise AssertionError("no message-box button %r to press" % button)
        return answer

    def screen_info(self):
        return self.driver("screen")

    # -- mouse and screen --

    def xdotool(self, *args):
        return self.run(["xdotool"] + [str(a) for a in args], check=True)

    def mousemove(self, x, y):
        self.xdotool("mousemove", int(x), int(y))

    def click(self, x, y, button=1):
        self.xdotool("mousemove", int(x), int(y), "click", button)

    def drag(self, start, delta, steps=4):
        """Presses at start (screen coordinates), moves by delta in a few steps, releases."""
        x, y = start
        dx, dy = delta
        args = ["mousemove", int(x), int(y), "mousedown", 1]
        for i in range(1, steps + 1):
            args += ["sleep", "0.05", "mousemove", int(x + dx * i / steps), int(y + dy * i / steps)]
        args += ["sleep", "0.1", "mouseup", 1]
        self.xdotool(*args)

    def screenshot(self, label="shot", settle=True):
        """Saves a PNG of the whole display as artifacts/<scenario>/NN-label.png and returns it
        loaded. With settle, shoots again until two shots agree, so painting has finished."""
        self.shots += 1
        path = self.artifacts / ("%02d-%s.png" % (self.shots, re.sub(r"[^A-Za-z0-9_-]", "_", label)))
        trial = self.dir / "trial.png"
        previous = None
        for _ in range(10 if settle else 1):
            self.run(["import", "-window", "root", trial], check=True)
            data = trial.read_bytes()
            if not settle or data == previous:
                break
            previous = data
            time.sleep(0.15)
        os.replace(trial, path)
        return Image.load(path)

    def cursor(self):
        """The X cursor now shown: size, hot spot, digest."""
        r = self.run([PYTHON, HERE / "xcursor.py", self.display.name], check=True)
        return json.loads(r.stdout)

    def cursor_kind(self, x=None, y=None):
        """'hand', 'arrow' or 'other' for the cursor the display shows now (after moving the
        mouse to (x, y) when given). The hand and arrow of this Wine are learnt once per session
        from probe windows of the UI driver: cursor handles cannot be compared across processes."""
        if self._cursor_refs is None:
            self._cursor_refs = self._learn_cursors()
        if x is not None:
            self.mousemove(x, y)
            time.sleep(0.2)
        digest = self.cursor()["digest"]
        for kind, ref in self._cursor_refs.items():
            if ref == digest:
                return kind
        return "other"

    def cursor_at(self, x, y, expected, timeout=3):
        """Moves the mouse to (x, y) and waits up to timeout for the cursor to become expected
        (the program sets it when it gets to the mouse move); returns the kind last seen."""
        kind = self.cursor_kind(x, y)
        deadline = time.monotonic() + timeout
        while kind != expected and time.monotonic() < deadline:
            time.sleep(0.1)
            kind = self.cursor_kind()
        return kind

    def _learn_cursors(self):
        p, out = self.popen(["wine", str(tools_dir() / "uidriver.exe"), "cursorprobe", "--ms", "8000"], name="probe")
        try:
            spots = self.wait_for(lambda: out.read_text().strip() and json.loads(out.read_text().splitlines()[0]),
                                  15, what="the cursor probe")

            def digest_at(kind, differs_from):
                x, y = spots[kind]
                self.mousemove(x, y)

                def changed():
                    shown = self.cursor()
                    return shown["position"] == [x, y] and shown["digest"] != differs_from and shown["digest"]
                return self.wait_for(changed, 5, interval=0.1, what="the %s probe's cursor" % kind)

            # Each reading waits for the cursor to change, so none is a stale one left from before.
            arrow = digest_at("arrow", None)
            time.sleep(0.2)
            arrow = self.cursor()["digest"]
            hand = digest_at("hand", arrow)
            arrow = digest_at("arrow", hand)
            return {"hand": hand, "arrow": arrow}
        finally:
            p.kill()
            p.wait(5)

    # -- files and registry --

    def host_path(self, win_path):
        """The host path of a C:\\ path in the session's prefix, matching names case-insensitively."""
        m = re.match(r"^[cC]:[\\/]*(.*)$", win_path)
        if not m:
            raise ValueError("only C:\\ paths: %r" % win_path)
        path = self.prefix / "drive_c"
        for part in [p for p in re.split(r"[\\/]+", m.group(1)) if p]:
            exact = path / part
            if not exact.exists() and path.is_dir():
                for entry in path.iterdir():
                    if entry.name.lower() == part.lower():
                        exact = entry
                        break
            path = exact
        return path

    def exists(self, win_path):
        return self.host_path(win_path).exists()

    def read_file(self, win_path, binary=False):
        p = self.host_path(win_path)
        return p.read_bytes() if binary else p.read_text(errors="replace")

    def fake_log(self, name):
        """Text a fake logged to C:\\fakes\\log\\<name>.txt, or None when it logged nothing."""
        p = self.host_path("C:\\fakes\\log\\%s.txt" % name)
        return p.read_text(errors="replace") if p.exists() else None

    def fake(self, name):
        """Host path of a fake in the session's prefix (e.g. to serve it as the package)."""
        return self.host_path("C:\\fakes\\" + name)

    def reg_query(self, key, value=None, view=32):
        """Values under a key as {name: (type, data)} ("" is the default value), or None when the
        key does not exist. view 32 reads what the 32-bit installer sees."""
        # "wine reg" runs the 32-bit reg.exe here; /reg:NN picks the registry view explicitly.
        args = ["wine", "reg", "query", key] + (["/v", value] if value else []) + ["/reg:%d" % view]
        r = self.run(args, timeout=30)
        if r.returncode != 0:
            return None
        values = {}
        for line in r.stdout.splitlines():
            m = re.match(r"^    (.*?)    (REG_\w+)    ?(.*)$", line)
            if m:
                name = "" if m.group(1) == "(Default)" else m.group(1)
                values[name] = (m.group(2), m.group(3))
        return values

    def import_reg(self, reg_text, view=32):
        """Imports .reg text into the running session's prefix."""
        path = self.dir / "import.reg"
        path.write_text(reg_text, encoding="utf-16")
        local = self.host_path("C:\\e2e")
        shutil.copy2(path, local / "import.reg")
        return self.run(["wine", "reg", "import", "C:\\e2e\\import.reg", "/reg:%d" % view], check=True)


# ---- the base of the scenario classes -----------------------------------------------------------

class ScenarioCase(unittest.TestCase):
    """Every scenario class's base: session() opens a Session that ends with the test, after
    prepare(s), what each session of the class starts with; run_attempt(s, switches) starts the
    installer and waits for the attempt's outcome."""

    # Wine's trace channels for the installer of run_attempt.
    ATTEMPT_TRACE = "-all"

    def session(self, **options):
        s = self.enterContext(Session(self, **options))
        self.prepare(s)
        return s

    def prepare(self, s):
        pass

    def click_install(self, s):
        click_install(s)

    def run_attempt(self, s, *args, env=None, timeout=60):
        """Starts the installer with the switches (default "/i") and waits for wait_outcome.
        Returns (the installer process, the outcome, the main window)."""
        knobs = {"WINEDEBUG": self.ATTEMPT_TRACE}
        knobs.update(env or {})
        app = s.start_installer(*(args or ("/i",)), env=knobs)
        outcome, window = wait_outcome(s, timeout)
        return app, outcome, window


def wait_outcome(s, timeout=60):
    """Waits until the attempt has ended: 'installed' (the launch button), 'failed' (the button
    enabled again) or 'question' (a message box is up). Returns (outcome, window)."""
    def ended():
        boxes = s.msgboxes()
        if boxes:
            return ("question", s.main_window())
        w = s.main_window(visible=False)
        button = s.control(w, cls="Button")
        if button and button["text"] == "Close and Launch MORVELT":
            return ("installed", w)
        if button and button["enabled"] and s.requests("/index.php"):
            return ("failed", w)
        return None
    return s.wait_for(ended, timeout, interval=0.3, what="the end of the attempt")


def click_install(s):
    """Clicks the install button with the mouse at its centre, as a user does."""
    w = s.main_window()
    b = s.control(w, cls="Button")
    s.click(w["rect"][0] + (b["rect"][0] + b["rect"][2]) // 2, w["rect"][1] + (b["rect"][1] + b["rect"][3]) // 2)
