#!/usr/bin/env python3
"""The preview page in a real browser: headless Chromium driven through chromedriver.

For the sample library and for a library without a summary, the page is written with
`oakenmere preview --html`, loaded in Chromium at the preview window's size, and checked: the
contact sheet decodes where there is one, and nothing is wider than the 640-point window. Which
sections a page has is PageRenderingTest's business. A screenshot of each page is saved for people to look at.
"""
import argparse
import base64
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.request

# Runs in the page once its picture has decoded (or failed to): whether anything inside the
# page's padding sticks out past the window's width, and how the contact sheet fared.
PROBE = """
const image = document.getElementById("preview.contactSheet");
return (image ? image.decode().then(() => true, () => false) : Promise.resolve(null)).then(imageDecoded => {
  let widest = 0, widestWhat = "";
  for (const element of document.querySelectorAll("main *")) {
    const right = element.getBoundingClientRect().right;
    if (right > widest) { widest = right; widestWhat = element.tagName + "." + element.className; }
  }
  return {widest, widestWhat, scrollWidth: document.documentElement.scrollWidth, imageDecoded,
          imageAlt: image ? image.alt : null};
});
"""


def webdriver(port):
    def call(method, path, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as response:
            return json.loads(response.read())["value"]
    return call


def check_page(call, session, oakenmere, library, has_picture, out, label, failures):
    html = os.path.join(out, f"preview-{label}.html")
    subprocess.run([oakenmere, "preview", "--html", html, library], check=True)
    call("POST", f"{session}/url", {"url": "file://" + os.path.abspath(html)})
    facts = call("POST", f"{session}/execute/sync", {"script": PROBE, "args": []})
    with open(os.path.join(out, f"preview-{label}.png"), "wb") as f:
        f.write(base64.b64decode(call("GET", f"{session}/screenshot")))
    if facts["widest"] > 640 - 24 + 0.5 or facts["scrollWidth"] > 640:
        failures.append(f"{label}: content is {facts['widest']:.1f} wide ({facts['widestWhat']}), "
                        f"scroll width {facts['scrollWidth']}")
    if facts["imageDecoded"] != (True if has_picture else None):
        failures.append(f"{label}: contact sheet decoded: {facts['imageDecoded']}")
    if has_picture and facts["imageAlt"] != "A few of the library's newest pictures":
        failures.append(f"{label}: contact sheet label is {facts['imageAlt']!r}")
    print(f"{label}: {json.dumps(facts)}")


def main():
    parser = argparse.ArgumentParser()
    for option in ("--oakenmere", "--sample", "--out"):
        parser.add_argument(option, required=True)
    options = parser.parse_args()
    for tool in ("chromium", "chromedriver"):
        if shutil.which(tool) is None:
            print(f"{tool} is missing: run scripts/setup", file=sys.stderr)
            return 1
    os.makedirs(options.out, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="preview-browser-")
    # Port 0: chromedriver picks a free one and says which once it is listening.
    driver = subprocess.Popen(["chromedriver", "--port=0"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    failures, session = [], None
    try:
        port = next(m[1] for line in driver.stdout if (m := re.search(r"started successfully on port (\d+)", line)))
        call = webdriver(port)
        args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--hide-scrollbars", f"--user-data-dir={scratch}/profile", "--window-size=640,600"]
        chrome = {"binary": shutil.which("chromium"), "args": args}
        session = "/session/" + call("POST", "/session", {"capabilities": {"alwaysMatch": {
            "browserName": "chrome", "goog:chromeOptions": chrome}}})["sessionId"]
        empty = os.path.join(scratch, "Empty Shelf.oakenmere")  # a new library has no summary yet
        subprocess.run([options.oakenmere, "create", empty], check=True, stdout=subprocess.DEVNULL)
        check_page(call, session, options.oakenmere, options.sample, True, options.out, "sample", failures)
        check_page(call, session, options.oakenmere, empty, False, options.out, "no-summary", failures)
    finally:
        try:
            if session:
                call("DELETE", session)
        finally:
            driver.terminate()
            driver.wait(timeout=30)
            shutil.rmtree(scratch, ignore_errors=True)
    for failure in failures:
        print("FAILED:", failure, file=sys.stderr)
    print(f"screenshots in {options.out}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
