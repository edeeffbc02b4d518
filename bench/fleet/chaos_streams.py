"""What the streams hold, read for the chaos checker, for the simulated machines
(chaos_check.py) and the real ones (chaos_wine.py) alike: a queued command's record in
PROCMGR_RESULTS and the judgement of it against the runs its machine recorded; the stored
alerts."""
import base64
import json
import os
import subprocess
import time


def result(nc, machine, qid):
    """(record, the stream's time of it): the last record of the id; ({}, None) when none."""
    for _ in range(3):
        try:
            ans = nc.request("$JS.API.STREAM.MSG.GET.PROCMGR_RESULTS",
                             json.dumps({"last_by_subj": "procmgr.%s.results.%s" % (machine, qid)}))
            if "message" not in ans:
                return {}, None
            return json.loads(base64.b64decode(ans["message"]["data"])), ans["message"].get("time")
        except OSError:
            nc.sock = None
            time.sleep(1)
    return {}, None


def judge(states, bad, kind, machine, qid, state, runs, expire, killed_after, where=""):
    """Counts the record's state under `kind` and says what is wrong with it: run more than
    once; done but not run once; expired but run (or with no expiry); "started" without a
    result while its gate was not killed after; no record at all (lost). `where` follows the
    run counts ("on the machine")."""
    states[(kind, state)] += 1
    if runs > 1:
        states[(kind, "duplicated")] += 1
        bad.append("%s %s ran %d times%s" % (machine, qid, runs, where))
    if state == "done" and runs != 1:
        bad.append("%s %s recorded done, ran %d times%s" % (machine, qid, runs, where))
    elif state == "expired" and (runs or not expire):
        bad.append("%s %s recorded expired (expiry %d s), ran %d times" % (machine, qid, expire, runs))
    elif state == "started" and not killed_after:
        bad.append("%s %s started, no result, and its gate was never killed after" % (machine, qid))
    elif state == "none":
        bad.append("%s %s queued and never run nor recorded (lost)" % (machine, qid))


def stored_alerts(env, run, machines):
    """(stored, exit code, the console's last error line): each alert of the machines matched
    as (machine, run, seq), in the stream's order, read by the console as the operator."""
    out = subprocess.run([env["CONSOLE"], "--conf", os.path.join(run, "operator.conf"), "fleet", "alerts",
                          "--since", "1d", "--json", "--machines", machines],
                         capture_output=True, text=True, timeout=600)
    stored = []
    for line in out.stdout.splitlines():
        try:
            a = json.loads(line)
        except ValueError:
            continue
        stored.append((a["machine"], str(a["run"]), int(a["seq"])))
    return stored, out.returncode, out.stderr.strip().splitlines()[-1:] if out.stderr.strip() else []
