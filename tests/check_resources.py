"""Reads the resources back from the built program: the application manifest (run as the
invoker, no file virtualization, aware of long paths, Windows 7 to 11 supported) and the version
resource, whose numbers must be the project version.

    check_resources.py FAXJOB_EXE PROJECT_VERSION

Needs Debian's python3-pefile.
"""

import sys
import xml.etree.ElementTree as ElementTree

import pefile

RT_MANIFEST = 24
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}


def manifests(pe):
    """(name id, language id, bytes) of every RT_MANIFEST resource."""
    found = []
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in resources.entries if resources else []:
        if kind.id != RT_MANIFEST:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found.append((name.id, language.id,
                              pe.get_data(data.OffsetToData, data.Size)))
    return found


def manifest_problems(pe):
    found = manifests(pe)
    if [(name, len(text) > 0) for name, _, text in found] != [(1, True)]:
        return [f"expected one manifest, resource 1; found {[(n, l) for n, l, _ in found]}"]
    root = ElementTree.fromstring(found[0][2])
    problems = []
    levels = [(e.get("level"), e.get("uiAccess"))
              for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
    if levels != [("asInvoker", "false")]:
        problems.append(f"requestedExecutionLevel: {levels}")
    # Read by Windows only as a child of asm.v3 application/windowsSettings.
    long_path_aware = [e.text.strip() if e.text else "" for e in
                       root.findall(f"{ASM_V3}application/{ASM_V3}windowsSettings/"
                                    f"{WINDOWS_SETTINGS_2016}longPathAware")]
    if long_path_aware != ["true"]:
        problems.append(f"longPathAware: {long_path_aware}")
    supported = {e.get("Id") for e in root.iter(COMPATIBILITY + "supportedOS")}
    if supported != SUPPORTED_OS:
        problems.append(f"supportedOS: {sorted(supported)}")
    return problems


def version_problems(pe, version):
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return ["no version resource"]
    numbers = [int(part) for part in version.split(".")] + [0] * (4 - len(version.split(".")))
    fixed = pe.VS_FIXEDFILEINFO[0]
    problems = []
    for field in ("FileVersion", "ProductVersion"):
        most, least = getattr(fixed, field + "MS"), getattr(fixed, field + "LS")
        found = [most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF]
        if found != numbers:
            problems.append(f"fixed {field} {found}, expected {numbers}")
    tables = [table for info in pe.FileInfo[0] if info.Key == b"StringFileInfo"
              for table in info.StringTable]
    if len(tables) != 1:
        return problems + [f"expected one string table, found {len(tables)}"]
    strings = {k.decode(): v.decode() for k, v in tables[0].entries.items()}
    expected = {"ProductName": "faxjob", "OriginalFilename": "faxjob.exe",
                "FileVersion": version, "ProductVersion": version}
    for key, value in expected.items():
        if strings.get(key) != value:
            problems.append(f"{key} is {strings.get(key)!r}, expected {value!r}")
    if not strings.get("FileDescription"):
        problems.append("no FileDescription")
    # Explorer shows the strings of the block that the Translation entry names.
    block = tables[0].LangID.decode().lower()
    translations = [value for info in pe.FileInfo[0] if info.Key == b"VarFileInfo"
                    for var in info.Var for value in var.entry.values()]
    if translations != [f"0x{block[:4]} 0x{block[4:]}"]:
        problems.append(f"Translation {translations} does not name the string table {block}")
    return problems


def main() -> int:
    program, version = sys.argv[1], sys.argv[2]
    pe = pefile.PE(program)
    problems = manifest_problems(pe) + version_problems(pe, version)
    for problem in problems:
        print(f"{program}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
