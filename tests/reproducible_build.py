"""Two builds of one commit in two folders give the same release files.

    reproducible_build.py CMAKE CPACK SOURCE_DIR BUILD_DIR WORK_DIR

BUILD_DIR is the win32 build of SOURCE_DIR that ctest runs in. The source is copied into a
folder of another name and length below WORK_DIR, built there with the win32 preset (the program
and the stand-in only), and both builds are packed, each with another time zone and umask, as two
people would. faxjob.exe, ZRQINT32.DLL and the zips must then be byte-identical and the zips'
entries dated from the last commit; the MSIs' tables and files must be equal (wixl gives each
package a code and a creation time of its own, in the summary stream).
"""

import os
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path


def run(command, **options):
    done = subprocess.run([str(part) for part in command], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, check=False, **options)
    if done.returncode != 0:
        raise SystemExit(f"failed: {' '.join(map(str, command))}\n{done.stdout}{done.stderr}")
    return done.stdout


def copy_source(source: Path, target: Path) -> None:
    """The files git knows or would add, as they are in the working tree."""
    listed = run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                  "--exclude-standard"])
    shutil.rmtree(target, ignore_errors=True)
    for name in filter(None, listed.split("\0")):
        if (source / name).is_file():
            (target / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source / name, target / name)


def package(cpack: str, build: Path, output: Path, timezone: str, umask: int, env: dict) -> None:
    shutil.rmtree(output, ignore_errors=True)
    run([cpack, "--config", build / "CPackConfig.cmake", "-B", output],
        env={**env, "TZ": timezone}, umask=umask)


# Summary properties that wixl makes anew for each package: its code, its creation and save times.
FRESH_SUMMARY_PROPERTIES = {"9", "12", "13"}


def msi_tables_and_streams(msi: Path) -> dict:
    """Every table as msiinfo exports it and every stream, by name; of the summary only what
    a rebuild keeps."""
    contents = {}
    for table in run(["msiinfo", "tables", msi]).split():
        exported = run(["msiinfo", "export", msi, table])
        if table == "_SummaryInformation":
            exported = [line for line in exported.splitlines()[3:]
                        if line.split("\t")[0] not in FRESH_SUMMARY_PROPERTIES]
        contents[f"table {table}"] = exported
    for stream in run(["msiinfo", "streams", msi]).splitlines():
        if not stream.endswith("SummaryInformation"):  # the summary is compared as a table
            contents[f"stream {stream}"] = subprocess.run(
                ["msiinfo", "extract", str(msi), stream], capture_output=True, check=True).stdout
    return contents


def main(cmake, cpack, source_dir, build_dir, work_dir) -> int:
    source, build_a, work = Path(source_dir), Path(build_dir), Path(work_dir)
    epoch = run(["git", "-C", source, "log", "-1", "--format=%ct"]).strip()
    copy = work / "elsewhere" / "faxjob-source-copy"
    copy_source(source, copy)
    build_b = copy / "build" / "win32"
    shutil.rmtree(build_b, ignore_errors=True)
    run([cmake, "--preset", "win32", "-DFAXJOB_TESTS=OFF", "-DFAXJOB_BENCH=OFF"], cwd=copy)
    run([cmake, "--build", "--preset", "win32", "-j", "1", "--target", "faxjob",
         "zrqint32_standin"], cwd=copy)

    env = {name: value for name, value in os.environ.items()
           if name != "SOURCE_DATE_EPOCH" and not name.startswith("FAXJOB_SIGN_")}
    packages_a, packages_b = work / "packages-a", work / "packages-b"
    # The first takes the date from git, the copy (no checkout) from SOURCE_DATE_EPOCH.
    package(cpack, build_a, packages_a, "UTC", 0o022, env)
    package(cpack, build_b, packages_b, "Asia/Tokyo", 0o002, {**env, "SOURCE_DATE_EPOCH": epoch})

    problems = []
    for name in ("faxjob.exe", "ZRQINT32.DLL"):
        if (build_a / name).read_bytes() != (build_b / name).read_bytes():
            problems.append(f"{name} differs between {build_a} and {build_b}")
    zips = sorted(p.name for p in packages_a.glob("*.zip"))
    if len(zips) != 2 or zips != sorted(p.name for p in packages_b.glob("*.zip")):
        problems.append(f"unexpected archives: {zips}")
    commit_date = time.gmtime(int(epoch))[:6]
    for name in zips:
        if (packages_a / name).read_bytes() != (packages_b / name).read_bytes():
            problems.append(f"{name} differs")
        with zipfile.ZipFile(packages_a / name) as archive:
            dates = {info.date_time for info in archive.infolist()}
        # A zip's date has a resolution of two seconds.
        if dates != {commit_date[:5] + (commit_date[5] & ~1,)}:
            problems.append(f"{name}: entries dated {dates}, not the commit's {commit_date}")

    msis = sorted(p.name for p in packages_a.glob("*.msi"))
    for name in msis:
        a, b = (msi_tables_and_streams(folder / name) for folder in (packages_a, packages_b))
        problems += [f"{name}: {part} differs" for part in sorted(a.keys() | b.keys())
                     if a.get(part) != b.get(part)]
        # And as msidiff sees the tables and the files: no file but the summary differs.
        differences = subprocess.run(["msidiff", "-t", "-l", packages_a / name,
                                      packages_b / name], capture_output=True, text=True)
        differing = {line.split()[-1] for line in differences.stdout.splitlines()
                     if line.startswith("diff ")}
        if differing - {"new/_SummaryInformation.idt"}:
            problems.append(f"msidiff {name}:\n{differences.stdout}")
    if len(msis) != 1:
        problems.append(f"unexpected installer packages: {msis}")

    sums_a, sums_b = ((folder / "SHA256SUMS").read_text().splitlines()
                      for folder in (packages_a, packages_b))
    # Every line but the MSI's, whose bytes hold its package code.
    if [line for line in sums_a if not line.endswith(".msi")] != \
            [line for line in sums_b if not line.endswith(".msi")]:
        problems.append(f"SHA256SUMS differ:\n{sums_a}\n{sums_b}")

    for problem in problems:
        print(problem)
    print(f"compared {build_a} with {build_b}: {len(problems)} differences")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 6:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(*sys.argv[1:]))
