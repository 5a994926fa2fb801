#!/usr/bin/python3
"""The patch command, scripts/make-patch.sh, run as a studio runs it on small game builds: its
refusals (each with its message, and nothing written), the archive it writes and how Info-ZIP's unzip
reads it, its zip writer's records at the limits of the classic fields, its progress, its bytes from
two places and time zones, and the archive applied by the real Update.exe under Wine, also one
archive for three earlier builds.

Environment (set by CTest):
  KARVETH_SOURCE                the checkout whose scripts/make-patch.sh is run
  KARVETH_TEST_UPDATE           an Update.exe that runs under the Wine the tests run in
  KARVETH_PATCH_ARCHIVE_TESTS   patch_archive_tests.exe, which runs Update.exe like a player
  KARVETH_WINE_COMMAND          what runs it (default: wine)
  KARVETH_WINEPREFIX_VARIABLE   the variable naming the Wine prefix it runs in, whose drive C: gets
                                the game and the patch (default: WINEPREFIX)
usage: make-patch-tests.py [TestClass ...]
"""
import concurrent.futures
import filecmp
import hashlib
import importlib.util
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
import zlib

SOURCE = os.environ.get("KARVETH_SOURCE", os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))))
COMMAND = os.path.join(SOURCE, "scripts", "make-patch.sh")
TEST_UPDATE = os.environ.get("KARVETH_TEST_UPDATE", os.path.join(SOURCE, "build", "win64", "bin", "Update.exe"))
SHIPPED_UPDATE = os.path.join(SOURCE, "build", "win32", "bin", "Update.exe")
SAMPLE_EULA = os.path.join(SOURCE, "tests", "update", "sample", "EULA.rtf")
ARCHIVE = "karveth-patch-1.0-to-1.1"
NOBODY = 65534

PAK = bytes(range(256)) * 64
OLD_BUILD = {
    "Binaries/Win32/Karveth.exe": b"MZ karveth 1.0",
    "Binaries/Win32/steam_api.dll": b"MZ steam",
    "Engine/Config/BaseEngine.ini": b"[Core]\r\n",
    "KVGame/Config/DefaultGame.ini": b"[Game]\r\nVersion=1.0\r\n",
    "KVGame/Content/Paks/KVGame-Core.pak": PAK,
    "KVGame/Content/Movies/Intro.bk2": b"intro movie",
}
# Changed files of the same and of another size, new files in new folders, a new empty folder, a
# removed file, files left as they were.
NEW_BUILD = dict(OLD_BUILD, **{
    "Binaries/Win32/Karveth.exe": b"MZ karveth 1.1",
    "KVGame/Config/DefaultGame.ini": b"[Game]\r\nVersion=1.1\r\nMaps=2\r\n",
    "KVGame/Content/Paks/KVGame-Core.pak": PAK[:1000] + b"\xff" + PAK[1001:],
    "KVGame/Content/Paks/KVGame-DLC1.pak": b"dlc one",
    "KVGame/Content/Maps/Harbour District/Harbour.umap": b"harbour",
    "KVGame/Saved/": None,
})
del NEW_BUILD["KVGame/Content/Movies/Intro.bk2"]
PATCH_FILES = ["Binaries/Win32/Karveth.exe", "KVGame/Config/DefaultGame.ini",
               "KVGame/Content/Maps/Harbour District/Harbour.umap", "KVGame/Content/Paks/KVGame-Core.pak",
               "KVGame/Content/Paks/KVGame-DLC1.pak"]

# Three earlier releases and the one a single patch brings them all to. 1.1 changed the program and
# added a map; 1.2 changed the program again, the game's config, added an empty folder and removed the
# movie; 1.3 changes a package, adds a DLC package and a name that is not ASCII, and has its own program.
RELEASES = {"1.0": OLD_BUILD}
RELEASES["1.1"] = dict(OLD_BUILD, **{"Binaries/Win32/Karveth.exe": b"MZ karveth 1.1",
                                     "KVGame/Content/Maps/Harbour District/Harbour.umap": b"harbour"})
RELEASES["1.2"] = dict(RELEASES["1.1"], **{"Binaries/Win32/Karveth.exe": b"MZ karveth 1.2",
                                           "KVGame/Config/DefaultGame.ini": b"[Game]\r\nVersion=1.2\r\n",
                                           "KVGame/Saved/": None})
del RELEASES["1.2"]["KVGame/Content/Movies/Intro.bk2"]
RELEASES["1.3"] = dict(RELEASES["1.2"], **{"Binaries/Win32/Karveth.exe": b"MZ karveth 1.3",
                                           "KVGame/Content/Paks/KVGame-Core.pak": PAK[:5] + b"\0" + PAK[6:],
                                           "KVGame/Content/Paks/KVGame-DLC1.pak": b"dlc one",
                                           "KVGame/Content/Maps/K\u00f8benhavn/Havn.umap": b"havn"})
# Each file of the patch, with the earlier releases it changes.
RELEASE_CHANGES = {
    "Binaries/Win32/Karveth.exe": ["1.0", "1.1", "1.2"],
    "KVGame/Config/DefaultGame.ini": ["1.0", "1.1"],
    "KVGame/Content/Maps/Harbour District/Harbour.umap": ["1.0"],
    "KVGame/Content/Maps/K\u00f8benhavn/Havn.umap": ["1.0", "1.1", "1.2"],
    "KVGame/Content/Paks/KVGame-Core.pak": ["1.0", "1.1", "1.2"],
    "KVGame/Content/Paks/KVGame-DLC1.pak": ["1.0", "1.1", "1.2"],
}
MULTI_ARCHIVE = "karveth-patch-1.0+1.1+1.2-to-1.3"


def load_patch_zip():
    """The command's zip writer, whose records the tests check at the limits of the classic fields."""
    loader_spec = importlib.util.spec_from_file_location("patch_zip", os.path.join(SOURCE, "scripts",
                                                                                   "patch-zip.py"))
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    return module


def info_zip(archive, *options):
    """Info-ZIP's unzip on the archive, in a UTF-8 locale so that it shows names as they are."""
    return subprocess.run(["unzip"] + list(options) + [archive], capture_output=True, text=True,
                          env=dict(os.environ, LC_ALL="C.UTF-8"))


def make_build(folder, files):
    """A game build: files by relative path ('/'), None for an empty folder."""
    for relative, content in files.items():
        path = os.path.join(folder, relative)
        os.makedirs(path if content is None else os.path.dirname(path), exist_ok=True)
        if content is not None:
            with open(path, "wb") as out:
                out.write(content)


