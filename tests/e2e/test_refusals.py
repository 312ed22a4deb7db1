"""Report paths that could never be kept: no fax is sent whose outcome cannot be recorded. Each
is refused before the call with status 3, no window and nothing written; a mapped program file
named as the report stays as it was, so the library stays loaded and later runs still work."""

import os
import unittest

from test_failures import EXIT_NOTHING_SENT, EXIT_REPORT_WRITTEN, ONE_NUMBER_JOB, OLD_REPORT
from test_run_guards import GuardTestCase
from wine_programs import wine_path


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


if __name__ == "__main__":
    unittest.main()
