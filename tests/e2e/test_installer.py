"""The Windows Installer package, under Wine's msiexec: made by the package step, installed
silently into the default folder and into a folder that holds the fax library, run from there,
replaced by a package of a higher version made from the same files, refused over that newer one,
and uninstalled, leaving what it did not install.

Wine's msiexec compares file hashes where Windows compares versions, and ignores secure
properties: the tables that Windows reads for those are checked as tables."""

import os
import re
import shutil
import struct
import subprocess
import unittest
from pathlib import Path

from harness import FaxjobTestCase
from wine_programs import wine_path

# Windows Installer finds an installed faxjob by it: a change would leave old installs behind.
UPGRADE_CODE = "{E79ADC10-FEEC-4DB9-BBCC-659B2B13E9F6}"
# Installed name: the staged file (the zip's name). Names no vendor's file in the folder has.
PROGRAM_FILES = {"faxjob.exe": "faxjob.exe", "faxjob-README.md": "README.md",
                 "faxjob-callers/send_fax.bat": "callers/send_fax.bat",
                 "faxjob-callers/send_fax.vbs": "callers/send_fax.vbs"}
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
ERROR_INSTALL_FAILURE = 1603


def msi_table(msi: Path, table: str) -> list:
    """The rows of a table, as msiinfo exports them (after the three header lines)."""
    exported = subprocess.run(["msiinfo", "export", str(msi), table], capture_output=True,
                              text=True, check=True).stdout
    return [line.split("\t") for line in exported.splitlines()[3:]]


def file_version(program: Path) -> str:
    """The file version in the fixed part of a program's version resource (VS_FIXEDFILEINFO: its
    signature and structure version, then the two words of the version)."""
    content = program.read_bytes()
    at = content.find(struct.pack("<II", 0xFEEF04BD, 0x10000))
    assert at >= 0, f"no version resource in {program}"
    most, least = struct.unpack_from("<II", content, at + 8)
    return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"


def files_below(folder: Path) -> set:
    return {p.relative_to(folder).as_posix() for p in folder.rglob("*") if p.is_file()}


