"""delay_import_lib.py AR IMPORT_LIB DLL_NAME OUT_LIB

Makes a delay-import library for DLL_NAME from the toolchain's own import library of it: every
function that library imports, under the same decorated name and import name, with the delay-load
descriptor, thunks and tables that the C runtime's __delayLoadHelper2 works with. The installer's
calls are resolved by the import library's names, never by how a header of one toolchain release
declares a function.

Why not dlltool's delay-import output (-y): it puts each function's thunk code in the same archive
member as its import-table entries, and GNU ld drops the code of such a member when nothing calls
the thunk by name, which is the case for every caller that reads the slot (a dllimport declaration):
the slot then holds 0. Here a function's code is a member of its own, which ld treats as any code.
"""

import struct
import subprocess
import sys
import tempfile
from pathlib import Path

# ---- reading the import library ------------------------------------------------------------


def members(archive):
    """The object files of an ar archive (skipping its symbol and long-name tables)."""
    if archive[:8] != b"!<arch>\n":
        raise ValueError("not an ar archive")
    at = 8
    while at + 60 <= len(archive):
        header = archive[at:at + 60]
        name, size = header[:16].strip(), int(header[48:58])
        if name not in (b"/", b"//", b"/SYM64/"):
            yield archive[at + 60:at + 60 + size]
        at += 60 + size + (size & 1)


def imported(obj):
    """(decorated name without the leading underscore, import name) of one member, or None."""
    machine, sections, _, symbols_at, symbols, optional, _ = struct.unpack_from("<HHIIIHH", obj, 0)
    if machine != 0x14C or not symbols_at:
        return None
    strings = symbols_at + 18 * symbols

    def text(raw):  # a short name in place, or an offset into the string table
        if raw[:4] == b"\0\0\0\0":
            start = strings + struct.unpack_from("<I", raw, 4)[0]
            return obj[start:obj.index(b"\0", start)].decode()
        return raw.rstrip(b"\0").decode()

    hint_name = None
    for k in range(sections):
        at = 20 + optional + 40 * k
        size, data_at = struct.unpack_from("<II", obj, at + 16)
        if obj[at:at + 8].rstrip(b"\0") == b".idata$6":  # hint (2 bytes), then the name
            hint_name = obj[data_at + 2:data_at + size].split(b"\0")[0].decode()
    symbol, k = None, 0
    while k < symbols:
        raw = obj[symbols_at + 18 * k:symbols_at + 18 * (k + 1)]
        if raw[16] == 2 and text(raw[:8]).startswith("__imp__"):
            symbol = text(raw[:8])[len("__imp__"):]
        k += 1 + raw[17]
    return (symbol, hint_name) if symbol and hint_name else None


# ---- writing objects -----------------------------------------------------------------------

DIR32, DIR32NB, REL32 = 6, 7, 20  # i386 relocation types: address, image-relative address, relative
CODE, RDATA, DATA, BSS = 0x60300020, 0x40300040, 0xC0300040, 0xC0300080  # 4-byte aligned


def coff(sections, externals):
    """A COFF object. sections: [(name, flags, bytes or a size for BSS, [(offset, symbol, type)],
    {label: offset})]; a relocation names a section ("#N", 1-based) or a symbol; externals: the
    symbols used here and defined elsewhere."""
    symbols, index = [], {}

    def add(name, value, section, storage):
        index[name] = len(symbols)
        symbols.append((name, value, section, storage))

    for number, (name, _, _, _, _) in enumerate(sections, 1):
        add("#%d" % number, 0, number, 3)  # the section's own symbol, named as the section is
    for number, (_, _, _, _, labels) in enumerate(sections, 1):
        for label, offset in labels.items():
            add(label, offset, number, 2)
    for name in externals:
        add(name, 0, 0, 2)

    strings = bytearray(4)

    def name_field(name):
        raw = name.encode()
        if len(raw) <= 8:
            return raw.ljust(8, b"\0")
        strings.extend(raw + b"\0")
        return struct.pack("<II", 0, len(strings) - len(raw) - 1)

    def section_name(name):  # longer than 8: "/" and its offset in the string table
        if len(name) <= 8:
            return name.encode().ljust(8, b"\0")
        strings.extend(name.encode() + b"\0")
        return ("/%d" % (len(strings) - len(name) - 1)).encode().ljust(8, b"\0")

    headers, body = [], bytearray()
    at = 20 + 40 * len(sections)
    for name, flags, data, relocs, _ in sections:
        size = data if isinstance(data, int) else len(data)
        raw = b"" if isinstance(data, int) else bytes(data)
        data_at = at + len(body) if raw else 0
        body.extend(raw)
        relocs_at = at + len(body) if relocs else 0
        for offset, target, kind in relocs:
            body.extend(struct.pack("<IIH", offset, index[target], kind))
        headers.append(section_name(name) + struct.pack("<IIIIIIHHI", 0, 0, size, data_at, relocs_at, 0, len(relocs), 0, flags))
    table = bytearray()
    for name, value, section, storage in symbols:
        shown = sections[section - 1][0] if name.startswith("#") else name
        table.extend(name_field(shown) + struct.pack("<IhHBB", value, section, 0, storage, 0))
    struct.pack_into("<I", strings, 0, len(strings))
    header = struct.pack("<HHIIIHH", 0x14C, len(sections), 0, at + len(body), len(symbols), 0, 0)
    return header + b"".join(headers) + bytes(body) + bytes(table) + bytes(strings)


