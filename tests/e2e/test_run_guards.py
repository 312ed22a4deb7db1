"""What a run checks and holds so that its report and exit status can only tell this run's truth:
exact paths, no stale or shared result file, no fax sent whose outcome cannot be recorded, a
library loaded only in the folder's turn and kept loaded, and a library search without the
current folder."""

import contextlib
import os
import random
import shutil
import subprocess
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from wine_programs import wine_path
from test_failures import (EXIT_FAILED_BEFORE_CALL, EXIT_FAILURE_REPORTED, EXIT_FAILURE_UNREPORTED,
                           EXIT_NOTHING_SENT, EXIT_REPORT_WRITTEN, ONE_NUMBER_JOB, OLD_REPORT, SENT_TEXT,
                           FailureTestCase, error_line, report_line, result_directive)


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


class SharedResultFolderTests(GuardTestCase):
    """Runs that share a result file take turns; the others never wait for each other. The
    library's start is when it saves the record it received, its end when it writes RESULT.TXT."""

    RUNS = 12

    def start_runs(self, reports, sleep_ms, envs=None, kill_after_ms=None):
        """Starts one run per report path at once; run i sends entries 100i+1 to 100i+3 and is
        killed after kill_after_ms[i] milliseconds where that is given."""
        def run(i):
            job = self.write_job(f"job{i}.txt", [
                f"!sleep {sleep_ms}",
                result_directive("".join(f"/R {100 * i + n}\r\n" for n in (1, 2, 3)))])
            record = self.path("records", f"{i}.bin")
            env = dict(envs[i] if envs else {}, ZRQ_STANDIN_RECORD=wine_path(record))
            kill = kill_after_ms[i] if kill_after_ms else None
            return self.run_faxjob(f" {wine_path(job)} {reports[i]}", env=env,
                                   timeout=self.RUN_TIMEOUT + len(reports) * sleep_ms / 1000,
                                   launch_options=["--kill-after-ms", str(kill)] if kill else ())
        with ThreadPoolExecutor(len(reports)) as pool:
            return list(pool.map(run, range(len(reports))))

    def started(self, i) -> float:
        return self.path("records", f"{i}.bin").stat().st_mtime

    def assertTookTurns(self, out, results, labels):
        """Each run i reported exactly its own entries into out/ri.txt, and each library call
        began after the report before it was finished, so no two calls overlapped."""
        for i, result in enumerate(results):
            with self.subTest(run=i, how=labels[i]):
                self.assertNoWindow(result)
                self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
                self.assertEqual((out / f"r{i}.txt").read_bytes(), b"".join(
                    report_line(100 * i + n, SENT_TEXT) for n in (1, 2, 3)))
        order = sorted(range(len(results)), key=self.started)
        for before, after in zip(order, order[1:]):
            self.assertGreater(self.started(after), (out / f"r{before}.txt").stat().st_mtime)
        # The turn's lock file stays in the folder for the next runs.
        self.assertEqual((out / "FAXJOB.LCK").read_bytes(), b"")

    def test_runs_into_one_folder_report_exactly_their_own_entries(self):
        out = self.make_folder("Shared Reports")
        short = self.short_path(out)
        spellings = [wine_path(out), wine_path(out).upper(), wine_path(out).lower(), short,
                     wine_path(out) + "\\..\\" + out.name]
        labels = [spellings[i % len(spellings)] for i in range(self.RUNS)]
        results = self.start_runs([f"{labels[i]}\\r{i}.txt" for i in range(self.RUNS)],
                                  sleep_ms=1500)
        self.assertTookTurns(out, results, labels)

    def test_runs_into_one_folder_some_killed_while_they_wait(self):
        # Every run finds an earlier report of its own. Each one that is killed, mostly while it
        # waits for its turn, leaves none of it; each other one reports exactly its entries.
        out = self.make_folder("out")
        # Only a kill in a run's first moments, before it has removed the earlier report, may
        # leave that: each kill comes well after the start-up of a run alone.
        alone = self.run_job(ONE_NUMBER_JOB, wine_path(out / "alone.txt"))
        self.assertEqual(alone.exit_code, EXIT_REPORT_WRITTEN)
        earliest = int(2000 * alone.elapsed)
        chooser = random.Random(self.RUNS)
        killed = 0
        # Under load all runs may end before their kills come: then again, the kills closer
        # together, so that the check never passes without a run that was killed.
        for attempt in range(3):
            spread = 1000 * self.RUNS // 2 ** attempt
            kills = [chooser.randint(earliest, earliest + spread) if i % 3 == 1 else None
                     for i in range(self.RUNS)]
            for i in range(self.RUNS):
                (out / f"r{i}.txt").write_bytes(OLD_REPORT)
            results = self.start_runs([wine_path(out / f"r{i}.txt") for i in range(self.RUNS)],
                                      sleep_ms=1000, kill_after_ms=kills)
            for i, result in enumerate(results):
                with self.subTest(attempt=attempt, run=i):
                    report = out / f"r{i}.txt"
                    if result.killed:
                        killed += 1
                        self.assertFalse(report.exists() and report.read_bytes() == OLD_REPORT)
                    else:
                        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
                        self.assertEqual(report.read_bytes(), b"".join(
                            report_line(100 * i + n, SENT_TEXT) for n in (1, 2, 3)))
            if killed > 0:
                break
        self.assertGreater(killed, 0)
        self.assertFalse([name for name in os.listdir(out) if name.startswith("~faxjob-")])

    def second_pc(self) -> dict:
        """The environment changes for a second Wine prefix with a wineserver of its own: another
        machine as far as Wine's kernel objects go, sharing only the file system with the first.
        Made once per build tree."""
        prefix = {"WINEPREFIX": str(self.artifacts.build_dir / "wineprefix-second-pc")}
        env = dict(os.environ, **prefix)
        ready_marker = Path(env["WINEPREFIX"], ".faxjob-prefix-ready")
        if not ready_marker.exists():
            shutil.rmtree(env["WINEPREFIX"], ignore_errors=True)
            with open(self.artifacts.build_dir / "wineprefix-second-pc.log", "wb") as log:
                subprocess.run(["wineboot", "--init"], env=env, check=True,
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=1500)
            ready_marker.touch()
        # Kept running through the test; one that wineboot left running is taken as it is.
        subprocess.run(["wineserver", "-p"], env=env, check=False, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self.addCleanup(subprocess.run, ["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        return prefix

    def test_runs_from_two_machines_into_one_shared_folder_take_turns(self):
        second_pc = self.second_pc()
        out = self.make_folder("shared")
        pcs = ["first PC", "second PC"] * 6
        results = self.start_runs([wine_path(out) + f"\\r{i}.txt" for i in range(len(pcs))],
                                  sleep_ms=1000, envs=[{} if i % 2 == 0 else second_pc
                                                       for i in range(len(pcs))])
        self.assertTookTurns(out, results, pcs)

    def test_kernel_objects_named_as_the_old_turn_change_nothing(self):
        out = self.make_folder("out")
        for kind in ("mutex", "event"):
            with self.subTest(kind), self.holding(out, kernel_object=kind):
                result = self.run_job(ONE_NUMBER_JOB, wine_path(out) + "\\r.txt")
                self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
                self.assertEqual((out / "r.txt").read_bytes(), report_line(1, SENT_TEXT))

    def test_runs_into_different_folders_do_not_wait(self):
        folders = [self.make_folder(f"out{i}") for i in range(4)]
        results = self.start_runs([wine_path(f) + "\\r.txt" for f in folders], sleep_ms=10000)
        for i, result in enumerate(results):
            self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
            self.assertEqual((folders[i] / "r.txt").read_bytes(), b"".join(
                report_line(100 * i + n, SENT_TEXT) for n in (1, 2, 3)))
        ended = [(f / "RESULT.TXT").stat().st_mtime for f in folders]
        self.assertLess(max(self.started(i) for i in range(4)), min(ended),
                        "the four library calls did not all run at the same time")

    def test_a_run_that_crashed_in_its_turn_does_not_block_the_next(self):
        out = self.make_folder("out")
        crashed = self.run_job(["!crash"], wine_path(out) + "\\crashed.txt")
        self.assertEqual(crashed.exit_code, EXIT_FAILURE_REPORTED)
        result = self.run_job(ONE_NUMBER_JOB, wine_path(out) + "\\r.txt")
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual((out / "r.txt").read_bytes(), report_line(1, SENT_TEXT))


class LoadInTurnTests(GuardTestCase):
    """The library is loaded only once the folder's turn is held: while a run waits for another
    run's fax, none of its code runs, neither its start-up code nor threads that code starts."""

    def test_no_library_code_runs_while_the_run_waits_for_its_turn(self):
        # The library's DllMain starts a thread that appends a mark to ZRQ_MARKS every 10 ms.
        shutil.copyfile(self.artifacts.build_dir / "testdlls" / "MARKS.dll", self.fax_library)
        out = self.make_folder("out")
        (out / "FAXJOB.LCK").touch()
        report = out / "r.txt"
        report.write_bytes(OLD_REPORT)
        marks = self.path("marks.txt")
        with ThreadPoolExecutor(1) as pool:
            with self.holding(out / "FAXJOB.LCK", lock=True):
                run = pool.submit(self.run_job, ONE_NUMBER_JOB, report,
                                  env={"ZRQ_MARKS": wine_path(marks)})
                # The earlier report goes right before the run prepares to wait for the turn.
                deadline = time.monotonic() + self.RUN_TIMEOUT
                while report.exists() and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertFalse(report.exists(), "the run did not start")
                time.sleep(3)  # many times what a load and a first mark take
                self.assertFalse(marks.exists(), "library code ran while the run waited")
            result = run.result()
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual(report.read_bytes(), report_line(1, SENT_TEXT))
        self.assertTrue(marks.exists(), "the library's thread never ran")


class LibraryStaysLoadedTests(GuardTestCase):
    """A report path that names a mapped program file: it cannot be removed before the call, so
    nothing is sent, and the file must stay as it was, so later runs still work."""

    def test_report_path_naming_the_library_or_the_program(self):
        for program_file in (self.fax_library, self.faxjob_exe):
            with self.subTest(program_file.name):
                before = program_file.read_bytes()
                result = self.run_job(ONE_NUMBER_JOB, wine_path(program_file))
                self.assertEqual(result.exit_code, EXIT_NOTHING_SENT)
                self.assertNotCalled()
                self.assertEqual(program_file.read_bytes(), before)
        report = self.path("out", "r.txt")
        self.assertEqual(self.run_job(ONE_NUMBER_JOB, wine_path(report)).exit_code,
                         EXIT_REPORT_WRITTEN)


class UnwritableReportTests(GuardTestCase):
    """A report path that could never be written: nothing is sent, nothing is written, no window,
    exit status 3."""

    def test_report_paths_that_can_never_be_written(self):
        out = self.make_folder("out")
        self.make_folder("out", "folder")
        (out / "a file").write_bytes(b"x")
        attributes = {"readonly": "read-only.txt", "hidden": "hidden.txt", "system": "system.txt"}
        for attribute, name in attributes.items():
            (out / name).write_bytes(OLD_REPORT)
            self.set_attributes(out / name, attribute)
        base = wine_path(out) + "\\"
        cases = ["missing\\r.txt", "a file\\r.txt", "", "folder", "r<1.txt", "r>1.txt", "r|1.txt",
                 'r"1.txt', "r*.txt", "r?.txt", "r\x01.txt", "CON", "nul", "COM1", "LPT1",
                 "con.txt", "NUL.report.txt", "LPT1.log", "CON .txt", "RESULT.TXT", "result.txt",
                 *attributes.values()]
        # Device names as Wine reads them, which is as Windows 10 does: with an extension too.
        # Behind the extended-length prefix a device name would make a file that a caller cannot
        # open by its usual name.
        arguments = [base + name for name in cases] + ["\\\\?\\" + base + "con.txt"]
        before = {p: p.read_bytes() for p in out.rglob("*") if p.is_file()}
        for argument in arguments:
            with self.subTest(argument=argument):
                result = self.run_job(ONE_NUMBER_JOB, argument)
                self.assertEqual(result.exit_code, EXIT_NOTHING_SENT)
                self.assertNotCalled()
                self.assertEqual({p: p.read_bytes() for p in out.rglob("*") if p.is_file()},
                                 before)
        self.assertEqual(self.run_job(ONE_NUMBER_JOB, base + "r.txt").exit_code,
                         EXIT_REPORT_WRITTEN)


class RefusalTests(GuardTestCase):
    """What cannot be right is refused before the call, as the system reads the paths: status 3,
    no window, nothing written, created or removed anywhere below the scratch folder."""

    def setUp(self):
        super().setUp()
        self.out = self.make_folder("out")
        (self.out / "RESULT.TXT").write_bytes(b"/R 7\r\n")
        (self.out / "FAXJOB.LCK").write_bytes(b"")
        self.job = self.write_job("jobs/job.txt")

    def files(self) -> dict:
        return {p: p.read_bytes() for p in self.scratch.rglob("*")
                if p.is_file() and p.name not in ("faxjob.exe", "ZRQINT32.DLL")
                and not p.name.startswith(("command-line-", "launch-"))}

    def assertRefused(self, job: str, report: str, cwd=None):
        before = self.files()
        result = self.run_faxjob(f" {job} {report}", cwd=cwd)
        self.assertNoWindow(result)
        self.assertEqual(result.exit_code, EXIT_NOTHING_SENT)
        self.assertNotCalled()
        self.assertEqual(self.files(), before)

    def test_reserved_names_and_streams_however_spelled(self):
        out = wine_path(self.out)
        # Drive-relative: Z:NAME is NAME in the current folder on Z:, which is out here.
        for report in (out + "/RESULT.TXT", out + "/FAXJOB.LCK", out + "\\RESULT.TXT\\.",
                       out + "\\sub\\..\\faxjob.lck\\.", "Z:RESULT.TXT", "Z:FAXJOB.LCK",
                       out + "\\RESULT.TXT:x", out + "\\RESULT.TXT::$DATA",
                       out + "\\FAXJOB.LCK:x", out + "\\r.txt:x"):
            with self.subTest(report=report):
                self.assertRefused(wine_path(self.job), report, cwd=self.out)

    def test_a_report_path_naming_the_job_or_a_job_naming_the_result_or_lock_file(self):
        # The job in a folder whose name holds a space, given by its short name: the report names
        # it by its long one, in other letters, through "..", or through a hard link.
        spaced = self.write_job("job files/job.txt")
        os.link(spaced, self.out / "job-link.txt")
        os.link(self.out / "RESULT.TXT", self.scratch / "jobs" / "result-link.txt")
        job = self.short_path(spaced)
        self.assertNotIn(" ", job)
        long = wine_path(spaced)
        cases = [(job, long), (job, long.upper()),
                 (job, wine_path(self.out) + "\\..\\job files\\.\\job.txt"),
                 (job, wine_path(self.out / "job-link.txt")),
                 (wine_path(self.out / "RESULT.TXT"), wine_path(self.out / "r.txt")),
                 (wine_path(self.out / "FAXJOB.LCK"), wine_path(self.out / "r.txt")),
                 (wine_path(self.scratch / "jobs" / "result-link.txt"),
                  wine_path(self.out / "r.txt"))]
        for job_argument, report in cases:
            with self.subTest(job=job_argument, report=report):
                self.assertRefused(job_argument, report)
        # Another file of the same folder goes ahead.
        result = self.run_job(ONE_NUMBER_JOB, wine_path(self.out / "r.txt"))
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)


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
