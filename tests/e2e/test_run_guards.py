"""What a run checks and holds so that its report and exit status can only tell this run's truth:
exact paths, no stale result file, a report kept over a file another program put in its place, a
report path beyond MAX_PATH, and a library search without the current folder."""

import contextlib
import os
import shutil
import subprocess
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

from test_failures import (EXIT_FAILED_BEFORE_CALL, EXIT_FAILURE_REPORTED, EXIT_REPORT_WRITTEN,
                           ONE_NUMBER_JOB, OLD_REPORT, SENT_TEXT, FailureTestCase, error_line,
                           report_line, result_directive)
from wine_programs import wine_path


class GuardTestCase(FailureTestCase):

    def assertNotCalled(self):
        self.assertFalse(self.record_file.exists(), "the library was called")


class ExactPathTests(GuardTestCase):
    """A path that has no exact form in code page 932 never reaches the library: a near
    equivalent, a backslash for a yen sign, or a '?' could name another file."""

    # Each with what the system's best-fit conversion would make of it: a file that exists here.
    CASES = {"e with acute": ("jobé", "jobe"), "yen signs": ("x¥..¥a", "a"),
             "snowman": ("☃", "X"), "emoji": ("\U0001F4E0", "XY"), "no mapping": ("丂", "X")}

    def setUp(self):
        super().setUp()
        for _, decoy in self.CASES.values():
            self.write_job(decoy + ".txt")

    def test_job_path_without_an_exact_form(self):
        report = self.path("out", "r.txt")
        # Linux names cannot hold a lone surrogate, but Windows drops "\\name\\.." before it
        # looks at the disk, so the job file is found while the path still holds it.
        cases = {case: wine_path(self.write_job(name + ".txt"))
                 for case, (name, _) in self.CASES.items()}
        cases["lone surrogate"] = wine_path(self.scratch) + "\\\ud800\\..\\jobe.txt"
        for case, job in cases.items():
            with self.subTest(case):
                result = self.run_faxjob(f" {job} {wine_path(report)}")
                self.assertNoWindow(result)
                self.assertNotCalled()
                self.assertEqual(result.exit_code, EXIT_FAILED_BEFORE_CALL)
                self.assertEqual(report.read_bytes(), error_line(52))

    def test_report_folder_without_an_exact_form(self):
        # With best fit, "q¥..¥..¥other" would put RESULT.TXT into the folder "other".
        other = self.make_folder("other")
        cases = {case: self.make_folder("reports", name) for case, (name, _) in self.CASES.items()}
        cases["yen signs"] = self.make_folder("reports", "q¥..¥..¥other")
        cases["lone surrogate"] = self.make_folder("reports", "plain")
        for case, folder in cases.items():
            with self.subTest(case):
                argument = wine_path(folder)
                if case == "lone surrogate":
                    argument += "\\\ud800\\.."
                result = self.run_job(ONE_NUMBER_JOB, argument + "\\r.txt")
                self.assertNotCalled()
                self.assertEqual(result.exit_code, EXIT_FAILED_BEFORE_CALL)
                self.assertEqual((folder / "r.txt").read_bytes(), error_line(52))
                self.assertEqual(os.listdir(folder), ["r.txt"])
        self.assertEqual(os.listdir(other), [])


