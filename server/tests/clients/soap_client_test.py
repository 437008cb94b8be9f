#!/usr/bin/env python3
"""quor-server called by a standard SOAP client that knows only the WSDL the
server serves: zeep, suds, PHP's SoapClient, SOAP::Lite, gSOAP, node soap or
JAX-WS.

Prepares a temporary instance (registry file, home folder, SQLite repository,
a local account store with one user, the service core and the authentication
component registered with quor-regsvr) and throwaway TLS files, then, against
quor-server over HTTP and again over HTTPS, runs the client beside this
script (gSOAP's and JAX-WS's code is generated from the served WSDL and
compiled first). The client loads both descriptions, signs in with
CreateTicket, tries a wrong password, opens a session with a token scheme and
seed from quor-token-seed, calls Exec and an administration operation without
a session, and prints what it got as "name<TAB>value" lines. This script
compares that with what the server answers to the same requests written by
hand, checks that the server knows the client's session until its key and
verifier close it, and fails on anything a client or a generator wrote to
stderr (warnings included).

Usage: soap_client_test.py CLIENT BIN_DIR LIB_DIR SOURCE_DIR
Exit status: 0 passed, 1 failed, 77 skipped (the client is not installed;
under CI=true that fails instead).
"""
import os
import re
import select
import shutil
import sqlite3
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape

SKIP = 77
PASSWORD = "client-pw"
HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
# The Debian packages' jars a JAX-WS client runs on (the jaxws package's own list).
JAXWS_CLASSPATH = "/usr/share/java/jaxws-tools.jar:/usr/share/java/jaxws-rt.jar"


class Skip(Exception):
    pass


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def run(args, env, cwd=None, timeout=180):
    """stdout of a command that must succeed and write nothing to stderr."""
    done = subprocess.run(args, env=env, cwd=cwd, capture_output=True, text=True, timeout=timeout)
    check(done.returncode == 0, f"{' '.join(args)} failed ({done.returncode}):\n{done.stdout}{done.stderr}")
    return done.stdout, done.stderr


# ---- The instance and the servers ------------------------------------------------


