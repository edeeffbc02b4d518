#!/usr/bin/python3
"""What the web console costs an agent per minute of watching: one headless chromium page open
on a machine for SECONDS, the console's counters (requests to the machines and bytes both
ways) read before and after.

    bench/webconsole_watch_cost.py URL [SECONDS] [MACHINE] [SCREENSHOT.png]

URL is what `pmconsole serve` printed (with its token); MACHINE defaults to agent1; "-" keeps the
fleet page open instead (every machine asked every 5 s)."""
import json
import sys
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

url = sys.argv[1]
seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
machine = sys.argv[3] if len(sys.argv) > 3 else "agent1"
shot = sys.argv[4] if len(sys.argv) > 4 else ""
base, token = url.split("#")[0], url.split("token=")[1]


def cost():
    req = urllib.request.Request(base + "api/cost", headers={"X-Pm-Token": token})
    with urllib.request.urlopen(req, timeout=10) as r:
        return json.load(r)


o = webdriver.ChromeOptions()
o.binary_location = "/usr/bin/chromium"
for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1280,900"):
    o.add_argument(a)
d = webdriver.Chrome(options=o, service=Service(executable_path="/usr/bin/chromedriver"))
try:
    d.get(url)
    if machine != "-":
        d.get(base + "#/m/" + machine)
    time.sleep(3)  # the opening requests (list, statistics) are not the steady cost
    before = cost()
    time.sleep(seconds)
    after = cost()
    if shot:
        d.save_screenshot(shot)
finally:
    d.quit()
minutes = seconds / 60
n = after["requests"] - before["requests"]
sent = after["bytes_sent"] - before["bytes_sent"]
received = after["bytes_received"] - before["bytes_received"]
print(f"watching {'the fleet' if machine == '-' else machine} for {seconds:.0f} s: {n / minutes:.1f} requests/min, "
      f"{sent / minutes:.0f} bytes/min sent, {received / minutes:.0f} bytes/min received "
      f"({(sent + received) / max(n, 1):.0f} bytes per request)")
