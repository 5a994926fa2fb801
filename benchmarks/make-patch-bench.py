#!/usr/bin/python3
"""Times the patch command on two synthetic game builds against the floor any such tool has: reading
and hashing both builds once. Prints figures and checks nothing but the archives' soundness.

The builds come from a fixed seed, shaped like a studio's: one large package changed in a few bytes
(incompressible, as game packages are), many small loose files of which some changed (half text that
deflate shrinks, half that it cannot), new files, config files. Between the timed runs the file cache
is dropped when the machine allows (root, /proc/sys/vm/drop_caches); the output says whether it was.

usage: make-patch-bench.py [--work DIR] [--pak-mib N] [--small-files N] [--small-changed N]
                           [--new-files N] [--configs N] [--seed N] [--large-archives]
                           [--rounds N] [--no-builds] [--keep] [--command FILE]
  --large-archives  also packs and checks, with Info-ZIP's unzip, an archive holding a sparse file of
                    over 4 GiB and one of more than 65,535 entries
"""
import argparse
import concurrent.futures
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COMMAND = os.path.join(SOURCE, "scripts", "make-patch.sh")
SAMPLE_EULA = os.path.join(SOURCE, "tests", "update", "sample", "EULA.rtf")
SHIPPED_UPDATE = os.path.join(SOURCE, "build", "win32", "bin", "Update.exe")
MIB = 1 << 20
BLOCK = 4 * MIB
# Small files average this size, as in a game's loose content.
SMALL_FILE_BYTES = 24 * 1024
WORDS = [b"Karveth", b"harbour", b"district", b"actor", b"mesh", b"texture", b"=", b"1", b"0.5", b"true",
         b"Default", b"[Section]", b"\r\n", b"Sound", b"Light", b"Path"]
ZIP64_SIZE = (4 << 30) + 4096
MANY_ENTRIES = 70000
OPTIONS = argparse.Namespace(command=COMMAND)


def text(rng, size):
    """Bytes that deflate shrinks, like configs and scripts."""
    out = bytearray()
    while len(out) < size:
        out += rng.choice(WORDS) + b" "
    return bytes(out[:size])


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(content)


def make_builds(work, options):
    """OLD and NEW under work; returns (OLD, NEW)."""
    rng = random.Random(options.seed)
    old, new = os.path.join(work, "1.0"), os.path.join(work, "1.1")
    for build in (old, new):
        for marker in ("Binaries/Win64", "Engine/Config"):
            os.makedirs(os.path.join(build, marker), exist_ok=True)
    for build, version in ((old, b"1.0"), (new, b"1.1")):
        write(os.path.join(build, "Binaries/Win64/Karveth.exe"), b"MZ karveth " + version + text(rng, 200000))

    # The package: the same random stream in both, 16 bytes changed in NEW at a point 3/5 in.
    pak = "KVGame/Content/Paks/KVGame-Core.pak"
    pak_size = options.pak_mib * MIB
    changed_at = pak_size * 3 // 5
    for build in (old, new):
        os.makedirs(os.path.dirname(os.path.join(build, pak)), exist_ok=True)
    with open(os.path.join(old, pak), "wb") as old_pak, open(os.path.join(new, pak), "wb") as new_pak:
        offset = 0
        while offset < pak_size:
            block = rng.randbytes(min(BLOCK, pak_size - offset))
            old_pak.write(block)
            if offset <= changed_at < offset + len(block):
                at = changed_at - offset
                block = block[:at] + bytes(255 - byte for byte in block[at:at + 16]) + block[at + 16:]
            new_pak.write(block)
            offset += len(block)

    # Loose files: half text, half random; the changed ones keep their size or not, in turn.
    changed = set(rng.sample(range(options.small_files), options.small_changed))
    for number in range(options.small_files):
        relative = "KVGame/Content/Textures/T%03d/Asset%05d.uasset" % (number % 200, number)
        size = rng.randint(1024, 2 * SMALL_FILE_BYTES - 1024)
        make = text if number % 2 else (lambda generator, count: generator.randbytes(count))
        content = make(rng, size)
        write(os.path.join(old, relative), content)
        if number in changed:
            content = make(rng, size if number % 4 < 2 else size + 100)
        write(os.path.join(new, relative), content)
    for number in range(options.new_files):
        write(os.path.join(new, "KVGame/Content/DLC/New%04d.uasset" % number),
              rng.randbytes(rng.randint(1024, 2 * SMALL_FILE_BYTES - 1024)))
    for number in range(options.configs):
        relative = "KVGame/Config/Generated/Config%04d.ini" % number
        content = text(rng, rng.randint(500, 4000))
        write(os.path.join(old, relative), content)
        write(os.path.join(new, relative), content + (b"Patched=1\r\n" if number % 100 == 0 else b""))
    return old, new


