#!/usr/bin/env python3
"""What the Windows NATS client trusts, with the real gate and the real Windows console under
Wine against a real nats-server (tracing every line it reads) on a free loopback port.

Chains made here with openssl: the genuine CA; a forged root that copies the CA's name and
serial number with a key of its own, whose certificate is offered by the forged leaf's "CA
Issuers" URL (a loopback HTTP server of this script) or sent by the server itself; a chain
through an intermediate CA (taken), through an expired one and through a certificate that is
no CA (both refused).

For each chain: refused means exit 3 (the gate and the console alike) and no CONNECT in the
server's trace, so the password never left; taken means the server saw the CONNECT (the gate
then keeps running; the console's request finds nobody: exit 5). The HTTP server must never be
asked for anything.

  tls_trust_e2e.py BIN_DIR WINE_RUN      exit 0 when every check passed, 77 (skipped) when
                                         the Windows programs are not built
"""
import http.server
import os
import secrets
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

BIN, WINE_RUN = sys.argv[1], sys.argv[2]
if not all(os.path.exists(os.path.join(BIN, f))
           for f in ("pmgate.exe", "pmconsole.exe", "KAVIPC32.DLL")):
    print("skipped: pmgate.exe, pmconsole.exe and KAVIPC32.DLL are not all built in " + BIN)
    sys.exit(77)
WORK = tempfile.mkdtemp(prefix="pm_tls_trust_")
failures = []
passed = []
procs = []
fetched = []  # paths the HTTP server was asked for


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    (passed if ok else failures).append(what)


def sh(*args):
    return subprocess.run(args, cwd=WORK, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True).stdout


def path(name):
    return os.path.join(WORK, name)


def wpath(name):
    return "Z:" + path(name).replace("/", "\\")


def write(name, text):
    with open(path(name), "w") as f:
        f.write(text)


class Issuers(http.server.BaseHTTPRequestHandler):
    """Serves the forged root (DER) at any path and notes every request."""
    body = b""

    def do_GET(self):
        fetched.append(self.path)
        self.send_response(200)
        self.send_header("Content-Type", "application/pkix-cert")
        self.send_header("Content-Length", str(len(self.body)))
        self.end_headers()
        self.wfile.write(self.body)

    def log_message(self, *args):
        pass


