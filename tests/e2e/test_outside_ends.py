"""Runs that end other than by the program's own choosing: ended by the library during its
call or by a library thread just after it, or held up by a library's detach code; a program on a
window station that nobody sees; and a library that moves the current folder. Whatever happens,
the report is this run's complete report or none, never an old, partial or empty one."""

import collections
import os
import shutil
import threading
import time
import unittest

from test_failures import (EXIT_FAILURE_REPORTED, EXIT_FAILURE_UNREPORTED, EXIT_NOTHING_SENT,
                           EXIT_REPORT_WRITTEN, ONE_NUMBER_JOB, OLD_REPORT, SENT_TEXT,
                           FailureTestCase, error_line, report_line)
from wine_programs import wine_path

LATE_END_RUNS_VARIABLE = "FAXJOB_LATE_END_RUNS"  # the soak: 200 and more


class OutsideEndsTestCase(FailureTestCase):

    def use_library(self, name):
        shutil.copyfile(self.artifacts.build_dir / "testdlls" / name, self.fax_library)


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


class LateLibraryThreadTests(OutsideEndsTestCase):
    """A library thread that ends the process, or faults, a few milliseconds after the call
    returned, while the run transcribes, keeps and closes the report: one of the two ends the
    process. Each run ends by itself, with its complete report and 0, or with the error line
    after the entries read (or alone) and 1, or, where the end came while a write was under way
    and failed, with 2 and no report; never 0 beside an error line. A report that has taken its
    name is final: a watcher that reads it the moment it appears never sees it go."""

    RUNS = 6  # of each route in the ordinary suite

    def watched_runs(self, how, count):
        out = self.make_folder(f"out-{how}")
        job = self.write_job(f"job-{how}.txt", ONE_NUMBER_JOB)
        reports = [out / f"r{i}.txt" for i in range(count)]
        seen, vanished, done = {}, [], threading.Event()

        def watch():
            while not done.is_set():
                for report in reports:
                    try:
                        content = report.read_bytes()
                    except OSError:
                        if report in seen:
                            vanished.append(report.name)
                        continue
                    if seen.setdefault(report, content) != content:
                        vanished.append(f"{report.name} changed")
                time.sleep(0.001)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            results = self.run_series([(f'"{wine_path(self.faxjob_exe)}" {wine_path(job)} '
                                        f'{wine_path(report)}', ()) for report in reports],
                                      env={"ZRQ_LATE_HOW": how})
        finally:
            done.set()
            watcher.join()
        return out, reports, results, seen, vanished

    def test_the_run_and_a_late_library_thread_never_both_end_the_process(self):
        count = int(os.environ.get(LATE_END_RUNS_VARIABLE) or self.RUNS)
        self.use_library("LATEEND.dll")
        entry, line = report_line(1, SENT_TEXT), error_line(51)
        allowed = {(EXIT_REPORT_WRITTEN, entry), (EXIT_FAILURE_REPORTED, entry + line),
                   (EXIT_FAILURE_REPORTED, line), (EXIT_FAILURE_UNREPORTED, None)}
        for how in ("exit", "fault"):
            with self.subTest(how):
                out, reports, results, seen, vanished = self.watched_runs(how, count)
                outcomes = [(run.exit_code, report.read_bytes() if report.exists() else None)
                            for run, report in zip(results, reports)]
                print(f"\n{how}: " + ", ".join(
                    f"{number} x {status}{' with the error line' if text and line in text else ''}"
                    for (status, text), number in collections.Counter(outcomes).items()))
                self.assertEqual([o for o in outcomes if o not in allowed], [])
                self.assertEqual(vanished, [], "a report went or changed after it had its name")
                for report, content in seen.items():
                    self.assertEqual(report.read_bytes(), content)
                self.assertEqual([name for name in os.listdir(out) if not name.startswith("r")
                                  and name not in ("RESULT.TXT", "FAXJOB.LCK")], [])


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


    def test_no_box_of_the_library_or_its_runtime_waits_there(self):
        # The runtime's box for a failed assert after _set_error_mode(_OUT_TO_MSGBOX), and boxes
        # the library shows itself, through its import and through GetProcAddress: each is
        # answered at once with its default button.
        for library, status, report_text in (
                ("ERRBOX.dll", EXIT_FAILURE_REPORTED, error_line(51)),
                ("BOXES.dll", EXIT_REPORT_WRITTEN, report_line(1, SENT_TEXT))):
            with self.subTest(library):
                self.use_library(library)
                report = self.path(f"out-{library}", "r.txt")
                job = self.write_job("job.txt", ONE_NUMBER_JOB)
                unseen = self.run_faxjob(f" {wine_path(job)} {wine_path(report)}", timeout=40,
                                         launch_options=["--invisible-desktop"])
                self.assertNoWindow(unseen)
                self.assertEqual((unseen.exit_code, report.read_bytes()), (status, report_text))


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
        self.assertEqual(sorted(os.listdir(started_in)), ["FAXJOB.LCK", "r.txt"])  # A's turn
        self.assertEqual(os.listdir(moved_to), ["RESULT.TXT"])
        self.assertErrorReport(result, started_in / "r.txt", 53)
        self.assertEqual((moved_to / "RESULT.TXT").read_bytes(), b"/R 1\r\n")


if __name__ == "__main__":
    unittest.main()
