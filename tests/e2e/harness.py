"""Runs faxjob.exe under Wine for the end-to-end tests and checks what it leaves behind.

The tests run from ctest, which sets FAXJOB_BUILD_DIR and the Wine environment (WINEPREFIX,
DISPLAY, LC_ALL=ja_JP.UTF-8 ...), after the "wine" fixture has started Xvfb and the wineserver.
Each test gets a scratch folder of its own holding copies of faxjob.exe and ZRQINT32.DLL, so a
test may replace the library with a broken one. faxjob is started through launch.exe with an
exact raw command line, and launch.exe reports and closes any message box it shows.
"""

import contextlib
import itertools
import json
import os
import shutil
import subprocess
import threading
import unittest
from pathlib import Path

from send_record import RECORD_SIZE
from wine_programs import Artifacts, MessageBox, RunResult, wine_path, wine_program

ARGUMENT_ERROR_TEXT = "コマンドライン引数が正しくありません。"
ARGUMENT_ERROR_EXIT_CODE = 3
MB_ICONSTOP_NAME = "hand"  # the name launch.exe gives to the stop icon (IDI_HAND)


class FaxjobTestCase(unittest.TestCase):
    """Base class: a fresh scratch folder with the program in it, and ways to run it there."""

    RUN_TIMEOUT = 60.0  # seconds; Wine runs under emulation on some machines

    @classmethod
    def setUpClass(cls):
        cls.artifacts = Artifacts.locate()
        cls.wine = wine_program()

    def setUp(self):
        self.scratch = self.artifacts.build_dir / "e2e-scratch" / self.id()
        if self.scratch.exists():
            shutil.rmtree(self.scratch)
        self.scratch.mkdir(parents=True)
        self.faxjob_exe = self.scratch / "faxjob.exe"
        self.fax_library = self.scratch / "ZRQINT32.DLL"
        shutil.copy2(self.artifacts.faxjob_exe, self.faxjob_exe)
        shutil.copy2(self.artifacts.fax_library, self.fax_library)
        self.record_file = self.scratch / "received-record.bin"
        self._run_numbers = itertools.count(1)
        self._run_numbers_lock = threading.Lock()  # runs may be started from several threads

    # -- running -------------------------------------------------------------------------------

    def run_raw(self, raw_command_line: str, cwd=None, env=None, timeout=None,
                launch_options=()) -> RunResult:
        """Runs launch.exe on an exact raw command line, which need not start with faxjob.
        launch_options go to launch.exe: a kill at a chosen moment, an invisible desktop."""
        return self.run_series([(raw_command_line, launch_options)], cwd, env, timeout)[0]

    def run_series(self, runs, cwd=None, env=None, timeout=None) -> list:
        """Runs (raw command line, launch options) pairs one after the other, as many under one
        start of launch.exe as its command line takes, and returns a RunResult for each; the
        timeout holds for each run."""
        with self._run_numbers_lock:
            run = next(self._run_numbers)
        series = [[]]  # the launch.exe arguments of each run, by start of launch.exe
        length = 0
        for i, (raw_command_line, launch_options) in enumerate(runs):
            command_file = self.scratch / f"command-line-{run}-{i}.txt"
            try:
                command_file.write_bytes(raw_command_line.encode("utf-8"))
            except UnicodeEncodeError:  # lone surrogates: only UTF-16 carries them
                command_file.write_bytes(b"\xff\xfe" +
                                         raw_command_line.encode("utf-16-le", "surrogatepass"))
            arguments = [*launch_options, "@" + wine_path(command_file)]
            size = sum(len(argument) + 3 for argument in arguments)  # quotes and a space
            # A Windows command line holds at most 32767 characters.
            if series[-1] and length + size > 30000:
                series.append([])
                length = 0
            series[-1].append(arguments)
            length += size
        return [result for part, arguments in enumerate(series)
                for result in self._launch(f"{run}-{part}", arguments, cwd, env, timeout)]

    def _launch(self, name, runs_arguments, cwd, env, timeout) -> list:
        timeout = timeout or self.RUN_TIMEOUT
        run_env = dict(os.environ)
        run_env.update(env or {})
        # Output goes to files, not pipes: a Wine background process that inherited a pipe would
        # keep the run from ending.
        stdout_file = self.scratch / f"launch-{name}.out"
        stderr_file = self.scratch / f"launch-{name}.err"
        with open(stdout_file, "wb") as out, open(stderr_file, "wb") as err:
            try:
                subprocess.run(
                    [self.wine, str(self.artifacts.launch_exe), "--timeout-ms",
                     str(int(timeout * 1000)), *itertools.chain(*runs_arguments)],
                    cwd=str(cwd or self.scratch), env=run_env, stdin=subprocess.DEVNULL,
                    stdout=out, stderr=err, timeout=timeout * len(runs_arguments) + 60,
                    check=False)
            except subprocess.TimeoutExpired:
                self.fail(f"launch.exe did not end within {timeout * len(runs_arguments) + 60} s")
        reports = [json.loads(line) for line in
                   stdout_file.read_text("utf-8", "replace").splitlines() if line.startswith("{")]
        if len(reports) != len(runs_arguments):
            self.fail(f"launch.exe gave {len(reports)} reports for {len(runs_arguments)} runs; "
                      "stderr: " + stderr_file.read_text("utf-8", "replace"))
        results = []
        for report in reports:
            if report["timed_out"]:
                self.fail(f"the program was still running after {timeout} s and was killed "
                          f"(windows: {report['windows']})")
            windows = [MessageBox(w["class"], w["title"], w["text"],
                                  [(b["id"], b["text"]) for b in w["buttons"]], w["icon"])
                       for w in report["windows"]]
            results.append(RunResult(report["exit_code"], windows, report["elapsed_ms"] / 1000.0,
                                     report.get("killed"), report.get("station_visible")))
        return results

    def run_faxjob(self, argument_text: str, cwd=None, env=None, save_record=True,
                   timeout=None, launch_options=()) -> RunResult:
        """Runs the scratch copy of faxjob.exe with this argument text after its quoted path.
        With save_record the library stand-in saves the record it receives to self.record_file."""
        run_env = dict(env or {})
        if save_record:
            run_env.setdefault("ZRQ_STANDIN_RECORD", wine_path(self.record_file))
        raw = '"' + wine_path(self.faxjob_exe) + '"' + argument_text
        return self.run_raw(raw, cwd=cwd, env=run_env, timeout=timeout,
                            launch_options=launch_options)

    # -- files ---------------------------------------------------------------------------------

    def path(self, *parts) -> Path:
        """A path inside the scratch folder; its folder is created."""
        path = self.scratch.joinpath(*parts)
        path.parent.mkdir(parents=True, exist_ok=True)
        return path

    def make_folder(self, *parts) -> Path:
        """A folder inside the scratch folder, created with its parents."""
        folder = self.scratch.joinpath(*parts)
        folder.mkdir(parents=True, exist_ok=True)
        return folder

    def write_job(self, relative, lines=("03-1234-5678",), encoding="cp932") -> Path:
        """A job file for the library stand-in, one line per item, CR LF line ends."""
        path = self.path(relative)
        path.write_bytes("".join(line + "\r\n" for line in lines).encode(encoding))
        return path

    def short_path(self, path) -> str:
        """The Windows short (8.3) form of path, as GetShortPathNameW gives it."""
        done = subprocess.run([self.wine, str(self.artifacts.setattr_exe), "--short-path",
                               wine_path(path)], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=self.RUN_TIMEOUT, check=False)
        if done.returncode != 0:
            self.fail(f"setattr.exe failed: {done.stderr.decode('utf-8', 'replace')}")
        return done.stdout.decode("utf-8").strip()

    def set_attributes(self, path, attributes: str) -> int:
        """Sets Windows file attributes (hidden, system, readonly, archive, normal; comma-separated)
        through SetFileAttributesW and returns the attributes Windows then reports."""
        done = subprocess.run([self.wine, str(self.artifacts.setattr_exe), wine_path(path),
                               attributes], stdin=subprocess.DEVNULL, capture_output=True,
                              timeout=self.RUN_TIMEOUT, check=False)
        if done.returncode != 0:
            self.fail(f"setattr.exe failed: {done.stderr.decode('utf-8', 'replace')}")
        return int(done.stdout.decode().split()[-1], 16)

    @contextlib.contextmanager
    def holding(self, path, seconds=300, kernel_object=None, lock=False):
        """Keeps path open without sharing in another Wine process while the block runs; with
        kernel_object ("mutex" or "event"), holds that object under the name runs once gave to
        the turn of the folder path instead; with lock, keeps path open as a run keeps its
        folder's lock file, and its turn taken."""
        options = [f"--{kernel_object}"] if kernel_object else ["--lock"] if lock else []
        holder = subprocess.Popen([self.wine, str(self.artifacts.hold_exe), *options,
                                   wine_path(path), str(seconds)], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            answer = holder.stdout.readline().decode("ascii", "replace").strip()
            if answer != "held":
                self.fail(f"hold.exe could not open {path}: {answer}")
            yield
        finally:
            holder.stdin.close()  # end of input lets hold.exe close the file and end
            holder.wait(timeout=self.RUN_TIMEOUT)
            holder.stdout.close()

    def received_record(self) -> bytes:
        """The record the library stand-in received in the last run."""
        self.assertTrue(self.record_file.is_file(), "the library was not called")
        record = self.record_file.read_bytes()
        self.assertEqual(len(record), RECORD_SIZE)
        return record

    def scratch_files(self) -> set:
        """Every file below the scratch folder, as relative paths, except the harness's own."""
        own = {"faxjob.exe", "ZRQINT32.DLL"}
        return {str(p.relative_to(self.scratch)) for p in self.scratch.rglob("*")
                if p.is_file() and p.name not in own and not p.name.startswith(("command-line-",
                                                                                 "launch-"))}

    # -- assertions ----------------------------------------------------------------------------

    def assertArgumentError(self, result: RunResult):
        """The argument-error message box, closed by its OK button, ended the program."""
        self.assertEqual(len(result.windows), 1, f"windows shown: {result.windows}")
        box = result.message_box
        self.assertEqual(box.window_class, "#32770")
        self.assertEqual(box.title, "faxjob")
        self.assertEqual(box.text, ARGUMENT_ERROR_TEXT)
        self.assertEqual([text for _, text in box.buttons], ["OK"])
        self.assertEqual(box.icon, MB_ICONSTOP_NAME)
        self.assertEqual(result.exit_code, ARGUMENT_ERROR_EXIT_CODE)

    def assertNoWindow(self, result: RunResult):
        self.assertEqual(result.windows, [], "the program showed a window")
