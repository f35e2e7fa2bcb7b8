"""The one reader of Wine's trace of the installer (its stdout/stderr file).

The status texts are painted, not held by controls, so what the window shows is read from Wine's
own trace of the installer's drawing calls: with WINEDEBUG "trace+text" every DrawTextExW call is
logged with its text and rectangle, "trace+win" logs every invalidation (RedrawWindow) and move,
"trace+urlmon" the exact URL handed to the download service, "trace+winhttp" the WinHTTP calls,
"fixme+progress" the progress bar's requests it cannot draw, and "+timestamp" stamps each line
with Wine's tick count in seconds. Screenshots confirm that the traced texts really reach the
screen.
"""

import re
from pathlib import Path

from product import DETAIL_RECT, STATUS_RECT, WELCOME_LINE

# The expanded layout moves the lines up by 40: its status rectangle comes out upside down and is
# drawn as the 30-pixel rectangle around the same mid-line; its detail rectangle is drawn as it is.
EXPANDED_STATUS_RECT = (0, 113, 500, 143)
EXPANDED_DETAIL_RECT = (0, 133, 500, 153)


def _changes(texts):
    seen = []
    for text in texts:
        if not seen or seen[-1] != text:
            seen.append(text)
    return seen


_LINE = re.compile(r"^(?:(\d+\.\d+):)?([0-9a-f]+):(trace|fixme|err|warn):(\w+):(\w+) ?(.*)$")
_DRAW = re.compile(r'^L"((?:[^"\\]|\\.)*)", (-?\d+), \[\((-?\d+),(-?\d+)\)-\((-?\d+),(-?\d+)\)\] ([0-9a-f]+)$')
_REDRAW = re.compile(r"^(0x[0-9a-f]+) (?:rect \((-?\d+),(-?\d+)\)-\((-?\d+),(-?\d+)\)|whole window) flags: (.*)$")
_MOVE = re.compile(r"^(0x[0-9a-f]+) (-?\d+),(-?\d+) (\d+)x(\d+) (\d)$")
_ERROR_STATE = re.compile(r"fixme:progress:ProgressWindowProc state 0*2 not yet handled")
_URL = re.compile(r'^\(\w+ L"((?:[^"\\]|\\.)*)" L"((?:[^"\\]|\\.)*)"')


def unescape(text):
    """Wine's debugstr_w form back to the text: \\n \\r \\t \\" \\\\ and \\XXXX (hex units)."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            n = text[i + 1]
            if n in "nrt":
                out.append({"n": "\n", "r": "\r", "t": "\t"}[n])
                i += 2
            elif n in "\"\\":
                out.append(n)
                i += 2
            elif re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
            else:
                out.append(n)
                i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


class Trace:
    """The installer's Wine trace (its stdout/stderr file), parsed into drawing calls,
    invalidations, moves and download-service calls, each with its Wine time stamp."""

    def __init__(self, path):
        self.draws, self.redraws, self.moves, self.downloads, self.fixmes = [], [], [], [], []
        self.progress_calls = []  # (time, progress, maximum) the download service reported
        self.winhttp = []  # WinHTTP calls and their answers, in order
        text = Path(path).read_text(errors="replace") if Path(path).exists() else ""
        self._error_states = len(_ERROR_STATE.findall(text))
        for line in text.splitlines():
            m = _LINE.match(line)
            if not m:
                continue
            stamp, tid, kind, channel, function, rest = m.groups()
            t = float(stamp) if stamp else None
            if kind == "fixme":
                self.fixmes.append((channel, function, rest))
            elif channel == "text" and function == "DrawTextExW":
                d = _DRAW.match(rest)
                if d:
                    rect = tuple(int(v) for v in d.group(3, 4, 5, 6))
                    self.draws.append({"t": t, "tid": tid, "text": unescape(d.group(1)), "rect": rect,
                                       "flags": int(d.group(7), 16)})
            elif channel == "win" and function == "NtUserRedrawWindow":
                r = _REDRAW.match(rest)
                if r:
                    rect = tuple(int(v) for v in r.group(2, 3, 4, 5)) if r.group(2) else None
                    self.redraws.append({"t": t, "tid": tid, "hwnd": int(r.group(1), 16), "rect": rect,
                                         "flags": r.group(6)})
            elif channel == "win" and function == "NtUserMoveWindow":
                r = _MOVE.match(rest)
                if r:
                    x, y, w, h = (int(v) for v in r.group(2, 3, 4, 5))
                    self.moves.append({"t": t, "tid": tid, "hwnd": int(r.group(1), 16), "rect": (x, y, x + w, y + h),
                                       "repaint": r.group(6) == "1"})
            elif channel == "winhttp" and function.startswith("WinHttp"):
                if rest.startswith("returning "):
                    self.winhttp.append({"t": t, "tid": tid, "fn": function, "returned": rest.split(" ", 1)[1]})
                else:
                    self.winhttp.append({"t": t, "tid": tid, "fn": function, "args": rest})
            elif channel == "urlmon" and function == "DownloadBSC_OnProgress":
                c = re.match(r"^\w+\)->\((\d+) (\d+) (\d+) ", rest)
                if c:
                    self.progress_calls.append((t, int(c.group(1)), int(c.group(2))))
            elif channel == "urlmon" and function == "URLDownloadToFileW":
                u = _URL.match(rest)
                if u:
                    self.downloads.append({"t": t, "tid": tid, "url": unescape(u.group(1)),
                                           "file": unescape(u.group(2))})

    def face_texts(self):
        """Texts the main window painted across its whole width (the status band), in drawing
        order, with repeats of the same text in the same rectangle folded."""
        out = []
        for d in self.draws:
            if d["rect"][0] != 0 or d["rect"][2] != 500:
                continue
            if out and out[-1]["text"] == d["text"] and out[-1]["rect"] == d["rect"]:
                continue
            out.append(d)
        return out

    def status_lines(self):
        """The main status line as painted: rectangles (0,133)-(500,163) normally and, for the
        expanded layout's bottom above its top, the equivalent (0,113)-(500,143)."""
        return [d for d in self.face_texts() if d["rect"] in (STATUS_RECT, EXPANDED_STATUS_RECT)]

    def detail_lines(self):
        """The detail line as painted: (0,133)-(500,193) normally, and the expanded layout's
        (0,133)-(500,153), which is drawn as it is (a sample painted only after the expansion, as
        on a slow machine, is counted too)."""
        return [d for d in self.face_texts() if d["rect"] in (DETAIL_RECT, EXPANDED_DETAIL_RECT)]

    def statuses(self, expanded=True, welcome=False):
        """The status lines drawn, each change once: what a user watching the window read. The
        welcome's second line shares the status rectangle and counts only with welcome=True;
        expanded=False reads the normal layout's rectangle alone."""
        rects = (STATUS_RECT, EXPANDED_STATUS_RECT) if expanded else (STATUS_RECT,)
        return _changes(d["text"] for d in self.draws
                        if d["rect"] in rects and (welcome or d["text"] != WELCOME_LINE))

    def details(self):
        return _changes(d["text"] for d in self.draws if d["rect"] in (DETAIL_RECT, EXPANDED_DETAIL_RECT))

    def error_state_requests(self):
        """How often the bar was told to enter its error state. Wine 8's progress bar does not
        implement states: it keeps answering PBST_NORMAL and drawing in the normal colour, and
        logs each request it cannot handle, which is what this counts."""
        return self._error_states

    def texts(self):
        return [d["text"] for d in self.draws]
