"""Failures after the command line is accepted: each ends as one error line at the end of the
report file, or, when no report can hold it, as exit status 2 with no report left behind (or an
earlier one left as it was). No run shows a window."""

import os
import shutil
import unittest
from pathlib import Path

from harness import FaxjobTestCase
from send_record import ansi_bytes, expected_record
from wine_programs import wine_path

EXIT_REPORT_WRITTEN = 0
EXIT_FAILURE_REPORTED = 1
EXIT_FAILURE_UNREPORTED = 2
EXIT_NOTHING_SENT = 3
EXIT_FAILED_BEFORE_CALL = 5  # with the error line: the library was not called

DESCRIPTIONS = {
    6: "オーバーフローしました。",
    9: "インデックスが有効範囲にありません。",
    13: "型が一致しません。",
    48: "DLL の読み込み中にエラーが発生しました。",
    51: "内部エラーです。",
    52: "ファイル名が不正です。",
    53: "ファイルが見つかりません。",
    55: "ファイルは既に開かれています。",
    61: "ディスクの空き容量が不足しています。",
    62: "ファイルにこれ以上データがありません。",
    70: "書き込みできません。ファイルは他のプロセスで使用中です。",
    75: "パス名またはファイル名が無効か、アクセスが拒否されました。",
    76: "パスが見つかりません。",
    453: "DLL エントリ ポイントが見つかりません。",
}
SENT_TEXT = "FAX送信を終了しました｡"  # the status text for library code 0
COMMUNICATION_ERROR_TEXT = "FAX通信でのｴﾗｰです｡"  # for library code -5

ONE_NUMBER_JOB = ("03-1234-5678",)
OLD_REPORT = "000001,前回の報告\r\n".encode("cp932")


def report_line(number: int, text: str) -> bytes:
    field = "%06d" % number if number >= 0 else "-%05d" % -number
    return (field + "," + text + "\r\n").encode("cp932")


def error_line(code: int) -> bytes:
    return report_line(code, DESCRIPTIONS[code])


def result_directive(text: str) -> str:
    """A stand-in job line that appends text, CR LF written as escapes, to RESULT.TXT."""
    return "!result " + text.replace("\r", "\\r").replace("\n", "\\n")


class FailureTestCase(FaxjobTestCase):

    def run_job(self, job_lines, report, **run_options):
        """Runs faxjob on a job for the stand-in and a report path (a Path, or raw text)."""
        job = self.write_job("job.txt", job_lines)
        report_argument = report if isinstance(report, str) else wine_path(report)
        result = self.run_faxjob(f" {wine_path(job)} {report_argument}", **run_options)
        self.assertNoWindow(result)
        return result

    def assertErrorReport(self, result, report: Path, code: int, lines_before=b"",
                          status=EXIT_FAILURE_REPORTED):
        self.assertEqual(report.read_bytes(), lines_before + error_line(code))
        self.assertEqual(result.exit_code, status)


