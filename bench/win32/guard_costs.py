"""What each guard of a typical job (three entries) costs under Wine, against a naive caller.

    guard_costs.py [RUNS] [ROUNDS] [MAX-BUSY]

Builds faxjob.exe in build/bench-guards/ from the checkout as it is, once with every guard and
once for each guard that src/base/bench_guards.h names, left out by the compile-time switch
FAXJOB_BENCH_LEAVE_OUT (a new guard there is measured without any change here). Then times each
of them against bench/win32/naive.c with time_pairs.exe: RUNS runs of each side in turn (default
61), the ratio of each side's 20th percentile, ROUNDS times (default 3), the comparisons taking
turns. Before each comparison it waits, up to a minute, until other work keeps less than MAX-BUSY
cores busy (default 0.3), and prints that share and the load average. Last a table: the typical
job's ratio with every guard, and each guard's cost, the ratio with it less the ratio without
it (medians of the rounds). One more comparison sets the fault path's cost beside a floor: the
naive caller with two threads that only wait (naive_threads.exe), against the naive caller.
"""

import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import ratio  # noqa: E402

ALL = "every guard"
THREADS = "naive_threads"


def variant(name):
    """How a name of the ratios reads in the output: the faxjob build or the naive caller it is."""
    if name == THREADS:
        return "the naive caller with two idle threads"
    if name == ALL:
        return "faxjob with every guard"
    return "faxjob without " + ("any guard" if name == "kEveryGuard" else name)


def listed(values):
    return ", ".join(f"{value:.2f} x" for value in values)


def run(*command, **options):
    subprocess.run(command, check=True, **options)


def guards():
    """The guards a bench build may leave out, as src/base/bench_guards.h lists them."""
    text = (ROOT / "src/base/bench_guards.h").read_text()
    listed = re.search(r"enum class Guard \{(.*?)\};", text, re.S).group(1)
    names = re.findall(r"^\s*(k\w+),", listed, re.M)
    return [name for name in names if name != "kNone"]  # kEveryGuard last


def build_variants(programs):
    build = ROOT / "build" / "bench-guards"
    programs.mkdir(parents=True, exist_ok=True)
    for guard in [""] + guards():
        run("cmake", "--preset", "win32", "-B", build, "-DFAXJOB_TESTS=OFF",
            f"-DFAXJOB_BENCH_LEAVE_OUT={guard}", stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        targets = ["faxjob"] if guard else ["faxjob", "zrqint32_standin", "faxjob_bench_naive",
                                            "faxjob_bench_naive_threads",
                                            "faxjob_bench_time_pairs"]
        run("cmake", "--build", build, "-j2", "--target", *targets, stdout=subprocess.DEVNULL)
        shutil.copy2(build / "faxjob.exe", programs / f"{guard or 'faxjob'}.exe")
        if not guard:
            for program in ["ZRQINT32.DLL", "bench/win32/naive.exe",
                            "bench/win32/naive_threads.exe", "bench/win32/time_pairs.exe"]:
                shutil.copy2(build / program, programs)
    # The build tree is left as a shipped build would be configured.
    run("cmake", "--preset", "win32", "-B", build, "-DFAXJOB_BENCH_LEAVE_OUT=",
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


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
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 61
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    max_busy = float(sys.argv[3]) if len(sys.argv) > 3 else 0.3
    base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="faxjob-guards.", dir=base) as folder:
        work = pathlib.Path(folder)
        build_variants(work)
        win32 = ROOT / "build" / "win32"
        cache = (win32 / "CMakeCache.txt").read_text()
        display = next((line.split("=", 1)[1] for line in cache.splitlines()
                        if line.startswith("FAXJOB_WINE_DISPLAY_NUMBER:")), "99")
        os.environ.update(WINEPREFIX=str(win32 / "wineprefix"), WINEARCH="win32",
                          WINEDEBUG="-all", LC_ALL="ja_JP.UTF-8", DISPLAY=f":{display}",
                          WINEDLLOVERRIDES="winedbg.exe,winemenubuilder.exe,mscoree,mshtml=d")
        state = str(win32 / "wine-state")
        (work / "job3.txt").write_bytes(b"03-1234-5678\r\n06-9876-5432\r\n+81 (3) 1111-2222\r\n")
        here = "Z:" + folder.replace("/", "\\")
        naive = f"{here}\\naive.exe {here}\\job3.txt {here}\\naive-report.txt"

        def command(name):
            program = "faxjob" if name == ALL else name
            return f"{here}\\{program}.exe {here}\\job3.txt {here}\\report-{program}.txt"

        run("bash", str(ROOT / "tests/wine/start.sh"), state, stdout=subprocess.DEVNULL)
        try:
            print(f"machine: {os.cpu_count()} cores; {runs} runs of each side a comparison,"
                  " ratio of the 20th percentiles", flush=True)
            ratios = {name: [] for name in [ALL] + guards() + [THREADS]}
            for round_number in range(1, rounds + 1):
                for name in ratios:
                    others = wait_for_quiet(max_busy)
                    lines = subprocess.run(["wine", "time_pairs.exe", str(runs), command(name),
                                            naive], cwd=work, check=True, text=True,
                                           capture_output=True).stdout
                    pairs = []
                    for line in lines.splitlines():
                        ms_a, ms_b, status_a, status_b = line.split()
                        if status_a != "0" or status_b != "0":
                            sys.exit(f"{name}: a run failed: {line}")
                        pairs.append((float(ms_a), float(ms_b)))
                    low_a = ratio.low([t for t, _ in pairs])
                    low_b = ratio.low([t for _, t in pairs])
                    ratios[name].append(low_a / low_b)
                    print(f"round {round_number}, others {others:.2f} cores, load {load():.2f}:"
                          f" {variant(name)} / naive: {low_a / low_b:.3f}"
                          f" ({low_a:.1f} ms against {low_b:.1f} ms)", flush=True)
        finally:
            run("bash", str(ROOT / "tests/wine/stop.sh"), state, stdout=subprocess.DEVNULL)
    every = ratios[ALL]
    print("\n| faxjob | against the naive caller (rounds) | guard's cost |")
    print("|---|---|---|")
    print(f"| {variant(ALL).removeprefix('faxjob ')} | {listed(every)} | |")
    for name in guards():
        costs = [a - b for a, b in zip(every, ratios[name])]
        print(f"| {variant(name).removeprefix('faxjob ')} | {listed(ratios[name])} |"
              f" {statistics.median(costs):+.3f} |")
    threads = ratios[THREADS]
    print(f"| ({variant(THREADS)}) | {listed(threads)} | {statistics.median(threads) - 1:+.3f} |")


if __name__ == "__main__":
    main()
