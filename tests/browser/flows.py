#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""The board's page in a real browser, as its people use it.

    tests/browser/flows.py PELORIN PTY_RECORDER AXE_JS OUTDIR

Starts pelorin --serve on 127.0.0.1 with a pseudo-terminal for its board,
and Debian's Chromium through its own chromedriver: a phone (390x844) and
a desktop (1280x800). The owner claims the computer with the printed code,
types a set at a person's speed, saves it and sends it; both pages follow
the send to its end, one of them reloaded on the way, and the board gets
the exact bytes at 2400 8N1, which the server handed over no two closer
than the board's half second, as the trace of its hand-overs tells. A
page on another port of the same address tries to send, and a name
resolved to 127.0.0.1 as DNS rebinding would tries to reach the page:
both are refused, and nothing reaches the board.
Staff schedule the set for the next minute, and the board receives it
again at that minute, which takes a real minute's wait, as the server's
clock is the computer's. A stale save shows both versions. A setup code made on the computer
resets a forgotten password. The desktop reaches the server through a
proxy, which drops its connections mid-send and then answers with its
own error page: the page says so, keeps asking and follows the send
again once the server answers. The page names signed-in devices from
real browsers' User-Agents. axe-core judges every view, and each fits a
phone 360 and 390 px wide without sideways scrolling. Screenshots of each
go to OUTDIR.
"""
import http.client
import http.server
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

PELORIN, RECORDER, AXE_JS, OUTDIR = sys.argv[1:5]
SET = "Morning"
FIRST, IDLE = "OPEN 9-5", "Welcome!"
# What the board must receive: each slot's digit, its level (not for the
# idle message), its text, each ended by CR, then Q.
EXPECTED = "1\r1\r" + FIRST + "\r" + "".join(f"{n}\r0\r\r" for n in range(2, 9)) + "9\r" + IDLE + "\rQ"

failures = []

# Real browsers' User-Agents, and the names the owner's list of signed-in
# devices gives them.
AGENTS = [
    ("Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.6099.144 "
     "Mobile Safari/537.36", "Chrome on Android"),
    ("Mozilla/5.0 (Linux; Android 14; SAMSUNG SM-S911B) AppleWebKit/537.36 (KHTML, like Gecko) "
     "SamsungBrowser/23.0 Chrome/115.0.0.0 Mobile Safari/537.36", "Samsung Internet on Android"),
    ("Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 Mobile "
     "Safari/537.36 EdgA/120.0.2210.115", "Edge on Android"),
    ("Mozilla/5.0 (Linux; Android 10; K) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/119.0.0.0 Mobile "
     "Safari/537.36 OPR/79.1.4195.76505", "Opera on Android"),
    ("Mozilla/5.0 (Android 14; Mobile; rv:121.0) Gecko/121.0 Firefox/121.0", "Firefox on Android"),
    ("Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "Version/17.2 Mobile/15E148 Safari/604.1", "Safari on iPhone"),
    ("Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "CriOS/120.0.6099.119 Mobile/15E148 Safari/604.1", "Chrome on iPhone"),
    ("Mozilla/5.0 (iPhone; CPU iPhone OS 17_2 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) "
     "FxiOS/121.0 Mobile/15E148 Safari/605.1.15", "Firefox on iPhone"),
    ("Mozilla/5.0 (iPad; CPU OS 16_6 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/16.6 "
     "Mobile/15E148 Safari/604.1", "Safari on iPad"),
    ("Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.2 "
     "Safari/605.1.15", "Safari on macOS"),
    ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
     "Safari/537.36 Edg/120.0.0.0", "Edge on Windows"),
    ("Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
     "Safari/537.36 OPR/106.0.0.0", "Opera on Windows"),
    ("Mozilla/5.0 (Windows NT 10.0; Win64; x64; rv:121.0) Gecko/20100101 Firefox/121.0", "Firefox on Windows"),
    ("Mozilla/5.0 (X11; CrOS x86_64 14541.0.0) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
     "Safari/537.36", "Chrome on ChromeOS"),
    ("Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) HeadlessChrome/120.0.0.0 "
     "Safari/537.36", "Chrome on Linux"),
    ("curl/8.4.0", "curl on an unknown system"),
    ("", "a browser"),
]


def check(ok, what):
    print(("ok: " if ok else "FAILED: ") + what, flush=True)
    if not ok:
        failures.append(what)


def wait(driver, condition, what, seconds=20):
    try:
        # A page that reloads meanwhile (a sign-out) leaves the elements of
        # the one before stale: the next poll looks at the new page.
        return WebDriverWait(driver, seconds, poll_frequency=0.1,
                             ignored_exceptions=(StaleElementReferenceException,)).until(lambda d: condition(d))
    except TimeoutException:
        check(False, what)
        return None


def by_id(driver, element):
    return driver.find_element(By.ID, element)


def type_slowly(element, text):
    """At a person's speed: a key every 80 ms."""
    for character in text:
        element.send_keys(character)
        time.sleep(0.08)