class InstallerTests(FaxjobTestCase):

    RUN_TIMEOUT = 300.0  # msiexec under emulation takes a while

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        version = os.environ["FAXJOB_VERSION"]
        major, minor, patch = (int(part) for part in version.split("."))
        cls.packages = cls.artifacts.build_dir / "e2e-scratch" / "installer-packages"
        shutil.rmtree(cls.packages, ignore_errors=True)
        made = subprocess.run(
            [os.environ.get("FAXJOB_CPACK", "cpack"), "--config",
             str(cls.artifacts.build_dir / "CPackConfig.cmake"), "-B", str(cls.packages)],
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600, check=False)
        if made.returncode != 0:
            raise AssertionError(made.stdout + made.stderr)
        name = f"faxjob-{version}-win32"
        cls.msi = cls.packages / f"{name}.msi"
        cls.stage = cls.packages / "_CPack_Packages" / "win32" / "ZIP" / name / "program" / name
        # The next version, built from the same files by the same script.
        cls.newer_msi = cls.packages / f"faxjob-{major}.{minor}.{patch + 1}-win32.msi"
        subprocess.run(
            [os.environ.get("FAXJOB_CMAKE", "cmake"), f"-DSTAGE={cls.stage}",
             f"-DVERSION={major}.{minor}.{patch + 1}", f"-DOUTPUT={cls.newer_msi}", "-P",
             str(Path(os.environ["FAXJOB_SOURCE_DIR"]) / "cmake" / "msi.cmake")],
            stdin=subprocess.DEVNULL, capture_output=True, check=True, timeout=120)
        cls.product_code = dict(msi_table(cls.msi, "Property"))["ProductCode"]
        cls.newer_product_code = dict(msi_table(cls.newer_msi, "Property"))["ProductCode"]
        cls.default_folder = Path(os.environ["WINEPREFIX"]) / "drive_c" / "Program Files" / "faxjob"

    def setUp(self):
        super().setUp()
        self.addCleanup(self.uninstall_leftovers)
        self.uninstall_leftovers()  # an aborted earlier run may have left one

    # -- helpers -------------------------------------------------------------------------------

    def msiexec(self, arguments: str):
        """Runs msiexec with these arguments and a log; returns the RunResult."""
        log = self.scratch / f"msiexec-{len(list(self.scratch.glob('msiexec-*.log')))}.log"
        result = self.run_raw(f'msiexec {arguments} /l*v "{wine_path(log)}"')
        self.last_log = log
        return result

    def assertSucceeded(self, result):
        log = self.last_log.read_bytes().decode("cp932", "replace") \
            if self.last_log.exists() else ""
        self.assertEqual(result.exit_code, 0, "msiexec failed; its log ends:\n" +
                         "\n".join(log.splitlines()[-30:]))
        self.assertNoWindow(result)

    def installed_products(self) -> set:
        listed = subprocess.run([self.wine, "reg", "query", UNINSTALL_KEY],
                                stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=self.RUN_TIMEOUT, check=False)
        return set(re.findall(r"\{[0-9A-F-]{36}\}", listed.stdout.decode("ascii", "replace")))

    def uninstall_leftovers(self):
        for code in self.installed_products() & {self.product_code, self.newer_product_code}:
            self.run_raw(f"msiexec /x {code} /qn")

    def assertInstalledIn(self, folder: Path):
        """Exactly the program's files, each as the package step staged it."""
        installed = files_below(folder) & (PROGRAM_FILES.keys() | {"ZRQINT32.DLL"})
        self.assertEqual(installed - {"ZRQINT32.DLL"}, PROGRAM_FILES.keys())
        for name, staged in PROGRAM_FILES.items():
            self.assertEqual((folder / name).read_bytes(), (self.stage / staged).read_bytes(), name)

    # -- tests ---------------------------------------------------------------------------------

    def test_package_tables_and_default_folder(self):
        exe_version = file_version(self.stage / "faxjob.exe")
        for msi in (self.msi, self.newer_msi):
            with self.subTest(msi.name):
                properties = dict(msi_table(msi, "Property"))
                self.assertEqual(properties["UpgradeCode"], UPGRADE_CODE)
                self.assertEqual(properties["ALLUSERS"], "1")  # per machine
                # Not dropped from an install that a standard user starts elevated.
                self.assertIn("INSTALLDIR", properties["SecureCustomProperties"].split(";"))
                # The program versioned as its resource says, and compared by that alone: no
                # hash that would let an unversioned comparison decide.
                files = {row[0]: row for row in msi_table(msi, "File")}
                self.assertEqual(files["faxjob.exe"][4], exe_version)
                self.assertNotIn("faxjob.exe", {row[0] for row in msi_table(msi, "MsiFileHash")})
                self.assertEqual({row[2] for row in files.values()},
                                 {"faxjob.exe", "FJREADME.MD|faxjob-README.md", "send_fax.bat",
                                  "send_fax.vbs"})
                self.assertEqual({tuple(row) for row in msi_table(msi, "Directory")
                                  if row[0] in ("INSTALLDIR", "CALLERSDIR")},
                                 {("INSTALLDIR", "ProgramFilesFolder", "faxjob"),
                                  ("CALLERSDIR", "INSTALLDIR", "FJCALLER|faxjob-callers")})
        self.assertEqual(dict(msi_table(self.msi, "Property"))["ProductVersion"],
                         os.environ["FAXJOB_VERSION"])
        summary = subprocess.run(["msiinfo", "suminfo", str(self.msi)], capture_output=True,
                                 text=True, check=True).stdout
        self.assertRegex(summary, r"Template: Intel;")  # a 32-bit package

        shutil.rmtree(self.default_folder, ignore_errors=True)
        self.addCleanup(shutil.rmtree, self.default_folder, ignore_errors=True)
        self.assertSucceeded(self.msiexec(f'/i "{wine_path(self.msi)}" /qn'))
        self.assertInstalledIn(self.default_folder)
        self.assertIn(self.product_code, self.installed_products())
        (self.default_folder / "notes.txt").write_text("an administrator's own file")

        self.assertSucceeded(self.msiexec(f'/x "{wine_path(self.msi)}" /qn'))
        self.assertEqual(files_below(self.default_folder), {"notes.txt"})
        self.assertNotIn(self.product_code, self.installed_products())

    def test_beside_library_run_upgrade_downgrade_uninstall(self):
        folder = self.make_folder("FaxLib")
        library = folder / "ZRQINT32.DLL"
        self.fax_library.replace(library)  # the only library: faxjob must find the one beside it
        library_bytes = library.read_bytes()
        vendor_readme = folder / "README.md"  # the library's own, which the package never touches
        vendor_readme.write_text("the fax library's notes")

        self.assertSucceeded(self.msiexec(
            f'/i "{wine_path(self.msi)}" INSTALLDIR="{wine_path(folder)}\\" /qn'))
        self.assertInstalledIn(folder)
        self.assertFalse((self.default_folder / "faxjob.exe").exists())

        job = self.write_job("job.txt", ("03-1234-5678",))
        report = folder / "status.txt"
        result = self.run_raw(f'"{wine_path(folder / "faxjob.exe")}" {wine_path(job)} '
                              f"{wine_path(report)}")
        self.assertNoWindow(result)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(report.read_bytes(), "000001,FAX送信を終了しました｡\r\n".encode("cp932"))
        left_by_runs = {name: (folder / name).read_bytes()
                        for name in ("status.txt", "RESULT.TXT", "FAXJOB.LCK")}

        # No INSTALLDIR: the newer version replaces the older where it is.
        self.assertSucceeded(self.msiexec(f'/i "{wine_path(self.newer_msi)}" /qn'))
        self.assertInstalledIn(folder)
        self.assertFalse((self.default_folder / "faxjob.exe").exists())
        products = self.installed_products()
        self.assertIn(self.newer_product_code, products)
        self.assertNotIn(self.product_code, products)

        # The older one over it is refused, with a message in the basic user interface.
        refused = self.msiexec(f'/i "{wine_path(self.msi)}" /qb')
        self.assertEqual(refused.exit_code, ERROR_INSTALL_FAILURE)
        self.assertEqual(len(refused.windows), 1, refused.windows)
        self.assertIn("A newer version of faxjob is already installed", refused.windows[0].text)
        self.assertIn(self.newer_product_code, self.installed_products())
        self.assertInstalledIn(folder)

        self.assertSucceeded(self.msiexec(f'/x "{wine_path(self.newer_msi)}" /qn'))
        self.assertEqual(files_below(folder), {"ZRQINT32.DLL", "README.md", *left_by_runs})
        self.assertEqual(vendor_readme.read_text(), "the fax library's notes")
        self.assertEqual(library.read_bytes(), library_bytes)
        for name, content in left_by_runs.items():
            self.assertEqual((folder / name).read_bytes(), content, name)
        self.assertFalse(self.installed_products() & {self.product_code, self.newer_product_code})


if __name__ == "__main__":
    unittest.main()
