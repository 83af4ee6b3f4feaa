#!/usr/bin/python3
"""The parent's web console in headless Chromium (chromedriver and Selenium), against a real
tether-service on loopback: register, a device made as the setup app makes it, a policy edited
through every part of the page and saved, that policy taken up by a real agent (as root, in a
private process namespace) or fetched as the agent fetches it, the usage page with the agent's
report, and a reset. Pictures of every page at phone and desktop widths go to the folder given.

console_test.py SERVICE AGENT PICTURE-FOLDER
"""
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

try:
    from selenium import webdriver
except ImportError:
    print("python3-selenium is missing (scripts/install-deps.sh)")
    sys.exit(77)

from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import Select, WebDriverWait

from selenium.webdriver.remote.webelement import WebElement

# The save bar stays at the bottom of the window: like a person, scroll what is to be clicked to
# the middle first.
_click = WebElement.click


def _centred_click(self):
    self.parent.execute_script("arguments[0].scrollIntoView({block: 'center'})", self)
    _click(self)


WebElement.click = _centred_click

SERVICE, AGENT, PICTURES = sys.argv[1:4]
for tool in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
    if not os.path.exists(tool):
        print(tool, "is missing (scripts/install-deps.sh)")
        sys.exit(77)
GAME = "com.tether.console-check.game"
HOSTILE = '<img src=x onerror="document.title=\'owned\'">'
WIDTHS = {"phone": 360, "desktop": 1280}


def digits(text):
    return int(re.sub(r"[^0-9]", "", text))


