"""Checks the built program's PE header: 32-bit x86, Windows GUI subsystem, a Unicode entry
point, and imports from system libraries only (no MinGW runtime DLL beside it); USER32 is not
among them, as it is loaded only when a message box is shown. The TLS directory holds the
program's own callback, the last net for an end of the process that nothing else saw, beside
the runtime's three (thread-local initialisation and per-thread cleanup, as a static program of
this toolchain has them, and the threads library's).

    check_pe.py OBJDUMP FAXJOB_EXE
"""

import re
import struct
import subprocess
import sys

SYSTEM_LIBRARIES = {"kernel32.dll", "msvcrt.dll"}
RUNTIME_TLS_CALLBACKS = 3
TLS_DIRECTORY = 9


def tls_callbacks(program) -> int:
    """How many callbacks the TLS directory lists."""
    image = open(program, "rb").read()
    headers = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", image, headers + 6)
    optional = headers + 24
    image_base = struct.unpack_from("<I", image, optional + 28)[0]
    tls_rva = struct.unpack_from("<I", image, optional + 96 + 8 * TLS_DIRECTORY)[0]
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            size, address, _, raw = struct.unpack_from("<4I", image, table + 40 * i + 8)
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} lies in no section")

    if tls_rva == 0:
        return 0
    callbacks = offset(struct.unpack_from("<I", image, offset(tls_rva) + 12)[0] - image_base)
    count = 0
    while struct.unpack_from("<I", image, callbacks + 4 * count)[0] != 0:
        count += 1
    return count


def main() -> int:
    objdump, program = sys.argv[1], sys.argv[2]
    headers = subprocess.run([objdump, "-p", program], capture_output=True, text=True,
                             check=True).stdout
    symbols = subprocess.run([objdump, "-f", program], capture_output=True, text=True,
                             check=True).stdout
    problems = []
    if "file format pei-i386" not in symbols:
        problems.append("not a 32-bit x86 PE")
    if not re.search(r"^Magic\s+010b\s+\(PE32\)", headers, re.M):
        problems.append("not PE32")
    if not re.search(r"^Subsystem\s+00000002\s+\(Windows GUI\)", headers, re.M):
        problems.append("not the Windows GUI subsystem")
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
    if not imports or not imports <= SYSTEM_LIBRARIES:
        problems.append(f"imports beyond the system libraries: {sorted(imports - SYSTEM_LIBRARIES)}")
    if "GetCommandLineW" not in headers:
        problems.append("does not use the wide command line")
    callbacks = tls_callbacks(program)
    if callbacks != RUNTIME_TLS_CALLBACKS + 1:
        problems.append(f"{callbacks} TLS callbacks, not the runtime's and the program's own")
    for problem in problems:
        print(f"{program}: {problem}")
    print(f"imports: {sorted(imports)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
