#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The board's server taking its commands through a broker. A benchmark: it
reports, it does not judge. Run through bench/run --mqtt.

    bench/mqtt.py [--quick] [--fresh-ids] PELORIN PTY_RECORDER

Debian's mosquitto on a free port of 127.0.0.1, and one pelorin --serve
connected to it as the board "bench", claimed by an owner through its API,
whose board is a pseudo-terminal (tools/pty-recorder, at real-time priority
where that is allowed):
  - latency: a send published on pelorin/bench/send (stamped just before the
    publish) to its first character at the board, over 100 sends (--quick:
    20), each stopped through the API once that character has come;
  - pacing: the whole set sent through the broker twice, with nothing else
    on it, and under a flood of 1,000 messages a second: sends with an id
    already answered, sends that are not JSON and saves of garbage on the
    board's own topics, another board's sends and a plant's readings;
  - the server's resident memory, idle with the broker connected and while
    sending under the flood.
--quick sends a set of single letters (53 characters) instead of 188.
--fresh-ids gives each of the flood's sends an id of its own, refused as
another send runs, instead of an id already answered and broken JSON. The
flood then ends when the board has the set or its recorder gives up.
"""
import asyncio
import json
import os
import pwd
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

import serve
from serve import percentile, request, resident_kb

BOARD = "bench"
# What goes to the broker each second during the flood, topic by topic:
# what the board reads (QoS 1, as commands are published) and what it never
# subscribed to (QoS 0, as readings are).
FLOOD = [
    (f"pelorin/{BOARD}/send", 1, 400),  # an id already answered, and broken JSON, in turn
    (f"pelorin/{BOARD}/set/Bench", 1, 200),
    ("pelorin/other/send", 1, 200),
    ("plant/line3/temperature", 0, 200),
]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def broker(work):
    """Debian's mosquitto as a shop runs it, but on a port of its own."""
    port = free_port()
    conf = os.path.join(work, "mosquitto.conf")
    with open(conf, "w") as f:
        # Run by root, it would otherwise become the user mosquitto, who
        # may not write in this folder.
        f.write(f"user {pwd.getpwuid(os.geteuid()).pw_name}\npersistence false\n"
                f"log_dest file {os.path.join(work, 'mosquitto.log')}\n"
                f"listener {port} 127.0.0.1\nallow_anonymous true\n")
    program = shutil.which("mosquitto", path="/usr/sbin:/usr/bin:" + os.environ.get("PATH", ""))
    if not program:
        sys.exit("mosquitto is not installed: apt-get install mosquitto mosquitto-clients")
    said = os.path.join(work, "mosquitto.said")
    with open(said, "w") as said_to:
        process = subprocess.Popen([program, "-c", conf], stdout=said_to, stderr=said_to)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.1).close()
            return process, port
        except OSError:
            time.sleep(0.05)
    process.kill()
    with open(said) as f:
        sys.exit("mosquitto did not listen on port %d: %s" % (port, f.read()))


class Watcher:
    """mosquitto_sub on the board's answers and status and on the flood's
    topics: what the broker delivered, and when, read on a thread of its own
    so that nothing waits for this program's event loop."""

    def __init__(self, port):
        topics = [f"pelorin/{BOARD}/result", f"pelorin/{BOARD}/status"] + [t for t, _, _ in FLOOD]
        command = ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(port), "-V", "5", "-q", "1", "-F", "%t\t%p"]
        for topic in topics:
            command += ["-t", topic]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE)
        self.counts = {}  # topic: [times]
        self.results = []  # (time, answer)
        self.status = None
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for line in self.process.stdout:
            now = time.monotonic()
            topic, _, payload = line.rstrip(b"\n").decode("utf-8", "replace").partition("\t")
            if topic == f"pelorin/{BOARD}/result":
                try:
                    self.results.append((now, json.loads(payload)))
                except ValueError:
                    pass
            elif topic == f"pelorin/{BOARD}/status":
                self.status = payload
            else:
                self.counts.setdefault(topic, []).append(now)

    def answers(self, command_id):
        return [a.get("status") for _, a in self.results if a.get("id") == command_id]

    def delivered(self, start, end, topics=None):
        return sum(sum(1 for t in times if start <= t <= end) for topic, times in self.counts.items()
                   if topics is None or topic in topics)

    def answered(self, start, end):
        return sum(1 for t, _ in self.results if start <= t <= end)


