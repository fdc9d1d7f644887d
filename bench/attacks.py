#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The board's server under slow-HTTP attacks from one address, while the
owner sends a set from another. A benchmark: it reports, and names the
promises it saw broken, without failing. Run through bench/run --attacks.

    bench/attacks.py [--quick] PELORIN PTY_RECORDER

Over plain HTTP, then over HTTPS (a throwaway self-signed certificate), one
pelorin --serve on 127.0.0.1, with the open-file limit of its systemd unit
(LimitNOFILE=512), is claimed by its owner, who then sends the same set
four times, each to a pseudo-terminal of its own (tools/pty-recorder):
once with no attack, and once under each of Debian's slowhttptest attacks
on /api/status, 1,000 connections from 127.0.0.1 at its default 50 a
second: slowloris (-H), slow body (-B) and slow read (-X). An attack starts
before the send and is stopped after the last character; slowhttptest
ends by itself once every one of its connections is closed, and is then
started again, so that it covers the whole send. The owner works from
127.0.0.2, as a phone elsewhere on the network: the set, the board's
device and the send, and, while the set goes out, GET /api/status once a
second, as the open page does.

For each send: whether the set arrived exactly; how many of the owner's
requests were answered, and how slowly; the smallest gap between
characters, the mean overrun of the 500 ms interval and the largest gap,
beside the largest of the send with no attack over the same scheme; the
largest gap as the server handed the characters over, from its own trace,
which tells its lateness from the reader's; and
slowhttptest's own last status (its connections connected, closed, in
error and pending, and whether its probe found the service available).
The promises: the set exact, every owner's request answered, and the
largest gap within 5 ms of the send's with no attack. --quick sends a set
of one-character messages (53 characters, about 27 s, instead of 188 and
94 s).
"""
import asyncio
import json
import math
import os
import re
import resource
import signal
import ssl
import subprocess
import sys
import tempfile
import time
from collections import Counter

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve  # noqa: E402

OWNER = "127.0.0.2"  # the owner's phone; the server and the attacker are on 127.0.0.1
ATTACKS = [("slowloris", "-H"), ("slow body", "-B"), ("slow read", "-X")]
CONNECTIONS = 1000
RATE = 50  # connections a second: slowhttptest's default
WARMUP = 5  # seconds of attack before the send starts
UNIT_FILES = 512  # LimitNOFILE= in dist/systemd/pelorin-serve.service
ATTACKER_FILES = 4096  # slowhttptest wants its connections and 6 more
PROMISE_MS = 5.0
OWNER_TIMEOUT = 10.0  # seconds the owner's page waits for an answer


def unit_limits():
    resource.setrlimit(resource.RLIMIT_NOFILE, (UNIT_FILES, UNIT_FILES))


def attacker_limits():
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    wanted = ATTACKER_FILES if hard == resource.RLIM_INFINITY else min(ATTACKER_FILES, hard)
    resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))


def certificate(work):
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    os.chmod(key, 0o600)
    return cert, key


ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]")


def last_status(output):
    """slowhttptest's last status block and its exit status, from its output."""
    text = ANSI.sub("", output)
    blocks = text.split("slow HTTP test status on ")
    status = {}
    if len(blocks) > 1:
        for key, value in re.findall(r"^(initializing|pending|connected|error|closed|service available):\s*(\S+)",
                                     blocks[-1], re.M):
            status[key] = value
        status["second"] = blocks[-1].split("th second")[0]
    ended = re.search(r"Exit status:\s*(.+)", text)
    status["exit"] = ended[1].strip() if ended else "?"
    return status