def tree(folder):
    """Every file (its bytes) and folder (None) under folder, by relative path."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs:
            found[os.path.relpath(os.path.join(root, name), folder) + "/"] = None
        for name in files:
            with open(os.path.join(root, name), "rb") as source:
                found[os.path.relpath(os.path.join(root, name), folder)] = source.read()
    return found


def run(arguments, env=None, as_user=None, cwd=None, command_path=COMMAND):
    command = ["bash", command_path] + arguments
    if as_user is not None:
        command = ["setpriv", "--reuid=%d" % as_user, "--regid=%d" % as_user, "--clear-groups"] + command
    return subprocess.run(command, capture_output=True, text=True, env=env, cwd=cwd)


def sha256(path):
    with open(path, "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def scratch_checkout(base):
    """A committed checkout of the patch command alone, with the shipping Update.exe in its build
    folder and a dist/ of the test's own: (its make-patch.sh, its dist/, its commit)."""
    root = os.path.join(base, "checkout")
    for relative in ("scripts/make-patch.sh", "scripts/make-patch.py", "scripts/patch-zip.py",
                     "scripts/release/pack-zip.py"):
        os.makedirs(os.path.dirname(os.path.join(root, relative)), exist_ok=True)
        shutil.copy2(os.path.join(SOURCE, relative), os.path.join(root, relative))
    os.makedirs(os.path.join(root, "build", "win32", "bin"))
    shutil.copy2(SHIPPED_UPDATE, os.path.join(root, "build", "win32", "bin", "Update.exe"))
    git = ["git", "-C", root, "-c", "user.name=test", "-c", "user.email=test@localhost"]
    subprocess.run(["git", "init", "--quiet", root], check=True)
    subprocess.run(git + ["add", "scripts"], check=True)
    subprocess.run(git + ["commit", "--quiet", "-m", "the patch command"], check=True)
    commit = subprocess.run(git + ["rev-parse", "HEAD"], check=True, capture_output=True, text=True).stdout
    return os.path.join(root, "scripts", "make-patch.sh"), os.path.join(root, "dist"), commit.strip()


def signed_copy(program):
    """The program's bytes with a certificate table, as Authenticode signing leaves it (the table's
    content is not read)."""
    with open(program, "rb") as source:
        data = bytearray(source.read())
    optional = int.from_bytes(data[0x3C:0x40], "little") + 24
    directories = optional + (112 if data[optional:optional + 2] == b"\x0b\x02" else 96)
    data[directories + 32:directories + 40] = len(data).to_bytes(4, "little") + (8).to_bytes(4, "little")
    return bytes(data) + bytes(8)


class Workspace(unittest.TestCase):
    """Each test, and each case of a table, in a fresh folder with OLD and NEW builds."""

    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="make-patch-")
        self.addCleanup(shutil.rmtree, self.base)
        self.fresh("main")

    def fresh(self, name):
        self.work = os.path.join(self.base, name)
        self.old = os.path.join(self.work, "1.0")
        self.new = os.path.join(self.work, "1.1")
        self.out = os.path.join(self.work, "out")
        make_build(self.old, OLD_BUILD)
        make_build(self.new, NEW_BUILD)

    def make(self, *extra, env=None, as_user=None):
        return run([self.old, self.new, self.out, "--eula", SAMPLE_EULA, "--update", TEST_UPDATE] + list(extra),
                   env=env, as_user=as_user)


