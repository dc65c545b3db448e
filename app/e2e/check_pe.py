#!/usr/bin/env python3
"""Checks the built Update.exe as a publisher ships it: 32-bit GUI program,
imports only from system libraries that Windows always loads from the
system folder, the manifest's execution level, and the version resource.

usage: check_pe.py Update.exe
"""
import struct
import sys

ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
VERSION_STRINGS = {
    "FileVersion": "1.2.0.0",
    "ProductVersion": "1.2.0.0",
    "InternalName": "Update",
    "OriginalFilename": "Update.exe",
    "ProductName": " Update アプリケーション",
    "Comments": "プログラムのアップデートを行います",
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
    """The key/value pairs of a VS_VERSIONINFO's string tables, and the
    (language, code page) of its translation."""
    found, translation = {}, None

    def walk(o, end, depth):
        nonlocal translation
        while o + 6 <= end:
            length, vlen, vtype = struct.unpack_from("<HHH", blob, o)
            if length == 0:
                return
            key_end = o + 6
            while blob[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = blob[o + 6:key_end].decode("utf-16-le")
            value = (key_end + 2 + 3) & ~3
            if key == "Translation":
                translation = struct.unpack_from("<HH", blob, value)
            elif depth == 3 and vtype == 1:
                found[key] = blob[value:value + 2 * vlen].decode("utf-16-le").rstrip("\0")
            else:
                child = value + (vlen if vtype == 0 else 2 * vlen)
                walk((child + 3) & ~3, o + length, depth + 1)
            o = (o + length + 3) & ~3

    walk(0, len(blob), 0)
    return found, translation


def main():
    pe = Pe(open(sys.argv[1], "rb").read())
    problems = []
    if pe.machine != 0x14C or pe.magic != 0x10B:
        problems.append("not a 32-bit x86 program")
    if pe.subsystem != 2:
        problems.append(f"subsystem {pe.subsystem}, expected 2 (Windows GUI)")
    imports = pe.imports()
    extra = sorted(set(imports) - ALLOWED_IMPORTS)
    if extra:
        problems.append(f"imports from {extra}")
    resources = list(pe.resources())
    manifests = [b for t, _, b in resources if t == 24]
    if len(manifests) != 1:
        problems.append(f"{len(manifests)} manifests")
    elif (b'level="highestAvailable"' not in manifests[0] or
          b'uiAccess="false"' not in manifests[0]):
        problems.append("manifest lacks highestAvailable / uiAccess false")
    versions = [b for t, _, b in resources if t == 16]
    if len(versions) != 1:
        problems.append(f"{len(versions)} version resources")
    else:
        strings, translation = version_strings(versions[0])
        if translation != (0x0411, 1200):
            problems.append(f"translation {translation}, expected (0x411, 1200)")
        for key, want in VERSION_STRINGS.items():
            if strings.get(key) != want:
                problems.append(f"{key} is {strings.get(key)!r}, expected {want!r}")
    print("imports:", ", ".join(imports))
    for p in problems:
        print("FAIL", p)
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
