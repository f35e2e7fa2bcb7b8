"""The abort, over and over: at every stage of a running attempt, many times with random timing, a
fresh installer process each time inside one session per stage. Every repetition must end the same
way: the report the stage calls for, and the last thing the server hears from that process; the
process gone within 3 s of Yes with exit code 0, no crash (no "Unhandled" in Wine's output, no
crash dialog), no box after the answer; the package file gone (none of these stages is the
restart-pending one, which alone keeps it), nothing else in the temporary folder.

    E2E_ABORT_REPEATS=20 E2E_ABORT_SEED=1234 bash scripts/e2e.sh test_abort_soak

The seed is printed at the start of each stage and kept in soak.json with every repetition's delays
and times; each stage draws from its own generator, so one stage replays alone."""

import json
import os
import random
import re
import sys
import time
import unittest
from pathlib import Path

import fault_table
from install_support import (
    ABORT_QUESTION, BLANK_ZERO, CLOSE_PRODUCT, INSTALLING, PACKAGE, WM_CLOSE, InstallCase, abort_detail,
    request_kind, without_emulated_end_faults)
from harness import job_outlived_by_its_programs
from restart_support import cmd_script

# One repetition a stage in the test command: the random timing varies from run to run, and
# the fixed stages of test_abort pin the rest (the connecting, downloading, stalled, prompt and
# outcome stages are only here, with every check and bound they had there). E2E_ABORT_REPEATS=20
# is the long run.
REPEATS = int(os.environ.get("E2E_ABORT_REPEATS", "1"))
SEED = int(os.environ.get("E2E_ABORT_SEED") or random.SystemRandom().randrange(1 << 31))
EXIT_LIMIT = 3.0
MAX_FAILURES = 3  # then the stage stops: the world it left may spoil the rest
CRASH_SIGNS = re.compile(r"wine: Unhandled|Unhandled exception|Unhandled page fault|Assertion .* failed|"
                         r"err:seh:|wine client error|Segmentation fault")


def set_api_delay(s, seconds):
    s.config["api"] = dict(s.config["api"], delay=seconds)
    s._write_config()


def percent_shown(run):
    shown = [t for t in run.statuses() if t.startswith("Downloading MORVELT... ")]
    return int(shown[-1].split()[-1].rstrip("%")) if shown else -1


class Rep:
    """One repetition's record."""

    def __init__(self, index):
        self.index = index
        self.data = {"rep": index}
        self.started = time.monotonic()

    def note(self, **kw):
        self.data.update(kw)


