"""What each guard of a run costs on the typical job (three entries) under Wine.

    guard_costs.py [RUNS] [ROUNDS] [MAX-BUSY] [A/B,...]

Builds faxjob.exe once as it is and once for each variant below, each with one
guard (or one step of the fault path) taken out, from a copy of the checkout
in build/guard-costs/ (the checkout itself is left alone; a variant whose text
is no longer in the sources stops the script). Then times each comparison A/B
with time_pairs.exe: RUNS runs of each side in turn (default 101), and prints
the ratio of each side's 20th percentile, ROUNDS times (default 3), the
comparisons taking turns, and last the median of the rounds. Before each
comparison it waits, up to a minute, until other work keeps less than
MAX-BUSY cores busy (default 0.3, over 3 seconds while the bench is idle), and
prints that share and the load average. A list of comparisons A/B (names of
programs below) times only those, and the steps last only when listed as
"steps".
"""

import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import ratio  # noqa: E402

FAULT_PATH = "src/platform/win32/fault_path.cpp"
PLATFORM = "src/platform/win32/platform.cpp"
RUN = "src/run/run_sequence.cpp"

START_RECORDER = "  kept.recorder = StartThread(RunRecorder, kept);\n"
START_WATCHER = "  kept.watcher = StartThread(WatchMainThread, kept);\n"
FOLDER_TURN = """  const std::unique_ptr<FolderTurn> turn = platform.TakeFolderTurn(
      std::u16string(FolderPartOf(resultFilePath, platform.FolderSeparator())));
"""
REMOVAL = "  platform.RemoveFile(resultFilePath);\n"
REPORT_CHECK = ("platform.CanNeverCreate(reportFilePath)", "false")
DLL_DIRECTORY = ("    LeaveCurrentFolderOutOfLibrarySearch();\n", "")
ARM = "    platform.ArmFaultPath(paths->reportFilePath, FaultLine(platform));\n"

# Each variant: (file, text, replacement) edits of the sources.
VARIANTS = {
    "no-fault-threads": [(FAULT_PATH, START_RECORDER, ""), (FAULT_PATH, START_WATCHER, "")],
    "no-folder-turn": [(RUN, FOLDER_TURN, "")],
    "no-result-removal": [(RUN, REMOVAL, "")],
    "no-report-check": [(RUN, *REPORT_CHECK)],
    "no-dll-directory": [(PLATFORM, *DLL_DIRECTORY)],
    # The parts of the fault path.
    "no-fault-path": [(RUN, ARM, "")],
    "one-fault-thread": [(FAULT_PATH, START_WATCHER, "")],
    "fault-threads-return": [
        (FAULT_PATH, "  Preparation& prepared = *static_cast<Preparation*>(parameter);\n",
         "  Preparation& prepared = *static_cast<Preparation*>(parameter);\n"
         "  if (parameter != nullptr) return 0;\n")],
    "no-stack-guarantee": [(FAULT_PATH, "!SetThreadStackGuarantee(&guarantee)", "false")],
    "no-nt-path": [
        (FAULT_PATH, "!toNtPath(reinterpret_cast<PCWSTR>(reportPath.c_str()), &converted, nullptr, "
         "nullptr)", "false"),
        (FAULT_PATH, "  freeString(&converted);\n", "")],
    # The watcher waits for the event instead, which nothing sets.
    "no-duplicate-handle": [
        (FAULT_PATH, "  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), "
         "GetCurrentProcess(), &mainThread,\n                       SYNCHRONIZE, FALSE, 0)) {",
         "  if (false) {"),
        (FAULT_PATH, "WaitForSingleObject(prepared.mainThread.Get(), INFINITE);",
         "WaitForSingleObject(prepared.faultSeen.Get(), INFINITE);")],
    "no-guards": [(FAULT_PATH, START_RECORDER, ""), (FAULT_PATH, START_WATCHER, ""),
                  (RUN, FOLDER_TURN, ""), (RUN, REMOVAL, ""), (RUN, *REPORT_CHECK),
                  (PLATFORM, *DLL_DIRECTORY)],
}
# Variants whose edit applies to every place of its text: both thread functions.
REPEATED = {"fault-threads-return"}

