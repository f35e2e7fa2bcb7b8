"""Shared pieces of the report, lookup, download and progress scenarios. What the installer
painted and asked of WinHTTP and the download service is read through wine_trace.Trace."""

import re
import time
from pathlib import Path

from product import (  # noqa: F401 (the scenarios take these names from here too)
    ALMOST_DONE, API, BAR_EXPANDED, BAR_NORMAL, BUTTON_EXPANDED, BUTTON_NORMAL, CAPTION, CONNECTING, DETAIL,
    DOWNLOAD, DOWNLOAD_FAILED, FIRST_DRAWS, INSTALLED, INSTALLING, LOOKUP_TARGET, NOT_INSTALLED, PACKAGE_PATH,
    PERCENT, TUTORIAL, URL_PREFIX, USER_AGENT, UUID)
from harness import click_install
from wine_trace import Trace

TRACE_TEXT = "trace+text,+timestamp"
TRACE_ALL = "trace+text,trace+win,trace+urlmon,+timestamp"

# ---- Wine's trace of the installer ----------------------------------------------------------

def percents(statuses):
    """The whole percentages of the "Downloading MORVELT... N%" lines among status texts."""
    return [int(PERCENT.match(t).group(1)) for t in statuses if PERCENT.match(t)]


def http_exchanges(trace):
    """The installer's WinHTTP exchanges: per thread, from one WinHttpOpen to the next, each as
    a list of (function, arguments) calls plus the handles the opening calls returned."""
    out, current = [], {}
    for c in trace.winhttp:
        # Wine's own look at the default proxy, and the installer's once-per-process read of the
        # user's Internet settings: no part of a request.
        if c["fn"] in ("WinHttpGetDefaultProxyConfiguration", "WinHttpGetIEProxyConfigForCurrentUser"):
            continue
        if "args" in c and c["fn"] == "WinHttpOpen":
            current[c["tid"]] = {"tid": c["tid"], "calls": [], "handles": {}}
            out.append(current[c["tid"]])
        ex = current.get(c["tid"])
        if ex is None:
            continue
        if "args" in c:
            ex["calls"].append((c["fn"], c["args"]))
        elif c["fn"] in ("WinHttpOpen", "WinHttpConnect", "WinHttpOpenRequest"):
            ex["handles"][c["fn"]] = c["returned"]
    return out


def installer_trace(app):
    return Trace(app.stdout_path)


# ---- attempts --------------------------------------------------------------------------------

def controls(s):
    """The main window's button, progress bar and tutorial link as the UI driver sees them."""
    w = s.main_window()
    button = s.control(w, cls="Button")
    bar = s.control(w, cls="msctls_progress32")
    link = s.control(w, text="Watch MORVELT Tutorial")
    return w, button, bar, link


def final_reports(s, since):
    return [r for r in s.server_log()[since:]
            if r["kind"] == "request" and re.search(r"&type=[34](&|$)", r["target"])]


def run_attempt(s, timeout=40):
    """Starts one attempt with a click and waits for its end: the error box (answered OK and
    returned) or the final report, then the final state (button enabled, bar without marquee).
    Returns (message boxes seen, the server records of this attempt, the bar at the end)."""
    since = len(s.server_log())
    click_install(s)
    return finish_attempt(s, since, timeout)


def finish_attempt(s, since, timeout=40):
    boxes = []
    s.wait_for(lambda: s.msgboxes() or final_reports(s, since), timeout, interval=0.2, what="the attempt's outcome")

    def ended():
        shown = s.msgboxes()
        if shown:
            boxes.append(shown[0])
            s.press("OK")
            return None
        _, button, bar, _ = controls(s)
        return button["enabled"] and not bar["marquee"] and bar

    bar = s.wait_for(ended, timeout, interval=0.2, what="the attempt's final state")
    return boxes, s.server_log()[since:], bar


def requests_of(records):
    return [r for r in records if r["kind"] == "request"]


def query_fields(target):
    """The query of a target as an ordered list of (name, raw value)."""
    query = target.split("?", 1)[1] if "?" in target else ""
    return [tuple(kv.split("=", 1)) if "=" in kv else (kv, None) for kv in query.split("&")]


def wire_blanks(value):
    """A speed field's raw value split into its count of %20 and the number behind them."""
    m = re.match(r"^((?:%20)*)(\d+\.\d{3})$", value)
    if not m:
        return None
    return len(m.group(1)) // 3, m.group(2)