class AbortSoak(InstallCase):
    """One session per stage; each repetition is a new installer process in it."""

    def soak(self, stage, fault, expected_kinds, enter, close_via="glyph", after=None, check=None,
             package_stays=False, question_within=15):
        rng = random.Random("%d/%s" % (SEED, stage))
        print("\nabort soak %s: seed=%d repeats=%d (E2E_ABORT_SEED, E2E_ABORT_REPEATS replay it)"
              % (stage, SEED, REPEATS), file=sys.stderr, flush=True)
        row = fault_table.Row(self, fault)
        s = self.closing_session()  # set up by the stage's prepare(s)
        temp = self.temp_folder(s)
        temp_before = sorted(p.name for p in temp.iterdir())
        reps, failures = [], []
        for i in range(REPEATS):
            rep = Rep(i)
            reps.append(rep.data)
            run = None
            try:
                before = len(s.requests())
                run = enter(s, rng, rep)
                self.abort(s, run, rng, rep, close_via, question_within)
                self.assertSound(s, run, rep, before, expected_kinds, package_stays)
                if check:
                    check(s, run, rep, before)
                if after:
                    after(s, run, rep)
                # Nothing of the attempt is left in the temporary folder, nor its package folder.
                self.assertEqual(sorted(p.name for p in temp.iterdir()), temp_before,
                                 "the temporary folder as before")
                if not package_stays:
                    self.assertFalse(self.package_file(s).parent.exists(), "the package's folder is gone")
                rep.note(ok=True)
            except (AssertionError, TimeoutError) as e:
                rep.note(ok=False, failure=str(e)[:2000],
                         output=run.app.stdout_path.name if run else None,
                         tail=self.tail(run) if run else None)
                failures.append(rep.data)
                if run and run.app.running:
                    run.app.kill()
                if len(failures) >= MAX_FAILURES:
                    break
            finally:
                rep.note(cost_s=round(time.monotonic() - rep.started, 2))
                (s.artifacts / "soak.json").write_text(json.dumps(
                    {"stage": stage, "seed": SEED, "repeats": REPEATS, "reps": reps}, indent=1))
        done = [r for r in reps if r.get("ok")]
        worst = max((r["gone_after_s"] for r in reps if "gone_after_s" in r), default=None)
        costs = [r["cost_s"] for r in reps]
        print("abort soak %s: %d/%d sound, worst exit %.2f s after Yes, %.1f s a repetition (seed %d)"
              % (stage, len(done), REPEATS, worst or -1, sum(costs) / max(1, len(costs)), SEED),
              file=sys.stderr, flush=True)
        self.assertEqual(failures, [], "repetitions that were not sound (seed %d): %s"
                         % (SEED, json.dumps(failures, indent=1)))
        row.seen("%d aborts, each: %s; exit code 0, no crash, worst exit %.2f s after Yes; package file %s"
                 % (len(done), self.describe(expected_kinds), worst,
                    "kept while the package runs from it, deletable once it ended" if package_stays else "gone"))
        row.lost("nothing")
        return reps

    @staticmethod
    def describe(kinds):
        names = {0: "InstallStarted", 2: "DownloadFinished", 3: "InstallSucceeded", 7: "AbortedDuringDownload",
                 8: "AbortedDuringInstall", 9: "AbortedOther"}
        return " > ".join(names.get(k, str(k)) for k in kinds)

    @staticmethod
    def tail(run):
        path = Path(run.app.stdout_path)
        text = path.read_text(errors="replace") if path.exists() else ""
        lines = [l for l in text.splitlines() if "trace:text" not in l]
        return lines[-15:]

    # -- one abort --

    def abort(self, s, run, rng, rep, via, question_within=15):
        """Asks to close, waits a random time with the question open, answers Yes and watches the
        process go."""
        w = s.main_window(visible=False)
        before = {b["hwnd"] for b in s.msgboxes()}
        if via == "glyph":
            self.click_close_glyph(s)
        else:
            s.driver("post", w["hwnd"], WM_CLOSE, 0, 0)
        box = s.wait_for(lambda: [b for b in s.msgboxes()
                                  if b["text"] == ABORT_QUESTION and b["hwnd"] not in before and b["icon"]],
                         question_within, interval=0.1, what="the abort question, painted")[0]
        self.assertBox(box, ABORT_QUESTION, "question", ["Yes", "No"], w)
        wait = rng.uniform(0, 1.5)
        rep.note(question_open_s=round(wait, 2))
        time.sleep(wait)
        c = self.watch_close(s, run, lambda: s.press("Yes"), before | {box["hwnd"]}, timeout=15)
        rep.note(exit_code=c.exit_code, gone_after_s=round(c.gone_after, 3),
                 press_s=round(c.answered_at - c.pressed_at, 3), hidden_after_s=round(c.hidden_after, 3))
        run.closing = c

    def assertSound(self, s, run, rep, before, expected_kinds, package_stays=False):
        c = run.closing
        output = Path(run.app.stdout_path).read_text(errors="replace")
        crash = CRASH_SIGNS.search(without_emulated_end_faults(output))
        self.assertIsNone(crash, "crash signs in the output: %s" % (crash and crash.group(0)))
        self.assertEqual(c.exit_code, 0, "exit code (a negative one is the signal that ended it)")
        self.assertLess(c.gone_after, EXIT_LIMIT, "gone %.2f s after Yes" % c.gone_after)
        self.assertEqual([b["text"] for b in c.new_boxes], [], "no box after the answer")
        crash_windows = [x for x in s.windows() if "Program Error" in x["text"] or "winedbg" in x["text"].lower()]
        self.assertEqual(crash_windows, [], "no crash dialog")
        time.sleep(0.4)  # room for a request that should not come
        reqs = s.requests()[before:]
        kinds = [request_kind(r) for r in reqs]
        rep.note(kinds=kinds)
        self.assertEqual([k for k in kinds if k != 1], expected_kinds, "what the server heard")
        self.assertEqual(kinds.count(1), 1, "one SetupStarted")
        self.assertEqual(kinds[-1], expected_kinds[-1], "the abort report is the last request")
        self.assertGreaterEqual(reqs[-1]["t"], c.pressed_at, "the abort report came after the answer")
        rep.note(report=reqs[-1]["target"].split("&webinst=true")[-1],
                 report_after_yes_s=round(reqs[-1]["t"] - c.pressed_at, 3))
        if package_stays:
            # The package runs from it, so it cannot be deleted: the abort lets it be.
            self.assertEqual(self.package_file(s).read_bytes(), s.fake("package_fake.exe").read_bytes(),
                             "the package file stays, whole, while the package runs from it")
        else:
            self.assertFalse(self.package_file(s).exists(), "the package file is gone")
        run.requests = reqs

    # -- stages --

    def start_rep(self, s, env=None):
        return self.start(s, "/i", env=env)

    def test_while_connecting(self):
        def prepare(s):
            self.serve_package(s, lookup_delay=120)  # the server sits on every lookup
        self.prepare = prepare

        def enter(s, rng, rep):
            n = len(s.requests("/index.php"))
            since = len(s.requests())
            run = self.start_rep(s)
            s.wait_requests("/index.php", n + 1, timeout=30)
            started = [r for r in s.requests()[since:] if request_kind(r) == 0][0]
            # A whole second since the attempt began (less is the in-the-second scenario of
            # test_abort), then a random while longer.
            delay = max(0.0, started["t"] + 1.2 - time.time()) + rng.uniform(0, 1.8)
            rep.note(in_stage_s=round(delay, 2))
            time.sleep(delay)
            return run

        def check(s, run, rep, before):
            raw, speed, comp = abort_detail(run.requests[-1])
            self.assertEqual(comp, -1, "no progress yet")
            self.assertEqual(speed, 0.0, run.requests[-1]["target"])
            self.assertEqual(len(raw), len("%20") * 5 + len("0.000"), "ten characters wide: " + raw)
            self.assertEqual((raw, comp), (BLANK_ZERO, -1), "no progress yet: " + run.requests[-1]["target"])
            self.assertTrue(run.requests[-1]["target"].endswith("&type=7&speed=%s&comp=-1" % BLANK_ZERO),
                            run.requests[-1]["target"])
        self.soak("connecting", "abort while the lookup is held, repeated", [0, "lookup", 7], enter, check=check,
                  question_within=10)

    def test_while_downloading(self):
        size = 9_000_000

        def prepare(s):
            s.set_lookup(PACKAGE.encode())
            # 60 s: a loaded, emulated machine took 18 s from the first percentage to Yes, and with
            # the No first it answered Yes after the 40 s transfer had ended.
            s.set_download(PACKAGE, size=size, rate=150_000)
        self.prepare = prepare

        def enter(s, rng, rep):
            since = len(s.requests())
            begun = time.monotonic()
            run = self.start_rep(s)
            run.install_started = s.wait_for(lambda: [r for r in s.requests()[since:] if request_kind(r) == 0], 30,
                                             what="InstallStarted")[0]
            seen = time.monotonic()
            s.wait_for(lambda: percent_shown(run) >= 0, max(0.1, begun + 30 - time.monotonic()),
                       what="download progress")
            s.wait_for(lambda: percent_shown(run) >= 8, max(0.1, seen + 20 - time.monotonic()), what="some progress")
            # No first: the download goes on, and nothing is reported.
            self.click_close_glyph(s)
            self.wait_box(s, ABORT_QUESTION)
            s.press("No")
            s.wait_for(lambda: not s.msgboxes(), 5, what="the question to close")
            at_no = percent_shown(run)
            s.wait_for(lambda: percent_shown(run) >= at_no + 3, 10, what="the download going on after No")
            self.assertTrue(s.main_window()["visible"])
            self.assertEqual([k for k in self.kinds(s, since) if k != 1], [0, "lookup", "download"],
                             "No reports nothing")
            delay = rng.uniform(0, 5.0)
            rep.note(in_stage_s=round(delay, 2))
            time.sleep(delay)
            rep.note(percent_before=percent_shown(run))
            return run

        def check(s, run, rep, before):
            raw, speed, comp = abort_detail(run.requests[-1])
            shown = percent_shown(run)
            rep.note(comp=comp, shown=shown)
            self.assertTrue(0 <= comp < 100, comp)  # mid-transfer; how far depends on how slow the machine is
            # The last progress call may come after the last repaint.
            self.assertTrue(shown <= comp <= shown + 2, (comp, shown))
            self.assertGreaterEqual(speed, 0.0)
            self.assertAbortSpeed(run, run.closing, run.install_started, size, raw, speed, comp)
            # The transfer stopped at its next progress call: the abort, which waits up to 1 s for a
            # request the worker has under way, had no reason to wait.
            self.assertLess(run.requests[-1]["t"] - run.closing.answered_at, 0.9, "the download ended at once")
        self.soak("downloading", "abort while the package downloads, repeated", [0, "lookup", "download", 7],
                  enter, check=check, question_within=10)

    def test_while_the_download_stalls(self):
        def prepare(s):
            s.set_lookup(PACKAGE.encode())
            s.set_download(PACKAGE, size=2_000_000, rate=400_000, stall_after=300_000)
        self.prepare = prepare

        def enter(s, rng, rep):
            run = self.start_rep(s)
            s.wait_for(lambda: [t for t in run.statuses() if t.endswith(" 14%")], 20, what="the stall at 15 %")
            # No progress call comes any more after 1.5 s; then a random while longer.
            delay = 1.5 + rng.uniform(0, 2.0)
            rep.note(in_stage_s=round(delay, 2))
            time.sleep(delay)
            run.shown = run.statuses()[-1]
            return run

        def check(s, run, rep, before):
            raw, speed, comp = abort_detail(run.requests[-1])
            rep.note(comp=comp)
            self.assertIn(comp, (14, 15), "300 000 of 2 000 000 bytes")
            self.assertEqual(comp, 15, "300 000 of 2 000 000 bytes")
            self.assertTrue(run.shown.startswith("Downloading MORVELT... 1"), run.shown)
            # No progress call comes to stop the transfer: the abort waited its 1 s for it, then went on.
            self.assertGreater(run.requests[-1]["t"] - run.closing.answered_at, 0.9)
        self.soak("stalled", "abort while the download stalls, repeated", [0, "lookup", "download", 7], enter,
                  check=check, question_within=10)

    def test_while_the_product_prompt_is_open(self):
        def prepare(s):
            self.serve_package(s)
            self.start_product(s, hold_ms=900_000)
        self.prepare = prepare

        def enter(s, rng, rep):
            run = self.start_rep(s)
            self.wait_box(s, CLOSE_PRODUCT, 30)
            # The package the installer checked cannot be replaced, renamed or deleted meanwhile.
            package = self.package_file(s)
            checked = package.read_bytes()
            swap = cmd_script(s, 'copy /y C:\\fakes\\product_fake.exe "{0}"\nren "{0}" swapped.exe\ndel "{0}"\n'
                              .format(self.package_win(s)))
            self.assertEqual(package.read_bytes(), checked, "replaced while held: %s" % swap.stdout)
            self.assertFalse((package.parent / "swapped.exe").exists())
            delay = rng.uniform(0, 3.0)
            rep.note(in_stage_s=round(delay, 2))
            time.sleep(delay)
            return run

        def check(s, run, rep, before):
            self.assertTrue(run.requests[-1]["target"].endswith("&webinst=true&type=9"))
            self.assertEqual(self.package_log(s), "", "the package never ran")
            self.assertEqual([b for b in s.msgboxes() if b["text"] == CLOSE_PRODUCT], [], "the prompt went")
            self.assertEqual(s.msgboxes(), [], "the prompt went with the process")
        # The prompt disables the window: the close comes from the system.
        self.soak("prompt", "abort with the running product's prompt open, repeated",
                  [0, "lookup", "download", 2, 9], enter, close_via="post", check=check, question_within=10)

    def test_while_the_package_runs(self):
        def prepare(s):
            self.serve_package(s)
        self.prepare = prepare
        # 30 s: a loaded, emulated machine needs over 10 s from the package's start to Yes.
        env = {"MORVELT_FAKE_DELAY_MS": "30000", "MORVELT_FAKE_NOINSTALL": "1"}

        def log_count(s, text):
            return self.package_log(s).count(text)

        def enter(s, rng, rep):
            n = log_count(s, "knobs ")
            run = self.start_rep(s, env=env)
            s.wait_for(lambda: log_count(s, "knobs ") > n, 30, what="the package to start")
            s.wait_for(lambda: INSTALLING in run.statuses(), 8, what="the installing text")
            delay = rng.uniform(0, 2.5)
            rep.note(in_stage_s=round(delay, 2))
            time.sleep(delay)
            run.exits_before = log_count(s, "exit code=")
            return run

        def after(s, run, rep):
            # The package goes on by itself and ends (under Wine 10 the installer's job ends it: the
            # table); its end is not reported.
            self.assertEqual(log_count(s, "exit code="), run.exits_before, "the package outlived the installer")
            if job_outlived_by_its_programs():
                s.wait_for(lambda: log_count(s, "exit code=0") > run.exits_before, 45, what="the package to finish")
            time.sleep(0.3)
            self.assertEqual(request_kind(s.requests()[-1]), 8, "the package's end is not reported")
            # Only the running package held the file: once it has ended, a delete goes through.
            r = s.run(["wine", "cmd", "/c", "del", self.package_win(s)], timeout=30)
            self.assertFalse(self.package_file(s).exists(), "deletable after the package ended: %s" % r.stdout)

        self.soak("package", "abort while the package runs, repeated", [0, "lookup", "download", 2, 8], enter,
                  after=after, package_stays=True)

    def test_while_the_outcome_is_reported(self):
        def prepare(s):
            self.serve_package(s)
        self.prepare = prepare
        env = {"MORVELT_FAKE_DELAY_MS": "1500", "MORVELT_FAKE_NOINSTALL": "1"}

        def enter(s, rng, rep):
            n = self.package_log(s).count("knobs ")
            outcomes = len([r for r in s.requests() if request_kind(r) == 3])
            run = self.start_rep(s, env=env)
            try:
                s.wait_for(lambda: self.package_log(s).count("knobs ") > n, 30, what="the package to start")
                set_api_delay(s, 30)  # the server now sits on the outcome report
                s.wait_for(lambda: len([r for r in s.requests() if request_kind(r) == 3]) > outcomes, 10,
                           what="the outcome report")
            finally:
                set_api_delay(s, 0)
            delay = rng.uniform(0, 3.0)
            rep.note(in_stage_s=round(delay, 2))
            time.sleep(delay)
            return run

        def check(s, run, rep, before):
            self.assertEqual(run.statuses()[-1], INSTALLING, "the installed state was never shown")
            self.assertGreater(run.closing.gone_after, 0.9, "the abort waited for the report under way")
        self.soak("outcome", "abort while the outcome report is held, repeated", [0, "lookup", "download", 2, 3, 9],
                  enter, check=check, question_within=10)


if __name__ == "__main__":
    unittest.main()
