#!/usr/bin/env python3
"""Whole-process benchmark of the `vorlent` command beside its peer tools.

Every row of bench/cli-rows.tsv runs our command and the peer command on the same
generated inputs, each three times (PEER_RUNS changes that) as a whole process, and
reports the median wall time and the median peak resident memory (from wait4), the time
ratio ours/peer against the row's target, and our memory against the row's bound.

Usage: bench-cli.py VORLENT_BINARY DATA_FOLDER
  BENCH_LARGE=1 adds the 1 GiB inputs to the 100 MiB ones, and a table of each row's time
  at 1 GiB against its time at 100 MiB (at most 11 times).

The rows file has tab-separated columns:
  row        name shown in the table
  once       shell command run once per input size before the row (untimed), or "-"
  each       shell command run before every timed run of either side (untimed), or "-"
  ours       our command (timed)
  peer       the peer's command (timed)
  target     time ratio ours/peer to stay within, or "-" for a row shown for reference
  memory     bound of our peak memory in MiB, an expression of `doc` (the input size in
             MiB), e.g. "2*doc+32", or "-"
Placeholders in the commands: {vorlent} the binary, {data} the data folder, {size} the
size tag of the inputs ("100m", "1g"), {random} and {text} the generated inputs of that size.
"""

import os
import random
import shlex
import statistics
import subprocess
import sys
import time

SIZES = [("100m", 100)]
if os.environ.get("BENCH_LARGE") == "1":
    SIZES.append(("1g", 1024))
RUNS = int(os.environ.get("PEER_RUNS", "3"))
# A 1 GiB input may take at most this many times as long as a 100 MiB one.
SCALE_TARGET = 11
ROWS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench", "cli-rows.tsv")


def generate(data, tag, mib):
    """Random bytes and Russian/Latin text of `mib` MiB, made once and kept."""
    paths = {"random": os.path.join(data, "random-%s.bin" % tag), "text": os.path.join(data, "text-%s.txt" % tag)}
    size = mib << 20
    if not os.path.exists(paths["random"]) or os.path.getsize(paths["random"]) != size:
        with open(paths["random"], "wb") as f:
            for _ in range(mib):
                f.write(os.urandom(1 << 20))
    if not os.path.exists(paths["text"]) or os.path.getsize(paths["text"]) != size:
        rng = random.Random(22)
        words = [w.encode("cp1251") for w in (
            "общество ограниченной ответственностью устав уставный капитал участник директор "
            "решение собрание доля рублей регистрация налоговый орган заявление форма адрес "
            "company charter share capital director meeting register tax office address").split()]
        words += [str(n).encode() for n in range(1000)]
        block = bytearray()
        while len(block) < (4 << 20):
            line = b" ".join(rng.choice(words) for _ in range(rng.randint(6, 14)))
            block += line + b".\r\n"
        block = bytes(block[: 4 << 20])
        with open(paths["text"], "wb") as f:
            for _ in range(mib // 4):
                f.write(block)
    return paths


def run(command):
    """Wall seconds and peak resident memory (MiB) of the command and its children."""
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        devnull = os.open(os.devnull, os.O_RDWR)
        os.dup2(devnull, 0)
        os.dup2(devnull, 1)
        os.execvp("bash", ["bash", "-c", command])
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError("failed: " + command)
    return wall, usage.ru_maxrss / 1024.0


def shell(command):
    if command != "-":
        subprocess.run(["bash", "-c", command], check=True, stdout=subprocess.DEVNULL)


def measure(each, command):
    walls, peaks = [], []
    for _ in range(RUNS):
        shell(each)
        os.sync()  # what the preparation wrote is on disk before the timed run, not written back during it
        wall, peak = run(command)
        walls.append(wall)
        peaks.append(peak)
    return statistics.median(walls), statistics.median(peaks)


def main():
    vorlent, data = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    os.makedirs(data, exist_ok=True)
    home = os.path.join(data, "home")
    os.makedirs(home, exist_ok=True)
    os.environ.setdefault("QELVORLENT_HOME", home)
    os.environ.setdefault("QELVORLENT_REGISTRY", os.path.join(home, "registry"))
    rows = []
    with open(ROWS, encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                rows.append(line.rstrip("\n").split("\t"))
    header = "%-22s %-5s %9s %9s %7s %7s  %9s %9s %9s  %s" % (
        "row", "size", "ours, s", "peer, s", "ratio", "target", "ours, MiB", "peer, MiB", "bound", "verdict")
    lines = [header]
    ours_by_size = {}
    for tag, mib in SIZES:
        inputs = generate(data, tag, mib)
        for name, once, each, ours, peer, target, memory in rows:
            fill = lambda c: c.format(vorlent=shlex.quote(vorlent), data=shlex.quote(data), size=tag,
                                      random=shlex.quote(inputs["random"]), text=shlex.quote(inputs["text"]))
            try:
                shell(fill(once))
                our_wall, our_peak = measure(fill(each), fill(ours))
                peer_wall, peer_peak = measure(fill(each), fill(peer))
            except (RuntimeError, subprocess.CalledProcessError) as e:
                lines.append("%-22s %-5s failed: %s" % (name, tag, e))
                continue
            ours_by_size[(name, tag)] = our_wall
            ratio = our_wall / peer_wall if peer_wall > 0 else float("inf")
            verdict = []
            if target != "-":
                verdict.append("ok" if ratio <= float(target) else "MISSED")
            bound = "-"
            if memory != "-":
                limit = eval(memory, {"__builtins__": {}}, {"doc": mib})
                bound = "%.0f" % limit
                verdict.append("mem ok" if our_peak <= limit else "mem MISSED")
            lines.append("%-22s %-5s %9.2f %9.2f %7.2f %7s  %9.0f %9.0f %9s  %s" % (
                name, tag, our_wall, peer_wall, ratio, target, our_peak, peer_peak, bound,
                " ".join(verdict) or "reference"))
    print("\nThe command line, whole process, median of %d runs:" % RUNS)
    print("\n".join(lines))
    # Scale: the time at 1 GiB against the time at 100 MiB, for the rows measured at both.
    scaled = [(name, ours_by_size[(name, "1g")] / ours_by_size[(name, "100m")])
              for name, *_ in rows if (name, "1g") in ours_by_size and ours_by_size.get((name, "100m"), 0) > 0]
    if scaled:
        print("\n%-22s %9s %7s  %s" % ("row", "1G/100M", "target", "verdict"))
        for name, factor in scaled:
            print("%-22s %9.2f %7s  %s" % (name, factor, "<= %d" % SCALE_TARGET,
                                           "ok" if factor <= SCALE_TARGET else "MISSED"))


if __name__ == "__main__":
    main()