def wait_trace(s, app, predicate, timeout=20, what="a traced text"):
    """Waits until predicate(Trace) answers something true; returns that trace."""
    def check():
        trace = installer_trace(app)
        return trace if predicate(trace) else None
    return s.wait_for(check, timeout, interval=0.25, what=what)


def padded_package(s, size):
    """The package fake padded with zero bytes to about `size` bytes: the loader ignores the
    overlay, so it still runs, installs and exits, while its download takes throttled time."""
    data = Path(s.fake("package_fake.exe")).read_bytes()
    path = s.dir / ("package-%d.exe" % size)
    path.write_bytes(data + b"\0" * max(0, size - len(data)))
    return path


def seconds(t0, t1):
    return round(t1 - t0, 3)


def sleep_until(deadline):
    delay = deadline - time.monotonic()
    if delay > 0:
        time.sleep(delay)


def check_exchange(case, ex, target, answered=True):
    """One request as the installer made it: session with the user agent, the default proxy and no
    flags (synchronous); connection to the vendor's server on 443; a TLS GET of the target with
    the default version, referrer and accept types; sent without headers or body; then, when an
    answer came, the response awaited, its status read and the body drained to its end; last the
    request, the connection and the session closed, in that order."""
    calls = ex["calls"]
    h = ex["handles"]
    names = [fn for fn, _ in calls]
    case.assertEqual(calls[0], ("WinHttpOpen", 'L"%s", 0, (null), (null), 0' % USER_AGENT))
    # The session asks for TLS 1.2 and 1.3 (WINHTTP_OPTION_SECURE_PROTOCOLS, 84, a DWORD of flags),
    # once, or a second time for 1.2 alone where the system knows no 1.3.
    asks = 0
    while asks < len(calls) - 1 and calls[1 + asks][0] == "WinHttpSetOption":
        case.assertRegex(calls[1 + asks][1], r"^%s, 84, [0-9A-Fa-f]+, 4$" % h["WinHttpOpen"])
        asks += 1
    case.assertIn(asks, (1, 2), names)
    calls = calls[:1] + calls[1 + asks:]
    case.assertEqual(calls[1], ("WinHttpConnect", '%s, L"localhost", 443, 0' % h["WinHttpOpen"]))
    case.assertEqual(calls[2], ("WinHttpOpenRequest",
                                '%s, L"GET", L"%s", (null), (null), 00000000, 0x800000' % (h["WinHttpConnect"], target)))
    # While no way is known to work, Wine's settings (automatic detection) bound the connection: 5 s, two addresses.
    if calls[3][0] == "WinHttpSetTimeouts":
        case.assertEqual(calls[3][1], "%s, 0, 5000, 30000, 30000" % h["WinHttpOpenRequest"])
        case.assertRegex(calls[4][1], r"^%s, 4, [0-9A-F]+, 4$" % h["WinHttpOpenRequest"])
        calls = calls[:3] + calls[5:]
    case.assertEqual(calls[3], ("WinHttpSendRequest", "%s, (null), 0, 00000000, 0, 0, 0" % h["WinHttpOpenRequest"]))
    closes = [("WinHttpCloseHandle", h[fn]) for fn in ("WinHttpOpenRequest", "WinHttpConnect", "WinHttpOpen")]
    case.assertEqual(calls[-3:], closes, names)
    middle = calls[4:-3]
    if not answered:
        case.assertEqual(middle, [], names)
        return
    case.assertEqual(middle[0], ("WinHttpReceiveResponse", "%s, 00000000" % h["WinHttpOpenRequest"]))
    # The status, as a number: a proxy's 407 is no answer.
    case.assertEqual(middle[1][1].split(", ")[:3], [h["WinHttpOpenRequest"], "0x20000013", "(null)"])
    drain = middle[2:]
    case.assertTrue(drain and len(drain) % 2 == 0, names)
    case.assertEqual({fn for fn, _ in drain[0::2]}, {"WinHttpQueryDataAvailable"}, names)
    case.assertEqual({fn for fn, _ in drain[1::2]}, {"WinHttpReadData"}, names)
    # Each pass reads what was offered; the pass that was offered nothing is the last.
    sizes = [int(args.split(", ")[2]) for _, args in drain[1::2]]
    case.assertEqual(sizes[-1], 0, sizes)
    case.assertNotIn(0, sizes[:-1], sizes)
