#!/usr/bin/python3
"""Drives the operator dashboard in headless Chromium for e2e_dashboard_test, step by step.

Talks to the test over standard input and output, one line at a time:
  -> "lines JSON"   the lines view of --lines-router as [[class, line, copies], ...]
  -> "ready"        the rows, the hostile name and the lines view were checked
  <- "go ADDRESS"   ADDRESS is about to go OFF: wait (no reload) until its row says so
  -> "done"         every check passed
  -> "fail TEXT"    a check failed (the script then exits 1)
Screenshots of each state go to --shots. Uses Debian's chromium, chromium-driver and
python3-selenium; runs Chromium without its sandbox, which it cannot have as root.
"""
import argparse
import json
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By


class Failure(Exception):
    pass


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def wait_for(what, predicate, timeout):
    """The first true value of predicate() within timeout seconds; Failure naming `what`."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = predicate()
            if value:
                return value
        except (WebDriverException, KeyError) as e:  # the page is between two refreshes
            last_error = e
        if time.monotonic() >= deadline:
            raise Failure("%s within %g s%s" % (what, timeout,
                                                "" if last_error is None else
                                                " (last: %r)" % last_error))
        time.sleep(0.1)


def rows(driver):
    """{address: {column class: text}} of the router table as shown."""
    return driver.execute_script("""
        const out = {};
        for (const tr of document.querySelectorAll('#router-rows tr')) {
          const cells = {};
          for (const td of tr.cells) cells[td.className.split(' ')[0]] = td.textContent;
          out[tr.dataset.address] = cells;
        }
        return out;""")


class Dashboard:
    def __init__(self, args):
        self.args = args
        self.profile = tempfile.TemporaryDirectory(prefix="dashboard-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = args.chromium
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--no-first-run", "--no-default-browser-check", "--disable-extensions",
                     "--hide-scrollbars", "--user-data-dir=" + self.profile.name):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(executable_path=args.chromedriver),
                                       options=options)
        self.driver.set_page_load_timeout(15)
        self.driver.set_script_timeout(10)
        # Any alert the page might manage to call is recorded rather than shown.
        self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {
            "source": "window.alert = function (m) {"
                      " document.documentElement.dataset.alerted = String(m); };"})
        self.console = []

    def close(self):
        try:
            self.driver.quit()
        finally:
            self.profile.cleanup()

    def shot(self, name):
        self.driver.save_screenshot("%s/%s.png" % (self.args.shots, name))

    def size(self, width):
        self.driver.set_window_size(width, 900)
        wait_for("a %d px wide page" % width,
                 lambda: self.driver.execute_script("return window.innerWidth") == width, 5)

    def check_console(self):
        self.console += self.driver.get_log("browser")
        severe = [e["message"] for e in self.console if e["level"] == "SEVERE"]
        if severe:
            raise Failure("browser console errors: " + " | ".join(severe))

    def check_no_script_ran(self):
        d = self.driver
        try:
            text = d.switch_to.alert.text
            raise Failure("an alert is shown: " + text)
        except NoAlertPresentException:
            pass
        alerted = d.execute_script("return document.documentElement.dataset.alerted || null")
        if alerted is not None:
            raise Failure("alert() was called with " + alerted)
        images = d.execute_script("return document.getElementsByTagName('img').length")
        if images:
            raise Failure("%d img elements in the page" % images)

    def first_state(self):
        a, d = self.args, self.driver
        self.size(1280)
        d.get(a.url)
        heading = wait_for("the page's heading", lambda: d.find_element(By.TAG_NAME, "h1").text, 10)
        if heading != "VoKelMng":
            raise Failure("heading %r, not the dashboard" % heading)
        expected = dict(item.split("=") for item in a.expect.split(","))
        wait_for("rows %s" % expected,
                 lambda: {k: v["state"] for k, v in rows(d).items()} == expected, 15)
        wait_for("the summary", lambda: d.find_element(By.ID, "version").text not in ("", "\u2013"), 5)
        shown = rows(d)[a.hostile_router]["user"]
        if shown != a.hostile_user:
            raise Failure("the hostile user shows as %r" % shown)
        self.check_no_script_ran()
        d.execute_script("window.dashboardMarker = 'not reloaded'")
        self.shot("1-routers-1280")
        self.size(400)
        overflow = d.execute_script(
            "return document.documentElement.scrollWidth - window.innerWidth")
        if overflow > 0:
            raise Failure("at 400 px the page is %d px wider than the window" % overflow)
        self.shot("1-routers-400")
        self.size(1280)
        self.check_console()

    def lines_state(self):
        a, d = self.args, self.driver
        d.find_element(By.CSS_SELECTOR, 'tr[data-address="%s"] td.address button'
                       % a.lines_router).click()
        wait_for("the lines of " + a.lines_router, lambda: d.execute_script(
            "return document.getElementById('lines-view').dataset.address") == a.lines_router, 10)
        shown = d.execute_script("""
            return Array.from(document.querySelectorAll('#line-rows tr'),
                              tr => Array.from(tr.cells, td => td.textContent));""")
        say("lines " + json.dumps([[c, l, int(n)] for c, l, n in shown]))
        d.execute_script("document.getElementById('lines-view').scrollIntoView()")
        self.shot("2-lines")
        self.check_console()

    def off_state(self, address):
        a, d = self.args, self.driver
        before = int(d.execute_script("return document.body.dataset.refreshes"))
        wait_for(address + " shown OFF", lambda: rows(d)[address]["state"] == "OFF", a.off_timeout)
        marker = d.execute_script("return window.dashboardMarker || null")
        loads = d.execute_script("return performance.getEntriesByType('navigation').length")
        if marker != "not reloaded" or loads != 1:
            raise Failure("the page was reloaded (marker %r, %d loads)" % (marker, loads))
        after = int(d.execute_script("return document.body.dataset.refreshes"))
        if after <= before:
            raise Failure("no refresh counted")
        self.check_no_script_ran()
        d.execute_script("window.scrollTo(0, 0)")
        self.shot("3-router-off")
        self.check_console()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--shots", required=True)
    p.add_argument("--expect", required=True, help="ADDRESS=ON|OFF,...")
    p.add_argument("--hostile-router", required=True)
    p.add_argument("--hostile-user", required=True)
    p.add_argument("--lines-router", required=True)
    p.add_argument("--off-timeout", type=float, default=60)
    p.add_argument("--chromium", default="/usr/bin/chromium")
    p.add_argument("--chromedriver", default="/usr/bin/chromedriver")
    args = p.parse_args()

    dashboard = None
    try:
        dashboard = Dashboard(args)
        dashboard.first_state()
        dashboard.lines_state()
        say("ready")
        line = sys.stdin.readline().split()
        if len(line) != 2 or line[0] != "go":
            raise Failure("expected 'go ADDRESS', got %r" % line)
        dashboard.off_state(line[1])
        say("done")
        return 0
    except (Failure, WebDriverException) as e:
        if dashboard is not None:
            try:
                dashboard.shot("error")
            except WebDriverException:
                pass
        say("fail " + (e.msg if isinstance(e, WebDriverException) else str(e)).replace("\n", " "))
        return 1
    finally:
        if dashboard is not None:
            dashboard.close()


if __name__ == "__main__":
    sys.exit(main())
