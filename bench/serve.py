#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The board's server under the load of a busy shop. A benchmark: it
reports, it does not judge. Run through bench/run --serve.

    bench/serve.py PELORIN PTY_RECORDER

One pelorin --serve on 127.0.0.1, claimed and signed in to through its API,
sends the same set of 188 characters twice, each to a pseudo-terminal of
its own that the owner chooses through the API:
  - idle: nothing else asks anything of the server;
  - loaded: 50 pages follow the progress (GET /api/status every 500 ms each),
    10 more requests a second read sets and the page, and a sign-in (an
    Argon2id hash) is made half way through.
For each: the smallest gap between characters as they arrive and the mean
overrun of the 500 ms interval; for the loaded send the latency of
GET /api/status (p50, p99), the sign-in's time, and the gaps around it; and
the server's resident memory, idle and sending.
"""
import asyncio
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time

PELORIN = RECORDER = None  # from the command line
MESSAGES = [f"MESSAGE NUMBER {n}"[:16].ljust(16, "-") for n in range(1, 10)]
LEVELS = [1, 0, 1, 0, 1, 0, 1, 0]


def expected(messages, levels):
    """What the board receives of a set: each message after its number and
    the level before the next, and Q at the end."""
    return "".join(f"{n}\r{levels[n - 1]}\r{messages[n - 1]}\r" for n in range(1, 9)) + f"9\r{messages[8]}\rQ"


async def request(port, method, path, body=None, cookie=None, csrf=None, extra=(), tls=None, source=None):
    """One request on a connection of its own: status, headers, body, ms.
    Over HTTPS with `tls`, an ssl.SSLContext; from the address `source`."""
    started = time.monotonic()
    reader, writer = await asyncio.open_connection("127.0.0.1", port, ssl=tls,
                                                   local_addr=(source, 0) if source else None)
    data = json.dumps(body).encode() if body is not None else b""
    head = [f"{method} {path} HTTP/1.1", f"Host: 127.0.0.1:{port}", "Connection: close",
            f"Content-Length: {len(data)}"]
    if body is not None:
        head.append("Content-Type: application/json")
    if cookie:
        head.append(f"Cookie: {cookie}")
    if csrf:
        head.append(f"X-CSRF-Token: {csrf}")
    head += extra
    writer.write(("\r\n".join(head) + "\r\n\r\n").encode() + data)
    await writer.drain()
    # To the end of the body that the answer announces: over HTTPS the
    # server leaves the close to the client.
    answer = b""
    while b"\r\n\r\n" not in answer:
        chunk = await reader.read(65536)
        if not chunk:
            break
        answer += chunk
    head, _, payload = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if lines and len(lines[0].split()) > 1 else 0
    headers = [tuple(line.split(": ", 1)) for line in lines[1:] if ": " in line]
    length = next((int(v) for k, v in headers if k.lower() == "content-length"), None)
    while length is not None and len(payload) < length:
        chunk = await reader.read(65536)
        if not chunk:
            break
        payload += chunk
    took = (time.monotonic() - started) * 1000
    writer.close()
    return status, headers, payload, took


EXPECTED = expected(MESSAGES, LEVELS)


def resident_kb(pid, key="VmRSS"):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return -1


def recorder(work, name, count=len(EXPECTED), seconds=300):
    """A stand-in board at real-time priority where that is allowed, so that
    what it measures is the sender's pace rather than its own lateness."""
    report = os.path.join(work, name + ".json")
    command = [RECORDER, report, str(count), str(seconds)]
    if os.geteuid() == 0:
        command = ["chrt", "-f", "50"] + command
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    return process, process.stdout.readline().strip(), report


def pacing(report, wanted=EXPECTED):
    with open(report) as f:
        data = json.load(f)
    gaps = data["gaps_ms"]
    ok = data["bytes"] == wanted
    return ok, min(gaps), sum(gaps) / len(gaps) - 500, gaps


async def send(port, session, device, pid, load):
    cookie, csrf = session
    status, _, payload, _ = await request(port, "PUT", "/api/board", {"device": device}, cookie, csrf)
    assert status == 200, payload
    latencies, resident, signin = [], [], {}
    sending = True

    async def follower(k):
        await asyncio.sleep(k * 0.01)
        while sending:
            status, _, _, took = await request(port, "GET", "/api/status", cookie=cookie)
            if status == 200:
                latencies.append(took)
            await asyncio.sleep(0.5)

    async def browser():
        paths = ["/api/sets", "/api/sets/Bench", "/", "/app.js"]
        k = 0
        running = set()  # a task that nothing holds may be collected before it ends
        while sending:
            task = asyncio.ensure_future(request(port, "GET", paths[k % len(paths)], cookie=cookie))
            running.add(task)
            task.add_done_callback(running.discard)
            k += 1
            await asyncio.sleep(0.1)

    async def signs_in():
        await asyncio.sleep(len(EXPECTED) * 0.25)
        signin["at"] = time.monotonic()
        status, _, _, took = await request(port, "POST", "/api/login", {"name": "owner", "password": "owner's secret"})
        signin["ms"], signin["status"] = took, status

    tasks = [asyncio.ensure_future(follower(k)) for k in range(50)] if load else []
    if load:
        tasks += [asyncio.ensure_future(browser()), asyncio.ensure_future(signs_in())]
    status, _, payload, _ = await request(port, "POST", "/api/send", {"set": "Bench"}, cookie, csrf)
    assert status == 202, payload
    while True:
        await asyncio.sleep(0.5)
        resident.append(resident_kb(pid))
        status, _, payload, _ = await request(port, "GET", "/api/status", cookie=cookie)
        if json.loads(payload).get("state") == "idle":
            break
    sending = False
    await asyncio.gather(*tasks, return_exceptions=True)
    return latencies, resident, signin


