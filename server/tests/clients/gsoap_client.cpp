// The gSOAP client of soap_client_test.py, compiled there with what wsdl2h
// and soapcpp2 generate from the served WSDL (prefix qsc for the core's
// namespace, qsa for the administration's). Arguments: CORE_WSDL ADMIN_WSDL;
// the operations go to the same URLs without "?wsdl". The password, token
// scheme and seed (and the CA for HTTPS) come in QUOR_* variables; prints
// "name<TAB>value" lines.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "soapQuorServiceCoreAdminBindingProxy.h"
#include "soapQuorServiceCoreBindingProxy.h"
#include "QuorServiceCoreBinding.nsmap"

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

void Emit(const std::string& name, const std::string* value) {
  std::string text;
  for (const char c : value ? *value : std::string()) {
    switch (c) {
      case '\\': text += "\\\\"; break;
      case '\n': text += "\\n"; break;
      case '\r': text += "\\r"; break;
      case '\t': text += "\\t"; break;
      default: text += c;
    }
  }
  std::cout << name << '\t' << text << '\n';
}

void Emit(const std::string& name, const std::string& value) { Emit(name, &value); }

// The proxy posts to `url` less its "?wsdl", trusting QUOR_CA_FILE over HTTPS.
template <class Proxy>
bool Prepare(Proxy& proxy, std::string& endpoint, const std::string& url) {
  endpoint = url.substr(0, url.find('?'));
  proxy.soap_endpoint = endpoint.c_str();
  const std::string ca = Env("QUOR_CA_FILE");
  if (ca.empty()) return true;
  return soap_ssl_client_context(proxy.soap, SOAP_SSL_DEFAULT, nullptr, nullptr, ca.c_str(), nullptr, nullptr) ==
         SOAP_OK;
}

int Failed(struct soap* soap, const char* what) {
  std::cerr << what << ": ";
  soap_stream_fault(soap, std::cerr);
  return 1;
}

// The fault of the last call, with errorInfo as the generated detail holds it.
template <class Info>
bool EmitFault(const std::string& prefix, struct soap* soap, int status, Info* info) {
  if (status != SOAP_FAULT || !info) {
    std::cerr << prefix << ": no typed errorInfo (" << status << ")\n";
    return false;
  }
  Emit(prefix + "faultcode", *soap_faultcode(soap) ? std::string(*soap_faultcode(soap)) : std::string());
  Emit(prefix + "faultstring", *soap_faultstring(soap) ? std::string(*soap_faultstring(soap)) : std::string());
  Emit(prefix + "status", info->status);
  Emit(prefix + "description", info->description);
  Emit(prefix + "number", std::to_string(info->number));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  soap_ssl_init();
  QuorServiceCoreBindingProxy core(SOAP_C_UTFSTRING);
  QuorServiceCoreAdminBindingProxy admin(SOAP_C_UTFSTRING);
  std::string coreEndpoint, adminEndpoint;
  if (!Prepare(core, coreEndpoint, argv[1]) || !Prepare(admin, adminEndpoint, argv[2]))
    return Failed(core.soap, "TLS");
  std::string empty, administrator = "administrator", password = Env("QUOR_PASSWORD"), wrong = "wrong";

  _qsc__CreateTicket signIn;
  signIn.authority = &empty;
  signIn.realm = &empty;
  signIn.principal = &administrator;
  signIn.credential = &password;
  _qsc__CreateTicketResponse ticket;
  if (core.CreateTicket(&signIn, ticket) != SOAP_OK) return Failed(core.soap, "CreateTicket");
  Emit("ticket", ticket.ticket);
  Emit("fullPrincipal", ticket.fullPrincipal);

  signIn.credential = &wrong;
  _qsc__CreateTicketResponse refused;
  const int status = core.CreateTicket(&signIn, refused);
  const SOAP_ENV__Detail* detail = core.soap->fault ? core.soap->fault->detail : nullptr;
  if (!EmitFault("wrong.", core.soap, status, detail ? detail->qsc__errorInfo : nullptr)) return 1;

  std::string qsc = "qsc", scheme = Env("QUOR_TOKEN_SCHEME"), seed = Env("QUOR_TOKEN_SEED");
  _qsc__OpenSession open;
  open.service = &qsc;
  open.ticket = ticket.ticket;
  open.tokenScheme = &scheme;
  open.tokenSeed = &seed;
  _qsc__OpenSessionResponse session;
  if (core.OpenSession(&open, session) != SOAP_OK) return Failed(core.soap, "OpenSession");
  Emit("sessionKey", session.sessionKey);
  Emit("verifier", session.verifier);

  std::string command = "status";
  _qsc__Exec exec;
  exec.user = session.verifier;
  exec.command = &command;
  _qsc__ExecResponse result;
  if (core.Exec(&exec, result) != SOAP_OK) return Failed(core.soap, "Exec");
  Emit("exec.result", result.result);
  Emit("exec.reskey", result.reskey);

  std::string nobody = "no-session";
  _qsa__ReLoadConfig reload;
  reload.user = &nobody;
  _qsa__ReLoadConfigResponse reloaded;
  const int reloadStatus = admin.ReLoadConfig(&reload, reloaded);
  const SOAP_ENV__Detail* adminDetail = admin.soap->fault ? admin.soap->fault->detail : nullptr;
  if (!EmitFault("admin.", admin.soap, reloadStatus, adminDetail ? adminDetail->qsa__errorInfo : nullptr)) return 1;
  return 0;
}