COMPARISONS = [("faxjob", "naive")] + [("faxjob", name) for name in VARIANTS] + [
    ("one-fault-thread", "naive"), ("no-fault-threads", "naive"), ("no-guards", "naive"),
    # The fault path's steps alone, in a program that does nothing else.
    ("fault-steps", "fault-steps-no-threads")]


def run(*command, **options):
    subprocess.run(command, check=True, **options)


def copy_checkout(tree):
    """Copies the checkout's files into tree, leaving those already equal untouched."""
    listed = subprocess.run(["git", "-C", str(ROOT), "ls-files", "-z", "--cached",
                             "--others", "--exclude-standard"], check=True,
                            capture_output=True).stdout.decode().split("\0")
    for name in filter(None, listed):
        source, target = ROOT / name, tree / name
        if not source.is_file():
            continue
        if not target.exists() or target.read_bytes() != source.read_bytes():
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target)


def build_variants(work):
    tree, build, programs = work / "tree", work / "build", work / "programs"
    copy_checkout(tree)
    programs.mkdir(parents=True, exist_ok=True)
    run("cmake", "-S", tree, "-B", build, "-G", "Ninja",
        f"-DCMAKE_TOOLCHAIN_FILE={tree}/cmake/mingw-w64-i686.cmake", "-DCMAKE_BUILD_TYPE=Release",
        "-DFAXJOB_TESTS=OFF", stdout=subprocess.DEVNULL)
    run("cmake", "--build", build, "-j2", "--target", "faxjob", "zrqint32_standin",
        "faxjob_bench_naive", "faxjob_bench_time_pairs", "faxjob_bench_fault_steps",
        stdout=subprocess.DEVNULL)
    shutil.copy2(build / "faxjob.exe", programs / "faxjob.exe")
    for program in ["ZRQINT32.DLL", "bench/win32/naive.exe", "bench/win32/time_pairs.exe",
                    "bench/win32/fault_steps.exe"]:
        shutil.copy2(build / program, programs)
    edited = {path for edits in VARIANTS.values() for path, _, _ in edits}
    pristine = {path: (tree / path).read_text() for path in edited}
    try:
        for name, edits in VARIANTS.items():
            texts = dict(pristine)
            for path, old, new in edits:
                if old not in texts[path]:
                    sys.exit(f"variant {name}: the text to edit is no longer in {path}:\n{old}")
                count = -1 if name in REPEATED else 1
                texts[path] = texts[path].replace(old, new, count)
            for path, text in texts.items():
                (tree / path).write_text(text)
            run("cmake", "--build", build, "-j2", "--target", "faxjob", stdout=subprocess.DEVNULL)
            shutil.copy2(build / "faxjob.exe", programs / f"{name}.exe")
    finally:
        for path, text in pristine.items():
            (tree / path).write_text(text)
    return programs


def load():
    return float(pathlib.Path("/proc/loadavg").read_text().split()[0])


def busy_cores(seconds=3.0):
    """How many cores the machine's processes keep busy: while this bench waits, other work."""
    def sample():
        ticks = [int(n) for n in pathlib.Path("/proc/stat").read_text().split("\n")[0].split()[1:9]]
        return sum(ticks), ticks[3] + ticks[4]  # all, idle and waiting for I/O
    total_before, idle_before = sample()
    time.sleep(seconds)
    total, idle = sample()
    busy = (total - total_before) - (idle - idle_before)
    return os.cpu_count() * busy / max(total - total_before, 1)