class Attacker:
    """slowhttptest against a URL, started again whenever it ends by itself,
    until it is stopped."""

    def __init__(self, flag, url, seconds):
        self.flag, self.url, self.seconds = flag, url, seconds
        self.rounds = []  # (started, ended, output, stopped by us)
        self.process = None
        self.stopping = False
        self.task = None

    async def run(self):
        while not self.stopping:
            started = time.monotonic()
            self.process = await asyncio.create_subprocess_exec(
                "slowhttptest", self.flag, "-c", str(CONNECTIONS), "-r", str(RATE), "-l", str(self.seconds),
                "-u", self.url, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                preexec_fn=attacker_limits)
            output, _ = await self.process.communicate()
            self.rounds.append((started, time.monotonic(), output.decode("utf-8", "replace"), self.stopping))

    def start(self):
        self.task = asyncio.ensure_future(self.run())

    async def stop(self):
        self.stopping = True
        if self.process and self.process.returncode is None:
            self.process.send_signal(signal.SIGINT)
        await self.task

    def uncovered(self, first, last):
        """Seconds between first and last with no slowhttptest running."""
        spans = sorted((s, e) for s, e, _, _ in self.rounds)
        gap, at = 0.0, first
        for s, e in spans:
            if s > at:
                gap += min(s, last) - at
            at = max(at, e)
            if at >= last:
                break
        return gap + max(0.0, last - at)


def handed_times(trace):
    """The server's own account of each hand-over, in seconds, as
    PELORIN_HANDOVER_TRACE has it."""
    try:
        with open(trace) as f:
            return [float(line.split()[0]) for line in f if line.strip()]
    except FileNotFoundError:
        return []


async def one_send(port, how, session, work, name, wanted, attack, pid, trace):
    cookie, csrf = session
    handed_before = len(handed_times(trace))
    board, device, report = serve.recorder(work, name, len(wanted))
    row = {"errors": Counter(), "latencies": [], "asked": 0, "resident": [], "files": []}
    status, _, payload, _ = await serve.request(port, "PUT", "/api/board", {"device": device}, cookie, csrf, **how)
    assert status == 200, payload
    attacker = None
    if attack:
        scheme = "https" if how["tls"] else "http"
        attacker = Attacker(attack[1], f"{scheme}://127.0.0.1:{port}/api/status", int(len(wanted) / 2 + 120))
        attacker.start()
        await asyncio.sleep(WARMUP)
    sending = True

    async def ask():
        try:
            status, _, _, took = await asyncio.wait_for(
                serve.request(port, "GET", "/api/status", cookie=cookie, **how), OWNER_TIMEOUT)
            if status == 200:
                row["latencies"].append(took)
            else:
                row["errors"][f"status {status}"] += 1
        except asyncio.TimeoutError:
            row["errors"][f"no answer in {OWNER_TIMEOUT:.0f} s"] += 1
        except Exception as e:  # noqa: BLE001: what the owner's page would see
            row["errors"][type(e).__name__] += 1

    async def owner():
        asking = []
        started = time.monotonic()
        while sending:
            asking.append(asyncio.ensure_future(ask()))
            row["asked"] += 1
            row["resident"].append(serve.resident_kb(pid))
            row["files"].append(len(os.listdir(f"/proc/{pid}/fd")))
            await asyncio.sleep(max(0.0, started + row["asked"] - time.monotonic()))
        await asyncio.gather(*asking)

    try:
        status, _, payload, _ = await asyncio.wait_for(
            serve.request(port, "POST", "/api/send", {"set": "Bench"}, cookie, csrf, **how), OWNER_TIMEOUT)
        row["send"] = status if status == 202 else f"{status} {payload[:200]!r}"
    except Exception as e:  # noqa: BLE001
        row["send"] = f"{type(e).__name__} {e}"
    polling = asyncio.ensure_future(owner())
    await asyncio.get_running_loop().run_in_executor(None, board.wait)
    sending = False
    await polling
    if attacker:
        await attacker.stop()
    # The next send waits for this one's end.
    for _ in range(60):
        status, _, payload, _ = await serve.request(port, "GET", "/api/status", cookie=cookie, **how)
        if status == 200 and json.loads(payload).get("state") == "idle":
            break
        await asyncio.sleep(0.5)
    with open(report) as f:
        data = json.load(f)
    gaps, times = data["gaps_ms"], data["times"]
    handed = handed_times(trace)[handed_before:]
    row.update(exact=data["bytes"] == wanted, got=len(data["bytes"]), gaps=gaps, times=times, report=report,
               handed_gaps=[(b - a) * 1000 for a, b in zip(handed, handed[1:])])
    if attacker:
        first, last = (times[0], times[-1]) if times else (0, 0)
        row["attack"] = {
            "rounds": len(attacker.rounds),
            "uncovered": attacker.uncovered(first, last) if times else float("nan"),
            # That of the last run that got under way: one started just
            # before the send's end has nothing to say yet.
            "status": next((last_status(out) for _, _, out, _ in reversed(attacker.rounds)
                            if last_status(out).get("second", "0") != "0"),
                           last_status(attacker.rounds[-1][2]) if attacker.rounds else {}),
            "ends": Counter(last_status(out)["exit"] for _, _, out, _ in attacker.rounds),
            "output": "\n".join(out for _, _, out, _ in attacker.rounds),
        }
    return row


