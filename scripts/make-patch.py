#!/usr/bin/python3
"""Makes a game patch that Update.exe applies, from game builds: the one players have (or several
earlier ones) and the new one.

usage: make-patch.py OLD [OLD ...] NEW OUTDIR --eula FILE [--from NAME ...] [--to NAME]
                     [--update FILE] [--max-install-path N] [--allow-removed]

Writes OUTDIR/karveth-patch-<from>-to-<to>.zip, holding one folder of that name with Update.exe,
EULA.rtf, PATCH-CONTENTS.txt and Patch/ (every file of NEW that is new or whose bytes differ from
those of any OLD, in the game's folder structure), and adds the archive's SHA-256 to
OUTDIR/SHA256SUMS. With several OLD builds <from> is their names joined by "+". Everything is
checked before anything is written: a patch that would fail on a player's disk is refused with the
reasons, and nothing is written. Same inputs, same bytes.
"""
import argparse
import calendar
import concurrent.futures
import glob
import hashlib
import importlib.util
import os
import re
import stat
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIPPING_UPDATE = os.path.join(ROOT, "build", "win32", "bin", "Update.exe")

# The folders that make a folder the game's, in Update's eyes.
GAME_MARKERS = ("Binaries", "Engine", "KVGame")
# Update handles paths in buffers of 260 UTF-16 units, the terminating zero included.
PATH_BUFFER_UNITS = 260
DEFAULT_MAX_INSTALL_PATH = 100
SHORTEST_GAME_FOLDER = len("C:\\")
# Update checks a game folder by its marker paths, the longest being <folder>\Binaries plus the zero.
LONGEST_GAME_FOLDER = PATH_BUFFER_UNITS - len("\\Binaries") - 1
# Windows takes these as devices, also with an extension ("NUL.txt") and whatever their case.
RESERVED_NAMES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"} | {
    prefix + digit for prefix in ("COM", "LPT") for digit in "0123456789\u00b9\u00b2\u00b3"}
FORBIDDEN_CHARACTERS = '<>:"|?*\\'
RELEASE_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._+-]*$")
PE_MACHINES = {0x014C: "32-bit, i386", 0x8664: "64-bit, x86-64"}
CHUNK = 1 << 20


FOLDER_ATTRIBUTES = (0o40755 << 16) | 0x10  # a folder, also for MS-DOS readers
# Hashing and deflating run on every core: hashlib and zlib let go of Python's lock on large buffers.
WORKERS = os.cpu_count() or 1


def load_script(name, path):
    loader_spec = importlib.util.spec_from_file_location(name, os.path.join(ROOT, "scripts", *path))
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def load_pack_zip():
    """The release packer, whose fixed zip date floor and attributes the patch shares."""
    return load_script("pack_zip", ("release", "pack-zip.py"))


def load_patch_zip():
    return load_script("patch_zip", ("patch-zip.py",))


def shown(relative):
    return "/".join(relative)


def windows_path(relative):
    return "\\".join(relative)


