#!/usr/bin/python3
"""A pyftpdlib server for the FTP tests, on 127.0.0.1.

usage: ftp_server.py ROOT PORT [--tls CERT KEY] [--user NAME PASSWORD] [--throttle BYTES]

Anonymous users may read ROOT; the named user, when given, has ROOT as home with full rights.
With --tls the server is explicit FTPS and requires TLS on the control connection and PROT P
for data (tls_control_required, tls_data_required). --throttle caps what each data connection
sends per second (plain FTP only). Sessions, transfers and every REST go to standard error.
"""
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.servers import FTPServer


def main(argv):
    root, port = argv[1], int(argv[2])
    rest = argv[3:]
    authorizer = DummyAuthorizer()
    authorizer.add_anonymous(root, perm="elr")
    handler = None
    dtp_handler = None
    while rest:
        if rest[0] == "--tls":
            from pyftpdlib.handlers import TLS_FTPHandler

            handler = TLS_FTPHandler
            handler.certfile, handler.keyfile = rest[1], rest[2]
            handler.tls_control_required = True
            handler.tls_data_required = True
            rest = rest[3:]
        elif rest[0] == "--throttle":
            from pyftpdlib.handlers import ThrottledDTPHandler

            ThrottledDTPHandler.write_limit = int(rest[1])
            dtp_handler = ThrottledDTPHandler
            rest = rest[2:]
        elif rest[0] == "--user":
            authorizer.add_user(rest[1], rest[2], root, perm="elradfmw")
            rest = rest[3:]
        else:
            sys.exit("unknown option " + rest[0])
    if handler is None:
        from pyftpdlib.handlers import FTPHandler

        handler = FTPHandler
    handler.authorizer = authorizer
    if dtp_handler is not None:
        handler.dtp_handler = dtp_handler
    handler.log_cmds_list = handler.log_cmds_list + ["REST"]
    handler.auth_failed_timeout = 0
    logging.basicConfig(level=logging.INFO)
    server = FTPServer(("127.0.0.1", port), handler)
    server.max_cons = 256
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main(sys.argv)