def build_size(build):
    files = total = 0
    for root, _, names in os.walk(build):
        for name in names:
            files += 1
            total += os.path.getsize(os.path.join(root, name))
    return files, total


def drop_cache():
    """True when the file cache was dropped."""
    os.sync()
    try:
        with open("/proc/sys/vm/drop_caches", "w") as control:
            control.write("3\n")
        return True
    except OSError:
        return False


def floor(builds):
    """Reads and hashes every file of the builds once, on every core, largest first: the patch
    command's own way, without comparing or packing."""
    paths = []
    for build in builds:
        for root, _, names in os.walk(build):
            paths += [os.path.join(root, name) for name in names]
    paths.sort(key=lambda path: -os.path.getsize(path))

    def one(path):
        sha = hashlib.sha256()
        with open(path, "rb") as source:
            while chunk := source.read(MIB):
                sha.update(chunk)
        return sha.hexdigest()

    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as executor:
        return len(list(executor.map(one, paths)))


def timed(command):
    """Runs a command under /usr/bin/time -v: (its result, wall seconds, CPU seconds, peak RSS MiB,
    the seconds from the start at which each of its "make-patch: " lines came)."""
    started = time.monotonic()
    # Standard output, which can be long, goes to a file while standard error is read as it comes.
    with tempfile.TemporaryFile("w+") as output:
        process = subprocess.Popen(["/usr/bin/time", "-v"] + command, stdout=output, stderr=subprocess.PIPE,
                                   text=True)
        phases = []
        errors = []
        for line in process.stderr:
            errors.append(line)
            if line.startswith("make-patch: "):
                phases.append((time.monotonic() - started, line.split(" ")[1]))
        code = process.wait()
        output.seek(0)
        result = subprocess.CompletedProcess(command, code, output.read(), "".join(errors))
    report = dict(line.strip().rpartition(": ")[::2] for line in errors if ": " in line)
    wall = 0.0
    for part in report["Elapsed (wall clock) time (h:mm:ss or m:ss)"].split(":"):
        wall = wall * 60 + float(part)
    phases.append((wall, "end"))
    cpu = float(report["User time (seconds)"]) + float(report["System time (seconds)"])
    return result, wall, cpu, int(report["Maximum resident set size (kbytes)"]) / 1024, phases


def phase_times(phases):
    return ", ".join("%s %.1f s" % (name, phases[index + 1][0] - at) for index, (at, name) in enumerate(phases[:-1]))


def make_patch(olds, new, out, *extra):
    command = ["bash", OPTIONS.command] + list(olds) + [new, out, "--eula", SAMPLE_EULA, "--allow-removed"]
    if os.path.isfile(SHIPPED_UPDATE):
        command += ["--update", SHIPPED_UPDATE]
    return timed(command + list(extra))


def check_archive(archive):
    """Info-ZIP's verdict on an archive, and the number of entries its listing counts."""
    tested = subprocess.run(["unzip", "-tq", archive], capture_output=True, text=True)
    listing = subprocess.run(["unzip", "-Zt", archive], capture_output=True, text=True)
    return (tested.stdout + tested.stderr).strip(), listing.stdout.strip()


def show(label, wall, cpu, rss):
    print("  %-32s %8.1f s wall, %8.1f s CPU, peak memory %6.1f MiB" % (label, wall, cpu, rss))


