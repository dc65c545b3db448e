#!/usr/bin/env python3
"""Checks the built Update.exe as a publisher ships it: 32-bit GUI program,
imports only from system libraries that Windows always loads from the
system folder, the manifest (execution level, common controls 6, DPI
awareness), and the version resource with the project's version.

usage: check_pe.py --version X.Y.Z Update.exe
"""
import argparse
import struct
import sys
import xml.etree.ElementTree as ET

ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
FIXED_STRINGS = {
    "InternalName": "Update",
    "OriginalFilename": "Update.exe",
    "ProductName": " Update アプリケーション",
    "Comments": "プログラムのアップデートを行います",
}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
COMMON_CONTROLS = {
    "type": "win32",
    "name": "Microsoft.Windows.Common-Controls",
    "version": "6.0.0.0",
    "publicKeyToken": "6595b64144ccf1df",
}


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine, nsect = struct.unpack_from("<HH", data, pe + 4)
        opt_size = struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        self.dirs = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(nsect):
            s = opt + opt_size + 40 * i
            vsize, va, rsize, rptr = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((va, max(vsize, rsize), rptr))

    def off(self, rva):
        for va, size, ptr in self.sections:
            if va <= rva < va + size:
                return rva - va + ptr
        raise ValueError(f"address {rva:#x} lies in no section")

    def cstr(self, rva):
        o = self.off(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")

    def imports(self):
        rva = self.dirs[1][0]
        names = []
        while True:
            desc = struct.unpack_from("<IIIII", self.data, self.off(rva))
            if desc[3] == 0:
                return names
            names.append(self.cstr(desc[3]).lower())
            rva += 20

    def resources(self):
        """Yields (type, name, bytes) of every resource."""
        base = self.dirs[2][0]

        def entries(rva):
            o = self.off(rva)
            named, ids = struct.unpack_from("<HH", self.data, o + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, o + 16 + 8 * i)
                yield ident, target

        for rtype, t in entries(base):
            for rname, n in entries(base + (t & 0x7FFFFFFF)):
                for _, leaf in entries(base + (n & 0x7FFFFFFF)):
                    drva, size = struct.unpack_from("<II", self.data, self.off(base + leaf))
                    o = self.off(drva)
                    yield rtype, rname, self.data[o:o + size]


def version_strings(blob):
    """The key/value pairs of a VS_VERSIONINFO's string tables, the
    (language, code page) of its translation, and the file and product
    versions of its fixed part as four numbers each."""
    found, translation, fixed = {}, None, None

    def walk(o, end, depth):
        nonlocal translation, fixed
        while o + 6 <= end:
            length, vlen, vtype = struct.unpack_from("<HHH", blob, o)
            if length == 0:
                return
            key_end = o + 6
            while blob[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = blob[o + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            if key == "VS_VERSION_INFO" and vlen >= 52:
                sig, _, fms, fls, pms, pls = struct.unpack_from("<6I", blob, value)
                if sig == 0xFEEF04BD:
                    fixed = tuple((w >> 16, w & 0xFFFF) for w in (fms, fls, pms, pls))
                    fixed = (fixed[0] + fixed[1], fixed[2] + fixed[3])
            if key == "Translation":
                translation = struct.unpack_from("<HH", blob, value)
            elif depth == 3 and vtype == 1:
                found[key] = blob[value:value + 2 * vlen].decode("utf-16-le").rstrip("\0")
            else:
                child = value + (vlen if vtype == 0 else 2 * vlen)
                walk((child + 3) & ~3, o + length, depth + 1)
            o = (o + length + 3) & ~3

    walk(0, len(blob), 0)
    return found, translation, fixed


def four_numbers(version):
    """"1.2" or "1.2.0" as the four numbers of a Windows version."""
    numbers = [int(n) for n in version.split(".")]
    return tuple(numbers + [0] * (4 - len(numbers)))


def manifest_problems(text, version):
    """What the manifest lacks of the execution level, the common controls
    dependency, the DPI awareness and the assembly's version."""
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return [f"manifest is not XML: {e}"]
    problems = []
    identity = root.find(ASM_V1 + "assemblyIdentity")
    if identity is None or identity.get("version") != version:
        got = None if identity is None else identity.get("version")
        problems.append(f"manifest's assembly version is {got!r}, expected {version!r}")
    level = root.find(f"{ASM_V3}trustInfo/{ASM_V3}security/{ASM_V3}requestedPrivileges/"
                      f"{ASM_V3}requestedExecutionLevel")
    if level is None or level.get("level") != "highestAvailable" or level.get("uiAccess") != "false":
        problems.append("manifest lacks highestAvailable / uiAccess false")
    dependencies = [
        a.attrib for a in root.findall(f"{ASM_V1}dependency/{ASM_V1}dependentAssembly/"
                                       f"{ASM_V1}assemblyIdentity")]
    if not any(all(d.get(k, "").lower() == v.lower() for k, v in COMMON_CONTROLS.items())
               for d in dependencies):
        problems.append(f"manifest does not ask for common controls 6 (dependencies {dependencies})")
    settings = f"{ASM_V3}application/{ASM_V3}windowsSettings/"
    aware = root.find(settings + SETTINGS_2005 + "dpiAware")
    if aware is None or (aware.text or "").strip().lower() != "true/pm":
        problems.append("manifest lacks dpiAware true/pm")
    awareness = root.find(settings + SETTINGS_2016 + "dpiAwareness")
    modes = [m.strip().lower() for m in (awareness.text or "").split(",")] if awareness is not None else []
    if modes != ["permonitorv2", "permonitor"]:
        problems.append(f"manifest's dpiAwareness is {modes}, expected PerMonitorV2, PerMonitor")
    return problems


def check(path, version, subsystem=2):
    """Every problem of the program at `path`, and its imports; a program
    that is not Update.exe (another subsystem) only gets the first checks."""
    pe = Pe(open(path, "rb").read())
    problems = []
    if pe.machine != 0x14C or pe.magic != 0x10B:
        problems.append("not a 32-bit x86 program")
    if pe.subsystem != subsystem:
        problems.append(f"subsystem {pe.subsystem}, expected {subsystem}")
    imports = pe.imports()
    if subsystem != 2:
        return problems, imports
    extra = sorted(set(imports) - ALLOWED_IMPORTS)
    if extra:
        problems.append(f"imports from {extra}")
    numbers = four_numbers(version)
    dotted = ".".join(map(str, numbers))
    resources = list(pe.resources())
    manifests = [b for t, _, b in resources if t == 24]
    if len(manifests) != 1:
        problems.append(f"{len(manifests)} manifests")
    else:
        problems += manifest_problems(manifests[0], dotted)
    versions = [b for t, _, b in resources if t == 16]
    if len(versions) != 1:
        problems.append(f"{len(versions)} version resources")
    else:
        strings, translation, fixed = version_strings(versions[0])
        if translation != (0x0411, 1200):
            problems.append(f"translation {translation}, expected (0x411, 1200)")
        want = dict(FIXED_STRINGS, FileVersion=dotted, ProductVersion=dotted)
        for key, value in want.items():
            if strings.get(key) != value:
                problems.append(f"{key} is {strings.get(key)!r}, expected {value!r}")
        if fixed != (numbers, numbers):
            problems.append(f"fixed file and product versions {fixed}, expected {numbers}")
    return problems, imports


def report(problems):
    """Prints the problems and the tally of checks; returns the exit status."""
    for p in problems:
        print("FAIL", p)
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description="Checks the built Update.exe.")
    parser.add_argument("--version", required=True, help="the project's version, e.g. 1.2.0")
    parser.add_argument("program")
    args = parser.parse_args()
    problems, imports = check(args.program, args.version)
    print("imports:", ", ".join(imports))
    return report(problems)


if __name__ == "__main__":
    sys.exit(main())
