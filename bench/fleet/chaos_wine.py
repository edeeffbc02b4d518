"""The chaos checker's share for the real machines under Wine (bench/fleet/chaos_wine.sh):
each promise's verdict widened by what agent1 and agent2 did, counted on the machine's side
(its runs/, its monitor host's alert list, its gate's figures from outside the process),
and a verdict of its own for the gates' handles and memory.
"""
import collections
import json
import os

import chaos_streams

# A gate process judged for its handles and memory needs this many samples (3 s apart).
MIN_SAMPLES = 8
# Flat: the last third's highest not above the first third's highest by more than this.
HANDLE_SLACK = 4
BYTES_SLACK = 2 << 20


def on(env):
    return env.get("WINE") == "1"


def _machines(env):
    return env.get("WINE_AGENTS", "agent1,agent2").split(",")


def _gate_kills(faults, machine):
    """[(start_ms, end_ms or None)] of machine's gate kills."""
    out, start = [], None
    for t, kind, target, phase in faults:
        if kind != "gate_kill" or target != machine:
            continue
        if phase == "start":
            start = t
        elif start is not None:
            out.append((start, t))
            start = None
    if start is not None:
        out.append((start, None))
    return out


def _runs(run, machine):
    path = os.path.join(run, machine, "runs")
    count = collections.Counter()
    for name in os.listdir(path) if os.path.isdir(path) else []:
        for line in open(os.path.join(path, name), errors="replace"):
            if line.strip():
                count[line.strip()] += 1
    return count


def queue(run, env, faults, nc):
    """(ok, words, bad): each command queued for a real machine ran there once (its token in
    the machine's runs/), or was recorded expired and never ran; one whose expiry passed
    while its gate was away never ran; a live command ran at most once."""
    queued = []
    for line in open(os.path.join(run, "wine_queued.log")):
        t, machine, token, qid, expire = line.split()
        queued.append((int(t), machine, token, qid, int(expire)))
    runs = collections.Counter()
    for m in _machines(env):
        for token, n in _runs(run, m).items():
            runs[(m, token)] += n
    states = collections.Counter()
    bad = []
    live = live_ran = refused = 0
    for t, machine, token, qid, expire in queued:
        n = runs[(machine, token)]
        if qid == "refused":
            refused += 1
            if n:
                bad.append("%s: %s, refused by the queue, ran %d times" % (machine, token, n))
            continue
        if qid == "failed":
            bad.append("%s: %s: the console failed (wine_queue.out)" % (machine, token))
            continue
        if qid == "live":
            live += 1
            live_ran += n > 0
            if n > 1:
                bad.append("%s: live command %s ran %d times" % (machine, token, n))
            continue
        kind = "with expiry" if expire else "without expiry"
        state = chaos_streams.result(nc, machine, qid)[0].get("state", "none")
        states[(kind, "on the machine")] += n
        kills = _gate_kills(faults, machine)
        chaos_streams.judge(states, bad, kind, machine, qid, state, n, expire,
                          any(s >= t for s, _ in kills), " on the machine")
        if expire and n:
            # Its gate came back after the expiry: it must not have run.
            back = [e for s, e in kills if s <= t and e is not None and e > t]
            if back and back[0] > t + expire * 1000 + 1000:
                bad.append("%s %s ran after its %d s expiry (gate back %.1f s after it was queued)" % (
                    machine, qid, expire, (back[0] - t) / 1000))
    tokens = {(m, tok) for _, m, tok, _, _ in queued}
    for key in runs:
        if key not in tokens:
            bad.append("%s: %s ran and was never sent" % key)
    words = []
    for kind in ("without expiry", "with expiry"):
        n = sum(v for (k, s), v in states.items() if k == kind and s not in ("duplicated", "on the machine"))
        words.append("real machines (%s, gates under Wine), %s: %d queued, %d run (%d runs in the "
                     "machine's own record), %d expired, %d started with no result, %d lost, "
                     "%d duplicated" % (
                         ", ".join(_machines(env)), kind, n, states[(kind, "done")],
                         states[(kind, "on the machine")],
                         states[(kind, "expired")], states[(kind, "started")],
                         states[(kind, "none")], states[(kind, "duplicated")]))
    notes = os.path.join(run, "wine_notes.log")
    again = sum("could not connect" in line for line in open(notes)) if os.path.exists(notes) else 0
    words.append("real machines' live commands: %d sent, %d ran; %d refused by the queue (JetStream "
                 "unavailable meanwhile), none ran; %d times the console could not connect and tried "
                 "again" % (live, live_ran, refused, again))
    return not bad and bool(states), words, bad


