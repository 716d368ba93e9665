#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Copies libvosk.dll and its GCC runtime DLLs into the plug-in folder, the runtime DLLs under
names of our own: Windows binds a DLL import by file name, so a same-named libstdc++-6.dll
that another plug-in (or OBS) loaded first would be the one libvosk gets, and a mismatched one
makes the load fail. The new names have the same length, so the import names inside the DLLs
are rewritten in place and nothing else in the files moves.

    private-runtime.py VOSK_DIR PLUGIN_BIN_DIR
"""
import os
import struct
import sys

RENAMES = {
    "libgcc_s_seh-1.dll": "brvgcc_s_seh-1.dll",
    "libstdc++-6.dll": "brvstdc++-6.dll",
    "libwinpthread-1.dll": "brvwinpthread-1.dll",
}
FILES = ["libvosk.dll"] + list(RENAMES)


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, opt_size = struct.unpack_from("<H12xH", data, pe + 6)
        opt = pe + 24
        if struct.unpack_from("<H", data, opt)[0] != 0x20B:
            raise ValueError("not a 64-bit PE file")
        self.dirs = opt + 112
        self.sections = []
        for i in range(sections):
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, opt + opt_size + 40 * i + 8)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("address 0x%x outside every section" % rva)

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.dirs + 8 * index)

    def name_offsets(self):
        """File offsets of the DLL names this file imports (plain and delay-loaded) and of its own
        export name."""
        found = []
        rva, _ = self.directory(1)  # imports: 20-byte descriptors, name at +12
        at = self.offset(rva) if rva else None
        while at is not None and any(self.data[at:at + 20]):
            found.append(self.offset(struct.unpack_from("<I", self.data, at + 12)[0]))
            at += 20
        rva, _ = self.directory(13)  # delay imports: 32-byte descriptors, name at +4
        at = self.offset(rva) if rva else None
        while at is not None and any(self.data[at:at + 32]):
            found.append(self.offset(struct.unpack_from("<I", self.data, at + 4)[0]))
            at += 32
        rva, _ = self.directory(0)  # exports: own name at +12
        if rva:
            found.append(self.offset(struct.unpack_from("<I", self.data, self.offset(rva) + 12)[0]))
        return found

    def name_at(self, offset):
        return self.data[offset:self.data.index(b"\0", offset)].decode("ascii")


def privatize(data):
    pe = Pe(data)
    for offset in pe.name_offsets():
        new = RENAMES.get(pe.name_at(offset).lower())
        if new:
            data[offset:offset + len(new)] = new.encode("ascii")
    left = [pe.name_at(o) for o in Pe(data).name_offsets() if pe.name_at(o).lower() in RENAMES]
    if left:
        raise ValueError("still refers to " + ", ".join(left))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, dest = sys.argv[1:]
    os.makedirs(dest, exist_ok=True)
    for name in FILES:
        with open(os.path.join(source, name), "rb") as f:
            data = bytearray(f.read())
        try:
            privatize(data)
        except ValueError as e:
            sys.exit("private-runtime: %s: %s" % (name, e))
        target = os.path.join(dest, RENAMES.get(name, name))
        with open(target + ".part", "wb") as f:
            f.write(data)
        os.replace(target + ".part", target)
        # A copy under the runtime's public name, left by an older build, must not ship.
        if name in RENAMES and os.path.exists(os.path.join(dest, name)):
            os.remove(os.path.join(dest, name))


if __name__ == "__main__":
    main()