class Flood:
    """mosquitto_pub -l for each topic, fed its lines at a steady rate by a
    thread of its own; a publisher that falls behind lowers the rate that
    the broker delivers, which is what is reported."""

    def __init__(self, port, seen_id, fresh_ids):
        sends = [json.dumps({"id": seen_id, "set": "Bench"}), '{"id": "broken", "set": ']
        self.lines = {
            f"pelorin/{BOARD}/send": ['{"id": "fresh-%d", "set": "Bench"}'] if fresh_ids else sends,
            f"pelorin/{BOARD}/set/Bench": ["garbage, not a set %d"],
            "pelorin/other/send": ['{"id": "other-%d", "set": "Bench"}'],
            "plant/line3/temperature": ["21.%d"],
        }
        self.publishers = []
        for topic, qos, rate in FLOOD:
            process = subprocess.Popen(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "-V", "5", "-q",
                                        str(qos), "-t", topic, "-l"], stdin=subprocess.PIPE)
            self.publishers.append((process, topic, rate))
        self.offered = 0
        self.running = True
        self.started = time.monotonic()
        self.ended = None
        self.thread = threading.Thread(target=self.feed, daemon=True)
        self.thread.start()

    def feed(self):
        written = [0] * len(self.publishers)
        while self.running:
            elapsed = time.monotonic() - self.started
            for k, (process, topic, rate) in enumerate(self.publishers):
                due = int(elapsed * rate) - written[k]
                if due <= 0:
                    continue
                lines = self.lines[topic]
                batch = "".join((lines[(written[k] + n) % len(lines)].replace("%d", str(written[k] + n))) + "\n"
                                for n in range(due))
                process.stdin.write(batch.encode())
                process.stdin.flush()
                written[k] += due
            time.sleep(0.005)
        self.offered = sum(written)
        self.ended = time.monotonic()

    def stop(self):
        self.running = False
        self.thread.join()
        for process, _, _ in self.publishers:
            process.stdin.close()
            process.wait(timeout=30)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


async def status(port, session, seconds=10):
    """The server's state, or "unanswered" where a server too busy to answer
    would otherwise hold the benchmark up for good."""
    try:
        _, _, payload, _ = await asyncio.wait_for(request(port, "GET", "/api/status", cookie=session[0]), seconds)
    except asyncio.TimeoutError:
        return {"state": "unanswered"}
    return json.loads(payload)


async def stop(port, session):
    try:
        code, _, payload, _ = await asyncio.wait_for(request(port, "POST", "/api/stop", None, *session), 30)
    except asyncio.TimeoutError:
        raise RuntimeError("the server did not answer POST /api/stop within 30 s") from None
    assert code in (200, 409), payload


async def choose_board(port, session, device):
    code, _, payload, _ = await request(port, "PUT", "/api/board", {"device": device}, *session)
    assert code == 200, payload


async def until_idle(port, session, seconds):
    deadline = time.monotonic() + seconds
    while (await status(port, session)).get("state") != "idle":
        if time.monotonic() > deadline:
            raise RuntimeError("the board stayed busy")
        await asyncio.sleep(0.05)


