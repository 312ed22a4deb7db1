"""Checks the built program's PE header: 32-bit x86, Windows GUI subsystem, a Unicode entry
point, and imports from system libraries only (no MinGW runtime DLL beside it); USER32 is not
among them, as it is loaded only when a message box is shown.

    check_pe.py OBJDUMP FAXJOB_EXE
"""

import re
import subprocess
import sys

SYSTEM_LIBRARIES = {"kernel32.dll", "msvcrt.dll"}


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
    for problem in problems:
        print(f"{program}: {problem}")
    print(f"imports: {sorted(imports)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
