#!/usr/bin/python3
"""Makes a game patch that Update.exe applies, from two game builds.

usage: make-patch.py OLD NEW OUTDIR --eula FILE [--from NAME] [--to NAME] [--update FILE]
                     [--max-install-path N] [--allow-removed]

Writes OUTDIR/karveth-patch-<from>-to-<to>.zip, holding one folder of that name with Update.exe,
EULA.rtf, PATCH-CONTENTS.txt and Patch/ (every file of NEW that is new or whose bytes differ from
OLD's, in the game's folder structure), and adds the archive's SHA-256 to OUTDIR/SHA256SUMS.
Everything is checked before anything is written: a patch that would fail on a player's disk is
refused with the reasons, and nothing is written. Same inputs, same bytes.
"""
import argparse
import calendar
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
import time
import zipfile

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


def load_pack_zip():
    """The release packer, whose fixed zip date floor and attributes the patch shares."""
    loader_spec = importlib.util.spec_from_file_location(
        "pack_zip", os.path.join(ROOT, "scripts", "release", "pack-zip.py"))
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def shown(relative):
    return "/".join(relative)


def windows_path(relative):
    return "\\".join(relative)


def utf16_units(text):
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def fold(name):
    """A name as Windows compares it: case ignored, one character for one."""
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


class Build:
    """The files and folders of one game build, relative paths as tuples of names."""

    def __init__(self, label, top):
        self.label = label
        self.top = top
        self.files = {}  # relative path -> absolute path
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
                mode = entry.stat(follow_symlinks=False).st_mode
            except OSError as error:
                problems.append("%s: cannot read %s: %s" % (build.label, shown(child), error.strerror))
                continue
            if stat.S_ISLNK(mode):
                problems.append("%s: %s is a symbolic link; a patch can hold only plain files and folders"
                                % (build.label, shown(child)))
            elif stat.S_ISDIR(mode):
                build.folders.add(child)
                pending.append(child)
            elif stat.S_ISREG(mode):
                build.files[child] = entry.path
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


def digest(path, problems, label, relative):
    """SHA-256 and size of a file, or None when it cannot be read."""
    sha = hashlib.sha256()
    size = 0
    try:
        with open(path, "rb") as source:
            while chunk := source.read(CHUNK):
                sha.update(chunk)
                size += len(chunk)
    except OSError as error:
        problems.append("%s: cannot read %s: %s" % (label, shown(relative), error.strerror))
        return None
    return sha.hexdigest(), size


class Comparison:
    def __init__(self):
        self.patch = {}  # relative path in NEW -> (sha256, size, "new" or "changed")
        self.new_folders = []  # empty folders of NEW that OLD lacks
        self.removed = []  # relative paths in OLD
        self.notes = []


def compare(old, new, problems):
    comparison = Comparison()
    old_files = {fold_path(relative): relative for relative in old.files}
    old_folders = {fold_path(relative) for relative in old.folders}
    new_files = {fold_path(relative) for relative in new.files}
    new_folders = {fold_path(relative) for relative in new.folders}

    for relative in sorted(new.files):
        key = fold_path(relative)
        if key in old_folders:
            problems.append("%s is a folder in %s and a file in %s; Update cannot replace a folder with a "
                            "file" % (shown(relative), old.label, new.label))
            continue
        new_digest = digest(new.files[relative], problems, new.label, relative)
        if new_digest is None:
            continue
        kind = "new"
        if key in old_files:
            old_relative = old_files[key]
            if old_relative != relative:
                comparison.notes.append(
                    "%s is %s in %s: the player's file keeps its old name, Windows ignores the case"
                    % (shown(relative), shown(old_relative), old.label))
            old_path = old.files[old_relative]
            if os.path.getsize(old_path) == new_digest[1]:
                old_digest = digest(old_path, problems, old.label, old_relative)
                if old_digest is None or old_digest == new_digest:
                    continue
            kind = "changed"
        comparison.patch[relative] = new_digest + (kind,)

    for relative in sorted(old.files):
        key = fold_path(relative)
        if key in new_folders:
            problems.append("%s is a file in %s and a folder in %s; Update cannot replace a file with a "
                            "folder" % (shown(relative), old.label, new.label))
        elif key not in new_files:
            comparison.removed.append(relative)

    holding = {relative[:depth] for relative in new.files for depth in range(1, len(relative))}
    comparison.new_folders = sorted(relative for relative in new.folders
                                    if relative not in holding and fold_path(relative) not in old_folders)
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