class RefusalTest(Workspace):
    """Every refusal names its reason and writes nothing."""

    def write(self, relative, content=b"x", build=None):
        make_build(build or self.new, {relative: content})

    def expect_refusal(self, result, *messages):
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn("make-patch: refused, nothing written:", result.stderr)
        for message in messages:
            self.assertIn(message, result.stderr)
        self.assertEqual(result.stdout, "")
        self.assertFalse(os.path.exists(self.out), "a refusal wrote %s" % self.out)

    def test_refusals(self):
        long_name = "KVGame/Content/" + "L" * (159 - len("KVGame\\Content\\"))
        eula = ["--eula", SAMPLE_EULA]
        allow = ["--allow-removed"]
        # (what, preparation, arguments after OLD NEW OUTDIR --update FILE, messages); "{work}" in an
        # argument is the case's folder.
        cases = [
            ("no licence", None, allow, ["no licence: --eula FILE names the RTF file"]),
            ("licence not RTF", lambda: self.write("eula.txt", b"plain text", self.work),
             ["--eula", "{work}/eula.txt"] + allow, ["is not rich text"]),
            ("not a game folder", lambda: shutil.rmtree(os.path.join(self.new, "KVGame")), eula + allow,
             ["is not a game folder: it has no folder KVGame"]),
            ("nothing differs", lambda: (shutil.rmtree(self.new), shutil.copytree(self.old, self.new)),
             eula + allow, ["nothing to patch: every file of NEW"]),
            ("only removals", lambda: (shutil.rmtree(self.new), shutil.copytree(self.old, self.new),
                                       os.remove(os.path.join(self.new, "Engine/Config/BaseEngine.ini"))),
             eula + allow, ["it only removes files, which Update cannot do"]),
            ("path too long", lambda: self.write(long_name), eula + allow,
             [long_name + ": 159 characters long; in a game folder of 100 characters its path needs 261 units"]),
            ("path too long for a deeper game folder", lambda: self.write(long_name[:-1]),
             eula + allow + ["--max-install-path", "101"],
             ["158 characters long; in a game folder of 101 characters its path needs 261 units"]),
            ("case clash of files", lambda: (self.write("KVGame/Content/Map.pak"),
                                             self.write("KVGame/Content/map.PAK")), eula + allow,
             ["KVGame/Content/Map.pak and KVGame/Content/map.PAK differ only in case"]),
            ("case clash of folders", lambda: self.write("KVGame/content/New.pak"), eula + allow,
             ["KVGame/Content and KVGame/content differ only in case"]),
            ("symbolic link", lambda: os.symlink("/etc/hostname", os.path.join(self.new, "Engine/link.ini")),
             eula + allow, ["Engine/link.ini is a symbolic link"]),
            ("special file", lambda: os.mkfifo(os.path.join(self.new, "Engine/pipe")), eula + allow,
             ["Engine/pipe is a special file"]),
            ("removed files", None, eula, ["lacks 1 file(s) of OLD", "KVGame/Content/Movies/Intro.bk2",
                                           "pass --allow-removed"]),
            ("file becomes a folder", lambda: (os.remove(os.path.join(self.new, "Binaries/Win32/steam_api.dll")),
                                               self.write("Binaries/Win32/steam_api.dll/x")), eula + allow,
             ["Binaries/Win32/steam_api.dll is a file in OLD", "cannot replace a file with a folder"]),
            ("folder becomes a file", lambda: (shutil.rmtree(os.path.join(self.new, "Engine/Config")),
                                               self.write("Engine/Config")), eula + allow,
             ["Engine/Config is a folder in OLD", "cannot replace a folder with a file"]),
            ("not a program", lambda: self.write("fake.exe", b"MZ but no more", self.work),
             eula + allow + ["--update", "{work}/fake.exe"], ["is not a Windows program"]),
            ("archive name", None, eula + allow + ["--to", "1.1 beta"], ["'1.1 beta' cannot name the archive"]),
            ("output inside NEW", lambda: setattr(self, "out", os.path.join(self.new, "dist")), eula + allow,
             ["lies inside NEW"]),
            ("install path out of range", None, eula + allow + ["--max-install-path", "251"],
             ["--max-install-path: 251 is not a path length from 3 (C:\\) to 250"]),
        ]
        for number, (what, prepare, extra, messages) in enumerate(cases):
            with self.subTest(what):
                self.fresh("case-%d" % number)
                if prepare:
                    prepare()
                arguments = [self.old, self.new, self.out, "--update", TEST_UPDATE]
                arguments += [argument.replace("{work}", self.work) for argument in extra]
                self.expect_refusal(run(arguments), *messages)

    def test_names_windows_cannot_hold(self):
        cases = [
            ("NUL", "is the device name NUL, reserved by Windows"),
            ("nul.txt", "is the device name NUL, reserved by Windows"),
            ("Con.tar.gz", "is the device name CON, reserved by Windows"),
            ("aux .log", "is the device name AUX, reserved by Windows"),
            ("prn", "is the device name PRN, reserved by Windows"),
            ("COM1", "is the device name COM1, reserved by Windows"),
            ("com9.ini", "is the device name COM9, reserved by Windows"),
            ("LPT1.dat", "is the device name LPT1, reserved by Windows"),
            ("lpt9", "is the device name LPT9, reserved by Windows"),
            ("conout$", "is the device name CONOUT$, reserved by Windows"),
            ("readme.", "ends with a dot, which Windows drops"),
            ("readme ", "ends with a space, which Windows drops"),
            ("a<b", "holds '<'"), ("a>b", "holds '>'"), ("a:b", "holds ':'"), ('a"b', "holds '\"'"),
            ("a|b", "holds '|'"), ("a?b", "holds '?'"), ("a*b", "holds '*'"), ("a\\b", "holds '\\'"),
            ("tab\there", "holds the control character 0x09"), ("bell\x07", "holds the control character 0x07"),
        ]
        for number, (name, reason) in enumerate(cases):
            # As a file and as a folder on the way to one.
            places = (("file", "KVGame/Content/" + name), ("folder", "KVGame/" + name + "/inner.pak"))
            for kind, relative in places:
                with self.subTest(relative):
                    self.fresh("%s-%d" % (kind, number))
                    self.write(relative)
                    self.expect_refusal(self.make("--allow-removed"), "the name '%s' %s" % (name, reason))
        # Names that come close but are good.
        good = ("COM10.txt", "NULL", "console.ini", "LPT.pak", ".hidden", "Ünïcode Ørbit.pak")
        for number, name in enumerate(good):
            with self.subTest(name):
                self.fresh("good-%d" % number)
                self.write("KVGame/Content/" + name)
                result = self.make("--allow-removed")
                self.assertEqual(result.returncode, 0, result.stderr)

    def test_name_that_is_not_utf8(self):
        with open(os.fsencode(self.new) + b"/KVGame/bad\xff.pak", "wb") as out:
            out.write(b"x")
        self.expect_refusal(self.make("--allow-removed"), "is not valid UTF-8")

    def test_unreadable_file_and_folder(self):
        # Permissions do not hold back root: the command then runs as nobody.
        os.chmod(self.base, 0o755)
        as_user = NOBODY if os.geteuid() == 0 else None
        for relative, message in (("KVGame/Content/Paks/KVGame-DLC1.pak", "cannot read %s: Permission denied"),
                                  ("Engine/Config", "cannot read the folder %s: Permission denied")):
            with self.subTest(relative):
                self.fresh(os.path.basename(relative))
                os.chmod(os.path.join(self.new, relative), 0)
                self.expect_refusal(self.make("--allow-removed", as_user=as_user), message % relative)

    def test_refusals_across_several_earlier_builds(self):
        def releases(names):
            for name in names:
                make_build(os.path.join(self.work, name), RELEASES[name])

        def folder_in(name, relative):
            os.makedirs(os.path.join(self.work, name, relative))

        def file_in(name, relative):
            make_build(os.path.join(self.work, name), {relative: b"x"})

        three = ["{work}/1.0", "{work}/1.1", "{work}/1.2", "{work}/1.3"]
        eula = ["--eula", SAMPLE_EULA]
        # (what, releases made, preparation, arguments after the builds, messages)
        cases = [
            ("removed since the oldest of them", ["1.0", "1.1", "1.2", "1.3"], None, three + ["{out}"] + eula,
             ["NEW {work}/1.3 lacks 1 file(s) of OLD {work}/1.0",
              "NEW {work}/1.3 lacks 1 file(s) of OLD {work}/1.1", "KVGame/Content/Movies/Intro.bk2"]),
            ("a folder in one of them is a file in NEW", ["1.0", "1.1", "1.2", "1.3"],
             lambda: (folder_in("1.1", "KVGame/Content/Paks/KVGame-DLC1.pak"),),
             three + ["{out}", "--allow-removed"] + eula,
             ["KVGame/Content/Paks/KVGame-DLC1.pak is a folder in OLD {work}/1.1 and a file in NEW"]),
            ("a file in one of them is a folder in NEW", ["1.0", "1.1", "1.2", "1.3"],
             lambda: (file_in("1.2", "KVGame/Logs"), folder_in("1.3", "KVGame/Logs/Today")),
             three + ["{out}", "--allow-removed"] + eula,
             ["KVGame/Logs is a file in OLD {work}/1.2 and a folder in NEW"]),
            ("--from not once for each", ["1.0", "1.1", "1.3"], None,
             ["{work}/1.0", "{work}/1.1", "{work}/1.3", "{out}", "--from", "1.0", "--allow-removed"] + eula,
             ["--from: given 1 time(s) for 2 OLD build(s)"]),
            ("one build given twice", ["1.0", "1.3"],
             lambda: os.symlink(os.path.join(self.work, "1.0"), os.path.join(self.work, "latest")),
             ["{work}/1.0", "{work}/latest", "{work}/1.3", "{out}", "--allow-removed"] + eula,
             ["OLD: {work}/latest is given twice"]),
            ("two builds of one name", ["1.0", "1.3"], lambda: make_build(os.path.join(self.work, "b", "1.0"),
                                                                          RELEASES["1.1"]),
             ["{work}/1.0", "{work}/b/1.0", "{work}/1.3", "{out}", "--allow-removed"] + eula,
             ["1.0 names two OLD builds; give each its own with --from"]),
            ("nothing differs from any", ["1.3"], lambda: shutil.copytree(os.path.join(self.work, "1.3"),
                                                                          os.path.join(self.work, "1.3b")),
             ["{work}/1.3", "{work}/1.3b", "{work}/1.3", "{out}", "--from", "a", "--from", "b"] + eula,
             ["nothing to patch: every file of NEW {work}/1.3 is in OLD {work}/1.3 and OLD {work}/1.3b"]),
        ]
        for number, (what, made, prepare, arguments, messages) in enumerate(cases):
            with self.subTest(what):
                self.work = os.path.join(self.base, "case-%d" % number)
                self.out = os.path.join(self.work, "out")
                releases(made)
                if prepare:
                    prepare()
                fill = lambda text: text.replace("{work}", self.work).replace("{out}", self.out)
                self.expect_refusal(run([fill(argument) for argument in arguments] + ["--update", TEST_UPDATE]),
                                    *[fill(message) for message in messages])

    def test_every_problem_is_reported_at_once(self):
        self.write("KVGame/Content/NUL.pak")
        self.write("KVGame/Content/trailing.")
        self.expect_refusal(self.make(), "the name 'NUL.pak'", "the name 'trailing.'",
                            "KVGame/Content/Movies/Intro.bk2")


