#!/usr/bin/python3
"""The shipped alert rules and Grafana dashboard, checked by Prometheus itself
(docs/status.md, "Checking it"). Exit status 77: skipped, a tool is missing.

  monitoring_test.py rules TESTS RULES
  monitoring_test.py scrape VELKORD SIM POLL RULES DASHBOARD
"""
import ctypes
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

SKIPPED = 77
# Under qemu everything runs several times slower (scripts/cross).
SLOWDOWN = max(1.0, float(os.environ.get("VELKORD_TEST_SLOWDOWN", "1")))


def need(tool, package):
    path = shutil.which(tool)
    if path is None:
        print(f"skipped: {tool} is not installed (apt-get install {package})")
        sys.exit(SKIPPED)
    return path


def rules(tests, rule_file):
    promtool = need("promtool", "prometheus")
    for args in (["check", "rules", rule_file], ["test", "rules", tests]):
        run = subprocess.run([promtool, *args], capture_output=True, text=True, check=False)
        print(run.stdout + run.stderr)
        if run.returncode != 0:
            sys.exit(f"promtool {' '.join(args)} failed")


# ---- Queries -----------------------------------------------------------------

# Where a condition splits at the top level: set operators and comparisons,
# and what may follow them before the right operand.
SPLIT = re.compile(r"\b(?:and|or|unless)\b|==|!=|>=|<=|>|<")
MODIFIERS = re.compile(r"^\s*(?:bool\b)?\s*(?:(?:on|ignoring)\s*\([^)]*\))?\s*"
                       r"(?:(?:group_left|group_right)\s*(?:\([^)]*\))?)?")
NUMBER = re.compile(r"[-+]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][-+]?\d+)?")


