"""Signing with a throw-away code-signing certificate: the package step signs faxjob.exe before it
is packed and the MSI after, osslsigncode verifies both against that certificate, and the signed
program runs a job under Wine. scripts/sign leaves a file as it was whenever it cannot sign."""

import os
import subprocess
import unittest
import zipfile
from pathlib import Path

from harness import FaxjobTestCase
from wine_programs import wine_path

SIGN = Path(os.environ.get("FAXJOB_SOURCE_DIR", ".")) / "scripts" / "sign"


class SigningTests(FaxjobTestCase):

    def make_certificate(self):
        key, certificate = self.scratch / "signer.key", self.scratch / "signer.crt"
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=faxjob test signer", "-addext", "extendedKeyUsage=codeSigning",
             "-addext", "keyUsage=digitalSignature", "-keyout", str(key), "-out",
             str(certificate)], stdin=subprocess.DEVNULL, capture_output=True, check=True)
        return certificate, key

    def verify(self, path: Path, certificate: Path) -> subprocess.CompletedProcess:
        return subprocess.run(["osslsigncode", "verify", "-CAfile", str(certificate), "-in",
                               str(path)], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, check=False)

    def sign(self, *arguments, **environment) -> subprocess.CompletedProcess:
        env = {name: value for name, value in os.environ.items()
               if not name.startswith("FAXJOB_SIGN_")}
        env.update({name: str(value) for name, value in environment.items()})
        return subprocess.run(["bash", str(SIGN), *map(str, arguments)], env=env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=120, check=False)

    def test_package_step_signs_program_and_installer(self):
        certificate, key = self.make_certificate()
        version = os.environ["FAXJOB_VERSION"]
        name = f"faxjob-{version}-win32"
        packages = self.scratch / "packages"
        made = subprocess.run(
            [os.environ.get("FAXJOB_CPACK", "cpack"), "--config",
             str(self.artifacts.build_dir / "CPackConfig.cmake"), "-B", str(packages)],
            env=dict(os.environ, FAXJOB_SIGN_CERT=str(certificate), FAXJOB_SIGN_KEY=str(key),
                     FAXJOB_SIGN_NO_TIMESTAMP_SIGNATURE_EXPIRES_WITH_CERTIFICATE="yes"),
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=600, check=False)
        self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        unpacked = self.make_folder("unpacked")
        with zipfile.ZipFile(packages / f"{name}.zip") as archive:
            archive.extractall(unpacked)
        signed_exe = unpacked / name / "faxjob.exe"

        for signed in (signed_exe, packages / f"{name}.msi"):
            verified = self.verify(signed, certificate)
            self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
            self.assertIn("Signature verification: ok", verified.stdout)
        # The signature covers the code: a changed byte of it fails the check.
        tampered = self.scratch / "tampered.exe"
        content = bytearray(signed_exe.read_bytes())
        content[0x1000] ^= 0xFF
        tampered.write_bytes(content)
        self.assertNotEqual(self.verify(tampered, certificate).returncode, 0)
        # The MSI holds the same signed program.
        extracted = self.make_folder("extracted")
        subprocess.run(["msiextract", "-C", str(extracted), str(packages / f"{name}.msi")],
                       stdin=subprocess.DEVNULL, capture_output=True, check=True)
        self.assertEqual([p.read_bytes() for p in extracted.rglob("faxjob.exe")],
                         [signed_exe.read_bytes()])
        # Only the signature was added: without it the program is the build's, byte for byte.
        unsigned = self.scratch / "unsigned.exe"
        subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed_exe), "-out",
                        str(unsigned)], stdin=subprocess.DEVNULL, capture_output=True, check=True)
        self.assertEqual(unsigned.read_bytes(), self.artifacts.faxjob_exe.read_bytes())

        job = self.write_job("job.txt", ("03-1234-5678",))
        report = self.make_folder("out") / "status.txt"
        result = self.run_raw(f'"{wine_path(signed_exe)}" {wine_path(job)} {wine_path(report)}',
                              env={"WINEPATH": wine_path(self.scratch)})
        self.assertNoWindow(result)
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(report.read_bytes(), "000001,FAX送信を終了しました｡\r\n".encode("cp932"))

    def test_sign_leaves_the_file_as_it_was_when_it_cannot_sign(self):
        certificate, key = self.make_certificate()
        original = self.faxjob_exe.read_bytes()
        tracked_file = SIGN  # any file git tracks stands for a key kept in the repository
        refusals = {
            "no certificate": self.sign(self.faxjob_exe),
            "a key that git tracks": self.sign(self.faxjob_exe, FAXJOB_SIGN_CERT=certificate,
                                               FAXJOB_SIGN_KEY=tracked_file),
            # Without a time-stamp server, unless signing without one is asked for by name.
            "no time-stamp server": self.sign(self.faxjob_exe, FAXJOB_SIGN_CERT=certificate,
                                              FAXJOB_SIGN_KEY=key),
            # A time-stamp server that is named is asked, and its silence is a failure.
            "no time stamp": self.sign(self.faxjob_exe, FAXJOB_SIGN_CERT=certificate,
                                       FAXJOB_SIGN_KEY=key,
                                       FAXJOB_SIGN_TIMESTAMP_URL="http://127.0.0.1:9/"),
        }
        for case, done in refusals.items():
            with self.subTest(case):
                self.assertNotEqual(done.returncode, 0, done.stdout + done.stderr)
                self.assertEqual(self.faxjob_exe.read_bytes(), original)
        # Unsigned is the package step's default: without a certificate nothing happens.
        done = self.sign("--if-certificate", self.faxjob_exe)
        self.assertEqual((done.returncode, done.stdout), (0, ""))
        self.assertEqual(self.faxjob_exe.read_bytes(), original)
        # Asked for by name, a signature without a time stamp is made.
        done = self.sign("--no-timestamp-signature-expires-with-certificate", self.faxjob_exe,
                         FAXJOB_SIGN_CERT=certificate, FAXJOB_SIGN_KEY=key)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.verify(self.faxjob_exe, certificate).returncode, 0)


if __name__ == "__main__":
    unittest.main()
