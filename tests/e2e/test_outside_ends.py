"""Runs that end other than by the program's own choosing: killed at any moment, ended by the
library during its call, or held up by a library's detach code; a program on a window station
that nobody sees; and a library that moves the current folder. Whatever happens, the report is
this run's complete report or none, never an old, partial or empty one."""

import collections
import os
import random
import shutil
import threading
import time
import unittest

from send_record import RECORD_SIZE
from wine_programs import wine_path
from test_failures import (EXIT_FAILURE_REPORTED, EXIT_FAILURE_UNREPORTED, EXIT_NOTHING_SENT,
                           EXIT_REPORT_WRITTEN,
                           ONE_NUMBER_JOB, OLD_REPORT, SENT_TEXT, FailureTestCase, error_line,
                           report_line)

SEED_VARIABLE = "FAXJOB_KILL_SEED"
LATE_END_RUNS_VARIABLE = "FAXJOB_LATE_END_RUNS"  # the soak: 200 and more
FOLLOW_UP_JOB = ("03-1111-2222", "03-3333-4444")


class OutsideEndsTestCase(FailureTestCase):

    def use_library(self, name):
        shutil.copyfile(self.artifacts.build_dir / "testdlls" / name, self.fax_library)


class KillTests(OutsideEndsTestCase):
    """A seeded random campaign of kills, each over an old report of its own in one folder:
    from the start of the run, during a slow library call, and during the transcription of a
    long result file. After each, a run into the same folder must succeed. The runs share a few
    starts of launch.exe, each of which costs about as much as a run under emulation."""

    # Some kills come too late, after the run's end: a few more from the start make up for them.
    KILLS = {"from the start": 45, "during a slow call": 30, "during the transcription": 30}
    SLOW_CALL_MS = 10000  # far longer than any kill delay below, so every such run is killed
    KILL_IN_CALL_MS = 500
    LONG_RESULT_ENTRIES = 2_000_000

    def command_line(self, job, report) -> str:
        return f'"{wine_path(self.faxjob_exe)}" {wine_path(job)} {wine_path(report)}'

    def long_result(self):
        """A prepared RESULT.TXT of many entries, and the complete report for it."""
        numbers = range(1, self.LONG_RESULT_ENTRIES + 1)
        prepared = self.path("long-result.txt")
        prepared.write_bytes(b"".join(b"/R %d\r\n" % n for n in numbers))
        text = SENT_TEXT.encode("cp932")
        return prepared, b"".join(b"%06d,%s\r\n" % (n, text) for n in numbers)

    @staticmethod
    def outcome(killed, report, record, complete: bytes) -> str:
        """How a run left its report: absent, complete, untouched (the old report, which only a
        run killed before its library call may leave), or what it should never be."""
        content = report.read_bytes() if report.exists() else None
        if not killed:
            return "complete" if content == complete else "incomplete after a run that ended"
        if content is None:
            return "absent"
        if content == complete:
            return "complete"
        if content == OLD_REPORT:
            return "old report after the call" if record.exists() else "untouched"
        return "empty" if not content else "partial" if complete.startswith(content) else "other"

    def test_a_kill_at_any_moment_leaves_the_complete_report_or_none(self):
        seed = int(os.environ.get(SEED_VARIABLE) or random.SystemRandom().randrange(1 << 32))
        print(f"\nkill campaign seed {seed} ({SEED_VARIABLE}={seed} repeats it)")
        chooser = random.Random(seed)
        out = self.make_folder("out")
        follow_up_job = self.write_job("follow-up.txt", FOLLOW_UP_JOB)
        follow_up_report = report_line(1, SENT_TEXT) + report_line(2, SENT_TEXT)
        warm_up = self.run_series([(self.command_line(follow_up_job, out / f"warm-up{i}.txt"), ())
                                   for i in range(5)])
        self.assertEqual([run.exit_code for run in warm_up], [EXIT_REPORT_WRITTEN] * 5)
        # Kills from the start land in the first three quarters of the fastest run: in its
        # start-up, mostly.
        start_up_ms = int(750 * min(run.elapsed for run in warm_up))
        prepared, long_report = self.long_result()
        prepared_size = prepared.stat().st_size
        one_entry = report_line(1, SENT_TEXT)
        # The report is written under a name of its own and takes its name only once it is whole:
        # a kill during the transcription watches that name, the one such name in the folder.
        writing = wine_path(out) + "\\~faxjob-*.tmp"

        def kill_run(phase, report, record):
            """(job lines, the complete report, launch options) for one kill."""
            if phase == "from the start":
                return ONE_NUMBER_JOB, one_entry, [
                    "--kill-after-ms", str(chooser.randint(0, start_up_ms))]
            if phase == "during a slow call":
                return ONE_NUMBER_JOB + (f"!sleep {self.SLOW_CALL_MS}",), one_entry, [
                    "--kill-at-size", wine_path(record), str(RECORD_SIZE),
                    "--kill-after-ms", str(chooser.randint(0, self.KILL_IN_CALL_MS))]
            return (f"!result-file {wine_path(prepared)}",), long_report, [
                "--kill-at-size", writing, str(chooser.randint(1, len(long_report)))]

        kills = []
        runs = []
        for phase, count in self.KILLS.items():
            for _ in range(count):
                i = len(kills)
                report = out / f"r{i}.txt"
                report.write_bytes(OLD_REPORT)
                record = self.path("records", f"{i}.bin")
                job_lines, complete, options = kill_run(phase, report, record)
                # The stand-in saves the record before anything else it does, so a record tells
                # that the library was called.
                job = self.write_job(f"kill{i}.txt",
                                     (f"!save-record {wine_path(record)}",) + job_lines)
                runs += [(self.command_line(job, report), options),
                         (self.command_line(follow_up_job, out / f"after{i}.txt"), ())]
                kills.append((phase, report, record, complete))
        results = self.run_series(runs)

        counts = {phase: collections.Counter() for phase in self.KILLS}
        seconds_in_wine = collections.Counter()
        faults = []
        for i, (phase, report, record, complete) in enumerate(kills):
            run, follow_up = results[2 * i], results[2 * i + 1]
            outcome = self.outcome(run.killed, report, record, complete)
            counts[phase].update([outcome] + (["killed"] if run.killed else []))
            seconds_in_wine[phase] += run.elapsed
            if outcome not in ("absent", "complete", "untouched"):
                faults.append(f"run {i} ({phase}): {outcome}")
            if not run.killed and run.exit_code != EXIT_REPORT_WRITTEN:
                faults.append(f"run {i} ({phase}): ended by itself with status {run.exit_code}")
            follow_up_file = out / f"after{i}.txt"
            if follow_up.exit_code != EXIT_REPORT_WRITTEN or not follow_up_file.exists() or (
                    follow_up_file.read_bytes() != follow_up_report):
                faults.append(f"run {i} ({phase}): the next run failed with status "
                              f"{follow_up.exit_code}")
        for phase, counted in counts.items():
            print(f"{phase}: {self.KILLS[phase]} runs, {counted['killed']} killed, "
                  f"{seconds_in_wine[phase]:.1f} s; " + ", ".join(
                      f"{number} {outcome}" for outcome, number in counted.items()
                      if outcome != "killed"))
        self.assertEqual(faults, [])
        # Whatever a kill left there, the next run into the folder removed: only reports, the
        # result file and the lock file of the folder's turn remain.
        reports = ("r", "after", "warm-up")
        self.assertEqual([name for name in sorted(os.listdir(out))
                          if not (name.endswith(".txt") and name.startswith(reports))
                          and name not in ("RESULT.TXT", "FAXJOB.LCK")], [])
        self.assertEqual(prepared.stat().st_size, prepared_size,
                         "the prepared result file was changed through a RESULT.TXT linked to it")
        for phase, counted in counts.items():
            self.assertGreaterEqual(counted["killed"], self.KILLS[phase] // 2,
                                    f"{phase}: most runs ended before their kill")