class ArchiveTest(Workspace):
    """What the archive holds, named and dated as the studio asked."""

    def test_archive_layout_contents_and_sums(self):
        result = self.make("--allow-removed", env=dict(os.environ, SOURCE_DATE_EPOCH="1765000000"))
        self.assertEqual(result.returncode, 0, result.stderr)
        archive = os.path.join(self.out, ARCHIVE + ".zip")
        with zipfile.ZipFile(archive) as patch:
            entries = patch.infolist()
            names = [entry.filename for entry in entries]
            self.assertEqual(names, sorted(
                [ARCHIVE + "/" + name for name in ("Update.exe", "EULA.rtf", "PATCH-CONTENTS.txt")] +
                [ARCHIVE + "/Patch/" + name for name in PATCH_FILES + ["KVGame/Saved/"]]))
            for entry in entries:
                self.assertEqual(entry.date_time, time.gmtime(1765000000)[:6], entry.filename)
                self.assertEqual(entry.external_attr >> 16, 0o40755 if entry.is_dir() else 0o100644)
            for name in PATCH_FILES:
                self.assertEqual(patch.read(ARCHIVE + "/Patch/" + name), NEW_BUILD[name], name)
            with open(TEST_UPDATE, "rb") as update, open(SAMPLE_EULA, "rb") as eula:
                self.assertEqual(patch.read(ARCHIVE + "/Update.exe"), update.read())
                self.assertEqual(patch.read(ARCHIVE + "/EULA.rtf"), eula.read())
            contents = patch.read(ARCHIVE + "/PATCH-CONTENTS.txt").decode("utf-8")
        self.assertIn("\r\n", contents)
        lines = contents.split("\r\n")
        for name in PATCH_FILES:
            content = NEW_BUILD[name]
            self.assertIn("%s  %12d  %s" % (hashlib.sha256(content).hexdigest(), len(content),
                                            name.replace("/", "\\")), lines)
        self.assertIn("%s  %12d  Update.exe" % (sha256(TEST_UPDATE), os.path.getsize(TEST_UPDATE)), lines)
        removed = lines.index("Removed in 1.1, but left in place by this patch: Update never deletes game "
                              "files (1):")
        self.assertEqual(lines[removed + 1], "  KVGame\\Content\\Movies\\Intro.bk2")
        for name in ["Binaries/Win32/steam_api.dll", "Engine/Config/BaseEngine.ini"]:
            self.assertNotIn(name.replace("/", "\\"), contents)
        with open(os.path.join(self.out, "SHA256SUMS")) as sums:
            self.assertEqual(sums.read(), "%s  %s.zip\n" % (sha256(archive), ARCHIVE))
        self.assertIn("Wrote %s (%d bytes)" % (archive, os.path.getsize(archive)), result.stdout)
        self.assertIn("  removed  KVGame/Content/Movies/Intro.bk2 (left in place on the players' disks)",
                      result.stdout)

    def test_shipping_update_by_default_and_names_from_options(self):
        self.assertTrue(os.path.isfile(SHIPPED_UPDATE), "the win32 preset is not built")
        command, _, _ = scratch_checkout(self.base)
        result = run([self.old, self.new, self.out, "--eula", SAMPLE_EULA, "--allow-removed",
                      "--from", "1.0.3", "--to", "1.1.0-rc2"], command_path=command)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("the shipping build's, unsigned: dist/ holds no release of this commit (32-bit, i386)",
                      result.stdout)
        name = "karveth-patch-1.0.3-to-1.1.0-rc2"
        with zipfile.ZipFile(os.path.join(self.out, name + ".zip")) as patch, open(SHIPPED_UPDATE, "rb") as update:
            self.assertEqual(patch.read(name + "/Update.exe"), update.read())

    def test_update_from_the_release_of_this_commit(self):
        """Without --update, the Update.exe of dist/'s release of the checkout's commit, signed or not;
        a release of another commit is passed over, and --update always wins."""
        with open(TEST_UPDATE, "rb") as program:
            unsigned = program.read()
        signed = signed_copy(TEST_UPDATE)
        release = "karveth-tools-9.9.9-win32.zip"
        shipping = "the shipping build's, unsigned: dist/ holds no release of this commit"
        cases = [
            ("signed release of this commit", "this", signed, [],
             signed, "Update/Update.exe of dist/%s, the release of this commit, signed" % release),
            ("unsigned release of this commit", "this", unsigned, [],
             unsigned, "Update/Update.exe of dist/%s, the release of this commit, unsigned" % release),
            ("release of another commit", "other", signed, [], None, shipping),
            ("--update given", "this", signed, ["--update", TEST_UPDATE], unsigned, TEST_UPDATE),
        ]
        for what, made_from, packed, options, expected, origin in cases:
            with self.subTest(what):
                self.fresh(what.replace(" ", "-"))
                command, dist, commit = scratch_checkout(self.work)
                os.makedirs(dist)
                named = commit if made_from == "this" else "0" * 40
                with zipfile.ZipFile(os.path.join(dist, release), "w") as archive:
                    archive.writestr(zipfile.ZipInfo("README.txt", (2026, 3, 1, 12, 0, 0)),
                                     "Karveth tools 9.9.9\n===================\n\nMade from commit %s.\n" % named)
                    archive.writestr(zipfile.ZipInfo("Update/Update.exe", (2026, 3, 1, 12, 0, 0)), packed)
                result = run([self.old, self.new, self.out, "--eula", SAMPLE_EULA, "--allow-removed"] + options,
                             command_path=command)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertRegex(result.stdout, r"\nUpdate.exe: (\S*, )?%s \(" % re.escape(origin))
                if expected is None:
                    with open(SHIPPED_UPDATE, "rb") as program:
                        expected = program.read()
                with zipfile.ZipFile(os.path.join(self.out, ARCHIVE + ".zip")) as patch:
                    self.assertEqual(patch.read(ARCHIVE + "/Update.exe"), expected)

    def test_longest_path_that_fits(self):
        fits = "KVGame/Content/" + "L" * (158 - len("KVGame\\Content\\"))
        make_build(self.new, {fits: b"fits"})
        result = self.make("--allow-removed")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Longest path in the game folder: 158 characters; fits game folders of up to 100 "
                      "characters", result.stdout)
        self.assertEqual(self.make("--allow-removed", "--max-install-path", "101").returncode, 1)

    def test_name_changed_only_in_case_is_the_same_file(self):
        os.rename(os.path.join(self.new, "Binaries/Win32/steam_api.dll"),
                  os.path.join(self.new, "Binaries/Win32/Steam_API.dll"))
        result = self.make("--allow-removed")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("steam_api.dll (left in place", result.stdout)
        self.assertIn("note: Binaries/Win32/Steam_API.dll is Binaries/Win32/steam_api.dll in OLD", result.stdout)

    def test_two_patches_share_one_sums_file(self):
        self.assertEqual(self.make("--allow-removed").returncode, 0)
        self.assertEqual(self.make("--allow-removed", "--to", "1.1-hotfix").returncode, 0)
        with open(os.path.join(self.out, "SHA256SUMS")) as sums:
            self.assertEqual([line.split("  ")[1] for line in sums.read().splitlines()],
                             ["karveth-patch-1.0-to-1.1-hotfix.zip", "karveth-patch-1.0-to-1.1.zip"])


