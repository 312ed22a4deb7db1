"""The example callers of docs/callers, run as an operator would run them in a console window:
the batch file by Wine's own cmd.exe, the VBScript by Wine's cscript.exe. Each starts faxjob.exe
with the stand-in library and must act on its exit status and show the report, which it reads
in the ANSI code page."""

import fcntl
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time
import unittest
from pathlib import Path

from harness import ARGUMENT_ERROR_TEXT, FaxjobTestCase
from wine_programs import wine_path

CALLERS = Path(__file__).resolve().parents[2] / "docs" / "callers"
SYSTEM32 = "C:\\windows\\system32\\"
TERMINAL_CONTROL = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")

SENT = "FAX送信を終了しました｡"
JOB_DONE = "faxjob: job done; the report, one line per record entry:"
LIBRARY_ERROR = ("faxjob: the fax library returned an error; its status text is on every "
                 "report line:")
FAILED_62 = "faxjob: failed with error 000062; the report ends with the error line:"
NOTHING_SENT = "Nothing was sent: sending the job again is safe."
REFUSED = [
    "faxjob: nothing was sent and nothing written: the command line is unusable (job file missing,",
    "not two paths), the report path can never be written or names the job file, a reserved name or",
    "a stream, the job file is the report folder's RESULT.TXT or FAXJOB.LCK, the earlier report could",
    "not be removed, or the run failed before the call and could not record why.",
    NOTHING_SENT]
MAY_HAVE_GONE_OUT = ("faxjob: the fax library was called, so a fax may have gone out: check "
                     "before sending the job again.")
NO_ENTRIES = "faxjob: the report holds no record entries"
UNKNOWN_OUTCOME = "Treat the job as failed and its outcome as unknown: a fax may have gone out."