def _host_alerts(run, machine):
    """{seq: id} of what the machine's monitor host raised (its own alert list)."""
    out = {}
    path = os.path.join(run, "wine_host_%s.json" % machine)
    if not os.path.exists(path):
        return None
    for line in open(path):
        try:
            a = json.loads(line)
        except ValueError:
            continue
        out[int(a["seq"])] = (machine, "host%d" % int(a["time"]), int(a["seq"]))
    return out


def alerts(run, env):
    """(ok, words, bad): every alert a real machine's host raised stored once, in its order."""
    stored, rc, _ = chaos_streams.stored_alerts(env, run, "agent*")
    bad = []
    if rc != 0:
        bad.append("fleet alerts for the real machines failed (exit %d)" % rc)
    count = collections.Counter(stored)
    words = []
    for m in _machines(env):
        raised = _host_alerts(run, m)
        if raised is None:
            bad.append("%s: its host's alert list could not be read" % m)
            continue
        mine = [k for k in stored if k[0] == m]
        dups = sum(v - 1 for k, v in count.items() if k[0] == m and v > 1)
        if dups:
            bad.append("%s: %d stored more than once, e.g. %s" % (
                m, dups, [k for k, v in count.items() if k[0] == m and v > 1][:3]))
        disorder = sum(1 for a, b in zip(mine, mine[1:]) if b[2] <= a[2] and a != b)
        if disorder:
            bad.append("%s: %d stored out of the host's order" % (m, disorder))
        ids = set(raised.values())
        lost = sorted(s for s, k in raised.items() if k not in count)
        if lost:
            bad.append("%s: %d raised by its host, never stored, e.g. seq %s" % (m, len(lost), lost[:5]))
        strangers = [k for k in set(mine) if k not in ids]
        # The host keeps its last 1,000: older ones are known by their number alone.
        first = min(raised) if raised else 1
        strangers = [k for k in strangers if k[2] >= first]
        if strangers:
            bad.append("%s: %d stored that its host never raised, e.g. %s" % (m, len(strangers), strangers[:3]))
        if not raised:
            bad.append("%s: its host raised no alert" % m)
        words.append("real machine %s: %d raised by its monitor host (its own list), %d stored, "
                     "%d duplicated, %d lost, %d out of order" % (
                         m, len(raised), len(set(mine)), dups, len(lost), disorder))
    return not bad, words, bad