class ResultPathLengthTests(FailureTestCase):
    """The result-file path must fit its 260-byte slot with its NUL."""

    def folder_for_result_path_of(self, name, total_bytes, char) -> Path:
        """A new folder whose path plus "\\RESULT.TXT" takes total_bytes in code page 932, made
        of nested folders named with char (one or two bytes) so no name is too long for Linux."""
        folder = self.make_folder(name)
        remaining = total_bytes - len(ansi_bytes(wine_path(folder) + "\\RESULT.TXT"))
        width = len(ansi_bytes(char))
        while remaining > 0:
            name_bytes = remaining - 1 if remaining <= 101 else 60  # 1 byte for the backslash
            folder /= char * (name_bytes // width) + "a" * (name_bytes % width)
            remaining -= 1 + name_bytes
        folder.mkdir(parents=True)
        self.assertEqual(len(ansi_bytes(wine_path(folder) + "\\RESULT.TXT")), total_bytes)
        return folder

    def test_result_path_of_260_bytes_is_refused_before_the_library_is_called(self):
        for total_bytes, char, fits in ((259, "f", True), (259, "漢", True), (260, "f", False),
                                        (260, "漢", False)):
            with self.subTest(total_bytes=total_bytes, char=char):
                report = self.folder_for_result_path_of(f"{total_bytes}{char}", total_bytes,
                                                        char) / "r.txt"
                self.record_file.unlink(missing_ok=True)
                result = self.run_job(ONE_NUMBER_JOB, report)
                if fits:
                    self.assertEqual(result.exit_code, EXIT_REPORT_WRITTEN)
                    self.assertEqual(report.read_bytes(), report_line(1, SENT_TEXT))
                    record = self.received_record()
                    self.assertEqual(record, expected_record(wine_path(self.path("job.txt")),
                                                             wine_path(report.parent)
                                                             + "\\RESULT.TXT"))
                    self.assertEqual(record[548 + 259], 0)
                else:
                    self.assertErrorReport(result, report, 9, status=EXIT_FAILED_BEFORE_CALL)
                    self.assertFalse(self.record_file.exists(), "the library was called")
                    self.assertFalse((report.parent / "RESULT.TXT").exists())


class LibraryTests(FailureTestCase):
    """A fax library that cannot be loaded or has no entry point. A RESULT.TXT is in place
    beforehand: a run refused for its library does not get as far as removing it."""

    def setUp(self):
        super().setUp()
        self.test_libraries = self.artifacts.build_dir / "testdlls"
        self.report = self.path("out", "r.txt")
        self.path("out", "RESULT.TXT").write_bytes(b'/R 7,"03-1234-5678",OK\r\n')

    def use_library(self, source):
        self.fax_library.unlink()
        if source is not None:
            shutil.copyfile(source, self.fax_library)

    def assertNoLibraryOnWineSearchPath(self):
        windows = Path(os.environ["WINEPREFIX"], "drive_c", "windows")
        for folder in (windows, windows / "system32", self.scratch):
            names = {name.lower() for name in os.listdir(folder)}
            self.assertNotIn("zrqint32.dll", names, f"a fax library is in {folder}")

    def test_libraries_that_cannot_be_used(self):
        text_file = self.path("text.txt")
        text_file.write_text("not a library\r\n")
        cases = (("text file", text_file, 48),
                 ("64-bit library", self.test_libraries / "ZRQ64.DLL", 48),
                 ("no entry point", self.test_libraries / "NOENTRY.dll", 453),
                 ("dependency missing", self.test_libraries / "NEEDSDEP.dll", 53),
                 ("no library", None, 53))
        for name, source, code in cases:
            with self.subTest(name):
                if source is not None and not source.is_file():
                    self.skipTest(f"{source.name} was not built")
                self.use_library(source)
                if source is None:
                    self.assertNoLibraryOnWineSearchPath()
                result = self.run_job(ONE_NUMBER_JOB, self.report)
                self.assertErrorReport(result, self.report, code, status=EXIT_FAILED_BEFORE_CALL)
                self.assertFalse(self.record_file.exists(), "the stand-in was called")
                self.assertTrue(self.path("out", "RESULT.TXT").exists(), "a file was removed")

    def test_library_with_its_dependency_beside_it_is_called(self):
        # The counterpart of "dependency missing": the same library loads once ZRQDEP.dll is
        # there. The old RESULT.TXT is then removed before the call, and as this library writes
        # none, the run ends with 53 all the same.
        self.use_library(self.test_libraries / "NEEDSDEP.dll")
        shutil.copyfile(self.test_libraries / "ZRQDEP.dll", self.scratch / "ZRQDEP.dll")
        result = self.run_job(ONE_NUMBER_JOB, self.report)
        self.assertErrorReport(result, self.report, 53)
        self.assertFalse(self.path("out", "RESULT.TXT").exists())


class ResultFileTests(FailureTestCase):

    def test_missing_result_file_replaces_an_old_report_with_the_error_line(self):
        report = self.path("out", "r.txt")
        report.write_bytes(OLD_REPORT)
        result = self.run_job(ONE_NUMBER_JOB + ("!no-result", "!return -5"), report)
        self.received_record()
        self.assertErrorReport(result, report, 53)

    def test_report_path_leading_to_the_result_file_leaves_it_as_the_library_wrote_it(self):
        # A link is another name for RESULT.TXT; opening it for writing would empty the file.
        written = b'/R 1,"03-1234-5678",OK\r\n'
        out = self.make_folder("out")
        (out / "r.txt").symlink_to("RESULT.TXT")
        result = self.run_job([result_directive(written.decode())], out / "r.txt")
        self.received_record()
        self.assertEqual(result.exit_code, EXIT_FAILURE_UNREPORTED)
        self.assertEqual((out / "RESULT.TXT").read_bytes(), written)


class TranscriptionFailureTests(FailureTestCase):
    """A bad item in RESULT.TXT: the lines before it stay, followed by the error line."""

    def test_bad_item_after_good_entries(self):
        first = '/R 1,"03-1111-2222",OK\r\n'
        second = '/R 2,"03-3333-4444",OK\r\n'
        cases = {
            62: ([first, second, '"never closed'], 0, 2),
            13: ([first, '/R x,"03-3333-4444",OK\r\n'], 0, 1),
            6: ([first, "/R " + "9" * 400 + "\r\n"], -5, 1),
        }
        for code, (result_text, library_code, good_entries) in cases.items():
            with self.subTest(code=code):
                report = self.path(f"out{code}", "r.txt")
                job = [result_directive(text) for text in result_text]
                result = self.run_job(job + [f"!return {library_code}"], report)
                status_text = SENT_TEXT if library_code == 0 else COMMUNICATION_ERROR_TEXT
                lines_before = b"".join(report_line(n, status_text)
                                        for n in range(1, good_entries + 1))
                self.assertErrorReport(result, report, code, lines_before)



if __name__ == "__main__":
    unittest.main()
