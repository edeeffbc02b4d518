#!/usr/bin/env python3
"""The chaos run's checker: what the machines did (pmsim's records) against what the streams
kept, one verdict per promise, counts in words; exit 0 only when every promise holds.

  chaos_check.py check RUN_DIR      (RUN_DIR written by bench/fleet/chaos.sh)
  chaos_check.py stamp OUT CMD...   run CMD, each line of its output into OUT after the time
                                    in ms (the presence view and the discovery probes)
  chaos_check.py streams CONF       the three streams' replicas, as JSON (a NATS request each)

RUN_DIR holds: run.env (settings), faults.log ("T_MS KIND TARGET start|end"), queued.log
("T_MS MACHINE ID EXPIRE_S"), notes.log, rec/*.log (pmsim --record), watch.log and probe.log (stamped
`fleet list --json` lines), operator.conf.
"""
import calendar
import collections
import json
import os
import signal
import socket
import ssl
import subprocess
import sys
import time

import chaos_streams
import chaos_wine


# --- a NATS request over TLS, as the operator: stream information and stored messages -----
class Nats:
    def __init__(self, conf):
        kv = {}
        for line in open(conf):
            if "=" in line and not line.lstrip().startswith("#"):
                k, v = line.split("=", 1)
                kv[k.strip()] = v.strip()
        self.user = kv["user"]
        self.password = open(kv["password_file"]).read().split("\n")[0]
        self.servers = [u.split("://")[-1] for u in kv["servers"].split(",")]
        self.ca = kv["ca_file"]
        self.sock = None
        self.buf = b""
        self.n = 0

    def connect(self):
        last = None
        for hp in self.servers:
            host, port = hp.rsplit(":", 1)
            try:
                raw = socket.create_connection((host, int(port)), timeout=5)
                self.buf = b""
                self.sock = raw
                self._line()  # INFO
                ctx = ssl.create_default_context(cafile=self.ca)
                self.sock = ctx.wrap_socket(raw, server_hostname=host)
                opts = {"user": self.user, "pass": self.password, "verbose": False,
                        "pedantic": False, "tls_required": True, "headers": True,
                        "no_responders": True, "lang": "python", "version": "0"}
                self.sock.sendall(b"CONNECT " + json.dumps(opts).encode() + b"\r\nPING\r\n")
                while True:
                    line = self._line()
                    if line.startswith(b"PONG"):
                        break
                    if line.startswith(b"-ERR"):
                        raise OSError(line.decode())
                self.inbox = "_INBOX.%s.chk%d" % (self.user, os.getpid())
                self.sock.sendall(("SUB %s.* 1\r\n" % self.inbox).encode())
                return
            except (OSError, ssl.SSLError) as e:
                last = e
        raise OSError("no server answered: %s" % last)

    def _line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise OSError("connection closed")
            self.buf += data
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line

    def _bytes(self, n):
        while len(self.buf) < n + 2:
            data = self.sock.recv(65536)
            if not data:
                raise OSError("connection closed")
            self.buf += data
        out, self.buf = self.buf[:n], self.buf[n + 2:]
        return out

    def request(self, subject, payload, wait=5.0):
        if self.sock is None:
            self.connect()
        self.n += 1
        reply = "%s.%d" % (self.inbox, self.n)
        data = payload.encode()
        self.sock.sendall(("PUB %s %s %d\r\n" % (subject, reply, len(data))).encode() + data + b"\r\n")
        self.sock.settimeout(wait)
        while True:
            line = self._line()
            if line.startswith(b"PING"):
                self.sock.sendall(b"PONG\r\n")
            elif line.startswith(b"MSG") or line.startswith(b"HMSG"):
                parts = line.split()
                body = self._bytes(int(parts[-1]))
                if line.startswith(b"HMSG"):
                    body = body[int(parts[-2]):]
                if parts[1].decode() == reply:
                    return json.loads(body or b"{}")
            elif line.startswith(b"-ERR"):
                raise OSError(line.decode())