def reg_text(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def prepare(work, bin_dir, lib_dir, source_dir, env):
    """The instance in `work`, as scripts/run.sh makes one, and TLS files."""
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
    accounts = os.path.join(bin_dir, "quor-accounts")
    subprocess.run([accounts, "init", "QUORDOM", "QUORHOST", "--iterations", "1000"], env=env, check=True,
                   capture_output=True, timeout=60)
    subprocess.run([accounts, "add-user", "administrator"], input=PASSWORD + "\n", env=env, check=True,
                   capture_output=True, text=True, timeout=60)
    for library in ("QuorServiceCore", "QuorAuth"):
        subprocess.run([os.path.join(bin_dir, "quor-regsvr"), "-s", os.path.join(lib_dir, f"lib{library}.so")],
                       env=env, check=True, capture_output=True, timeout=60)

    # A CA and a server certificate it signed for 127.0.0.1.
    tls = os.path.join(work, "tls")
    os.makedirs(tls)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-noenc"]
    with open(os.path.join(tls, "server.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    for args in (["req", "-x509", "-days", "2", "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Quor Test CA"] + key,
                 ["req", "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=Quor Test Server"] + key,
                 ["x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                  "-out", "server.pem", "-days", "2", "-extfile", "server.ext"]):
        subprocess.run(["openssl"] + args, cwd=tls, check=True, capture_output=True, timeout=60)
    return tls


class Server:
    """quor-server on a free loopback port, over TLS when `tls` names the folder of its files."""

    def __init__(self, work, bin_dir, env, tls=None):
        args = [os.path.join(bin_dir, "quor-server"), "--port", "0"]
        if tls:
            args += ["--tls-cert", os.path.join(tls, "server.pem"), "--tls-key", os.path.join(tls, "server.key")]
        self.err = os.path.join(work, "server-tls.err" if tls else "server.err")
        self.process = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=open(self.err, "w"))
        line = b""
        deadline = time.time() + 30
        while not line.endswith(b"\n") and time.time() < deadline and self.process.poll() is None:
            if select.select([self.process.stdout], [], [], 0.1)[0]:
                line += self.process.stdout.read1(256)
        if not line.startswith(b"listening on "):
            self.kill()
            raise RuntimeError("quor-server did not start: " + line.decode(errors="replace"))
        port = int(line.split(b":")[-1])
        self.base = f"{'https' if tls else 'http'}://127.0.0.1:{port}/QuorService/"
        self.context = ssl.create_default_context(cafile=os.path.join(tls, "ca.pem")) if tls else None

    def stop(self):
        self.process.terminate()
        code = self.process.wait(30)
        check(code == 0, f"quor-server stopped with {code}")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def raw_call(self, endpoint, method, params):
        """The answer to a call written by hand, as the console writes it: ("answer", {output: text})
        or ("fault", {faultcode, faultstring, status, description, number})."""
        body = "".join(f"<{k}>{escape(v)}</{k}>" if v else f"<{k}/>" for k, v in params.items())
        envelope = ('<?xml version="1.0"?><SOAP-ENV:Envelope xmlns:SOAP-ENV="http://schemas.xmlsoap.org/soap/'
                    f'envelope/"><SOAP-ENV:Body><{method}>{body}</{method}></SOAP-ENV:Body></SOAP-ENV:Envelope>')
        request = urllib.request.Request(self.base + endpoint, envelope.encode(),
                                         {"Content-Type": "text/xml; charset=utf-8"})
        try:
            with urllib.request.urlopen(request, timeout=30, context=self.context) as answer:
                root = ET.fromstring(answer.read())
            element = root.find("./{*}Body/*")
            check(element.tag == method + "Response", f"{method} answered {element.tag}")
            return "answer", {child.tag: child.text or "" for child in element}
        except urllib.error.HTTPError as e:
            root = ET.fromstring(e.read())
            fault = {name: root.findtext(f".//{name}") for name in ("faultcode", "faultstring")}
            fault.update({name: root.findtext(f".//errorInfo/{name}") for name in ("status", "description", "number")})
            return "fault", fault


# ---- The clients -----------------------------------------------------------------


def python_has(module):
    return subprocess.run([SYSTEM_PYTHON, "-c", f"import {module}"], capture_output=True).returncode == 0


def which(*programs):
    return all(shutil.which(p) for p in programs)


class Client:
    """How to tell whether a client is installed, build it and run it."""

    def __init__(self, name, work, env):
        self.name, self.work, self.env = name, work, env
        self.command = None

    def available(self):
        n = self.name
        if n == "zeep":
            return python_has("zeep")
        if n == "suds":
            return python_has("suds")
        if n == "php":
            return which("php") and "soap" in subprocess.run(["php", "-m"], capture_output=True, text=True).stdout
        if n == "soaplite":
            return subprocess.run(["perl", "-MSOAP::Lite", "-e1"], capture_output=True).returncode == 0
        if n == "node":
            return which("node") and os.path.isdir(os.path.join(self.env.get("QUOR_NODE_MODULES", ""), "soap"))
        if n == "gsoap":
            return which("wsdl2h", "soapcpp2", "g++", "pkg-config") and os.path.exists("/usr/include/stdsoap2.h")
        if n == "jaxws":
            return which("wsimport", "javac", "java", "keytool")
        raise ValueError(f"unknown client {n}")

    def build(self, core_wsdl, admin_wsdl):
        """Makes the client from the served WSDL; generators' warnings fail the test."""
        n, here = self.name, HERE
        if n in ("zeep", "suds"):
            self.command = [SYSTEM_PYTHON, os.path.join(here, f"{n}_client.py")]
        elif n == "php":
            self.command = ["php", "-d", "display_errors=stderr", "-d", "error_reporting=-1", "-d", "log_errors=0",
                            "-d", "soap.wsdl_cache_enabled=0", os.path.join(here, "php_client.php")]
        elif n == "soaplite":
            self.command = ["perl", "-w", os.path.join(here, "soaplite_client.pl")]
        elif n == "node":
            self.env["NODE_PATH"] = self.env["QUOR_NODE_MODULES"]
            self.command = ["node", os.path.join(here, "node_client.js")]
        elif n == "gsoap":
            out = os.path.join(self.work, "gsoap")
            os.makedirs(out)
            # Stable prefixes for the two namespaces, so the client's names are known.
            with open(os.path.join(out, "typemap.dat"), "w") as f:
                f.write('qsc = "urn:quor-service:QuorServiceCore"\nqsa = "urn:quor-service:QuorServiceCoreAdmin"\n')
            said = run(["wsdl2h", "-o", "quor.h", "-t", "typemap.dat", core_wsdl, admin_wsdl], self.env, out)
            check(not re.search(r"warning", "".join(said), re.I), f"wsdl2h warned:\n{''.join(said)}")
            said = run(["soapcpp2", "-C", "-j", "-x", "-L", "-I/usr/share/gsoap/import", "quor.h"], self.env, out)
            check(not re.search(r"warning", "".join(said), re.I), f"soapcpp2 warned:\n{''.join(said)}")
            sources = [os.path.join(here, "gsoap_client.cpp"), "soapC.cpp"] + \
                      sorted(f for f in os.listdir(out) if f.startswith("soap") and f.endswith("Proxy.cpp"))
            # The library's own flags: they shape struct soap. The sources compile side by side.
            cflags = run(["pkg-config", "--cflags", "gsoapssl++"], self.env)[0].split()
            libs = run(["pkg-config", "--libs", "gsoapssl++"], self.env)[0].split()
            compiles = [subprocess.Popen(["g++", "-std=c++17", "-O0", "-I.", "-c", source, "-o", f"{i}.o"] + cflags,
                                         cwd=out, env=self.env, stderr=subprocess.PIPE, text=True)
                        for i, source in enumerate(sources)]
            for c in compiles:
                err = c.communicate(timeout=180)[1]
                check(c.returncode == 0, f"g++ failed:\n{err}")
            run(["g++", "-o", "gsoap_client"] + [f"{i}.o" for i in range(len(sources))] + libs, self.env, out)
            self.command = [os.path.join(out, "gsoap_client")]
        elif n == "jaxws":
            out = os.path.join(self.work, "jaxws")
            classes = os.path.join(out, "classes")
            os.makedirs(classes)
            imports = [subprocess.Popen(["wsimport", "-d", classes, "-p", package, wsdl], cwd=out, env=self.env,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                       for wsdl, package in ((core_wsdl, "quor.core"), (admin_wsdl, "quor.admin"))]
            for i in imports:
                said = i.communicate(timeout=180)[0]
                check(i.returncode == 0 and "[WARNING]" not in said and "[ERROR]" not in said,
                      f"wsimport ({i.returncode}):\n{said}")
            classpath = classes + ":" + JAXWS_CLASSPATH
            run(["javac", "-nowarn", "-cp", classpath, "-d", classes, os.path.join(here, "JaxwsClient.java")],
                self.env, out)
            # The SAAJ implementation by the property its API asks for; Debian's
            # jars name it by an older one, which draws a warning per lookup.
            self.command = ["java", "-Djavax.xml.soap.SAAJMetaFactory=com.sun.xml.messaging.saaj.soap."
                            "SAAJMetaFactoryImpl", "-cp", classpath, "JaxwsClient"]

    def trust(self, tls):
        """The CA for the HTTPS pass, by each client's own means."""
        ca = os.path.join(tls, "ca.pem")
        env = dict(self.env, QUOR_CA_FILE=ca, SSL_CERT_FILE=ca, NODE_EXTRA_CA_CERTS=ca, PERL_LWP_SSL_CA_FILE=ca,
                   REQUESTS_CA_BUNDLE=ca, CURL_CA_BUNDLE=ca)
        if self.name == "jaxws":
            store = os.path.join(tls, "ca.p12")
            if not os.path.exists(store):
                run(["keytool", "-importcert", "-noprompt", "-file", ca, "-keystore", store, "-storetype", "PKCS12",
                     "-storepass", "quor-test"], self.env)
            env["JAVA_TOOL_OPTIONS"] = (f"-Djavax.net.ssl.trustStore={store} -Djavax.net.ssl.trustStoreType=PKCS12 "
                                        "-Djavax.net.ssl.trustStorePassword=quor-test")
        return env

    def run(self, env, core_wsdl, admin_wsdl):
        """The client's report as a dict; anything on stderr fails the test."""
        done = subprocess.run(self.command + [core_wsdl, admin_wsdl], env=env, cwd=self.work, capture_output=True,
                              text=True, timeout=180)
        err = done.stderr
        if self.name == "jaxws":  # the JVM's note about JAVA_TOOL_OPTIONS is not the client's
            err = "".join(l for l in err.splitlines(True) if not l.startswith("Picked up JAVA_TOOL_OPTIONS"))
        check(done.returncode == 0 and not err.strip(),
              f"{self.name} client ({done.returncode}):\n{done.stdout}\nstderr:\n{err}")
        report = {}
        for line in done.stdout.splitlines():
            name, _, value = line.partition("\t")
            report[name] = re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r", "t": "\t"}.get(m[1], m[1]), value)
        return report


# ---- The checks ------------------------------------------------------------------


def local(name):
    return (name or "").rsplit(":", 1)[-1]


def expect_fault(report, prefix, expected, what):
    """The client's fault, as read from its typed errorInfo, is the server's."""
    kind, fault = expected
    check(kind == "fault", f"{what}: the server answered the request written by hand without a fault")
    # JAX-WS's typed exception carries no faultcode; the others show it.
    if prefix + "faultcode" in report:
        check(local(report[prefix + "faultcode"]) == "Server", f"{what}: faultcode {report[prefix + 'faultcode']!r}")
    for name in ("faultstring", "status", "description", "number"):
        check(report.get(prefix + name) == fault[name],
              f"{what}: {name} {report.get(prefix + name)!r}, the server wrote {fault[name]!r}")
    print(f"{what}: fault {fault['status']} {fault['description']!r}")


def exercise(client, server, env, wrong):
    core_wsdl = server.base + "QuorServiceCore.sod?wsdl"
    admin_wsdl = server.base + "QuorServiceCoreAdmin.sod?wsdl"
    scheme, seed = run([os.path.join(env["QUOR_BIN_DIR"], "quor-token-seed")], env)[0].splitlines()
    env = dict(env, QUOR_PASSWORD=PASSWORD, QUOR_TOKEN_SCHEME=scheme, QUOR_TOKEN_SEED=seed)
    report = client.run(env, core_wsdl, admin_wsdl)
    missing = {"ticket", "fullPrincipal", "sessionKey", "verifier", "exec.result", "exec.reskey"} - report.keys()
    check(not missing, f"the client reported no {sorted(missing)}: {report}")

    check(report["ticket"], "no ticket")
    check(report["fullPrincipal"].endswith("\\administrator"), f"full principal {report['fullPrincipal']!r}")
    print("CreateTicket: a ticket for", report["fullPrincipal"])
    if wrong is None:  # once per test: wrong passwords hold sign-ins back after a few
        wrong = server.raw_call("QuorServiceCore.sod", "CreateTicket",
                                {"authority": "", "realm": "", "principal": "administrator", "credential": "wrong"})
    expect_fault(report, "wrong.", wrong, "CreateTicket with a wrong password")

    # The session is real: a call naming it by its verifier (unsigned, so
    # refused) is refused otherwise than for no session until its key and
    # verifier close it.
    check(report["sessionKey"] and report["verifier"], f"OpenSession answered {report}")

    def refusal(user):
        kind, fault = server.raw_call("QuorServiceCore.sod", "GetLogCount", {"user": user})
        check(kind == "fault", f"GetLogCount for {user!r} answered {fault}")
        return fault["status"]

    none = refusal(":no-session")
    check(refusal(":" + report["verifier"]) != none, "the client's session is unknown to the server")
    kind, _ = server.raw_call("QuorServiceCore.sod", "CloseSession",
                              {"sessionKey": report["sessionKey"], "verifier": report["verifier"]})
    check(kind == "answer" and refusal(":" + report["verifier"]) == none, "the client's session did not close")
    print("OpenSession: a session the server knows, closed by its key and verifier")

    kind, answer = server.raw_call("QuorServiceCore.sod", "Exec", {"user": report["verifier"], "command": "status"})
    check(kind == "answer", f"Exec written by hand: {answer}")
    check(report["exec.result"] == answer["result"] and report["exec.reskey"] == answer["reskey"],
          f"Exec: the client read {report['exec.result']!r}, {report['exec.reskey']!r}; the server wrote {answer}")
    print(f"Exec: result {answer['result']!r}, reskey {answer['reskey']!r}")

    expect_fault(report, "admin.", server.raw_call("QuorServiceCoreAdmin.sod", "ReLoadConfig", {"user": "no-session"}),
                 "ReLoadConfig without a session")
    return wrong


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    name, bin_dir, lib_dir, source_dir = sys.argv[1:]
    work = tempfile.mkdtemp(prefix=f"quor-{name}.")
    env = dict(os.environ, QUOR_REGISTRY=os.path.join(work, "registry.reg"),
               QUOR_EVENTLOG=os.path.join(work, "events.log"), QUOR_BIN_DIR=bin_dir)
    client = Client(name, work, env)
    server = None
    try:
        if not client.available():
            raise Skip(f"{name} is not installed (scripts/install-deps.sh installs it)")
        tls = prepare(work, bin_dir, lib_dir, source_dir, env)
        wrong = None
        for secure in (False, True):
            server = Server(work, bin_dir, env, tls if secure else None)
            if client.command is None:
                client.build(server.base + "QuorServiceCore.sod?wsdl", server.base + "QuorServiceCoreAdmin.sod?wsdl")
            print(f"-- {name} over {'HTTPS' if secure else 'HTTP'}")
            wrong = exercise(client, server, client.trust(tls) if secure else client.env, wrong)
            server.stop()
            server = None
        print(f"{name} client test: passed")
        return 0
    except Skip as s:
        if os.environ.get("CI") == "true":
            print(f"{name} client test: {s}; CI installs every client", file=sys.stderr)
            return 1
        print(f"{name} client test: skipped, {s}")
        return SKIP
    except Exception as e:  # noqa: BLE001 - every failure is reported the same way
        print(f"{name} client test: {type(e).__name__}: {e}", file=sys.stderr)
        for err in ("server.err", "server-tls.err"):
            path = os.path.join(work, err)
            if os.path.exists(path):
                print(open(path, errors="replace").read()[-3000:], file=sys.stderr)
        return 1
    finally:
        if server is not None:
            server.kill()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
