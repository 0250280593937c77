#!/usr/bin/python3
"""The emulator's console in headless Chromium, against a running emulator
and two simulated devices. Leaves a screenshot of each panel in --out.

Needs Debian's chromium, chromium-driver and python3-selenium (scripts/setup).
"""
import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
except ImportError:
    sys.exit("console test: python3-selenium is missing (run scripts/setup)")

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# Without the background-networking flags Chromium keeps calling out to a
# network that is not there.
CHROMIUM_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--disable-dev-shm-usage", "--window-size=1440,900",
]


class Failed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failed(message)


class Run:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.processes = []
        self.driver = None
        self.env = None

    # --- the emulator and the devices ---

    def start_emulator(self):
        emulator = subprocess.Popen([self.args.emulator, "--quiet"], stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True)
        self.processes.append(emulator)
        line = emulator.stdout.readline()
        found = re.search(r"console: (http://\S+?)/?\s", line)
        check(found, "the emulator's start line does not name the console: " + line.strip())
        url = found.group(1)
        self.env = dict(os.environ, ORVO_EMULATOR_URL=url,
                        ORVO_SIM_STATE=os.path.join(self.work, "devices"))
        return url

    def start_device(self, name, *options):
        log = open(os.path.join(self.work, name + ".log"), "w")
        self.processes.append(subprocess.Popen(
            [self.args.sim, "run", name, "--user", name, *options], env=self.env,
            stdout=log, stderr=subprocess.STDOUT))

    def sim(self, *command):
        return subprocess.run([self.args.sim, *command], env=self.env, capture_output=True,
                              text=True, timeout=40)

    def admin(self, path):
        import urllib.request
        with urllib.request.urlopen(self.env["ORVO_EMULATOR_URL"] + path, timeout=5) as answer:
            return json.load(answer)

    def stop(self):
        if self.driver:
            self.driver.quit()
        for process in reversed(self.processes):
            process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()

    # --- the browser ---

    def open_browser(self, url):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in CHROMIUM_FLAGS:
            options.add_argument(flag)
        options.add_argument("--user-data-dir=" + os.path.join(self.work, "profile"))
        self.downloads = os.path.join(self.work, "downloads")
        os.makedirs(self.downloads)
        options.add_experimental_option("prefs", {
            "download.default_directory": self.downloads, "download.prompt_for_download": False})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.execute_cdp_cmd("Page.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": self.downloads})
        self.driver.get(url + "/")

    def wait(self, condition, what, seconds=6.0):
        try:
            # The console redraws a table when its data changes.
            return WebDriverWait(self.driver, seconds, poll_frequency=0.05,
                                 ignored_exceptions=[StaleElementReferenceException]).until(
                lambda driver: condition())
        except TimeoutException:
            raise Failed(f"{what} (waited {seconds} s)") from None

    def choose(self, css, text=None, value=None):
        """Selects an option, finding the list afresh: the console redraws
        the lists whose choices change (users, devices, endpoints)."""
        def pick():
            menu = Select(self.one(css))
            if text is not None:
                menu.select_by_visible_text(text)
            else:
                menu.select_by_value(value)
            return True
        self.wait(pick, f"{css} offers {text if text is not None else value!r}")

    def find(self, css):
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def one(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def panel(self, name):
        self.one(f'nav a[data-panel="{name}"]').click()
        self.wait(lambda: self.one(f"#panel-{name}").is_displayed(), f"the {name} panel opens")

    def type(self, css, text):
        field = self.one(css)
        field.clear()
        field.send_keys(text)

    def shot(self, name):
        self.driver.save_screenshot(os.path.join(self.args.out, name + ".png"))

    def empty(self, table):
        rows = self.find(f"#{table} tbody tr")
        return len(rows) == 1 and bool(rows[0].find_elements(By.CSS_SELECTOR, "td.empty"))


def run(args, work):
    test = Run(args, work)
    try:
        url = test.start_emulator()
        test.start_device("alice")
        test.start_device("bob", "--group", "7")
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            devices = test.admin("/__admin/devices")["devices"]
            groups = test.admin("/__admin/groups")["groups"]
            if sum(1 for d in devices if d["registered"]) == 2 and groups:
                break
            time.sleep(0.1)
        else:
            raise Failed("the two simulated devices did not register")
        journal_stream_resumes(test)
        test.open_browser(url)
        overview(test)
        doctor(test)
        live_requests(test)
        send_and_messages(test)
        faults(test)
        data(test)
    except Exception:
        if test.driver:
            test.shot("failure")
        raise
    finally:
        test.stop()


def stream_events(url, last_event_id, wanted):
    """The journal stream's (event, id) pairs until `wanted` of them came."""
    host, port = url.removeprefix("http://").split(":")
    with socket.create_connection((host, int(port)), timeout=3) as connection:
        connection.sendall(f"GET /__admin/requests/stream HTTP/1.1\r\nHost: {host}:{port}\r\n"
                           f"Last-Event-ID: {last_event_id}\r\n\r\n".encode())
        text = ""
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            events = re.findall(r"^(?:id: (\d+)\n)?event: (\w+)$", text, re.M)
            if len(events) >= wanted:
                return [(name, int(id) if id else None) for id, name in events]
            try:
                text += connection.recv(65536).decode()
            except socket.timeout:
                break
        raise Failed(f"the journal stream after {last_event_id} sent: {text!r}")


def journal_stream_resumes(test):
    url = test.env["ORVO_EMULATOR_URL"]
    ids = [entry["id"] for entry in test.admin("/__admin/requests")["requests"]]
    check(len(ids) >= 3, f"journal entries so far: {ids}")
    # A client that saw up to the second entry gets the rest; one that saw an
    # id this emulator never gave (it was restarted) starts again from the top.
    for last, expected in ((ids[1], [("request", i) for i in ids[2:]]),
                           (ids[-1] + 1000, [("cleared", None)] + [("request", i) for i in ids])):
        got = stream_events(url, last, len(expected))
        check(got == expected, f"after Last-Event-ID {last} the stream sent {got}, not {expected}")


def overview(test):
    test.wait(lambda: len(test.find("#devices tbody tr[data-psid]")) == 2,
              "the overview lists both devices")
    rows = {row.find_elements(By.TAG_NAME, "td")[0].text: row.text
            for row in test.find("#devices tbody tr[data-psid]")}
    check(set(rows) == {"alice", "bob"}, f"devices listed: {sorted(rows)}")
    # The state each device reported, not a placeholder.
    check("foreground" in rows["alice"], "alice's app state: " + rows["alice"])
    users = [row.get_attribute("data-cuid") for row in test.find("#users tbody tr[data-cuid]")]
    check(sorted(users) == ["alice", "bob"], f"users listed: {users}")
    group = test.one('#groups tbody tr[data-group="7"]').text
    check("bob" in group and "alice" not in group, "group 7 lists its member: " + group)
    counts = test.one('#counts [data-count="devices"] .n').text
    check(counts == "2", "the devices count says " + counts)
    test.shot("overview")


def doctor(test):
    """The row's doctor asks the running device, which answers over the emulator."""
    test.one('#devices tr[data-psid] button.doctor').click()
    test.wait(lambda: "reported" in test.one("#detail-title").text, "the device's report arrives",
              seconds=12)
    check("verdicts" in test.one("#detail-body").text,
          "the report shown: " + test.one("#detail-body").text[:300])
    psid = test.one('#devices tr[data-psid]').get_attribute("data-psid")
    kept = test.admin("/__admin/devices/doctor?format=json&psid=" + psid)
    check(kept["request"] == 1, f"the report kept answers request {kept['request']}, not 1")
    test.shot("doctor")
    test.one("#detail-close").click()


def live_requests(test):
    test.panel("requests")
    test.wait(lambda: test.one("#connection").text == "live", "the journal stream connects")
    selector = 'tr.request[data-endpoint="mobile/last-session"]'
    check(not test.find(selector), "a session report is listed before there was one")
    result = test.sim("session", "alice")
    check(result.returncode == 0, "orvo-sim session: " + result.stderr)
    reported = time.monotonic()
    test.wait(lambda: test.find(selector), "the session report appears live", seconds=3)
    elapsed = time.monotonic() - reported
    check(elapsed < 1.0, f"the session report appeared after {elapsed:.2f} s")
    test.find(selector)[0].click()
    detail = test.wait(lambda: test.find("tr.request-detail"), "the row expands")[0].text
    for shown in ("cuid", "alice", "Answer", "none: the request was valid"):
        check(shown in detail, f"the expanded row lacks {shown!r}: {detail}")


def send_and_messages(test):
    text = "Lunch at noon?"
    test.panel("send")
    test.one('input[name="target-kind"][value="user"]').click()
    test.type("#send-target", "bob")
    test.type("#send-message", text)
    test.type("#send-ext", "note-1")
    test.type("#send-badge", "4")
    test.one('#send-form button[type="submit"]').click()
    test.wait(lambda: "sent to 1 device" in test.one("#send-result").text,
              "the Send form reports the message sent: " + test.one("#send-result").text)
    test.shot("send")

    deadline = time.monotonic() + 10
    arrived = None
    while time.monotonic() < deadline and not arrived:
        events = json.loads(test.sim("events", "bob", "--json").stdout or "{}").get("events", [])
        arrived = next((e for e in events if e.get("text") == text), None)
        time.sleep(0.1)
    check(arrived, "the message did not arrive on bob")
    check(arrived["badge"] == 4, f"bob's badge: {arrived['badge']}")

    test.panel("messages")
    delivery = ("//tr[contains(@class,'message') and td[text()='" + text + "']]"
                "/following-sibling::tr[1][contains(@class,'delivery')]")
    def delivered():
        row = test.driver.find_element(By.XPATH, delivery)
        if row.get_attribute("data-state") != "delivered":
            return None
        steps = [b.text for b in row.find_elements(By.XPATH, ".//span[contains(@class,'done')]/b")]
        return row.get_attribute("data-device"), steps, row
    device, steps, row = test.wait(delivered, "Messages shows the message delivered", seconds=8)
    check(device == "bob", "delivered to " + device)
    check(steps == ["queued", "sent", "delivered"], f"steps with a time: {steps}")
    test.wait(lambda: test.driver.find_element(By.XPATH, delivery).click() or True,
              "the delivery row can be clicked")
    payload = test.wait(lambda: test.one("#detail").is_displayed() and test.one("#detail-body").text,
                        "the payload opens")
    check('"aps"' in payload and text in payload and '"note-1"' in payload,
          "the payload shown: " + payload)
    test.shot("messages")
    # The filter: alice's view has no message, bob's has it.
    for who, shown in (("user alice", False), ("user bob", True)):
        test.choose("#messages-filter", text=who)
        test.wait(lambda: bool(test.driver.find_elements(By.XPATH, delivery)) == shown,
                  f"filtered by {who}, the message is {'shown' if shown else 'hidden'}")
    test.choose("#messages-filter", text="everyone")
    test.one("#detail-close").click()

    # A device's send: from its user and device, to the user it names.
    text = "Coffee?"
    result = test.sim("send", "alice", "--to", "bob", text)
    check(result.returncode == 0, "orvo-sim send: " + result.stderr)
    sender = f"//tr[contains(@class,'message') and td[text()='{text}']]/td[contains(@class,'from')]"
    test.wait(lambda: test.driver.find_element(By.XPATH, sender).text == "alice · alice",
              "Messages shows the send from alice's device")
    test.panel("requests")
    subject = 'tr.request[data-endpoint="rcv_register_message.ctl"] td:nth-child(8)'
    test.wait(lambda: test.find(subject), "the send is listed in Requests")
    shown = test.one(subject).text
    check(shown.startswith("alice · ") and shown.endswith("→ bob"),
          "the send's user and device: " + shown)


def faults(test):
    test.panel("faults")
    # Each effect shows its own parameters only.
    for name, shown, hidden in (("latency", "#fault-ms", "#fault-status"),
                                ("result_code", "#fault-result-code", "#fault-bytes"),
                                ("status", "#fault-status", "#fault-ms")):
        test.choose("#fault-effect", value=name)
        check(test.one(shown).is_displayed() and not test.one(hidden).is_displayed(),
              f"the {name} effect shows {shown} and hides {hidden}")
    test.type("#fault-status", "500")
    test.type("#fault-endpoint", "rcv_init_badgeNo.ctl")
    test.one('#fault-form button[type="submit"]').click()
    test.wait(lambda: test.find("#faults tr.fault"), "the rule is listed")
    rule = test.one("#faults tr.fault").text
    check("status" in rule and "HTTP 500" in rule and "rcv_init_badgeNo.ctl" in rule,
          "the listed rule: " + rule)
    failed = test.sim("badge", "alice", "5")
    check(failed.returncode != 0, "the badge call succeeded under a status 500 rule")
    test.wait(lambda: test.one("#faults tr.fault td:nth-child(9)").text == "1",
              "the rule counts one application")
    test.shot("faults")
    test.one("#faults tr.fault button.remove").click()
    test.wait(lambda: test.empty("faults"), "the rule is removed")
    passed = test.sim("badge", "alice", "5")
    check(passed.returncode == 0, "the badge call failed once the rule was removed: " + passed.stderr)

    # The failed call stands out in Requests; the one after it does not.
    test.panel("requests")
    test.wait(lambda: len(test.find('tr.request[data-endpoint="rcv_init_badgeNo.ctl"]')) == 2,
              "both badge calls are listed")
    newest, older = test.find('tr.request[data-endpoint="rcv_init_badgeNo.ctl"]')
    check("bad" not in newest.get_attribute("class").split(), "the successful call is marked failed")
    check("bad" in older.get_attribute("class").split(), "the failed call does not stand out")
    check("fault: status" in older.text, "the failed call's row: " + older.text)
    # The filters, alone and together.
    problems = test.one("#requests-problems")
    for by_endpoint, by_code, only_problems, expected in (
            ("rcv_init_badgeNo.ctl", "", False, 2), ("rcv_init_badgeNo.ctl", "", True, 1),
            ("", "0000", False, None), ("mobile/last-session", "0000", False, 0)):
        test.choose("#requests-endpoint", value=by_endpoint)
        test.choose("#requests-code", value=by_code)
        if problems.is_selected() != only_problems:
            problems.click()
        # Read in one go, again if the table is redrawn while it is read.
        def read_rows():
            rows = test.find("tr.request")
            return [(row.get_attribute("data-endpoint"),
                     row.find_elements(By.TAG_NAME, "td")[5].text) for row in rows]
        rows = test.wait(lambda: read_rows() or [None], "the requests table can be read")
        rows = [row for row in rows if row is not None]
        shown = set(rows)
        check(all((not by_endpoint or e == by_endpoint) and (not by_code or c == by_code)
                  for e, c in shown), f"filter {by_endpoint!r} {by_code!r} shows {shown}")
        check(expected is None or len(rows) == expected,
              f"filter {by_endpoint!r} {by_code!r} {only_problems}: {len(rows)} rows, not {expected}")
    test.choose("#requests-endpoint", value="")
    test.choose("#requests-code", value="")
    older = test.find('tr.request[data-endpoint="rcv_init_badgeNo.ctl"]')[1]
    older.click()
    test.wait(lambda: test.find("tr.request-detail"), "the failed row expands")
    test.shot("requests")


def data(test):
    # Something in every panel, so Clear has something to clear.
    test.sim("badge", "bob", "1")
    test.panel("faults")
    test.choose("#fault-effect", value="latency")
    test.type("#fault-ms", "1")
    test.type("#fault-endpoint", "images")
    test.one('#fault-form button[type="submit"]').click()
    test.wait(lambda: test.find("#faults tr.fault"), "a second rule is listed")

    test.panel("data")
    test.one("#data-export").click()
    snapshot = os.path.join(test.downloads, "snapshot.json")

    def downloaded():
        files = [f for f in os.listdir(test.downloads) if f.endswith(".json")]
        if files:
            os.replace(os.path.join(test.downloads, files[0]), snapshot)
        return files
    test.wait(downloaded, "the snapshot is downloaded")
    with open(snapshot) as file:
        exported = json.load(file)
    check(len(exported["tables"]["devices"]) == 2, "the snapshot holds the two devices")

    test.one("#data-clear").click()
    test.wait(lambda: test.driver.switch_to.alert, "Clear asks first").accept()
    test.wait(lambda: "cleared" in test.one("#data-result").text, "Clear reports")
    test.shot("data")
    for name, tables in (("overview", ("devices", "users", "groups")), ("messages", ("messages",)),
                         ("requests", ("requests",)), ("faults", ("faults",))):
        test.panel(name)
        for table in tables:
            test.wait(lambda: test.empty(table), f"the {table} table is empty after Clear")
    test.panel("overview")
    test.wait(lambda: test.one('#counts [data-count="messages"] .n').text == "0",
              "the messages count is 0 after Clear")

    test.panel("data")
    test.one("#data-import-file").send_keys(snapshot)
    test.one("#data-import").click()
    test.wait(lambda: "imported" in test.one("#data-result").text, "the import reports")
    test.panel("overview")
    test.wait(lambda: len(test.find("#devices tbody tr[data-psid]")) == 2,
              "the imported snapshot brings both devices back")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--out", required=True, help="folder for the screenshots")
    args = parser.parse_args()
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            sys.exit(f"console test: {program} is missing (run scripts/setup)")
    os.makedirs(args.out, exist_ok=True)
    for old in os.listdir(args.out):
        if old.endswith(".png"):
            os.remove(os.path.join(args.out, old))
    work = tempfile.mkdtemp(prefix="orvo-console-")
    started = time.monotonic()
    try:
        run(args, work)
    except Failed as failure:
        print(f"console test failed: {failure}\n(screenshots in {args.out}, logs in {work})")
        return 1
    print(f"console test passed in {time.monotonic() - started:.1f} s; screenshots in {args.out}")
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