def shown(driver, element):
    return driver.find_element(By.ID, element).is_displayed()


def fits(driver, view):
    """Nothing wider than phones 360 and 390 px wide, where only the log's
    own box may scroll sideways; the driver's size is given back."""
    for width in (360, 390):
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": width, "height": 800, "deviceScaleFactor": 1, "mobile": True})
        wide, inner = driver.execute_script("""
            const width = arguments[0];
            const scrolls = (e) => { for (let p = e.parentElement; p; p = p.parentElement) {
                if (getComputedStyle(p).overflowX !== 'visible') return true; } return false; };
            const wide = [...document.body.querySelectorAll('*')].filter((e) => e.getClientRects().length && !scrolls(e))
                .map((e) => [e, e.getBoundingClientRect()]).filter(([, r]) => r.left < -0.5 || r.right > width + 0.5)
                .map(([e, r]) => `${e.tagName.toLowerCase()}${e.id ? '#' + e.id : ''} ${Math.round(r.left)}..${Math.round(r.right)}`);
            if (document.documentElement.scrollWidth > width) wide.push(`the page, ${document.documentElement.scrollWidth} px`);
            return [wide, window.innerWidth];""", width)
        check(inner == width and not wide, f"the {view} view fits {width} px without sideways scrolling"
              + "".join("\n  " + w for w in wide))
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", driver.metrics)


def axe(driver, view):
    fits(driver, view)
    with open(AXE_JS, encoding="utf-8") as f:
        driver.execute_script(f.read())
    violations = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document).then(r => done(r.violations.map(v => `${v.id}: ${v.help} at `"
        " + v.nodes.map(n => n.target.join(' ')).join(', '))), e => done([String(e)]));")
    check(not violations, f"axe-core finds nothing in the {view} view" + "".join("\n  " + v for v in violations))


def screenshot(driver, name):
    driver.save_screenshot(os.path.join(OUTDIR, name + ".png"))


def page_fetch(driver, path):
    """A GET from the page itself, with its cookie: the answer's JSON."""
    return driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "fetch(arguments[0]).then(r => r.json()).then(done, e => done({error: String(e)}));", path)


def browser(work, name, phone):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--no-proxy-server",
                     "--no-first-run", "--disable-gpu", "--host-resolver-rules=MAP rebind.test 127.0.0.1",
                     f"--user-data-dir={work}/{name}-profile"):
        options.add_argument(argument)
    if phone:
        options.add_experimental_option("mobileEmulation", {
            "deviceMetrics": {"width": 390, "height": 844, "pixelRatio": 1, "mobile": True, "touch": True}})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.metrics = {"width": 390 if phone else 1280, "height": 844 if phone else 800, "deviceScaleFactor": 1,
                      "mobile": phone}
    if not phone:
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", driver.metrics)
    driver.set_script_timeout(30)
    return driver


def serve_attack(board_port):
    """A page of another site on another port of the same address: a form
    post, and two fetches, that would each send a set to the board."""
    page = f"""<!DOCTYPE html><html lang="en"><title>Win a prize</title>
<iframe name="sink" title="sink"></iframe>
<form id="f" method="post" action="http://127.0.0.1:{board_port}/api/send" enctype="text/plain" target="sink">
<input name='{{"set":"{SET}","x":"' value='"}}'></form>
<script>
document.getElementById('f').submit();
const url = 'http://127.0.0.1:{board_port}/api/send';
const body = JSON.stringify({{set: '{SET}'}});
Promise.allSettled([
  fetch(url, {{method: 'POST', mode: 'no-cors', credentials: 'include', headers: {{'Content-Type': 'text/plain'}}, body}}),
  fetch(url, {{method: 'POST', credentials: 'include', headers: {{'Content-Type': 'application/json', 'X-CSRF-Token': 'guess'}}, body}}),
]).then(() => {{ document.title = 'tried'; }});
</script></html>""".encode()

    class Attack(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Attack)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


