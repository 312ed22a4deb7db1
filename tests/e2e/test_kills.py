"""Runs killed from outside at any moment: from the start, during a slow library call, during
the transcription of the result file, or while waiting for the folder's turn or for another
program's hold on RESULT.TXT. The report is this run's complete report or none, never an old,
partial or empty one, and the next run into the folder succeeds."""

import collections
import os
import random
import threading
import time
import unittest

from send_record import RECORD_SIZE
from test_failures import EXIT_REPORT_WRITTEN, ONE_NUMBER_JOB, OLD_REPORT, SENT_TEXT, report_line
from test_outside_ends import OutsideEndsTestCase
from wine_programs import wine_path

SEED_VARIABLE = "FAXJOB_KILL_SEED"
FOLLOW_UP_JOB = ("03-1111-2222", "03-3333-4444")


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


if __name__ == "__main__":
    unittest.main()