def utf16_units(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def fold(name):
    """A name as Windows compares it: case ignored, one character for one."""
    if name.isascii():
        return name.upper()
    return "".join(c.upper() if len(c.upper()) == 1 else c for c in name)


def fold_path(relative):
    return tuple(fold(part) for part in relative)


def windows_name_fault(name):
    """Why Windows cannot hold this file or folder name, or None."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        return "is not valid UTF-8, so it has no Windows name"
    for character in name:
        if ord(character) < 32:
            return "holds the control character 0x%02X" % ord(character)
        if character in FORBIDDEN_CHARACTERS:
            return "holds '%s', which Windows does not allow in names" % character
    if name.endswith((".", " ")):
        return "ends with a %s, which Windows drops" % ("dot" if name.endswith(".") else "space")
    if fold(name.split(".")[0].rstrip(" ")) in RESERVED_NAMES:
        return "is the device name %s, reserved by Windows" % name.split(".")[0].rstrip(" ").upper()
    return None


def amount(done, total):
    """Two byte counts in the unit of the larger, for the progress line."""
    for unit, scale in (("GB", 10**9), ("MB", 10**6), ("kB", 10**3)):
        if total >= scale:
            return "%.2f/%.2f %s" % (done / scale, total / scale, unit)
    return "%d/%d B" % (done, total)


class Progress:
    """How far the work is, on standard error. On a terminal one line, rewritten as bytes are hashed
    and packed, with the time the phase still needs at its pace so far; in a log one line per phase."""

    INTERVAL = 0.25

    def __init__(self, stream):
        self.stream = stream
        self.live = stream.isatty()
        self.lock = threading.Lock()
        self.name = ""
        self.hashed = self.hash_total = self.packed = self.pack_total = 0
        self.phase_done = self.phase_total = 0
        self.phase_start = self.drawn = time.monotonic()
        self.width = 0

    def phase(self, name, text, hashing=0, packing=0):
        with self.lock:
            self.name = name
            self.hash_total += hashing
            self.pack_total += packing
            self.phase_done, self.phase_total = 0, hashing + packing
            self.phase_start = time.monotonic()
            if self.live:
                self._draw()
            else:
                print("make-patch: %s %s" % (name, text), file=self.stream, flush=True)

    def add_hashed(self, count):
        self._add(count, 0)

    def add_packed(self, count):
        self._add(0, count)

    def finish(self):
        if self.live and self.name:
            with self.lock:
                self._draw()
                self.stream.write("\n")
                self.stream.flush()
                self.name = ""

    def _add(self, hashed, packed):
        with self.lock:
            self.hashed += hashed
            self.packed += packed
            self.phase_done += hashed + packed
            if self.live and time.monotonic() - self.drawn >= self.INTERVAL:
                self._draw()

    def _columns(self):
        """The terminal's width; a terminal that does not say is taken as the classic 80 columns."""
        try:
            return os.get_terminal_size(self.stream.fileno()).columns or 80
        except OSError:
            return 80

    def _draw(self):
        now = time.monotonic()
        self.drawn = now
        line = "make-patch: " + self.name
        if self.hash_total:
            line += ", hashed %s" % amount(self.hashed, self.hash_total)
        if self.pack_total:
            line += ", packed %s" % amount(self.packed, self.pack_total)
        left = self.phase_total - self.phase_done
        if self.phase_done and left > 0:
            seconds = int(left * (now - self.phase_start) / self.phase_done)
            line += ", %d:%02d left" % (seconds // 60, seconds % 60)
        line = line[:self._columns() - 1]
        self.stream.write("\r" + line.ljust(self.width))
        self.stream.flush()
        self.width = len(line)


class Build:
    """The files and folders of one game build, relative paths as tuples of names."""

    def __init__(self, label, top):
        self.label = label
        self.top = top
        self.files = {}  # relative path -> absolute path
        self.sizes = {}  # relative path -> size in bytes when it was scanned
        self.folders = set()

    def path(self, relative):
        return os.path.join(self.top, *relative)


def scan(build, problems):
    """Fills the build from its folder; symbolic links, special files and unreadable folders are
    problems (a patch holds plain files, and every one must be read)."""
    pending = [()]
    while pending:
        relative = pending.pop()
        try:
            with os.scandir(build.path(relative)) as entries:
                found = list(entries)
        except OSError as error:
            problems.append("%s: cannot read the folder %s: %s"
                            % (build.label, shown(relative) or ".", error.strerror))
            continue
        for entry in found:
            child = relative + (entry.name,)
            try:
                status = entry.stat(follow_symlinks=False)
            except OSError as error:
                problems.append("%s: cannot read %s: %s" % (build.label, shown(child), error.strerror))
                continue
            mode = status.st_mode
            if stat.S_ISLNK(mode):
                problems.append("%s: %s is a symbolic link; a patch can hold only plain files and folders"
                                % (build.label, shown(child)))
            elif stat.S_ISDIR(mode):
                build.folders.add(child)
                pending.append(child)
            elif stat.S_ISREG(mode):
                build.files[child] = entry.path
                build.sizes[child] = status.st_size
            else:
                problems.append("%s: %s is a special file (device, pipe or socket); a patch can hold only "
                                "plain files and folders" % (build.label, shown(child)))


def case_clashes(build, problems):
    """Two names that differ only in case are one name on Windows."""
    seen = {}
    for relative in sorted(build.folders | set(build.files)):
        other = seen.setdefault(fold_path(relative), relative)
        if other != relative:
            problems.append("%s: %s and %s differ only in case; Windows takes them for the same name"
                            % (build.label, shown(other), shown(relative)))


def read_digest(path, counted=None, with_crc=True):
    """SHA-256, size and CRC-32 of a file (the CRC for its zip entry, whose header then goes before
    its bytes; None when not asked for); counted, when given, is told of every chunk read."""
    sha = hashlib.sha256()
    size = 0
    crc = 0 if with_crc else None
    with open(path, "rb") as source:
        while chunk := source.read(CHUNK):
            sha.update(chunk)
            if with_crc:
                crc = zlib.crc32(chunk, crc)
            size += len(chunk)
            if counted is not None:
                counted(len(chunk))
    return sha.hexdigest(), size, crc


def digest(path, problems, label, relative, counted=None, with_crc=True):
    """SHA-256, size and CRC-32 of a file, or None when it cannot be read."""
    try:
        return read_digest(path, counted, with_crc)
    except OSError as error:
        problems.append("%s: cannot read %s: %s" % (label, shown(relative), error.strerror))
        return None


def digest_all(wanted, executor, progress, problems):
    """The digests of many files, hashed on every core, largest first so that the big ones overlap;
    {path: (sha256, size, crc32) or None}. A few files at a time are in hand, so that memory does not
    grow with their number. Problems come in the order of the paths given."""
    order = sorted(wanted, key=lambda path: -wanted[path][2])

    def one(path):
        label, relative, _, with_crc = wanted[path]
        found = []
        return path, digest(path, found, label, relative, progress.add_hashed, with_crc), found

    digests = {}
    faults = {}
    pending = set()
    for index in range(len(order) + 1):
        if index < len(order):
            pending.add(executor.submit(one, order[index]))
        while pending and (len(pending) > 4 * WORKERS or index == len(order)):
            done, pending = concurrent.futures.wait(pending, return_when=concurrent.futures.FIRST_COMPLETED)
            for future in done:
                path, result, found = future.result()
                digests[path] = result
                faults[path] = found
    for path in wanted:
        problems += faults[path]
    return digests


class Comparison:
    def __init__(self, olds):
        self.olds = olds
        self.patch = {}  # relative path in NEW -> (sha256, size)
        self.crcs = {}  # relative path in NEW -> CRC-32
        self.changes = {}  # relative path in NEW -> {index of an OLD: "new" or "changed"}
        self.new_folders = []  # empty folders of NEW that an OLD lacks
        self.removed = [[] for _ in olds]  # per OLD, the relative paths of its files NEW lacks
        self.notes = []

    def kind(self, relative):
        return "new" if set(self.changes[relative].values()) == {"new"} else "changed"

    def removed_anywhere(self):
        """Every removed file once, by its name in the first OLD that has it: {name: [OLD indexes]}."""
        merged = {}
        names = {}
        for index, removed in enumerate(self.removed):
            for relative in removed:
                name = names.setdefault(fold_path(relative), relative)
                merged.setdefault(name, []).append(index)
        return merged


def compare(olds, new, problems, executor, progress):
    comparison = Comparison(olds)
    indexes = [({fold_path(relative): relative for relative in old.files},
                {fold_path(relative) for relative in old.folders}) for old in olds]
    new_files = {fold_path(relative) for relative in new.files}
    new_folders = {fold_path(relative) for relative in new.folders}

    # Every file of NEW is hashed, with its CRC for the archive, and a file of an OLD when it has the
    # size of NEW's.
    wanted = {}  # path -> (label, relative path, size, whether its CRC is needed)
    plan = []  # (relative path in NEW, its counterpart in each OLD or None)
    for relative in sorted(new.files):
        key = fold_path(relative)
        clashes = [old for old, (_, folders) in zip(olds, indexes) if key in folders]
        for old in clashes:
            problems.append("%s is a folder in %s and a file in %s; Update cannot replace a folder with a "
                            "file" % (shown(relative), old.label, new.label))
        if clashes:
            continue
        wanted[new.files[relative]] = (new.label, relative, new.sizes[relative], True)
        counterparts = []
        for old, (files, _) in zip(olds, indexes):
            old_relative = files.get(key)
            if old_relative is not None and old_relative != relative:
                comparison.notes.append(
                    "%s is %s in %s: the player's file keeps its old name, Windows ignores the case"
                    % (shown(relative), shown(old_relative), old.label))
            if old_relative is not None and old.sizes[old_relative] == new.sizes[relative]:
                wanted.setdefault(old.files[old_relative], (old.label, old_relative, old.sizes[old_relative], False))
            counterparts.append(old_relative)
        plan.append((relative, counterparts))

    progress.phase("comparing", "%d build(s) with %s: hashing %d bytes in %d files"
                   % (len(olds), new.label, sum(entry[2] for entry in wanted.values()), len(wanted)),
                   hashing=sum(entry[2] for entry in wanted.values()))
    digests = digest_all(wanted, executor, progress, problems)
    for relative, counterparts in plan:
        new_digest = digests[new.files[relative]]
        if new_digest is None:
            continue
        changes = {}
        for index, old_relative in enumerate(counterparts):
            if old_relative is None:
                changes[index] = "new"
                continue
            old_path = olds[index].files[old_relative]
            if old_path in digests and (digests[old_path] is None or digests[old_path][:2] == new_digest[:2]):
                continue
            changes[index] = "changed"
        if changes:
            comparison.patch[relative] = new_digest[:2]
            comparison.crcs[relative] = new_digest[2]
            comparison.changes[relative] = changes

    for index, old in enumerate(olds):
        for relative in sorted(old.files):
            key = fold_path(relative)
            if key in new_folders:
                problems.append("%s is a file in %s and a folder in %s; Update cannot replace a file with a "
                                "folder" % (shown(relative), old.label, new.label))
            elif key not in new_files:
                comparison.removed[index].append(relative)

    holding = {relative[:depth] for relative in new.files for depth in range(1, len(relative))}
    comparison.new_folders = sorted(
        relative for relative in new.folders
        if relative not in holding and any(fold_path(relative) not in folders for _, folders in indexes))
    return comparison


def check_patch_names(comparison, max_install_path, problems):
    entries = list(comparison.patch) + comparison.new_folders
    for relative in sorted(entries):
        for part in relative:
            fault = windows_name_fault(part)
            if fault is not None:
                problems.append("%s: the name '%s' %s" % (shown(relative), part, fault))
                break
    # On the player's disk a file lands at <game folder>\<path>: the folder, a backslash, the path and
    # the terminating zero must fit Update's path buffer.
    for relative in sorted(entries):
        units = utf16_units(windows_path(relative))
        needed = max_install_path + 1 + units + 1
        if needed > PATH_BUFFER_UNITS:
            problems.append("%s: %d characters long; in a game folder of %d characters its path needs %d "
                            "units (folder, backslash, path, terminating zero), more than the %d Windows "
                            "allows" % (shown(relative), units, max_install_path, needed, PATH_BUFFER_UNITS))


def pe_machine(path):
    """The processor a Windows program is built for, or None when the file is not one."""
    try:
        with open(path, "rb") as program:
            header = program.read(4096)
    except OSError:
        return None
    if len(header) < 0x40 or header[:2] != b"MZ":
        return None
    offset = struct.unpack_from("<I", header, 0x3C)[0]
    if offset + 6 > len(header) or header[offset:offset + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", header, offset + 4)[0]


def release_update(temporary):
    """Update.exe of the release archive in dist/ that release.sh made from this checkout's commit,
    unpacked into the temporary folder with the archive's date: (path, where it came from), or None
    when dist/ holds no release of this commit."""
    try:
        commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True, text=True,
                                check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    for archive in sorted(glob.glob(os.path.join(ROOT, "dist", "karveth-tools-*-win32.zip"))):
        try:
            with zipfile.ZipFile(archive) as release:
                if "Made from commit %s." % commit not in release.read("README.txt").decode("utf-8", "replace"):
                    continue
                entry = release.getinfo("Update/Update.exe")
                path = os.path.join(temporary, "Update.exe")
                with open(path, "wb") as update:
                    update.write(release.read(entry))
        except (OSError, KeyError, zipfile.BadZipFile):
            continue
        date = calendar.timegm(entry.date_time + (0, 0, -1))
        os.utime(path, (date, date))
        with open(path, "rb") as update:
            signed = pe_signed(update.read(4096))
        return path, "Update/Update.exe of %s, the release of this commit, %s" % (
            os.path.relpath(archive, ROOT), "signed" if signed else "unsigned")
    return None


def pe_signed(header):
    """Whether a Windows program's headers point to an Authenticode signature (its certificate table)."""
    try:
        optional = struct.unpack_from("<I", header, 0x3C)[0] + 24
        # The data directories follow the optional header's fixed part, 96 bytes in PE32, 112 in PE32+.
        directories = optional + (112 if struct.unpack_from("<H", header, optional)[0] == 0x20B else 96)
        return struct.unpack_from("<II", header, directories + 4 * 8)[1] != 0
    except struct.error:
        return False


def build_shipping_update():
    print("make-patch: %s is missing; building it (win32 preset)" % os.path.relpath(SHIPPING_UPDATE),
          file=sys.stderr)
    configure = ["cmake", "--preset", "win32"]
    build = ["cmake", "--build", "--preset", "win32", "--target", "Update"]
    for command in (configure, build):
        try:
            if subprocess.run(command, cwd=ROOT, stdout=sys.stderr).returncode != 0:
                return False
        except OSError:
            return False
    return os.path.isfile(SHIPPING_UPDATE)


def releases_column(comparison, indexes, names):
    """Which earlier releases a line concerns: each one's name, or dashes where it does not."""
    return " ".join(name if index in indexes else "-" * len(name) for index, name in enumerate(names))


def contents_text(args, comparison, update_digest, eula_digest):
    several = len(args.from_names) > 1
    lines = ["Karveth patch %s to %s" % (", ".join(args.from_names), args.to_name), "",
             "Start Update.exe from this folder. After the licence (EULA.rtf) and a confirmation it copies",
             "every file under Patch\\ into the game folder, replacing files of the same name, and then",
             "empties Patch\\.", "",
             "Beside this file (SHA-256, size in bytes, name):",
             "%s  %12d  Update.exe" % update_digest[:2],
             "%s  %12d  EULA.rtf" % eula_digest[:2], ""]
    total = sum(size for _, size in comparison.patch.values())
    if several:
        lines.append("Files under Patch\\, copied into the game folder (%d, %d bytes), with the earlier releases "
                     "each one changes (SHA-256, size in bytes, releases, name):" % (len(comparison.patch), total))
    else:
        lines.append("Files under Patch\\, copied into the game folder (%d, %d bytes):"
                     % (len(comparison.patch), total))
    for relative in sorted(comparison.patch, key=windows_path):
        sha, size = comparison.patch[relative]
        if several:
            lines.append("%s  %12d  %s  %s" % (sha, size, releases_column(
                comparison, comparison.changes[relative], args.from_names), windows_path(relative)))
        else:
            lines.append("%s  %12d  %s" % (sha, size, windows_path(relative)))
    if comparison.new_folders:
        lines += ["", "Empty folders under Patch\\, created in the game folder (%d):"
                  % len(comparison.new_folders)]
        lines += ["  %s\\" % windows_path(relative) for relative in comparison.new_folders]
    removed = comparison.removed_anywhere()
    if removed:
        lines += ["", "Removed in %s, but left in place by this patch: Update never deletes game files (%d):"
                  % (args.to_name, len(removed))]
        for relative in sorted(removed, key=windows_path):
            column = releases_column(comparison, removed[relative], args.from_names) + "  " if several else ""
            lines.append("  %s%s" % (column, windows_path(relative)))
    return "".join(line + "\r\n" for line in lines).encode("utf-8")


def write_archive(archive, folder, comparison, new, update, eula, contents, epoch, pack_zip, executor, progress):
    """Writes the zip: entries sorted by name, one date, fixed attributes. update and eula are (path,
    digest). Returns the archive's SHA-256 and size, or None when a file changed since it was hashed."""
    date = time.gmtime(max(epoch, pack_zip.ZIP_EPOCH))[:6]
    # name -> a folder (None), bytes, or a file: (path, size, CRC-32, what to call it)
    entries = {folder + "/Update.exe": (update[0], update[1][1], update[1][2], update[0]),
               folder + "/EULA.rtf": (eula[0], eula[1][1], eula[1][2], eula[0]),
               folder + "/PATCH-CONTENTS.txt": contents}
    for relative, (_, size) in comparison.patch.items():
        entries[folder + "/Patch/" + shown(relative)] = (new.files[relative], size, comparison.crcs[relative],
                                                         "%s: %s" % (new.label, shown(relative)))
    for relative in comparison.new_folders:
        entries[folder + "/Patch/" + shown(relative) + "/"] = None
    patch_zip = load_patch_zip()
    writer = patch_zip.ZipWriter(archive, executor, pack_zip.UNIX_SYSTEM, progress.add_packed)
    try:
        for name in sorted(entries):
            source = entries[name]
            if source is None:
                writer.folder(name, date, FOLDER_ATTRIBUTES)
            elif isinstance(source, bytes):
                writer.data(name, date, pack_zip.FILE_ATTRIBUTES, source)
            elif not writer.file(name, date, pack_zip.FILE_ATTRIBUTES, *source[:3]):
                progress.finish()
                print("make-patch: %s changed while the patch was made" % source[3], file=sys.stderr)
                return None
        return writer.close()
    finally:
        writer.abandon()


def write_sums(sums_path, archive_name, archive_sha):
    """Adds or replaces the archive's line in SHA256SUMS, keeping the lines of other archives."""
    lines = {}
    if os.path.isfile(sums_path):
        with open(sums_path, encoding="utf-8") as sums:
            for line in sums:
                if "  " in line:
                    sha, name = line.rstrip("\n").split("  ", 1)
                    lines[name] = sha
    lines[archive_name] = archive_sha
    text = "".join("%s  %s\n" % (lines[name], name) for name in sorted(lines))
    temporary = sums_path + ".tmp-%d" % os.getpid()
    with open(temporary, "w", encoding="utf-8") as sums:
        sums.write(text)
    os.replace(temporary, sums_path)


def folder_name(folder):
    return os.path.basename(os.path.abspath(folder))


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog="make-patch.sh",
        description="Makes karveth-patch-<from>-to-<to>.zip in OUTDIR from game builds: Update.exe, "
                    "EULA.rtf, PATCH-CONTENTS.txt and Patch\\ with every file of NEW that is new or differs "
                    "in any OLD.")
    parser.add_argument("olds", nargs="+", metavar="OLD", help="a game build players have now (a folder); "
                        "several for one patch that brings each of them to NEW")
    parser.add_argument("new", metavar="NEW", help="the game build the patch brings them to (a folder)")
    parser.add_argument("outdir", metavar="OUTDIR", help="where the archive and SHA256SUMS go (made if missing)")
    parser.add_argument("--eula", metavar="FILE", help="the licence, an RTF file, shipped as EULA.rtf (required)")
    parser.add_argument("--from", dest="from_names", metavar="NAME", action="append",
                        help="name of an OLD in the archive's name, once for each OLD in their order (default: "
                        "the OLD folders' names; several are joined by +)")
    parser.add_argument("--to", dest="to_name", metavar="NAME", help="name of NEW in the archive's name "
                        "(default: NEW's folder name)")
    parser.add_argument("--update", metavar="FILE", help="the Update.exe to ship (default: that of the "
                        "release archive in dist/ made from this commit, else the shipping build's, "
                        "build/win32/bin/Update.exe, built if missing)")
    parser.add_argument("--max-install-path", metavar="N", type=int, default=DEFAULT_MAX_INSTALL_PATH,
                        help="the longest game folder path the patch must fit, in characters (default %d)"
                        % DEFAULT_MAX_INSTALL_PATH)
    parser.add_argument("--allow-removed", action="store_true", help="make the patch although NEW lacks "
                        "files of an OLD; they stay on the players' disks and are listed in PATCH-CONTENTS.txt")
    return parser.parse_args()


def check_arguments(args, problems):
    for label, folder in [("OLD", old) for old in args.olds] + [("NEW", args.new)]:
        if not os.path.isdir(folder):
            problems.append("%s: %s is not a folder" % (label, folder))
    real = [os.path.realpath(old) for old in args.olds]
    for index, old in enumerate(args.olds):
        if real[index] in real[:index]:
            problems.append("OLD: %s is given twice" % old)
    if args.eula is None:
        problems.append("no licence: --eula FILE names the RTF file that Update shows as EULA.rtf before it "
                        "patches; a patch is not made without one")
    elif not os.path.isfile(args.eula):
        problems.append("--eula: %s is not a file" % args.eula)
    else:
        try:
            with open(args.eula, "rb") as eula:
                start = eula.read(5)
        except OSError as error:
            problems.append("--eula: cannot read %s: %s" % (args.eula, error.strerror))
        else:
            if start != b"{\\rtf":
                problems.append("--eula: %s is not rich text (it does not start with {\\rtf); Update shows "
                                "EULA.rtf as RTF" % args.eula)
    if args.update is not None and not os.path.isfile(args.update):
        problems.append("--update: %s is not a file" % args.update)
    elif args.update is not None and pe_machine(args.update) not in PE_MACHINES:
        problems.append("--update: %s is not a Windows program" % args.update)
    if os.path.exists(args.outdir) and not os.path.isdir(args.outdir):
        problems.append("OUTDIR %s is not a folder" % args.outdir)
    if not SHORTEST_GAME_FOLDER <= args.max_install_path <= LONGEST_GAME_FOLDER:
        problems.append("--max-install-path: %d is not a path length from %d (C:\\) to %d (Update does not "
                        "recognise a longer game folder: its path with \\Binaries would not fit)"
                        % (args.max_install_path, SHORTEST_GAME_FOLDER, LONGEST_GAME_FOLDER))
    if args.from_names is not None and len(args.from_names) != len(args.olds):
        problems.append("--from: given %d time(s) for %d OLD build(s); name each OLD once, in their order"
                        % (len(args.from_names), len(args.olds)))
    if args.from_names is None:
        names = [("the folder name of %s" % old, folder_name(old)) for old in args.olds]
    else:
        names = [("--from", name) for name in args.from_names]
    names.append(("--to", args.to_name) if args.to_name is not None else
                 ("the folder name of %s" % args.new, folder_name(args.new)))
    for option, name in names:
        if not RELEASE_NAME.match(name):
            problems.append("%s: '%s' cannot name the archive; use letters, digits and . _ + - only"
                            % (option, name))
    from_names = [name for _, name in names[:-1]]
    for name in sorted({name for name in from_names if from_names.count(name) > 1}):
        problems.append("%s names two OLD builds; give each its own with --from" % name)
    outdir = os.path.realpath(args.outdir)
    for label, folder in [("OLD", old) for old in args.olds] + [("NEW", args.new)]:
        inside = os.path.realpath(folder)
        if os.path.isdir(folder) and (outdir + os.sep).startswith(inside + os.sep):
            problems.append("OUTDIR %s lies inside %s; the next patch would take the archive for a game file"
                            % (args.outdir, label))


def fail(problems, progress=None):
    if progress is not None:
        progress.finish()
    print("make-patch: refused, nothing written:", file=sys.stderr)
    for problem in problems:
        print("  " + problem, file=sys.stderr)
    return 1


def update_to_ship(args, temporary_folder):
    """The Update.exe the patch carries and where it came from, or None with the reasons when there
    is none to ship: --update, else that of this commit's release in dist/ (unpacked into
    temporary_folder), else the shipping build's."""
    update, origin = args.update, args.update
    if update is None:
        update, origin = release_update(temporary_folder) or (
            SHIPPING_UPDATE, "%s, the shipping build's, unsigned: dist/ holds no release of this commit"
            % SHIPPING_UPDATE)
    if args.update is None and not os.path.isfile(update) and not build_shipping_update():
        return None, None, ["could not build %s; see the output above (bash scripts/setup.sh installs the "
                            "tools)" % update]
    if pe_machine(update) not in PE_MACHINES:
        return None, None, ["%s is not a Windows program" % update]
    return update, origin, []


def main():
    args = parse_arguments()
    problems = []
    check_arguments(args, problems)
    if problems:
        return fail(problems)
    args.from_names = args.from_names or [folder_name(old) for old in args.olds]
    args.to_name = args.to_name or folder_name(args.new)
    progress = Progress(sys.stderr)
    with concurrent.futures.ThreadPoolExecutor(WORKERS) as executor:
        try:
            return make_patch(args, progress, executor)
        finally:
            progress.finish()


def make_patch(args, progress, executor):
    problems = []
    olds = [Build("OLD %s" % old, old) for old in args.olds]
    new = Build("NEW %s" % args.new, args.new)
    for marker in GAME_MARKERS:
        if not os.path.isdir(os.path.join(args.new, marker)):
            problems.append("%s is not a game folder: it has no folder %s (a game folder holds %s)"
                            % (new.label, marker, ", ".join(GAME_MARKERS)))
    if problems:
        return fail(problems, progress)
    progress.phase("reading", "the folders of %d build(s)" % (len(olds) + 1))
    for build in olds + [new]:
        scan(build, problems)
        case_clashes(build, problems)
    if problems:
        return fail(problems, progress)

    comparison = compare(olds, new, problems, executor, progress)
    check_patch_names(comparison, args.max_install_path, problems)
    removed_anywhere = comparison.removed_anywhere()
    if not comparison.patch and not comparison.new_folders and not problems:
        problems.append("nothing to patch: every file of %s is in %s with the same bytes%s"
                        % (new.label, " and ".join(old.label for old in olds),
                           " (it only removes files, which Update cannot do)" if removed_anywhere else ""))
    if removed_anywhere and not args.allow_removed:
        for old, removed in zip(olds, comparison.removed):
            if removed:
                problems.append("%s lacks %d file(s) of %s, which Update cannot delete from the players' disks:"
                                % (new.label, len(removed), old.label))
                problems += ["    " + shown(relative) for relative in removed]
        problems.append("keep them in the new build, or pass --allow-removed to leave them in place "
                        "(listed in PATCH-CONTENTS.txt)")
    if problems:
        return fail(problems, progress)

    temporary_folder = tempfile.TemporaryDirectory(prefix="make-patch-")
    update, update_origin, problems = update_to_ship(args, temporary_folder.name)
    if update is None:
        return fail(problems, progress)
    update_digest = digest(update, problems, "--update", (update,))
    eula_digest = digest(args.eula, problems, "--eula", (args.eula,))
    if problems:
        return fail(problems, progress)

    pack_zip = load_pack_zip()
    epoch_text = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch_text:
        if not epoch_text.isdigit():
            return fail(["SOURCE_DATE_EPOCH=%s is not a number of seconds" % epoch_text], progress)
        epoch, dated_by = int(epoch_text), "SOURCE_DATE_EPOCH"
    else:
        packed = [new.files[relative] for relative in comparison.patch] + [update, args.eula]
        epoch, dated_by = int(max(os.stat(path).st_mtime for path in packed)), "the newest packed file"

    folder = "karveth-patch-%s-to-%s" % ("+".join(args.from_names), args.to_name)
    archive = os.path.join(args.outdir, folder + ".zip")
    contents = contents_text(args, comparison, update_digest, eula_digest)
    total = sum(size for _, size in comparison.patch.values())
    temporary = archive + ".tmp-%d" % os.getpid()
    try:
        os.makedirs(args.outdir, exist_ok=True)
        progress.phase("packing", "%d bytes in %d file(s) into %s" % (total, len(comparison.patch), archive),
                       packing=total + update_digest[1] + eula_digest[1] + len(contents))
        archive_digest = write_archive(temporary, folder, comparison, new, (update, update_digest),
                                       (args.eula, eula_digest), contents, epoch, pack_zip, executor, progress)
        if archive_digest is None:
            return 1
        os.replace(temporary, archive)
        archive_size = archive_digest[1]
        write_sums(os.path.join(args.outdir, "SHA256SUMS"), folder + ".zip", archive_digest[0])
    except OSError as error:
        progress.finish()
        print("make-patch: cannot write %s: %s" % (error.filename or args.outdir, error.strerror), file=sys.stderr)
        return 1
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
    progress.finish()

    several = len(olds) > 1
    print("Patch %s to %s: %d file(s) to copy, %d bytes"
          % (", ".join(args.from_names), args.to_name, len(comparison.patch), total))
    for relative in sorted(comparison.patch):
        sha, size = comparison.patch[relative]
        releases = "; for %s" % ", ".join(args.from_names[index] for index in sorted(comparison.changes[relative]))
        print("  %-8s %s (%d bytes%s)" % (comparison.kind(relative), shown(relative), size,
                                          releases if several else ""))
    for relative in comparison.new_folders:
        print("  %-8s %s/ (empty folder)" % ("new", shown(relative)))
    for relative, indexes in sorted(removed_anywhere.items()):
        releases = "of %s; " % ", ".join(args.from_names[index] for index in indexes)
        print("  %-8s %s (%sleft in place on the players' disks)" % ("removed", shown(relative),
                                                                    releases if several else ""))
    for note in comparison.notes:
        print("  note: " + note)
    entries = list(comparison.patch) + comparison.new_folders
    longest = max(utf16_units(windows_path(relative)) for relative in entries)
    print("Longest path in the game folder: %d characters; fits game folders of up to %d characters"
          % (longest, min(PATH_BUFFER_UNITS - 2 - longest, LONGEST_GAME_FOLDER)))
    print("Update.exe: %s (%s)" % (update_origin, PE_MACHINES[pe_machine(update)]))
    print("Dated %s UTC, from %s" % (time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch)), dated_by))
    print("Wrote %s (%d bytes)" % (archive, archive_size))
    print("SHA-256 %s, added to %s" % (archive_digest[0], os.path.join(args.outdir, "SHA256SUMS")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