def library_objects(stem, dll, functions):
    """{member name: object}. The name table sits among the import tables, which the linker lays
    out by member name: the head (the descriptor, the tables' starts), one member per function, the
    tail (the tables' ends). The address table does not: the loader may make the import address
    table read-only once it has bound it (Wine 10 does), and the helper writes each slot on its
    first call. Its slots are data sections whose names sort in the same order."""
    tag = "__delay_" + stem
    merge, name, iat_end = tag + "_merge", tag + "_name", tag + "_iat_end"
    iat = ".data$dli_" + stem + "_"
    objects = {}
    # The descriptor: attributes (addresses are image-relative), the DLL's name, its handle, the
    # address table, the name table; no bound or unload tables, no time stamp. After it, a reference
    # that keeps the address table's end in the link.
    descr = struct.pack("<9I", 1, 0, 0, 0, 0, 0, 0, 0, 0)
    # push ecx; push edx; push eax (the slot); push descriptor; call helper; pop edx; pop ecx; jmp eax
    merge_code = bytes.fromhex("5152506800000000e8000000005a59ffe0")
    objects[stem + "_a.o"] = coff(
        [(".text", CODE, merge_code, [(4, "#2", DIR32), (9, "___delayLoadHelper2@8", REL32)], {merge: 0}),
         (".rdata", RDATA, descr, [(4, name, DIR32NB), (8, "#3", DIR32NB), (12, "#5", DIR32NB),
                                   (16, "#4", DIR32NB), (32, iat_end, DIR32)], {tag + "_descriptor": 0}),
         (".bss", BSS, 4, [], {}),
         (".idata$4", DATA, b"", [], {}),
         (iat + "a", DATA, b"", [], {})],
        ["___delayLoadHelper2@8", name, iat_end])
    for n, (symbol, imported_name) in enumerate(functions):
        slot, load = "__imp__" + symbol, "__delay_load_" + symbol
        hint_name = bytes(2) + imported_name.encode() + b"\0"
        hint_name += bytes(len(hint_name) & 1)
        # The name-table entry, the name, and the address slot, first pointing at the loading thunk.
        objects["%s_b%05d.o" % (stem, n)] = coff(
            [(".idata$4", DATA, bytes(4), [(0, "#2", DIR32NB)], {}),
             (".idata$6", DATA - 0x100000, hint_name, [], {}),
             (iat + "b%05d" % n, DATA, bytes(4), [(0, load, DIR32)], {slot: 0})],
            [load])
        # jmp [slot] (callers by name); mov eax, slot; jmp merge (the slot's first call)
        code = bytes.fromhex("ff2500000000b800000000e900000000")
        objects["%s_b%05d_code.o" % (stem, n)] = coff(
            [(".text", CODE, code, [(2, slot, DIR32), (7, slot, DIR32), (12, merge, REL32)],
              {"_" + symbol: 0, load: 6})],
            [slot, merge])
    objects[stem + "_c.o"] = coff(
        [(".idata$4", DATA, bytes(4), [], {}), (iat + "c", DATA, bytes(4), [], {iat_end: 0}),
         (".rdata", RDATA, dll.encode() + b"\0", [], {name: 0})], [])
    return objects


def main():
    ar, import_lib, dll, out = sys.argv[1:]
    functions = [f for f in map(imported, members(Path(import_lib).read_bytes())) if f]
    if not functions:
        sys.exit("no imports found in " + import_lib)
    stem = dll.rsplit(".", 1)[0]
    out = Path(out).resolve()
    out.parent.mkdir(parents=True, exist_ok=True)
    out.unlink(missing_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        names = []
        for member, data in sorted(library_objects(stem, dll, functions).items()):
            (Path(folder) / member).write_bytes(data)
            names.append(member)
        # D: no time stamps or owners, so the same inputs give the same bytes.
        subprocess.run([ar, "rcsD", str(out)] + names, cwd=folder, check=True)


if __name__ == "__main__":
    main()