class SeveralReleasesTest(unittest.TestCase):
    """One patch for every earlier release: the files that differ in any, and which releases each changes."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="make-patch-releases-")
        self.addCleanup(shutil.rmtree, self.work)
        for name, files in RELEASES.items():
            make_build(os.path.join(self.work, name), files)
        self.builds = [os.path.join(self.work, name) for name in RELEASES]
        self.out = os.path.join(self.work, "out")

    def test_one_patch_for_three_earlier_builds(self):
        result = run(self.builds + [self.out, "--eula", SAMPLE_EULA, "--update", TEST_UPDATE, "--allow-removed"])
        self.assertEqual(result.returncode, 0, result.stderr)
        archive = os.path.join(self.out, MULTI_ARCHIVE + ".zip")
        new = RELEASES["1.3"]
        with zipfile.ZipFile(archive) as patch:
            self.assertEqual(patch.namelist(), sorted(
                [MULTI_ARCHIVE + "/" + name for name in ("Update.exe", "EULA.rtf", "PATCH-CONTENTS.txt")] +
                [MULTI_ARCHIVE + "/Patch/" + name for name in list(RELEASE_CHANGES) + ["KVGame/Saved/"]]))
            for name in RELEASE_CHANGES:
                self.assertEqual(patch.read(MULTI_ARCHIVE + "/Patch/" + name), new[name], name)
            lines = patch.read(MULTI_ARCHIVE + "/PATCH-CONTENTS.txt").decode("utf-8").split("\r\n")
        total = sum(len(new[name]) for name in RELEASE_CHANGES if new[name] is not None)
        self.assertEqual(lines[0], "Karveth patch 1.0, 1.1, 1.2 to 1.3")
        files = lines.index("Files under Patch\\, copied into the game folder (6, %d bytes), with the earlier "
                            "releases each one changes (SHA-256, size in bytes, releases, name):" % total)
        expected = ["%s  %12d  %s  %s" % (hashlib.sha256(new[name]).hexdigest(), len(new[name]),
                                          " ".join(release if release in changes else "---"
                                                   for release in ("1.0", "1.1", "1.2")), name.replace("/", "\\"))
                    for name, changes in sorted(RELEASE_CHANGES.items(), key=lambda item: item[0].replace("/", "\\"))]
        self.assertEqual(lines[files + 1:files + 1 + len(expected)], expected)
        removed = lines.index("Removed in 1.3, but left in place by this patch: Update never deletes game files (1):")
        self.assertEqual(lines[removed + 1], "  1.0 1.1 ---  KVGame\\Content\\Movies\\Intro.bk2")

        out = result.stdout.splitlines()
        self.assertEqual(out[0], "Patch 1.0, 1.1, 1.2 to 1.3: 6 file(s) to copy, %d bytes" % total)
        for line in ("  changed  Binaries/Win32/Karveth.exe (14 bytes; for 1.0, 1.1, 1.2)",
                     "  changed  KVGame/Config/DefaultGame.ini (21 bytes; for 1.0, 1.1)",
                     "  new      KVGame/Content/Maps/Harbour District/Harbour.umap (7 bytes; for 1.0)",
                     "  new      KVGame/Content/Paks/KVGame-DLC1.pak (7 bytes; for 1.0, 1.1, 1.2)",
                     "  removed  KVGame/Content/Movies/Intro.bk2 (of 1.0, 1.1; left in place on the players' disks)"):
            self.assertIn(line, out)

    def test_names_from_options_one_for_each(self):
        result = run(self.builds + [self.out, "--eula", SAMPLE_EULA, "--update", TEST_UPDATE, "--allow-removed",
                                    "--from", "1.0.0", "--from", "1.1.0", "--from", "1.2.0", "--to", "1.3.0"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(self.out)), ["SHA256SUMS", "karveth-patch-1.0.0+1.1.0+1.2.0-to-1.3.0.zip"])

    def test_an_earlier_build_equal_to_the_new_one_adds_nothing(self):
        shutil.copytree(self.builds[3], os.path.join(self.work, "1.3-copy"))
        result = run([self.builds[0], os.path.join(self.work, "1.3-copy"), self.builds[3], self.out, "--eula",
                      SAMPLE_EULA, "--update", TEST_UPDATE, "--allow-removed", "--from", "1.0", "--from", "1.3"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("  changed  Binaries/Win32/Karveth.exe (14 bytes; for 1.0)", result.stdout.splitlines())


class InfoZipTest(Workspace):
    """The archive as Info-ZIP's unzip, a reader of its own, sees it."""

    def test_unzip_tests_and_lists_the_archive(self):
        added = {"KVGame/Content/Maps/K\u00f8benhavn/Havn.umap": b"havn", "KVGame/Content/\u6771\u4eac.pak": b"tokyo"}
        make_build(self.new, added)
        result = self.make("--allow-removed")
        self.assertEqual(result.returncode, 0, result.stderr)
        archive = os.path.join(self.out, ARCHIVE + ".zip")
        tested = info_zip(archive, "-t")
        self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)
        self.assertIn("No errors detected in compressed data of %s." % archive, tested.stdout)
        listing = info_zip(archive, "-Z1")
        self.assertEqual(listing.stdout.splitlines(), sorted(
            [ARCHIVE + "/" + name for name in ("Update.exe", "EULA.rtf", "PATCH-CONTENTS.txt")] +
            [ARCHIVE + "/Patch/" + name for name in PATCH_FILES + list(added) + ["KVGame/Saved/"]]))
        with zipfile.ZipFile(archive) as patch:
            for entry in patch.infolist():
                self.assertEqual(bool(entry.flag_bits & 0x800), not entry.filename.isascii(), entry.filename)
                self.assertEqual(entry.extra, b"", "a ZIP64 record where no value needs one: " + entry.filename)
        with open(archive, "rb") as data:
            data.seek(-42, os.SEEK_END)
            end = data.read()
        self.assertEqual(end[20:24], b"PK\x05\x06", "the archive ends with the classic record")
        self.assertNotEqual(end[:4], b"PK\x06\x07", "a ZIP64 locator where no value needs one")

    def test_stored_or_deflated(self):
        rng = random.Random(21)
        noise = rng.randbytes(20000)

        def deflated_size(content):
            compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
            return len(compressor.compress(content) + compressor.flush())

        # Deflate must save a twentieth: noise and zeros that deflate to exactly nineteen twentieths,
        # and one zero less, which does not.
        length, zeros = next((length, count) for length in range(19990, 20010) for count in range(900, 1400)
                             if deflated_size(noise[:length] + bytes(count)) * 20 == (length + count) * 19)
        noise = noise[:length]
        self.assertGreater(deflated_size(noise + bytes(zeros - 1)) * 20, (length + zeros - 1) * 19)
        text = b"[Game]\r\nVersion=1.1\r\n" * 4000
        # A text larger than the blocks deflated side by side, so that its blocks are joined.
        long_text = b"".join(b"Line %d of the harbour district\r\n" % number for number in range(400000))
        self.assertGreater(len(long_text), 3 * 4 << 20)
        cases = {"KVGame/Content/Noise.pak": (noise, zipfile.ZIP_STORED),
                 "KVGame/Content/Empty.pak": (b"", zipfile.ZIP_STORED),
                 "KVGame/Content/Text.ini": (text, zipfile.ZIP_DEFLATED),
                 "KVGame/Content/Long.txt": (long_text, zipfile.ZIP_DEFLATED),
                 "KVGame/Content/JustSaves.pak": (noise + bytes(zeros), zipfile.ZIP_DEFLATED),
                 "KVGame/Content/AlmostSaves.pak": (noise + bytes(zeros - 1), zipfile.ZIP_STORED)}
        make_build(self.new, {name: content for name, (content, _) in cases.items()})
        result = self.make("--allow-removed")
        self.assertEqual(result.returncode, 0, result.stderr)
        archive = os.path.join(self.out, ARCHIVE + ".zip")
        with zipfile.ZipFile(archive) as patch:
            for name, (content, method) in cases.items():
                entry = patch.getinfo(ARCHIVE + "/Patch/" + name)
                self.assertEqual(entry.compress_type, method, name)
                self.assertEqual(patch.read(entry), content, name)
                if method == zipfile.ZIP_STORED:
                    self.assertEqual(entry.compress_size, len(content), name)
            headers = sum(30 + 46 + 2 * len(entry.filename.encode()) for entry in patch.infolist()) + 22
            packed = sum(entry.file_size for entry in patch.infolist())
        self.assertLessEqual(os.path.getsize(archive), packed + headers)
        self.assertEqual(info_zip(archive, "-tq").returncode, 0)
        # Hashed as it was written, also where a header was rewritten after its data.
        with open(os.path.join(self.out, "SHA256SUMS")) as sums:
            self.assertEqual(sums.read(), "%s  %s.zip\n" % (sha256(archive), ARCHIVE))


