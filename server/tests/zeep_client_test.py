#!/usr/bin/env python3
"""quor-server called by a standard SOAP client (zeep) that knows only the
WSDL the server serves.

Prepares a temporary instance (registry file, home folder, SQLite repository,
a local account store with one user, the service core and the authentication
component registered with quor-regsvr), starts quor-server on a free loopback
port and drives both endpoints through zeep clients built from their ?wsdl.

Usage: zeep_client_test.py BIN_DIR LIB_DIR SOURCE_DIR
Exit status: 0 passed, 1 failed, 77 skipped (python3-zeep is not installed).
"""
import os
import select
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET

SKIP = 77

try:
    import zeep
    import zeep.exceptions
    import zeep.helpers
    import zeep.xsd
    from zeep.plugins import HistoryPlugin
except ImportError:
    print("zeep client test: skipped, python3-zeep is not installed")
    sys.exit(SKIP)

PASSWORD = "zeep-pw"


def reg_text(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def prepare(work, bin_dir, lib_dir, source_dir, env):
    """The instance in `work`, as scripts/run.sh makes one."""
    home = os.path.join(work, "home")
    for folder in ("config", "unifier", "transform"):
        os.makedirs(os.path.join(home, folder))
    repository = os.path.join(work, "repository.db")
    with open(os.path.join(source_dir, "sql", "sqlite.sql")) as f, sqlite3.connect(repository) as db:
        db.executescript(f.read())
    with open(os.path.join(home, "config", "repository.xml"), "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<OLEDBSetting><quorservice>VODB</quorservice>'
                "<Provider>MSDASQL.1</Provider><ExtendedProperties>DRIVER={SQLite3};Database=%s"
                "</ExtendedProperties></OLEDBSetting>\n" % repository)
    with open(env["QUOR_REGISTRY"], "w") as f:
        f.write("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Velt]\n"
                '"DefaultAuthority"="WinNT://QUORDOM"\n"DefaultRealm"="QUORDOM"\n\n'
                "[HKEY_LOCAL_MACHINE\\Software\\Velt\\Services]\n"
                '"qsc"="http://%%s/QuorService/QuorServiceCore.sod"\n\n'
                "[HKEY_LOCAL_MACHINE\\Software\\Velt\\QuorService]\n"
                '"HomeDir"=%s\n"LogLevel"="Normal"\n"CompressThreshold"=dword:00000000\n'
                '"RootContext"="WinNT://QUORDOM"\n"AdminUsers"="administrator"\n' % reg_text(home))

    def run(args, stdin=""):
        done = subprocess.run(args, input=stdin, env=env, capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(args)} failed: {done.stdout}{done.stderr}")

    accounts = os.path.join(bin_dir, "quor-accounts")
    run([accounts, "init", "QUORDOM", "QUORHOST", "--iterations", "1000"])
    run([accounts, "add-user", "administrator"], PASSWORD + "\n")
    for library in ("QuorServiceCore", "QuorAuth"):
        run([os.path.join(bin_dir, "quor-regsvr"), "-s", os.path.join(lib_dir, f"lib{library}.so")])


def start_server(work, bin_dir, env):
    """quor-server on a free port: the process and its port."""
    server = subprocess.Popen([os.path.join(bin_dir, "quor-server"), "--port", "0"], env=env,
                              stdout=subprocess.PIPE, stderr=open(os.path.join(work, "server.err"), "w"))
    line = b""
    deadline = time.time() + 30
    while not line.endswith(b"\n") and time.time() < deadline and server.poll() is None:
        if select.select([server.stdout], [], [], 0.1)[0]:
            line += server.stdout.read1(256)
    if not line.startswith(b"listening on "):
        server.kill()
        raise RuntimeError("quor-server did not start: " + line.decode(errors="replace"))
    return server, int(line.split(b":")[-1])


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def raw_call(url, method, body):
    """The faultstring and detail status of posting `body` (the method's
    child elements, written by hand) as a plain SOAP 1.1 envelope; (None, None)
    for an answer that is no fault."""
    envelope = ('<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/envelope/">'
                f"<SOAP-ENV:Body><{method}>{body}</{method}></SOAP-ENV:Body></SOAP-ENV:Envelope>").encode()
    request = urllib.request.Request(url, envelope, {"Content-Type": "text/xml; charset=utf-8"})
    try:
        with urllib.request.urlopen(request, timeout=30) as answer:
            answer.read()
            return None, None
    except urllib.error.HTTPError as e:
        root = ET.fromstring(e.read())
        return root.findtext(".//faultstring"), root.findtext(".//errorInfo/status")


def outcome(call):
    """("answer", the answer as a dict) or ("fault", zeep's Fault)."""
    try:
        return "answer", zeep.helpers.serialize_object(call())
    except zeep.exceptions.Fault as fault:
        return "fault", fault


def fault_status(fault):
    return fault.detail.findtext("{*}errorInfo/status") if fault.detail is not None else None


def expect_server_fault(result, url, method, body, what):
    """`result` is zeep's Fault for what the server answers to `body` posted by
    hand: the same text and status."""
    kind, fault = result
    check(kind == "fault", f"{what}: no fault but {fault!r}")
    text, status = raw_call(url, method, body)
    check(text, f"{what}: the server answers the request written by hand without a fault")
    check(fault.code == "Server", f"{what}: faultcode {fault.code!r}")
    check(fault.message == text, f"{what}: zeep read {fault.message!r}, the server wrote {text!r}")
    check(fault_status(fault) == status, f"{what}: status {fault_status(fault)!r}, the server wrote {status!r}")
    print(f"{what}: fault {status} {text!r}")


def exercise(port):
    base = f"http://127.0.0.1:{port}/QuorService/"
    core_url = base + "QuorServiceCore.sod"
    sent = HistoryPlugin()
    core = zeep.Client(core_url + "?wsdl", plugins=[sent]).service

    def sent_element(name):
        return sent.last_sent["envelope"].find(f".//{{*}}CreateTicket/{name}")

    # A good password: a ticket and the full principal.
    kind, answer = outcome(lambda: core.CreateTicket(authority="", realm="", principal="administrator",
                                                     credential=PASSWORD))
    check(kind == "answer" and answer.get("ticket"), f"no ticket: {answer!r}")
    check(answer.get("fullPrincipal", "").endswith("\\administrator"), f"full principal of {answer!r}")
    print("CreateTicket: a ticket for", answer["fullPrincipal"])

    # A wrong one: a SOAP fault, as zeep's Fault with the server's text.
    expect_server_fault(outcome(lambda: core.CreateTicket(authority="", realm="", principal="administrator",
                                                          credential="wrong")),
                        core_url, "CreateTicket",
                        "<authority/><realm/><principal>administrator</principal><credential>wrong</credential>",
                        "CreateTicket with a wrong password")

    # Null parameters, left out or sent as xsi:nil: a null authority is the
    # default one, so the sign-in goes through.
    kind, answer = outcome(lambda: core.CreateTicket(realm="", principal="administrator", credential=PASSWORD))
    check(sent_element("authority") is None, "zeep sent the omitted authority")
    check(kind == "answer" and answer.get("ticket"), f"null authority: {answer!r}")
    kind, answer = outcome(lambda: core.CreateTicket(authority=zeep.xsd.Nil, realm="", principal="administrator",
                                                     credential=PASSWORD))
    check(sent_element("authority").get("{http://www.w3.org/2001/XMLSchema-instance}nil") == "true",
          "zeep sent no xsi:nil")
    check(kind == "answer" and answer.get("ticket"), f"nil authority: {answer!r}")
    print("CreateTicket with a null authority (left out and xsi:nil): a ticket")
    # An empty principal (and a null one) is nobody: a fault.
    result = outcome(lambda: core.CreateTicket(authority="", realm="", principal="", credential=PASSWORD))
    check(sent_element("principal") is not None and not sent_element("principal").text, "zeep sent no empty principal")
    expect_server_fault(result, core_url, "CreateTicket",
                        f"<authority/><realm/><principal></principal><credential>{PASSWORD}</credential>",
                        "CreateTicket with an empty principal")
    expect_server_fault(outcome(lambda: core.CreateTicket(authority="", realm="", credential=PASSWORD)),
                        core_url, "CreateTicket", f"<authority/><realm/><credential>{PASSWORD}</credential>",
                        "CreateTicket with a null principal")

    # The administration endpoint from its own description: the reloads take
    # the caller's request token (and the response key, an output that may be
    # sent too) and answer the result and the response key.
    admin_url = base + "QuorServiceCoreAdmin.sod"
    admin = zeep.Client(admin_url + "?wsdl")
    binding = next(iter(next(iter(admin.wsdl.services.values())).ports.values())).binding
    check({"ReLoadConfig", "ReLoadTransform", "ReLoadUnifyTable"} <= set(binding.all()),
          f"the admin operations: {sorted(binding.all())}")
    reload = binding.get("ReLoadConfig")
    inputs, outputs = reload.input.signature(), reload.output.signature(as_output=True)
    print("ReLoadConfig:", inputs, "->", outputs)
    check(inputs == "user: xsd:string, reskey: xsd:string", f"ReLoadConfig takes {inputs!r}")
    check(outputs == "result: xsd:string, reskey: xsd:string", f"ReLoadConfig answers {outputs!r}")
    # Without a session behind the token: the server's fault.
    expect_server_fault(outcome(lambda: admin.service.ReLoadConfig(user="no-session")), admin_url, "ReLoadConfig",
                        "<user>no-session</user>", "ReLoadConfig without a session")


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir, lib_dir, source_dir = sys.argv[1:]
    work = tempfile.mkdtemp(prefix="quor-zeep.")
    env = dict(os.environ, QUOR_REGISTRY=os.path.join(work, "registry.reg"),
               QUOR_EVENTLOG=os.path.join(work, "events.log"))
    server = None
    try:
        prepare(work, bin_dir, lib_dir, source_dir, env)
        server, port = start_server(work, bin_dir, env)
        exercise(port)
        server.terminate()
        code = server.wait(30)
        server = None
        check(code == 0, f"quor-server stopped with {code}")
        print("zeep client test: passed")
        return 0
    except Exception as e:  # noqa: BLE001 - every failure is reported the same way
        print(f"zeep client test: {type(e).__name__}: {e}", file=sys.stderr)
        err = os.path.join(work, "server.err")
        if os.path.exists(err):
            print(open(err, errors="replace").read()[-3000:], file=sys.stderr)
        return 1
    finally:
        if server is not None and server.poll() is None:
            server.kill()
            server.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
