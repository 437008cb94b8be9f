// quor-call: signs in to a Quor service with the console's SOAP client and
// makes one call, printing the decoded result as it arrives.
//
//   quor-call [--url URL] [--authority A] [--realm R] [--ca-file FILE] USER [METHOD [NAME=VALUE]...]
//
// An https URL's server certificate is checked against the CA certificates
// of --ca-file (PEM), else the console's CAFile setting, else the system's
// trust store.
// The password is read from the environment variable QUOR_PASSWORD, or else
// from the first line of standard input. Parameters follow the method's
// parameter list without the leading "user". Without a method it signs in,
// prints the full principal and signs out. Exit status: 0 success, 1 the
// call failed (part of a streamed result may have been printed), 2 bad
// command line, 3 sign-in failed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "admin/VeltService.h"

namespace {

constexpr const char* kUsage =
    "usage: quor-call [--url URL] [--authority A] [--realm R] [--ca-file FILE] USER [METHOD [NAME=VALUE]...]\n"
    "  URL defaults to http://127.0.0.1:8080/QuorService/QuorServiceCore.sod;\n"
    "  an https:// URL's certificate is checked against FILE's CA certificates (PEM),\n"
    "  else the registry's QuorService CAFile, else the system's trust store;\n"
    "  the password comes from QUOR_PASSWORD or the first line of standard input.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string url = "http://127.0.0.1:8080/QuorService/QuorServiceCore.sod";
  std::string authority, realm, caFile;
  std::vector<std::string> rest;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::string* option = arg == "--url"         ? &url
                          : arg == "--authority" ? &authority
                          : arg == "--realm"     ? &realm
                          : arg == "--ca-file"   ? &caFile
                                                 : nullptr;
    if (!option) {
      rest.push_back(arg);
    } else if (!value(*option) || (option == &caFile && caFile.empty())) {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (rest.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::vector<std::pair<std::string, std::string>> parameters;
  for (size_t i = 2; i < rest.size(); ++i) {
    const size_t eq = rest[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      std::fprintf(stderr, "quor-call: \"%s\" is not NAME=VALUE\n", rest[i].c_str());
      return 2;
    }
    parameters.emplace_back(rest[i].substr(0, eq), rest[i].substr(eq + 1));
  }

  std::string password;
  if (const char* env = std::getenv("QUOR_PASSWORD"))
    password = env;
  else
    std::getline(std::cin, password);

  quor::admin::CVeltService service;
  service.SetAuthority(authority, realm);
  service.SetCaFile(caFile);
  const int signedIn = service.Connect(url, rest[0], password);
  if (signedIn != 0) {
    std::fprintf(stderr, "quor-call: sign-in failed (%d): %s\n", signedIn, service.FormatFault().c_str());
    return 3;
  }
  int status = 0;
  if (rest.size() < 2) {
    std::printf("signed in as %s\n", service.FullPrincipal().c_str());
  } else {
    service.BeginRequest(rest[1]);
    for (const auto& [name, value] : parameters) service.AddParameter(name, value);
    // The result is printed as it arrives, never held whole. It was once
    // printed with "%s", which stops at a NUL: so does this.
    bool ended = false;
    int writeError = 0;
    service.SetResultConsumer([&](std::string_view piece) {
      if (ended) return true;
      if (const size_t nul = piece.find('\0'); nul != std::string_view::npos) {
        piece = piece.substr(0, nul);
        ended = true;
      }
      if (std::fwrite(piece.data(), 1, piece.size(), stdout) == piece.size()) return true;
      writeError = errno;
      return false;
    });
    if (service.Invoke()) {
      std::fputc('\n', stdout);
    } else if (writeError != 0) {
      std::fprintf(stderr, "quor-call: %s failed: the result could not be written: %s\n", rest[1].c_str(),
                   std::strerror(writeError));
      status = 1;
    } else {
      // What was printed already is void: the call failed.
      std::fprintf(stderr, "quor-call: %s failed: %s\n", rest[1].c_str(), service.FormatFault().c_str());
      status = 1;
    }
  }
  service.EndSession();
  return status;
}
