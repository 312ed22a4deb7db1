"""The command line of faxjob.exe: splitting, the job-file check, the argument-error message box,
and the paths that reach the library in the send request record."""

import shutil
import unittest

from harness import MB_ICONSTOP_NAME, FaxjobTestCase
from send_record import ansi_bytes, expected_record, slot_text_bytes
from wine_programs import wine_path

SUCCESS_EXIT_CODE = 0


class ArgumentErrorTests(FaxjobTestCase):
    """Command lines without two usable arguments: the message box, and nothing written."""

    def assertRejected(self, argument_text, **run_options):
        result = self.run_faxjob(argument_text, **run_options)
        self.assertArgumentError(result)
        self.assertFalse(self.record_file.exists(), "the library was called")
        return result

    def test_empty_and_blank_command_lines(self):
        self.write_job("job.txt")
        before = self.scratch_files()
        for argument_text in ("", " ", "     "):
            with self.subTest(argument_text=argument_text):
                self.assertRejected(argument_text)
        self.assertEqual(self.scratch_files(), before)

    def test_single_argument(self):
        job = self.write_job("job.txt")
        for argument_text in (" " + wine_path(job), "   " + wine_path(job) + "   "):
            with self.subTest(argument_text=argument_text):
                self.assertRejected(argument_text)
        self.assertEqual(self.scratch_files(), {"job.txt"})

    def test_tab_does_not_separate_the_arguments(self):
        job = self.write_job("job.txt")
        self.assertRejected(f" {wine_path(job)}\t{wine_path(self.path('out', 'r.txt'))}")
        self.assertFalse(self.path("out", "RESULT.TXT").exists())

    def test_missing_job_file(self):
        self.assertRejected(f" {wine_path(self.path('nothing.txt'))} "
                            f"{wine_path(self.path('out', 'r.txt'))}")
        self.assertEqual(self.scratch_files(), set())

    def test_the_first_space_splits_a_job_path_that_holds_a_space(self):
        # Job path "...\in", report path "dir\job.txt ...\r.txt": there is no file "in".
        self.write_job("in dir/job.txt")
        self.assertRejected(f" {wine_path(self.path('in dir', 'job.txt'))} "
                            f"{wine_path(self.path('out', 'r.txt'))}")

    def test_double_quotes_do_not_group(self):
        # A quoted job path keeps its quotes, so it names no file although the path inside the
        # quotes exists. Whether the file search reports no match or a bad name decides between
        # the argument error and the failure box; either is a stop box, and nothing is written.
        report = wine_path(self.path("out", "r.txt"))
        for job in (self.write_job("job.txt"), self.write_job("in dir/job.txt")):
            with self.subTest(job=job.name):
                result = self.run_faxjob(f' "{wine_path(job)}" {report}')
                self.assertEqual(len(result.windows), 1, result.windows)
                box = result.message_box
                self.assertEqual((box.title, box.icon), ("faxjob", MB_ICONSTOP_NAME))
                self.assertEqual([text for _, text in box.buttons], ["OK"])
                self.assertFalse(self.record_file.exists(), "the library was called")
        self.assertEqual(self.scratch_files(), {"job.txt", "in dir/job.txt"})

    def test_folder_without_trailing_backslash(self):
        self.write_job("jobs/job.txt")
        self.assertRejected(f" {wine_path(self.path('jobs'))} {wine_path(self.path('r.txt'))}")

    def test_folder_with_trailing_backslash_but_no_file(self):
        self.make_folder("jobs", "sub")  # a folder that holds a folder only
        self.assertRejected(f" {wine_path(self.path('jobs'))}\\ {wine_path(self.path('r.txt'))}")

    def test_hidden_and_system_files_do_not_count(self):
        report = wine_path(self.path("r.txt"))
        for attribute, flag in (("hidden", 0x2), ("system", 0x4)):
            with self.subTest(attribute=attribute):
                job = self.write_job(f"{attribute}.txt")
                self.assertTrue(self.set_attributes(job, attribute) & flag)
                self.assertRejected(f" {wine_path(job)} {report}")
                # A pattern that matches the file alone does not find it either.
                self.assertRejected(f" {wine_path(self.path(attribute[:3]))}*.txt {report}")

    def test_a_device_as_the_job_path(self):
        # Wine lists LPT1.txt in a folder, and reads the name as a device, as Windows 10 does.
        self.write_job("LPT1.txt")
        report = wine_path(self.path("out", "r.txt"))
        for job in ("COM1", "NUL", "\\\\.\\COM1", "LPT1.txt", wine_path(self.path("nul"))):
            with self.subTest(job=job):
                self.assertRejected(f" {job} {report}", cwd=self.scratch)
        self.assertEqual(self.scratch_files(), {"LPT1.txt"})

    def test_wildcard_that_matches_a_folder_only(self):
        self.make_folder("jobs-folder")
        self.assertRejected(f" {wine_path(self.path('jobs-*'))} {wine_path(self.path('r.txt'))}")