def main_run(work, options):
    started = time.monotonic()
    old, new = make_builds(work, options)
    print("Builds made in %.0f s (seed %d):" % (time.monotonic() - started, options.seed))
    sizes = {}
    for build in (old, new):
        sizes[build] = build_size(build)
        print("  %-6s %6d files, %14d bytes" % (os.path.basename(build), *sizes[build]))

    out = os.path.join(work, "out")
    for round_number in range(options.rounds):
        if options.rounds > 1:
            print("Round %d of %d:" % (round_number + 1, options.rounds))
        cold = drop_cache()
        _, floor_wall, floor_cpu, floor_rss, _ = timed(["/usr/bin/python3", os.path.abspath(__file__), "--floor", old,
                                                        new])
        drop_cache()
        shutil.rmtree(out, ignore_errors=True)
        result, patch_wall, patch_cpu, patch_rss, phases = make_patch([old], new, out)
        if result.returncode != 0:
            sys.exit("make-patch failed:\n" + result.stderr)
        print("File cache: %s before each timed run" % ("dropped" if cold else "NOT dropped (needs root)"))
        show("read and hash both builds (floor)", floor_wall, floor_cpu, floor_rss)
        show("make-patch.sh", patch_wall, patch_cpu, patch_rss)
        print("  ratio make-patch / floor: %.2f" % (patch_wall / floor_wall))
        print("  make-patch's phases: %s" % phase_times(phases))
    archive = re.search(r"^Wrote (.*) \((\d+) bytes\)$", result.stdout, re.M)
    print(result.stdout.splitlines()[0])
    print("Archive: %s bytes" % archive.group(2))
    verdict, listing = check_archive(archive.group(1))
    print("unzip -t: %s" % verdict)
    print("unzip -Zt: %s" % listing)


def large_archives(work):
    """An archive with an entry over 4 GiB (a sparse file), one with more than 65,535 entries."""
    old = os.path.join(work, "large", "1.0")
    for marker in ("Binaries", "Engine", "KVGame"):
        os.makedirs(os.path.join(old, marker), exist_ok=True)
    write(os.path.join(old, "Engine", "base.ini"), b"[Core]\r\n")
    for name, fill in (("sparse", "sparse"), ("many", "many")):
        new = os.path.join(work, "large", name)
        shutil.copytree(old, new)
        if fill == "sparse":
            with open(os.path.join(new, "KVGame", "Huge.pak"), "wb") as huge:
                huge.truncate(ZIP64_SIZE)
            write(os.path.join(new, "KVGame", "ZAfterHuge.ini"), b"[After]\r\n")
        else:
            for number in range(MANY_ENTRIES):
                write(os.path.join(new, "KVGame", "Many", "F%03d" % (number // 1000), "%05d.txt" % number),
                      b"%d" % number)
        out = os.path.join(work, "large", "out-" + name)
        result, wall, cpu, rss, phases = make_patch([old], new, out)
        if result.returncode != 0:
            sys.exit("make-patch failed:\n" + result.stderr)
        archive = re.search(r"^Wrote (.*) \((\d+) bytes\)$", result.stdout, re.M)
        print("%s: %s" % ("A sparse file of %d bytes" % ZIP64_SIZE if fill == "sparse" else
                          "%d new files" % MANY_ENTRIES, result.stdout.splitlines()[0]))
        show("make-patch.sh", wall, cpu, rss)
        print("  phases: %s" % phase_times(phases))
        print("  archive %s bytes" % archive.group(2))
        verdict, listing = check_archive(archive.group(1))
        print("  unzip -t: %s" % verdict)
        print("  unzip -Zt: %s" % listing)
        shutil.rmtree(new)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--floor":
        floor(sys.argv[2:])
        return
    sys.stdout.reconfigure(line_buffering=True)  # figures as they come, also into a log
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--work", default="/var/tmp/karveth-patch-bench")
    parser.add_argument("--pak-mib", type=int, default=4403, help="the package's size (default 4403, 4.3 GiB)")
    parser.add_argument("--small-files", type=int, default=20000)
    parser.add_argument("--small-changed", type=int, default=300)
    parser.add_argument("--new-files", type=int, default=100)
    parser.add_argument("--configs", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=21)
    parser.add_argument("--rounds", type=int, default=1, help="timed runs of the floor and the command, in turn")
    parser.add_argument("--large-archives", action="store_true")
    parser.add_argument("--no-builds", action="store_true", help="skip the timed run on the two builds")
    parser.add_argument("--keep", action="store_true", help="keep the builds and archives")
    parser.add_argument("--command", default=COMMAND, help="the make-patch.sh to time (default: this checkout's)")
    options = parser.parse_args()
    OPTIONS.command = options.command
    if os.path.exists(options.work):
        sys.exit("%s exists; remove it or name another --work" % options.work)
    os.makedirs(options.work)
    try:
        if not options.no_builds:
            main_run(options.work, options)
        if options.large_archives:
            large_archives(options.work)
    finally:
        if not options.keep:
            shutil.rmtree(options.work)


if __name__ == "__main__":
    main()
