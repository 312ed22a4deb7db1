"""Whole runs of faxjob.exe from command line to report file: the library stand-in writes
RESULT.TXT with exact bytes, and the report is compared byte for byte with lines built here
from the expected entry numbers and the status texts encoded with Python's cp932 codec."""

import unittest

from harness import FaxjobTestCase
from wine_programs import wine_path

STATUS_TEXTS = {
    0: "FAX送信を終了しました｡",
    -1: "関数の引数及び､構造体の内部に異常があります｡",
    -2: "ﾘｻﾞﾙﾄﾌｧｲﾙの作成または､書込のｴﾗｰです｡",
    -3: "ﾌｧｲﾙ全般の作成または､書込のｴﾗｰです｡",
    -4: "内部ｴﾗｰです｡",
    -5: "FAX通信でのｴﾗｰです｡",
    -6: "ﾒﾓﾘ不足のｴﾗｰです｡",
    -7: "ﾕｰｻﾞ中断です｡",
    -10: "送信指示ﾌｧｲﾙのﾊﾟﾗﾒｰﾀに異常があります｡",
    -11: "送信待への登録ｴﾗｰ｡",
    -13: "必要なﾌｧｲﾙが見つかりません｡",
    -14: "ﾌｧｲﾙ全般の読込ｴﾗｰです｡",
    -15: "ﾃﾞｰﾀﾌｧｲﾙの形式が未ｻﾎﾟｰﾄまたは、異常です｡",
    -16: "送信指示ﾌｧｲﾙがｵｰﾌﾟﾝできません｡",
    -17: "送信指示ﾌｧｲﾙの形式に異常があります｡",
    -18: "ゾラミV2の起動ｴﾗｰです｡",
    -19: "ゾラミV2との通信ｴﾗｰです｡",
    -20: "ゾラミV2は操作中です｡",
    -21: "異文書同報送信中です｡",
    -22: "通信中または､送信待機中です｡",
}
UNDEFINED_ERROR_TEXT = "未定義のｴﾗｰです｡ "


def number_field(value: int) -> str:
    return "%06d" % value if value >= 0 else "-%05d" % -value


def report_bytes(numbers, status_text) -> bytes:
    return b"".join((number_field(n) + "," + status_text + "\r\n").encode("cp932")
                    for n in numbers)


def escaped(raw: bytes) -> str:
    """Bytes as the stand-in's !result escapes spell them."""
    return "".join("\\x%02X" % b for b in raw)


class TranscriptionTests(FaxjobTestCase):

    def run_with_result(self, result: bytes, code: int = 0, report_name: str = "status.txt"):
        """Runs a job whose library call writes `result` as RESULT.TXT and returns `code`."""
        job = self.path("job.txt")
        job.write_bytes(b"!return %d\r\n!result %s\r\n" % (code, escaped(result).encode()))
        report = self.path("out", report_name)
        run = self.run_faxjob(f" {wine_path(job)} {wine_path(report)}")
        self.assertNoWindow(run)
        self.assertEqual(self.path("out", "RESULT.TXT").read_bytes(), result)
        return run, report

    def assertReport(self, result: bytes, numbers, code: int = 0):
        run, report = self.run_with_result(result, code)
        self.assertEqual(run.exit_code, 0 if code == 0 else 4)
        self.assertEqual(report.read_bytes(),
                         report_bytes(numbers, STATUS_TEXTS.get(code, UNDEFINED_ERROR_TEXT)))

    def test_a_plain_job_reports_every_number_sent(self):
        job = self.write_job("job.txt", ["03-1234-5678", "045-111-2222", "06-9876-5432"])
        report = self.path("out", "status.txt")
        report.write_bytes(b"a longer report left from an earlier run\r\n" * 10)
        run = self.run_faxjob(f"  {wine_path(job)}   {wine_path(report)}  ")
        self.assertNoWindow(run)
        self.assertEqual(run.exit_code, 0)
        self.assertEqual(report.read_bytes(), report_bytes([1, 2, 3], STATUS_TEXTS[0]))

    def test_every_kind_of_line_end_and_empty_lines(self):
        self.assertReport(b"/R 1\r\n/R 2\r/R 3\n\r\n\n\r/R 4\r\n", [1, 2, 3, 4])
        self.assertReport(b"/R 5\r\n\r\n/R 6", [5, 6])

    def test_which_items_are_record_entries_and_their_numbers(self):
        result = ('/R 1,OK\r\n/R:0012\r\n/R 1234567\r\n/R -5\r\n/R-5\r\n/r 7\r\nX/R 7\r\n'
                  '"/R 8","a,b",/R 9,"x,/R 3"\r\n/R漢5\r\n/Rｱ6\r\n  /R 10  \r\n').encode("cp932")
        self.assertReport(result, [1, 12, 1234567, -5, 5, 8, 9, 5, 6, 10])

    def test_no_entries_leave_an_empty_report(self):
        for result in (b"", b"\r\n", b"OK,done\r\n", b"/r 1"):
            with self.subTest(result=result):
                self.path("out", "status.txt").write_bytes(b"stale\r\n")
                self.assertReport(result, [])

    def test_status_text_of_every_result_code(self):
        # Error codes still give one line per entry, with their own text.
        for code in [*STATUS_TEXTS, -8, -9, -12, 1, -23]:
            with self.subTest(code=code):
                self.assertReport(b"/R 1\r\n/R 2\r\n", [1, 2], code)


if __name__ == "__main__":
    unittest.main()
