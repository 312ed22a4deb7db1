"""Holds every #include "…" under src/ to the floors of the program: a file includes only its own
floor and the floors below it, and only the Windows platform and the Windows entry point see
windows.h. Prints each include that reaches up or across; exits 1 when there is one.

    check_layers.py SRC_DIR
"""

import pathlib
import re
import sys

# Each folder (its path below src/) with the folders its files may include.
MAY_INCLUDE = {
    "base": {"base"},
    "platform": {"platform", "base"},
    "platform/win32": {"platform/win32", "platform", "base"},
    "platform/posix": {"platform/posix", "platform", "base"},
    "faxbridge": {"faxbridge", "platform", "base"},
    "report": {"report", "platform", "base"},
    "run": {"run", "faxbridge", "report", "platform", "base"},
}
# The entry points start the platform of their own build.
ENTRY_POINTS = {"run/main_win32.cpp": {"platform/win32"}, "run/main_posix.cpp": {"platform/posix"}}
OS_HEADERS = re.compile(r"<(windows|winternl|winnt|ntstatus)\.h>", re.IGNORECASE)
SEES_WINDOWS = ("platform/win32/", "run/main_win32.cpp")
PROJECT_INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SYSTEM_INCLUDE = re.compile(r"^\s*#\s*include\s+(<[^>]+>)")


def floor_of(relative):
    """The floor of a file or include path below src/: its folder."""
    return str(pathlib.PurePosixPath(relative).parent)


def faults(src):
    found = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".c", ".rc"):
            continue
        relative = path.relative_to(src).as_posix()
        floor = floor_of(relative)
        allowed = MAY_INCLUDE.get(floor)
        if allowed is None:
            found.append(f"{relative}: folder {floor} has no place among the floors")
            continue
        allowed = allowed | ENTRY_POINTS.get(relative, set())
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            project = PROJECT_INCLUDE.match(line)
            if project and "/" in project.group(1):
                target = floor_of(project.group(1))
                if target not in allowed:
                    found.append(f"{relative}:{number}: {floor} may not include {project.group(1)}")
            system = SYSTEM_INCLUDE.match(line)
            if system and OS_HEADERS.search(system.group(1)) and not relative.startswith(SEES_WINDOWS):
                found.append(f"{relative}:{number}: only the Windows platform sees {system.group(1)}")
    return found


def main():
    src = pathlib.Path(sys.argv[1])
    found = faults(src)
    for fault in found:
        print(fault)
    print(f"{len(found)} includes against the floors")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
