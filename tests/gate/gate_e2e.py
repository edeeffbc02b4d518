#!/usr/bin/env python3
"""pmgate under Wine against a real nats-server on a free loopback port, driven by a small NATS
client of this script's own (plain sockets and Python's ssl module): forwarding and statuses,
pieces, a stopped node, TLS refusals (other CA, other host name, expired), a wrong password and
a plain URL to a server off the loopback.

  gate_e2e.py BIN_DIR WINE_RUN      exit 0 when every check passed
"""
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time

BIN, WINE_RUN = sys.argv[1], sys.argv[2]
WORK = tempfile.mkdtemp(prefix="pmgate_e2e_")
failures = []
procs = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def sh(*args):
    subprocess.run(args, cwd=WORK, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_certs():
    """ca (right), ca2 (other CA); server certs: good, other host, other CA, expired."""
    for ca in ("ca", "ca2"):
        sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
           "-subj", "/CN=" + ca, "-keyout", ca + ".key", "-out", ca + ".pem")
    ext = os.path.join(WORK, "ext.cnf")
    with open(ext, "w") as f:
        f.write("[good]\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n"
                "[other]\nsubjectAltName=DNS:elsewhere.test\n"
                "[client]\nextendedKeyUsage=clientAuth\n")
    for name, ca, section in (("good", "ca", "good"), ("otherhost", "ca", "other"),
                              ("otherca", "ca2", "good"), ("client", "ca", "client")):
        sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
           "-keyout", name + ".key", "-out", name + ".csr")
        sh("openssl", "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey",
           ca + ".key", "-CAcreateserial", "-days", "2", "-extfile", ext, "-extensions",
           section, "-out", name + ".pem")
    # Expired: `openssl ca` takes explicit dates (x509 -days cannot go back in time).
    os.makedirs(os.path.join(WORK, "db"), exist_ok=True)
    open(os.path.join(WORK, "db", "index.txt"), "w").close()
    with open(os.path.join(WORK, "ca.cnf"), "w") as f:
        f.write("[ca]\ndefault_ca=d\n[d]\ndatabase=db/index.txt\nnew_certs_dir=db\n"
                "serial=db/serial\ndefault_md=sha256\npolicy=p\ncopy_extensions=none\n"
                "x509_extensions=good\n[p]\ncommonName=supplied\n"
                "[good]\nsubjectAltName=DNS:localhost,IP:127.0.0.1\n")
    with open(os.path.join(WORK, "db", "serial"), "w") as f:
        f.write("1000\n")
    sh("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=expired",
       "-keyout", "expired.key", "-out", "expired.csr")
    sh("openssl", "ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
       "-startdate", "20200101000000Z", "-enddate", "20200102000000Z", "-in", "expired.csr",
       "-out", "expired.pem", "-notext")


def start_server(cert, max_payload=None, client_certs=False):
    port = free_port()
    conf = os.path.join(WORK, "nats-%d.conf" % port)
    with open(conf, "w") as f:
        f.write('listen: "127.0.0.1:%d"\n' % port)
        if max_payload:
            f.write("max_payload: %d\n" % max_payload)
        f.write('tls { cert_file: "%s.pem", key_file: "%s.key"%s }\n'
                % (cert, cert, ', ca_file: "ca.pem", verify: true' if client_certs else ""))
        # A reply in pieces is several responses: allow_responses: true would let only one pass.
        f.write('authorization { users = [\n'
                '  { user: agent1, password: agentpw, permissions: {\n'
                '      subscribe: "procmgr.agent1.>", publish: { deny: ">" },'
                ' allow_responses: { max: 1000 } } }\n'
                '  { user: operator, password: oppw }\n] }\n')
    p = subprocess.Popen(["nats-server", "-c", conf], cwd=WORK, stdout=subprocess.DEVNULL,
                         stderr=subprocess.DEVNULL)
    procs.append(p)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return p, port
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nats-server did not start")