async def scheme_run(https, work, messages, wanted):
    scheme = "https" if https else "http"
    options, tls = (), None
    if https:
        cert, key = certificate(work)
        options = ("--tls-cert", cert, "--tls-key", key)
        tls = ssl.create_default_context(cafile=cert)
    trace = os.path.join(work, scheme + "-handed")
    server, port, code, said = serve.start(os.path.join(work, scheme + "-state"), options, preexec_fn=unit_limits,
                                           env=dict(os.environ, PELORIN_HANDOVER_TRACE=trace))
    how = {"tls": tls, "source": OWNER}
    rows = {}
    try:
        session = await serve.claim(port, code, messages, serve.LEVELS, **how)
        for attack in [None] + ATTACKS:
            name = attack[0] if attack else "no attack"
            rows[name] = await one_send(port, how, session, work, f"{scheme}-{name.replace(' ', '-')}", wanted,
                                        attack, server.pid, trace)
            print(f"  {scheme}, {name}: done, load {os.getloadavg()[0]:.2f}", file=sys.stderr, flush=True)
        limit = open(f"/proc/{server.pid}/limits").read()
        files = re.search(r"Max open files\s+(\d+)\s+(\d+)", limit)
        peak = serve.resident_kb(server.pid, "VmHWM")
    finally:
        server.terminate()
        server.wait()
    return rows, said, files.groups() if files else ("?", "?"), peak


def fmt(value, unit=" ms", digits=3):
    return "-" if value is None or (isinstance(value, float) and math.isnan(value)) else f"{value:.{digits}f}{unit}"