class StaleResultFileTests(GuardTestCase):
    """A RESULT.TXT left from an earlier run is removed before the call, so it can never be
    reported as this run's."""

    def setUp(self):
        super().setUp()
        self.report = self.path("out", "r.txt")
        self.result_file = self.path("out", "RESULT.TXT")

    def test_a_library_that_writes_no_result_file(self):
        job = self.write_job("job.txt", ["!no-result"])
        # Returns 0 without writing; or, given a pattern it cannot open, returns -16.
        for case, job_argument in (("returns 0", wine_path(job)),
                                   ("returns -16", wine_path(self.scratch) + "\\jo?.txt")):
            with self.subTest(case):
                self.result_file.write_bytes(b"/R 7\r\n/R 8\r\n/R 9\r\n")
                result = self.run_faxjob(f" {job_argument} {wine_path(self.report)}")
                self.assertNoWindow(result)
                self.received_record()
                self.assertEqual(result.exit_code, EXIT_FAILURE_REPORTED)
                self.assertEqual(self.report.read_bytes(), error_line(53))
                self.assertFalse(self.result_file.exists())

    def test_a_result_file_that_cannot_be_removed_stops_the_run(self):
        self.result_file.write_bytes(b"/R 7\r\n")
        with self.subTest("held by another process"), self.holding(self.result_file):
            result = self.run_job(ONE_NUMBER_JOB, wine_path(self.report))
            self.assertEqual(result.exit_code, EXIT_FAILED_BEFORE_CALL)
            self.assertEqual(self.report.read_bytes(), error_line(70))
        with self.subTest("a folder"):
            self.result_file.unlink()
            self.result_file.mkdir()
            result = self.run_job(ONE_NUMBER_JOB, wine_path(self.report))
            self.assertEqual(result.exit_code, EXIT_FAILED_BEFORE_CALL)
            self.assertEqual(self.report.read_bytes(), error_line(75))
        self.assertNotCalled()

    @contextlib.contextmanager
    def held(self, path, time, *options):
        """Holds path in hold.exe for time, with these options, while the block runs, and yields
        hold.exe's process."""
        holder = subprocess.Popen([self.wine, str(self.artifacts.hold_exe), *options,
                                   wine_path(path), time], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            answer = holder.stdout.readline().decode("ascii", "replace").strip()
            if answer != "held":
                self.fail(f"hold.exe could not open {path}: {answer}")
            yield holder
        finally:
            holder.stdin.close()  # end of input lets hold.exe close the file and end
            holder.wait(timeout=self.RUN_TIMEOUT)
            holder.stdout.close()

    def test_a_moments_hold_on_the_old_result_file_is_waited_out(self):
        # A virus scanner that has the old file open as faxjob starts: shared with nobody for
        # half a second, or shared for removal throughout, so that the removed file stays until
        # the scanner lets go.
        own_entries = [result_directive("/R 4\r\n/R 5\r\n")]
        cases = {"shared with nobody": ("500", "--ms", "--from-start-of",
                                        wine_path(self.faxjob_exe)),
                 "shared for removal": ("300", "--share-delete")}
        for case, hold in cases.items():
            with self.subTest(case):
                self.result_file.write_bytes(b"/R 7\r\n")
                with self.held(self.result_file, *hold) as holder:
                    result = self.run_job(own_entries, wine_path(self.report))
                self.assertEqual(holder.returncode, 0, "hold.exe did not see faxjob start")
                self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
                self.assertEqual(self.report.read_bytes(),
                                 report_line(4, SENT_TEXT) + report_line(5, SENT_TEXT))
                self.assertEqual(sorted(os.listdir(self.report.parent)),
                                 ["FAXJOB.LCK", "RESULT.TXT", "r.txt"])


class ReportTargetTests(GuardTestCase):
    """A file that another program puts at the report path while the library runs is replaced
    when the report is kept, as Windows lets it be: one held open for a moment without sharing
    its removal, and a read-only one. A user's file named like the program's own temporary files
    is no leftover of a run."""

    CALL_MS = 6000  # hold.exe starts well within it, under emulation too

    def run_with_a_file_put_in_place(self, put):
        """Runs a one-number job whose library call sleeps; `put` runs once the call has begun,
        and gives a function that runs once the call has ended, or None."""
        out = self.make_folder("out")
        report = out / "r.txt"
        job = self.write_job("job.txt", [f"!sleep {self.CALL_MS}", *ONE_NUMBER_JOB])
        with ThreadPoolExecutor(1) as pool:
            run = pool.submit(self.run_faxjob, f" {wine_path(job)} {wine_path(report)}")
            deadline = time.monotonic() + self.RUN_TIMEOUT
            while not self.record_file.exists():  # the stand-in saves it as the call begins
                self.assertFalse(run.done(), "the run ended before the library was called")
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.01)
            after_call = put(report)
            self.assertFalse((out / "RESULT.TXT").exists(), "the file came after the call")
            while after_call and not (out / "RESULT.TXT").exists() and not run.done():
                time.sleep(0.01)
            if after_call:
                after_call()
            result = run.result()
        self.assertNoWindow(result)
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual(report.read_bytes(), report_line(1, SENT_TEXT))
        self.assertEqual(sorted(os.listdir(out)), ["FAXJOB.LCK", "RESULT.TXT", "r.txt"])

    def test_a_report_target_held_for_a_moment_without_delete_sharing_is_replaced(self):
        holder = None

        def hold(report):
            nonlocal holder
            report.write_bytes(OLD_REPORT)
            holder = subprocess.Popen([self.wine, str(self.artifacts.hold_exe), wine_path(report),
                                       "120"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL)
            self.addCleanup(holder.wait, timeout=self.RUN_TIMEOUT)
            self.addCleanup(holder.stdout.close)
            self.addCleanup(lambda: holder.stdin.closed or holder.stdin.close())
            self.assertEqual(holder.stdout.readline().strip(), b"held")
            # Let go a moment after the call, while the run tries to keep its report.
            return lambda: (time.sleep(0.3), holder.stdin.close())

        self.run_with_a_file_put_in_place(hold)

    def test_a_read_only_report_target_is_replaced(self):
        def make_read_only(report):
            report.write_bytes(OLD_REPORT)
            report.chmod(0o444)  # Wine shows a file that nobody may write as read-only
            return None

        self.run_with_a_file_put_in_place(make_read_only)

    def test_a_users_file_named_like_a_leftover_survives_a_run(self):
        out = self.make_folder("out")
        notes = out / "~faxjob-notes.tmp"
        notes.write_bytes(b"notes")
        (out / "~faxjob-4321-7.tmp").write_bytes(b"left by a run ended from outside")
        result = self.run_job(ONE_NUMBER_JOB, out / "r.txt")
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual(notes.read_bytes(), b"notes")
        self.assertEqual(sorted(os.listdir(out)),
                         ["FAXJOB.LCK", "RESULT.TXT", "r.txt", "~faxjob-notes.tmp"])


class LongReportPathTests(GuardTestCase):
    """A report path beyond MAX_PATH (260 characters) in a folder short enough for the result
    path's slot: faxjob's own file operations take its extended-length form. Wine has no MAX_PATH
    limit, so this shows that each of them, the fault path's too, works in that form; that the
    limit of Windows without long-path support is lifted rests on the unit tests' model of it."""

    def test_a_report_path_longer_than_max_path(self):
        out = self.make_folder("out")
        name = "r" * 240 + ".txt"
        report = wine_path(out) + "\\" + name
        self.assertGreater(len(report), 260)
        result = self.run_job(ONE_NUMBER_JOB, report)
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual((out / name).read_bytes(), report_line(1, SENT_TEXT))
        crashed = self.run_job(["!crash"], report)
        self.assertErrorReport(crashed, out / name, 51)


class LibrarySearchTests(GuardTestCase):

    def test_a_library_in_the_working_folder_only_is_not_loaded(self):
        working = self.make_folder("jobs")
        shutil.move(self.fax_library, working / "ZRQINT32.DLL")
        report = self.path("out", "r.txt")
        result = self.run_job(ONE_NUMBER_JOB, wine_path(report), cwd=working)
        self.assertNotCalled()
        self.assertEqual(result.exit_code, EXIT_FAILED_BEFORE_CALL)
        self.assertEqual(report.read_bytes(), error_line(53))


if __name__ == "__main__":
    unittest.main()
