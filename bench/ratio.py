"""Paired timing for scripts/bench: the ratio A/B of interleaved runs A, B, A, B ...

    ratio.py run PAIRS -- COMMAND-A... -- COMMAND-B...
        runs both commands on this machine, once each unmeasured, then PAIRS times each in turn;
        a last word ">FILE" sends a command's output to FILE (emptied first, as part of the run)
    ratio.py read [--low]
        reads the lines of time_pairs.exe from standard input ("MS-A MS-B STATUS-A STATUS-B")

Prints one line: by default the median of the paired ratios, with the median times; with --low
the ratio of each side's 20th percentile, for runs where a random share of the runs of either
side takes a fixed time longer (process starts under Wine), which moves the ratio of a pair far
more than the low percentile of a side. Fails when a run of either command fails.
"""

import statistics
import subprocess
import sys
import time


def timed(command):
    output = subprocess.DEVNULL
    if command[-1].startswith(">"):
        output, command = open(command[-1][1:], "wb"), command[:-1]
    start = time.perf_counter()
    status = subprocess.run(command, stdout=output, check=False).returncode
    elapsed = (time.perf_counter() - start) * 1000
    if output is not subprocess.DEVNULL:
        output.close()
    if status != 0:
        sys.exit(f"{command[0]} exited with {status}")
    return elapsed


def low(times):
    """The 20th percentile, between the nearest two runs."""
    return statistics.quantiles(times, n=5, method="inclusive")[0]


def report_low(pairs):
    a, b = low([a for a, _ in pairs]), low([b for _, b in pairs])
    print(f"{a / b:.2f} x (20th percentiles of {len(pairs)} runs each;"
          f" {a:.1f} ms against {b:.1f} ms)")


def report(pairs):
    ratios = [a / b for a, b in pairs]
    print(f"{statistics.median(ratios):.2f} x (median of {len(pairs)} pairs;"
          f" {statistics.median(a for a, _ in pairs):.1f} ms against"
          f" {statistics.median(b for _, b in pairs):.1f} ms)")


def main():
    if sys.argv[1] == "read":
        low_percentile = sys.argv[2:] == ["--low"]
        pairs = []
        for line in sys.stdin:
            a, b, status_a, status_b = line.split()
            if status_a != "0" or status_b != "0":
                sys.exit(f"a run failed: {line.strip()}")
            pairs.append((float(a), float(b)))
        (report_low if low_percentile else report)(pairs)
        return
    count = int(sys.argv[2])
    split = sys.argv.index("--", 4)
    command_a, command_b = sys.argv[4:split], sys.argv[split + 1:]
    timed(command_a)
    timed(command_b)
    report([(timed(command_a), timed(command_b)) for _ in range(count)])


if __name__ == "__main__":
    main()