STREAMS = ("PROCMGR_ALERTS", "PROCMGR_QUEUE", "PROCMGR_RESULTS")


def streams(conf):
    nc = Nats(conf)
    out = {}
    for s in STREAMS:
        try:
            out[s] = nc.request("$JS.API.STREAM.INFO." + s, "")
        except OSError as e:
            out[s] = {"error": str(e)}
            nc.sock = None
    return out


def replicas_whole(info):
    """(whole, words) for one stream's information."""
    if "error" in info:
        return False, "no answer: %s" % info["error"]
    want = info.get("config", {}).get("num_replicas", 0)
    cl = info.get("cluster", {})
    current = [r for r in cl.get("replicas", []) if r.get("current")]
    have = (1 if cl.get("leader") else 0) + len(current)
    return want == 3 and have == 3, "%d of %d replicas current (leader %s)" % (
        have, want, cl.get("leader", "none"))


# --- reading the run ----------------------------------------------------------------------
def read_env(run):
    env = {}
    for line in open(os.path.join(run, "run.env")):
        k, _, v = line.strip().partition("=")
        env[k] = v
    return env


def read_faults(run):
    out = []
    for line in open(os.path.join(run, "faults.log")):
        t, kind, target, phase = line.split()[:4]
        out.append((int(t), kind, target, phase))
    return out


def intervals(faults, kind):
    """[(target, start_ms, end_ms)] of one kind of fault (end None: never ended)."""
    open_at, out = {}, []
    for t, k, target, phase in faults:
        if k != kind:
            continue
        if phase == "start":
            open_at[target] = t
        elif target in open_at:
            out.append((target, open_at.pop(target), t))
    out += [(target, t, None) for target, t in open_at.items()]
    return sorted(out, key=lambda x: x[1])


def read_records(run):
    raised = collections.Counter()  # (machine, run, seq) -> times raised
    ran = collections.Counter()  # (machine, id) -> times run
    ran_at = {}  # (machine, id) -> when it first ran, ms by the true clock
    ended = {}  # run -> unstored when it stopped
    answered = {}  # machine-run-seq -> the stream's sequence in its answer
    # Alerts answered stored that a later write found the stream without, and those of them
    # stored anew.
    late = {"missing": 0, "restored": []}
    rec = os.path.join(run, "rec")
    for name in sorted(os.listdir(rec)):
        for line in open(os.path.join(rec, name)):
            p = line.split()
            if len(p) == 4 and p[0] == "raised":
                raised[(p[1], p[2], int(p[3]))] += 1
            elif len(p) in (3, 4) and p[0] == "ran":
                ran[(p[1], p[2])] += 1
                if len(p) == 4:
                    ran_at.setdefault((p[1], p[2]), int(p[3]))
            elif len(p) == 4 and p[0] == "end":
                ended[p[1]] = int(p[3])
            elif len(p) in (3, 4) and p[0] == "stored":
                answered.setdefault(p[1], int(p[2]))
            elif len(p) == 3 and p[0] == "missing":
                late["missing"] += int(p[2])
            elif len(p) == 3 and p[0] == "restored":
                first = p[1].split(".again")[0]
                late["restored"].append("%s (answered stored as %d first)" % (first, answered.get(first, 0)))
    return raised, (ran, ran_at), ended, answered, late


def stamped(path):
    out = []
    if not os.path.exists(path):
        return out
    for line in open(path):
        t, _, rest = line.partition(" ")
        try:
            out.append((int(t), json.loads(rest)))
        except ValueError:
            pass
    return out


def stream_ms(text):
    """A stream's time (RFC 3339, UTC, up to ns) in ms since 1970; None when unreadable."""
    try:
        base, _, frac = text.rstrip("Z").partition(".")
        return calendar.timegm(time.strptime(base, "%Y-%m-%dT%H:%M:%S")) * 1000 + int((frac + "000")[:3])
    except (ValueError, AttributeError):
        return None


