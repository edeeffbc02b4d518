#!/usr/bin/env python3
"""`pmconsole serve` for real, against a nats-server of its own on a loopback port (no agent
is needed: the fleet and the event streams answer without one):

- more event streams than the server admits: the ones beyond the cap get 503 with Retry-After
  and the fleet list still answers while every admitted stream stays open;
- an address off the loopback without --cert and --key is refused with exit code 2 before
  anything listens (0.0.0.0 is only given, never connected to);
- with --cert and --key (a certificate made by openssl here), HTTPS on 127.0.0.1 answers and
  plain HTTP on the same port gets no HTTP answer; a key that does not fit is exit code 2.

  serve_limits_test.py PMCONSOLE [WORK_DIR]      exit 0 passed, 1 failed, 77 skipped
"""
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time

MAX_STREAMS = 12  # kMaxEventStreams
EXTRA_STREAMS = 4
STEP_TIMEOUT = 8  # seconds for any one answer
# The fleet list while every admitted stream is open and the refused ones are kept connected:
# an idle kept-alive connection holds a worker for the server's keep-alive time (1 s), so the
# answer comes well within this; the library's default 5 s would not.
PLAIN_TIMEOUT = 3

console = sys.argv[1]
work = tempfile.mkdtemp(prefix="serve-limits-", dir=sys.argv[2] if len(sys.argv) > 2 else None)
failed = []
procs = []


def check(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok or not detail else ": " + detail))
    if not ok:
        failed.append(name)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_serve(*args):
    """Starts `pmconsole serve` on a free loopback port; answers (process, url, token)."""
    out = open(os.path.join(work, "serve-%d.out" % len(procs)), "w+")
    err = open(os.path.join(work, "serve-%d.err" % len(procs)), "w+")
    p = subprocess.Popen([console, "--server", nats_url, "--machine", "m1", "serve",
                          "--listen", "127.0.0.1:0", "--machines", "m1,m2"] + list(args),
                         stdout=out, stderr=err)
    procs.append(p)
    deadline = time.time() + 20
    while time.time() < deadline and p.poll() is None:
        out.seek(0)
        m = re.search(r"(https?)://127\.0\.0\.1:(\d+)/#token=([0-9a-f]+)", out.read())
        if m:
            return p, m.group(1), int(m.group(2)), m.group(3)
        time.sleep(0.2)
    err.seek(0)
    raise SystemExit("pmconsole serve printed no URL: " + err.read())


def run_console(*args):
    """A console that should refuse at once: (exit code, stderr); code None when it ran on."""
    try:
        r = subprocess.run([console, "--server", nats_url, "--machine", "m1", "serve"] +
                           list(args), capture_output=True, text=True, timeout=STEP_TIMEOUT)
        return r.returncode, r.stderr.strip()
    except subprocess.TimeoutExpired:
        return None, "still running after %d s (it served)" % STEP_TIMEOUT


