"""Runs that share a report folder, and so its result file, take turns: from one machine or two,
in every spelling of the folder, killed while they wait or crashed in their turn. Runs into
different folders never wait for each other, and the library is loaded only in the folder's turn."""

import os
import random
import shutil
import subprocess
import time
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

from test_failures import (EXIT_FAILURE_REPORTED, EXIT_REPORT_WRITTEN, ONE_NUMBER_JOB, OLD_REPORT,
                           SENT_TEXT, report_line, result_directive)
from test_run_guards import GuardTestCase
from wine_programs import wine_path


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


if __name__ == "__main__":
    unittest.main()
