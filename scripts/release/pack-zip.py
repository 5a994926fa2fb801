#!/usr/bin/python3
"""Packs a folder into a zip archive whose bytes depend only on the files' names and contents:
entries sorted by name, one fixed date, fixed attributes, no extra fields, no folder entries.

usage: pack-zip.py FOLDER ARCHIVE EPOCH
EPOCH (seconds since 1970, UTC) dates every entry; the release takes it from the last commit.
"""
import os
import sys
import time
import zipfile

# The earliest date a zip entry can hold.
ZIP_EPOCH = 315532800  # 1980-01-01 00:00:00 UTC
# Unix system, regular file, rw-r--r--: the same whoever packs it and whatever their umask.
UNIX_SYSTEM = 3
FILE_ATTRIBUTES = (0o100644 << 16)


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: pack-zip.py FOLDER ARCHIVE EPOCH")
    folder, archive, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
    # Zip dates carry no time zone: UTC, so that the packer's zone never shows.
    date = time.gmtime(max(epoch, ZIP_EPOCH))[:6]

    names = []
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in files:
            path = os.path.join(root, name)
            names.append(os.path.relpath(path, folder).replace(os.sep, "/"))
    names.sort()
    if not names:
        sys.exit("pack-zip.py: %s holds no files" % folder)

    with zipfile.ZipFile(archive, "w") as out:
        for name in names:
            entry = zipfile.ZipInfo(name, date_time=date)
            entry.create_system = UNIX_SYSTEM
            entry.external_attr = FILE_ATTRIBUTES
            entry.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(folder, name), "rb") as source:
                out.writestr(entry, source.read(), compresslevel=9)


if __name__ == "__main__":
    main()
