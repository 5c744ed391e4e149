#!/usr/bin/env python3
"""Plants includes in a scratch source tree and runs the layer check on it:
every planted line must be named, no ordinary line may be.
usage: layer_check_test.py CHECK_LAYERS_PY"""
import importlib.util
import os
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing left in scripts/

module_spec = importlib.util.spec_from_file_location("check_layers", sys.argv[1])
check_layers = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(check_layers)

FILES = {
    "app/x.h": "",
    "app/win32/window.h": "",
    "engine/job.h": "",
    "engine/sub/part.h": "",
    "platform/net.h": "",
    "state/records.hpp": "",
    # (path, include line, caught?)
}
CASES = [
    ("engine/job.cpp", '#include "../app/x.h"', True),           # relative path to a folder above
    ("engine/job.cpp", "#include <app/x.h>", True),              # angled name of a project header
    ("engine/sub/part.cpp", '#include "../../app/x.h"', True),
    ("state/records.hpp", '#include "engine/job.h"', True),      # .hpp files are read too
    ("engine/job.cpp", "#include <io.h>", True),                 # OS headers beyond any short list
    ("engine/job.cpp", "#include <shlwapi.h>", True),
    ("protocol/url.cpp", "#include <dirent.h>", True),
    ("app/rules.cpp", "#  include <sys/stat.h>", True),
    ("app/rules.cpp", '#include "win32/window.h"', True),       # portable app code, a front end's header
    ("engine/job.cpp", '#include "windows.h"', True),            # quoted, found only among the system's
    ("engine/job.cpp", "#include <signal.h>", True),
    # Ordinary includes.
    ("engine/job.cpp", '#include "engine/job.h"', False),
    ("engine/job.cpp", '#include "sub/part.h"', False),          # beside the file
    ("engine/job.cpp", '#include "../platform/net.h"', False),   # a folder below, written relatively
    ("engine/job.cpp", "#include <cstdint>", False),
    ("engine/job.cpp", "#include <string.h>", False),
    ("app/rules.cpp", "#include <immintrin.h>", False),
    ("app/win32/window.cpp", "#include <windows.h>", False),     # front ends may see the OS
    ("app/win32/window.cpp", '#include "app/x.h"', False),
]


def main():
    failures = 0
    for number, (path, line, caught) in enumerate(CASES):
        with tempfile.TemporaryDirectory() as root:
            for name, text in list(FILES.items()) + [(path, line + "\n")]:
                full = os.path.join(root, name)
                os.makedirs(os.path.dirname(full), exist_ok=True)
                with open(full, "w") as f:
                    f.write(text)
            problems = check_layers.check(root)
            named = [p for p in problems if p.startswith(path + ":1:")]
            if bool(named) != caught or len(problems) != len(named):
                failures += 1
                print(f"FAIL: {path}: {line}: expected {'a' if caught else 'no'} problem, got {problems}")
    print(f"{len(CASES) - failures} of {len(CASES)} cases as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
