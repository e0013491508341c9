"""NIVOR.EXE under Wine, pinging loopback inside a network namespace of its
own, byte for byte.

The namespace gets a private /tmp, so that Wine starts a server (and with it
the service process that owns the ICMP sockets) inside it instead of reaching
one left running elsewhere; a Wine prefix made fresh in that /tmp; and its own
/etc/hosts and /etc/resolv.conf, so that no lookup leaves it.

Environment: NIVOR_EXE, the program to run.
"""

import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nivor_testing import require_root  # noqa: E402

INSIDE_MARK = "NIVOR_WINE_NAMESPACE"
PRIVATE_TMP = "/tmp"
WINE_PREFIX = os.path.join(PRIVATE_TMP, "wine")
PROGRAM_COPY = os.path.join(PRIVATE_TMP, "nivor", "NIVOR.EXE")
HOSTS = "127.0.0.1\tlocalhost\n127.0.0.3\tdrei.nivor.test drei\n"
# Nothing listens there: a name missing from the hosts file fails at once.
RESOLV_CONF = "nameserver 127.0.0.53\noptions timeout:1 attempts:1\n"
ECHO_TIMEOUT_SECONDS = 5.0

# Lines that Wine itself may write to standard error despite WINEDEBUG=-all.
WINE_NOISE = re.compile(rb"^(wine: |[0-9a-f]{4}:(err|fixme|warn|trace):)")

BANNER = b"Ping an localhost[127.0.0.1]\r\n"


def enter_namespace():
    """Runs this script again inside new network and mount namespaces."""
    environment = dict(os.environ, **{INSIDE_MARK: "1"})
    command = ["unshare", "--net", "--mount", "--propagation", "private", sys.executable, __file__] + sys.argv[1:]
    os.execvpe(command[0], command, environment)


def prepare_namespace():
    # Read before /tmp is covered: the build directory may lie beneath it.
    with open(os.environ["NIVOR_EXE"], "rb") as program:
        program_bytes = program.read()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777", "nivor-wine-tmp", PRIVATE_TMP], check=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    os.makedirs(os.path.dirname(PROGRAM_COPY))
    with open(PROGRAM_COPY, "wb") as program:
        program.write(program_bytes)
    for system_file, text in (("/etc/hosts", HOSTS), ("/etc/resolv.conf", RESOLV_CONF)):
        private_file = os.path.join(PRIVATE_TMP, os.path.basename(system_file))
        with open(private_file, "w") as private:
            private.write(text)
        subprocess.run(["mount", "--bind", private_file, system_file], check=True)


def wine_environment():
    environment = {key: value for key, value in os.environ.items() if not key.startswith("WINE")}
    environment.pop("DISPLAY", None)
    environment.update(WINEPREFIX=WINE_PREFIX, WINEDEBUG="-all")
    return environment


def wineserver():
    return shutil.which("wineserver") or "/usr/lib/wine/wineserver"


def set_echo_ignore_all(value):
    # Per network namespace: this touches only ours.
    with open("/proc/sys/net/ipv4/icmp_echo_ignore_all", "w") as setting:
        setting.write(str(value))


class Run:
    def __init__(self, arguments):
        started = time.monotonic()
        completed = subprocess.run(["wine", PROGRAM_COPY] + arguments, env=wine_environment(),
                                   cwd=os.path.dirname(PROGRAM_COPY), stdin=subprocess.DEVNULL,
                                   capture_output=True, timeout=120)
        self.seconds = time.monotonic() - started
        self.status = completed.returncode
        self.output = completed.stdout
        self.errors = b"".join(line for line in completed.stderr.splitlines(keepends=True)
                               if not WINE_NOISE.match(line))


def replies(address):
    """A pattern for one answered echo from `address`, its time captured."""
    return rb"Antwort von " + re.escape(address) + rb": Zeit=(0|[1-9][0-9]*) ms, Time to Live=64 ms\r\n"


def not_found(target):
    return b"Fehler: Adresse " + target + b" wurde nicht gefunden !\r\n"


class WineLoopbackTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The first start fills the new prefix, which takes a while.
        subprocess.run(["wine", "wineboot", "--init"], env=wine_environment(), stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=300, check=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([wineserver(), "-k"], env=wine_environment(), capture_output=True, timeout=60)

    def test_three_echoes_answered_give_their_mean(self):
        cases = [
            # A dotted address is resolved back to its official name.
            ("127.0.0.1", BANNER, b"127.0.0.1"),
            ("localhost", BANNER, b"127.0.0.1"),
            ("drei", b"Ping an drei.nivor.test[127.0.0.3]\r\n", b"127.0.0.3"),
        ]
        for target, banner, address in cases:
            with self.subTest(target=target):
                run = Run([target])
                match = re.fullmatch(re.escape(banner) + replies(address) * 3, run.output)
                self.assertIsNotNone(match, run.output)
                times = [int(time_text) for time_text in match.groups()]
                # Wine hands the caller the low 8 bits of the exit status.
                self.assertEqual(run.status, (sum(times) // 3) & 0xFF)
                self.assertEqual(run.errors, b"")

    def test_echo_ignored_times_out_after_five_seconds(self):
        set_echo_ignore_all(1)
        try:
            run = Run(["127.0.0.1"])
        finally:
            set_echo_ignore_all(0)
        self.assertEqual(run.output, BANNER + b"Antwort von 0.0.0.0: Zeit=0 ms, Time to Live=0 ms\r\n"
                                              b"Fehler: IcmpEcho-Status=11010")
        self.assertEqual(run.status, 255)
        self.assertGreaterEqual(run.seconds, ECHO_TIMEOUT_SECONDS - 0.1)
        self.assertEqual(run.errors, b"")

    def test_target_not_found(self):
        cases = [
            (["nowhere.invalid"], not_found(b"nowhere.invalid")),
            # Only the first argument counts: the address after it is not pinged.
            (["nowhere.invalid", "127.0.0.1"], not_found(b"nowhere.invalid")),
            # Wine quotes an argument with a blank; NIVOR takes it whole.
            (["no where.invalid"], not_found(b"no where.invalid")),
            # Wine writes this argument as "a b\\": by NIVOR's rule the second
            # backslash makes the closing quote literal, the C runtime's rule
            # would give a b\ instead.
            (["a b\\"], not_found(b'a b\\"')),
            # Not expanded, though the working directory holds a file.
            (["*"], not_found(b"*")),
            (["100%s%n.invalid"], not_found(b"100%s%n.invalid")),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                run = Run(arguments)
                self.assertEqual(run.output, message)
                self.assertEqual(run.status, 255)
                self.assertEqual(run.errors, b"")


def main():
    if os.environ.get(INSIDE_MARK) != "1":
        require_root("a network namespace for Wine")
        enter_namespace()
    prepare_namespace()
    unittest.main()


if __name__ == "__main__":
    main()
