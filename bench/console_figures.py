#!/usr/bin/python3
"""Figures of the parent's web console with a policy of 1 000 000 blocked names:
- the browser's time to load the console and show the device's rules (headless Chromium), with
  the blocked list shown as a count (it never travels to the page whole);
- the console's files, as sent and gzip-compressed;
- the service's CPU time for one save of 1 000 000 names, as the console sends it (PATCH, gzip)
  and as a whole document (PUT);
- the browser's time to read a 1 000 000-name hosts file, send it and see it saved.

console_figures.py SERVICE [RUNS]     (SERVICE: the release build's tether-service)
"""
import gzip
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait

SERVICE = sys.argv[1]
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 5
NAMES = 1_000_000
CONSOLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "service", "console")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def call(url, method, path, token="", body=None, compress=False):
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    req = urllib.request.Request(url + path, data=data, method=method)
    if token:
        req.add_header("Authorization", "Bearer " + token)
    if data is not None:
        req.add_header("Content-Type", "application/json")
        if compress:
            req.data = gzip.compress(data, 6)
            req.add_header("Content-Encoding", "gzip")
    with urllib.request.urlopen(req, timeout=600) as res:
        raw = res.read()
        return json.loads(raw) if raw else None


def main():
    folder = tempfile.mkdtemp(prefix="tether-console-bench-")
    proc = subprocess.Popen([SERVICE, "--db", os.path.join(folder, "db"), "--listen", "127.0.0.1:0"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    url = "http://" + proc.stdout.readline().split()[-1]
    login = call(url, "POST", "/v1/register", body={"email": "bench@example.test", "password": "bench-password"})
    token = login["apiToken"]
    device = call(url, "POST", "/v1/devices", token, {"name": "Bench Mac"})
    path = f"/v1/devices/{device['id']}/policy"
    names = [f"host{i}.blocklist{i % 97}.test" for i in range(NAMES)]

    saves = []
    for _ in range(3):
        before = cpu_seconds(proc.pid)
        call(url, "PATCH", path, token, {"domainsCleared": True, "domainsAdded": names}, compress=True)
        saves.append(cpu_seconds(proc.pid) - before)
    puts = []
    for _ in range(3):
        before = cpu_seconds(proc.pid)
        call(url, "PUT", path, token, {"domains": names}, compress=True)
        puts.append(cpu_seconds(proc.pid) - before)

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,900"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    loads = []
    try:
        driver.get(url + "/")
        driver.execute_script("sessionStorage.setItem('tether.session', arguments[0])", json.dumps(login))
        for _ in range(RUNS):
            driver.get("about:blank")
            start = time.perf_counter()
            driver.get(url + f"/#/device/{device['id']}/policy")
            WebDriverWait(driver, 120).until(
                lambda d: d.execute_script("const e = document.getElementById('blocked-count');"
                                           "return e && e.textContent.replace(/\\D/g, '') === '1000000'"))
            loads.append(time.perf_counter() - start)
        # A 1 000 000-name hosts file read, sent and saved from the page.
        hosts = os.path.join(folder, "hosts.txt")
        with open(hosts, "w") as f:
            f.write("# block list\n")
            for name in names:
                f.write(f"0.0.0.0 x{name}\n")
        start = time.perf_counter()
        driver.find_element(By.CSS_SELECTOR, "#block-file").send_keys(hosts)
        WebDriverWait(driver, 300).until(EC.presence_of_element_located((By.ID, "import-count")))
        read = time.perf_counter() - start
        driver.find_element(By.ID, "save").click()
        WebDriverWait(driver, 600).until(EC.presence_of_element_located((By.ID, "saved")))
        imported = time.perf_counter() - start
        saved_count = driver.find_element(By.ID, "blocked-count").text
    finally:
        driver.quit()
        proc.terminate()
        proc.wait()

    files = sorted(os.listdir(CONSOLE))
    plain = sum(os.path.getsize(os.path.join(CONSOLE, f)) for f in files)
    packed = sum(len(gzip.compress(open(os.path.join(CONSOLE, f), "rb").read(), 9)) for f in files)
    print(f"console files: {len(files)} files, {plain / 1024:.1f} KiB as served, {packed / 1024:.1f} KiB gzip-compressed")
    print(f"load the console and show a policy of {NAMES:,} blocked names: median {statistics.median(loads) * 1000:.0f} ms "
          f"(min {min(loads) * 1000:.0f}, max {max(loads) * 1000:.0f}, {RUNS} runs)")
    print(f"service CPU per save of {NAMES:,} names, console edit (PATCH): median {statistics.median(saves):.2f} s "
          f"({', '.join(f'{s:.2f}' for s in saves)})")
    print(f"service CPU per save of {NAMES:,} names, whole document (PUT): median {statistics.median(puts):.2f} s "
          f"({', '.join(f'{s:.2f}' for s in puts)})")
    print(f"browser: read a {NAMES:,}-name hosts file {read:.1f} s; read, send and see it saved {imported:.1f} s "
          f"(then: {saved_count})")


if __name__ == "__main__":
    main()