def p99(values):
    if not values:
        return None
    v = sorted(values)
    return v[max(0, int(len(v) * 0.99 + 0.5) - 1)]


def group_of(env, machine):
    n = int(machine[len(env["PREFIX"]):])
    return str((n - 1) // int(env["GROUP_SIZE"]) + 1)


# --- the promises ---------------------------------------------------------------------------
# A command's expiry is judged against the host's clock (the console's, the servers' and the
# checker's), leniently both ways: run past it means run after the queue's log time (a little
# after the console queued it) plus the expiry; expired before it means a record stored before
# the console's own expiry time. A second on top for the time a record takes to be stored.
EXPIRY_SLACK_MS = 1000


def kind_of(expire):
    return "with %d s expiry" % expire if expire else "without expiry"


def check_queue(run, env, faults, ran, nc):
    ran, ran_at = ran
    queued = []
    for line in open(os.path.join(run, "queued.log")):
        t, machine, qid, expire = line.split()
        queued.append((int(t), machine, qid, int(expire)))
    kills = intervals(faults, "group_kill")
    clocks = intervals(faults, "clock_moved")
    states = collections.Counter()
    bad, lags = [], []
    ids = set()
    moved = 0
    for t, machine, qid, expire in queued:
        ids.add((machine, qid))
        kind = kind_of(expire)
        g = group_of(env, machine)
        rec, stored_time = chaos_streams.result(nc, machine, qid)
        stored_at = stream_ms(stored_time) if stored_time else None
        state = rec.get("state", "none")
        runs = ran[(machine, qid)]
        # Its machine's first return after it was queued (the group started again).
        back = ([k[2] for k in kills if k[0] == g and k[2] and k[1] <= t <= k[2]] or [None])[0]
        handled = ran_at.get((machine, qid), stored_at)
        if handled and any(c[0] == g and c[1] <= handled <= (c[2] or handled) for c in clocks):
            moved += 1
        if expire and state in ("done", "started", "expired"):
            deadline = t + expire * 1000
            since = "its machine back %+.1f s from its expiry" % ((back - deadline) / 1000) if back else \
                "its machine not away"
            at = ran_at.get((machine, qid))
            if runs and at and at > deadline + EXPIRY_SLACK_MS:
                states[(kind, "run past expiry")] += 1
                bad.append("%s %s (expiry %d s) ran %.1f s after its expiry, %s" % (
                    machine, qid, expire, (at - deadline) / 1000, since))
            expires = rec.get("expires_ms") or deadline
            if state == "expired" and stored_at and stored_at < expires - EXPIRY_SLACK_MS:
                states[(kind, "expired early")] += 1
                bad.append("%s %s (expiry %d s) recorded expired %.1f s before its expiry, %s" % (
                    machine, qid, expire, (expires - stored_at) / 1000, since))
        # "Started" with no result: only a simulator killed after it started may leave it so.
        chaos_streams.judge(states, bad, kind, machine, qid, state, runs, expire,
                          any(k[0] == g and k[1] >= t for k in kills))
        # From the machine's return (its simulator started again) to its result, as the stream
        # stored it (a machine's clock may be wrong): the last return before the result, a
        # machine sent away again meanwhile being away.
        if stored_at and state in ("done", "expired"):
            returns = [k[2] for k in kills if k[0] == g and k[2] and t <= k[2] <= stored_at]
            if returns:
                lags.append(stored_at - max(returns))
    unknown = [k for k in ran if k not in ids]
    for k in unknown:
        bad.append("%s %s ran and was never queued" % k)
    words = []
    plain = ("done", "expired", "started", "none")
    for kind in sorted({kind_of(e) for _, _, _, e in queued}, key=lambda k: (len(k), k)):
        n = sum(v for (k, s), v in states.items() if k == kind and s in plain)
        words.append("%s: %d queued, %d run, %d expired, %d started with no result, %d lost, %d duplicated, "
                     "%d run past their expiry, %d recorded expired before it" % (
                         kind, n, states[(kind, "done")], states[(kind, "expired")], states[(kind, "started")],
                         states[(kind, "none")], states[(kind, "duplicated")],
                         states[(kind, "run past expiry")], states[(kind, "expired early")]))
    if not queued:
        bad.append("nothing was queued: no group of machines went away (fault kind 3)")
    words.append("%d handled (run or recorded) while their machine's clock was moved" % moved)
    lag = p99(lags)
    words.append("p99 from a machine's return to its queued command's result: %s (%d results)" % (
        "%.1f s" % (lag / 1000) if lag is not None else "n/a", len(lags)))
    return not bad and queued, words, bad, lag


def check_alerts(env, run, raised, ended, answered, late):
    stored, rc, err = chaos_streams.stored_alerts(env, run, env["PREFIX"] + "*")
    bad = []
    if rc != 0:
        bad.append("fleet alerts failed (exit %d): %s" % (rc, " ".join(err)))
    count = collections.Counter(stored)
    dups = sum(v - 1 for v in count.values() if v > 1)
    if dups:
        bad.append("%d stored more than once, e.g. %s" % (dups, [k for k, v in count.items() if v > 1][:3]))
    # In order per machine: within a run the sequence grows; a later run comes after.
    last = {}
    disorder = 0
    for m, r, s in stored:
        if m in last and (int(r), s) <= (int(last[m][0]), last[m][1]) and (r, s) != last[m]:
            disorder += 1
            if disorder <= 3:
                bad.append("%s: %s/%d stored after %s/%d" % (m, r, s, last[m][0], last[m][1]))
        last[m] = (r, s)
    if disorder > 3:
        bad.append("%d out of order in all" % disorder)
    top = collections.defaultdict(int)
    for m, r, s in count:
        top[(m, r)] = max(top[(m, r)], s)
    lost = unsent = acked = 0
    for (m, r, s) in raised:
        if (m, r, s) in count:
            continue
        if r not in ended and s > top[(m, r)]:
            unsent += 1  # raised by a simulator killed before the stream had it
        else:
            lost += 1
            # The stream's own answer said stored: the servers lost it, not the machine.
            seq = answered.get("%s-%s-%d" % (m, r, s))
            acked += seq is not None
            if lost <= 3:
                bad.append("%s %s/%d raised, never stored%s" % (
                    m, r, s, " (the stream answered it stored as %d)" % seq if seq else ""))
    if acked:
        bad.append("%d of the lost were answered stored by the stream" % acked)
    strangers = [k for k in count if k not in raised]
    if strangers:
        bad.append("%d stored that were never raised, e.g. %s" % (len(strangers), strangers[:3]))
    words = ["%d raised, %d stored, %d duplicated, %d lost, %d out of order, "
             "%d unsent when their simulator was killed (-9)" % (
                 len(raised), len(count), dups, lost, disorder, unsent)]
    words.append("found lost by a later write: %d answered stored that the stream lacked, sent "
                 "again; %d of them stored anew%s" % (
                     late["missing"], len(late["restored"]),
                     ", e.g. " + ", ".join(late["restored"][:3]) if late["restored"] else ""))
    return not bad and raised, words, bad


def check_presence(env, run, faults):
    hb = int(env["HEARTBEAT"])
    interval = int(env["WATCH_INTERVAL"])
    watch = stamped(os.path.join(run, "watch.log"))
    probes = stamped(os.path.join(run, "probe.log"))
    watched = set(env["WATCHED"].split(","))
    by_machine = collections.defaultdict(list)
    for t, o in watch:
        by_machine[o["machine"]].append((t, o["state"]))
    bad = []
    # Gone: from the kill to the last view that shows it up before it came back (a view that
    # said lost and then up again from an old heartbeat counts). A view whose own server is
    # stopped or killed meanwhile hears nothing until it has left that server (two missed pings
    # 2 s apart, then the next server): that time is allowed on top, and said.
    limit = (3 * hb + interval + 1) * 1000
    failover = 6000
    server_faults = intervals(faults, "server_pause") + intervals(faults, "server_kill")
    worst, gone, over, blind = 0, 0, 0, 0
    for g, start, end in intervals(faults, "group_kill"):
        for m in watched:
            if group_of(env, m) != g:
                continue
            until = end if end else start + 10 ** 9
            views = [(t, s) for t, s in by_machine[m] if start <= t <= until]
            if until - start < (3 * hb + interval) * 1000:
                continue  # back before the view could say it
            gone += 1
            if not views or views[-1][1] != "lost":
                err = until - start  # never shown lost while it was gone
            else:
                last_up = max([i for i, (_, s) in enumerate(views) if s != "lost"], default=-1)
                err = views[last_up + 1][0] - start
            worst = max(worst, err)
            overlaps = any(fs <= start + limit and (fe is None or fe >= start)
                           for _, fs, fe in server_faults)
            blind += overlaps
            allowed = limit + (failover if overlaps else 0)
            if err > allowed:
                over += 1
                bad.append("a machine gone was shown up for %.1f s (three heartbeats: %d s%s)" % (
                    err / 1000, 3 * hb, ", its view's server stopped meanwhile" if overlaps else ""))
    # Answering: a probe's answer while the view, at that time, said lost.
    lies = 0
    views = {m: v for m, v in by_machine.items()}
    for t, o in probes:
        m = o.get("machine")
        v = [s for tv, s in views.get(m, []) if t - interval * 1000 <= tv <= t + interval * 1000]
        if v and all(s == "lost" for s in v):
            lies += 1
            if lies <= 3:
                bad.append("%s answered discovery at %d and the view said lost" % (m, t))
    words = ["%d departures watched; worst time shown up after going: %.1f s (allowed %d s: three "
             "heartbeats of %d s and the view's %d s; %d s more for the %d while a server was "
             "stopped); %d discovery answers, %d while shown lost" % (
                 gone, worst / 1000, limit // 1000, hb, interval, failover // 1000, blind,
                 len(probes), lies)]
    return not bad and watch, words, bad, worst


def check_flat(run):
    """Each gate's memory and handles (gates.log: "ms name pid rss_kb handles", sampled through
    the run) stay flat: after a warm-up, the last third's highest not above the first third's
    by more than a small bound. Series shorter than a minute are not judged."""
    series = collections.defaultdict(list)
    path = os.path.join(run, "gates.log")
    if os.path.exists(path):
        for line in open(path):
            p = line.split()
            if len(p) == 5 and all(x.isdigit() for x in (p[0], p[2], p[3], p[4])):
                series[(p[1], p[2])].append((int(p[0]), int(p[3]), int(p[4])))
    bad, words = [], []
    judged = 0
    for (name, pid), s in sorted(series.items()):
        span = s[-1][0] - s[0][0]
        if span < 60000:
            continue
        settled = [x for x in s if x[0] >= s[0][0] + max(15000, span // 5)]
        third = max(1, len(settled) // 3)
        first, last = settled[:third], settled[-third:]
        if len(settled) < 6:
            continue
        judged += 1
        mem0, mem1 = max(x[1] for x in first), max(x[1] for x in last)
        h0, h1 = max(x[2] for x in first), max(x[2] for x in last)
        words.append("%s (pid %s, %.1f min): memory %.1f -> %.1f MiB, handles %d -> %d" % (
            name, pid, span / 60000, mem0 / 1024, mem1 / 1024, h0, h1))
        if mem1 > mem0 * 1.15 + 4096:
            bad.append("%s (pid %s): memory grew from %.1f to %.1f MiB" % (name, pid, mem0 / 1024, mem1 / 1024))
        if h1 > h0 + 8:
            bad.append("%s (pid %s): handles grew from %d to %d" % (name, pid, h0, h1))
    if not judged:
        bad.append("no gate ran long enough to be judged (a minute of samples)")
    # The steady group is never sent away: without it (its simulator did not start) the run
    # watched less than it says.
    if not any(w.startswith("g1 ") for w in words):
        bad.append("the steady group g1 was not sampled for a minute: its simulator did not run")
    return not bad, words, bad


def check(run):
    env = read_env(run)
    faults = read_faults(run)
    raised, ran, ended, answered, late = read_records(run)
    nc = Nats(os.path.join(run, "operator.conf"))
    verdicts = []
    kinds = collections.Counter(k for _, k, _, p in faults if p == "start")
    print("seed %s; %s minutes, %s machines; faults: %s" % (
        env["SEED"], env["MINUTES"], env["MACHINES"],
        ", ".join("%d %s" % (v, k.replace("_", " ")) for k, v in sorted(kinds.items())) or "none"))
    ok, words, bad, lag = check_queue(run, env, faults, ran, nc)
    if chaos_wine.on(env):
        ok, words, bad = chaos_wine.widen((ok, words, bad), chaos_wine.queue(run, env, faults, nc))
    verdicts.append(("queued commands run at most once, exactly once while their machine is back "
                     "before their expiry, never past it", ok, words, bad))
    ok, words, bad = check_alerts(env, run, raised, ended, answered, late)
    if chaos_wine.on(env):
        ok, words, bad = chaos_wine.widen((ok, words, bad), chaos_wine.alerts(run, env))
    verdicts.append(("every alert raised stored once and in order per machine", ok, words, bad))
    ok, words, bad, worst = check_presence(env, run, faults)
    if chaos_wine.on(env):
        ok, words, bad = chaos_wine.widen((ok, words, bad), chaos_wine.presence(run, env, faults, sys.modules[__name__]))
    verdicts.append(("presence truthful", ok, words, bad))
    info = streams(os.path.join(run, "operator.conf"))
    bad, words = [], []
    for s in STREAMS:
        whole, w = replicas_whole(info[s])
        words.append("%s: %s" % (s, w))
        if not whole:
            bad.append("%s: %s" % (s, w))
    verdicts.append(("the streams keep their replicas", not bad, words, bad))
    ok, words, bad = check_flat(run)
    if chaos_wine.on(env):
        ok, words, bad = chaos_wine.widen((ok, words, bad), chaos_wine.flat(run, env, faults))
    verdicts.append(("the gates' memory and handles stay flat", ok, words, bad))
    failed = 0
    for name, ok, words, bad in verdicts:
        print("%s: %s" % ("HOLDS" if ok else "BROKEN", name))
        for w in words:
            print("    " + w)
        for b in bad[:10]:
            print("    ! " + b)
        failed += 0 if ok else 1
    print("%d of %d promises hold" % (len(verdicts) - failed, len(verdicts)))
    return 0 if failed == 0 else 1


def stamp(out, cmd):
    with open(out, "a") as f:
        p = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        # Stopped with the run: the program stamped goes too.
        signal.signal(signal.SIGTERM, lambda *_: (p.kill(), sys.exit(0)))
        for line in p.stdout:
            f.write("%d %s" % (time.time() * 1000, line))
            f.flush()
        return p.wait()


if __name__ == "__main__":
    if len(sys.argv) >= 3 and sys.argv[1] == "check":
        sys.exit(check(sys.argv[2]))
    if len(sys.argv) >= 4 and sys.argv[1] == "stamp":
        sys.exit(stamp(sys.argv[2], sys.argv[3:]))
    if len(sys.argv) == 3 and sys.argv[1] == "streams":
        print(json.dumps({s: replicas_whole(i) for s, i in streams(sys.argv[2]).items()}))
        sys.exit(0)
    sys.exit(__doc__)