def gate_conf(port, name, password="agentpw", extra=""):
    with open(os.path.join(WORK, name + ".cred"), "w") as f:
        f.write("agent1\n%s\n" % password)
    path = os.path.join(WORK, name + ".conf")
    with open(path, "w") as f:
        f.write("servers = tls://localhost:%d\nca_file = %s\ncredentials = %s\n"
                "machine = agent1\n%s" % (port, wpath("ca.pem"), wpath(name + ".cred"), extra))
    return path


def wpath(name):
    return "Z:" + os.path.join(WORK, name).replace("/", "\\")


def run_gate(conf, wait=None):
    args = [WINE_RUN, os.path.join(BIN, "pmgate.exe"), "--config",
            "Z:" + conf.replace("/", "\\")]
    if wait is not None:
        try:
            r = subprocess.run(args, capture_output=True, text=True, timeout=wait)
        except subprocess.TimeoutExpired:
            return None, "still running after %d s" % wait  # it accepted what it should refuse
        return r.returncode, r.stderr + r.stdout
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    procs.append(p)
    return p


class Client:
    """Just enough of the NATS client protocol for requests with headers in the reply."""

    def __init__(self, port, user, password):
        s = socket.create_connection(("127.0.0.1", port), 5)
        self.buf = b""
        self.sock = s
        self.line()  # INFO in clear
        ctx = ssl.create_default_context(cafile=os.path.join(WORK, "ca.pem"))
        self.sock = ctx.wrap_socket(s, server_hostname="localhost")
        self.send(b'CONNECT {"verbose":false,"headers":true,"no_responders":true,'
                  b'"user":"%s","pass":"%s"}\r\nPING\r\n' % (user.encode(), password.encode()))
        assert self.line() == b"PONG"
        self.send(b"SUB _INBOX.t.* 1\r\n")
        self.n = 0

    def send(self, b):
        self.sock.sendall(b)

    def fill(self):
        d = self.sock.recv(1 << 20)
        if not d:
            raise EOFError
        self.buf += d

    def line(self):
        while b"\r\n" not in self.buf:
            self.fill()
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def take(self, n):
        while len(self.buf) < n + 2:
            self.fill()
        data, self.buf = self.buf[:n], self.buf[n + 2:]
        return data

    def next_msg(self, timeout):
        self.sock.settimeout(timeout)
        while True:
            line = self.line()
            if line == b"PING":
                self.send(b"PONG\r\n")
                continue
            w = line.split()
            if w[0] == b"HMSG":
                hlen, total = int(w[-2]), int(w[-1])
                body = self.take(total)
                return parse_headers(body[:hlen]), body[hlen:]
            if w[0] == b"MSG":
                return {}, self.take(int(w[-1]))

    def request(self, subject, payload, timeout=20):
        self.n += 1
        inbox = "_INBOX.t.%d" % self.n
        self.send(b"PUB %s %s %d\r\n%s\r\n" % (subject.encode(), inbox.encode(), len(payload),
                                               payload))
        headers, body = self.next_msg(timeout)
        if "Pm-Piece" not in headers:
            return headers, body
        count = int(headers["Pm-Piece"].split("/")[1])
        pieces = {int(headers["Pm-Piece"].split("/")[0]): body}
        while len(pieces) < count:
            h, b = self.next_msg(timeout)
            pieces[int(h["Pm-Piece"].split("/")[0])] = b
        whole = b"".join(pieces[i] for i in sorted(pieces))
        headers["pieces"] = count
        headers["whole_ok"] = len(whole) == int(headers["Pm-Size"])
        return headers, whole


def parse_headers(block):
    lines = block.decode().split("\r\n")
    out = {"status_line": lines[0]}
    for l in lines[1:]:
        if ":" in l:
            k, v = l.split(":", 1)
            out[k.strip()] = v.strip()
    return out