def open_stream(port, token, machine):
    """An event stream left open; answers (socket, status, headers)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=STEP_TIMEOUT)
    s.sendall(("GET /api/events?machine=%s&token=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
               "Accept: text/event-stream\r\n\r\n" % (machine, token, port)).encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(4096)
        if not chunk:
            break
        head += chunk
    lines = head.split(b"\r\n\r\n")[0].decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if lines and len(lines[0].split()) > 1 else 0
    headers = {l.split(":", 1)[0].lower(): l.split(":", 1)[1].strip() for l in lines[1:] if ":" in l}
    return s, status, headers


def get_fleet(port, token, https_context=None, timeout=STEP_TIMEOUT):
    if https_context:
        c = http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout,
                                        context=https_context)
    else:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        c.request("GET", "/api/fleet", headers={"X-Pm-Token": token})
        r = c.getresponse()
        return r.status, r.read().decode()
    finally:
        c.close()


def main():
    global nats_url
    if not shutil.which("nats-server") or not shutil.which("openssl"):
        print("skipped: nats-server or openssl is not installed")
        return 77
    signal.alarm(240)  # the whole test, whatever hangs
    nats_port = free_port()
    nats = subprocess.Popen(["nats-server", "-a", "127.0.0.1", "-p", str(nats_port)],
                            stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, "nats.log"), "w"))
    procs.append(nats)
    nats_url = "nats://127.0.0.1:%d" % nats_port
    for _ in range(50):
        try:
            socket.create_connection(("127.0.0.1", nats_port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)

    # --- off the loopback: refused before listening ---
    token_file = os.path.join(work, "token")
    with open(token_file, "w") as f:
        f.write("0123456789abcdef0123\n")
    code, err = run_console("--listen", "0.0.0.0:0", "--token-file", token_file)
    check("0.0.0.0 without --cert: exit 2, says why", code == 2 and "--cert" in err,
          "exit %s: %s" % (code, err))

    # --- more event streams than the cap ---
    p, scheme, port, token = start_serve()
    streams, statuses, retry_after = [], [], []
    for i in range(MAX_STREAMS + EXTRA_STREAMS):
        s, status, headers = open_stream(port, token, "m1" if i % 2 else "m2")
        streams.append(s)
        statuses.append(status)
        if status == 503:
            retry_after.append(headers.get("retry-after", ""))
    check("%d streams admitted, the rest 503" % MAX_STREAMS,
          statuses.count(200) == MAX_STREAMS and statuses.count(503) == EXTRA_STREAMS,
          "statuses %s" % statuses)
    check("503 says when to come back", retry_after and all(v.isdigit() for v in retry_after),
          "Retry-After %s" % retry_after)
    try:
        status, body = get_fleet(port, token, timeout=PLAIN_TIMEOUT)
        rows = json.loads(body)
        check("the fleet list answers while the streams are open (within %d s)" % PLAIN_TIMEOUT,
              status == 200 and {r["machine"] for r in rows} == {"m1", "m2"}, body)
    except (OSError, ValueError) as e:
        check("the fleet list answers while the streams are open (within %d s)" % PLAIN_TIMEOUT,
              False, repr(e))
    # A stream that ends frees its place.
    streams[0].close()
    streams = streams[1:]
    ok = False
    for _ in range(30):
        s, status, _ = open_stream(port, token, "m1")
        streams.append(s)
        if status == 200:
            ok = True
            break
        time.sleep(0.2)
    check("a closed stream frees its place", ok)
    for s in streams:
        s.close()

    # --- HTTPS with --cert and --key ---
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key,
                    "-out", cert], check=True, capture_output=True, timeout=30)
    other_key = os.path.join(work, "other-key.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "ec", "-pkeyopt",
                    "ec_paramgen_curve:prime256v1", "-out", other_key], check=True,
                   capture_output=True, timeout=30)
    code, err = run_console("--listen", "127.0.0.1:0", "--cert", cert, "--key", other_key)
    check("a key that does not fit the certificate: exit 2", code == 2, "exit %s: %s" % (code, err))
    p, scheme, port, token = start_serve("--cert", cert, "--key", key)
    check("the URL is https", scheme == "https", scheme)
    context = ssl.create_default_context(cafile=cert)
    try:
        status, body = get_fleet(port, token, context)
        check("HTTPS on 127.0.0.1 answers, the certificate verified",
              status == 200 and body.startswith("["), "%d %s" % (status, body))
    except (OSError, ssl.SSLError) as e:
        check("HTTPS on 127.0.0.1 answers, the certificate verified", False, repr(e))
    try:
        status, body = get_fleet(port, token)
        check("plain HTTP gets no answer", False, "HTTP %d" % status)
    except (OSError, http.client.HTTPException) as e:
        check("plain HTTP gets no answer", True, repr(e))
    return 1 if failed else 0


def overdue(*_):
    raise TimeoutError("the test took longer than its bound")


signal.signal(signal.SIGALRM, overdue)
code = 1
try:
    code = main()
except (TimeoutError, socket.timeout) as e:
    failed.append(repr(e))
    print("FAIL " + repr(e))
finally:
    for p in procs:
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
    if not failed:
        shutil.rmtree(work, ignore_errors=True)
print("serve limits: %s" % ("passed" if code == 0 else "skipped" if code == 77 else
                             "%d failed (%s)" % (len(failed), work)))
sys.exit(code)