async def latency(args, session, publisher, watcher, samples):
    """Each send stopped at its first character, which is all it is for."""
    port, work = args["port"], args["work"]
    latencies, missed, boards = [], [], []
    for k in range(samples):
        board, device, report = serve.recorder(work, f"first-{k}", count=1, seconds=10)
        boards.append(board)
        await choose_board(port, session, device)
        # The board's half second since the last character has passed, and
        # the send comes at no fixed phase of anything.
        await asyncio.sleep(0.6 + random.random() * 0.4)
        command_id = f"latency-{k}"
        published = time.monotonic()
        publisher.stdin.write((json.dumps({"id": command_id, "set": "Bench"}) + "\n").encode())
        publisher.stdin.flush()
        arrived = None
        while time.monotonic() < published + 10:
            try:
                with open(report) as f:
                    arrived = json.load(f)["times"]
                break
            except (OSError, ValueError):
                await asyncio.sleep(0.005)
        if arrived:
            latencies.append((arrived[0] - published) * 1000)
        else:
            missed.append((command_id, watcher.answers(command_id)))
        if (await status(port, session)).get("state") != "idle":
            await stop(port, session)
        await until_idle(port, session, 10)
    for board in boards:
        board.wait(timeout=30)
    return latencies, missed


async def full_send(args, session, publisher, watcher, name, flooded):
    port, work, pid, expected = args["port"], args["work"], args["pid"], args["expected"]
    board, device, report = serve.recorder(work, name, count=len(expected),
                                           seconds=int(len(expected) * 0.5) + 120)
    await choose_board(port, session, device)
    await asyncio.sleep(1)
    command_id = f"{name}-send"
    cpu = cpu_seconds(pid)
    publisher.stdin.write((json.dumps({"id": command_id, "set": "Bench"}) + "\n").encode())
    publisher.stdin.flush()
    deadline = time.monotonic() + 10
    while "started" not in watcher.answers(command_id):
        if time.monotonic() > deadline:
            raise RuntimeError(f"{command_id} was answered {watcher.answers(command_id)}")
        await asyncio.sleep(0.01)
    flood = Flood(args["broker_port"], command_id, args["fresh_ids"]) if flooded else None
    resident, unanswered = [], 0
    while board.poll() is None:
        state = (await status(port, session)).get("state")
        if state == "idle":
            break
        unanswered += state == "unanswered"
        resident.append(resident_kb(pid))
        await asyncio.sleep(0.5)
    if flood:
        flood.stop()
    try:
        await until_idle(port, session, 120)
    except RuntimeError:
        await stop(port, session)
    cpu = cpu_seconds(pid) - cpu
    board.wait(timeout=30)
    with open(report) as f:
        arrived = json.load(f)
    gaps = arrived["gaps_ms"] or [float("nan")]
    took = arrived["times"][-1] - arrived["times"][0] if arrived["times"] else float("nan")
    result = {"ok": arrived["bytes"] == expected, "arrived": len(arrived["bytes"]), "smallest": min(gaps),
              "overrun": sum(gaps) / len(gaps) - 500, "largest": max(gaps), "resident": max(resident),
              "cpu": cpu / took * 100, "unanswered": unanswered}
    # What the broker delivered is counted a moment later, as it came.
    await asyncio.sleep(1)
    # The flood asks after this send's id too: those answers are duplicates.
    result["end"] = " ".join(a for a in watcher.answers(command_id) if a != "duplicate")
    if flood:
        span = flood.ended - flood.started
        result.update(offered=flood.offered / span,
                      delivered=watcher.delivered(flood.started, flood.ended + 1) / span,
                      own=watcher.delivered(flood.started, flood.ended + 1,
                                            [f"pelorin/{BOARD}/send", f"pelorin/{BOARD}/set/Bench"]) / span,
                      answered=watcher.answered(flood.started, flood.ended + 1) / span, span=span)
    return result


