#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Measures the kvmorvel command against the tools a user would otherwise
pick, on the trees bench_make_trees writes, and prints a markdown table
that it also writes to a file.

    run.py --build DIR --trees DIR --work DIR --out FILE [--quick]
           [--before KVMORVEL] [--only A,B,C] [--runs N]

DIR of --build holds kvmorvel, bench_make_trees and bench_ceilings.
--before names an earlier build's command: each of our operations and the
system-call count then run with it too, in the same run, and the report
adds a before-and-after table. --only names the trees to measure (all
three by default): tree B alone takes most of an hour on a disk where
making a file costs half a millisecond, so A and C can be measured apart.
Every
operation runs warm: one run under GNU time first (it warms the cache and
gives the peak memory), then hyperfine, median of 5 runs (3 when that
first run took more than LONG_SECONDS; 1 with --quick; at most N with
--runs N). Before every run
of either side, hyperfine's --prepare removes the previous output folder
and makes it anew, the same command for ours and the peers.
"""

import argparse
import json
import os
import platform
import shlex
import shutil
import subprocess
import sys
import time

LONG_SECONDS = 5.0
TREE_FORMAT = 1  # bump when bench_make_trees changes what it writes
MB = 1e6  # throughput and memory are in 10^6 bytes, as the goals are read


def sh(command, **kwargs):
    return subprocess.run(["sh", "-c", command], **kwargs)


def q(path):
    return shlex.quote(str(path))


def log(message):
    print(message, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# Trees


def tree_stats(root):
    folders, files, links, size = 1, 0, 0, 0
    for top, dirs, names in os.walk(root):
        for name in dirs:
            if os.path.islink(os.path.join(top, name)):
                links += 1
            else:
                folders += 1
        for name in names:
            path = os.path.join(top, name)
            if os.path.islink(path):
                links += 1
            else:
                files += 1
                size += os.lstat(path).st_size
    return {"folders": folders, "files": files, "links": links, "bytes": size,
            "entries": folders + files + links}


def ensure_tree(args, kind):
    """Writes tree KIND under --trees once; later runs reuse it. A stamp
    beside the tree, written last, tells a whole tree from one cut short."""
    root = os.path.join(args.trees, kind)
    stamp = root + ".stamp"
    wanted = {"format": TREE_FORMAT, "quick": args.quick}
    if os.path.exists(stamp) and os.path.isdir(root):
        with open(stamp) as f:
            saved = json.load(f)
        if all(saved.get(k) == v for k, v in wanted.items()):
            return saved["stats"]
    log(f"writing tree {kind} in {root}")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(args.trees, exist_ok=True)
    command = [os.path.join(args.build, "bench_make_trees")]
    if args.quick:
        command.append("--quick")
    subprocess.run(command + [kind.lower(), root], check=True)
    stats = tree_stats(root)
    with open(stamp, "w") as f:
        json.dump(dict(wanted, stats=stats), f)
    return stats


# --------------------------------------------------------------------------
# Measuring


class Command:
    def __init__(self, key, label, command, out, ours):
        self.key, self.label, self.command, self.out, self.ours = (
            key, label, command, out, ours)
        self.prepare = f"rm -rf {q(out)} && mkdir -p {q(out)}"
        self.runs = 0
        self.wall = self.cpu = self.peak = None


def measure(args, cmd):
    log(f"measuring {cmd.key}: {cmd.command}")
    sh(cmd.prepare, check=True)
    peak_file = os.path.join(args.work, "peak.txt")
    start = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file,
                           "sh", "-c", cmd.command],
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True)
    first = time.monotonic() - start
    if done.returncode != 0:
        sys.exit(f"failed ({done.returncode}): {cmd.command}\n{done.stderr}")
    with open(peak_file) as f:
        cmd.peak = int(f.read().split()[-1]) * 1024  # KiB, the largest process
    cmd.runs = 1 if args.quick else (3 if first > LONG_SECONDS else 5)
    if args.runs:
        cmd.runs = min(cmd.runs, args.runs)
    args.commands.append((f"{cmd.runs} run{'s' * (cmd.runs > 1)}", cmd.command))
    report = os.path.join(args.work, "hyperfine.json")
    with open(args.log, "a") as hlog:
        subprocess.run(["hyperfine", "--style", "basic", "--runs", str(cmd.runs),
                        "--prepare", cmd.prepare, "--export-json", report,
                        cmd.command], check=True, stdout=hlog, stderr=hlog)
    with open(report) as f:
        result = json.load(f)["results"][0]
    cmd.wall = result["median"]
    cmd.cpu = result["user"] + result["system"]


def strace_calls(args, command, out):
    """System calls of COMMAND and its children, from strace's summary;
    returns the total and the most frequent calls. OUT is emptied first."""
    sh(f"rm -rf {q(out)} && mkdir -p {q(out)}", check=True)
    summary = os.path.join(args.work, "strace.txt")
    log(f"strace: {command}")
    sh(f"strace -f -c -o {q(summary)} {command}", check=True,
       stdout=subprocess.DEVNULL)
    calls = {}
    with open(summary) as f:
        for line in f:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors], syscall
            if len(fields) in (5, 6) and fields[-1] != "total" and fields[3].isdigit():
                calls[fields[-1]] = calls.get(fields[-1], 0) + int(fields[3])
    top = sorted(calls.items(), key=lambda kv: -kv[1])
    return sum(calls.values()), top


# --------------------------------------------------------------------------
# The operations


# The commands on trees A and B, in the order run: name, label, command,
# ours. In a command {o} is its own output folder, {x} the output folder
# of command {T}-x, {tree} the tree, {T} its name, {tar} its tar file,
# {trees} the folder of trees. The command names entries by the path as
# given, so it runs from {trees} as tar does with -C.
TREE_COMMANDS = [
    ("create5", "create -V 5", "cd {trees} && {K} create -V 5 {o}/arc {T}", True),
    ("tar_lzop", "tar -cf - | lzop -3", "tar -cf - -C {trees} {T} | lzop -3 > {o}/{T}.tar.lzo", False),
    ("lzop", "lzop -3 of the tar file", "lzop -3 -c {tar} > {o}/{T}.tar.lzo", False),
    ("extract5", "extract (v5)", "{K} extract {create5}/arc {o}", True),
    ("lzop_x", "lzop -dc | tar -xf -", "lzop -dc {tar_lzop}/{T}.tar.lzo | tar -xf - -C {o}", False),
    ("create1", "create -V 1", "cd {trees} && {K} create -V 1 {o}/arc {T}", True),
    ("create2", "create -V 2", "cd {trees} && {K} create -V 2 {o}/arc {T}", True),
    ("gzip", "gzip -1 of the tar file", "gzip -1 -c {tar} > {o}/{T}.tar.gz", False),
    ("pigz", "pigz -1 -p 1 of the tar file", "pigz -1 -p 1 -c {tar} > {o}/{T}.tar.gz", False),
    ("tar_gzip", "tar -cf - | gzip -1", "tar -cf - -C {trees} {T} | gzip -1 > {o}/{T}.tar.gz", False),
    ("extract1", "extract (v1)", "{K} extract {create1}/arc {o}", True),
    ("extract2", "extract (v2)", "{K} extract {create2}/arc {o}", True),
    ("gzip_x", "gzip -dc | tar -xf -", "gzip -dc {tar_gzip}/{T}.tar.gz | tar -xf - -C {o}", False),
]
# The commands on tree C: {arc} is its version 5 archive, {tar} its tar file.
LIST_COMMANDS = [
    ("list", "list", "{K} list {arc} > /dev/null", True),
    ("tar_t", "tar -tf", "tar -tf {tar} > /dev/null", False),
    ("list_json", "list --json", "{K} list --json {arc} > /dev/null", True),
    ("tar_tv", "tar -tvf", "tar -tvf {tar} > /dev/null", False),
    # One file by name, from the middle of the archive: ours reads the
    # catalogue and that entry's data, tar reads the whole archive.
    ("extract_one", "extract of one named file", "{K} extract {arc} {o} {one}", True),
    ("tar_x_one", "tar -xf NAME", "tar -xf {tar} -C {o} {one}", False),
]


# A file in the middle of tree C (bench_make_trees: 1,000 folders of
# 1,000 files; the quick tree 10 folders).
C_MIDDLE, C_MIDDLE_QUICK = "C/d0500/e0500", "C/d0005/e0500"


def operations(args, K):
    """Every measured command, in the order run, keyed TREE.name. Output
    folders are named TREE-name: the archive's part files take their names
    from the archive's path, which wants no dot in a folder's name."""
    setup, out = os.path.join(args.work, "setup"), os.path.join(args.work, "out")
    folder = lambda T, name: os.path.join(out, f"{T}-{name}")
    cmds = {}
    for T, table in (("A", TREE_COMMANDS), ("B", TREE_COMMANDS), ("C", LIST_COMMANDS)):
        fields = {name: q(folder(T, name)) for name, _, _, _ in table}
        fields.update(K=K, T=T, trees=q(args.trees), tree=q(os.path.join(args.trees, T)),
                      tar=q(os.path.join(setup, T + ".tar")),
                      arc=q(os.path.join(setup, "C-v5", "arc")),
                      one=C_MIDDLE_QUICK if args.quick else C_MIDDLE)
        for name, label, command, ours in table:
            o = folder(T, name)
            cmds[f"{T}.{name}"] = Command(f"{T}.{name}", label,
                                          command.format(o=q(o), **fields), o, ours)
            if ours and args.before:
                # The earlier command reads the same inputs; only its own
                # output folder differs. The formats are byte for byte the
                # same, so it extracts the archives the current one made.
                o = folder(T, name + "-before")
                before = dict(fields, K=q(args.before))
                cmds[f"{T}.{name}{BEFORE}"] = Command(
                    f"{T}.{name}{BEFORE}", label + " (before)",
                    command.format(o=q(o), **before), o, False)
    return cmds


BEFORE = ".before"  # key suffix of an operation run with --before's command

# Each of ours against its peers: (ours, [peers]).
GROUPS = [(f"{T}.{ours}", [f"{T}.{p}" for p in peers])
          for T in ("A", "B")
          for ours, peers in (("create5", ["tar_lzop", "lzop"]),
                              ("extract5", ["lzop_x"]),
                              ("create1", ["gzip", "pigz", "tar_gzip"]),
                              ("create2", ["gzip", "pigz", "tar_gzip"]),
                              ("extract1", ["gzip_x"]),
                              ("extract2", ["gzip_x"]))] + [
    ("C.list", ["C.tar_t"]), ("C.list_json", ["C.tar_tv"]),
    ("C.extract_one", ["C.tar_x_one"])]


def prepare_inputs(args, K):
    """The inputs the peers read (tar files) and the archive list reads;
    not timed."""
    setup = os.path.join(args.work, "setup")
    os.makedirs(os.path.join(setup, "C-v5"))
    steps = [f"tar -cf {q(os.path.join(setup, T + '.tar'))} -C {q(args.trees)} {T}"
             for T in args.only]
    if "C" in args.only:
        steps.append(f"cd {q(args.trees)} && {K} create -V 5 "
                     f"{q(os.path.join(setup, 'C-v5', 'arc'))} C")
    for command in steps:
        log(f"setup: {command}")
        args.commands.append(("setup", command))
        sh(command, check=True, stdout=subprocess.DEVNULL)


def ceilings(args, stats):
    passes = ["1", "1"] if args.quick else ["5", "3"]
    log("ceilings: in-process LZO1X-1 and zlib level 1 over A")
    command = [os.path.join(args.build, "bench_ceilings"), os.path.join(args.trees, "A")] + passes
    args.commands.append(("ceilings", " ".join(map(q, command))))
    text = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    found = {}
    for line in text.splitlines():
        fields = line.split()
        if fields[:1] == ["ceiling"]:
            found[fields[1]] = {k: float(v) for k, v in (f.split("=") for f in fields[2:])}
    return found


STRACE_FOLDERS = 10


def syscalls(args, K):
    """System calls per entry archived and restored, ours (version 5) and
    tar's (no compression), on B's first STRACE_FOLDERS folders: 10,010
    entries give the per-entry figure as well as B's 100,100 would, at a
    tenth of the time tracing costs."""
    tree = os.path.join(args.trees, "B")
    folders = sorted(os.listdir(tree))[:STRACE_FOLDERS]
    entries = sum(tree_stats(os.path.join(tree, f))["entries"] for f in folders)
    paths = " ".join(q(os.path.join(tree, f)) for f in folders)
    out = os.path.join(args.work, "out")
    c, x = os.path.join(out, "strace-create"), os.path.join(out, "strace-extract")
    steps = (  # key, command, the folder emptied before it
        ("ours_create", f"{K} create -V 5 {q(c)}/arc {paths}", c),
        ("ours_extract", f"{K} extract {q(c)}/arc {q(x)}", x),
        ("tar_create", f"tar -cf {q(c)}/B.tar -C {q(tree)} " + " ".join(folders), c),
        ("tar_extract", f"tar -xf {q(c)}/B.tar -C {q(x)}", x))
    if args.before:
        K0 = q(args.before)
        steps += (("before_create", f"{K0} create -V 5 {q(c)}/arc {paths}", c),
                  ("before_extract", f"{K0} extract {q(c)}/arc {q(x)}", x))
    calls = {}
    for key, command, o in steps:
        calls[key] = strace_calls(args, command, o)
        args.commands.append(("strace", f"strace -f -c -o SUMMARY {command}"))
    return entries, calls


# --------------------------------------------------------------------------
# The report


def fmt_s(x):
    return f"{x:.3f}" if x < 10 else f"{x:.1f}"


def fmt_mb(b):
    return f"{b / MB:.1f}"


def machine_lines(args, started_load):
    def first_line(command):
        r = sh(command, capture_output=True, text=True)
        return (r.stdout + r.stderr).strip().splitlines()[0] if (r.stdout + r.stderr).strip() else "?"

    model = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    build_type = "?"
    cache = os.path.join(args.build, "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    # CMakeLists.txt makes an empty type RelWithDebInfo.
                    build_type = line.split("=", 1)[1].strip() or "RelWithDebInfo"
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    commit = first_line(f"git -C {q(repo)} describe --always --dirty")
    return [
        f"- Machine: {os.cpu_count()} cores ({model}), {platform.system()} {platform.release()}, "
        f"load average at start {started_load[0]:.2f}, at end {os.getloadavg()[0]:.2f}",
        f"- kvmorvel: commit {commit}, build type {build_type}, default settings",
        f"- Peers: {first_line('tar --version')}; {first_line('lzop --version 2>&1 | grep -i lzop')}; "
        f"{first_line('gzip --version')}; {first_line('pigz --version')}; "
        f"{first_line('hyperfine --version')}; {first_line('strace -V')}",
        f"- Runs: warm cache, one untimed run under GNU time first (peak memory, %M: "
        f"the largest process of a pipeline), then hyperfine: median of "
        + ("1 run (quick mode)" if args.quick else
           f"5 runs, 3 when the first run took over {LONG_SECONDS:g} s"
           + (f", at most {args.runs} (--runs)" if args.runs else ""))
        + "; CPU is the mean user+system of the runs. Ratio = peer time / our time: "
          "above 1 means we are faster.",
    ]


def cell(text):
    return text.replace("|", "\\|")  # a pipe inside a table cell


def before_and_after(cmds, traced):
    """The table of each of our operations with --before's command and the
    current one: wall time, peak memory, and system calls per entry."""
    lines = ["", "## Before and after (the same run)", "",
             "| Tree | Operation | before wall s | after wall s | speed-up | before peak MB | after peak MB |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for key, cmd in cmds.items():
        earlier = cmds.get(key + BEFORE)
        if not earlier:
            continue
        lines.append(f"| {key[0]} | {cmd.label} | {fmt_s(earlier.wall)} | {fmt_s(cmd.wall)} | "
                     f"{earlier.wall / cmd.wall:.2f} | {fmt_mb(earlier.peak)} | {fmt_mb(cmd.peak)} |")
    per = per_entry(traced)
    for op, now, then in (("system calls per entry archived", "ours_create", "before_create"),
                          ("system calls per entry restored", "ours_extract", "before_extract")):
        if then not in per:
            continue
        lines.append(f"| B | {op} | {per[then]:.1f} | {per[now]:.1f} | {per[then] / per[now]:.2f} | | |")
    return lines


def write_report(args, stats, cmds, ceil, traced, started, started_load):
    lines = ["# KvMorvel benchmark", ""]
    if args.quick:
        lines += ["**Quick mode: small trees, one run each. The numbers mean nothing; "
                  "this only shows that the benchmark runs.**", ""]
    lines += machine_lines(args, started_load)
    lines += ["", "| Tree | Folders | Files | Links | Bytes |", "|---|---:|---:|---:|---:|"]
    for T, s in stats.items():
        lines.append(f"| {T} | {s['folders']:,} | {s['files']:,} | {s['links']:,} | {s['bytes']:,} |")

    lines += ["", "## Time and memory", "",
              "| Tree | Ours | wall s | CPU s | peak MB | Peer | wall s | CPU s | peak MB | Ratio |",
              "|---|---|---:|---:|---:|---|---:|---:|---:|---:|"]
    for ours_key, peer_keys in GROUPS:
        if ours_key not in cmds:
            continue
        ours = cmds[ours_key]
        for i, pk in enumerate(peer_keys):
            peer = cmds[pk]
            left = (f"| {ours_key[0]} | {ours.label} | {fmt_s(ours.wall)} | {fmt_s(ours.cpu)} | "
                    f"{fmt_mb(ours.peak)} " if i == 0 else "| | | | | ")
            lines.append(left + f"| {cell(peer.label)} | {fmt_s(peer.wall)} | {fmt_s(peer.cpu)} | "
                         f"{fmt_mb(peer.peak)} | {peer.wall / ours.wall:.2f} |")

    lines += ceiling_lines(cmds, ceil)
    lines += syscall_lines(traced)
    if args.before:
        lines += before_and_after(cmds, traced)
    lines += goal_lines(stats, cmds, ceil, traced)
    lines += command_lines(args)
    lines += ["", f"Finished {time.strftime('%Y-%m-%d %H:%M:%S')} in "
              f"{(time.monotonic() - started) / 60:.1f} minutes."]
    text = "\n".join(lines) + "\n"
    print(text)
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(text)
    log(f"written to {args.out}")


def per_entry(traced):
    """System calls per entry by strace key; empty when B was not traced."""
    if not traced:
        return {}
    b_entries, calls = traced
    return {k: v[0] / b_entries for k, v in calls.items()}


def ceiling_lines(cmds, ceil):
    if not ceil:
        return []
    a_bytes = ceil["lzo1x_1"]["bytes"]
    lines = ["", "## Ceilings: in-process compression of A's files in 1 MiB pieces", "",
              "| Codec | Ceiling MB/s | Ratio | Ours | Ours MB/s | Ours / ceiling |",
              "|---|---:|---:|---|---:|---:|"]
    for codec, label, key in (("lzo1x_1", "LZO1X-1", "A.create5"),
                              ("zlib_1", "zlib level 1", "A.create1"),
                              ("zlib_1", "zlib level 1", "A.create2")):
        c, ours = ceil[codec], cmds[key]
        mbps = a_bytes / MB / ours.wall
        lines.append(f"| {label} | {c['mbps']:.1f} | {c['ratio']:.2f} | {ours.label} | "
                     f"{mbps:.1f} | {mbps / c['mbps']:.2f} |")
    return lines


def syscall_lines(traced):
    if not traced:
        return []
    b_entries, calls = traced
    per = per_entry(traced)
    lines = ["", f"## System calls per entry (strace -f -c, the first {STRACE_FOLDERS} folders "
              f"of B: {b_entries:,} entries)", "",
              "| Operation | Ours | tar | Our most frequent calls (per entry) |", "|---|---:|---:|---|"]
    for op, ours, tar in (("archive (create -V 5 / tar -cf)", "ours_create", "tar_create"),
                          ("restore (extract / tar -xf)", "ours_extract", "tar_extract")):
        top = ", ".join(f"{name} {n / b_entries:.1f}" for name, n in calls[ours][1][:8])
        lines.append(f"| {op} | {per[ours]:.1f} | {per[tar]:.1f} | {top} |")
    return lines


def goal_lines(stats, cmds, ceil, traced):
    """The issue's goals that this run measured."""
    per = per_entry(traced)

    def ratio(ours, peer):
        if ours not in cmds or peer not in cmds:
            return None
        return cmds[peer].wall / cmds[ours].wall

    goals = []
    for T, least in (("A", 1.2), ("B", 1.0)):
        goals.append((f"create -V 5 vs tar -cf - | lzop -3 on {T}", ratio(f"{T}.create5", f"{T}.tar_lzop"), least))
    if ceil:
        goals.append(("create -V 5 on A vs the LZO1X-1 ceiling",
                      ceil["lzo1x_1"]["bytes"] / MB / cmds["A.create5"].wall /
                      ceil["lzo1x_1"]["mbps"], 0.85))
    for T, least in (("A", 1.3), ("B", 1.0)):
        goals.append((f"extract v5 vs lzop -dc | tar -xf - on {T}", ratio(f"{T}.extract5", f"{T}.lzop_x"), least))
    for T in ("A", "B"):
        for v in ("1", "2"):
            goals.append((f"create -V {v} vs gzip -1 on {T}", ratio(f"{T}.create{v}", f"{T}.gzip"), 1.15))
            goals.append((f"create -V {v} vs pigz -1 -p 1 on {T}", ratio(f"{T}.create{v}", f"{T}.pigz"), 1.0))
            goals.append((f"extract v{v} vs gzip -dc | tar -xf - on {T}",
                          ratio(f"{T}.extract{v}", f"{T}.gzip_x"), 1.0))
    if "C" in stats:
        goals.append((f"list of C ({stats['C']['entries']:,} entries) vs tar -tf",
                      ratio("C.list", "C.tar_t"), 1.0))
        goals.append(("extract of one named file of C vs tar -xf C.tar NAME",
                      ratio("C.extract_one", "C.tar_x_one"), 1.0))
    lines = ["", "## Goals", "", "| Goal | Measured | Wanted | Result |", "|---|---:|---:|---|"]
    for name, got, least in goals:
        if got is not None:
            lines.append(f"| {cell(name)} | {got:.2f} | >= {least:g} | {'pass' if got >= least else 'FAIL'} |")
    for name, key, most in (("system calls per entry archived", "ours_create", 8),
                            ("system calls per entry restored", "ours_extract", 14)):
        if key in per:
            lines.append(f"| {name} | {per[key]:.1f} | <= {most} | {'pass' if per[key] <= most else 'FAIL'} |")
    ours = [c for c in cmds.values() if c.ours]
    worst = max(ours, key=lambda c: c.peak)
    lines.append(f"| peak memory of any of our operations ({worst.key.split('.')[0]}: {worst.label}) | "
                 f"{fmt_mb(worst.peak)} MB | <= 24 MB | {'pass' if worst.peak <= 24 * MB else 'FAIL'} |")
    return lines


