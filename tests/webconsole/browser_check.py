#!/usr/bin/python3
"""The web console in headless chromium (Debian's chromium, chromium-driver, python3-selenium)
against `pmconsole serve` started by browser_test.sh through a real cluster and agent.

    browser_check.py OPERATOR_URL READONLY_URL SHOTS_DIR CONSOLE...

CONSOLE is the operator's command line of the native console (to check from outside what the
page did). Every wait is bounded; a failed check prints FAILED and the exit code is 1."""
import json
import os
import socket
import ssl
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

operator_url, readonly_url, shots = sys.argv[1], sys.argv[2], sys.argv[3]
console = sys.argv[4:]
failed = []


def check(ok, what):
    print(("ok: " if ok else "FAILED: ") + what, flush=True)
    if not ok:
        failed.append(what)


def browser():
    o = webdriver.ChromeOptions()
    o.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1280,900", "--no-first-run", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--metrics-recording-only",
              "--no-proxy-server"):
        o.add_argument(a)
    service = Service(executable_path="/usr/bin/chromedriver")
    return webdriver.Chrome(options=o, service=service)


def wait(d, cond, seconds, what):
    try:
        got = WebDriverWait(d, seconds, poll_frequency=0.25).until(lambda _: cond())
        check(True, what)
        return got
    except TimeoutException:
        check(False, what)
        return None


def http(url, headers, form=None):
    """One request to the console's server: the HTTP status and the JSON answer."""
    data = urllib.parse.urlencode(form).encode() if form is not None else None
    req = urllib.request.Request(url, data=data, headers=headers)
    try:
        with urllib.request.urlopen(req, timeout=30) as r:
            return r.status, json.load(r)
    except urllib.error.HTTPError as e:
        return e.code, json.load(e)


HOSTILE = '<img src=x onerror="window.pwned=1">'


def publish_as(user, subject, payload):
    """Publishes as a machine's login (tools/fleet/cluster.sh's users; TLS with its CA), as a
    gate would; True when the server took it (a PONG, no -ERR)."""
    fleet, port = os.environ["PM_FLEET_DIR"], int(os.environ["PM_FLEET_PORT"])
    with open(f"{fleet}/users/{user}.password") as f:
        password = f.readline().strip()
    raw = socket.create_connection(("127.0.0.1", port), 10)
    raw.recv(4096)  # INFO, in clear
    s = ssl.create_default_context(cafile=f"{fleet}/ca.pem").wrap_socket(raw, server_hostname="localhost")
    s.sendall(b'CONNECT {"verbose":false,"user":"%s","pass":"%s"}\r\nPUB %s %d\r\n%s\r\nPING\r\n'
              % (user.encode(), password.encode(), subject.encode(), len(payload), payload))
    got = b""
    while b"PONG" not in got and b"-ERR" not in got:
        chunk = s.recv(4096)
        if not chunk:
            break
        got += chunk
    s.close()
    return b"PONG" in got and b"-ERR" not in got


def text_of(d, css):
    # Read in the page: live updates redraw rows, so a found element may be gone a moment later.
    return d.execute_script(
        "const e = document.querySelector(arguments[0]); return e ? e.textContent : ''", css)


def click(d, css):
    # In the page, for the same reason as text_of.
    d.execute_script("document.querySelector(arguments[0]).click()", css)


def confirm(d):
    wait(d, lambda: d.find_element(By.ID, "confirm-ok").is_displayed(), 10, "the confirmation shows")
    d.find_element(By.ID, "confirm-ok").click()


def tab(d, name):
    d.find_element(By.CSS_SELECTOR, f".tabs button[data-tab={name}]").click()


def process_names(d):
    return d.execute_script(
        "return [...document.querySelectorAll('#procs tbody tr td:nth-child(2)')].map(t => t.textContent)")


