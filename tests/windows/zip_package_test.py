"""The zip of the Windows program: what it holds, and that the NIVOR.EXE in it
still carries its version record and icon once stripped for shipping."""
import os
import shlex
import shutil
import subprocess
import tempfile
import unittest
import zipfile

BUILD_DIR = os.environ.get("NIVOR_BUILD_DIR", "")
VERSION_TEST = os.environ.get("NIVOR_VERSION_TEST", "")
WINE = shlex.split(os.environ.get("NIVOR_WINE", "wine"))


class ZipPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="zip-test-", dir=BUILD_DIR)
        subprocess.run(["cpack", "-G", "ZIP", "-B", cls.scratch, "--config",
                        os.path.join(BUILD_DIR, "CPackConfig.cmake")], check=True, capture_output=True)
        archives = [name for name in os.listdir(cls.scratch) if name.endswith(".zip")]
        assert archives == ["nivor-4.0.5.0-win32.zip"], archives
        cls.archive = os.path.join(cls.scratch, archives[0])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_holds_the_program_and_its_readme_at_the_top(self):
        with zipfile.ZipFile(self.archive) as archive:
            self.assertEqual(sorted(archive.namelist()), ["NIVOR.EXE", "README.md"])
            self.assertEqual(archive.read("NIVOR.EXE")[:2], b"MZ")

    def test_shipped_program_keeps_its_version_record_and_icon(self):
        unpacked = os.path.join(self.scratch, "unpacked")
        with zipfile.ZipFile(self.archive) as archive:
            archive.extractall(unpacked)
        checked = subprocess.run(WINE + [VERSION_TEST], cwd=unpacked, capture_output=True, timeout=120)
        self.assertEqual(checked.returncode, 0, checked.stdout.decode(errors="replace"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
