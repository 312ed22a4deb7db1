"""Report files that cannot be written or replaced: held open by another process, a link to a
device, a disk too full for them, a folder the user may not write. Nothing is sent where an earlier
report cannot be replaced, which then stays as it was, and no half-written report is left."""

import os
import shutil
import subprocess
import time
import unittest
from contextlib import contextmanager
from pathlib import Path

from test_failures import (EXIT_FAILURE_UNREPORTED, EXIT_NOTHING_SENT, EXIT_REPORT_WRITTEN,
                           OLD_REPORT, ONE_NUMBER_JOB, SENT_TEXT, FailureTestCase, report_line)
from wine_programs import wine_path, wine_program

UNPRIVILEGED_ID = 65534


class ReportFileTests(FailureTestCase):
    """The library has run and written RESULT.TXT, but the report cannot be written."""

    @contextmanager
    def held_open(self, path):
        """Keeps path open without sharing in another Wine process of the same prefix."""
        output = self.scratch / "hold.out"
        with open(output, "wb") as out:
            holder = subprocess.Popen([self.wine, str(self.artifacts.hold_exe), wine_path(path),
                                       str(int(self.RUN_TIMEOUT))],
                                      stdin=subprocess.PIPE, stdout=out,
                                      stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + self.RUN_TIMEOUT
            while not output.read_text().strip() and holder.poll() is None:
                self.assertLess(time.monotonic(), deadline, "hold.exe did not start")
                time.sleep(0.1)
            self.assertEqual(output.read_text().strip(), "held")
            yield
        finally:
            holder.stdin.close()  # hold.exe lets go at the end of its input
            holder.wait(timeout=self.RUN_TIMEOUT)

    def test_report_that_cannot_be_replaced_stops_the_run_before_the_call(self):
        # Held open by another process, or a link to a device that Wine refuses to remove: an
        # earlier report that cannot be removed could not be replaced, so nothing is sent.
        report = self.path("out", "r.txt")
        report.write_bytes(OLD_REPORT)
        with self.subTest("held open"), self.held_open(report):
            result = self.run_job(ONE_NUMBER_JOB, report)
            self.assertEqual(result.exit_code, EXIT_NOTHING_SENT)
            self.assertEqual(report.read_bytes(), OLD_REPORT)
        with self.subTest("a link to a device"):
            report.unlink()
            report.symlink_to("/dev/full")
            result = self.run_job(ONE_NUMBER_JOB, report)
            self.assertEqual(result.exit_code, EXIT_NOTHING_SENT)
            self.assertTrue(report.is_symlink() and Path("/dev/full").is_char_device())
        self.assertFalse(self.record_file.exists(), "the library was called")

    def test_disk_full_removes_the_half_written_report(self):
        # A one-page file system that RESULT.TXT fills, so the report is created but cannot
        # be written.
        if os.geteuid() != 0:
            self.skipTest("mounting a small file system needs root")
        full = self.make_folder("full")
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k,mode=755", "tmpfs", str(full)],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", str(full)], check=False)
        report = full / "r.txt"
        result = self.run_job(ONE_NUMBER_JOB, report)
        self.assertEqual(result.exit_code, EXIT_FAILURE_UNREPORTED)
        self.assertEqual(sorted(os.listdir(full)), ["FAXJOB.LCK", "RESULT.TXT"],
                         "the half-written report is there")
        self.assertEqual((full / "RESULT.TXT").read_bytes(), b'/R 1,"03-1234-5678",OK\r\n')


class UnprivilegedReportTests(FailureTestCase):
    """What a user's access to the report folder allows. Root may write anywhere, so another
    user runs these, with a Wine prefix of its own, made once per build tree (about 20 s here,
    minutes on slower emulation)."""

    def setUp(self):
        super().setUp()
        if os.geteuid() != 0 or shutil.which("setpriv") is None:
            self.skipTest("running as another user needs root and setpriv")
        self.env = self.prepare_unprivileged_wine()
        # run_raw starts self.wine: here a script that starts Wine as the other user.
        self.wine = self.scratch / "unprivileged-wine.sh"
        self.wine.write_text('#!/bin/sh\nexec ' + " ".join(self.unprivileged(wine_program()))
                             + ' "$@"\n')
        self.wine.chmod(0o755)
        records = self.unprivileged_folder(self.scratch / "records")
        self.record_file = records / "received-record.bin"

    def unprivileged(self, *command):
        return ["setpriv", f"--reuid={UNPRIVILEGED_ID}", f"--regid={UNPRIVILEGED_ID}",
                "--clear-groups", *command]

    def unprivileged_folder(self, folder: Path) -> Path:
        folder.mkdir(parents=True, exist_ok=True)
        os.chown(folder, UNPRIVILEGED_ID, UNPRIVILEGED_ID)
        return folder

    def prepare_unprivileged_wine(self) -> dict:
        build = self.artifacts.build_dir
        env = dict(os.environ, WINEPREFIX=str(build / "wineprefix-unprivileged"),
                   HOME=str(build / "home-unprivileged"))
        ready_marker = Path(env["WINEPREFIX"], ".faxjob-prefix-ready")
        if not ready_marker.exists():
            shutil.rmtree(env["WINEPREFIX"], ignore_errors=True)
            for folder in (env["WINEPREFIX"], env["HOME"]):
                self.unprivileged_folder(Path(folder))
            with open(build / "wineprefix-unprivileged.log", "wb") as log:
                subprocess.run(self.unprivileged("wineboot", "--init"), env=env, check=True,
                               stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=1500)
            ready_marker.touch()
        self.addCleanup(subprocess.run, self.unprivileged("wineserver", "-k"), env=env,
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL, check=False)
        return env

    def test_report_in_a_folder_the_user_may_not_write(self):
        # An earlier report there cannot be removed, and without one the folder's turn needs its
        # lock file there, which cannot be created: either way the library is not called, nor
        # can the error line be written, so the run ends with status 3 (nothing sent), and an
        # earlier report stays as it was.
        out = self.make_folder("out")
        report = out / "r.txt"
        report.write_bytes(OLD_REPORT)
        out.chmod(0o555)
        self.addCleanup(out.chmod, 0o755)
        for name in ("r.txt", "new.txt"):
            with self.subTest(name):
                result = self.run_job(ONE_NUMBER_JOB, out / name, env=self.env)
                self.assertFalse(self.record_file.exists(), "the library was called")
                self.assertEqual(result.exit_code, EXIT_NOTHING_SENT)
                self.assertEqual(report.read_bytes(), OLD_REPORT)
                self.assertEqual(os.listdir(out), ["r.txt"])

    def test_a_turn_lock_file_that_the_user_may_only_read(self):
        # Made by another user, as where a file belongs to its creator alone: the turn is taken
        # through a handle for reading.
        out = self.unprivileged_folder(self.scratch / "out")
        (out / "FAXJOB.LCK").touch(mode=0o444)
        result = self.run_job(ONE_NUMBER_JOB, out / "r.txt", env=self.env)
        self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
        self.assertEqual((out / "r.txt").read_bytes(), report_line(1, SENT_TEXT))


if __name__ == "__main__":
    unittest.main()
