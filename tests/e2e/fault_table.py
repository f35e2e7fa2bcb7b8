"""Rows of the fault table the runner prints at the end of a run.

A fault scenario opens its row at the start and fills it in as its checks pass:

    row = fault_table.Row(self, "lookup body of 2049 bytes")
    ...
    row.seen("Cannot download MORVELT package, please try again.; InstallFailed reported")
    ...                                  # the checks of what the server and the disk keep
    row.lost("nothing")

One JSON file per row, beside the scenario's artifacts, written at every change: a scenario that
fails half-way leaves its row saying what was established before it failed. The runner matches
rows to scenario results, so the result column is the scenario's own.
"""

import json
import re

import harness

ROWS = harness.ARTIFACTS / "fault-rows"
NOT_ESTABLISHED = "(not established)"


def _name(text):
    return re.sub(r"[^A-Za-z0-9_.-]", "_", text)


class Row:
    def __init__(self, case, fault):
        self.scenario = case.id().replace("__main__.", "")
        self.data = {"scenario": self.scenario, "fault": fault, "seen": "", "lost": NOT_ESTABLISHED}
        ROWS.mkdir(parents=True, exist_ok=True)
        self.path = ROWS / ("%s--%s.json" % (_name(self.scenario), _name(fault)))
        self._write()

    def seen(self, text):
        """What the user saw and the server recorded, in short."""
        self.data["seen"] = text
        self._write()
        return self

    def lost(self, text):
        """What was lost on disk or in the record: "nothing" once every check of it has passed."""
        self.data["lost"] = text
        self._write()
        return self

    def _write(self):
        self.path.write_text(json.dumps(self.data))


def clear(scenarios):
    """Removes earlier rows of the scenarios about to run."""
    names = {_name(s) for s in scenarios}
    for p in ROWS.glob("*.json") if ROWS.exists() else []:
        if p.name.split("--")[0] in names:
            p.unlink()


def rows_for(scenarios):
    out = []
    wanted = set(scenarios)
    for p in sorted(ROWS.glob("*.json")) if ROWS.exists() else []:
        try:
            row = json.loads(p.read_text())
        except (OSError, ValueError):
            continue
        if row.get("scenario") in wanted:
            out.append(row)
    return out


def render(rows, results):
    """The table as text: scenario (fault), result, what was seen, what was lost."""
    if not rows:
        return ""
    lines = ["", "Fault table (%d rows)" % len(rows)]
    fault_w = min(48, max(len(r["fault"]) for r in rows))
    lines.append("%-*s  %-7s  %-24s  %s" % (fault_w, "fault", "result", "lost", "seen"))
    lines.append("-" * (fault_w + 2 + 7 + 2 + 24 + 2 + 40))
    for r in sorted(rows, key=lambda r: (r["scenario"], r["fault"])):
        result = results.get(r["scenario"], "not run")
        lines.append("%-*s  %-7s  %-24s  %s" % (fault_w, r["fault"][:fault_w], result, r["lost"][:24], r["seen"]))
    lost = [r for r in rows if r["lost"] != "nothing"]
    lines.append("rows with something lost or not established: %d" % len(lost))
    return "\n".join(lines)
