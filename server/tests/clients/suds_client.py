"""The suds client of soap_client_test.py: CORE_WSDL ADMIN_WSDL, the password,
token scheme and seed in QUOR_* variables (HTTPS trusts SSL_CERT_FILE);
prints "name<TAB>value" lines."""
import logging
import os
import sys

from suds import WebFault
from suds.client import Client

logging.basicConfig(level=logging.WARNING, stream=sys.stderr)


def emit(name, value):
    text = "" if value is None else str(value)
    print(name + "\t" + text.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r").replace("\t", "\\t"))


def emit_fault(prefix, call):
    """The fault `call` raises, with the errorInfo suds typed from the WSDL."""
    try:
        call()
    except WebFault as e:
        info = e.fault.detail.errorInfo
        for name, value in (("faultcode", e.fault.faultcode), ("faultstring", e.fault.faultstring),
                            ("status", info.status), ("description", info.description), ("number", info.number)):
            emit(prefix + name, value)
        return
    raise AssertionError(f"{prefix}: no fault")


def main():
    core_url, admin_url = sys.argv[1:3]
    password = os.environ["QUOR_PASSWORD"]
    core = Client(core_url, cache=None).service
    admin = Client(admin_url, cache=None).service

    answer = core.CreateTicket(authority="", realm="", principal="administrator", credential=password)
    emit("ticket", answer.ticket)
    emit("fullPrincipal", answer.fullPrincipal)
    emit_fault("wrong.", lambda: core.CreateTicket(authority="", realm="", principal="administrator",
                                                   credential="wrong"))
    session = core.OpenSession(service="qsc", ticket=answer.ticket, tokenScheme=os.environ["QUOR_TOKEN_SCHEME"],
                               tokenSeed=os.environ["QUOR_TOKEN_SEED"])
    emit("sessionKey", session.sessionKey)
    emit("verifier", session.verifier)
    result = core.Exec(user=session.verifier, command="status")
    emit("exec.result", result.result)
    emit("exec.reskey", result.reskey)
    emit_fault("admin.", lambda: admin.ReLoadConfig(user="no-session"))


if __name__ == "__main__":
    main()
