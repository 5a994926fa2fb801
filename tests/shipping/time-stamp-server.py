#!/usr/bin/python3
"""A time-stamp server (RFC 3161 over HTTP) for the signing test: answers every query with a reply
that openssl signs with the given time-stamping certificate. Prints its port, then serves until
killed.

usage: time-stamp-server.py CERTIFICATE KEY WORK_FOLDER
"""
import http.server
import os
import subprocess
import sys

CONFIG = """[ tsa ]
default_tsa = test_tsa
[ test_tsa ]
serial = {folder}/serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: time-stamp-server.py CERTIFICATE KEY WORK_FOLDER")
    certificate, key, folder = sys.argv[1:]
    config = os.path.join(folder, "tsa.cnf")
    with open(config, "w") as out:
        out.write(CONFIG.format(folder=folder))
    with open(os.path.join(folder, "serial"), "w") as out:
        out.write("01\n")

    class FTimeStampHandler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = os.path.join(folder, "query")
            reply = os.path.join(folder, "reply")
            with open(query, "wb") as out:
                out.write(self.rfile.read(int(self.headers["Content-Length"])))
            made = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", query,
                                   "-signer", certificate, "-inkey", key, "-out", reply],
                                  capture_output=True)
            if made.returncode != 0:
                self.send_error(500, made.stderr.decode(errors="replace"))
                return
            with open(reply, "rb") as source:
                body = source.read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), FTimeStampHandler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