class ZipWriterTest(unittest.TestCase):
    """The zip writer's records at the limits of the classic fields, and an entry whose first block
    promised more than the whole kept."""

    DATE = (2025, 12, 6, 5, 46, 40)

    def setUp(self):
        self.zip = load_patch_zip()

    def test_local_header_takes_zip64_for_a_size_that_does_not_fit(self):
        for size, zip64 in ((0xFFFFFFFE, False), (0xFFFFFFFF, True), (5 << 30, True)):
            with self.subTest(size=size):
                header = self.zip.local_header(b"a", 0, 0, self.DATE, 0x12345678, size, size)
                fields = struct.unpack_from("<IHHHHHIIIHH", header)
                if zip64:
                    self.assertEqual((fields[1], fields[7], fields[8], fields[10]), (45, 0xFFFFFFFF, 0xFFFFFFFF, 20))
                    self.assertEqual(struct.unpack("<HHQQ", header[31:]), (1, 16, size, size))
                else:
                    self.assertEqual((fields[1], fields[7], fields[8], fields[10]), (20, size, size, 0))
                    self.assertEqual(len(header), 31)
                self.assertEqual(fields[6], 0x12345678)

    def test_central_header_holds_just_the_values_that_do_not_fit(self):
        limit = 0xFFFFFFFF
        # (size, compressed size, offset, the values in the ZIP64 record)
        cases = [(limit - 1, limit - 1, limit - 1, []), (limit, 100, 0, [limit]), (10, 10, limit, [limit]),
                 (limit, limit, limit, [limit, limit, limit]), (6 << 30, 5 << 30, 7 << 30, [6 << 30, 5 << 30, 7 << 30])]
        for size, compressed, offset, large in cases:
            with self.subTest(size=size, compressed=compressed, offset=offset):
                record = (b"a", 0, 8, self.DATE, 1, compressed, size, 0o100644 << 16, offset)
                header = self.zip.central_header(record, 3)
                fields = struct.unpack_from("<IHHHHHHIIIHHHHHII", header)
                self.assertEqual(fields[1:3], ((3 << 8) | (45 if large else 20), 45 if large else 20))
                self.assertEqual((fields[8], fields[9], fields[16]),
                                 (min(compressed, limit), min(size, limit), min(offset, limit)))
                extra = header[47:]
                self.assertEqual(fields[11], len(extra))
                if large:
                    self.assertEqual(struct.unpack("<HH%dQ" % len(large), extra), (1, 8 * len(large), *large))
                else:
                    self.assertEqual(extra, b"")

    def test_end_takes_zip64_for_a_count_offset_or_size_that_does_not_fit(self):
        # (entries, directory offset, directory size, ZIP64)
        cases = [(0xFFFE, 0xFFFFFFFE, 0xFFFFFFFE, False), (0xFFFF, 0, 0, True), (1, 0xFFFFFFFF, 10, True),
                 (1, 10, 0xFFFFFFFF, True), (70000, 5 << 30, 100, True)]
        for count, offset, size, zip64 in cases:
            with self.subTest(count=count, offset=offset, size=size):
                records = self.zip.end_records(count, offset, size, 3)
                classic = struct.unpack("<IHHHHIIH", records[-22:])
                self.assertEqual(classic, (0x06054B50, 0, 0, min(count, 0xFFFF), min(count, 0xFFFF),
                                           min(size, 0xFFFFFFFF), min(offset, 0xFFFFFFFF), 0))
                if zip64:
                    self.assertEqual(len(records), 56 + 20 + 22)
                    self.assertEqual(struct.unpack("<IQHHIIQQQQ", records[:56]),
                                     (0x06064B50, 44, (3 << 8) | 45, 45, 0, 0, count, count, size, offset))
                    self.assertEqual(struct.unpack("<IIQI", records[56:76]), (0x07064B50, 0, offset + size, 1))
                else:
                    self.assertEqual(len(records), 22)

    def test_readers_find_every_entry_on_both_sides_of_the_count_limit(self):
        work = tempfile.mkdtemp(prefix="make-patch-count-")
        self.addCleanup(shutil.rmtree, work)
        for count, zip64 in ((0xFFFE, False), (0xFFFF, True)):
            with self.subTest(count=count):
                archive = os.path.join(work, "%d.zip" % count)
                writer = self.zip.ZipWriter(archive, None, 3)
                for number in range(count):
                    writer.folder("f%05d/" % number, self.DATE, (0o40755 << 16) | 0x10)
                writer.close()
                with open(archive, "rb") as data:
                    self.assertEqual(b"PK\x06\x06" in data.read(), zip64)
                with zipfile.ZipFile(archive) as written:
                    self.assertEqual(len(written.infolist()), count)
                listing = info_zip(archive, "-Zt")
                self.assertEqual(listing.returncode, 0, listing.stdout + listing.stderr)
                self.assertTrue(listing.stdout.startswith("%d files, 0 bytes uncompressed" % count), listing.stdout)

    def test_a_file_that_changed_since_it_was_hashed_is_reported(self):
        self.zip.BLOCK = 64 * 1024
        rng = random.Random(5)
        work = tempfile.mkdtemp(prefix="make-patch-changed-")
        self.addCleanup(shutil.rmtree, work)
        # One block and several, stored and deflated; the file as hashed had another CRC or size.
        contents = {"one block, stored": rng.randbytes(1000), "one block, deflated": bytes(1000),
                    "blocks, stored": rng.randbytes(3 * self.zip.BLOCK + 5),
                    "blocks, deflated": bytes(3 * self.zip.BLOCK + 5)}
        for what, content in contents.items():
            source = os.path.join(work, "source")
            with open(source, "wb") as out:
                out.write(content)
            crc = zlib.crc32(content)
            for case, size, expected_crc, matches in (("as hashed", len(content), crc, True),
                                                      ("other CRC", len(content), crc ^ 1, False),
                                                      ("was longer", len(content) + 1, crc, False),
                                                      ("was shorter", len(content) - 1, crc, False)):
                with self.subTest(what=what, case=case), concurrent.futures.ThreadPoolExecutor(2) as executor:
                    writer = self.zip.ZipWriter(os.path.join(work, "out.zip"), executor, 3)
                    self.assertEqual(writer.file("f", self.DATE, 0, source, size, expected_crc), matches)
                    writer.abandon()

    def test_entries_across_the_write_buffers(self):
        # Entries larger than the buffers the archive is written from, starting anywhere in them: one
        # deflated (its header rewritten and its bytes hashed back from the file), one stored.
        rng = random.Random(3)
        work = tempfile.mkdtemp(prefix="make-patch-buffers-")
        self.addCleanup(shutil.rmtree, work)
        half_random = bytes(rng.choice(b"0123456789abcdef") for _ in range(1 << 20)) * 40
        noise = rng.randbytes(20 << 20)
        self.assertGreater(len(zlib.compress(half_random)), 2 * self.zip.Output.STAGE)
        files = {}
        for name, content in (("half.pak", half_random), ("noise.pak", noise)):
            files[name] = os.path.join(work, name)
            with open(files[name], "wb") as out:
                out.write(content)
        archive = os.path.join(work, "out.zip")
        with concurrent.futures.ThreadPoolExecutor(2) as executor:
            writer = self.zip.ZipWriter(archive, executor, 3)
            writer.data("first.txt", self.DATE, 0o100644 << 16, b"first" * 77)
            for name, content in (("half.pak", half_random), ("noise.pak", noise)):
                self.assertTrue(writer.file(name, self.DATE, 0o100644 << 16, files[name], len(content),
                                            zlib.crc32(content)))
            writer.data("last.txt", self.DATE, 0o100644 << 16, b"last" * 3)
            archive_sha, archive_size = writer.close()
        self.assertEqual((archive_sha, archive_size), (sha256(archive), os.path.getsize(archive)))
        with zipfile.ZipFile(archive) as written:
            self.assertEqual([(entry.filename, entry.compress_type) for entry in written.infolist()],
                             [("first.txt", zipfile.ZIP_DEFLATED), ("half.pak", zipfile.ZIP_DEFLATED),
                              ("noise.pak", zipfile.ZIP_STORED), ("last.txt", zipfile.ZIP_DEFLATED)])
            self.assertEqual(written.read("half.pak"), half_random)
            self.assertEqual(written.read("noise.pak"), noise)
            self.assertEqual(written.read("last.txt"), b"last" * 3)
        self.assertEqual(info_zip(archive, "-tq").returncode, 0)

    def test_an_entry_deflate_would_not_shrink_after_all_is_stored(self):
        # Blocks of 64 KiB: the first saves a twentieth, the rest is noise whose deflate blocks each
        # add a few bytes, more than the first saved.
        self.zip.BLOCK = 64 * 1024
        rng = random.Random(7)
        content = rng.randbytes(61000) + bytes(self.zip.BLOCK - 61000) + rng.randbytes(1000 * self.zip.BLOCK)
        work = tempfile.mkdtemp(prefix="make-patch-stored-")
        self.addCleanup(shutil.rmtree, work)
        source = os.path.join(work, "noise.pak")
        with open(source, "wb") as out:
            out.write(content)
        block = self.zip.BLOCK
        self.assertTrue(self.zip.is_worth_deflating(block, len(self.zip.deflate_block(content[:block], None, False))),
                        "the first block does not promise a saving")
        archive = os.path.join(work, "noise.zip")
        with concurrent.futures.ThreadPoolExecutor(2) as executor:
            writer = self.zip.ZipWriter(archive, executor, 3)
            self.assertTrue(writer.file("noise.pak", self.DATE, 0o100644 << 16, source, len(content),
                                        zlib.crc32(content)))
            archive_sha, archive_size = writer.close()
        with open(archive, "rb") as written:
            self.assertEqual((archive_sha, archive_size), (hashlib.sha256(written.read()).hexdigest(),
                                                           os.path.getsize(archive)))
        with zipfile.ZipFile(archive) as written:
            entry = written.getinfo("noise.pak")
            self.assertEqual((entry.compress_type, entry.compress_size), (zipfile.ZIP_STORED, len(content)))
            self.assertEqual(written.read(entry), content)
        self.assertEqual(os.path.getsize(archive), len(content) + 30 + 46 + 2 * len("noise.pak") + 22)
        self.assertEqual(info_zip(archive, "-tq").returncode, 0)