def make_certs(aia_url):
    san = "subjectAltName=DNS:localhost,IP:127.0.0.1\n"
    write("ext.cnf",
          "[leaf]\n" + san +
          "[forged]\n" + san + "authorityInfoAccess=caIssuers;URI:%s\n" % aia_url +
          "[inter]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign,cRLSign\n"
          "[ee]\nbasicConstraints=critical,CA:false\n" + san)
    # The genuine CA, and the forged root: same name, same serial number, another key.
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
       "-subj", "/O=Quorlent Test/CN=fleet CA", "-keyout", "ca.key", "-out", "ca.pem")
    serial = sh("openssl", "x509", "-in", "ca.pem", "-noout", "-serial").strip().split("=")[1]
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
       "-subj", "/O=Quorlent Test/CN=fleet CA", "-set_serial", "0x" + serial,
       "-keyout", "forged.key", "-out", "forged.pem")
    sh("openssl", "x509", "-in", "forged.pem", "-outform", "DER", "-out", "forged.der")
    Issuers.body = open(path("forged.der"), "rb").read()

    def sign(name, ca, section, days="2"):
        sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
           "-keyout", name + ".key", "-out", name + ".csr")
        sh("openssl", "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey",
           ca + ".key", "-set_serial", str(secrets.randbelow(1 << 60) + 1), "-days", days,
           "-extfile", "ext.cnf", "-extensions", section, "-out", name + ".pem")

    sign("good", "ca", "leaf")
    sign("forgedleaf", "forged", "forged")
    sign("inter", "ca", "inter")
    sign("viainter", "inter", "leaf")
    sign("ee", "ca", "ee")
    sign("viaee", "ee", "leaf")
    # An intermediate that expired: `openssl ca` takes explicit dates.
    os.makedirs(path("db"), exist_ok=True)
    write("db/index.txt", "")
    write("db/serial", "1000\n")
    write("ca.cnf", "[ca]\ndefault_ca=d\n[d]\ndatabase=db/index.txt\nnew_certs_dir=db\n"
          "serial=db/serial\ndefault_md=sha256\npolicy=p\ncopy_extensions=none\n"
          "x509_extensions=inter\n[p]\ncommonName=supplied\n"
          "[inter]\nbasicConstraints=critical,CA:true\nkeyUsage=critical,keyCertSign\n")
    sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=oldinter",
       "-keyout", "oldinter.key", "-out", "oldinter.csr")
    sh("openssl", "ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
       "-startdate", "20200101000000Z", "-enddate", "20200102000000Z", "-in", "oldinter.csr",
       "-out", "oldinter.pem", "-notext")
    sign("viaold", "oldinter", "leaf")
    # What each server sends: its certificate, then the rest of its chain.
    for name, chain in (("good", ["good"]), ("forgedleaf", ["forgedleaf"]),
                        ("forgedchain", ["forgedleaf", "forged"]),
                        ("viainter", ["viainter", "inter"]), ("viaee", ["viaee", "ee"]),
                        ("viaold", ["viaold", "oldinter"])):
        write(name + ".chain", "".join(open(path(c + ".pem")).read() for c in chain))
        if name == "forgedchain":
            shutil.copy(path("forgedleaf.key"), path("forgedchain.key"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_server(cert):
    port = free_port()
    write("nats-%s.conf" % cert,
          'listen: "127.0.0.1:%d"\n'
          'tls { cert_file: "%s.chain", key_file: "%s.key" }\n'
          'authorization { users = [\n'
          '  { user: agent1, password: "gate-%s",'
          ' permissions: { subscribe: "procmgr.agent1.>", publish: { deny: ">" } } }\n'
          '  { user: operator, password: "console-%s" }\n] }\n'
          % (port, cert, cert, SECRET, SECRET))
    log = open(path("nats-%s.log" % cert), "w")
    p = subprocess.Popen(["nats-server", "-c", "nats-%s.conf" % cert, "-DV"], cwd=WORK,
                         stdout=log, stderr=subprocess.STDOUT)
    procs.append(p)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return p, port
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nats-server did not start")


def connects_seen(cert):
    """The CONNECT lines the server read (each carries the user and the password)."""
    text = open(path("nats-%s.log" % cert)).read()
    return [l for l in text.splitlines() if "CONNECT {" in l]


def run_gate(cert, port):
    write("g_%s.cred" % cert, "agent1\ngate-%s\n" % SECRET)
    write("g_%s.conf" % cert, "servers = tls://localhost:%d\nca_file = %s\ncredentials = %s\n"
          "machine = agent1\n" % (port, wpath("ca.pem"), wpath("g_%s.cred" % cert)))
    p = subprocess.Popen([WINE_RUN, os.path.join(BIN, "pmgate.exe"), "--config",
                          wpath("g_%s.conf" % cert)], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True)
    procs.append(p)
    deadline = time.time() + 60
    while time.time() < deadline:  # until it ends, or the server has its CONNECT
        if p.poll() is not None:
            return p.returncode, p.stdout.read().strip()
        if connects_seen(cert):
            time.sleep(1)
            if p.poll() is None:
                p.kill()
                p.wait()
                return "running", ""
            return p.returncode, p.stdout.read().strip()
        time.sleep(0.2)
    p.kill()
    p.wait()
    return "hung", ""


def run_console(cert, port):
    write("c_%s.pw" % cert, "console-%s\n" % SECRET)
    try:
        r = subprocess.run([WINE_RUN, os.path.join(BIN, "pmconsole.exe"),
                            "--server", "tls://localhost:%d" % port, "--machine", "agent1",
                            "--user", "operator", "--password-file", wpath("c_%s.pw" % cert),
                            "--ca", wpath("ca.pem"), "ps"],
                           capture_output=True, text=True, timeout=120)
    except subprocess.TimeoutExpired:
        return "hung", ""
    return r.returncode, (r.stderr + r.stdout).strip()


SECRET = secrets.token_hex(8)


def main():
    issuers = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Issuers)
    threading.Thread(target=issuers.serve_forever, daemon=True).start()
    # A path of its own per run: nothing a Wine prefix cached from an earlier run answers it.
    url = "http://127.0.0.1:%d/ca-%s.der" % (issuers.server_address[1], SECRET)
    make_certs(url)

    cases = (  # server's chain, taken?, what it is
        ("good", True, "the CA's own server certificate"),
        ("viainter", True, "a server certificate through an intermediate CA the server sends"),
        ("forgedleaf", False, "a forged root (the CA's name and serial, another key) offered "
                              "through the leaf's CA Issuers URL"),
        ("forgedchain", False, "the same forged root sent by the server in its chain"),
        ("viaee", False, "a chain through a certificate that is no CA (CA:false)"),
        ("viaold", False, "a chain through an intermediate CA that has expired"),
    )
    for cert, taken, what in cases:
        server, port = start_server(cert)
        gate, gate_out = run_gate(cert, port)
        gate_connects = connects_seen(cert)
        console, console_out = run_console(cert, port)
        connects = connects_seen(cert)
        server.terminate()
        server.wait()
        if taken:
            check(gate == "running" and len(gate_connects) == 1,
                  "gate takes %s: %s %r" % (what, gate, gate_out))
            check(console == 5 and len(connects) == 2,
                  "console takes %s (nobody answers for agent1: exit 5): %s %r"
                  % (what, console, console_out))
        else:
            check(gate == 3 and "TLS" in gate_out,
                  "gate refuses %s: exit %s %r" % (what, gate, gate_out))
            check(console == 3 and "TLS" in console_out,
                  "console refuses %s: exit %s %r" % (what, console, console_out))
            check(not connects,
                  "the server saw no CONNECT for %s: %r" % (what, connects))
    check(not fetched, "nothing was fetched from the CA Issuers URL: %r" % fetched)
    issuers.shutdown()


try:
    main()
finally:
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait()
    shutil.rmtree(WORK, ignore_errors=True)
print("%d passed, %d failed" % (len(passed), len(failures)))
sys.exit(1 if failures else 0)
