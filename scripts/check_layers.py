#!/usr/bin/env python3
"""Checks that the source folders read from the bottom up.

Each folder may include headers of its own folder and of folders below it,
never of a folder above it or beside it; the portable folders include only the
C and C++ standard headers and the project's own. Every include is resolved
the way the compiler does: a quoted name first beside the including file, then
in the include folders; an angled name in the include folders, else it is a
system header. So "../app/x.h", <app/x.h> and "x.h" beside the file all count.
Run by ./test.sh (through ctest); exits 1 and names every offending line when
a rule is broken.

usage: check_layers.py [ROOT]
"""
import os
import re
import sys

# Rank of each folder: a file may include a header of a folder of lower rank,
# or of its own folder. Folders of the same rank may not include each other.
RANKS = {
    "resources": 0,       # templates, control and string IDs (no code)
    "foundation": 0,      # Text, code pages, string-table lookup, the run's settings
    "platform": 1,        # the seam (headers) and its posix/ and win32/ sides
    "protocol": 2,        # wire formats: URLs, HTTP header, FTP replies
    "state": 3,           # resume state, block map, records
    "engine": 4,          # the job, its sessions, connections, HTTP and FTP exchanges
    "app": 5,             # start-up, dialog rules, front ends (win32/, console/)
    "browser_module": 5,  # DorimelDLM.dll
    "setup_starter": 5,   # setupstart.exe
    "settings_app": 6,    # DorimelServer.exe (loads and shares browser_module)
    "native_host": 6,     # dorimel-host / DorimelHost.exe (asks app/console for the options file)
}
# Folders that never see an operating system; app/*.cpp at the top level too
# (app/win32 and app/console are front ends).
PORTABLE = {"foundation", "protocol", "state", "engine"}
PORTABLE_APP_TOP = "app"
# The include folders of the build (-I): the source root and, for the
# programs' resources, resources/. Generated headers live in the build tree.
INCLUDE_DIRS = ["", "resources"]
SOURCE_SUFFIXES = (".h", ".hpp", ".hh", ".hxx", ".inl", ".ipp", ".cpp", ".cc", ".cxx", ".c", ".rc")

C_STANDARD = {
    "assert.h", "complex.h", "ctype.h", "errno.h", "fenv.h", "float.h", "inttypes.h", "iso646.h",
    "limits.h", "locale.h", "math.h", "setjmp.h", "stdalign.h", "stdarg.h", "stdatomic.h",
    "stdbit.h", "stdbool.h", "stdckdint.h", "stddef.h", "stdint.h", "stdio.h", "stdlib.h",
    "stdnoreturn.h", "string.h", "tgmath.h", "threads.h", "time.h", "uchar.h", "wchar.h", "wctype.h",
}
CPP_STANDARD = {
    "algorithm", "any", "array", "atomic", "barrier", "bit", "bitset", "cassert", "cctype", "cerrno",
    "cfenv", "cfloat", "charconv", "chrono", "cinttypes", "climits", "clocale", "cmath", "codecvt",
    "compare", "complex", "concepts", "condition_variable", "coroutine", "csetjmp", "cstdarg",
    "cstddef", "cstdint", "cstdio", "cstdlib", "cstring", "ctime", "cuchar", "cwchar", "cwctype",
    "deque", "exception", "execution", "expected", "filesystem", "flat_map", "flat_set", "format",
    "forward_list", "fstream", "functional", "future", "generator", "initializer_list", "iomanip",
    "ios", "iosfwd", "iostream", "istream", "iterator", "latch", "limits", "list", "locale", "map",
    "mdspan", "memory", "memory_resource", "mutex", "new", "numbers", "numeric", "optional",
    "ostream", "print", "queue", "random", "ranges", "ratio", "regex", "scoped_allocator",
    "semaphore", "set", "shared_mutex", "source_location", "span", "spanstream", "sstream", "stack",
    "stacktrace", "stdexcept", "stdfloat", "stop_token", "streambuf", "string", "string_view",
    "syncstream", "system_error", "thread", "tuple", "type_traits", "typeindex", "typeinfo",
    "unordered_map", "unordered_set", "utility", "valarray", "variant", "vector", "version",
}
# Signals are the front ends' business (the console's Ctrl-C), although
# <signal.h> is standard C. The compiler's own intrinsics headers are no OS:
# the SHA-256 code asks the processor for its SHA instructions through them.
PORTABLE_SYSTEM_HEADERS = (C_STANDARD | CPP_STANDARD | {"cpuid.h", "immintrin.h"}) - {"signal.h", "csignal"}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def resolve(root, including, kind, name):
    """The file (relative to root, "/" separated) that the compiler would
    include, or None when it is not one of the project's (a system header, or
    a header generated in the build tree)."""
    folders = ([os.path.dirname(including)] if kind == '"' else []) + \
        [os.path.join(root, d) for d in INCLUDE_DIRS]
    for folder in folders:
        candidate = os.path.normpath(os.path.join(folder, name))
        if os.path.isfile(candidate):
            rel = os.path.relpath(candidate, root)
            if not rel.startswith(".."):
                return rel.replace(os.sep, "/")
    return None


def is_portable(rel):
    top = rel.split("/", 1)[0]
    return top in PORTABLE or (top == PORTABLE_APP_TOP and rel.count("/") == 1)


def check_file(root, path, problems):
    rel = os.path.relpath(path, root).replace(os.sep, "/")
    top = rel.split("/", 1)[0]
    rank, portable = RANKS[top], is_portable(rel)
    with open(path, encoding="utf-8", errors="replace") as f:
        for n, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            kind, name = m.groups()
            target = resolve(root, path, kind, name)
            if target is None:
                # Generated headers sit in the build tree under the name of
                # the folder they belong to ("foundation/strings_gen.h").
                first = name.split("/", 1)[0]
                if "/" in name and first in RANKS:
                    target = name
                elif portable and name not in PORTABLE_SYSTEM_HEADERS:
                    problems.append(f"{rel}:{n}: portable code includes <{name}>, "
                                    "not a C or C++ standard header")
                    continue
                else:
                    continue
            target_top = target.split("/", 1)[0]
            if target_top not in RANKS:
                problems.append(f"{rel}:{n}: includes {target}, outside the source folders")
                continue
            if target_top != top and RANKS[target_top] >= rank:
                relation = "beside" if RANKS[target_top] == rank else "above"
                problems.append(f"{rel}:{n}: {top}/ includes {target}, a folder {relation} it")
            elif portable and target_top == top == PORTABLE_APP_TOP and not is_portable(target):
                problems.append(f"{rel}:{n}: portable app code includes the front end's {target}")


def check(root):
    problems = []
    for top in RANKS:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith(SOURCE_SUFFIXES):
                    check_file(root, os.path.join(folder, name), problems)
    return problems


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    problems = check(root)
    for p in problems:
        print(p)
    if problems:
        print(f"layer check: {len(problems)} include(s) break the layers")
        return 1
    print("layer check: every folder includes only itself and the folders below it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
