"""The Linux program on loopback, inside network and mount namespaces of its own.

Each run gets a fresh network namespace (lo up, nothing else) and a private
/etc/hosts and /etc/resolv.conf, so no packet and no lookup leaves it. The two
socket kinds are forced by who runs the program: root with ping_group_range
closed gets a raw socket; an unprivileged user with the range open can only
have a datagram one.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nivor_testing import require_root  # noqa: E402

BINARY = os.environ.get("NIVOR_BINARY", "")
NOBODY = "65534"

RAW = {"user": None, "ping_group_range": "1 0"}
DATAGRAM = {"user": NOBODY, "ping_group_range": "0 2147483647"}
SOCKET_KINDS = {"raw": RAW, "datagram": DATAGRAM}

SETUP = """
set -e
mount --bind "$NIVOR_HOSTS" /etc/hosts
mount --bind "$NIVOR_RESOLV" /etc/resolv.conf
ip link set lo up
sysctl -qw net.ipv4.ping_group_range="$NIVOR_RANGE"
sysctl -qw net.ipv4.icmp_echo_ignore_all="$NIVOR_IGNORE"
if [ -n "$NIVOR_USER" ]; then
  exec setpriv --reuid="$NIVOR_USER" --regid="$NIVOR_USER" --clear-groups "$@"
fi
exec "$@"
"""



class Run:
    def __init__(self, returncode, stdout, stderr, seconds):
        self.returncode = returncode
        self.stdout = stdout
        self.stderr = stderr
        self.seconds = seconds


class LoopbackFixture(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.mkdtemp(prefix="nivor-loopback-")
        os.chmod(cls.scratch, 0o755)
        cls.hosts = os.path.join(cls.scratch, "hosts")
        cls.resolv = os.path.join(cls.scratch, "resolv.conf")
        with open(cls.hosts, "w") as hosts:
            hosts.write("127.0.0.1\tlocalhost\n127.0.0.3\tdrei.nivor.test drei\n")
        with open(cls.resolv, "w") as resolv:
            # Nothing listens there: a name missing from the hosts file fails at once.
            resolv.write("nameserver 127.0.0.53\noptions timeout:1 attempts:1\n")
        # The unprivileged user must be able to run the binary from the build tree.
        cls.binary = os.path.join(cls.scratch, "nivor")
        shutil.copy(BINARY, cls.binary)
        os.chmod(cls.binary, 0o755)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def run_nivor(self, *arguments, kind=RAW, ignore_echo=False):
        environment = dict(os.environ, NIVOR_HOSTS=self.hosts, NIVOR_RESOLV=self.resolv,
                           NIVOR_RANGE=kind["ping_group_range"], NIVOR_IGNORE="1" if ignore_echo else "0",
                           NIVOR_USER=kind["user"] or "")
        # The sanitizer runtime must not write anything the test would read as output.
        environment.setdefault("ASAN_OPTIONS", "detect_leaks=1")
        command = ["unshare", "--net", "--mount", "--propagation", "private", "--",
                   "sh", "-c", SETUP, "sh", self.binary, *arguments]
        started = time.monotonic()
        finished = subprocess.run(command, capture_output=True, env=environment, timeout=60)
        return Run(finished.returncode, finished.stdout, finished.stderr, time.monotonic() - started)


REPLY = re.compile(rb"Antwort von 127\.0\.0\.1: Zeit=(\d+) ms, Time to Live=64 ms\n")


class EchoesAnswered(LoopbackFixture):
    def test_three_replies_and_the_mean_as_exit_status(self):
        for name, kind in SOCKET_KINDS.items():
            for target in ("127.0.0.1", "localhost"):
                with self.subTest(socket=name, target=target):
                    run = self.run_nivor(target, kind=kind)
                    self.assertEqual(run.stderr, b"")
                    self.assertTrue(run.stdout.startswith(b"Ping an localhost[127.0.0.1]\n"), run.stdout)
                    replies = run.stdout[len(b"Ping an localhost[127.0.0.1]\n"):]
                    times = [int(t) for t in REPLY.findall(replies)]
                    self.assertEqual(len(times), 3, run.stdout)
                    self.assertEqual(b"".join(m.group(0) for m in REPLY.finditer(replies)), replies)
                    self.assertEqual(run.returncode, sum(times) // 3)
                    # Two pauses of 200 ms stand between the three echoes.
                    self.assertGreaterEqual(run.seconds, 0.4)

    def test_official_name_of_another_loopback_address(self):
        run = self.run_nivor("drei", kind=DATAGRAM)
        self.assertTrue(run.stdout.startswith(b"Ping an drei.nivor.test[127.0.0.3]\nAntwort von 127.0.0.3: Zeit="),
                        run.stdout)
        self.assertEqual(run.stdout.count(b"\n"), 4)


class EchoesIgnored(LoopbackFixture):
    def test_first_echo_times_out_after_five_seconds(self):
        expected = (b"Ping an localhost[127.0.0.1]\n"
                    b"Antwort von 0.0.0.0: Zeit=0 ms, Time to Live=0 ms\n"
                    b"Fehler: IcmpEcho-Status=11010")
        for name, kind in SOCKET_KINDS.items():
            with self.subTest(socket=name):
                run = self.run_nivor("127.0.0.1", kind=kind, ignore_echo=True)
                self.assertEqual(run.stdout, expected)
                self.assertEqual(run.stderr, b"")
                self.assertEqual(run.returncode, 255)
                self.assertGreaterEqual(run.seconds, 5.0)
                self.assertLess(run.seconds, 20.0, "the timeout must end the wait")


class Failures(LoopbackFixture):
    def test_name_not_found(self):
        run = self.run_nivor("nowhere.invalid")
        self.assertEqual(run.stdout, b"Fehler: Adresse nowhere.invalid wurde nicht gefunden !\n")
        self.assertEqual(run.returncode, 255)

    def test_no_icmp_socket_permitted(self):
        unprivileged_closed = {"user": NOBODY, "ping_group_range": "1 0"}
        run = self.run_nivor("127.0.0.1", kind=unprivileged_closed)
        self.assertEqual(run.stdout, b"Could not load ICMP.DLL\n")
        self.assertEqual(run.stderr, b"")
        self.assertEqual(run.returncode, 255)


if __name__ == "__main__":
    require_root("network namespaces")
    unittest.main(verbosity=2)