def contents_text(args, comparison, update_digest, eula_digest):
    lines = ["Karveth patch %s to %s" % (args.from_name, args.to_name), "",
             "Start Update.exe from this folder. After the licence (EULA.rtf) and a confirmation it copies",
             "every file under Patch\\ into the game folder, replacing files of the same name, and then",
             "empties Patch\\.", "",
             "Beside this file (SHA-256, size in bytes, name):",
             "%s  %12d  Update.exe" % update_digest,
             "%s  %12d  EULA.rtf" % eula_digest, ""]
    total = sum(size for _, size, _ in comparison.patch.values())
    lines.append("Files under Patch\\, copied into the game folder (%d, %d bytes):"
                 % (len(comparison.patch), total))
    for relative in sorted(comparison.patch, key=windows_path):
        sha, size, _ = comparison.patch[relative]
        lines.append("%s  %12d  %s" % (sha, size, windows_path(relative)))
    if comparison.new_folders:
        lines += ["", "Empty folders under Patch\\, created in the game folder (%d):"
                  % len(comparison.new_folders)]
        lines += ["  %s\\" % windows_path(relative) for relative in comparison.new_folders]
    if comparison.removed:
        lines += ["", "Removed in %s, but left in place by this patch: Update never deletes game files (%d):"
                  % (args.to_name, len(comparison.removed))]
        lines += ["  %s" % windows_path(relative) for relative in sorted(comparison.removed, key=windows_path)]
    return "".join(line + "\r\n" for line in lines).encode("utf-8")


def write_archive(archive, folder, comparison, new, update, eula, contents, epoch, pack_zip):
    """Writes the zip: entries sorted by name, one date, fixed attributes. False when a patch file
    changed since it was compared."""
    date = time.gmtime(max(epoch, pack_zip.ZIP_EPOCH))[:6]
    entries = [(folder + "/Update.exe", update), (folder + "/EULA.rtf", eula),
               (folder + "/PATCH-CONTENTS.txt", contents)]
    entries += [(folder + "/Patch/" + shown(relative), relative) for relative in comparison.patch]
    entries += [(folder + "/Patch/" + shown(relative) + "/", None) for relative in comparison.new_folders]
    with zipfile.ZipFile(archive, "w") as out:
        for name, source in sorted(entries):
            entry = zipfile.ZipInfo(name, date_time=date)
            entry.create_system = pack_zip.UNIX_SYSTEM
            if source is None:
                entry.external_attr = (0o40755 << 16) | 0x10  # a folder, also for MS-DOS readers
                out.writestr(entry, b"")
                continue
            entry.external_attr = pack_zip.FILE_ATTRIBUTES
            entry.compress_type = zipfile.ZIP_DEFLATED
            if isinstance(source, bytes):
                out.writestr(entry, source)
                continue
            path = new.files[source] if isinstance(source, tuple) else source
            entry.file_size = os.path.getsize(path)
            sha = hashlib.sha256()
            with open(path, "rb") as reader, out.open(entry, "w") as writer:
                while chunk := reader.read(CHUNK):
                    sha.update(chunk)
                    writer.write(chunk)
            if isinstance(source, tuple) and sha.hexdigest() != comparison.patch[source][0]:
                print("make-patch: %s: %s changed while the patch was made" % (new.label, shown(source)),
                      file=sys.stderr)
                return False
    return True


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