def percentile(values, p):
    values = sorted(values)
    return values[int(p * (len(values) - 1) + 0.5)] if values else float("nan")


def start(state, options=(), **popen):
    """A pelorin --serve on 127.0.0.1, on a port of its own: the process, the
    port, the setup code, and the lines it says after those (it goes on
    being read, lest a full pipe stop it)."""
    server = subprocess.Popen([PELORIN, "--serve", "--listen", "127.0.0.1:0", "--state", state, *options],
                              stderr=subprocess.PIPE, text=True, **popen)
    said = ""
    while "setup code: " not in said:
        line = server.stderr.readline()
        if not line:
            sys.exit("the server said: " + said)
        said += line
    later = []
    threading.Thread(target=lambda: later.extend(server.stderr), daemon=True).start()
    return server, int(re.search(r":(\d+)/", said)[1]), re.search(r"setup code: (\S+)", said)[1], later


async def claim(port, code, messages=MESSAGES, levels=LEVELS, **how):
    """Claims the server as its owner and saves the set Bench: the owner's
    session's cookie and token."""
    status, headers, payload, _ = await request(
        port, "POST", "/api/setup", {"code": code, "name": "owner", "password": "owner's secret"}, **how)
    assert status == 201, payload
    cookie = next(v for k, v in headers if k.lower() == "set-cookie").split(";")[0]
    csrf = json.loads(payload)["csrf"]
    status, _, payload, _ = await request(port, "PUT", "/api/sets/Bench", {"messages": messages, "levels": levels},
                                          cookie, csrf, ["If-None-Match: *"], **how)
    assert status in (200, 201), payload
    return cookie, csrf


async def main():
    work = tempfile.mkdtemp(prefix="pelorin-bench-serve-")
    server, port, code, _ = start(os.path.join(work, "state"))
    try:
        cookie, csrf = await claim(port, code)
        await asyncio.sleep(2)
        idle_kb = resident_kb(server.pid)
        # One Argon2id check, as a sign-in with nothing else to do makes it.
        signins = []
        for _ in range(7):
            status, _, _, took = await request(port, "POST", "/api/login",
                                               {"name": "owner", "password": "owner's secret"})
            assert status == 200
            signins.append(took)
        await asyncio.sleep(1)
        after_kb = resident_kb(server.pid)

        results = {}
        for name, load in (("idle", False), ("loaded", True)):
            board, device, report = recorder(work, name)
            latencies, resident, signin = await send(port, (cookie, csrf), device, server.pid, load)
            board.wait(timeout=30)
            results[name] = (pacing(report), latencies, resident, signin, report)
        peak_kb = resident_kb(server.pid, "VmHWM")
    finally:
        server.terminate()
        server.wait()

    print(f"pelorin --serve, a set of {len(EXPECTED)} characters, twice")
    print(f"{'send':<8} {'exact':<6} {'smallest gap':>13} {'mean overrun':>13} {'resident, sending':>18}")
    for name, ((ok, smallest, overrun, _), _, resident, _, _) in results.items():
        print(f"{name:<8} {'yes' if ok else 'NO':<6} {smallest:>10.3f} ms {overrun:>10.3f} ms "
              f"{max(resident) / 1024:>11.1f} MB max")
    (_, _, _, gaps), latencies, _, signin, report = results["loaded"]
    print(f"GET /api/status under load: {len(latencies)} answered, p50 {percentile(latencies, 0.5):.2f} ms, "
          f"p99 {percentile(latencies, 0.99):.2f} ms, largest {max(latencies):.2f} ms")
    if signin:
        with open(report) as f:
            times = json.load(f)["times"]
        # The gaps of the characters that left while the hash was made.
        during = [g for t, g in zip(times[1:], gaps) if signin["at"] - 0.5 <= t <= signin["at"] + signin["ms"] / 1000 + 0.5]
        print(f"a sign-in during the send: {signin['status']} in {signin['ms']:.0f} ms; the gaps around it: "
              f"{min(during):.3f} to {max(during):.3f} ms" if during else "no character left during the sign-in")
    print(f"a sign-in with nothing else to do (an Argon2id check): median {percentile(signins, 0.5):.0f} ms, "
          f"from {min(signins):.0f} to {max(signins):.0f} ms over {len(signins)}")
    print(f"resident memory: idle {idle_kb / 1024:.1f} MB, idle after 7 sign-ins {after_kb / 1024:.1f} MB; peak over the run (sign-ins' hashes included) "
          f"{peak_kb / 1024:.1f} MB")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    PELORIN, RECORDER = sys.argv[1:3]
    asyncio.run(main())
