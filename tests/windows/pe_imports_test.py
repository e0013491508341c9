"""What NIVOR.EXE asks of the system that loads it: a 32-bit console program
for Intel 80386 that imports only system DLLs, and binds ICMP.DLL itself at
run time.

Environment: NIVOR_EXE, the program; NIVOR_OBJDUMP, the MinGW objdump.
"""

import os
import re
import subprocess
import unittest

# Every DLL the program may import: all ship with Windows itself.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "wsock32.dll"}


def objdump(*options):
    return subprocess.run([os.environ["NIVOR_OBJDUMP"], *options, os.environ["NIVOR_EXE"]], check=True,
                          capture_output=True, text=True).stdout


def imports():
    """{dll name in lower case: [imported function names]}"""
    table = {}
    functions = None
    for line in objdump("-p").splitlines():
        dll = re.match(r"\s*DLL Name: (\S+)", line)
        if dll:
            functions = table.setdefault(dll.group(1).lower(), [])
            continue
        entry = re.match(r"\s*[0-9a-f]+\s+[0-9a-f]+\s+(\w+)$", line)
        if functions is not None and entry:
            functions.append(entry.group(1))
        elif not line.strip():
            functions = None
    return table


class PeImportsTest(unittest.TestCase):
    def test_is_a_32_bit_console_program_for_intel_80386(self):
        headers = objdump("-p")
        self.assertRegex(headers, r"file format pei-i386")
        self.assertRegex(headers, r"Magic\s+010b\s+\(PE32\)")
        self.assertRegex(headers, r"Subsystem\s+00000003\s+\(Windows CUI\)")
        self.assertRegex(objdump("-f"), r"architecture: i386,")

    def test_imports_only_system_dlls(self):
        table = imports()
        self.assertEqual(set(table), SYSTEM_DLLS)
        for dll, functions in table.items():
            self.assertTrue(functions, dll)

    def test_binds_the_echo_library_at_run_time(self):
        table = imports()
        self.assertNotIn("icmp.dll", table)
        self.assertNotIn("iphlpapi.dll", table)
        self.assertIn("LoadLibraryA", table["kernel32.dll"])
        self.assertIn("GetProcAddress", table["kernel32.dll"])
        for function in ("WSAStartup", "WSACleanup", "inet_addr", "inet_ntoa", "gethostbyname", "gethostbyaddr"):
            self.assertIn(function, table["wsock32.dll"])
        with open(os.environ["NIVOR_EXE"], "rb") as program:
            self.assertIn(b"ICMP.DLL\0", program.read())

    def test_needs_no_runtime_dll_of_the_toolchain(self):
        toolchain_dlls = [dll for dll in imports() if re.match(r"lib(stdc\+\+|gcc|winpthread)", dll)]
        self.assertEqual(toolchain_dlls, [])


if __name__ == "__main__":
    unittest.main()
