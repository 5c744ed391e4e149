#!/usr/bin/env python3
"""Checks that the source folders read from the bottom up.

Each folder may include headers of its own folder and of folders below it,
never of a folder above it or beside it; the portable folders include no OS
header. Run by ./test.sh (through ctest); exits 1 and names every offending
line when a rule is broken.

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
# Folders that never see an operating system, and the headers that would.
PORTABLE = {"foundation", "protocol", "state", "engine"}
PORTABLE_APP_TOP = "app"  # app/*.cpp at the top level; app/win32 and app/console are front ends
OS_HEADER = re.compile(r"^(windows|winsock2?|ws2tcpip|wininet|shlobj|shellapi|commctrl|objbase|"
                       r"unistd|poll|fcntl|pthread|netdb|dlfcn|termios|signal)\.h$|^(sys|arpa|netinet)/")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def check(root):
    problems = []
    for top, rank in RANKS.items():
        base = os.path.join(root, top)
        for folder, _, names in os.walk(base):
            for name in sorted(names):
                if not name.endswith((".h", ".cpp", ".c", ".rc")):
                    continue
                path = os.path.join(folder, name)
                rel = os.path.relpath(path, root)
                portable = top in PORTABLE or (top == PORTABLE_APP_TOP and os.path.dirname(rel) == "app")
                with open(path, encoding="utf-8", errors="replace") as f:
                    for n, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        kind, header = m.groups()
                        if kind == "<":
                            if portable and OS_HEADER.search(header):
                                problems.append(f"{rel}:{n}: portable code includes the OS header <{header}>")
                            continue
                        target = header.split("/", 1)[0]
                        if "/" not in header or target not in RANKS or target == top:
                            continue
                        if RANKS[target] >= rank:
                            problems.append(f"{rel}:{n}: {top}/ includes {header}, "
                                            f"a folder {'beside' if RANKS[target] == rank else 'above'} it")
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
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