class KillWhileWaitingTests(OutsideEndsTestCase):
    """The earlier report goes before the run waits for anything: a caller whose time-out kills
    the run while it waits for the folder's turn, or for another program's hold on RESULT.TXT,
    finds no report, whatever status the kill gives."""

    def command_line(self, job, report) -> str:
        return f'"{wine_path(self.faxjob_exe)}" {wine_path(job)} {wine_path(report)}'

    def test_a_kill_while_waiting_for_the_turn_or_a_hold_leaves_no_earlier_report(self):
        out = self.make_folder("out")
        started = self.path("started.bin")
        slow = self.write_job("slow.txt", (f"!save-record {wine_path(started)}",) +
                              ONE_NUMBER_JOB + ("!sleep 20000",))
        holder = threading.Thread(
            target=self.run_raw, args=(self.command_line(slow, out / "first.txt"),),
            kwargs={"launch_options": ["--kill-after-ms", "60000"]})
        holder.start()
        self.addCleanup(holder.join)
        for _ in range(600):  # the first run holds the turn from before its call
            if started.exists():
                break
            time.sleep(0.1)
        self.assertTrue(started.exists(), "the first run never called the library")
        waiting = out / "r.txt"
        waiting.write_bytes(OLD_REPORT)
        job = self.write_job("job.txt", ONE_NUMBER_JOB)
        run = self.run_raw(self.command_line(job, waiting), launch_options=[
            "--kill-after-ms", "8000"])
        self.assertTrue(run.killed, "the run did not wait for the turn")
        self.assertFalse(waiting.exists(), "the earlier report outlived a kill during the wait")

        # Another program holds RESULT.TXT: the run waits about two seconds for it to let go,
        # after it has started up, which takes about as long as a whole run.
        held = self.make_folder("held")
        (held / "RESULT.TXT").write_bytes(b"/R 9\r\n")
        quick = self.run_raw(self.command_line(job, held / "warm-up.txt"))
        self.assertEqual(quick.exit_code, EXIT_REPORT_WRITTEN)
        report = held / "r.txt"
        report.write_bytes(OLD_REPORT)
        with self.holding(held / "RESULT.TXT"):
            run = self.run_raw(self.command_line(job, report), launch_options=[
                "--kill-after-ms", str(int(1000 * quick.elapsed) + 500)])
        self.assertFalse(report.exists() and report.read_bytes() == OLD_REPORT,
                         "the earlier report outlived the wait for a held RESULT.TXT")


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
