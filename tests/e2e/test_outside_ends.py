"""Runs that end other than by the program's own choosing: killed at any moment, ended by the
library during its call, or held up by a library's detach code; a program on a window station
that nobody sees; and a library that moves the current folder. Whatever happens, the report is
this run's complete report or none, never an old, partial or empty one."""

import collections
import os
import random
import shutil
import statistics
import unittest

from harness import RECORD_SIZE, wine_path
from test_failures import (EXIT_REPORT_WRITTEN, ONE_NUMBER_JOB, OLD_REPORT, SENT_TEXT,
                           FailureTestCase, report_line)

EXIT_NOTHING_SENT = 3
SEED_VARIABLE = "FAXJOB_KILL_SEED"
FOLLOW_UP_JOB = ("03-1111-2222", "03-3333-4444")


class OutsideEndsTestCase(FailureTestCase):

    def use_library(self, name):
        shutil.copyfile(self.artifacts.build_dir / "testdlls" / name, self.fax_library)


class KillTests(OutsideEndsTestCase):
    """A seeded random campaign of kills over an old report: from the start of the run, during a
    slow library call, and during the transcription of a long result file. After each, the next
    run into the same folder must succeed."""

    KILLS = {"from the start": 40, "during a slow call": 30, "during the transcription": 30}
    SLOW_CALL_MS = 600
    LONG_RESULT_ENTRIES = 2_000_000

    def setUp(self):
        super().setUp()
        self.report = self.path("out", "r.txt")

    def outcome(self, result, complete: bytes) -> str:
        """How a killed run left the report: absent, complete, or untouched (the old report,
        which only a run killed before its library call may leave)."""
        if not self.report.exists():
            return "absent"
        content = self.report.read_bytes()
        if content == complete:
            return "complete"
        called = self.record_file.exists()
        if content == OLD_REPORT and not called:
            return "untouched"
        kind = ("the old report" if content == OLD_REPORT else "an empty report" if not content
                else f"a partial report of {len(content)} bytes (of {len(complete)})")
        self.fail(f"{kind} after a run that was {'killed' if result.killed else 'not killed'}"
                  f", exit status {result.exit_code}, library {'' if called else 'not '}called")

    def kill_run(self, job_lines, complete: bytes, launch_options) -> tuple:
        self.report.write_bytes(OLD_REPORT)
        self.record_file.unlink(missing_ok=True)
        result = self.run_job(job_lines, self.report, launch_options=launch_options)
        outcome = self.outcome(result, complete)
        if not result.killed:
            self.assertEqual((result.exit_code, outcome), (EXIT_REPORT_WRITTEN, "complete"))
        follow_up = self.run_job(FOLLOW_UP_JOB, self.report, save_record=False)
        self.assertEqual(follow_up.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual(self.report.read_bytes(),
                         report_line(1, SENT_TEXT) + report_line(2, SENT_TEXT))
        return result.killed, outcome

    def long_result(self):
        """A prepared RESULT.TXT of many entries, and the complete report for it."""
        numbers = range(1, self.LONG_RESULT_ENTRIES + 1)
        prepared = self.path("long-result.txt")
        prepared.write_bytes(b"".join(b"/R %d\r\n" % n for n in numbers))
        text = SENT_TEXT.encode("cp932")
        return prepared, b"".join(b"%06d,%s\r\n" % (n, text) for n in numbers)

    def test_a_kill_at_any_moment_leaves_the_complete_report_or_none(self):
        seed = int(os.environ.get(SEED_VARIABLE) or random.SystemRandom().randrange(1 << 32))
        print(f"\nkill campaign seed {seed} ({SEED_VARIABLE}={seed} repeats it)")
        chooser = random.Random(seed)
        one_entry = report_line(1, SENT_TEXT)
        # The kills from the start spread over a whole run, as long as the runs here take.
        whole_run_ms = int(1000 * statistics.median(
            self.run_job(ONE_NUMBER_JOB, self.report).elapsed for _ in range(5)))
        prepared, long_report = self.long_result()
        prepared_size = prepared.stat().st_size
        phases = {
            "from the start": lambda: (ONE_NUMBER_JOB, one_entry, [
                "--kill-after-ms", str(chooser.randint(0, whole_run_ms))]),
            "during a slow call": lambda: (ONE_NUMBER_JOB + (f"!sleep {self.SLOW_CALL_MS}",),
                                           one_entry, [
                "--kill-at-size", wine_path(self.record_file), str(RECORD_SIZE),
                "--kill-after-ms", str(chooser.randint(0, self.SLOW_CALL_MS))]),
            "during the transcription": lambda: ((f"!result-file {wine_path(prepared)}",),
                                                 long_report, [
                "--kill-at-size", wine_path(self.report),
                str(chooser.randint(len(OLD_REPORT) + 1, len(long_report)))]),
        }
        counts = {}
        for phase, make_run in phases.items():
            counts[phase] = collections.Counter()
            for _ in range(self.KILLS[phase]):
                killed, outcome = self.kill_run(*make_run())
                counts[phase].update([outcome] + (["killed"] if killed else []))
        for phase, counted in counts.items():
            print(f"{phase}: {self.KILLS[phase]} runs, {counted['killed']} killed; "
                  + ", ".join(f"{counted[o]} {o}" for o in ("absent", "complete", "untouched")))
        self.assertEqual(prepared.stat().st_size, prepared_size,
                         "the prepared result file was changed through a RESULT.TXT linked to it")
        for phase, counted in counts.items():
            self.assertGreaterEqual(counted["killed"], self.KILLS[phase] // 2,
                                    f"{phase}: most runs ended before their kill")


class LibraryEndsTheProcessTests(OutsideEndsTestCase):
    """A library that ends the process during its call: the run has not told its outcome, so
    the report holds the error line of an internal error."""

    def test_exit_process_and_the_runtime_exit(self):
        cases = (("ExitProcess 0", "ENDSPROC.dll", 0), ("ExitProcess 1", "ENDSPROC.dll", 1),
                 ("ExitProcess 3", "ENDSPROC.dll", 3), ("exit 0", "CALLSEXIT.dll", 0))
        for i, (case, library, code) in enumerate(cases):
            with self.subTest(case):
                self.use_library(library)
                report = self.path(f"out{i}", "r.txt")
                report.write_bytes(OLD_REPORT)
                result = self.run_job(ONE_NUMBER_JOB, report, env={"ZRQ_EXIT_CODE": str(code)})
                self.assertErrorReport(result, report, 51)


class BlockingDetachTests(OutsideEndsTestCase):

    def test_a_library_whose_detach_never_returns(self):
        # Ending the process the ordinary way would wait for that detach for good.
        self.use_library("BLOCKDET.dll")
        report = self.path("out", "r.txt")
        report.write_bytes(OLD_REPORT)
        result = self.run_job(ONE_NUMBER_JOB, report, timeout=30)
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual(report.read_bytes(), report_line(1, SENT_TEXT))


class InvisibleWindowStationTests(OutsideEndsTestCase):
    """On a window station that nobody sees (a service's, a scheduled task's), a message box
    would wait for good."""

    def test_an_argument_error_shows_no_box_there(self):
        report = self.path("out", "r.txt")
        arguments = f" {wine_path(self.scratch / 'missing.txt')} {wine_path(report)}"
        self.assertArgumentError(self.run_faxjob(arguments))
        unseen = self.run_faxjob(arguments, timeout=30, launch_options=["--invisible-desktop"])
        self.assertIs(unseen.station_visible, False)
        self.assertNoWindow(unseen)
        self.assertEqual(unseen.exit_code, EXIT_NOTHING_SENT)
        self.assertEqual(self.scratch_files(), set())


class ChangedCurrentFolderTests(OutsideEndsTestCase):

    def test_a_relative_report_path_stays_where_the_run_started(self):
        # The library gets the paths as given, so it writes RESULT.TXT into the folder it moved
        # to; the run reads and reports in the folder it started in.
        self.use_library("CHANGEDIR.dll")
        started_in = self.make_folder("A")
        moved_to = self.make_folder("B")
        for folder in (started_in, moved_to):
            (folder / "RESULT.TXT").write_bytes(b"/R 7\r\n")
        job = self.write_job("job.txt")
        result = self.run_faxjob(f" {wine_path(job)} r.txt", cwd=started_in,
                                 env={"ZRQ_CHANGE_TO": wine_path(moved_to)})
        self.assertNoWindow(result)
        self.assertEqual(os.listdir(started_in), ["r.txt"])
        self.assertEqual(os.listdir(moved_to), ["RESULT.TXT"])
        self.assertErrorReport(result, started_in / "r.txt", 53)
        self.assertEqual((moved_to / "RESULT.TXT").read_bytes(), b"/R 1\r\n")


if __name__ == "__main__":
    unittest.main()
