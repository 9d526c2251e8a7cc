#!/usr/bin/env python3
"""Checks the image of the Windows launcher: header settings, imported DLLs
and every resource (icon group, icon images, version record, manifest).

    check_image.py [--machine x86|x64] [--file-version 1.0.0.0] [--shipped] launcher.exe

--shipped also checks what a released image must be: stripped (no debug
sections, no COFF symbol table) and without a link time stamp.

Prints what it found and every deviation; exits with 1 on any deviation."""
import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree

import pefile

MACHINES = {"x86": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
            "x64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
CONSOLE = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"]
DYNAMIC_BASE = 0x0040
HIGH_ENTROPY_VA = 0x0020
NX_COMPAT = 0x0100
TERMINAL_SERVER_AWARE = 0x8000
STACK_RESERVE = 0x100000

# DLLs of Windows itself. The C++ runtime, libgcc and winpthreads are linked
# in statically and must not be imported.
SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "advapi32.dll", "user32.dll",
               "shell32.dll", "ntdll.dll", "ws2_32.dll"}

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
GERMAN = 0x0407
ENGLISH_US = 0x0409
ICON_GROUP_ID = 101
ICON_SIZES = [16, 24, 32, 48, 64, 96, 128, 192, 256]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

VOS_NT_WINDOWS32 = 0x40004
VFT_APP = 1
EXE_NAME = "launcher.exe"

ASSEMBLY_NS = "urn:schemas-microsoft-com:asm.v1"
ASM_V3_NS = "urn:schemas-microsoft-com:asm.v3"
WINDOWS_SETTINGS_NS = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"


