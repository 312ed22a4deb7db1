"""The release archives: made by CPack from the build, unpacked, checked against SHA256SUMS, and a
job run from the unpacked program with the unpacked stand-in library found on the search path."""

import hashlib
import os
import subprocess
import unittest
import zipfile

from harness import FaxjobTestCase, wine_path


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


if __name__ == "__main__":
    unittest.main()