def main():
    quick = "--quick" in sys.argv[1:]
    serve.PELORIN, serve.RECORDER = [a for a in sys.argv[1:] if a != "--quick"][:2]
    messages = [str(n) for n in range(1, 10)] if quick else serve.MESSAGES
    wanted = serve.expected(messages, serve.LEVELS)
    work = tempfile.mkdtemp(prefix="pelorin-bench-attacks-")
    version = subprocess.run(["slowhttptest", "-h"], capture_output=True, text=True).stdout
    version = re.search(r"version (\S+)", version)
    load_before = os.getloadavg()
    results = {}
    for https in (False, True):
        results["https" if https else "http"] = asyncio.run(scheme_run(https, work, messages, wanted))
    load_after = os.getloadavg()

    print(f"pelorin --serve under slowhttptest {version[1] if version else '?'}: a set of {len(wanted)} characters"
          f" ({len(wanted) / 2:.0f} s), 4 sends over each scheme{' (--quick)' if quick else ''}")
    print(f"each attack: {CONNECTIONS} connections from 127.0.0.1 at {RATE} a second on /api/status, from {WARMUP} s"
          f" before the send to its last character; the owner on {OWNER}, GET /api/status once a second")
    print(f"load average (1, 5, 15 min): {' '.join(f'{x:.2f}' for x in load_before)} at the start, "
          f"{' '.join(f'{x:.2f}' for x in load_after)} at the end, on {os.cpu_count()} cores")
    broken = []
    print(f"{'scheme':<6} {'attack':<10} {'exact':<5} {'owner answered':<15} {'slowest':>10} {'smallest gap':>13} "
          f"{'mean overrun':>13} {'largest gap':>12} {'vs none':>10} {'handed over':>12} {'resident':>9} {'files':>5}")
    for scheme, (rows, _, files, _) in results.items():
        calm = max(rows["no attack"]["gaps"], default=float("nan"))
        for name, row in rows.items():
            gaps = row["gaps"]
            smallest = min(gaps) if gaps else None
            largest = max(gaps) if gaps else None
            overrun = sum(gaps) / len(gaps) - 500 if gaps else None
            answered, asked = len(row["latencies"]), row["asked"]
            slowest = max(row["latencies"]) if row["latencies"] else None
            moved = largest - calm if largest is not None and name != "no attack" else None
            handed = max(row["handed_gaps"], default=None)
            print(f"{scheme:<6} {name:<10} {'yes' if row['exact'] else 'NO':<5} {f'{answered} of {asked}':<15} "
                  f"{fmt(slowest, ' ms', 1):>10} {fmt(smallest):>13} {fmt(overrun):>13} {fmt(largest):>12} "
                  f"{(f'{moved:+.3f} ms' if moved is not None else '-'):>10} {fmt(handed):>12} "
                  f"{max(row['resident']) / 1024 if row['resident'] else float('nan'):>6.1f} MB"
                  f" {max(row['files'], default=0):>5}")
            what = f"{scheme}, {name}"
            if not row["exact"]:
                broken.append(f"{what}: the set did not arrive exactly ({row['got']} of {len(wanted)} characters; "
                              f"the recorder's report: {row['report']})")
            if row["send"] != 202:
                broken.append(f"{what}: POST /api/send was answered {row['send']}")
            if answered < row["asked"]:
                broken.append(f"{what}: the owner had {answered} answers of {row['asked']}: "
                              + ", ".join(f"{n} {k}" for k, n in row["errors"].items()))
            if moved is not None and moved > PROMISE_MS:
                at = gaps.index(largest)
                broken.append(f"{what}: the largest gap, {largest:.3f} ms (between characters {at + 1} and "
                              f"{at + 2}), is {moved:.3f} ms over the send's with no attack")
    print("owner answered: of GET /api/status once a second from the send's start to the board's last character, "
          "each on a new connection; slowest: its longest answer; handed over: the largest gap between two "
          "characters as the server handed them to the device (its PELORIN_HANDOVER_TRACE), where the other gaps "
          "are as the board's side read them; resident, files: the server's largest resident memory and open "
          "descriptors, sampled each second")
    print()
    print("slowhttptest's own last status in each attack (its connections at the end of its last run under"
          " way), and how its runs ended:")
    for scheme, (rows, _, _, _) in results.items():
        for name, row in rows.items():
            if "attack" not in row:
                continue
            a = row["attack"]
            s = a["status"]
            ends = ", ".join(f"{n}x {k}" for k, n in a["ends"].items())
            print(f"  {scheme:<5} {name:<10} {a['rounds']} run(s), uncovered {a['uncovered']:.2f} s of the send; "
                  f"at its {s.get('second', '?')}th second: connected {s.get('connected', '?')}, "
                  f"closed {s.get('closed', '?')}, error {s.get('error', '?')}, pending {s.get('pending', '?')}, "
                  f"service available {s.get('service available', '?')}; ended: {ends}")
    for scheme, (rows, said, files, peak) in results.items():
        print(f"{scheme}: the server's open-file limit {files[0]} (soft) / {files[1]} (hard), as the unit's "
              f"LimitNOFILE={UNIT_FILES}; its peak resident memory {peak / 1024:.1f} MB")
        if said:
            print(f"{scheme}: the server said, after it started ({len(said)} lines; the first 5):")
            for line in said[:5]:
                print("    " + line.rstrip())
    print()
    if broken:
        print("PROMISES BROKEN:")
        for line in broken:
            print("  " + line)
    else:
        print(f"every promise kept: each set exact, every owner's request answered, and each attack's largest gap "
              f"within {PROMISE_MS:.0f} ms of the send's with no attack")
    print(f"(the recorders' reports and slowhttptest's output are in {work})")
    for scheme, (rows, _, _, _) in results.items():
        for name, row in rows.items():
            if "attack" in row:
                with open(os.path.join(work, f"{scheme}-{name.replace(' ', '-')}.slowhttptest.txt"), "w") as f:
                    f.write(ANSI.sub("", row["attack"]["output"]))


if __name__ == "__main__":
    main()