class Checker:
    def __init__(self, pe, machine, file_version, shipped=False):
        self.pe = pe
        self.shipped = shipped
        self.machine = machine
        self.file_version = file_version
        self.errors = []
        self.notes = []  # what was found, for the report

    def expect(self, what, found, expected):
        if found != expected:
            self.errors.append(f"{what}: found {found!r}, expected {expected!r}")

    def expect_true(self, what, condition):
        if not condition:
            self.errors.append(what)

    def run(self):
        self.check_headers()
        self.check_imports()
        resources = self.resources()
        self.check_resource_list(resources)
        self.check_icons(resources)
        self.check_version()
        self.check_manifest(resources)
        if self.shipped:
            self.check_shipped()
        return self.errors

    # --- headers ---------------------------------------------------------

    def check_headers(self):
        header = self.pe.OPTIONAL_HEADER
        self.expect("machine", hex(self.pe.FILE_HEADER.Machine), hex(MACHINES[self.machine]))
        self.expect("subsystem", header.Subsystem, CONSOLE)
        self.expect("subsystem version",
                    (header.MajorSubsystemVersion, header.MinorSubsystemVersion), (6, 0))
        self.expect("operating system version",
                    (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
                    (6, 0))
        flags = header.DllCharacteristics
        for name, bit in (("DYNAMIC_BASE", DYNAMIC_BASE), ("NX_COMPAT", NX_COMPAT),
                          ("TERMINAL_SERVER_AWARE", TERMINAL_SERVER_AWARE)):
            self.expect_true(f"DLL characteristics {flags:#06x} lack {name}", flags & bit)
        if self.machine == "x64":
            self.expect_true(f"DLL characteristics {flags:#06x} lack HIGH_ENTROPY_VA",
                             flags & HIGH_ENTROPY_VA)
        # Without relocations the loader cannot move the image, whatever
        # DYNAMIC_BASE says.
        relocations = header.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
        self.expect_true("no base relocations (ASLR cannot apply)", relocations.Size > 0)
        self.expect("stack reserve", hex(header.SizeOfStackReserve), hex(STACK_RESERVE))

    def check_imports(self):
        dlls = [entry.dll.decode() for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])]
        self.notes.append(f"imports: {', '.join(dlls)}")
        for dll in dlls:
            name = dll.lower()
            self.expect_true(f"imports {dll}, which is not a DLL of Windows",
                             name in SYSTEM_DLLS or name.startswith("api-ms-win-"))

    def check_shipped(self):
        names = [section.Name.rstrip(b"\0").decode(errors="replace")
                 for section in self.pe.sections]
        self.notes.append(f"sections: {', '.join(names)}")
        # Debug sections have names longer than eight characters, which an
        # image can only give as "/<offset>" into the COFF string table; a
        # stripped image has no such table and no such name.
        debug = [name for name in names if name.startswith((".debug", "/"))]
        self.expect("debug sections", debug, [])
        header = self.pe.FILE_HEADER
        self.expect("COFF symbol table (pointer, count)",
                    (header.PointerToSymbolTable, header.NumberOfSymbols), (0, 0))
        self.expect("link time stamp", header.TimeDateStamp, 0)

    # --- resources -------------------------------------------------------

    def resources(self):
        """{(type, id, language): bytes}"""
        found = {}
        directory = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for kind in directory.entries if directory else []:
            for item in kind.directory.entries:
                for language in item.directory.entries:
                    data = language.data.struct
                    key = (kind.id if kind.id is not None else str(kind.name),
                           item.id if item.id is not None else str(item.name), language.id)
                    found[key] = self.pe.get_data(data.OffsetToData, data.Size)
        return found

    def check_resource_list(self, resources):
        self.notes.append("resources (type, id, language): " +
              ", ".join(f"({kind}, {item}, {language:#06x})"
                        for kind, item, language in sorted(resources, key=str)))
        expected = {(RT_ICON, index, GERMAN) for index in range(1, len(ICON_SIZES) + 1)}
        expected |= {(RT_GROUP_ICON, ICON_GROUP_ID, GERMAN), (RT_VERSION, 1, GERMAN),
                     (RT_MANIFEST, 1, ENGLISH_US)}
        for key in sorted(expected - resources.keys(), key=str):
            self.errors.append(f"resource (type, id, language) {key} missing")
        for key in sorted(resources.keys() - expected, key=str):
            self.errors.append(f"unexpected resource (type, id, language) {key}")

    def check_icons(self, resources):
        group = resources.get((RT_GROUP_ICON, ICON_GROUP_ID, GERMAN))
        if group is None:
            return
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.expect("icon group header (reserved, type)", (reserved, kind), (0, 1))
        self.expect("icon group entries", count, len(ICON_SIZES))
        for index in range(min(count, len(ICON_SIZES))):
            width, height, colors, _, planes, bits, size, image_id = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * index)
            expected_size = ICON_SIZES[index]
            what = f"icon group entry {index + 1}"
            self.expect(f"{what} size", (width or 256, height or 256),
                        (expected_size, expected_size))
            self.expect(f"{what} (colours, planes, bits per pixel)", (colors, planes, bits),
                        (0, 1, 32))
            self.expect(f"{what} image id", image_id, index + 1)
            image = resources.get((RT_ICON, image_id, GERMAN))
            if image is None:
                continue
            self.expect(f"{what} byte count", size, len(image))
            if expected_size == 256:
                self.check_png(image_id, image)
            else:
                self.check_bitmap(image_id, image, expected_size)

    def check_png(self, image_id, image):
        self.expect(f"icon image {image_id} signature", image[:8], PNG_SIGNATURE)
        if image[:8] == PNG_SIGNATURE:
            width, height = struct.unpack_from(">II", image, 16)
            self.expect(f"icon image {image_id} PNG size", (width, height), (256, 256))

    def check_bitmap(self, image_id, image, size):
        what = f"icon image {image_id}"
        header_size, width, height, planes, bits = struct.unpack_from("<IiiHH", image, 0)
        self.expect(f"{what} header size (a bitmap, not PNG)", header_size, 40)
        # The height counts the colour bitmap and the mask below it.
        self.expect(f"{what} (width, height with mask)", (width, height), (size, 2 * size))
        self.expect(f"{what} (planes, bits per pixel)", (planes, bits), (1, 32))
        mask_row = (size + 31) // 32 * 4
        self.expect(f"{what} bytes (header, colours, mask)", len(image),
                    40 + size * size * 4 + mask_row * size)

    def check_version(self):
        if not hasattr(self.pe, "VS_FIXEDFILEINFO"):
            self.errors.append("no version record")
            return
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        numbers = [int(part) for part in self.file_version.split(".")]
        self.expect("file version", (fixed.FileVersionMS, fixed.FileVersionLS),
                    (numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]))
        self.expect("product version", (fixed.ProductVersionMS, fixed.ProductVersionLS), (0, 0))
        self.expect("file flags mask", hex(fixed.FileFlagsMask), "0x3f")
        self.expect("file flags", fixed.FileFlags, 0)
        self.expect("file OS", hex(fixed.FileOS), hex(VOS_NT_WINDOWS32))
        self.expect("file type", fixed.FileType, VFT_APP)

        tables, translations = {}, []
        for info in getattr(self.pe, "FileInfo", [[]])[0]:
            if info.Key == b"StringFileInfo":
                for table in info.StringTable:
                    tables[table.LangID.decode()] = {key.decode(): value.decode()
                                                     for key, value in table.entries.items()}
            elif info.Key == b"VarFileInfo":
                for var in info.Var:
                    translations.append(var.entry.get(b"Translation"))
        self.expect("string tables", sorted(tables), ["040704b0"])
        strings = tables.get("040704b0", {})
        self.notes.append(f"version strings: {strings}")
        self.expect("version string names", sorted(strings),
                    sorted(["CompanyName", "FileDescription", "FileVersion", "InternalName",
                            "LegalCopyright", "OriginalFilename", "ProductName"]))
        for name in ("CompanyName", "ProductName", "LegalCopyright"):
            self.expect_true(f"version string {name} is empty", strings.get(name, "").strip())
        self.expect("FileDescription", strings.get("FileDescription"),
                    f"{strings.get('ProductName')} Launcher")
        self.expect("FileVersion", strings.get("FileVersion"), self.file_version)
        self.expect("InternalName", strings.get("InternalName"), EXE_NAME)
        self.expect("OriginalFilename", strings.get("OriginalFilename"), EXE_NAME)
        self.expect("translations", translations, ["0x0407 0x04b0"])

    def check_manifest(self, resources):
        manifests = [key for key in resources if key[0] == RT_MANIFEST]
        self.expect("manifest count", len(manifests), 1)
        text = resources.get((RT_MANIFEST, 1, ENGLISH_US))
        if text is None:
            return
        try:
            root = ElementTree.fromstring(text)
        except ElementTree.ParseError as error:
            self.errors.append(f"manifest is not XML: {error}")
            return
        self.expect("manifest root", root.tag, f"{{{ASSEMBLY_NS}}}assembly")
        self.expect("manifestVersion", root.get("manifestVersion"), "1.0")
        levels = root.findall(f".//{{{ASM_V3_NS}}}requestedExecutionLevel")
        self.expect("requestedExecutionLevel (level, uiAccess)",
                    [(level.get("level"), level.get("uiAccess")) for level in levels],
                    [("asInvoker", "false")])
        dpi = root.findall(f".//{{{ASM_V3_NS}}}windowsSettings/{{{WINDOWS_SETTINGS_NS}}}dpiAware")
        self.expect("dpiAware", [(element.text or "").strip() for element in dpi], ["True/PM"])


def check(pe, machine, file_version, notes=None, shipped=False):
    checker = Checker(pe, machine, file_version, shipped)
    errors = checker.run()
    if notes is not None:
        notes.extend(checker.notes)
    return errors


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("--machine", choices=sorted(MACHINES), default="x86")
    parser.add_argument("--file-version", default="1.0.0.0",
                        help="the project's version, which the version record carries")
    parser.add_argument("--shipped", action="store_true",
                        help="also check that the image is stripped and has no time stamp")
    options = parser.parse_args()
    notes = []
    errors = check(pefile.PE(options.image), options.machine, options.file_version, notes,
                   options.shipped)
    for note in notes:
        print(note)
    for error in errors:
        print(f"check_image: {options.image}: {error}", file=sys.stderr)
    print(f"check_image: {options.image}: " +
          ("OK" if not errors else f"{len(errors)} deviation(s)"))
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main()
