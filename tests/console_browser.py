#!/usr/bin/env python3
"""The web console in a real browser: Debian's Chromium, headless, driven by Selenium.

Starts halyard-smsd on an in-process simulated modem (messages to its own number come back as
received ones) and goes through the console as a person would, by keyboard where a person would.
Exit 77 (skipped) when Chromium, ChromeDriver or Selenium is missing. On a failure the page is
saved as a screenshot in the output folder; console.png there is the messages view.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

SKIP = 77


def find(*names):
    for n in names:
        p = shutil.which(n) or (n if os.path.exists(n) else None)
        if p:
            return p
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--smsd", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    chromium = find("/usr/bin/chromium", "chromium", "chromium-browser")
    driver_path = find("/usr/bin/chromedriver", "chromedriver")
    if not chromium or not driver_path:
        print("skipped: Chromium or ChromeDriver is not installed (./setup --with-browser)")
        return SKIP
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        from selenium.webdriver.support.ui import WebDriverWait
    except ImportError as e:
        print("skipped: Selenium is not installed for %s (%s)" % (sys.executable, e))
        return SKIP

    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="halyard-console-")
    key, reader = "console-key-" + os.urandom(8).hex(), "reader-key-" + os.urandom(8).hex()

    def hashed(k):
        return "sha256:" + hashlib.sha256(k.encode()).hexdigest()

    config = os.path.join(work, "gw.toml")
    with open(config, "w") as f:
        f.write('name = "gw"\nstore = "%s"\n[http]\nport = 0\n' % os.path.join(work, "gw.db"))
        f.write('[[key]]\nname = "operator"\nkey_hash = "%s"\nscopes = ["read", "send"]\n' % hashed(key))
        f.write('[[key]]\nname = "viewer"\nkey_hash = "%s"\nscopes = ["read"]\n' % hashed(reader))
        f.write('[[modem]]\nname = "sim1"\n')
    log_path = os.path.join(work, "gw.log")
    log = open(log_path, "w")
    smsd = subprocess.Popen([args.smsd, "--config", config], stdout=log, stderr=subprocess.STDOUT)
    browser = None
    try:
        base = None
        for _ in range(600):
            m = re.search(r"Console on (http://127\.0\.0\.1:\d+/)", open(log_path).read())
            if m:
                base = m.group(1)
                break
            if smsd.poll() is not None:
                break
            time.sleep(0.1)
        if not base:
            raise AssertionError("halyard-smsd did not start:\n" + open(log_path).read())

        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                  "--window-size=1280,900", "--no-first-run", "--disable-extensions"):
            options.add_argument(a)
        browser = webdriver.Chrome(service=Service(driver_path), options=options)
        wait = WebDriverWait(browser, 60)
        run(browser, wait, base, key, reader, args.out, By, Keys)
        print("console: every step passed")
        return 0
    except Exception:
        traceback.print_exc()
        if browser:
            shot = os.path.join(args.out, "failure.png")
            browser.save_screenshot(shot)
            print("screenshot of the failure: " + shot)
        print("--- halyard-smsd log ---\n" + open(log_path).read())
        return 1
    finally:
        if browser:
            browser.quit()
        smsd.terminate()
        try:
            smsd.wait(30)
        except subprocess.TimeoutExpired:
            smsd.kill()
        log.close()
        shutil.rmtree(work, ignore_errors=True)


def run(b, wait, base, key, reader, out, By, Keys):
    q = lambda css: b.find_element(By.CSS_SELECTOR, css)
    shown = lambda css: wait.until(lambda d: q(css).is_displayed() and q(css))
    text_of = lambda css: q(css).text

    def fetch(method, path, headers=None, body=None):
        """A request from the page as another site's form or script would make it: no token."""
        return b.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch(arguments[1], {method: arguments[0], headers: arguments[2] || {}, body: arguments[3],"
            " credentials: 'same-origin'}).then(r => done(r.status), e => done(String(e)));",
            method, path, headers, body)

    b.get(base)
    # Log-in: a wrong key is refused, the right one (typed, Enter) opens the console.
    field = shown("#login-key")
    field.send_keys("not-a-key", Keys.ENTER)
    wait.until(lambda d: "not known" in text_of("#login-error"))
    assert not q("#nav").is_displayed()
    field.clear()
    field.send_keys(key, Keys.ENTER)
    shown("#nav")
    assert "operator" in text_of("#key-name")
    b.execute_script("window.notReloaded = true;")

    # The simulated modem is up.
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#modems-table tr[data-modem='sim1'] .badge.up"))

    # A two-part Unicode message, counted as the gateway splits it, to the modem's own number.
    q("nav a[href='#send']").click()
    shown("#send-to").send_keys("+15550000001")
    text = "Привет из консоли, сообщение в двух частях. " * 2
    q("#send-text").send_keys(text)
    wait.until(lambda d: "UCS2, 2 parts" in text_of("#send-count"))
    q("#send-form button[type=submit]").click()
    wait.until(lambda d: q("#send-result").get_attribute("data-id"))
    sent_id = q("#send-result").get_attribute("data-id")

    # Its status reaches delivered without a reload: the list follows the event stream.
    q("nav a[href='#messages']").click()
    row = "#messages-table tr[data-id='%s']" % sent_id
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, row + " .status .badge.delivered"))
    assert b.execute_script("return window.notReloaded === true;"), "the page was reloaded"
    q(row).send_keys(Keys.ENTER)  # its timeline, by keyboard
    wait.until(lambda d: "delivered" in text_of("#message-detail") and "2 part(s) sent" in text_of("#message-detail"))
    b.save_screenshot(os.path.join(out, "console.png"))

    # It comes back into the inbox, as a conversation with the number.
    q("nav a[href='#inbox']").click()
    convo = "#conversations article[data-from='+15550000001']"
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, convo) and text.strip() in text_of(convo))

    # A scheduled message is cancelled from the list.
    q("nav a[href='#send']").click()
    shown("#send-to").clear()
    q("#send-to").send_keys("+15550000002")
    q("#send-text").send_keys("for tomorrow")
    tomorrow = b.execute_script(
        "const d = new Date(Date.now() + 86400000); d.setSeconds(0, 0);"
        "return new Date(d.getTime() - d.getTimezoneOffset() * 60000).toISOString().slice(0, 16);")
    b.execute_script("document.querySelector('#send-at').value = arguments[0];", tomorrow)
    q("#send-form button[type=submit]").click()
    wait.until(lambda d: q("#send-result").get_attribute("data-id") != sent_id)
    later = q("#send-result").get_attribute("data-id")
    q("nav a[href='#messages']").click()
    row = "#messages-table tr[data-id='%s']" % later
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, row + " .status .badge.scheduled"))
    q(row + " button.cancel").click()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, row + " .status .badge.cancelled"))

    # Readable at phone width: the page does not scroll sideways (wide tables scroll in place).
    b.set_window_size(390, 844)
    q("nav a[href='#modems']").click()
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#modems-table tr[data-modem='sim1']"))
    assert b.execute_script("return document.documentElement.scrollWidth <= window.innerWidth + 1;"), \
        "the modems page is wider than a phone"
    b.set_window_size(1280, 900)

    # Changes without the session's token are refused: a script's and a form's.
    assert fetch("POST", "/messages", {"Content-Type": "application/json"},
                 '{"to": "+15550000003", "text": "forged"}') == 403
    assert fetch("DELETE", "/messages/" + later) == 403
    b.execute_script(
        "const f = document.createElement('form'); f.method = 'post'; f.action = '/messages';"
        "f.enctype = 'text/plain'; const i = document.createElement('input'); i.name = 'to';"
        "i.value = '+15550000003'; f.append(i); document.body.append(f); f.submit();")
    wait.until(lambda d: "X-CSRF-Token" in d.page_source)
    b.get(base)
    shown("#nav")

    # Log-out ends the session: the API refuses the cookie afterwards.
    q("#logout").click()
    shown("#login-key")
    assert fetch("GET", "/modems") == 401

    # A key of the read scope logs in but may not send.
    q("#login-key").send_keys(reader, Keys.ENTER)
    shown("#nav")
    q("nav a[href='#send']").click()
    wait.until(lambda d: "may not send" in text_of("#send-result"))


if __name__ == "__main__":
    sys.exit(main())