def request_message(node, code, params, sender=b"pmconsole-e2e", seq=4242, typ=0):
    sender += b"\0"
    addressee = node.encode() + b"\0"
    sizes = b"".join(struct.pack("<I", len(p)) for p in params)
    size_table = 32 + len(sender) + len(addressee)
    data_off = size_table + len(sizes)
    total = data_off + sum(len(p) for p in params)
    head = struct.pack("<IHBBHHHHHIHHHI", total, 32, typ, 0, len(sender), 32, len(addressee),
                       32 + len(sender), 0, code, len(params), size_table, data_off, seq)
    return head + sender + addressee + sizes + b"".join(params)


def read_reply(b):
    total, _, typ, _, slen, soff, alen, aoff, _, value, count, st, do, seq = \
        struct.unpack("<IHBBHHHHHIHHHI", b[:32])
    return {"len_ok": total == len(b), "type": typ, "status": value, "seq": seq,
            "sender": b[soff:soff + slen - 1], "addressee": b[aoff:aoff + alen - 1],
            "items": count}


def main():
    make_certs()
    env_prefix = os.environ.get("WINEPREFIX")
    print("work dir", WORK, "prefix", env_prefix, flush=True)

    # The plain URL of a server off the loopback is refused before anything connects. The
    # unspecified address is no loopback name, yet a connection to it would stay on this machine.
    conf = os.path.join(WORK, "plain.conf")
    with open(conf, "w") as f:
        f.write("servers = nats://0.0.0.0:4222\nmachine = agent1\n")
    code, out = run_gate(conf, wait=60)
    check(code == 1 and "needs tls://" in out, "plain URL off the loopback refused: %r" % out)

    # TLS refusals, each its own line and exit 3.
    for cert, expect in (("otherca", "unknown issuer"), ("otherhost", "another host"),
                         ("expired", "expired")):
        server, port = start_server(cert)
        code, out = run_gate(gate_conf(port, "g_" + cert), wait=60)
        check(code == 3 and expect in out, "%s certificate refused: %d %r" % (cert, code, out))
        server.terminate()

    # A server that wants a client certificate: refused without one, taken with the PKCS#8
    # key openssl writes; a key file without a key is refused at start-up.
    server, port = start_server("good", client_certs=True)
    code, out = run_gate(gate_conf(port, "g_nocert"), wait=60)
    check(code == 3 and "TLS" in out, "no client certificate: refused: %d %r" % (code, out))
    cert = "cert_file = %s\nkey_file = %s\n" % (wpath("client.pem"), wpath("client.key"))
    code, out = run_gate(gate_conf(port, "g_cert", extra=cert + "trace = 1\n"), wait=8)
    log = open(os.path.join(WORK, "pmgate.log")).read() if os.path.exists(
        os.path.join(WORK, "pmgate.log")) else ""
    check(code is None and ("connected to tls://localhost:%d" % port) in log,
          "client certificate taken: %r %r" % (code, out))
    code, out = run_gate(gate_conf(port, "g_badkey", extra="cert_file = %s\nkey_file = %s\n" % (
        wpath("client.pem"), wpath("client.pem"))), wait=60)
    check(code == 1 and "private key" in out, "a key file without a key: %d %r" % (code, out))
    server.terminate()

    # The stack: quorlent, then the gate against the server with the right certificate and a
    # small maximum payload, so that an update reply travels in several pieces.
    server, port = start_server("good", max_payload=1024)
    code, out = run_gate(gate_conf(port, "g_badpw", password="wrong"), wait=60)
    check(code == 3 and "credentials" in out, "wrong password: one clear line: %r" % out)

    quorlent = subprocess.Popen([WINE_RUN, os.path.join(BIN, "quorlent.exe")])
    procs.append(quorlent)
    gate = run_gate(gate_conf(port, "g_main", extra="allow = 0x73124532,0x73124533,0x73124536,"
                                                     "0x504D4801\ntrace = 1\n"))
    client = Client(port, "operator", "oppw")
    updates = request_message("ProcMgr", 0x73124533, [struct.pack("<I", 0)])
    headers, body = {}, b""
    for _ in range(60):  # until quorlent and the gate are up (bounded)
        try:
            headers, body = client.request("procmgr.agent1.ProcMgr.73124533", updates, timeout=2)
            if headers.get("Pm-Status") == "0":
                break
        except (socket.timeout, TimeoutError):
            pass
        time.sleep(0.5)
    r = read_reply(body) if body else {}
    if headers.get("Pm-Status") != "0" and os.environ.get("PM_GATE_DEBUG"):
        print(open(os.path.join(WORK, "pmgate.log")).read())
    if headers.get("Pm-Status") != "0" and gate.poll() is not None:
        print("the gate ended: %s %s" % (gate.returncode, gate.stderr.read()))
    check(headers.get("Pm-Status") == "0" and r.get("len_ok") and r.get("type") == 1 and
          r.get("status") == 0 and r.get("seq") == 4242 and r.get("sender") == b"ProcMgr" and
          r.get("addressee") == b"pmconsole-e2e",
          "updates forwarded; reply addressed to the console with its sequence number: %r %r"
          % (headers, r))
    config = request_message("ProcMgr", 0x73124532, [])
    h, b = client.request("procmgr.agent1.ProcMgr.73124532", config)
    r = read_reply(b) if b else {}
    check(h.get("Pm-Status") == "0" and r.get("len_ok") and r.get("status") == 0,
          "configuration forwarded: %r" % h)
    check(headers.get("pieces", 0) > 1 and headers.get("whole_ok"),
          "a %s-byte reply above max_payload came in %s pieces, whole"
          % (headers.get("Pm-Size"), headers.get("pieces")))

    cases = (
        ("procmgr.agent1.ProcMgr.73124536.add",
         request_message("ProcMgr", 0x73124536, [struct.pack("<I", 0x100)]), "2",
         "list payload under an add subject"),
        ("procmgr.agent1.ProcMgr.73124535",
         request_message("ProcMgr", 0x73124535, [b"x"]), "1", "code outside the allow-list"),
        ("procmgr.agent1.ProcMgr.73124533", updates[:-1], "6", "truncated request"),
        ("procmgr.agent1.KAVMonitorClientNC.504d4801",
         request_message("KAVMonitorClientNC", 0x504D4801, []), "3",
         "monitor host not running"),
    )
    for subject, payload, status, what in cases:
        h, b = client.request(subject, payload)
        check(h.get("Pm-Status") == status and b == b"", "%s: status %s" % (what, h))

    # Stop quorlent: the agent is said not to be running, at once.
    subprocess.run([WINE_RUN, os.path.join(BIN, "kavipcctl.exe"), "quit", "ProcMgr"],
                   capture_output=True, timeout=60)
    quorlent.wait(timeout=60)
    h, b = client.request("procmgr.agent1.ProcMgr.73124533", updates)
    check(h.get("Pm-Status") == "3", "quorlent stopped: agent not running: %s" % h)

    # The gate reconnects after its server went away and restarts, resubscribed.
    server.terminate()
    server.wait()
    conf_path = os.path.join(WORK, "nats-%d.conf" % port)
    again = subprocess.Popen(["nats-server", "-c", conf_path], cwd=WORK,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(again)
    answered = False
    for _ in range(40):
        try:
            client = Client(port, "operator", "oppw")
            h, b = client.request("procmgr.agent1.ProcMgr.73124533", updates, timeout=1)
            answered = h.get("Pm-Status") == "3"
            if answered:
                break
        except (OSError, EOFError, AssertionError):
            pass
        time.sleep(0.25)
    check(answered, "the gate answers again after its server restarted")

    subprocess.run([WINE_RUN, os.path.join(BIN, "kavipcctl.exe"), "quit", "pmgate"],
                   capture_output=True, timeout=60)
    try:
        code = gate.wait(timeout=30)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "kavipcctl quit pmgate stops the gate with exit code 0 (%s)" % code)


try:
    main()
finally:
    for p in procs:
        if p.poll() is None:
            p.kill()
            p.wait()
    shutil.rmtree(WORK, ignore_errors=True)
print("%d failed" % len(failures))
sys.exit(1 if failures else 0)