def both_of(total):
    """A count done of its total, as the progress line shows it: in the largest unit the total reaches."""
    for unit, scale in (("GB", 10**9), ("MB", 10**6), ("kB", 10**3)):
        if total >= scale:
            return "%.2f/%.2f %s" % (total / scale, total / scale, unit)
    return "%d/%d B" % (total, total)


class ProgressTest(Workspace):
    """A line per phase in a log; on a terminal one line, rewritten, that ends with every byte counted."""

    def test_a_line_per_phase_in_a_log(self):
        result = self.make("--allow-removed")
        self.assertEqual(result.returncode, 0, result.stderr)
        archive = os.path.join(self.out, ARCHIVE + ".zip")
        hashed = sum(len(content) for content in NEW_BUILD.values() if content is not None)
        hashed += sum(len(OLD_BUILD[name]) for name, content in NEW_BUILD.items()
                      if name in OLD_BUILD and len(OLD_BUILD[name]) == len(content))
        files = sum(1 for content in NEW_BUILD.values() if content is not None)
        files += sum(1 for name, content in NEW_BUILD.items() if name in OLD_BUILD and len(OLD_BUILD[name]) == len(content))
        packed = sum(len(NEW_BUILD[name]) for name in PATCH_FILES)
        self.assertEqual(result.stderr.splitlines(), [
            "make-patch: reading the folders of 2 build(s)",
            "make-patch: comparing 1 build(s) with NEW %s: hashing %d bytes in %d files" % (self.new, hashed, files),
            "make-patch: packing %d bytes in %d file(s) into %s" % (packed, len(PATCH_FILES), archive)])

    def test_one_updating_line_on_a_terminal(self):
        leader, follower = os.openpty()
        command = ["bash", COMMAND, self.old, self.new, self.out, "--eula", SAMPLE_EULA, "--update", TEST_UPDATE,
                   "--allow-removed"]
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=follower)
        os.close(follower)
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 65536)
            except OSError:  # the terminal closed with the last writer
                break
            if not chunk:
                break
            shown += chunk
        os.close(leader)
        process.stdout.read()
        process.stdout.close()
        self.assertEqual(process.wait(), 0)
        text = shown.decode("utf-8")
        self.assertTrue(text.startswith("\rmake-patch: reading"), text)
        self.assertTrue(text.endswith("\r\n"), text)
        self.assertEqual(text.count("\n"), 1, "more than one line: " + text)
        archive = os.path.join(self.out, ARCHIVE + ".zip")
        with zipfile.ZipFile(archive) as patch:
            packed = sum(entry.file_size for entry in patch.infolist())
        hashed = sum(len(content) for content in NEW_BUILD.values() if content is not None)
        hashed += sum(len(OLD_BUILD[name]) for name, content in NEW_BUILD.items()
                      if name in OLD_BUILD and len(OLD_BUILD[name]) == len(content))
        self.assertEqual(text[:-2].split("\r")[-1].rstrip(), "make-patch: packing, hashed %s, packed %s"
                         % (both_of(hashed), both_of(packed)))