def presence(run, env, faults, base):
    """(ok, words, bad): a killed gate shown lost within three heartbeats and the view's
    interval (more when a server was stopped meanwhile); never lost while answering."""
    hb = int(env["HEARTBEAT"])
    interval = int(env["WATCH_INTERVAL"])
    views = collections.defaultdict(list)
    for t, o in base.stamped(os.path.join(run, "wine_watch.log")):
        views[o["machine"]].append((t, o["state"]))
    limit = (3 * hb + interval + 1) * 1000
    failover = 6000
    server_faults = base.intervals(faults, "server_pause") + base.intervals(faults, "server_kill")
    bad = []
    worst = gone = 0
    for m in _machines(env):
        for start, end in _gate_kills(faults, m):
            until = end if end else start + 10 ** 9
            if until - start < (3 * hb + interval) * 1000:
                continue  # back before the view could say it
            gone += 1
            seen = [(t, s) for t, s in views[m] if start <= t <= until]
            if not seen or seen[-1][1] != "lost":
                err = until - start
            else:
                last_up = max([i for i, (_, s) in enumerate(seen) if s != "lost"], default=-1)
                err = seen[last_up + 1][0] - start
            worst = max(worst, err)
            overlaps = any(fs <= start + limit and (fe is None or fe >= start) for _, fs, fe in server_faults)
            if err > limit + (failover if overlaps else 0):
                bad.append("%s's gate killed was shown up for %.1f s%s" % (
                    m, err / 1000, " (a server stopped meanwhile)" if overlaps else ""))
    probes = base.stamped(os.path.join(run, "wine_probe.log"))
    lies = 0
    for t, o in probes:
        v = [s for tv, s in views.get(o.get("machine"), []) if t - interval * 1000 <= tv <= t + interval * 1000]
        if v and all(s == "lost" for s in v):
            lies += 1
            if lies <= 3:
                bad.append("%s answered discovery at %d and the view said lost" % (o.get("machine"), t))
    if not any(views.values()):
        bad.append("the real machines' view saw nothing")
    words = ["real machines: %d gate kills watched; worst time shown up after: %.1f s (allowed %d s, "
             "%d s more while a server was stopped); %d discovery answers, %d while shown lost" % (
                 gone, worst / 1000, limit // 1000, failover // 1000, len(probes), lies)]
    return not bad, words, bad


def flat(run, env, faults=()):
    """(ok, words, bad): each gate process sampled long enough keeps its handles and private
    bytes flat after its warm-up (its first third): the last third's highest within a bound.
    A sample taken once the gate's kill began is not the gate at rest (a reconnect's handles
    while it dies): it is left out."""
    lives = collections.defaultdict(list)
    path = os.path.join(run, "wine_figures.log")
    for line in open(path) if os.path.exists(path) else []:
        p = line.split()
        if len(p) == 5:
            lives[(p[1], p[2])].append((int(p[0]), int(p[3]), int(p[4])))
    bad, words = [], []
    for m in _machines(env):
        mine = {pid: s for (mm, pid), s in lives.items() if mm == m}
        judged = 0
        kills = [k for k, _ in _gate_kills(faults, m)]
        for pid, s in sorted(mine.items(), key=lambda x: x[1][0][0]):
            s = [x for x in s if not any(x[0] >= k > s[0][0] for k in kills)]
            if len(s) < MIN_SAMPLES:
                continue
            judged += 1
            third = len(s) // 3
            head, tail = s[:third], s[-third:]
            h0, h1 = max(x[1] for x in head), max(x[1] for x in tail)
            b0, b1 = max(x[2] for x in head), max(x[2] for x in tail)
            w = "%s gate pid %s: %d samples over %d s, handles %d..%d (first third's highest %d, " \
                "last third's %d), private bytes first third's highest %.1f MiB, last third's %.1f MiB" % (
                    m, pid, len(s), (s[-1][0] - s[0][0]) // 1000, min(x[1] for x in s),
                    max(x[1] for x in s), h0, h1, b0 / 2**20, b1 / 2**20)
            words.append(w)
            if h1 > h0 + HANDLE_SLACK:
                bad.append("%s: handles grew %d -> %d" % (m, h0, h1))
            if b1 > b0 + BYTES_SLACK:
                bad.append("%s: private bytes grew %.1f -> %.1f MiB" % (m, b0 / 2**20, b1 / 2**20))
        if not judged:
            bad.append("%s: no gate ran long enough to judge (%d samples at most, %d needed)" % (
                m, max([len(s) for s in mine.values()], default=0), MIN_SAMPLES))
        words.append("%s: %d gate runs sampled, %d judged (bound: +%d handles, +%d MiB)" % (
            m, len(mine), judged, HANDLE_SLACK, BYTES_SLACK >> 20))
    return not bad, words, bad


def widen(verdict, extra):
    """A verdict (ok, words, bad, ...) with the real machines' share added."""
    ok, words, bad = verdict[:3]
    eok, ewords, ebad = extra
    return (bool(ok) and eok, words + ewords, bad + ebad) + tuple(verdict[3:])
