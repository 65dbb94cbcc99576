#!/usr/bin/env python3
"""Places an order on the order page in headless Chromium, as a person would, then checks what
the tray program's poll receives. Speaks W3C WebDriver to chromedriver with the standard library
only; exits 77 (skipped) when chromium or chromedriver is missing.
Usage: browser_order_test.py PATH-TO-tovimo-service"""

from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
import json
import os
import re
import selectors
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

KEY = "00112233445566778899aabbccddeeff"
LIMIT = 30.0  # seconds for any one thing to happen
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


class Failure(Exception):
    pass


def wait_for(what, probe):
    deadline = time.monotonic() + LIMIT
    while True:
        try:
            result = probe()
        except (OSError, Failure):
            result = None
        if result:
            return result
        if time.monotonic() >= deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.05)


def http(method, url, body=None):
    request = urllib.request.Request(url, method=method,
                                     data=None if body is None else json.dumps(body).encode())
    try:
        with urllib.request.urlopen(request, timeout=LIMIT) as reply:
            return reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.read().decode()


class Browser:
    def __init__(self, driver_url, profile):
        self.url = driver_url
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-dev-shm-usage", "--no-proxy-server",
                "--user-data-dir=" + profile]
        options = {"binary": CHROMIUM, "args": args}
        session = self.call("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": options}}})
        self.url += "/session/" + session["sessionId"]

    def call(self, method, path, body=None):
        value = json.loads(http(method, self.url + path, body)).get("value")
        if isinstance(value, dict) and "error" in value:
            raise Failure("%s %s: %s" % (method, path, value.get("message")))
        return value

    def element(self, css):
        found = self.call("POST", "/element", {"using": "css selector", "value": css})
        return "/element/" + next(iter(found.values()))

    def fill_and_submit(self, page, fields):
        """Opens the page, clicks each field given None and types the others, submits, and
        returns the text of the page that answers."""
        self.call("POST", "/url", {"url": page})
        for css, text in fields:
            element = self.element(css)
            if text is None:
                self.call("POST", element + "/click", {})
            else:
                self.call("POST", element + "/clear", {})
                self.call("POST", element + "/value", {"text": text})
        self.call("POST", self.element("#place") + "/click", {})
        # Only the answer to the form has a status line or a list of problems.
        wait_for("the answer", lambda: self.element("#status, #problems"))
        return self.call("GET", self.element("body") + "/text")

    def quit(self):
        self.call("DELETE", "")


def foreign_site(page):
    """Serves `page` at / from another port, as another site would; the server and its address."""
    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            body = page.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d/" % server.server_address[1]


def run(executable, scratch):
    service = subprocess.Popen([executable, "--listen", "127.0.0.1:0", "--db",
                                os.path.join(scratch, "orders.sqlite")],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    driver = browser = None
    try:
        with selectors.DefaultSelector() as selector:
            selector.register(service.stdout, selectors.EVENT_READ)
            selector.select(timeout=LIMIT)
        base = service.stdout.readline().strip().replace("listening on ", "", 1)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        os.makedirs(os.path.join(scratch, "home"))
        with open(os.path.join(scratch, "driver.log"), "w") as log:
            driver = subprocess.Popen([CHROMEDRIVER, "--port=%d" % port], stdout=log,
                                      stderr=subprocess.STDOUT, start_new_session=True,
                                      env=dict(os.environ, HOME=os.path.join(scratch, "home")))
        driver_url = "http://127.0.0.1:%d" % port
        wait_for("chromedriver", lambda: json.loads(http("GET", driver_url + "/status"))
                 ["value"]["ready"])
        browser = Browser(driver_url, os.path.join(scratch, "profile"))

        poll = base + "tovimo/io.php?cmd=poll&data=%s&ver=1" % KEY
        page = base + "tovimo/index.php?data=%s&ver=1" % KEY
        text = browser.fill_and_submit(page, [("#format_3GP", None), ("#audio_codec", "aac")])
        if "Your order has been placed" not in text:
            raise Failure("no confirmation on the page:\n" + text)
        if http("GET", poll) != "CONVERT 3GP 0 0 0 0 aac 0 0":
            raise Failure("poll after placing gave %r" % http("GET", poll))

        text = browser.fill_and_submit(page, [("#format_MP4", None), ("#audio_codec", "a ac")])
        if "Your order was not placed" not in text or "Audio codec" not in text:
            raise Failure("a value with a space was not refused:\n" + text)
        if http("GET", poll) != "CONVERT 3GP 0 0 0 0 aac 0 0":
            raise Failure("the refused form changed the order: %r" % http("GET", poll))

        # Another site's page posts the order form, even with the key's token copied into it.
        token = re.search(r'name="token" value="([0-9a-f]+)"', http("GET", page)).group(1)
        site, site_url = foreign_site(
            '<form method="post" action="%stovimo/index.php"><input type="hidden" name="data" '
            'value="%s"><input type="hidden" name="token" value="%s"><input type="hidden" '
            'name="format" value="AVI"><button id="place">Win</button></form>' % (base, KEY, token))
        try:
            text = browser.fill_and_submit(site_url, [])
        finally:
            site.shutdown()
            site.server_close()
        if "Your order was not placed" not in text:
            raise Failure("another site's form was not refused:\n" + text)
        if http("GET", poll) != "CONVERT 3GP 0 0 0 0 aac 0 0":
            raise Failure("another site's form changed the order: %r" % http("GET", poll))
    finally:
        if browser:
            try:
                browser.quit()
            except (Failure, OSError):
                pass
        if driver:
            driver.terminate()
            driver.wait(timeout=LIMIT)
            try:  # a browser left behind by the driver we started, in its session
                os.killpg(driver.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        service.send_signal(signal.SIGTERM)
        if service.wait(timeout=LIMIT) != 0:
            raise Failure("the service ended with status %d" % service.returncode)


def main():
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.access(p, os.X_OK)]
    if missing:
        print("SKIP: not installed: " + ", ".join(missing))
        return 77
    with tempfile.TemporaryDirectory(prefix="tovimo-browser-",
                                     ignore_cleanup_errors=True) as scratch:
        try:
            run(sys.argv[1], scratch)
        except (Failure, OSError, subprocess.TimeoutExpired) as failure:
            print("FAIL: %s" % failure, file=sys.stderr)
            return 1
    print("order placed through the page; a value with a space and another site's form refused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