class AcceptedCommandLineTests(FaxjobTestCase):
    """Command lines that pass the check: the paths as the library receives them."""

    def assertAccepted(self, argument_text, **run_options):
        """The library is called. The run may still end in a failure (the stand-in cannot read a
        folder or a pattern as its job file), which is reported in the report file alone."""
        result = self.run_faxjob(argument_text, **run_options)
        self.assertNoWindow(result)
        return self.received_record()

    def assertSlot(self, record, name, text):
        self.assertEqual(slot_text_bytes(record, name), ansi_bytes(text))

    def test_spaces_around_and_between_the_arguments_are_dropped(self):
        self.write_job("a.txt")
        result = self.run_faxjob("   a.txt   b.txt   ", cwd=self.scratch)
        self.assertNoWindow(result)
        self.assertEqual(result.exit_code, SUCCESS_EXIT_CODE)
        self.assertEqual(self.received_record(), expected_record("a.txt", "RESULT.TXT"))
        self.assertEqual(self.path("b.txt").read_bytes(),
                         "000001,FAX送信を終了しました｡\r\n".encode("cp932"))

    def test_a_space_right_after_the_program_path_is_not_needed(self):
        self.write_job("a.txt")
        raw = f'"{wine_path(self.faxjob_exe)}"a.txt b.txt'
        result = self.run_raw(raw, cwd=self.scratch,
                              env={"ZRQ_STANDIN_RECORD": wine_path(self.record_file)})
        self.assertNoWindow(result)
        self.assertEqual(self.received_record(), expected_record("a.txt", "RESULT.TXT"))

    def test_program_path_without_quotes_and_with_spaces_in_quotes(self):
        job = self.write_job("job.txt")
        report = self.path("out", "r.txt")
        program_in_spaced_folder = self.path("program dir", "faxjob.exe")
        shutil.copy2(self.faxjob_exe, program_in_spaced_folder)
        shutil.copy2(self.fax_library, program_in_spaced_folder.parent / "ZRQINT32.DLL")
        for program_token in (wine_path(self.faxjob_exe),
                              f'"{wine_path(program_in_spaced_folder)}"'):
            with self.subTest(program_token=program_token):
                self.record_file.unlink(missing_ok=True)
                result = self.run_raw(f"{program_token} {wine_path(job)} {wine_path(report)}",
                                      env={"ZRQ_STANDIN_RECORD": wine_path(self.record_file)})
                self.assertNoWindow(result)
                self.assertEqual(self.received_record(),
                                 expected_record(wine_path(job),
                                                 wine_path(self.path("out", "RESULT.TXT"))))

    def test_the_report_path_keeps_its_spaces(self):
        job = self.write_job("in")  # the job path is the text up to the first space
        self.make_folder("dir", "job.txt  x")
        record = self.assertAccepted(f" {wine_path(job)} dir\\job.txt  x\\r.txt ",
                                     cwd=self.scratch)
        self.assertSlot(record, "ResultFilePath", "dir\\job.txt  x\\RESULT.TXT")

    def test_folder_with_trailing_backslash_holding_a_file(self):
        self.write_job("jobs/job.txt")
        job_argument = wine_path(self.path("jobs")) + "\\"
        record = self.assertAccepted(f" {job_argument} {wine_path(self.path('r.txt'))}")
        self.assertSlot(record, "JobFilePath", job_argument)

    def test_wildcards_that_match_a_file_go_into_the_record_unchanged(self):
        self.write_job("jobs/job001.txt")
        report = wine_path(self.path("r.txt"))
        for pattern in ("job*.txt", "*", "job00?.txt", "*.*"):
            with self.subTest(pattern=pattern):
                job_argument = wine_path(self.path("jobs")) + "\\" + pattern
                record = self.assertAccepted(f" {job_argument} {report}")
                self.assertSlot(record, "JobFilePath", job_argument)

    def test_read_only_file_counts(self):
        job = self.write_job("job.txt")
        self.assertTrue(self.set_attributes(job, "readonly") & 0x1)
        record = self.assertAccepted(f" {wine_path(job)} {wine_path(self.path('r.txt'))}")
        self.assertSlot(record, "JobFilePath", wine_path(job))


class ResultPathTests(FaxjobTestCase):
    """The result-file path: the report path's folder part up to its last backslash."""

    def result_path_for(self, report_argument):
        job = self.write_job("job.txt")
        result = self.run_faxjob(f" {wine_path(job)} {report_argument}", cwd=self.scratch)
        self.assertNoWindow(result)
        return slot_text_bytes(self.received_record(), "ResultFilePath")

    def test_result_path_derivation(self):
        out = wine_path(self.make_folder("out", "sub"))
        self.make_folder("out", "sub", "a", "b", "c")  # where Windows puts the report
        cases = {
            f"{out}\\r.txt": f"{out}\\RESULT.TXT",
            "r.txt": "RESULT.TXT",
            "out/sub/r.txt": "RESULT.TXT",  # a forward slash is an ordinary character
            f"{out}\\a/b\\c/r.txt": f"{out}\\a/b\\RESULT.TXT",
        }
        for report_argument, expected in cases.items():
            with self.subTest(report_argument=report_argument):
                self.record_file.unlink(missing_ok=True)
                self.assertEqual(self.result_path_for(report_argument), ansi_bytes(expected))


class RecordTests(FaxjobTestCase):
    """The whole record against one built here from the layout, for Japanese paths."""

    def test_kanji_and_half_width_katakana_paths(self):
        job = self.write_job("送信/ｼﾞｮﾌﾞ指示.txt")
        report_folder = self.make_folder("結果ﾌｫﾙﾀﾞ")
        result = self.run_faxjob(f" {wine_path(job)} {wine_path(report_folder)}\\報告.txt")
        self.assertNoWindow(result)
        record = self.received_record()
        expected = expected_record(wine_path(job), wine_path(report_folder) + "\\RESULT.TXT")
        self.assertEqual(record, expected)
        # Written out by hand: kanji take two bytes, half-width katakana one.
        self.assertIn(b"\x91\x97\x90\x4d\\\xbc\xde\xae\xcc\xde\x8e\x77\x8e\xa6.txt\0", record)
        self.assertEqual(result.exit_code, SUCCESS_EXIT_CODE)
        self.assertTrue((report_folder / "報告.txt").is_file())


if __name__ == "__main__":
    unittest.main()