class CallerTests(FaxjobTestCase):

    def setUp(self):
        super().setUp()
        callers = self.make_folder("callers")  # below faxjob.exe's folder, as in the package
        for example in CALLERS.iterdir():
            shutil.copy2(example, callers / example.name)

    def run_in_console(self, raw_command_line):
        """Runs the command line through launch.exe with a console on a pseudo-terminal, as in a
        console window. Returns launch.exe's report and the lines the command printed."""
        command_file = self.path("console-command-line.txt")
        command_file.write_bytes(raw_command_line.encode("utf-8"))
        controller, terminal = os.openpty()
        # Wide enough that no line wraps.
        fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 300, 0, 0))
        launcher = subprocess.Popen(
            [self.wine, str(self.artifacts.launch_exe), "--timeout-ms",
             str(int(self.RUN_TIMEOUT * 1000)), "@" + wine_path(command_file)],
            cwd=str(self.scratch), stdin=terminal, stdout=terminal, stderr=terminal)
        os.close(terminal)
        shown = bytearray()
        deadline = time.monotonic() + self.RUN_TIMEOUT + 60
        try:
            while time.monotonic() < deadline:
                if select.select([controller], [], [], 0.2)[0]:
                    try:
                        chunk = os.read(controller, 65536)
                    except OSError:  # the terminal is gone: every process on it has ended
                        break
                    if not chunk:
                        break
                    shown += chunk
                elif launcher.poll() is not None:
                    break
            else:
                launcher.kill()
                self.fail(f"launch.exe did not end; the console shows {bytes(shown)!r}")
        finally:
            launcher.wait()
            os.close(controller)
        text = TERMINAL_CONTROL.sub(b"", bytes(shown)).decode("utf-8")
        lines = [line for line in text.replace("\r", "\n").split("\n") if line]
        self.assertTrue(lines and lines[-1].startswith("{"), f"no report from launch.exe: {text}")
        report = json.loads(lines[-1])
        self.assertFalse(report["timed_out"])
        return report, lines[:-1]

    def end_faxjob_from_outside(self, library_called: Path, run_over: threading.Event,
                                outcome: dict):
        """Once the library has been called, kills faxjob's process, as Task Manager or a shutdown
        would: Wine then gives it exit status 0. The process is the one that maps this test's copy
        of faxjob.exe."""
        while not library_called.exists() and not run_over.wait(0.05):
            pass
        for maps in Path("/proc").glob("[0-9]*/maps"):
            try:
                if str(self.faxjob_exe) in maps.read_text(errors="replace"):
                    os.kill(int(maps.parent.name), signal.SIGKILL)
                    outcome["killed"] = True
            except OSError:  # a process that ended meanwhile, or one of another user
                pass

    def check_caller(self, interpreter, script, extra_cases=()):
        # Windows' cmd takes a ) in a path expanded inside a parenthesised block for the block's
        # end; Wine's only when no ( comes before it in the path.
        report = self.make_folder("out) dir") / "status report.txt"
        library_called = self.path("library-called.bin")
        cases = [  # name, job file lines (None: no job file), exit status, output
            ("sent", ("03-1234-5678", "06-9876-5432"),
             0, [JOB_DONE, f"000001,{SENT}", f"000002,{SENT}"]),
            ("library error", ("!return -5", '!result /R 1,"03-1234-5678",NG\\r\\n'),
             4, [LIBRARY_ERROR, "000001,FAX通信でのｴﾗｰです｡"]),
            ("library error without entries", ("!return -5", "!result"),
             4, [LIBRARY_ERROR, NO_ENTRIES]),
            # The result file ends inside a quoted item: two entries, then failure 62.
            ("error line", ('!result /R 1,"03-1234-5678",OK\\r\\n/R 2,"06-9876',),
             1, [FAILED_62, f"000001,{SENT}", f"000002,{SENT}",
                 "000062,ファイルにこれ以上データがありません。", MAY_HAVE_GONE_OUT]),
            # The report folder's lock file cannot be opened (a folder of that name): failure 75
            # before the library is called.
            ("failed before the call", ("03-1234-5678",),
             5, ["faxjob: failed with error 000075 before the fax library was called; the report "
                 "ends with the error line:",
                 "000075,パス名またはファイル名が無効か、アクセスが拒否されました。", NOTHING_SENT]),
            ("bad command line", None, 3, REFUSED),
            # Killed while the library works: exit status 0, and no report.
            ("ended from outside",
             (f"!save-record {wine_path(library_called)}", "!sleep 60000", "03-1234-5678"),
             2, ["faxjob: exit status 0 and no report: the run did not finish by itself.",
                 UNKNOWN_OUTCOME]),
            ("faxjob.exe missing", ("03-1234-5678",),
             9009, [f"faxjob.exe not found: {wine_path(self.path('callers'))}\\..\\faxjob.exe"]),
            *extra_cases,
        ]
        for name, job_lines, status, expected_output in cases:
            with self.subTest(case=name):
                job = (self.write_job(f"jobs)/{name.replace(' ', '-')}.txt", job_lines)
                       if job_lines is not None else self.path("missing-job.txt"))
                caller = self.path("callers", script)
                command_line = (f'{interpreter}{wine_path(caller)} {wine_path(job)} '
                                f'"{wine_path(report)}"')
                report.unlink(missing_ok=True)  # as the README asks of whoever starts faxjob
                killer, run_over, killer_outcome = None, threading.Event(), {}
                if name == "ended from outside":
                    killer = threading.Thread(target=self.end_faxjob_from_outside,
                                              args=(library_called, run_over, killer_outcome))
                    killer.start()
                if name == "faxjob.exe missing":
                    self.faxjob_exe.rename(self.path("faxjob-elsewhere.exe"))
                lock_folder = report.parent / "FAXJOB.LCK"
                if name == "failed before the call":
                    lock_folder.unlink(missing_ok=True)  # the lock file the earlier runs left
                    lock_folder.mkdir()
                try:
                    launched, output = self.run_in_console(command_line)
                finally:
                    run_over.set()
                    if killer:
                        killer.join()
                    if name == "faxjob.exe missing":
                        self.path("faxjob-elsewhere.exe").rename(self.faxjob_exe)
                    if lock_folder.is_dir():
                        lock_folder.rmdir()
                if killer:
                    self.assertTrue(killer_outcome.get("killed"), "faxjob's process not found")
                self.assertEqual(output, expected_output)
                self.assertEqual(launched["exit_code"], status)
                self.assertEqual(report.exists(), status in (0, 1, 4, 5))
                boxes = [window["text"] for window in launched["windows"]]
                self.assertEqual(boxes, [ARGUMENT_ERROR_TEXT] if expected_output == REFUSED
                                 else [])

    def test_batch_file_under_cmd(self):
        self.check_caller(f"{SYSTEM32}cmd.exe /c ", "send_fax.bat")

    def test_vbscript_under_cscript(self):
        # WScript.Shell.Run on Windows (not Wine 8's) expands %TEMP% in the job path, and faxjob
        # would get another one.
        job = wine_path(self.scratch / "jobs)" / "%TEMP%-in-the-job-path.txt")
        self.check_caller(f"{SYSTEM32}cscript.exe //nologo ", "send_fax.vbs", extra_cases=[
            ("%TEMP% in the job path", ("03-1234-5678",), 3,
             ["faxjob: not started: the path holds %, which WScript.Shell.Run would expand: " +
              job])])


if __name__ == "__main__":
    unittest.main()
