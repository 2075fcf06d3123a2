#!/usr/bin/env python3
"""The preview page in a real browser: headless Chromium driven through chromedriver.

For the sample library and for a library without a summary, the page is written with
`oakenmere preview --html`, loaded in Chromium at the preview window's size, and checked:
which accessibility identifiers are present, that the contact sheet decoded, and that nothing
is wider than the 640-point window. A screenshot of each page is saved for people to look at.
"""
import argparse
import base64
import json
import os
import plistlib
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
import uuid
from datetime import datetime

IDS = ["preview.libraryName", "preview.counts", "preview.contactSheet", "preview.facts",
       "preview.attention", "preview.freshness"]

# Runs in the page: what is there, and whether anything sticks out past the window's width.
PROBE = """
const ids = arguments[0];
const present = {};
for (const id of ids) present[id] = document.getElementById(id) !== null;
// Everything inside the page's padding must end within it.
let widest = 0, widestWhat = "";
for (const element of document.querySelectorAll("main *")) {
  const right = element.getBoundingClientRect().right;
  if (right > widest) { widest = right; widestWhat = element.tagName + "." + element.className; }
}
const image = document.getElementById("preview.contactSheet");
return JSON.stringify({
  present, widest, widestWhat,
  scrollWidth: document.documentElement.scrollWidth,
  bodyWidth: document.body.getBoundingClientRect().width,
  imageDecoded: image ? (image.complete && image.naturalWidth > 0) : null,
  imageAlt: image ? image.alt : null,
  name: (document.getElementById("preview.libraryName") || {}).textContent,
});
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class WebDriver:
    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}"
        self.session = None

    def call(self, method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as response:
            return json.loads(response.read())["value"]

    def start(self, profile, width, height):
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--hide-scrollbars", f"--user-data-dir={profile}", f"--window-size={width},{height}"]
        capabilities = {"alwaysMatch": {"browserName": "chrome",
                                        "goog:chromeOptions": {"binary": shutil.which("chromium"), "args": args}}}
        self.session = self.call("POST", "/session", {"capabilities": capabilities})["sessionId"]

    def open(self, path):
        self.call("POST", f"/session/{self.session}/url", {"url": "file://" + os.path.abspath(path)})

    def run(self, script, *args):
        return self.call("POST", f"/session/{self.session}/execute/sync", {"script": script, "args": list(args)})

    def screenshot(self, destination):
        png = base64.b64decode(self.call("GET", f"/session/{self.session}/screenshot"))
        with open(destination, "wb") as f:
            f.write(png)

    def quit(self):
        if self.session:
            self.call("DELETE", f"/session/{self.session}")


def summaryless_library(folder):
    package = os.path.join(folder, "Empty Shelf.oakenmere")
    os.mkdir(package)
    record = {"formatVersion": 1, "identifier": str(uuid.uuid4()).upper(), "name": "Empty Shelf",
              "createdAt": datetime(2024, 5, 1)}
    with open(os.path.join(package, "Info.plist"), "wb") as f:
        plistlib.dump(record, f, fmt=plistlib.FMT_BINARY)
    return package


def check_page(driver, oakenmere, library, expected, out, label, failures):
    html = os.path.join(out, f"preview-{label}.html")
    subprocess.run([oakenmere, "preview", "--html", html, library], check=True)
    driver.open(html)
    facts = json.loads(driver.run(PROBE, IDS))
    for _ in range(50):  # the data-URI image decodes asynchronously: wait for it, five seconds at most
        if facts["imageDecoded"] is not False:
            break
        time.sleep(0.1)
        facts = json.loads(driver.run(PROBE, IDS))
    driver.screenshot(os.path.join(out, f"preview-{label}.png"))
    for identifier in IDS:
        if facts["present"][identifier] != (identifier in expected):
            failures.append(f"{label}: {identifier} should be {'present' if identifier in expected else 'absent'}")
    if facts["widest"] > 640 - 24 + 0.5 or facts["scrollWidth"] > 640:
        failures.append(f"{label}: content is {facts['widest']:.1f} wide ({facts['widestWhat']}), "
                        f"scroll width {facts['scrollWidth']}")
    if "preview.contactSheet" in expected:
        if not facts["imageDecoded"]:
            failures.append(f"{label}: the contact sheet did not decode in the browser")
        if facts["imageAlt"] != "A few of the library's newest pictures":
            failures.append(f"{label}: contact sheet label is {facts['imageAlt']!r}")
    print(f"{label}: {json.dumps(facts)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--oakenmere", required=True)
    parser.add_argument("--sample", required=True)
    parser.add_argument("--out", required=True)
    options = parser.parse_args()
    for tool in ("chromium", "chromedriver"):
        if shutil.which(tool) is None:
            print(f"{tool} is missing: run scripts/setup", file=sys.stderr)
            return 1
    os.makedirs(options.out, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="preview-browser-")
    port = free_port()
    driver_process = subprocess.Popen(["chromedriver", f"--port={port}"], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
    driver = WebDriver(port)
    failures = []
    try:
        for _ in range(100):
            try:
                driver.call("GET", "/status")
                break
            except OSError:
                time.sleep(0.1)
        driver.start(os.path.join(scratch, "profile"), 640, 600)
        check_page(driver, options.oakenmere, options.sample, set(IDS), options.out, "sample", failures)
        check_page(driver, options.oakenmere, summaryless_library(scratch),
                   {"preview.libraryName", "preview.counts", "preview.freshness"}, options.out, "no-summary", failures)
    finally:
        try:
            driver.quit()
        finally:
            driver_process.terminate()
            driver_process.wait(timeout=30)
            shutil.rmtree(scratch, ignore_errors=True)
    for failure in failures:
        print("FAILED:", failure, file=sys.stderr)
    print(f"screenshots in {options.out}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
