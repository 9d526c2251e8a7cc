#!/usr/bin/env python3
"""Opens what scripts/release.sh wrote and checks every file of it against the
sources it was made from:

    check_release.py --dist DIR --source DIR --version V --epoch SECONDS

  SHA256SUMS        names the three files, with their digests;
  Linux archive     one top folder, the files and modes it must have, owner 0,
                    the commit's time; the launcher static, position-
                    independent, stripped, and answering --version with V
                    and LICENSE's copyright line; the third-party notices;
  Windows zip       the same for its files; launcher.exe a 32-bit console
                    image without debug sections or time stamp, with its
                    resources (tests/windows/check_image.py);
  Debian package    its fields (Built-Using as this machine's runtimes), its
                    file list, owners and times, and the files in it;
  LICENSE           MIT, in the name the version record carries;
  README            its links to files of the repository lead to files that
                    exist, those to contrib/ among them; it copies no unit
                    or Dockerfile (they change in one place).

Prints every deviation and a closing count; exits with 1 on any deviation."""
import argparse
import gzip
import hashlib
import io
import os
import re
import subprocess
import sys
import tarfile
import tempfile
import time
import zipfile

import pefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
import check_image  # noqa: E402


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = []

    def expect(self, what, found, expected):
        if found == expected:
            self.passed += 1
        else:
            self.failed.append(f"{what}: found {found!r}, expected {expected!r}")

    def expect_true(self, what, condition):
        self.expect(what, bool(condition), True)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def check_sums(checks, dist, names):
    text = read(os.path.join(dist, "SHA256SUMS")).decode()
    found = {}
    for line in text.splitlines():
        digest, _, name = line.partition("  ")
        found[name] = digest
    checks.expect("SHA256SUMS", found,
                  {name: sha256(read(os.path.join(dist, name))) for name in names})


def copyright_line(source):
    """LICENSE's copyright line, which --version repeats."""
    return next(line for line in read(os.path.join(source, "LICENSE")).splitlines()
                if line.startswith(b"Copyright (c) "))


def check_notices(checks, where, text):
    """The third-party notices name each runtime's source package and carry
    the license texts."""
    for needed in (b"glibc ", b"gcc-12 ", b"gcc-mingw-w64 ", b"mingw-w64 ",
                   b"GNU LESSER GENERAL PUBLIC LICENSE", b"Version 2.1, February 1999",
                   b"GNU GENERAL PUBLIC LICENSE", b"Version 3, 29 June 2007",
                   b"GCC RUNTIME LIBRARY EXCEPTION", b"winpthreads"):
        checks.expect_true(f"{where} THIRD-PARTY-NOTICES holds {needed.decode()!r}",
                           needed in text)


def check_elf(checks, path, version, source):
    headers = subprocess.run(["readelf", "--file-header", "--program-headers", "--sections",
                              "--wide", path], capture_output=True, text=True, check=True).stdout
    checks.expect_true("Linux launcher is a 64-bit x86-64 executable",
                       re.search(r"Class:\s+ELF64", headers)
                       and re.search(r"Machine:\s+Advanced Micro Devices X86-64", headers))
    checks.expect("Linux launcher program interpreter (none when static)",
                  re.findall(r"^\s*INTERP\b", headers, re.MULTILINE), [])
    # -static-pie: position-independent, relocating itself, needing no library.
    checks.expect_true("Linux launcher is position-independent (ELF type DYN)",
                       re.search(r"Type:\s+DYN ", headers))
    dynamic = subprocess.run(["readelf", "--dynamic", "--wide", path], capture_output=True,
                             text=True, check=True).stdout
    checks.expect("Linux launcher needed libraries (none when static)",
                  re.findall(r"\(NEEDED\)", dynamic), [])
    sections = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", headers, re.MULTILINE)
    checks.expect_true("Linux launcher section list read", ".text" in sections)
    checks.expect("Linux launcher symbol and debug sections (none when stripped)",
                  [name for name in sections if name in (".symtab", ".strtab")
                   or name.startswith((".debug", ".zdebug"))], [])
    answer = subprocess.run([path, "--version"], capture_output=True, timeout=30)
    checks.expect("Linux launcher --version (status, first two lines)",
                  (answer.returncode, answer.stdout.splitlines()[:2]),
                  (0, [f"launcher {version}".encode(), copyright_line(source)]))