async def main(quick, fresh_ids, pelorin, pty_recorder):
    messages = [chr(ord("A") + n) for n in range(9)] if quick else serve.MESSAGES
    samples = 20 if quick else 100
    started_load = load()
    with tempfile.TemporaryDirectory(prefix="pelorin-bench-mqtt-") as work:
        mosquitto, broker_port = broker(work)
        watcher = Watcher(broker_port)
        publisher = subprocess.Popen(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(broker_port), "-V", "5", "-q", "1",
                                      "-t", f"pelorin/{BOARD}/send", "-l"], stdin=subprocess.PIPE)
        server = None
        try:
            serve.PELORIN, serve.RECORDER = pelorin, pty_recorder
            server, port, code, _ = serve.start(
                os.path.join(work, "state"),
                ["--mqtt", f"mqtt://127.0.0.1:{broker_port}", "--mqtt-id", BOARD, "--clock-is-set"])
            session = await serve.claim(port, code, messages, serve.LEVELS)
            deadline = time.monotonic() + 15
            while watcher.status != "online":
                if time.monotonic() > deadline:
                    raise RuntimeError("the server did not come online on the broker")
                await asyncio.sleep(0.05)
            await asyncio.sleep(2)
            idle_kb = resident_kb(server.pid)
            args = {"port": port, "work": work, "pid": server.pid, "recorder": pty_recorder,
                    "broker_port": broker_port, "expected": serve.expected(messages, serve.LEVELS),
                    "fresh_ids": fresh_ids}
            latencies, missed = await latency(args, session, publisher, watcher, samples)
            quiet = await full_send(args, session, publisher, watcher, "quiet", False)
            flooded = await full_send(args, session, publisher, watcher, "flooded", True)
            peak_kb = resident_kb(server.pid, "VmHWM")
        finally:
            for process in (server, publisher, watcher.process, mosquitto):
                if process:
                    process.terminate()
                    process.wait()
        version = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", "mosquitto"], capture_output=True,
                                 text=True).stdout

    print(f"pelorin --serve through mosquitto {version or '?'} on 127.0.0.1, a set of {len(args['expected'])} "
          f"characters; load average {started_load} at the start, {load()} at the end")
    print(f"send published to its first character at the board: {len(latencies)} sends, "
          f"median {percentile(latencies, 0.5):.1f} ms, p99 {percentile(latencies, 0.99):.1f} ms, "
          f"from {min(latencies):.1f} to {max(latencies):.1f} ms" if latencies else "no send reached the board")
    for command_id, answers in missed:
        print(f"  {command_id}: no character within 10 s; answered {answers}")
    print(f"{'send':<10} {'exact':<6} {'smallest gap':>13} {'mean overrun':>13} {'largest gap':>12} "
          f"{'resident, largest':>18} {'server CPU':>11}  answers")
    for name, r in (("no flood", quiet), ("flood", flooded)):
        exact = "yes" if r["ok"] else f"NO, {r['arrived']} of {len(args['expected'])}"
        print(f"{name:<10} {exact:<6} {r['smallest']:>10.3f} ms {r['overrun']:>10.3f} ms "
              f"{r['largest']:>9.3f} ms {r['resident'] / 1024:>15.1f} MB {r['cpu']:>9.1f} %  {r['end']}")
    print(f"flood{' with new ids' if fresh_ids else ''} over {flooded['span']:.0f} s: "
          f"offered {flooded['offered']:.0f} a second, the broker delivered "
          f"{flooded['delivered']:.0f} a second ({flooded['own']:.0f} on the board's own topics), "
          f"the board answered {flooded['answered']:.0f} a second; GET /api/status went unanswered for 10 s "
          f"{flooded['unanswered']} times")
    print(f"resident memory: idle with the broker connected {idle_kb / 1024:.1f} MB; "
          f"peak over the run (VmHWM) {peak_kb / 1024:.1f} MB")


if __name__ == "__main__":
    flags = {"--quick", "--fresh-ids"}
    programs = [a for a in sys.argv[1:] if a not in flags][:2]
    asyncio.run(main("--quick" in sys.argv, "--fresh-ids" in sys.argv, *programs))
