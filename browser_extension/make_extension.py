#!/usr/bin/env python3
"""Builds the browser extension for both kinds of browser from one source.

usage: make_extension.py OUT_DIR

Writes OUT_DIR/chromium and OUT_DIR/firefox: each a copy of src/ with a
manifest.json made from manifest.json here. Chromium-based browsers get the
background as a service worker and the "key" that pins the extension's id
(the id the native messaging host's manifests allow); Firefox gets the
background as scripts and its add-on id. The version is the program's own
(string 3 of resources/strings.txt).
"""
import json
import re
import shutil
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# Public key of the extension; Chromium derives the id
# ealaikofgjonemfojipmlkdhckdghgej from it.
CHROMIUM_KEY = (
    "MIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8AMIIBCgKCAQEAtKHu/Tjakxt/OkWZ/voQBfVyo55DknhBbKjsqHOhtsxlZma8jOcbp45BULDx1"
    "+e57Ydg0Fy2Ut4yyApyR6WdYOXvoq/O5vltvAfW9lVflMyICqySXTuYehuGAtUi6x1+aB6mcE/VImVw9hwZgOudToXMuhg7npXukHhQ0He"
    "8L5AG9mpKA1WpD1bJxCkiFEqd1nPLkvlKw2DaZcCKcFfCh0VbJZQxsw07VEcGnM0HLS4h/e9s/zyRxd5cTivee17wj/HVGkkosVJJ2vxW3"
    "1lBfCSg6svWejdTsKfkY6y8BrJag80lymqpS7mdIAtkvqX3MB5wEv/7ZtNlzWKEomnRvwIDAQAB")
GECKO_ID = "handoff@dorimel"


def program_version():
    strings = (HERE.parent / "resources" / "strings.txt").read_text(encoding="utf-8")
    match = re.search(r"^3\t.*?ver([0-9][0-9.]*)", strings, re.MULTILINE)
    if not match:
        sys.exit("make_extension: no version in resources/strings.txt")
    return match.group(1).rstrip(".")


def manifests(version):
    base = json.loads((HERE / "manifest.json").read_text(encoding="utf-8"))
    base["version"] = version
    chromium = dict(base, background={"service_worker": "background.js"}, key=CHROMIUM_KEY)
    # Firefox: the listener that notes POSTs blocks (background.js says why).
    firefox = dict(base, background={"scripts": ["background.js"]},
                   permissions=base["permissions"] + ["webRequestBlocking"],
                   browser_specific_settings={"gecko": {"id": GECKO_ID, "strict_min_version": "115.0"}})
    return {"chromium": chromium, "firefox": firefox}


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_extension.py OUT_DIR")
    out = Path(sys.argv[1])
    for browser, manifest in manifests(program_version()).items():
        target = out / browser
        if target.exists():
            shutil.rmtree(target)
        shutil.copytree(HERE / "src", target)
        (target / "manifest.json").write_text(json.dumps(manifest, indent=2, ensure_ascii=False) + "\n",
                                              encoding="utf-8")


if __name__ == "__main__":
    main()
