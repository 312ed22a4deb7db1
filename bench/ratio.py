"""Paired timing for scripts/bench: the median of the ratios of interleaved runs A, B, A, B ...

    ratio.py run PAIRS -- COMMAND-A... -- COMMAND-B...
        runs both commands on this machine, once each unmeasured, then PAIRS times each in turn;
        a last word ">FILE" sends a command's output to FILE (emptied first, as part of the run)
    ratio.py read
        reads the lines of time_pairs.exe from standard input ("MS-A MS-B STATUS-A STATUS-B")

Prints one line: the median ratio A/B, the median times and the number of pairs. Fails when a
run of either command fails.
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


def report(pairs):
    ratios = [a / b for a, b in pairs]
    print(f"{statistics.median(ratios):.2f} x (median of {len(pairs)} pairs;"
          f" {statistics.median(a for a, _ in pairs):.1f} ms against"
          f" {statistics.median(b for _, b in pairs):.1f} ms)")


def main():
    if sys.argv[1] == "read":
        pairs = []
        for line in sys.stdin:
            a, b, status_a, status_b = line.split()
            if status_a != "0" or status_b != "0":
                sys.exit(f"a run failed: {line.strip()}")
            pairs.append((float(a), float(b)))
        report(pairs)
        return
    count = int(sys.argv[2])
    split = sys.argv.index("--", 4)
    command_a, command_b = sys.argv[4:split], sys.argv[split + 1:]
    timed(command_a)
    timed(command_b)
    report([(timed(command_a), timed(command_b)) for _ in range(count)])


if __name__ == "__main__":
    main()