def wait_for_quiet(max_busy):
    deadline = time.monotonic() + 60
    while (busy := busy_cores()) >= max_busy and time.monotonic() < deadline:
        pass
    return busy


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 101
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    max_busy = float(sys.argv[3]) if len(sys.argv) > 3 else 0.3
    listed = sys.argv[4].split(",") if len(sys.argv) > 4 else None
    comparisons = [(a, b) for a, b in COMPARISONS if listed is None or f"{a}/{b}" in listed]
    programs = build_variants(ROOT / "build" / "guard-costs")

    win32 = ROOT / "build" / "win32"
    cache = (win32 / "CMakeCache.txt").read_text()
    display = next((line.split("=", 1)[1] for line in cache.splitlines()
                    if line.startswith("FAXJOB_WINE_DISPLAY_NUMBER:")), "99")
    os.environ.update(WINEPREFIX=str(win32 / "wineprefix"), WINEARCH="win32", WINEDEBUG="-all",
                      LC_ALL="ja_JP.UTF-8", DISPLAY=f":{display}",
                      WINEDLLOVERRIDES="winedbg.exe,winemenubuilder.exe,mscoree,mshtml=d")
    state = str(win32 / "wine-state")
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="faxjob-guards.", dir=base) as folder:
        work = pathlib.Path(folder)
        for program in programs.iterdir():
            shutil.copy2(program, work)
        (work / "job3.txt").write_bytes(b"03-1234-5678\r\n06-9876-5432\r\n+81 (3) 1111-2222\r\n")
        here = "Z:" + folder.replace("/", "\\")

        def command(name):
            if name.startswith("fault-steps"):
                steps = "no-threads" if name.endswith("no-threads") else "quiet"
                return f"{here}\\fault_steps.exe {steps} {here}\\report.txt"
            report = "report.txt" if name == "faxjob" else f"report-{name}.txt"
            return f"{here}\\{name}.exe {here}\\job3.txt {here}\\{report}"

        run("bash", str(ROOT / "tests/wine/start.sh"), state, stdout=subprocess.DEVNULL)
        try:
            print(f"{runs} runs of each side a comparison, ratio of the 20th percentiles",
                  flush=True)
            ratios = {comparison: [] for comparison in comparisons}
            for round_number in range(1, rounds + 1):
                for a, b in comparisons:
                    others = wait_for_quiet(max_busy)
                    lines = subprocess.run(["wine", "time_pairs.exe", str(runs), command(a),
                                            command(b)], cwd=work, check=True, text=True,
                                           capture_output=True).stdout
                    pairs = []
                    for line in lines.splitlines():
                        ms_a, ms_b, status_a, status_b = line.split()
                        if status_a != "0" or status_b != "0":
                            sys.exit(f"{a} / {b}: a run failed: {line}")
                        pairs.append((float(ms_a), float(ms_b)))
                    low_a = ratio.low([t for t, _ in pairs])
                    low_b = ratio.low([t for _, t in pairs])
                    ratios[(a, b)].append(low_a / low_b)
                    print(f"round {round_number}, others {others:.2f} cores, load {load():.2f}:"
                          f" {a} / {b}: {low_a / low_b:.3f}"
                          f" ({low_a:.1f} ms against {low_b:.1f} ms)", flush=True)
            for (a, b), values in ratios.items():
                print(f"{a} / {b}: {statistics.median(values):.3f} (median of {rounds} rounds;"
                      f" {min(values):.3f} to {max(values):.3f})")
            if listed is None or "steps" in listed:
                # Wine 8 itself crashes now and then (a run in ten) when a process ends
                # while its new threads still start, as this one does right after its line.
                steps, crashed = {}, 0
                for _ in range(21):
                    printed = subprocess.run(
                        ["wine", "fault_steps.exe", "print", f"{here}\\report.txt"], cwd=work,
                        text=True, capture_output=True)
                    words = printed.stdout.split()
                    if len(words) != 14:
                        sys.exit(f"fault_steps.exe printed no timings: {printed.stdout}")
                    crashed += printed.returncode != 0
                    for step, microseconds in zip(words[::2], words[1::2]):
                        steps.setdefault(step, []).append(float(microseconds))
                print(f"fault path steps, median of 21 runs ({crashed} crashed at the end): "
                      + ", ".join(f"{step} {statistics.median(values):.0f} us"
                                  for step, values in steps.items()))
        finally:
            run("bash", str(ROOT / "tests/wine/stop.sh"), state, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