def command_lines(args):
    lines = ["", "## Commands", "",
              f"K={args.kvmorvel}, " + (f"K0={args.before} (before), " if args.before else "") +
              f"B={args.build}, T={args.trees} (the trees), "
              f"W={args.work} (inputs and outputs, "
              "removed at the end). Before every run of a timed command: `rm -rf OUT && mkdir -p OUT` "
              "for its own OUT folder under $W/out.", "", "```"]
    for label, command in args.commands:
        for path, name in ((args.before, "$K0"), (args.kvmorvel, "$K"), (args.work, "$W"),
                           (args.trees, "$T"), (args.build, "$B")):
            if not path:
                continue
            command = command.replace(path, name)
        lines.append(f"[{label}] {command}")
    return lines + ["```"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--trees", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--before", help="an earlier build's kvmorvel, measured beside")
    parser.add_argument("--only", default="A,B,C", help="the trees to measure, e.g. A,C")
    parser.add_argument("--runs", type=int, default=0,
                        help="at most this many timed runs of each command (a shorter, "
                             "noisier measurement on the full trees)")
    args = parser.parse_args()
    args.only = [T for T in ("A", "B", "C") if T in args.only.upper().split(",")]
    if args.before:
        args.before = os.path.abspath(args.before)
    for name in ("build", "trees", "work", "out"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    args.kvmorvel = os.path.join(args.build, "kvmorvel")
    args.log = os.path.splitext(args.out)[0] + ".log"  # hyperfine's output
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    open(args.log, "w").close()
    K = q(args.kvmorvel)
    started, started_load = time.monotonic(), os.getloadavg()
    args.commands = []  # (runs or role, command) for the report

    stats = {T: ensure_tree(args, T) for T in args.only}
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    prepare_inputs(args, K)
    cmds = {k: c for k, c in operations(args, K).items() if k[0] in args.only}
    for cmd in cmds.values():
        measure(args, cmd)
    ceil = ceilings(args, stats) if "A" in args.only else None
    calls = syscalls(args, K) if "B" in args.only else None
    write_report(args, stats, cmds, ceil, calls, started, started_load)
    shutil.rmtree(args.work)  # outputs of several GB on the full trees


if __name__ == "__main__":
    main()
