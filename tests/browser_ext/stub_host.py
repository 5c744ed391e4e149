#!/usr/bin/env python3
"""A stand-in for Dorimel's native messaging host in the browser tests.

It answers "hello" with http and ftp and refuses every "download" with
"start_failed", the way the real host answers when the program cannot be
started (or, while $DORIMEL_STUB_DIR/accept exists, says it took it and
starts nothing), and appends every message it reads, one JSON object a line, to
$DORIMEL_STUB_DIR/messages.jsonl, so that a test sees exactly what the
extension sent.
"""
import json
import os
import struct
import sys


def read_message(stream):
    header = stream.read(4)
    if len(header) < 4:
        return None
    (length,) = struct.unpack("=I", header)
    return json.loads(stream.read(length).decode("utf-8"))


def write_message(stream, message):
    body = json.dumps(message).encode("utf-8")
    stream.write(struct.pack("=I", len(body)) + body)
    stream.flush()


def main():
    log = os.path.join(os.environ["DORIMEL_STUB_DIR"], "messages.jsonl")
    while True:
        message = read_message(sys.stdin.buffer)
        if message is None:
            return
        with open(log, "a", encoding="utf-8") as out:
            out.write(json.dumps(message) + "\n")
        if message.get("type") == "hello":
            write_message(sys.stdout.buffer, {"ok": True, "version": "0.11", "schemes": ["http", "ftp"]})
        elif os.path.exists(os.path.join(os.environ["DORIMEL_STUB_DIR"], "accept")):
            write_message(sys.stdout.buffer, {"ok": True})
        else:
            write_message(sys.stdout.buffer, {"ok": False, "error": "start_failed",
                                              "message": "the stand-in host starts nothing"})


if __name__ == "__main__":
    main()
