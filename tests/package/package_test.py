"""The Debian package: its control data and contents, its manual page, and the
unpacked program pinging loopback, also as an ordinary user once the
package's postinst has granted the capability."""
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nivor_testing import require_root  # noqa: E402

BUILD_DIR = os.environ.get("NIVOR_BUILD_DIR", "")
NOBODY = "65534"

NAMESPACE = """
set -e
ip link set lo up
sysctl -qw net.ipv4.ping_group_range="1 0"
exec setpriv --reuid=$NIVOR_USER --regid=$NIVOR_USER --clear-groups "$@"
"""



def run(*command, **options):
    return subprocess.run(command, capture_output=True, check=True, **options)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Beside the build, not in /tmp: the capability needs a file system with extended attributes.
        cls.scratch = tempfile.mkdtemp(prefix="package-test-", dir=BUILD_DIR)
        os.chmod(cls.scratch, 0o755)
        run("cpack", "-G", "DEB", "-B", cls.scratch, "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake"))
        packages = [name for name in os.listdir(cls.scratch) if name.endswith(".deb")]
        assert len(packages) == 1, packages
        cls.package = os.path.join(cls.scratch, packages[0])
        cls.root = os.path.join(cls.scratch, "root")
        run("dpkg", "-x", cls.package, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def control_field(self, field):
        return run("dpkg-deb", "-f", self.package, field).stdout.decode().strip()

    def test_control_data(self):
        self.assertEqual(self.control_field("Package"), "nivor")
        self.assertEqual(self.control_field("Version"), "4.0.5.0")
        self.assertEqual(self.control_field("Section"), "net")
        depends = self.control_field("Depends")
        self.assertIn("libcap2-bin", depends)
        self.assertIn("libc6", depends)

    def test_contents(self):
        listing = run("dpkg-deb", "-c", self.package).stdout.decode()
        files = sorted(line.split()[-1] for line in listing.splitlines() if line.startswith("-"))
        self.assertEqual(files, ["./usr/bin/nivor", "./usr/share/man/man1/nivor.1.gz"])
        self.assertIn("-rwxr-xr-x root/root", next(l for l in listing.splitlines() if l.endswith("/usr/bin/nivor")))

    def test_postinst_grants_the_capability_and_nothing_removes(self):
        control = os.path.join(self.scratch, "control")
        run("dpkg-deb", "-e", self.package, control)
        scripts = sorted(os.listdir(control))
        self.assertNotIn("postrm", scripts)
        self.assertNotIn("prerm", scripts)
        with open(os.path.join(control, "postinst")) as postinst:
            text = postinst.read()
        self.assertIn("setcap cap_net_raw+ep /usr/bin/nivor", text)
        run("sh", "-n", os.path.join(control, "postinst"))

    def test_manual_page_renders(self):
        page = os.path.join(self.root, "usr/share/man/man1/nivor.1.gz")
        rendered = run("man", "-l", page, env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0"))
        self.assertEqual(rendered.stderr, b"")
        # Without a terminal, man emboldens by overstriking: keep the letters only.
        text = re.sub(r".\x08", "", rendered.stdout.decode())
        for heading in ("SYNOPSIS", "DESCRIPTION", "OUTPUT", "EXIT STATUS", "STATUS NUMBERS", "PRIVILEGES",
                        "EXAMPLES", "WINDOWS"):
            self.assertIn(heading, text)
        self.assertIn("Winsock-Initialsierungsfehler", text)
        with gzip.open(page) as source:
            self.assertIn(b"wurde nicht gefunden !", source.read())

    def test_unpacked_program_pings_loopback_as_an_ordinary_user(self):
        binary = os.path.join(self.root, "usr/bin/nivor")
        # The package's own postinst, pointed at the unpacked file instead of /usr/bin.
        control = os.path.join(self.scratch, "control-for-ping")
        run("dpkg-deb", "-e", self.package, control)
        postinst = os.path.join(control, "postinst")
        with open(postinst) as script:
            text = script.read().replace("/usr/bin/nivor", binary)
        with open(postinst, "w") as script:
            script.write(text)
        run("sh", postinst, "configure")
        self.assertIn("cap_net_raw=ep", run("getcap", binary).stdout.decode())
        for parent in (self.scratch, self.root, os.path.dirname(os.path.dirname(binary)), os.path.dirname(binary)):
            os.chmod(parent, 0o755)
        pinged = subprocess.run(["unshare", "--net", "--", "sh", "-c", NAMESPACE, "sh", binary, "127.0.0.1"],
                                capture_output=True, env=dict(os.environ, NIVOR_USER=NOBODY), timeout=60)
        self.assertEqual(pinged.stderr, b"")
        lines = pinged.stdout.split(b"\n")
        self.assertEqual(len(lines), 5, pinged.stdout)
        self.assertTrue(lines[0].startswith(b"Ping an "), pinged.stdout)
        self.assertTrue(all(line.startswith(b"Antwort von 127.0.0.1: Zeit=") for line in lines[1:4]), pinged.stdout)
        self.assertEqual(lines[4], b"")
        self.assertLess(pinged.returncode, 255)


if __name__ == "__main__":
    require_root("file capabilities and network namespaces")
    unittest.main(verbosity=2)