def check_tar(checks, dist, source, version, epoch, scratch):
    top = f"launcher-{version}-linux-x86_64"
    files = {"launcher": 0o755, "README.md": 0o644, "LICENSE": 0o644,
             "THIRD-PARTY-NOTICES": 0o644, "launcher.service": 0o644, "Dockerfile": 0o644}
    path = os.path.join(dist, top + ".tar.gz")
    # The gzip header (RFC 1952): no file name (flag bit 3) and no time.
    header = read(path)[:10]
    checks.expect("Linux archive gzip header (magic, name flag, time)",
                  (header[:2], header[3] & 0x08, header[4:8]), (b"\x1f\x8b", 0, b"\0\0\0\0"))
    with tarfile.open(path) as archive:
        members = archive.getmembers()
        checks.expect("Linux archive entries", [member.name for member in members],
                      sorted([top] + [f"{top}/{name}" for name in files]))
        for member in members:
            checks.expect(f"Linux archive {member.name} (owner, group, time)",
                          (member.uid, member.gid, member.mtime), (0, 0, epoch))
            expected_mode = 0o755 if member.isdir() else files.get(os.path.basename(member.name))
            checks.expect(f"Linux archive {member.name} mode", member.mode, expected_mode)
        contents = {os.path.basename(member.name): archive.extractfile(member).read()
                    for member in members if member.isfile()}
    for name, path in (("README.md", "README.md"), ("LICENSE", "LICENSE"),
                       ("launcher.service", "contrib/launcher.service"),
                       ("Dockerfile", "contrib/Dockerfile")):
        checks.expect_true(f"Linux archive {name} is {path}",
                           contents.get(name) == read(os.path.join(source, path)))
    launcher = os.path.join(scratch, "launcher")
    with open(launcher, "wb") as file:
        file.write(contents.get("launcher", b""))
    os.chmod(launcher, 0o755)
    check_elf(checks, launcher, version, source)
    check_notices(checks, "Linux archive", contents.get("THIRD-PARTY-NOTICES", b""))
    return contents.get("launcher", b"")


def version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({key.decode(): value.decode()
                                for key, value in table.entries.items()})
    return strings