def parse_arguments():
    parser = argparse.ArgumentParser(
        prog="make-patch.sh",
        description="Makes karveth-patch-<from>-to-<to>.zip in OUTDIR from two game builds: Update.exe, "
                    "EULA.rtf, PATCH-CONTENTS.txt and Patch\\ with every new or changed file of NEW.")
    parser.add_argument("old", metavar="OLD", help="the game build players have now (a folder)")
    parser.add_argument("new", metavar="NEW", help="the game build the patch brings them to (a folder)")
    parser.add_argument("outdir", metavar="OUTDIR", help="where the archive and SHA256SUMS go (made if missing)")
    parser.add_argument("--eula", metavar="FILE", help="the licence, an RTF file, shipped as EULA.rtf (required)")
    parser.add_argument("--from", dest="from_name", metavar="NAME", help="name of OLD in the archive's name "
                        "(default: OLD's folder name)")
    parser.add_argument("--to", dest="to_name", metavar="NAME", help="name of NEW in the archive's name "
                        "(default: NEW's folder name)")
    parser.add_argument("--update", metavar="FILE", help="the Update.exe to ship (default: that of the "
                        "release archive in dist/ made from this commit, else the shipping build's, "
                        "build/win32/bin/Update.exe, built if missing)")
    parser.add_argument("--max-install-path", metavar="N", type=int, default=DEFAULT_MAX_INSTALL_PATH,
                        help="the longest game folder path the patch must fit, in characters (default %d)"
                        % DEFAULT_MAX_INSTALL_PATH)
    parser.add_argument("--allow-removed", action="store_true", help="make the patch although NEW lacks "
                        "files of OLD; they stay on the players' disks and are listed in PATCH-CONTENTS.txt")
    return parser.parse_args()


def check_arguments(args, problems):
    for label, folder in (("OLD", args.old), ("NEW", args.new)):
        if not os.path.isdir(folder):
            problems.append("%s: %s is not a folder" % (label, folder))
    if args.eula is None:
        problems.append("no licence: --eula FILE names the RTF file that Update shows as EULA.rtf before "
                        "it patches; a patch is not made without one")
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
    for option, name, folder in (("--from", args.from_name, args.old), ("--to", args.to_name, args.new)):
        if name is None:
            name = os.path.basename(os.path.abspath(folder))
            option = "the folder name of %s" % folder
        if not RELEASE_NAME.match(name):
            problems.append("%s: '%s' cannot name the archive; use letters, digits and . _ + - only"
                            % (option, name))
    outdir = os.path.realpath(args.outdir)
    for label, folder in (("OLD", args.old), ("NEW", args.new)):
        inside = os.path.realpath(folder)
        if os.path.isdir(folder) and (outdir + os.sep).startswith(inside + os.sep):
            problems.append("OUTDIR %s lies inside %s; the next patch would take the archive for a game file"
                            % (args.outdir, label))


def fail(problems):
    print("make-patch: refused, nothing written:", file=sys.stderr)
    for problem in problems:
        print("  " + problem, file=sys.stderr)
    return 1


