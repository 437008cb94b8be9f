// Throwaway TLS files for the tests, made with the openssl command line in a
// folder: a CA ("ca.pem", "ca.key"), a server certificate it signed for the
// address 127.0.0.1 only ("server.pem", "server.key"), and a second,
// unrelated CA ("other-ca.pem").
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "testing/ServerProcess.h"

namespace quor::soap::testing {

// False with what openssl said in `error`.
inline bool MakeTlsFiles(const fs::path& dir, std::string& error) {
  const std::vector<std::string> env = Environment({});
  const auto openssl = [&](std::vector<std::string> args) {
    const RunResult r = RunProgram("/usr/bin/openssl", args, env, dir);
    if (r.status != 0) error = "openssl " + args.front() + ": " + r.output;
    return r.status == 0;
  };
  const auto path = [&](const char* name) { return (dir / name).string(); };
  const auto key = [](std::vector<std::string> args) {
    args.insert(args.end(), {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-noenc"});
    return args;
  };
  std::ofstream(dir / "server.ext") << "subjectAltName=IP:127.0.0.1\n";
  return openssl(key({"req", "-x509", "-days", "2", "-keyout", path("ca.key"), "-out", path("ca.pem"), "-subj",
                      "/CN=Quor Test CA"})) &&
         openssl(key({"req", "-x509", "-days", "2", "-keyout", path("other-ca.key"), "-out", path("other-ca.pem"),
                      "-subj", "/CN=Quor Other CA"})) &&
         openssl(key({"req", "-keyout", path("server.key"), "-out", path("server.csr"), "-subj",
                      "/CN=Quor Test Server"})) &&
         openssl({"x509", "-req", "-in", path("server.csr"), "-CA", path("ca.pem"), "-CAkey", path("ca.key"),
                  "-CAcreateserial", "-out", path("server.pem"), "-days", "2", "-extfile", path("server.ext")});
}

}  // namespace quor::soap::testing
