#!/usr/bin/env python3
# FTP server of the tests with a user name and password (pyftpdlib, Debian's
# python3-pyftpdlib), on 127.0.0.1 only, passive mode on the loopback.
# Usage: ftp_user_server.py ROOT PORT USER PASSWORD
# Prints "READY" once it listens; serves until it is terminated.
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    logging.basicConfig(level=logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elr")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    server = FTPServer(("127.0.0.1", port), handler)
    print("READY", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