def operands(expr):
    """The expressions an alert condition compares and combines: a ratio,
    a selector, an aggregation; the thresholds themselves are left out."""
    parts, depth, start, i, quote = [], 0, 0, 0, None
    while i < len(expr):
        c = expr[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'`":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif depth == 0 and (m := SPLIT.match(expr, i)):
            parts.append(expr[start:i])
            i = start = m.end()
            continue
        i += 1
    parts.append(expr[start:])
    kept = (MODIFIERS.sub("", p, count=1).strip() for p in parts)
    return [p for p in kept if p and not NUMBER.fullmatch(p)]


def dashboard_queries(path, instance):
    """Every query of the dashboard, its variables set as Grafana would with
    this gateway and units 1 and 2 chosen."""
    with open(path, encoding="utf-8") as f:
        board = json.load(f)
    names = {v["name"]: v for v in board["templating"]["list"]}
    assert names.keys() == {"datasource", "instance", "unit"}, names.keys()
    assert names["datasource"]["type"] == "datasource" and names["datasource"]["query"] == "prometheus"
    values = {"instance": re.escape(instance).replace("\\", "\\\\"), "unit": "(1|2)", "__rate_interval": "1m"}
    queries = []
    for panel in board["panels"]:
        # Only panels every Grafana has: no plugin to install.
        assert panel["type"] in ("row", "stat", "timeseries", "state-timeline"), panel["type"]
        for target in panel.get("targets", []):
            assert target["datasource"]["uid"] == "${datasource}", panel["title"]
            queries.append((panel["title"], target["expr"]))
    for name in ("instance", "unit"):
        # label_values(SELECTOR, LABEL) lists LABEL's values among SELECTOR's series.
        selector, label = re.fullmatch(r"label_values\((.*),\s*(\w+)\)", names[name]["query"]).groups()
        queries.append((f"${name}", f"count by ({label}) ({selector})"))
    substituted = []
    for title, expr in queries:
        for name, value in values.items():
            expr = re.sub(r"\$\{?" + name + r"\b\}?", lambda _: value, expr)
        assert "$" not in expr, f"{title}: a variable the test does not know: {expr}"
        substituted.append((title, expr))
    return substituted


# ---- Processes -----------------------------------------------------------------

def die_with_parent():
    # A test killed by ctest's time-out must not leave its servers behind.
    ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def free_port(taken):
    while True:
        port = random.randrange(20000, 32000)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        if port not in taken:
            taken.add(port)
            return port


def get_json(url):
    with urllib.request.urlopen(url, timeout=5) as answer:
        return json.load(answer)


class Fleet:
    """The processes of one run and the folder they use; all ended and
    removed when the run ends, whatever happens."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="velkord-prometheus-")
        self.processes = []

    def log(self, index):
        return os.path.join(self.folder, f"{index}.log")

    def start(self, name, args, env=None):
        with open(self.log(len(self.processes)), "wb") as log:
            p = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                 env={**os.environ, **(env or {})}, preexec_fn=die_with_parent)
        self.processes.append((name, p))
        return p

    def __enter__(self):
        return self

    def __exit__(self, failed, *_):
        for index, (name, p) in enumerate(self.processes):
            if failed:
                with open(self.log(index), errors="replace") as f:
                    print(f"---- {name}\n{f.read()[-3000:]}")
            p.terminate()
        for _, p in self.processes:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


def wait_for(what, check, seconds):
    deadline = time.monotonic() + seconds * SLOWDOWN
    while True:
        result = check()
        if result is True:
            return
        if time.monotonic() > deadline:
            sys.exit(f"{what}: {result}")
        time.sleep(0.25)


def start_gateway(fleet, velkord, sim, poll, ports):
    link = os.path.join(fleet.folder, "ttyM0")
    fleet.start("velkord-sim", [sim, "-l", link, "-a", "1,2", "-b", "115200"])
    wait_for("the simulator's line", lambda: os.path.exists(link) or "no link", 5)
    for _ in range(3):
        native, face, status = (free_port(ports) for _ in range(3))
        gateway = fleet.start("velkord", [velkord, "-sp", "0", "-br", "115200", "-db", "8", "-sb", "1",
                                          "-p", str(native)],
                              {"VELKORD_TTY_PATTERN": link[:-1] + "%d", "VELKORD_STATUS": f"127.0.0.1:{status}",
                               "VELKORD_MODBUS_TCP": f"127.0.0.1:{face}"})

        def answers():
            try:
                return gateway.poll() is not None or get_json(f"http://127.0.0.1:{status}/status") is not None
            except OSError as e:
                return str(e)

        # The status port opens last: once it answers, both client ports do.
        wait_for("the gateway's status port", answers, 10)
        if gateway.poll() is None:
            break
        # Status 255: another test bound one of the free ports first.
        print(f"the gateway ended with status {gateway.returncode}; again on other ports")
    else:
        sys.exit("the gateway did not start")
    # A native client on unit 1, a Modbus TCP client on unit 2, each reading
    # every 200 ms: every family of the metrics gets its series.
    fleet.start("velkord-poll", [poll, "-q", "-a", "1", "-t", "3", "-c", "4", "-l", "200", "-p", str(native),
                                 "127.0.0.1"])
    fleet.start("mbpoll", ["mbpoll", "-m", "tcp", "-a", "2", "-t", "4", "-c", "4", "-l", "200", "-p", str(face),
                           "127.0.0.1"])
    return f"127.0.0.1:{status}"


# The board's server scrapes the gateway; the site's server federates the
# board's velkord series and evaluates the rules, as docs/status.md shows.
BOARD = """global: {{scrape_interval: 1s, scrape_timeout: 1s, external_labels: {{board: cabinet-3}}}}
scrape_configs:
  - job_name: velkord
    static_configs: [{{targets: ["{gateway}"]}}]
"""
SITE = """global: {{scrape_interval: 1s, scrape_timeout: 1s, evaluation_interval: 1s}}
rule_files: ["{rules}"]
scrape_configs:
  - job_name: velkord-federate
    honor_labels: true
    metrics_path: /federate
    params:
      'match[]': ['{{__name__=~"velkord_.*"}}', 'up{{job="velkord"}}']
    static_configs: [{{targets: ["{board}"]}}]
"""


def start_prometheus(fleet, prometheus, name, config, ports):
    address = f"127.0.0.1:{free_port(ports)}"
    path = os.path.join(fleet.folder, name)
    os.mkdir(path)
    with open(os.path.join(path, "prometheus.yml"), "w", encoding="utf-8") as f:
        f.write(config)
    server = fleet.start(name, [prometheus, f"--config.file={path}/prometheus.yml", f"--web.listen-address={address}",
                                f"--storage.tsdb.path={path}/data", "--log.level=warn"])
    api = f"http://{address}/api/v1/"

    def query(expr):
        if server.poll() is not None:
            sys.exit(f"{name} Prometheus ended with status {server.returncode}")
        try:
            return get_json(api + "query?" + urllib.parse.urlencode({"query": expr}))["data"]["result"]
        except OSError:
            return []

    return address, api, query


def scrape(velkord, sim, poll, rule_file, dashboard):
    prometheus = need("prometheus", "prometheus")
    need("mbpoll", "mbpoll")
    ports = set()
    with Fleet() as fleet:
        gateway = start_gateway(fleet, velkord, sim, poll, ports)
        board, _, board_query = start_prometheus(fleet, prometheus, "board", BOARD.format(gateway=gateway), ports)
        _, api, query = start_prometheus(fleet, prometheus, "site", SITE.format(rules=rule_file, board=board), ports)

        def up_twice():
            got = board_query('count_over_time(up{job="velkord"}[1m]) >= 2 and up{job="velkord"} == 1')
            return len(got) == 1 or "not up after two scrapes"

        wait_for(f"Prometheus scraping {gateway}", up_twice, 15)

        def rules_evaluated():
            groups = get_json(api + "rules")["data"]["groups"]
            found = [r for g in groups for r in g["rules"]]
            bad = [(r["name"], r["health"], r.get("lastError")) for r in found if r["health"] != "ok"]
            return (len(found) > 0 and not bad) or f"rules not evaluated cleanly: {bad or 'none loaded'}"

        wait_for("the alert rules", rules_evaluated, 10)
        # The queries come from the two files as Prometheus loaded them, and
        # reach the site with the gateway's own job and the board's label.
        checks = [(r["name"], e) for g in get_json(api + "rules")["data"]["groups"]
                  for r in g["rules"] for e in operands(r["query"])]
        checks += dashboard_queries(dashboard, gateway)
        checks.append(("federated", f'velkord_build_info{{job="velkord",instance="{gateway}",board="cabinet-3"}}'))

        def all_answered():
            empty = [f"{title}: {expr}" for title, expr in checks if not query(expr)]
            return not empty or "no data for\n  " + "\n  ".join(empty)

        # A series born at the latest scrape has one sample, too few for
        # rate(): wait for the next scrape rather than fail at once.
        wait_for("every query of the rules and the dashboard", all_answered, 15)
        alerts = get_json(api + "alerts")["data"]["alerts"]
        if alerts:
            sys.exit(f"alerts on a sound line: {alerts}")
        print(f"{len(checks)} queries answered by a site Prometheus federating the board's, which scrapes {gateway}")


def main():
    # Prometheus reads rule files relative to its own configuration's folder.
    kind, args = sys.argv[1], [os.path.abspath(a) for a in sys.argv[2:]]
    if kind == "rules":
        rules(*args)
    else:
        scrape(*args)


main()
