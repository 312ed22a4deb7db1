"""The release archives: made by CPack from the build, unpacked, checked against SHA256SUMS, and a
job run from the unpacked program with the unpacked stand-in library found on the search path.
The package step also runs in a source tree without history, as a distributor packs it."""

import calendar
import hashlib
import os
import re
import subprocess
import unittest
import zipfile
from pathlib import Path

from harness import FaxjobTestCase
from wine_programs import wine_path


class PackageTests(FaxjobTestCase):

    def make_packages(self):
        cpack = os.environ.get("FAXJOB_CPACK", "cpack")
        made = subprocess.run(
            [cpack, "--config", str(self.artifacts.build_dir / "CPackConfig.cmake"),
             "-B", str(self.scratch / "packages")],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600, check=False)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        return self.scratch / "packages"

    def test_archives_unpack_into_separate_folders_and_run_a_job(self):
        version = os.environ["FAXJOB_VERSION"]
        program, standin = f"faxjob-{version}-win32", f"ZRQINT32-test-standin-{version}-win32"
        packages = self.make_packages()
        unpacked = self.make_folder("unpacked")
        contents = {}
        for name in (program, standin):
            with zipfile.ZipFile(packages / f"{name}.zip") as archive:
                contents[name] = {entry for entry in archive.namelist()
                                  if not entry.endswith("/")}
                archive.extractall(unpacked)
        self.assertEqual(contents[program], {
            f"{program}/faxjob.exe", f"{program}/README.md",
            f"{program}/callers/send_fax.bat", f"{program}/callers/send_fax.vbs"})
        self.assertEqual(contents[standin], {f"{standin}/ZRQINT32.DLL", f"{standin}/README.md"})
        # Without a certificate the program is packed as built: unsigned, unchanged.
        self.assertEqual((unpacked / program / "faxjob.exe").read_bytes(),
                         self.artifacts.faxjob_exe.read_bytes())
        # SHA256SUMS names every release file, and the program where the zip unpacks it.
        sums = {}
        for line in (packages / "SHA256SUMS").read_text("ascii").splitlines():
            digest, name = line.split("  ", 1)
            sums[name] = digest
        where = {f"{program}.zip": packages, f"{standin}.zip": packages,
                 f"{program}.msi": packages, f"{program}/faxjob.exe": unpacked}
        self.assertEqual(set(sums), set(where))
        for name, folder in where.items():
            self.assertEqual(sums[name], hashlib.sha256((folder / name).read_bytes()).hexdigest(),
                             name)
        # cmd.exe misreads labels in a batch file with bare LF line ends.
        batch = (unpacked / program / "callers" / "send_fax.bat").read_bytes()
        self.assertEqual(batch.count(b"\n"), batch.count(b"\r\n"))

        # Only the unpacked stand-in, on the search path, may be found.
        self.fax_library.unlink()
        job = self.write_job("job.txt", ("03-1234-5678",))
        report = self.make_folder("out") / "status.txt"
        result = self.run_raw(
            f'"{wine_path(unpacked / program / "faxjob.exe")}" {wine_path(job)} '
            f"{wine_path(report)}",
            cwd=unpacked, env={"WINEPATH": wine_path(unpacked / standin)})
        self.assertNoWindow(result)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(report.read_bytes(), "000001,FAX送信を終了しました｡\r\n".encode("cp932"))

    def test_package_step_dates_a_tree_without_history_by_its_newest_source(self):
        # `git archive` gives every file the commit's time; one file is made newer here, so the
        # date must come from the files, not from the checkout the tree happens to lie in.
        source = Path(os.environ["FAXJOB_SOURCE_DIR"])
        tree = self.make_folder("source-tree")
        archive = subprocess.run(["git", "-C", str(source), "archive", "HEAD"],
                                 stdin=subprocess.DEVNULL, capture_output=True, check=True).stdout
        subprocess.run(["tar", "-x", "-C", str(tree)], input=archive, check=True)
        newest = calendar.timegm((2031, 6, 15, 12, 0, 0))  # even seconds: zip dates are coarse
        os.utime(tree / "src" / "run" / "main_win32.cpp", (newest, newest))
        # The build's package configuration, with the package step's own scripts and source
        # folder taken from the tree.
        config = (self.artifacts.build_dir / "CPackConfig.cmake").read_text()
        for variable in ("CPACK_FAXJOB_SOURCE_DIR", "CPACK_PRE_BUILD_SCRIPTS",
                         "CPACK_POST_BUILD_SCRIPTS"):
            config, count = re.subn(rf'set\({variable} "{re.escape(str(source))}',
                                    f'set({variable} "{tree}', config)
            self.assertEqual(count, 1, variable)
        (self.scratch / "CPackConfig.cmake").write_text(config)
        env = {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}
        packages = self.scratch / "packages"
        made = subprocess.run(
            [os.environ.get("FAXJOB_CPACK", "cpack"), "--config",
             str(self.scratch / "CPackConfig.cmake"), "-B", str(packages)], env=env,
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600, check=False)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        with zipfile.ZipFile(packages / f"faxjob-{os.environ['FAXJOB_VERSION']}-win32.zip") as zip_:
            dates = {entry.date_time for entry in zip_.infolist()}
        self.assertEqual(dates, {(2031, 6, 15, 12, 0, 0)})


if __name__ == "__main__":
    unittest.main()