d = browser()
try:
    # The fleet: the machine answers; the URL's token is taken and removed from the address.
    d.get(operator_url)
    row = "#fleet tr.machine[data-machine=agent1] .state"
    wait(d, lambda: text_of(d, row) == "answered", 30, "the fleet list shows agent1 answered")
    check("token=" not in d.current_url, "the token leaves the address bar")
    d.save_screenshot(f"{shots}/webconsole-fleet.png")

    # A machine: a monitor added from the page; a process started afterwards comes and goes in
    # the table, its monitor's chart has points and its alert comes from the alert stream.
    click(d, "#fleet tr.machine[data-machine=agent1] a")
    wait(d, lambda: len(process_names(d)) > 3, 30, "the process table fills")
    tab(d, "monitors")
    d.find_element(By.ID, "mon-name").send_keys("PING.EXE")
    d.find_element(By.ID, "mon-add").click()
    confirm(d)
    wait(d, lambda: text_of(d, "#mon-status").startswith("done"), 30, "adding the monitor says done")
    tab(d, "procs")
    d.find_element(By.ID, "exec-line").send_keys("ping -n 6 127.0.0.1")
    d.find_element(By.ID, "exec-run").click()
    confirm(d)
    wait(d, lambda: text_of(d, "#exec-status").startswith("done"), 30, "exec from the page says done")
    wait(d, lambda: any(n.upper() == "PING.EXE" for n in process_names(d)), 30,
         "the process table shows the started ping")
    d.save_screenshot(f"{shots}/webconsole-machine.png")
    wait(d, lambda: not any(n.upper() == "PING.EXE" for n in process_names(d)), 60,
         "the process table drops the ping when it ends")
    tab(d, "monitors")
    chart = ".chart[data-monitor='PING.EXE'] .points"
    wait(d, lambda: int(text_of(d, chart).split(" ")[0] or 0) >= 2, 60, "the monitor's chart has points")
    check(len(d.find_elements(By.CSS_SELECTOR, ".chart[data-monitor='PING.EXE'] canvas")) >= 2,
          "the monitor's charts are drawn")
    d.save_screenshot(f"{shots}/webconsole-monitors.png")

    # A feed row carries its alert's id in the stream (machine, gate run, number), as `pmconsole
    # fleet alerts` reads it there; a reload shows it again (the server's reading, not the page's).
    feed_ids = "return [...document.querySelectorAll('#alerts li')].filter(li => li.querySelector('b').textContent.toUpperCase() === 'PING.EXE').map(li => li.dataset.id)"
    shown = wait(d, lambda: d.execute_script(feed_ids), 30, "the ping's alert comes to the feed")
    stored = subprocess.run(console + ["fleet", "alerts", "--since", "1h", "--json"], capture_output=True,
                            text=True, timeout=60)
    ids = {"{machine}-{run}-{seq}".format(**json.loads(line)) for line in stored.stdout.splitlines() if line}
    check(bool(shown) and set(shown) <= ids, f"the feed's alerts {shown} are stored in the stream")
    d.refresh()
    wait(d, lambda: shown and shown[0] in d.execute_script(feed_ids), 30, "the feed shows it again after a reload")
    tab(d, "monitors")
    row = "#monitors tr[data-monitor='PING.EXE'] button"
    wait(d, lambda: d.find_elements(By.CSS_SELECTOR, row), 30, "the monitor is listed on the page")
    click(d, row)
    confirm(d)
    wait(d, lambda: not d.find_elements(By.CSS_SELECTOR, row), 30, "the deleted monitor leaves the page")

    # Compliance: agent1's record, written with agent1's own login (its key is the one key a
    # machine may write, and what it writes is the machine's word: hostile), names a service in
    # markup and a drift with a script in what it saw. The fleet row, the machine's tab and the
    # policies view give the drift in words, and a record's text is only ever text.
    policy = f"{shots}/webcheck-policy.json"
    with open(policy, "w") as f:
        json.dump({"name": "webcheck", "machines": "agent1", "interval": 86400,
                   "services": {HOSTILE: "running"}, "forbidden": {"XMRIG.EXE": "kill"}}, f)
    stored = subprocess.run(console + ["fleet", "policy", "set", policy], capture_output=True, text=True, timeout=60)
    check(stored.returncode == 0, "the policy is stored " + stored.stderr.strip())
    time.sleep(3)  # a gate that keeps policies has written its round by now: ours comes after
    item = {"policy": "webcheck", "revision": 1, "did": ""}
    record = {"machine": "agent1", "time_ms": int(time.time() * 1000), "items": [
        dict(item, kind="service", name=HOSTILE, state="failed", saw="no such service"),
        dict(item, kind="forbidden", name="XMRIG.EXE", state="drifted",
             saw="running, pid 4242<script>window.pwned=2</script>", did="killed it")]}
    check(publish_as("agent1", "$KV.PROCMGR_COMPLIANCE.agent1", json.dumps(record).encode()),
          "agent1 stores its compliance record")
    d.get(operator_url.split("#")[0] + "#/")
    cell = "#fleet tr.machine[data-machine=agent1] .compliance"
    wait(d, lambda: text_of(d, cell) == "1 failed, 1 drifted", 60, "the fleet row shows agent1's compliance")
    click(d, "#fleet tr.machine[data-machine=agent1] a")
    tab(d, "compliance")
    items = "#compliance-items"
    wait(d, lambda: "forbidden XMRIG.EXE drifted: running, pid 4242<script>" in text_of(d, items), 30,
         "the machine's compliance tab says what the gate saw and did, as text")
    check(f"service {HOSTILE} failed" in text_of(d, items), "a service name of markup shows as text")
    d.save_screenshot(f"{shots}/webconsole-compliance.png")
    d.get(operator_url.split("#")[0] + "#/policies")
    counts = "return [...document.querySelectorAll('#policies tr[data-policy=webcheck] td')].map(t => t.textContent).slice(6)"
    wait(d, lambda: d.execute_script(counts) == ["0", "0", "0", "1", "0"], 30,
         "the policies view counts agent1 failed for webcheck")
    check("XMRIG.EXE drifted" in text_of(d, ".policy-detail[data-policy=webcheck]"),
          "the policies view gives the drift in words")
    check(d.execute_script("return document.querySelectorAll('main img, main script').length === 0 && window.pwned === undefined"),
          "no markup of a record ran or became an element")
    d.save_screenshot(f"{shots}/webconsole-policies.png")
    subprocess.run(console + ["fleet", "policy", "delete", "webcheck"], capture_output=True, timeout=60)

    # What watching costs the agent, as the server counted it.
    base, token = operator_url.split("#")[0], operator_url.split("token=")[1]
    status, cost = http(base + "api/cost", {"X-Pm-Token": token})
    print("cost: " + json.dumps(cost), flush=True)

    # The server itself refuses what another site would send (the cases of the request checks
    # are the native tests'); the process named does not exist, so nothing would end anyway.
    kill = {"machine": "agent1", "pid": "999999"}
    for headers, want, word, what in [
            ({"X-Pm-Token": token, "Origin": "http://attacker.example"}, 403, "refused", "another site's kill"),
            ({"X-Pm-Token": token[:-1] + ("0" if token[-1] != "0" else "1")}, 401, "refused", "a wrong token"),
            ({"X-Pm-Token": token, "Origin": base.rstrip("/")}, 200, "failed", "the operator's kill of no process")]:
        status, answer = http(base + "api/kill", headers, kill)
        check(status == want and answer.get("word") == word, f"{what}: {word} ({status})")

    # A read-only user: the kill button is refused, in words, on its row.
    d.get(readonly_url)
    d.get(readonly_url.split("#")[0] + "#/m/agent1")
    wait(d, lambda: len(process_names(d)) > 3, 30, "the read-only page shows the processes")
    click(d, "#procs tbody tr button.kill")
    confirm(d)
    result = "#procs tbody tr .result"
    wait(d, lambda: "not permitted" in text_of(d, result), 30,
         "the read-only kill is refused with \"not permitted\"")
    d.save_screenshot(f"{shots}/webconsole-readonly.png")

    # A machine nobody answers for is said so on the page, not left blank.
    d.get(readonly_url.split("#")[0] + "#/m/agent9")
    wait(d, lambda: text_of(d, "#tables-state") == "no such machine", 30,
         "an unknown machine shows \"no such machine\"")
finally:
    d.quit()

print("browser checks: " + ("every check passed" if not failed else f"{len(failed)} failed"))
sys.exit(1 if failed else 0)