def main():
    args = parse_arguments()
    problems = []
    check_arguments(args, problems)
    if problems:
        return fail(problems)
    args.from_name = args.from_name or os.path.basename(os.path.abspath(args.old))
    args.to_name = args.to_name or os.path.basename(os.path.abspath(args.new))

    old = Build("OLD %s" % args.old, args.old)
    new = Build("NEW %s" % args.new, args.new)
    for marker in GAME_MARKERS:
        if not os.path.isdir(os.path.join(args.new, marker)):
            problems.append("%s is not a game folder: it has no folder %s (a game folder holds %s)"
                            % (new.label, marker, ", ".join(GAME_MARKERS)))
    if problems:
        return fail(problems)
    for build in (old, new):
        scan(build, problems)
        case_clashes(build, problems)
    if problems:
        return fail(problems)

    comparison = compare(old, new, problems)
    check_patch_names(comparison, args.max_install_path, problems)
    if not comparison.patch and not comparison.new_folders and not problems:
        problems.append("nothing to patch: every file of %s is in %s with the same bytes%s"
                        % (new.label, old.label, " (it only removes files, which Update cannot do)"
                           if comparison.removed else ""))
    if comparison.removed and not args.allow_removed:
        problems.append("%s lacks %d file(s) of %s, which Update cannot delete from the players' disks:"
                        % (new.label, len(comparison.removed), old.label))
        problems += ["    " + shown(relative) for relative in comparison.removed]
        problems.append("keep them in the new build, or pass --allow-removed to leave them in place "
                        "(listed in PATCH-CONTENTS.txt)")
    if problems:
        return fail(problems)

    temporary_folder = tempfile.TemporaryDirectory(prefix="make-patch-")
    update, update_origin = args.update, args.update
    if update is None:
        update, update_origin = release_update(temporary_folder.name) or (
            SHIPPING_UPDATE, "%s, the shipping build's, unsigned: dist/ holds no release of this commit"
            % SHIPPING_UPDATE)
    if args.update is None and not os.path.isfile(update) and not build_shipping_update():
        return fail(["could not build %s; see the output above (bash scripts/setup.sh installs the tools)"
                     % update])
    if pe_machine(update) not in PE_MACHINES:
        return fail(["%s is not a Windows program" % update])
    update_digest = digest(update, problems, "--update", (update,))
    eula_digest = digest(args.eula, problems, "--eula", (args.eula,))
    if problems:
        return fail(problems)

    pack_zip = load_pack_zip()
    epoch_text = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch_text:
        if not epoch_text.isdigit():
            return fail(["SOURCE_DATE_EPOCH=%s is not a number of seconds" % epoch_text])
        epoch, dated_by = int(epoch_text), "SOURCE_DATE_EPOCH"
    else:
        packed = [new.files[relative] for relative in comparison.patch] + [update, args.eula]
        epoch, dated_by = int(max(os.stat(path).st_mtime for path in packed)), "the newest packed file"

    folder = "karveth-patch-%s-to-%s" % (args.from_name, args.to_name)
    archive = os.path.join(args.outdir, folder + ".zip")
    contents = contents_text(args, comparison, update_digest, eula_digest)
    temporary = archive + ".tmp-%d" % os.getpid()
    try:
        os.makedirs(args.outdir, exist_ok=True)
        if not write_archive(temporary, folder, comparison, new, update, args.eula, contents, epoch, pack_zip):
            return 1
        os.replace(temporary, archive)
        archive_digest = digest(archive, problems, "OUTDIR", (archive,))
        write_sums(os.path.join(args.outdir, "SHA256SUMS"), folder + ".zip", archive_digest[0])
    except OSError as error:
        print("make-patch: cannot write %s: %s" % (error.filename or args.outdir, error.strerror), file=sys.stderr)
        return 1
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)

    total = sum(size for _, size, _ in comparison.patch.values())
    print("Patch %s to %s: %d file(s) to copy, %d bytes"
          % (args.from_name, args.to_name, len(comparison.patch), total))
    for relative in sorted(comparison.patch):
        sha, size, kind = comparison.patch[relative]
        print("  %-8s %s (%d bytes)" % (kind, shown(relative), size))
    for relative in comparison.new_folders:
        print("  %-8s %s/ (empty folder)" % ("new", shown(relative)))
    for relative in comparison.removed:
        print("  %-8s %s (left in place on the players' disks)" % ("removed", shown(relative)))
    for note in comparison.notes:
        print("  note: " + note)
    entries = list(comparison.patch) + comparison.new_folders
    longest = max(utf16_units(windows_path(relative)) for relative in entries)
    print("Longest path in the game folder: %d characters; fits game folders of up to %d characters"
          % (longest, min(PATH_BUFFER_UNITS - 2 - longest, LONGEST_GAME_FOLDER)))
    print("Update.exe: %s (%s)" % (update_origin, PE_MACHINES[pe_machine(update)]))
    print("Dated %s UTC, from %s" % (time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(epoch)), dated_by))
    print("Wrote %s (%d bytes)" % (archive, archive_digest[1]))
    print("SHA-256 %s, added to %s" % (archive_digest[0], os.path.join(args.outdir, "SHA256SUMS")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
