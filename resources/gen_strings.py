#!/usr/bin/env python3
"""Turns a string-table source (ID, tab, escaped Japanese text, and optionally a
tab and the escaped English text) into a Windows resource script (UTF-8,
code_page 65001, LANGUAGE Japanese; Japanese only) and a native C++ table of
each language (SYMBOL for Japanese, SYMBOL + "English" for the English column).

usage: gen_strings.py SOURCE OUT_RC OUT_CPP SYMBOL
"""
import sys

ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}


def unescape(text, where):
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c == "\\":
            if i + 1 >= len(text) or text[i + 1] not in ESCAPES:
                sys.exit(f"{where}: bad escape")
            out.append(ESCAPES[text[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_table(path):
    entries, english = {}, {}
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            ident, sep, text = line.partition("\t")
            if not sep or not ident.isdigit():
                sys.exit(f"{path}:{n}: expected ID<TAB>text[<TAB>English text]")
            text, sep, en = text.partition("\t")
            if sep and (not en or "\t" in en):
                sys.exit(f"{path}:{n}: empty English column or a fourth column")
            ident = int(ident)
            if ident in entries or not 0 < ident < 65536:
                sys.exit(f"{path}:{n}: duplicate or out-of-range ID {ident}")
            raw = unescape(text, f"{path}:{n}")
            if len(raw.encode("cp932")) > 255:
                sys.exit(f"{path}:{n}: longer than 255 bytes in code page 932")
            entries[ident] = raw
            if sep:
                en_raw = unescape(en, f"{path}:{n}")
                if len(en_raw.encode("utf-8")) > 255:
                    sys.exit(f"{path}:{n}: English text longer than 255 bytes")
                english[ident] = en_raw
    return entries, english


def rc_quote(raw):
    s = raw.replace("\\", "\\\\").replace('"', '""')
    return s.replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t")


def c_quote(raw):
    out = []
    for ch in raw:
        if ch == "\\":
            out.append("\\\\")
        elif ch == '"':
            out.append('\\"')
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\t":
            out.append("\\t")
        else:
            out.append(ch)
    return "".join(out)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    source, out_rc, out_cpp, symbol = sys.argv[1:]
    entries, english = read_table(source)
    with open(out_rc, "w", encoding="utf-8", newline="\n") as f:
        f.write("// Generated from %s; do not edit.\n" % source.rsplit("/", 1)[-1])
        f.write("#pragma code_page(65001)\nLANGUAGE 0x11, 0x01\nSTRINGTABLE\nBEGIN\n")
        for ident in sorted(entries):
            f.write('    %d, "%s"\n' % (ident, rc_quote(entries[ident])))
        f.write("END\n")
    with open(out_cpp, "w", encoding="utf-8", newline="\n") as f:
        f.write("// Generated from %s; do not edit.\n" % source.rsplit("/", 1)[-1])
        f.write('#include "foundation/string_table.h"\n\n')
        for name, table in ((symbol, entries), (symbol + "English", english)):
            f.write("\nextern const StringTableEntry %s[];\nconst StringTableEntry %s[] = {\n" % (name, name))
            for ident in sorted(table):
                f.write('    {%d, "%s"},\n' % (ident, c_quote(table[ident])))
            f.write("    {0, nullptr},\n};\n")


if __name__ == "__main__":
    main()
