#!/usr/bin/env python3
"""Runs the README as a new user would, on a temporary instance.

Starts ./scripts/run.sh (release build, a fresh instance, a free loopback
port), runs every README example that calls quor-call and compares what it
prints with the "# ..." line written under it, checks the rows of the Query
example, opens quor-console offscreen with its default service name and a
stored password (the console then signs in without its dialog), and stops the
server. Exits non-zero, saying why, when any of it fails.

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


def examples(readme):
    """(command, expected first line or None) for each README shell example
    that runs quor-call, in the order written."""
    found = []
    for block in re.findall(r"```sh\n(.*?)```", readme, re.S):
        if "bin/quor-call" not in block:
            continue
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


def main():
    with open(os.path.join(ROOT, "README.md")) as f:
        readme = f.read()
    steps = examples(readme)
    if not any("Query" in c for c, _ in steps):
        fail("the README holds no Query example")

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

        # The README's paths are relative to the top of the tree: the same
        # names, pointing at this instance and build.
        os.makedirs(os.path.join(work, "build"))
        os.symlink(BUILD, os.path.join(work, "build", "release"))
        password = open(os.path.join(instance, "administrator.password")).read().strip()
        for command, expected in steps:
            shown = re.sub(r"^QUOR_PASSWORD=\$\([^)]*\) ", "", command.splitlines()[0])[:100]
            command = command.replace("bin/quor-call ", f"bin/quor-call --url {url} ")
            run = subprocess.run(["bash", "-c", "set -e\nexport QUOR_REGISTRY=$PWD/instance/registry.reg\n" + command],
                                 cwd=work, env=env, capture_output=True, text=True, timeout=120)
            if run.returncode != 0:
                fail(f"`{shown}` failed ({run.returncode}): {run.stderr.strip()[:500]}")
            if expected is not None and not matches(expected, run.stdout):
                fail(f"`{shown}` printed {run.stdout.strip()[:300]!r}, the README says {expected!r}")
            if " Query" in command:
                check_query_rows(run.stdout)
            print(f"readme check: ok: {shown}")

        # The console with its defaults: no service name stored (so "local",
        # which run.sh points at this server), the administrator's password
        # stored, and its trace file on to see the sign-in.
        console_dir = os.path.join(work, "console")
        os.makedirs(console_dir)
        registry = os.path.join(console_dir, "registry.reg")
        shutil.copyfile(os.path.join(instance, "registry.reg"), registry)
        with open(registry, "a") as f:
            f.write('\n[HKEY_LOCAL_MACHINE\\Software\\Velt]\n"Log"="on"\n')
            f.write('\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\QuorService]\n"UserName"="administrator"\n'
                    f'"Password"="{password}"\n')
        trace = os.path.join(console_dir, "VeltLog.log")
        console_env = dict(env, QUOR_REGISTRY=registry, QT_QPA_PLATFORM="offscreen")
        console = subprocess.Popen([os.path.join(BUILD, "bin", "quor-console")], cwd=console_dir, env=console_env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        signed_in = False
        deadline = time.time() + CONSOLE_LIMIT
        while time.time() < deadline and console.poll() is None:
            if os.path.exists(trace) and "OpenSession answered" in open(trace, errors="replace").read():
                signed_in = True
                break
            time.sleep(0.5)
        running = console.poll() is None
        if running:
            console.terminate()
        try:
            console.wait(10)
        except subprocess.TimeoutExpired:
            console.kill()
        if not signed_in:
            fail("quor-console did not sign in with its default service name"
                 + ("" if running else f" (it exited with {console.returncode}: {console.stderr.read()[:300]})"),
                 trace)
        print("readme check: ok: quor-console signed in to the service \"local\"")

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
