#!/usr/bin/env python3
"""Reads the export table of a Windows DLL from the file and checks that it
names exactly the wanted entry points, undecorated, for the wanted machine.

The 32-bit DorimelDLM.dll cannot be loaded on the build machines (no 32-bit
Wine), so its exports are checked here: a stdcall export left decorated
("_DllRegisterServer@0", "DllCanUnloadNow@0") would be found by no host.

usage: check_exports.py DLL i686|x86_64 NAME...
Exit status 0 when the names match, 1 otherwise (the difference printed)."""
import struct
import sys

MACHINES = {"i686": (0x14C, 0x10B), "x86_64": (0x8664, 0x20B)}  # COFF machine, optional-header magic


class BadImage(Exception):
    pass


def export_names(data, arch):
    """The exported names of a PE image, in the order of its name table."""
    if data[:2] != b"MZ":
        raise BadImage("no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise BadImage("no PE signature")
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if (machine, magic) != MACHINES[arch]:
        raise BadImage("machine 0x%x, optional header 0x%x: not an %s image" % (machine, magic, arch))
    # The data directories follow the fixed part of the optional header
    # (96 bytes for PE32, 112 for PE32+); the export table is the first.
    directories = optional + (96 if magic == 0x10B else 112)
    export_rva, export_size = struct.unpack_from("<II", data, directories)
    if export_rva == 0:
        return []
    table = optional + optional_size
    section_list = [struct.unpack_from("<8sIIII", data, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for _, virtual_size, address, raw_size, raw_offset in section_list:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_offset
        raise BadImage("RVA 0x%x lies in no section" % rva)

    def text(rva):
        at = offset(rva)
        return data[at:data.index(b"\0", at)].decode("ascii")

    directory = offset(export_rva)
    # Characteristics, time stamp, version, DLL name, ordinal base, then the
    # counts and the three tables.
    functions, names, function_table, name_table, ordinal_table = \
        struct.unpack_from("<IIHHIIIIIII", data, directory)[6:]
    result = []
    for i in range(names):
        name = text(struct.unpack_from("<I", data, offset(name_table) + 4 * i)[0])
        ordinal = struct.unpack_from("<H", data, offset(ordinal_table) + 2 * i)[0]
        if ordinal >= functions:
            raise BadImage("%s: ordinal index %d beyond the %d functions" % (name, ordinal, functions))
        address = struct.unpack_from("<I", data, offset(function_table) + 4 * ordinal)[0]
        if export_rva <= address < export_rva + export_size:
            raise BadImage("%s is forwarded to %s" % (name, text(address)))
        result.append(name)
    return result


def main(argv):
    if len(argv) < 4 or argv[2] not in MACHINES:
        print(__doc__)
        return 2
    path, arch, wanted = argv[1], argv[2], sorted(argv[3:])
    try:
        with open(path, "rb") as f:
            names = export_names(f.read(), arch)
    except (OSError, BadImage, struct.error, ValueError) as error:
        print("%s: %s" % (path, error))
        return 1
    if sorted(names) != wanted:
        print("%s exports %s; wanted exactly %s" % (path, names, wanted))
        return 1
    print("%s (%s): %s" % (path, arch, ", ".join(names)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
