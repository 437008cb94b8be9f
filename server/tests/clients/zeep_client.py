"""The zeep client of soap_client_test.py: CORE_WSDL ADMIN_WSDL, the password,
token scheme and seed (and the CA for HTTPS) in QUOR_* variables; prints
"name<TAB>value" lines. Also shows how zeep's null, nil and empty values
reach the server, and the administration operations' signature."""
import logging
import os
import sys

import requests
import zeep
import zeep.exceptions
import zeep.xsd
from zeep.plugins import HistoryPlugin
from zeep.transports import Transport

logging.basicConfig(level=logging.WARNING, stream=sys.stderr)


def emit(name, value):
    text = "" if value is None else str(value)
    print(name + "\t" + text.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t"))


def load(url, plugins=()):
    session = requests.Session()
    session.verify = os.environ.get("QUOR_CA_FILE", True)
    return zeep.Client(url, transport=Transport(session=session), plugins=list(plugins))


def emit_fault(prefix, client, namespace, call):
    """The fault `call` raises, its errorInfo read as the WSDL types it."""
    try:
        call()
    except zeep.exceptions.Fault as fault:
        info = client.get_element(f"{{{namespace}}}errorInfo").parse(fault.detail[0], client.wsdl.types)
        for name, value in (("faultcode", fault.code), ("faultstring", fault.message), ("status", info.status),
                            ("description", info.description), ("number", info.number)):
            emit(prefix + name, value)
        return
    raise AssertionError(f"{prefix}: no fault")


def main():
    core_url, admin_url = sys.argv[1:3]
    core_ns, admin_ns = "urn:quor-service:QuorServiceCore", "urn:quor-service:QuorServiceCoreAdmin"
    password = os.environ["QUOR_PASSWORD"]
    sent = HistoryPlugin()
    core = load(core_url, [sent])
    admin = load(admin_url)

    answer = core.service.CreateTicket(authority="", realm="", principal="administrator", credential=password)
    emit("ticket", answer.ticket)
    emit("fullPrincipal", answer.fullPrincipal)
    emit_fault("wrong.", core, core_ns, lambda: core.service.CreateTicket(
        authority="", realm="", principal="administrator", credential="wrong"))

    session = core.service.OpenSession(service="qsc", ticket=answer.ticket,
                                       tokenScheme=os.environ["QUOR_TOKEN_SCHEME"],
                                       tokenSeed=os.environ["QUOR_TOKEN_SEED"])
    emit("sessionKey", session.sessionKey)
    emit("verifier", session.verifier)
    result = core.service.Exec(user=session.verifier, command="status")
    emit("exec.result", result.result)
    emit("exec.reskey", result.reskey)
    emit_fault("admin.", admin, admin_ns, lambda: admin.service.ReLoadConfig(user="no-session"))

    # zeep's own: a parameter left out is not sent (a null authority is the
    # default one), zeep.xsd.Nil is sent as xsi:nil, and an empty principal
    # is sent empty and refused.
    def sent_element(name):
        return sent.last_sent["envelope"].find(f".//{{{core_ns}}}CreateTicket/{name}")

    ticket = core.service.CreateTicket(realm="", principal="administrator", credential=password).ticket
    assert sent_element("authority") is None and ticket, "a left-out authority"
    ticket = core.service.CreateTicket(authority=zeep.xsd.Nil, realm="", principal="administrator",
                                       credential=password).ticket
    assert sent_element("authority").get("{http://www.w3.org/2001/XMLSchema-instance}nil") == "true" and ticket, \
        "a nil authority"
    try:
        core.service.CreateTicket(authority="", realm="", principal="", credential=password)
        raise AssertionError("an empty principal signed in")
    except zeep.exceptions.Fault:
        assert sent_element("principal") is not None and not sent_element("principal").text, "no empty principal"

    # The reloads take the caller's request token and the response key, and
    # answer the result and the response key.
    binding = next(iter(next(iter(admin.wsdl.services.values())).ports.values())).binding
    operation = binding.get("ReLoadConfig")
    inputs, outputs = operation.input.signature(), operation.output.signature(as_output=True)
    assert inputs == "user: xsd:string, reskey: xsd:string", f"ReLoadConfig takes {inputs!r}"
    assert outputs == "result: xsd:string, reskey: xsd:string", f"ReLoadConfig answers {outputs!r}"


if __name__ == "__main__":
    main()
