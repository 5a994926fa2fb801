#!/usr/bin/python3
"""The patch command, scripts/make-patch.sh, run as a studio runs it on two small game builds:
its refusals (each with its message, and nothing written), the archive it writes, its bytes from two
places and time zones, and the archive applied by the real Update.exe under Wine.

Environment (set by CTest):
  KARVETH_SOURCE                the checkout whose scripts/make-patch.sh is run
  KARVETH_TEST_UPDATE           an Update.exe that runs under the Wine the tests run in
  KARVETH_PATCH_ARCHIVE_TESTS   patch_archive_tests.exe, which runs Update.exe like a player
  KARVETH_WINE_COMMAND          what runs it (default: wine)
  KARVETH_WINEPREFIX_VARIABLE   the variable naming the Wine prefix it runs in, whose drive C: gets
                                the game and the patch (default: WINEPREFIX)
usage: make-patch-tests.py [TestClass ...]
"""
import filecmp
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

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
    for relative in ("scripts/make-patch.sh", "scripts/make-patch.py", "scripts/release/pack-zip.py"):
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

    def test_update_from_the_archive_brings_the_game_to_the_new_build(self):
        program = os.environ["KARVETH_PATCH_ARCHIVE_TESTS"]
        prefix = os.environ[os.environ.get("KARVETH_WINEPREFIX_VARIABLE", "WINEPREFIX")]
        drive_c = os.path.join(prefix, "drive_c")
        place = "karveth-patch-test-%d" % os.getpid()
        root = os.path.join(drive_c, place)
        shutil.rmtree(root, ignore_errors=True)
        self.addCleanup(shutil.rmtree, root, True)
        result = run([self.old, self.new, self.out, "--eula", SAMPLE_EULA, "--update", TEST_UPDATE,
                      "--allow-removed"])
        self.assertEqual(result.returncode, 0, result.stderr)
        print(result.stdout)

        with zipfile.ZipFile(os.path.join(self.out, ARCHIVE + ".zip")) as patch:
            patch.extractall(os.path.join(root, "Downloads"))
        game = os.path.join(root, "Games", "Karveth")
        shutil.copytree(self.old, game)

        windows_root = "C:\\" + place
        unpacked_folder = windows_root + "\\Downloads\\" + ARCHIVE
        game_folder = windows_root + "\\Games\\Karveth"
        wine = os.environ.get("KARVETH_WINE_COMMAND", "wine")
        player = subprocess.run([wine, program, unpacked_folder, game_folder], capture_output=True, text=True,
                                timeout=500)
        print(player.stdout[-4000:], player.stderr[-2000:])
        self.assertEqual(player.returncode, 0, "Update.exe was not driven as expected")

        # The new build, plus what it removed, which stays as it was.
        expected = tree(self.old)
        expected.update(tree(self.new))
        actual = tree(game)
        self.assertEqual(sorted(actual), sorted(expected))
        for name, content in expected.items():
            self.assertEqual(actual[name], content, name)
        self.assertTrue(filecmp.cmp(os.path.join(game, "KVGame/Content/Movies/Intro.bk2"),
                                    os.path.join(self.old, "KVGame/Content/Movies/Intro.bk2"), shallow=False))
        unpacked = os.path.join(root, "Downloads", ARCHIVE)
        self.assertTrue(os.path.isdir(os.path.join(unpacked, "Patch")), "the Patch folder itself stays")
        self.assertEqual(os.listdir(os.path.join(unpacked, "Patch")), [], "the Patch folder is emptied")


if __name__ == "__main__":
    unittest.main(argv=sys.argv, verbosity=2)