class ReproducibleTest(unittest.TestCase):
    """The same builds give the same bytes, wherever and whenever the command runs."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="make-patch-same-")
        self.addCleanup(shutil.rmtree, self.work)

    def run_in(self, place, settings, umask=0o022):
        environment = {name: value for name, value in os.environ.items() if name != "SOURCE_DATE_EPOCH"}
        environment.update(settings)
        old = os.path.join(place, "1.0")
        new = os.path.join(place, "1.1")
        out = os.path.join(place, "out")
        previous = os.umask(umask)
        try:
            result = run([old, new, out, "--eula", os.path.join(place, "EULA.rtf"), "--update",
                          os.path.join(place, "Update.exe"), "--allow-removed"], env=environment)
        finally:
            os.umask(previous)
        self.assertEqual(result.returncode, 0, result.stderr)
        return tree(out)

    def test_two_places_two_time_zones(self):
        first = os.path.join(self.work, "one")
        make_build(os.path.join(first, "1.0"), OLD_BUILD)
        make_build(os.path.join(first, "1.1"), NEW_BUILD)
        shutil.copy2(SAMPLE_EULA, os.path.join(first, "EULA.rtf"))
        shutil.copy2(TEST_UPDATE, os.path.join(first, "Update.exe"))
        # Copies keep the files' times, so the newest of them dates both archives.
        second = os.path.join(self.work, "a second place", "somewhat", "deeper")
        shutil.copytree(first, second, copy_function=shutil.copy2)
        one = self.run_in(first, {"TZ": "UTC"})
        two = self.run_in(second, {"TZ": "Pacific/Kiritimati"}, umask=0o077)
        self.assertEqual(one, two)
        with zipfile.ZipFile(os.path.join(first, "out", ARCHIVE + ".zip")) as patch:
            newest = max(os.stat(os.path.join(first, "1.1", name)).st_mtime for name in PATCH_FILES)
            # Zip times count in steps of two seconds.
            self.assertEqual(patch.infolist()[0].date_time, time.gmtime(int(newest) // 2 * 2)[:6])

        # With SOURCE_DATE_EPOCH the files' times do not matter.
        for place, stamp in ((first, 1000000000), (second, 1700000000)):
            for root, _, files in os.walk(place):
                for name in files:
                    os.utime(os.path.join(root, name), (stamp, stamp))
        epoch = {"SOURCE_DATE_EPOCH": "1765000000"}
        self.assertEqual(self.run_in(first, dict(epoch, TZ="America/St_Johns")),
                         self.run_in(second, dict(epoch, TZ="Asia/Kathmandu")))


class EndToEndTest(Workspace):
    """The archive unpacked under the Wine prefix, its Update.exe run by a player on the installed game."""

    def apply(self, archive, old, place):
        """Unpacks the archive into a fresh folder on drive C:, installs OLD there as the game and runs
        the archive's Update.exe like a player; returns the game folder and the unpacked one."""
        program = os.environ["KARVETH_PATCH_ARCHIVE_TESTS"]
        prefix = os.environ[os.environ.get("KARVETH_WINEPREFIX_VARIABLE", "WINEPREFIX")]
        place = "karveth-patch-test-%d-%s" % (os.getpid(), place)
        root = os.path.join(prefix, "drive_c", place)
        shutil.rmtree(root, ignore_errors=True)
        self.addCleanup(shutil.rmtree, root, True)
        folder = os.path.basename(archive)[:-len(".zip")]
        with zipfile.ZipFile(archive) as patch:
            patch.extractall(os.path.join(root, "Downloads"))
        game = os.path.join(root, "Games", "Karveth")
        shutil.copytree(old, game)

        windows_root = "C:\\" + place
        wine = os.environ.get("KARVETH_WINE_COMMAND", "wine")
        player = subprocess.run([wine, program, windows_root + "\\Downloads\\" + folder,
                                 windows_root + "\\Games\\Karveth"], capture_output=True, text=True, timeout=500)
        print(player.stdout[-4000:], player.stderr[-2000:])
        self.assertEqual(player.returncode, 0, "Update.exe was not driven as expected")
        return game, os.path.join(root, "Downloads", folder)

    def assert_patched(self, game, unpacked, old, new):
        """The game folder holds the new build, plus the files it removed, which stay as they were;
        the Patch folder beside Update.exe is empty."""
        expected = tree(old)
        expected.update(tree(new))
        actual = tree(game)
        self.assertEqual(sorted(actual), sorted(expected))
        for name, content in expected.items():
            self.assertEqual(actual[name], content, name)
        self.assertTrue(os.path.isdir(os.path.join(unpacked, "Patch")), "the Patch folder itself stays")
        self.assertEqual(os.listdir(os.path.join(unpacked, "Patch")), [], "the Patch folder is emptied")

    def test_update_from_the_archive_brings_the_game_to_the_new_build(self):
        result = run([self.old, self.new, self.out, "--eula", SAMPLE_EULA, "--update", TEST_UPDATE,
                      "--allow-removed"])
        self.assertEqual(result.returncode, 0, result.stderr)
        print(result.stdout)
        game, unpacked = self.apply(os.path.join(self.out, ARCHIVE + ".zip"), self.old, "one")
        self.assert_patched(game, unpacked, self.old, self.new)
        self.assertTrue(filecmp.cmp(os.path.join(game, "KVGame/Content/Movies/Intro.bk2"),
                                    os.path.join(self.old, "KVGame/Content/Movies/Intro.bk2"), shallow=False))

    def test_one_archive_brings_each_of_three_earlier_builds_to_the_new_one(self):
        builds = {}
        for name, files in RELEASES.items():
            builds[name] = os.path.join(self.work, "releases", name)
            make_build(builds[name], files)
        result = run([builds["1.0"], builds["1.1"], builds["1.2"], builds["1.3"], self.out, "--eula", SAMPLE_EULA,
                      "--update", TEST_UPDATE, "--allow-removed"])
        self.assertEqual(result.returncode, 0, result.stderr)
        print(result.stdout)
        for name in ("1.0", "1.1", "1.2"):
            with self.subTest(name):
                game, unpacked = self.apply(os.path.join(self.out, MULTI_ARCHIVE + ".zip"), builds[name], name)
                self.assert_patched(game, unpacked, builds[name], builds["1.3"])
                self.assertEqual(os.path.exists(os.path.join(game, "KVGame/Content/Movies/Intro.bk2")),
                                 name != "1.2", "the movie stays where it was, and only there")


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
