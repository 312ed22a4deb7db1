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
import struct
import subprocess
import termios
import time
import unittest
from pathlib import Path

from harness import ARGUMENT_ERROR_TEXT, FaxjobTestCase, wine_path

CALLERS = Path(__file__).resolve().parents[2] / "docs" / "callers"
SYSTEM32 = "C:\\windows\\system32\\"
TERMINAL_CONTROL = re.compile(rb"\x1b\[[0-9;?]*[A-Za-z]")

SENT = "FAX送信を終了しました｡"
JOB_DONE = "faxjob: job done; the report, one line per record entry:"
LIBRARY_ERROR = ("faxjob: the fax library returned an error; its status text is on every "
                 "report line:")
FAILED_62 = "faxjob: failed with error 000062; the report ends with the error line:"
REFUSED = ("faxjob: nothing was sent: the command line is unusable (job file missing, not two "
           "paths) or the report path can never be written")


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

    def check_caller(self, interpreter, script):
        report = wine_path(self.make_folder("out dir") / "status report.txt")
        jobs = {
            "sent": ("03-1234-5678", "06-9876-5432"),
            "library error": ("!return -5", '!result /R 1,"03-1234-5678",NG\\r\\n'),
            # The result file ends inside a quoted item: two entries, then failure 62.
            "error line": ('!result /R 1,"03-1234-5678",OK\\r\\n/R 2,"06-9876',),
        }
        cases = {
            "sent": (0, [JOB_DONE, f"000001,{SENT}", f"000002,{SENT}"]),
            "library error": (4, [LIBRARY_ERROR, "000001,FAX通信でのｴﾗｰです｡"]),
            "error line": (1, [FAILED_62, f"000001,{SENT}", f"000002,{SENT}",
                               "000062,ファイルにこれ以上データがありません。"]),
            "bad command line": (3, [REFUSED]),
        }
        for name, (status, expected_output) in cases.items():
            with self.subTest(case=name):
                job = (self.write_job(name.replace(" ", "-") + ".txt", jobs[name])
                       if name in jobs else self.path("missing-job.txt"))
                caller = self.path("callers", script)
                launched, output = self.run_in_console(
                    f'{interpreter}{wine_path(caller)} {wine_path(job)} "{report}"')
                self.assertEqual(output, expected_output)
                self.assertEqual(launched["exit_code"], status)
                boxes = [window["text"] for window in launched["windows"]]
                self.assertEqual(boxes, [ARGUMENT_ERROR_TEXT] if status == 3 else [])

    def test_batch_file_under_cmd(self):
        self.check_caller(f"{SYSTEM32}cmd.exe /c ", "send_fax.bat")

    def test_vbscript_under_cscript(self):
        self.check_caller(f"{SYSTEM32}cscript.exe //nologo ", "send_fax.vbs")


if __name__ == "__main__":
    unittest.main()