class Proxy(http.server.ThreadingHTTPServer):
    """What stands between a phone and the server: it passes each request
    on as it came, or, as mode says, drops the connection unanswered
    ("down") or answers with its own error page ("502")."""
    daemon_threads = True
    mode = "pass"


def serve_proxy(board_port):
    class Handler(http.server.BaseHTTPRequestHandler):
        def relay(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            if self.server.mode == "down":
                self.close_connection = True
                return
            if self.server.mode == "502":
                page = b"<html><body><h1>502 Bad Gateway</h1></body></html>"
                self.send_response(502, "Bad Gateway")
                self.send_header("Content-Type", "text/html")
                self.send_header("Content-Length", str(len(page)))
                self.end_headers()
                self.wfile.write(page)
                return
            board = http.client.HTTPConnection("127.0.0.1", board_port, timeout=30)
            board.request(self.command, self.path, body, dict(self.headers))
            answer = board.getresponse()
            content = answer.read()
            self.send_response_only(answer.status, answer.reason)
            for name, value in answer.getheaders():
                if name.lower() not in ("connection", "keep-alive", "transfer-encoding", "content-length"):
                    self.send_header(name, value)
            self.send_header("Content-Length", str(len(content)))
            self.end_headers()
            self.wfile.write(content)
            board.close()

        do_GET = do_POST = do_PUT = do_DELETE = relay

        def log_message(self, *args):
            pass

    proxy = Proxy(("127.0.0.1", 0), Handler)
    threading.Thread(target=proxy.serve_forever, daemon=True).start()
    return proxy


def main():
    os.makedirs(OUTDIR, exist_ok=True)
    work = tempfile.mkdtemp(prefix="pelorin-browser-")
    report = os.path.join(work, "board.json")
    recorder = subprocess.Popen([RECORDER, report, str(2 * len(EXPECTED)), "400"], stdout=subprocess.PIPE, text=True)
    pty = recorder.stdout.readline().strip()
    # The pacing is judged by what the server handed over: the recorder
    # sees each byte when the system delivers it, which a busy machine
    # delays for one byte and not the next.
    trace = os.path.join(work, "handovers")
    server = subprocess.Popen([PELORIN, "--serve", "--listen", "127.0.0.1:0", "--port", pty,
                               "--state", os.path.join(work, "state"), "--clock-is-set"], stderr=subprocess.PIPE, text=True,
                              env=dict(os.environ, PELORIN_HANDOVER_TRACE=trace))
    try:
        run(work, report, trace, recorder, server)
    finally:
        server.terminate()
        server.wait(timeout=10)
        if recorder.poll() is None:
            recorder.kill()


def run(work, report, trace, recorder, server):
    said, code, port = [], None, None
    deadline = time.monotonic() + 20
    while (code is None or port is None) and time.monotonic() < deadline:
        line = server.stderr.readline()
        if not line:
            break
        said.append(line)
        port = port or (re.search(r":(\d+)/", line) or [None, None])[1]
        code = code or (re.search(r"setup code: (\S+)", line) or [None, None])[1]
    threading.Thread(target=lambda: [said.append(l) for l in server.stderr], daemon=True).start()
    if not code or not port:
        print("".join(said))
        sys.exit("FAILED: the server printed no address and setup code")
    page = f"http://127.0.0.1:{port}/"
    direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    size = sum(len(direct.open(page + name).read()) for name in ("", "app.js", "style.css"))
    check(size < 60 * 1024, f"the page's files come to {size} bytes, under 60 KB")
    phone = browser(work, "phone", True)
    desk = browser(work, "desktop", False)
    try:
        # The owner claims the computer from a phone.
        phone.get(page)
        wait(phone, lambda d: shown(d, "setup"), "the first visit offers to claim the computer")
        axe(phone, "claim")
        screenshot(phone, "phone-claim")
        type_slowly(by_id(phone, "setup-code"), code.lower().replace("-", " "))
        type_slowly(by_id(phone, "setup-name"), "owner")
        type_slowly(by_id(phone, "setup-password"), "owner's secret")
        by_id(phone, "setup").submit()
        wait(phone, lambda d: shown(d, "board"), "the code, given as a person types it, claims the computer")

        # A set, typed.
        box = by_id(phone, "m0")
        type_slowly(box, FIRST)
        check(by_id(phone, "c0").text == "8/16", "the count follows the typing")
        check(by_id(phone, "p0").text == FIRST, "the preview shows the message")
        type_slowly(by_id(phone, "m1"), "Café €, too long to fit")
        check(by_id(phone, "m1").get_attribute("value") == "Café €, too long", "a message stops at 16 characters")
        check(by_id(phone, "p1").text == "Café ?, too long", "the preview shows what the board cannot take as ?")
        by_id(phone, "m1").clear()
        phone.find_element(By.CSS_SELECTOR, "input[name=l0][value='1']").click()
        type_slowly(by_id(phone, "m8"), IDLE)
        by_id(phone, "editor").submit()
        wait(phone, lambda d: d.switch_to.alert, "saving a first set asks for its name")
        phone.switch_to.alert.send_keys(SET)
        phone.switch_to.alert.accept()
        wait(phone, lambda d: by_id(d, "set-list").get_attribute("value") == SET, "the set is saved under its name")
        wait(phone, lambda d: "s)" in by_id(d, "send").text, "Send says how long it takes")
        check(by_id(phone, "send").text == f'Send "{SET}" ({len(EXPECTED) // 2} s)',
              f"Send says how long it takes: {by_id(phone, 'send').text}")
        axe(phone, "board")
        screenshot(phone, "phone-board")
        # The page's own naming, which a classic script leaves global.
        names = phone.execute_script("return arguments[0].map(deviceName)", [agent for agent, _ in AGENTS])
        for (agent, expected), name in zip(AGENTS, names):
            check(name == expected, f"{agent[:60] or 'no User-Agent'}… is named {expected}"
                  + ("" if name == expected else f": {name!r} from {agent!r}"))

        # Another site's page, same address, another port: refused.
        attack_port = serve_attack(port)
        phone.get(f"http://127.0.0.1:{attack_port}/")
        wait(phone, lambda d: d.title == "tried", "the other site's page tried its requests")
        time.sleep(1)
        phone.get(page)
        wait(phone, lambda d: shown(d, "board"), "back on the board's page, still signed in")
        status = page_fetch(phone, "/api/status")
        check(status.get("state") == "idle" and "last" not in status,
              f"nothing was sent by the other site's page: {status}")
        log = page_fetch(phone, "/api/log")
        check(not any(e.get("event", "").startswith("send") for e in log), "the log has no send from the other site")

        # DNS rebinding: the name leads to this computer, but is not its own.
        phone.get(f"http://rebind.test:{port}/")
        body = phone.find_element(By.TAG_NAME, "body").text
        check("does not answer to the name" in body and "--host-name" in body,
              f"a rebound name is refused, saying how to add a name: {body!r}")
        phone.get(page)
        wait(phone, lambda d: shown(d, "board"), "the board's page again")

        # The owner adds a member of staff, who signs in on a desktop.
        type_slowly(by_id(phone, "staff-name"), "anna")
        type_slowly(by_id(phone, "staff-password"), "anna's secret")
        by_id(phone, "staff").submit()
        wait(phone, lambda d: "anna" in by_id(d, "staff-list").text, "the owner adds a staff account", 30)
        proxy = serve_proxy(int(port))
        desk.get(f"http://127.0.0.1:{proxy.server_address[1]}/")
        wait(desk, lambda d: shown(d, "signin"), "a claimed computer offers sign-in")
        axe(desk, "sign-in")
        type_slowly(by_id(desk, "signin-name"), "anna")
        type_slowly(by_id(desk, "signin-password"), "anna's secret")
        by_id(desk, "signin").submit()
        wait(desk, lambda d: shown(d, "board"), "staff sign in on the desktop", 30)
        check(not shown(desk, "owner"), "staff see no owner's part")

        # The send, followed by both pages, one reloaded on the way.
        wait(phone, lambda d: by_id(d, "send").is_enabled(), "Send can be pressed")
        by_id(phone, "send").click()
        wait(phone, lambda d: "Sending" in by_id(d, "status").text, "the phone shows the send")
        wait(desk, lambda d: "Sending" in by_id(d, "status").text, "the desktop shows the send within a poll")
        time.sleep(4)
        phone.refresh()
        wait(phone, lambda d: "Sending" in by_id(d, "status").text and shown(d, "stop"),
             "after a reload the phone follows the send again, with Stop")
        screenshot(phone, "phone-sending")
        desk.execute_script("window.scrollTo(0, 0)")
        screenshot(desk, "desktop-sending")

        # The desktop's connection drops mid-send, then its proxy answers in
        # the server's stead: the page says so, and what a save met, and
        # follows the send again once the server answers.
        for mode, telling, alerted in (
                ("down", "Connection to the board's computer lost. Trying again…",
                 "No answer from the board's computer: check this device's connection, then try again."),
                ("502", "The server answered 502 Bad Gateway. Trying again…", "The server answered 502 Bad Gateway.")):
            proxy.mode = mode
            wait(desk, lambda d: by_id(d, "connection").text == telling,
                 f"with the proxy {mode}, the desktop says: {telling}")
            by_id(desk, "editor").submit()
            wait(desk, lambda d: shown(d, "problem") and by_id(d, "problem").text == alerted,
                 f"a save with the proxy {mode} says: {alerted}")
            desk.execute_script("window.scrollTo(0, 0)")
            screenshot(desk, f"desktop-proxy-{mode}")
        axe(desk, "connection lost")
        proxy.mode = "pass"
        wait(desk, lambda d: by_id(d, "connection").text == "Connected again.", "the desktop says it is connected again")
        wait(desk, lambda d: re.search("Sending|sent", by_id(d, "status").text), "the desktop follows the send again")
        wait(desk, lambda d: not by_id(d, "connection").text, "the desktop's connection line is empty again", 10)
        for driver, name in ((phone, "phone"), (desk, "desktop")):
            wait(driver, lambda d: "sent." in by_id(d, "status").text, f"the {name} says the set was sent", 90)
            progress = driver.execute_script("const p = document.getElementById('progress'); return [p.value, p.max]")
            check(progress[0] == progress[1] == len(EXPECTED), f"the {name}'s progress reaches 100%: {progress}")
        axe(desk, "staff's board")
        axe(phone, "board, the owner's part open")
        phone.find_element(By.ID, "log-show").click()
        wait(phone, lambda d: shown(d, "log-table"), "the owner reads the log")
        log = by_id(phone, "log-table").text
        check("anna" in log and "send sent" in log, "the log names who signed in and that the set was sent")
        phone.execute_script("document.getElementById('log-table').scrollIntoView()")
        fits(phone, "log")
        screenshot(phone, "phone-log")
        screenshot(desk, "desktop-board")

        # The owner makes a key for a script, shown once; the script reads
        # the status with it and gets no cookie; revoked, it is refused.
        by_id(phone, "key-name").send_keys("till")
        by_id(phone, "keys").submit()
        wait(phone, lambda d: shown(d, "key-made") and by_id(d, "key-text").get_attribute("value"),
             "the owner makes a key, shown once")
        key = by_id(phone, "key-text").get_attribute("value")
        check("till: sends" in by_id(phone, "keys-list").text, "the key is listed with what it may do")

        def with_key():
            try:
                answer = direct.open(urllib.request.Request(page + "api/status",
                                                            headers={"Authorization": f"Bearer {key}"}))
                return answer.status, answer.headers.get("Set-Cookie")
            except urllib.error.HTTPError as refused:
                return refused.code, refused.headers.get("Set-Cookie")
        check(with_key() == (200, None), f"a script reads the status with the key, and gets no cookie: {with_key()}")
        phone.find_element(By.XPATH, "//button[text()='Revoke till']").click()
        wait(phone, lambda d: d.switch_to.alert, "revoking asks first")
        phone.switch_to.alert.accept()
        wait(phone, lambda d: "No keys yet." in by_id(d, "keys-list").text, "the key is revoked")
        check(with_key()[0] == 401, "the revoked key is refused")

        # Staff schedule the set for the next minute, on today's weekday.
        target = (int(time.time() // 60) + 1) * 60
        if target - time.time() < 20:
            target += 60
        minute = time.localtime(target)
        desk.execute_script("arguments[0].value = arguments[1]", by_id(desk, "schedule-time"),
                            time.strftime("%H:%M", minute))
        weekday = ["mon", "tue", "wed", "thu", "fri", "sat", "sun"][minute.tm_wday]
        desk.find_element(By.CSS_SELECTOR, f".days input[value={weekday}]").click()
        by_id(desk, "schedule").submit()
        wait(desk, lambda d: "Next:" in by_id(d, "schedule-list").text, "staff add an entry to the schedule")
        listed = by_id(desk, "schedule-list").text
        check(f'"{SET}" at {time.strftime("%H:%M", minute)}' in listed and time.strftime("%H:%M", minute) in
              listed.split("Next:")[1], f"the entry shows its next send, in the computer's time: {listed!r}")
        axe(desk, "schedule")
        desk.execute_script("document.getElementById('schedule').scrollIntoView()")
        screenshot(desk, "desktop-schedule")
        try:
            recorder.wait(timeout=target - time.time() + 90)
        except subprocess.TimeoutExpired:
            recorder.kill()
            recorder.wait()
        arrived = json.load(open(report))["times"]
        check(len(arrived) == 2 * len(EXPECTED), f"the board received the scheduled send: {len(arrived)} bytes")
        # The recorder's times are the monotonic clock's; the minute is the wall clock's.
        began = arrived[min(len(EXPECTED), len(arrived) - 1)] + time.time() - time.monotonic()
        check(target <= began < target + 5, f"the scheduled send began at its minute: {began - target:+.3f} s")
        judged = subprocess.run([RECORDER, "--check", report, (EXPECTED * 2).replace("\r", "\\r")],
                                capture_output=True, text=True)
        check(judged.returncode == 0, "the board received the exact bytes, sent and then scheduled, at 2400 8N1"
              + (": " + judged.stderr.strip() if judged.returncode else ""))
        wait(desk, lambda d: "sent by the schedule" in by_id(d, "status").text, "the page says the schedule sent it", 30)
        # Its last line is written by now: the page says sent once the last
        # character has left.
        handed = subprocess.run([RECORDER, "--check-handovers", trace, (EXPECTED * 2).replace("\r", "\\r")],
                                capture_output=True, text=True)
        check(handed.returncode == 0, "the server handed both sends over no two characters closer than 500 ms"
              + (": " + handed.stderr.strip() if handed.returncode else ""))
        print(f"gaps in ms, smallest / mean overrun / largest: received {judged.stdout.strip() or '-'};"
              f" handed over {handed.stdout.strip() or '-'}", flush=True)
        wait(desk, lambda d: "Last: sent" in by_id(d, "schedule-list").text, "the entry says what its send did", 30)
        phone.refresh()
        wait(phone, lambda d: "Last: sent" in by_id(d, "schedule-list").text, "the phone shows the schedule too")
        phone.execute_script("document.getElementById('schedule').scrollIntoView()")
        fits(phone, "schedule")
        screenshot(phone, "phone-schedule")

        # A stale save: staff on the desktop save first, then the owner.
        by_id(desk, "m2").send_keys("Sale")
        by_id(desk, "editor").submit()
        wait(desk, lambda d: by_id(d, "status").text == f'Saved "{SET}".', "the desktop saves a change")
        type_slowly(by_id(phone, "m2"), "Closed")
        by_id(phone, "editor").submit()
        wait(phone, lambda d: shown(d, "conflict"), "the phone's stale save is refused and shows both versions")
        theirs = by_id(phone, "conflict-theirs").text
        yours = by_id(phone, "conflict-yours").text
        check("Sale" in theirs and "Closed" in yours, f"both versions are shown: {theirs!r} / {yours!r}")
        axe(phone, "stale save")
        screenshot(phone, "phone-stale")
        by_id(phone, "conflict-take").click()
        wait(phone, lambda d: by_id(d, "m2").get_attribute("value") == "Sale", "taking theirs shows theirs")

        # Anna forgets her password: root makes a code on the computer, and
        # the page, opened again, offers to reset it.
        made = subprocess.run([PELORIN, "--serve", "--setup-code", "--account", "anna",
                               "--state", os.path.join(work, "state")],
                              capture_output=True, text=True)
        fresh = (re.search(r"setup code: (\S+)", made.stdout) or [None, None])[1]
        check(made.returncode == 0 and fresh, "root makes a setup code for a forgotten password")
        by_id(desk, "signout").click()
        wait(desk, lambda d: shown(d, "setup") and "Reset" in by_id(d, "setup-title").text,
             "the page offers to reset a password with the code")
        axe(desk, "password reset")
        screenshot(desk, "desktop-reset")
        # The code names its account: the form asks for no name.
        check(not by_id(desk, "setup-name").is_displayed(), "the reset form asks for no name")
        type_slowly(by_id(desk, "setup-code"), fresh or "")
        type_slowly(by_id(desk, "setup-password"), "anna's new secret")
        by_id(desk, "setup").submit()
        wait(desk, lambda d: shown(d, "board"), "anna is back in with the code and a new password", 30)
    finally:
        phone.quit()
        desk.quit()
    leaked = [line for line in said if code in line.replace(" ", "")][1:]
    check(not leaked, "the setup code is printed once, at the start")
    if failures:
        print("".join(said))
        sys.exit(f"{len(failures)} browser checks failed")
    print(f"all browser checks passed; screenshots in {OUTDIR}")


main()
