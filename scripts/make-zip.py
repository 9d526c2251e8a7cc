#!/usr/bin/env python3
"""Writes a zip archive whose bytes depend only on the files' names and
contents: entries sorted by name, every entry dated SOURCE_DATE_EPOCH (UTC),
regular files with mode 0644 (0755 when executable), no extra fields.

    make-zip.py ARCHIVE FOLDER     archives FOLDER's files under FOLDER's name"""
import os
import stat
import sys
import time
import zipfile


def entries(folder):
    """(name in the archive, path) of every file under folder, sorted."""
    base = os.path.dirname(os.path.abspath(folder))
    found = []
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            found.append((os.path.relpath(path, base).replace(os.sep, "/"), path))
    return sorted(found)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    archive, folder = sys.argv[1:]
    # Zip dates are local-time fields from 1980 on; the archive says UTC.
    stamp = max(int(os.environ["SOURCE_DATE_EPOCH"]), 315532800)
    date_time = time.gmtime(stamp)[:6]
    with zipfile.ZipFile(archive, "w") as output:
        for name, path in entries(folder):
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3  # Unix, so that the mode below counts
            executable = os.stat(path).st_mode & stat.S_IXUSR
            info.external_attr = (stat.S_IFREG | (0o755 if executable else 0o644)) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as data:
                output.writestr(info, data.read(), compresslevel=9)


if __name__ == "__main__":
    main()
