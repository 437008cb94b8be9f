#!/usr/bin/env python3
"""Runs the documentation's examples as a new user would, on a temporary instance.

Starts ./scripts/run.sh (release build, a fresh instance, a free loopback
port) and checks that the locator OpenSession answers reaches it. Then runs
the shell examples marked for it in README.md and docs/*.md, in the order
written (README.md first, then docs/ by file name):

  <!-- check: calls -->      the shell block under it is run line by line,
                             quor-call given the temporary server's --url;
                             a "# ..." line under a command is the first line
                             it must print; a Query's answer must hold the
                             rows of the README's example;
  <!-- check: console -->    the shell block under it is run with the
                             administrator's password stored and Qt offscreen:
                             quor-console must sign in with its default
                             service name, without its dialog.

Last it stops the server, which must exit cleanly. Exits non-zero, saying why,
when any of it fails, when a shell block calls quor-call or quor-console
without a mark, or when an example it must run (the sign-in, GetLogCount,
ReLoadConfig, Query, the console) is nowhere marked.

Environment: QUOR_BUILD (default build/release) as for run.sh.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("QUOR_BUILD", os.path.join(ROOT, "build", "release")))
START_LIMIT = 1800  # run.sh builds the release first
CONSOLE_LIMIT = 60


def fail(message, log=None):
    print("readme check: " + message, file=sys.stderr)
    if log and os.path.exists(log):
        with open(log, errors="replace") as f:
            print("".join(f.readlines()[-40:]), file=sys.stderr)
    sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


MARK = re.compile(r"^<!-- check: (\w+) -->[ \t]*$", re.M)
BLOCK = re.compile(r"^```sh\n(.*?)^```", re.M | re.S)
# A sign-in alone (no method) and these methods must each be run by some
# marked example, and the console once.
REQUIRED_CALLS = [None, "GetLogCount", "ReLoadConfig", "Query"]


def documents():
    """(name, text) of README.md, then of docs/*.md by file name."""
    names = ["README.md"]
    docs = os.path.join(ROOT, "docs")
    if os.path.isdir(docs):
        names += sorted("docs/" + n for n in os.listdir(docs) if n.endswith(".md"))
    found = []
    for name in names:
        with open(os.path.join(ROOT, name), encoding="utf-8") as f:
            found.append((name, f.read()))
    return found


def marked_blocks(name, text):
    """(kind, block, where) for each shell block marked by the line just
    above its fence; fails on a mark with no shell block under it and on an
    unmarked shell block that runs quor-call or quor-console."""
    found = []
    marks = {}
    for m in MARK.finditer(text):
        line_end = text.find("\n", m.end())
        marks[line_end + 1 if line_end >= 0 else len(text)] = (m.group(1), m.start())
    for m in BLOCK.finditer(text):
        where = f"{name}:{text.count(chr(10), 0, m.start()) + 1}"
        mark = marks.pop(m.start(), None)
        block = m.group(1)
        if mark is None:
            if "bin/quor-call" in block or "bin/quor-console" in block:
                fail(f"{where}: a shell example runs quor-call or quor-console but has no "
                     "<!-- check: ... --> line above it, so nothing checks it")
            continue
        if mark[0] not in ("calls", "console"):
            fail(f"{where}: unknown mark \"check: {mark[0]}\" (calls or console)")
        found.append((mark[0], block, where))
    for kind, start in marks.values():
        fail(f"{name}:{text.count(chr(10), 0, start) + 1}: the mark \"check: {kind}\" "
             "has no ```sh block on the line under it")
    return found


def call_steps(block):
    """(command, expected first line or None) for each command of a block,
    in the order written."""
    found = []
    lines = block.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip() or line.startswith("#"):
            i += 1
            continue
        command = line
        while command.endswith("\\") and i + 1 < len(lines):
            i += 1
            command += "\n" + lines[i]
        i += 1
        expected = None
        if i < len(lines) and lines[i].startswith("# "):
            expected = lines[i][2:]
        found.append((command, expected))
    return found


def called_method(command):
    """The method a quor-call command names, None for a sign-in alone, or
    False when it runs no quor-call."""
    m = re.search(r"bin/quor-call\s+(?:--\S+\s+\S+\s+)*[^\s-]\S*(?:\s+([A-Za-z]\w*))?", command)
    if not m:
        return False
    return m.group(1)


def matches(expected, output):
    # A remark in parentheses after two blanks is not output; "..." ends a
    # shortened line.
    expected = re.sub(r"  \(.*\)$", "", expected).rstrip()
    first = output.splitlines()[0] if output else ""
    if expected.endswith("..."):
        return first.startswith(expected[:-3])
    return first == expected


def check_query_rows(output):
    try:
        root = ET.fromstring(output.strip())
    except ET.ParseError as e:
        fail(f"the Query example's answer is not XML ({e}): {output[:300]}")
    rows = []
    for record in root.iter("record"):
        rows.append({c.get("name"): (c.text or "") for c in record.iter("column")})
    got = sorted((r.get("id"), r.get("name"), r.get("dept")) for r in rows)
    want = [("1", "Ann", "Sales"), ("3", "Cy", "Sales")]
    if got != want:
        fail(f"the Query example gave the rows {got}, not {want}")


def run_calls(block, where, work, env, url):
    """Runs each command of a "calls" block in the top folder `work`."""
    for command, expected in call_steps(block):
        shown = re.sub(r"^QUOR_PASSWORD=\$\([^)]*\) ", "", command.splitlines()[0])[:100]
        command = command.replace("bin/quor-call ", f"bin/quor-call --url {url} ")
        run = subprocess.run(["bash", "-c", "set -e\nexport QUOR_REGISTRY=$PWD/instance/registry.reg\n" + command],
                             cwd=work, env=env, capture_output=True, text=True, timeout=120)
        if run.returncode != 0:
            fail(f"{where}: `{shown}` failed ({run.returncode}): {run.stderr.strip()[:500]}")
        if expected is not None and not matches(expected, run.stdout):
            fail(f"{where}: `{shown}` printed {run.stdout.strip()[:300]!r}, the example says {expected!r}")
        if called_method(command) == "Query":
            check_query_rows(run.stdout)
        print(f"readme check: ok: {where}: {shown}")


def run_console(block, where, work, env, instance, password):
    """Runs a "console" block as written, in a top folder of its own whose
    instance/registry.reg is the instance's with no service name stored (so
    "local", which run.sh points at this server), the administrator's
    password stored, and the console's trace file on to see the sign-in."""
    top = tempfile.mkdtemp(prefix="console.", dir=work)
    os.makedirs(os.path.join(top, "instance"))
    os.symlink(os.path.join(work, "build"), os.path.join(top, "build"))
    registry = os.path.join(top, "instance", "registry.reg")
    shutil.copyfile(os.path.join(instance, "registry.reg"), registry)
    with open(registry, "a") as f:
        f.write('\n[HKEY_LOCAL_MACHINE\\Software\\Velt]\n"Log"="on"\n')
        f.write('\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\QuorService]\n"UserName"="administrator"\n'
                f'"Password"="{password}"\n')
    trace = os.path.join(top, "VeltLog.log")
    console_env = dict(env, QT_QPA_PLATFORM="offscreen")
    console_env.pop("QUOR_REGISTRY", None)  # the example names it
    console = subprocess.Popen(["bash", "-c", "set -e\n" + block], cwd=top, env=console_env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    signed_in = False
    deadline = time.time() + CONSOLE_LIMIT
    while time.time() < deadline and console.poll() is None:
        if os.path.exists(trace) and "OpenSession answered" in open(trace, errors="replace").read():
            signed_in = True
            break
        time.sleep(0.5)
    running = console.poll() is None
    if running:
        os.killpg(console.pid, signal.SIGTERM)
    try:
        console.wait(10)
    except subprocess.TimeoutExpired:
        os.killpg(console.pid, signal.SIGKILL)
        console.wait()
    if not signed_in:
        fail(f"{where}: quor-console did not sign in with its default service name"
             + ("" if running else f" (it exited with {console.returncode}: {console.stderr.read()[:300]})"),
             trace)
    print(f"readme check: ok: {where}: quor-console signed in to the service \"local\"")


def main():
    examples = []  # (kind, block, where), in the order written
    for name, text in documents():
        examples += marked_blocks(name, text)
    called = {called_method(c) for kind, block, _ in examples if kind == "calls" for c, _ in call_steps(block)}
    for method in REQUIRED_CALLS:
        if method not in called:
            fail("no marked example runs " + (f"quor-call's {method}" if method else "quor-call's sign-in alone")
                 + " (README.md, docs/*.md)")
    if not any(kind == "console" for kind, _, _ in examples):
        fail("no marked example opens quor-console (README.md, docs/*.md)")

    work = tempfile.mkdtemp(prefix="quor-readme.")
    instance = os.path.join(work, "instance")
    port = free_port()
    url = f"http://127.0.0.1:{port}/QuorService/QuorServiceCore.sod"
    log = os.path.join(work, "run.log")
    env = dict(os.environ, QUOR_INSTANCE=instance, QUOR_PORT=str(port), QUOR_BUILD=BUILD)
    env.pop("QUOR_REGISTRY", None)
    server = None
    try:
        with open(log, "w") as out:
            server = subprocess.Popen([os.path.join(ROOT, "scripts", "run.sh")], env=env, stdout=out,
                                      stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.time() + START_LIMIT
        while True:
            if server.poll() is not None:
                fail(f"run.sh stopped with {server.returncode} before the service answered", log)
            try:
                with urllib.request.urlopen(url + "?wsdl", timeout=5) as answer:
                    if answer.status == 200:
                        break
            except OSError:
                pass
            if time.time() > deadline:
                fail("the service did not answer in time", log)
            time.sleep(1)
        print(f"readme check: run.sh serves {url}")
        # The locator OpenSession answers reaches the same server.
        registry_text = open(os.path.join(instance, "registry.reg"), encoding="utf-8", errors="replace").read()
        locators = re.findall(r'^"qsc"="([^"]*)"', registry_text, re.M)
        if not locators:
            fail("run.sh wrote no locator (\"qsc\") into the service table")
        locator = locators[-1].replace("%s", socket.getfqdn(), 1)
        try:
            with urllib.request.urlopen(locator + "?wsdl", timeout=5) as answer:
                reached = answer.status == 200
        except OSError as e:
            reached = False
            print(f"readme check: {locator}: {e}", file=sys.stderr)
        if not reached:
            fail(f"the locator {locator} does not reach the server at {url}")
        print(f"readme check: ok: the locator {locator} reaches it")

        # The examples' paths are relative to the top of the tree: the same
        # names, pointing at this instance and build.
        os.makedirs(os.path.join(work, "build"))
        os.symlink(BUILD, os.path.join(work, "build", "release"))
        password = open(os.path.join(instance, "administrator.password")).read().strip()
        for kind, block, where in examples:
            if kind == "calls":
                run_calls(block, where, work, env, url)
            else:
                run_console(block, where, work, env, instance, password)

        server.send_signal(signal.SIGTERM)
        code = server.wait(30)
        server = None
        if code != 0:
            fail(f"quor-server stopped with {code}", log)
        print("readme check: passed")
    finally:
        if server is not None and server.poll() is None:
            os.killpg(server.pid, signal.SIGKILL)
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