def check_zip(checks, dist, source, version, epoch):
    top = f"launcher-{version}-windows-x86"
    modes = {"launcher.exe": 0o755, "README.md": 0o644, "LICENSE": 0o644,
             "THIRD-PARTY-NOTICES": 0o644}
    # Zip times count seconds in steps of two.
    date_time = time.gmtime(epoch)[:5] + (time.gmtime(epoch)[5] // 2 * 2,)
    with zipfile.ZipFile(os.path.join(dist, top + ".zip")) as archive:
        infos = archive.infolist()
        checks.expect("Windows zip entries", [info.filename for info in infos],
                      sorted(f"{top}/{name}" for name in modes))
        for info in infos:
            name = os.path.basename(info.filename)
            checks.expect(f"Windows zip {name} (date, extra fields, system)",
                          (info.date_time, info.extra, info.create_system),
                          (date_time, b"", 3))
            checks.expect(f"Windows zip {name} mode", info.external_attr >> 16,
                          0o100000 | modes.get(name, 0))
        contents = {os.path.basename(info.filename): archive.read(info) for info in infos}
    for name in ("README.md", "LICENSE"):
        checks.expect_true(f"Windows zip {name} is the source's",
                           contents.get(name) == read(os.path.join(source, name)))
    check_notices(checks, "Windows zip", contents.get("THIRD-PARTY-NOTICES", b""))
    image = contents.get("launcher.exe", b"")
    checks.expect_true("Windows zip holds launcher.exe", image)
    if not image:
        return {}
    pe = pefile.PE(data=image)
    notes = []
    errors = check_image.check(pe, "x86", version, notes, shipped=True)
    for note in notes:
        print(f"  launcher.exe {note}")
    checks.expect("launcher.exe image check (tests/windows/check_image.py --shipped)", errors, [])
    return version_strings(pe)


def dpkg_deb(*arguments):
    return subprocess.run(["dpkg-deb", *arguments], capture_output=True, check=True).stdout


def check_deb(checks, dist, source, version, epoch, scratch, linux_launcher, maker):
    package = os.path.join(dist, f"launcher_{version}_amd64.deb")
    control = dpkg_deb("--field", package).decode()
    fields = dict(re.findall(r"^([A-Za-z-]+): ?(.*)$", control, re.MULTILINE))
    checks.expect("package (name, version, architecture)",
                  (fields.get("Package"), fields.get("Version"), fields.get("Architecture")),
                  ("launcher", version, "amd64"))
    checks.expect_true(f"package maintainer is {maker} with an address: {fields.get('Maintainer')!r}",
                       re.fullmatch(re.escape(maker) + r" <[^@\s<>]+@[^@\s<>]+>",
                                    fields.get("Maintainer", "")))
    checks.expect("package relations",
                  {name: fields.get(name) for name in
                   ("Depends", "Pre-Depends", "Recommends", "Conflicts", "Section")},
                  {"Depends": None, "Pre-Depends": None, "Conflicts": None, "Section": "utils",
                   "Recommends": "default-jre-headless | java-runtime-headless"})
    # The static runtimes' source packages, as this machine has them.
    expected_built_using = ", ".join(
        subprocess.run(["dpkg-query", "-W", "-f=${source:Package} (= ${source:Version})", name],
                       capture_output=True, text=True, check=True).stdout
        for name in ("libc6-dev", "libstdc++-12-dev"))
    checks.expect("package Built-Using", fields.get("Built-Using"), expected_built_using)
    checks.expect_true("package installed size is a number of KiB",
                       fields.get("Installed-Size", "").isdigit())
    description = re.search(r"^Description: (.+)\n((?: .*\n)+)", control, re.MULTILINE)
    checks.expect_true("package description has a summary and a long text", description)

    listing = dpkg_deb("--contents", package).decode().splitlines()
    entries = [line.split(None, 5) for line in listing]
    names = [entry[5].split(" -> ")[0] for entry in entries if len(entry) == 6]
    doc = "./usr/share/doc/launcher/"
    checks.expect("package files", [name for name in names if not name.endswith("/")], [
        "./lib/systemd/system/launcher@.service", "./usr/bin/launcher",
        "./usr/lib/sysusers.d/launcher.conf", doc + "README.md.gz",
        doc + "THIRD-PARTY-NOTICES.gz", doc + "changelog.gz", doc + "copyright",
        doc + "examples/launcher.service", "./usr/share/lintian/overrides/launcher",
        "./usr/share/man/man1/launcher.1.gz"])
    checks.expect("package file owners", sorted({entry[1] for entry in entries}), ["root/root"])
    checks.expect("package /usr/bin/launcher mode",
                  [entry[0] for entry in entries if entry[5] == "./usr/bin/launcher"],
                  ["-rwxr-xr-x"])
    with tarfile.open(fileobj=io.BytesIO(dpkg_deb("--fsys-tarfile", package))) as data:
        checks.expect("package file times", sorted({member.mtime for member in data}), [epoch])

    root = os.path.join(scratch, "deb")
    dpkg_deb("--extract", package, root)
    installed = os.path.join(root, "usr/share/doc/launcher")
    checks.expect_true("package /usr/bin/launcher is the Linux archive's launcher",
                       linux_launcher and read(os.path.join(root, "usr/bin/launcher"))
                       == linux_launcher)
    for name, path in (("README.md.gz", "README.md"),
                       ("../../../../lib/systemd/system/launcher@.service",
                        "contrib/debian/launcher@.service"),
                       ("examples/launcher.service", "contrib/launcher.service")):
        data = read(os.path.join(installed, name))
        checks.expect_true(f"package {name} is {path}",
                           (gzip.decompress(data) if name.endswith(".gz") else data)
                           == read(os.path.join(source, path)))
    check_notices(checks, "package",
                  gzip.decompress(read(os.path.join(installed, "THIRD-PARTY-NOTICES.gz"))))
    copyright_text = read(os.path.join(installed, "copyright")).decode()
    checks.expect("package copyright is machine-readable (DEP-5)", copyright_text.splitlines()[0],
                  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/")
    license_lines = [line for line in read(os.path.join(source, "LICENSE")).decode().splitlines()[2:]
                     if line]
    checks.expect_true("package copyright holds the license",
                       all(f" {line}\n" in copyright_text for line in license_lines))
    changelog = gzip.decompress(read(os.path.join(installed, "changelog.gz"))).decode()
    checks.expect("package changelog's first line", changelog.splitlines()[0],
                  f"launcher ({version}) unstable; urgency=medium")
    manual = gzip.decompress(read(os.path.join(root, "usr/share/man/man1/launcher.1.gz")))
    checks.expect_true("package manual page shows --help's options",
                       b"\\-\\-version" in manual and b"server.properties" in manual)


def check_license(checks, source, company):
    text = read(os.path.join(source, "LICENSE")).decode()
    checks.expect("LICENSE title", text.splitlines()[0] if text else "", "MIT License")
    holder = re.search(r"^Copyright \(c\) \d{4} (.+)$", text, re.MULTILINE)
    maker = holder.group(1) if holder else None
    checks.expect("LICENSE holder is the version record's CompanyName", maker, company)
    readme = read(os.path.join(source, "README.md")).decode()
    checks.expect_true("README names the MIT license and its holder",
                       maker and re.search(r"MIT license", readme, re.IGNORECASE)
                       and maker in readme)
    return maker or ""


def check_links(checks, source):
    """The operator's and the contributors' documents: every link to a file of
    the repository leads to one that exists, and the README copies no unit or
    Dockerfile but links to them."""
    documents = ["README.md", "CONTRIBUTING.md", "bench/README.md"]
    docs = os.path.join(source, "docs")
    documents += sorted(os.path.join("docs", name) for name in os.listdir(docs)
                        if name.endswith(".md")) if os.path.isdir(docs) else []
    for document in documents:
        if not os.path.exists(os.path.join(source, document)):
            continue  # what links to it is reported
        text = read(os.path.join(source, document)).decode()
        folder = os.path.dirname(document)
        for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
            if re.match(r"[a-z]+:", target):
                continue
            checks.expect_true(f"{document} links to {target}, which exists",
                               os.path.exists(os.path.join(source, folder, target)))
    readme = read(os.path.join(source, "README.md")).decode()
    for path in ("contrib/debian/launcher@.service", "contrib/launcher.service",
                 "contrib/Dockerfile"):
        checks.expect_true(f"README links to {path}", f"]({path})" in readme)
    checks.expect("README's ini and dockerfile blocks (it links to the files instead)",
                  re.findall(r"^ *```(ini|dockerfile)$", readme, re.MULTILINE), [])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dist", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--epoch", required=True, type=int)
    options = parser.parse_args()
    checks = Checks()
    names = [f"launcher-{options.version}-linux-x86_64.tar.gz",
             f"launcher-{options.version}-windows-x86.zip",
             f"launcher_{options.version}_amd64.deb"]
    checks.expect("dist/ files", sorted(os.listdir(options.dist)), sorted(names + ["SHA256SUMS"]))
    with tempfile.TemporaryDirectory() as scratch:
        steps = [
            lambda: check_sums(checks, options.dist, names),
            lambda: check_tar(checks, options.dist, options.source, options.version,
                              options.epoch, scratch),
            lambda: check_zip(checks, options.dist, options.source, options.version,
                              options.epoch),
        ]
        results = []
        for step in steps:
            try:
                results.append(step())
            except (OSError, KeyError, tarfile.TarError, zipfile.BadZipFile,
                    subprocess.SubprocessError, pefile.PEFormatError) as error:
                checks.failed.append(f"{error.__class__.__name__}: {error}")
                results.append(None)
        company = (results[2] or {}).get("CompanyName")
        maker = check_license(checks, options.source, company)
        check_links(checks, options.source)
        try:
            check_deb(checks, options.dist, options.source, options.version, options.epoch, scratch,
                      results[1], maker)
        except (OSError, subprocess.SubprocessError) as error:
            checks.failed.append(f"{error.__class__.__name__}: {error}")
    for failure in checks.failed:
        print(f"check_release: {failure}", file=sys.stderr)
    print(f"check_release: {checks.passed} passed, {len(checks.failed)} failed")
    sys.exit(1 if checks.failed else 0)


if __name__ == "__main__":
    main()