class Service_:
    """tether-service on a free loopback port with a fresh database."""

    def __init__(self, folder):
        self.proc = subprocess.Popen(
            [SERVICE, "--db", os.path.join(folder, "service.db"), "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True)
        line = self.proc.stdout.readline()
        assert line.startswith("listening on 127.0.0.1:"), line
        self.url = "http://" + line.split()[-1]

    def call(self, method, path, token="", body=None):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.url + path, data=data, method=method)
        if token:
            req.add_header("Authorization", "Bearer " + token)
        if data is not None:
            req.add_header("Content-Type", "application/json")
        req.add_header("Accept-Encoding", "gzip")
        with urllib.request.urlopen(req, timeout=30) as res:
            raw = res.read()
            if res.headers.get("Content-Encoding") == "gzip":
                raw = gzip.decompress(raw)
            return json.loads(raw) if raw else None

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


class ConsoleInBrowser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tether-console-")
        cls.service = Service_(cls.folder)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1280,900", "--lang=en-GB", "--force-device-scale-factor=1"):
            options.add_argument(arg)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        cls.driver.set_page_load_timeout(60)
        os.makedirs(PICTURES, exist_ok=True)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.service.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    # ---- helpers

    def wait(self, condition, seconds=30):
        return WebDriverWait(self.driver, seconds).until(condition)

    def css(self, selector):
        return self.driver.find_element(By.CSS_SELECTOR, selector)

    def visible(self, selector, seconds=30):
        return self.wait(EC.visibility_of_element_located((By.CSS_SELECTOR, selector)), seconds)

    def text_in(self, selector, text, seconds=30):
        return self.wait(EC.text_to_be_present_in_element((By.CSS_SELECTOR, selector), text), seconds)

    def texts(self, selector):
        return self.driver.execute_script(
            "return [...document.querySelectorAll(arguments[0])].map((e) => e.textContent)", selector)

    def heading(self, text):
        self.text_in("main h1", text)

    def field(self, label):
        """The input a label names."""
        element = self.driver.find_element(By.XPATH, f"//label[normalize-space()={json.dumps(label, ensure_ascii=False)}]")
        return self.driver.find_element(By.ID, element.get_attribute("for"))

    def button(self, text, scope=None):
        scope = scope or self.driver
        return scope.find_element(By.XPATH, f".//button[normalize-space()={json.dumps(text, ensure_ascii=False)}]")

    def pictures(self, name):
        """The whole page at each width."""
        for kind, width in WIDTHS.items():
            self.driver.set_window_size(width, 900)
            time.sleep(0.3)
            height = self.driver.execute_script(
                "return Math.max(document.documentElement.scrollHeight, document.body.scrollHeight)")
            self.driver.set_window_size(width, min(max(height + 140, 600), 16000))
            time.sleep(0.3)
            # Nothing may stick out sideways on a phone.
            overflow = self.driver.execute_script(
                "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
            self.assertLessEqual(overflow, 0, f"{name} is wider than {width} px")
            self.driver.save_screenshot(os.path.join(PICTURES, f"{name}-{kind}.png"))
        self.driver.set_window_size(1280, 900)

    def no_injected_markup(self):
        self.assertEqual(self.driver.find_elements(By.CSS_SELECTOR, "main img"), [])
        self.assertNotEqual(self.driver.title, "owned")

    # ---- the parent's road

    def test_parent_sets_up_and_watches_a_device(self):
        try:
            self.parent_sets_up_and_watches_a_device()
        except BaseException:
            self.driver.save_screenshot(os.path.join(PICTURES, "failure.png"))
            print("the page when it failed:\n" + self.driver.find_element(By.TAG_NAME, "main").text)
            raise

    def parent_sets_up_and_watches_a_device(self):
        d = self.driver
        d.get(self.service.url + "/")
        self.heading("Sign in to Tether")
        self.pictures("signin")
        d.find_element(By.LINK_TEXT, "Create an account").click()
        self.heading("Create a Tether account")
        self.field("E-mail address").send_keys("parent@example.test")
        self.field("Password").send_keys("short")
        self.button("Create account").click()
        self.text_in("[role=alert]", "at least 8 characters")
        self.field("Password").clear()
        self.field("Password").send_keys("demo-password")
        self.pictures("register")
        self.button("Create account").click()
        self.heading("Devices")
        self.text_in("main", "No device yet")
        token = json.loads(d.execute_script("return sessionStorage.getItem('tether.session')"))["apiToken"]

        # The setup app makes the device records; the agent uploads the inventory.
        hostile = self.service.call("POST", "/v1/devices", token, {"name": HOSTILE})
        device = self.service.call("POST", "/v1/devices", token, {"name": "Kid's Mac"})
        inventory = [{"name": "Console Check Game", "bundleId": GAME},
                     {"name": "Firefox", "bundleId": "org.mozilla.firefox"},
                     {"name": "Safari", "bundleId": "com.apple.Safari"},
                     {"name": HOSTILE, "bundleId": "com.example.hostile"},
                     {"name": "Opera GX", "bundleId": "com.operasoftware.OperaGX"}]
        self.service.call("POST", "/v1/usage", device["token"],
                          {"date": time.strftime("%Y-%m-%d"), "apps": inventory})
        d.refresh()
        self.heading("Devices")
        self.assertEqual(self.texts(".device h2"), [HOSTILE, "Kid's Mac"])
        self.no_injected_markup()
        self.assertIn("Last seen: never", d.find_elements(By.CSS_SELECTOR, ".device")[0].text)
        self.pictures("devices")

        # Rename and remove the hostile one.
        hostile_card = d.find_elements(By.CSS_SELECTOR, ".device")[0]
        self.button("Rename", hostile_card).click()
        name = self.field("New name")
        name.clear()
        name.send_keys("Old Mac" + Keys.ENTER)
        self.wait(lambda _: self.texts(".device h2") == ["Old Mac", "Kid's Mac"])
        self.button("Remove", d.find_elements(By.CSS_SELECTOR, ".device")[0]).click()
        d.switch_to.alert.accept()
        self.wait(lambda _: self.texts(".device h2") == ["Kid's Mac"])
        self.assertEqual([x["id"] for x in self.service.call("GET", "/v1/devices", token)], [device["id"]])

        # The rules of a new device: only the watched browsers are allowed to start with.
        d.find_element(By.LINK_TEXT, "Rules").click()
        self.heading("Rules for Kid's Mac")
        self.assertTrue(self.css("#only-watched").is_selected())
        rules = self.css(".rules").text
        for browser in ("Firefox", "Microsoft Edge", "Brave", "Opera", "Vivaldi", "Arc", "Tor Browser", "Opera GX"):
            self.assertIn(browser, rules)
        self.no_injected_markup()

        # An application picked from the inventory, with a window across midnight on weekdays.
        Select(self.css("#app-picker")).select_by_value(GAME)
        self.button("Add rule").click()
        game = d.find_element(By.XPATH, "//li[contains(@class,'rule')][.//span[text()='%s']]" % GAME)
        self.button("Add a time window", game).click()
        game = d.find_element(By.XPATH, "//li[contains(@class,'rule')][.//span[text()='%s']]" % GAME)
        for day in ("Saturday", "Sunday"):
            game.find_element(By.CSS_SELECTOR, f"input[aria-label={day}]").send_keys(Keys.SPACE)
        self.assertIn("Blocked 21:00 → 07:00 next day, Mon–Fri", game.text)
        start = game.find_element(By.CSS_SELECTOR, "input.time")
        start.clear()
        start.send_keys("25:99")

        # Downtime for the whole Mac, shown as the rules it makes.
        self.button("Apply to all 5 applications").click()
        self.text_in("section[aria-labelledby=downtime-h] p.ok", "Downtime added to 5 applications")
        self.assertIn("Blocked 21:00 → 07:00 next day, Sun–Thu: on 5 applications", self.css("section[aria-labelledby=downtime-h]").text)

        # Web: a blocked site with a hole, a limit, and a list of 100 000 names.
        self.field("Block a site").send_keys("Games.Example.TEST" + Keys.ENTER)
        self.text_in(".chips", "games.example.test")
        self.field("Block a site").send_keys("bad site.test" + Keys.ENTER)
        self.text_in("[role=alert]", "contains a space")
        self.field("Block a site").clear()
        self.field("Add to “Allowed inside blocked sites”").send_keys("learn.games.example.test" + Keys.ENTER)
        self.button("Add a site limit").click()
        self.field("Site").send_keys("videos.example.test")
        minutes = self.field("Minutes a day")
        minutes.clear()
        minutes.send_keys("-5")
        path = os.path.join(self.folder, "blocklist.txt")
        with open(path, "w") as f:
            f.write("# a hosts-format block list\n0.0.0.0 localhost\n")
            for i in range(100000):
                f.write(f"0.0.0.0 ads{i}.tracker.test # entry\n" if i % 2 else f"ads{i}.tracker.test\n")
            f.write("not a host name!\n")
        self.field("Import a block list file").send_keys(path)
        self.text_in("#import-count", "names to add")
        self.assertEqual(digits(self.css("#import-count").text.split(":")[1].split("names")[0]), 100000)
        self.assertIn("1 line skipped", self.css("#import-count").text.replace("\u202f", " "))

        # Checked before saving: each wrong field named.
        self.button("Save rules").click()
        problems = self.visible("#problems [role=alert]").text
        self.assertIn("start “25:99” is not a time", problems)
        self.assertIn("videos.example.test): minutes must be a whole number", problems)
        self.assertEqual(d.switch_to.active_element.get_attribute("aria-invalid"), "true")
        start = d.find_element(By.XPATH, "//li[contains(@class,'rule')][.//span[text()='%s']]" % GAME).find_element(By.CSS_SELECTOR, "input.time")
        start.clear()
        start.send_keys("21:00")
        minutes = self.field("Minutes a day")
        minutes.clear()
        minutes.send_keys("1")
        self.pictures("policy")
        self.button("Save rules").click()
        self.text_in("#saved", "Saved as revision 1", 120)
        self.text_in("#blocked-summary", "names blocked")
        self.assertEqual(digits(self.css("#blocked-count").text), 100001)

        # Search the saved list and unblock one name.
        self.field("Search the blocked list").send_keys("ads777.")
        self.text_in(".results", "saved names contain")
        self.assertIn("1 of 100", self.css(".results").text.replace("\u202f", ""))
        self.pictures("policy-saved")

        # What the agent gets.
        policy = self.service.call("GET", "/v1/policy", device["token"])
        self.assertEqual(policy["rev"], 1)
        self.assertEqual(len(policy["domains"]), 100001)
        self.assertIn("games.example.test", policy["domains"])
        self.assertEqual(policy["domainAllow"], ["learn.games.example.test"])
        self.assertEqual(policy["domainLimits"], {"videos.example.test": 1})
        self.assertEqual(policy["apps"]["org.mozilla.firefox"]["dailyLimitMinutes"], 0)
        game_windows = policy["apps"][GAME]["windows"]
        self.assertIn({"days": [1, 2, 3, 4, 5], "start": "21:00", "end": "07:00", "mode": "block"}, game_windows)
        self.assertIn({"days": [1, 2, 3, 4, 7], "start": "21:00", "end": "07:00", "mode": "block"}, game_windows)

        report = run_agent(self, self.service.url, device["token"], len(policy["apps"]))

        # The usage page shows what the agent sent.
        d.get(self.service.url + f"/#/device/{device['id']}/usage")
        self.heading("Usage of Kid's Mac")
        self.text_in("#report-time", "received")
        for key in report.get("blockedNow", []):
            self.assertIn(key, self.css("#blocked-list").text)
        self.assertIn("videos.example.test", self.css("section[aria-labelledby=sites-today]").text)
        self.assertEqual(len(d.find_elements(By.CSS_SELECTOR, "svg.chart rect.bar")), 14)
        self.no_injected_markup()
        self.pictures("usage")
        self.button("Reset today’s usage").click()
        d.switch_to.alert.accept()
        self.text_in("#reset-done", "usage epoch 1")
        self.assertEqual(self.service.call("GET", "/v1/policy", device["token"])["usageEpoch"], 1)

        # Sign out: the token leaves the tab.
        self.button("Sign out").click()
        self.heading("Sign in to Tether")
        self.assertIsNone(d.execute_script("return sessionStorage.getItem('tether.session')"))


def run_agent(test, url, device_token, rules):
    """The real agent for the device, when this runs as root: it takes up the saved revision and
    terminates a blocked browser (a stand-in bundle with the Firefox identifier). Otherwise the
    device's report is sent as the agent sends it. Returns the report the service holds."""
    can = os.geteuid() == 0 and shutil.which("unshare") and os.path.exists(AGENT)
    if can:
        can = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "true"],
                             capture_output=True).returncode == 0
    if not can:
        print("agent step: not root or no namespaces here; the report is sent as the agent sends it")
        body = {"date": time.strftime("%Y-%m-%d"), "minutes": {GAME: 12.5, "videos.example.test": 0.5},
                "apps": [], "blockedNow": ["org.mozilla.firefox"], "timeZone": "UTC", "usageEpoch": 0}
        test.service.call("POST", "/v1/usage", device_token, body)
        return body
    work = tempfile.mkdtemp(prefix="tether-console-agent-")
    try:
        app = os.path.join(work, "Firefox.app")
        os.makedirs(os.path.join(app, "Contents", "MacOS"))
        with open(os.path.join(app, "Contents", "Info.plist"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                    '<key>CFBundleIdentifier</key><string>org.mozilla.firefox</string>'
                    '<key>CFBundleName</key><string>Firefox</string></dict></plist>\n')
        binary = os.path.join(app, "Contents", "MacOS", "firefox")
        shutil.copy("/bin/sleep", binary)
        config = os.path.join(work, "config.json")
        with open(config, "w") as f:
            json.dump({"serverURL": url, "deviceToken": device_token, "pollIntervalSeconds": 1,
                       "sampleIntervalSeconds": 1, "upstreamDNS": "127.0.0.2", "enableDNS": False}, f)
        status = os.path.join(work, "firefox.status")
        script = f'( "{binary}" 600; echo $? > "{status}" ) & exec "{AGENT}" --config "{config}"'
        log = open(os.path.join(work, "agent.log"), "w+")
        agent = subprocess.Popen(["unshare", "--pid", "--fork", "--kill-child", "--mount-proc",
                                  "sh", "-c", script], stderr=log, stdout=log)
        try:
            deadline = time.time() + 60
            while time.time() < deadline and not os.path.exists(status):
                time.sleep(0.2)
            log.seek(0)
            text = log.read()
            test.assertIn("policy rev 1: ", text)
            test.assertIn(f"policy rev 1: {rules} app rule(s), 100001 blocked domain(s), 1 domain limit(s)", text)
            test.assertTrue(os.path.exists(status), "the blocked browser still runs:\n" + text)
            with open(status) as f:
                test.assertIn(f.read().strip(), ("143", "137"))
            deadline = time.time() + 30
            while time.time() < deadline:
                reports = test.service.call("GET", f"/v1/devices/{device_id(test, device_token)}/usage", account(test))
                if reports and "org.mozilla.firefox" in reports[-1].get("blockedNow", []):
                    return reports[-1]
                time.sleep(0.5)
            test.fail("no report with the blocked browser")
        finally:
            agent.terminate()
            try:
                agent.wait(10)
            except subprocess.TimeoutExpired:
                agent.kill()
                agent.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)


def account(test):
    return json.loads(test.driver.execute_script("return sessionStorage.getItem('tether.session')"))["apiToken"]


def device_id(test, device_token):
    for d in test.service.call("GET", "/v1/devices", account(test)):
        if d["token"] == device_token:
            return d["id"]
    raise AssertionError("device not found")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
