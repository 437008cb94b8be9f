// The soak's rough edges, beside the signed-in clients: wrong passwords from
// other loopback addresses, requests trickled a byte at a time and heads
// left half sent, idle connections, malformed and hostile bodies, and large
// answers whose clients hang up before reading them. With two servers a
// thread of an index (or of a server) keeps to server index % 2; the
// wrong passwords and the hostile bodies go to both in turn.
#include <random>

#include "bench/soak_run.h"
#include "bench/soak_wire.h"

namespace quor::soak {

namespace {

std::chrono::microseconds Since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
}

std::string Envelope(std::string_view inner) {
  return "<?xml version='1.0'?><SOAP-ENV:Envelope xmlns:SOAP-ENV='http://schemas.xmlsoap.org/soap/envelope/'>"
         "<SOAP-ENV:Body>" +
         std::string(inner) + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

std::string ExecRequest() {
  const soap::NamedValue params[] = {{"user", com::Bstr(u"soak")}, {"command", com::Bstr(u"slow")}};
  return PostText(soap::kCorePath, soap::WriteRequest("Exec", params));
}

}  // namespace

// Wrong passwords, unknown users and empty passwords, each from a loopback
// address of its own, so that the sign-in limits hold back these addresses
// and principals and never the clients' own.
void RunIntruder(Run& run) {
  Judge judge(run);
  for (uint64_t n = 0; !run.stopLoad; ++n) {
    const std::string from = "127.0." + std::to_string(1 + (n / 250) % 250) + "." + std::to_string(2 + n % 250);
    const int kind = static_cast<int>(n % 3);
    const std::string principal = kind == 1 ? run.names.prefix + "nobody" + std::to_string(n % 40) : run.names.intruder;
    const soap::NamedValue params[] = {{"authority", com::Bstr(u"")},
                                       {"realm", com::Bstr(u"")},
                                       {"principal", com::Bstr::FromUtf8(principal)},
                                       {"credential", com::Bstr::FromUtf8(kind == 2 ? "" : "wrong-" + std::to_string(n))}};
    const char* what = kind == 0 ? "SignIn wrong password" : kind == 1 ? "SignIn unknown user" : "SignIn empty password";
    const auto start = Clock::now();
    const RawReply reply =
        Exchange(run.Port(n), PostText(soap::kCorePath, soap::WriteRequest("CreateTicket", params)), 30s, from.c_str());
    HRESULT fault = S_OK;
    AnswerOutputs(reply.body, fault);
    if (reply.status == 500 && fault == status::kSignInFailed)
      judge.Count(what, Verdict::Refused, Since(start), Hex(fault));
    else if (reply.status == 200)
      judge.Fail(what, start, "signed in", principal + " signed in from " + from + " with a wrong password");
    else
      judge.Fail(what, start, reply.status ? "HTTP " + std::to_string(reply.status) : "no answer",
                 "from " + from + ": HTTP " + std::to_string(reply.status) + " " + Hex(fault) + " " +
                     Slot::Describe(reply.body));
    run.Pause(700ms);
  }
}

// A request trickled a byte at a time over about three seconds (inside the
// head's deadline) is answered as any other; a head left half sent is
// timed out.
void RunSlowClient(Run& run, int index) {
  Judge judge(run);
  const std::string request = ExecRequest();
  for (uint64_t n = static_cast<uint64_t>(index); !run.stopLoad; ++n) {
    const auto start = Clock::now();
    UniqueFd fd = Dial(run.Port(static_cast<uint64_t>(index)));
    if (!fd.valid()) {
      judge.Fail("slow request", start, "cannot connect", "cannot connect");
      run.Pause(1s);
      continue;
    }
    if (n % 5 == 4) {
      SendAll(fd.get(), "POST /QuorService/QuorServiceCore.sod HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-");
      const RawReply reply = ReadReply(fd.get(), 40s);
      if (reply.status == 408 || (reply.status == 0 && reply.closed))
        judge.Count("stalled head", Verdict::Refused, Since(start), reply.status ? "HTTP 408" : "closed");
      else
        judge.Fail("stalled head", start, reply.timedOut ? "never timed out" : "HTTP " + std::to_string(reply.status),
                   "a head left half sent: HTTP " + std::to_string(reply.status) +
                       (reply.timedOut ? ", still open after 40 s" : ""));
      continue;
    }
    const auto pause = std::chrono::microseconds(3000000 / static_cast<int64_t>(request.size()));
    bool sent = true;
    for (size_t i = 0; i < request.size() && sent && !run.stopLoad; ++i) {
      sent = SendAll(fd.get(), std::string_view(request).substr(i, 1));
      std::this_thread::sleep_for(pause);
    }
    if (run.stopLoad) break;
    const RawReply reply = sent ? ReadReply(fd.get(), 30s) : RawReply{};
    if (reply.status == 200 && reply.body.find("ExecResponse") != std::string::npos)
      judge.Count("slow request", Verdict::Ok, Since(start), {});
    else
      judge.Fail("slow request", start, sent ? "HTTP " + std::to_string(reply.status) : "send failed",
                 "trickled Exec: " + std::string(sent ? "" : "the server hung up while it was sent; ") + "HTTP " +
                     std::to_string(reply.status) + " " + Slot::Describe(reply.body));
    run.Pause(200ms);
  }
}

// Connections that say nothing (closed by the server at the head's deadline)
// and kept-alive ones left idle after an answer (closed at the keep-alive
// time); one still open after 30 s is a connection the server lost track of.
void RunIdleClients(Run& run, int server) {
  Judge judge(run);
  struct Idle {
    UniqueFd fd;
    Clock::time_point since;
    bool kept = false;
  };
  std::vector<Idle> idle;
  uint64_t n = 0;
  while (!run.stopLoad) {
    while (idle.size() < 24 && !run.stopLoad) {
      Idle c{Dial(run.Port(static_cast<uint64_t>(server))), Clock::now(), ++n % 2 == 0};
      if (!c.fd.valid()) {
        judge.Fail("idle connection", c.since, "cannot connect", "cannot connect");
        break;
      }
      if (c.kept) {
        const soap::NamedValue params[] = {{"user", com::Bstr(u"soak")}, {"command", com::Bstr(u"idle")}};
        const std::string body = soap::WriteRequest("Exec", params);
        const std::string request = "POST " + std::string(soap::kCorePath) +
                                    " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: " +
                                    std::to_string(body.size()) + "\r\n\r\n" + body;
        const RawReply reply = SendAll(c.fd.get(), request) ? ReadReply(c.fd.get(), 30s) : RawReply{};
        if (reply.status != 200) {
          judge.Fail("idle connection (kept alive)", c.since, "HTTP " + std::to_string(reply.status),
                     "Exec before idling: HTTP " + std::to_string(reply.status));
          continue;
        }
        c.since = Clock::now();
      }
      idle.push_back(std::move(c));
    }
    std::vector<pollfd> fds;
    for (const Idle& c : idle) fds.push_back({c.fd.get(), POLLIN, 0});
    ::poll(fds.data(), fds.size(), 200);
    for (size_t i = idle.size(); i-- > 0;) {
      const char* kind = idle[i].kept ? "idle connection (kept alive)" : "idle connection";
      char buffer[256];
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) && ::recv(idle[i].fd.get(), buffer, sizeof buffer, 0) <= 0) {
        judge.Count(kind, Verdict::Ok, Since(idle[i].since), {});
        idle.erase(idle.begin() + static_cast<std::ptrdiff_t>(i));
      } else if (Clock::now() - idle[i].since > 30s) {
        judge.Fail(kind, idle[i].since, "never closed", "an idle connection still open after 30 s");
        idle.erase(idle.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}

// Requests no client should send. Each must be answered with a refusal (or
// the connection closed, where the head itself is unreadable) and leave the
// server as it was.
void RunHostile(Run& run) {
  Judge judge(run);
  std::mt19937_64 rng(run.options.seed ^ 0x5eed);
  const std::string core(soap::kCorePath);
  struct Case {
    const char* name;
    std::string request;
    std::vector<int> statuses;  // the answers it may get
    bool mayClose = false;      // closing without an answer is right too
    size_t sendOnly = 0;        // send this much, then hang up (0: all)
  };
  const auto nested = [](size_t depth) {
    std::string text;
    text.reserve(depth * 7);
    for (size_t i = 0; i < depth; ++i) text += "<a>";
    for (size_t i = 0; i < depth; ++i) text += "</a>";
    return text;
  };
  std::string binary(64 << 10, '\0');
  for (char& c : binary) c = static_cast<char>(rng());
  std::string manyParams = "<GetLogCount><user>x</user>";
  for (int i = 0; i < 20000; ++i) manyParams += "<p" + std::to_string(i) + ">v</p" + std::to_string(i) + ">";
  manyParams += "</GetLogCount>";
  const std::string laughs =
      "<?xml version='1.0'?><!DOCTYPE lolz [<!ENTITY lol 'lol'><!ENTITY lol1 '&lol;&lol;&lol;&lol;&lol;&lol;&lol;"
      "&lol;'><!ENTITY lol2 '&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;'><!ENTITY lol3 '&lol2;&lol2;&lol2;"
      "&lol2;&lol2;&lol2;&lol2;&lol2;'>]><SOAP-ENV:Envelope xmlns:SOAP-ENV='http://schemas.xmlsoap.org/soap/"
      "envelope/'><SOAP-ENV:Body><GetLogCount><user>&lol3;</user></GetLogCount></SOAP-ENV:Body></SOAP-ENV:Envelope>";
  std::vector<Case> cases = {
      {"hostile cut XML", PostText(core, Envelope("<GetLogCount><user>").substr(0, 150)), {400, 500}},
      {"hostile deep nesting", PostText(core, Envelope(nested(200000))), {400, 413, 500}},
      {"hostile not SOAP", PostText(core, "<?xml version='1.0'?><order><item/></order>"), {400, 500}},
      {"hostile unknown method", PostText(core, Envelope("<NoSuchCall><user>x</user></NoSuchCall>")), {500}},
      {"hostile forged token", PostText(core, Envelope("<GetLogCount><user>forged-token</user></GetLogCount>")), {500}},
      {"hostile binary", PostText(core, binary), {400, 500}},
      {"hostile unknown encoding",
       PostText(core, "<?xml version='1.0' encoding='x-nowhere'?>" + Envelope("<GetLogCount/>").substr(21)),
       {400, 500}},
      {"hostile NUL bytes", PostText(core, Envelope(std::string("<GetLogCount><user>a\0b</user></GetLogCount>", 43))),
       {400, 500}},
      {"hostile entities", PostText(core, laughs), {400, 500}},
      {"hostile many parameters", PostText(core, Envelope(manyParams)), {500}},
      {"hostile wrong envelope namespace",
       PostText(core, "<Envelope xmlns='urn:other'><Body><GetLogCount/></Body></Envelope>"), {400, 500}},
      {"hostile too large",
       "POST " + core + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: 999999999\r\n\r\n",
       {413},
       true},
      {"hostile cut body",
       "POST " + core + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: 5000\r\n\r\n" +
           Envelope("<GetLogCount>"),
       {},
       true,
       200},
      {"hostile garbage line", "\x16\x03\x01\x02\x00 garbage\r\n\r\n", {400}, true},
      {"hostile long header",
       "GET " + core + "?wsdl HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Long: " + std::string(200000, 'x') + "\r\n\r\n",
       {400, 414, 431},
       true},
      {"hostile bad chunks",
       "POST " + core + " HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\nZZZ\r\nxx\r\n0\r\n\r\n",
       {400},
       true},
      {"hostile unknown path", PostText("/QuorService/Nothing.sod", Envelope("<GetLogCount/>")), {404}},
  };
  for (uint64_t n = 0; !run.stopLoad; ++n) {
    const Case& c = cases[n % cases.size()];
    const auto start = Clock::now();
    UniqueFd fd = Dial(run.Port(n));
    if (!fd.valid()) {
      judge.Fail(c.name, start, "cannot connect", "cannot connect");
      run.Pause(1s);
      continue;
    }
    if (c.sendOnly > 0) {
      SendAll(fd.get(), std::string_view(c.request).substr(0, c.sendOnly));
      fd.Reset();
      judge.Count(c.name, Verdict::Refused, Since(start), "hung up");
      run.Pause(100ms);
      continue;
    }
    // The server may answer and close before the whole request is sent.
    SendAll(fd.get(), c.request);
    const RawReply reply = ReadReply(fd.get(), 30s);
    const bool allowed = std::find(c.statuses.begin(), c.statuses.end(), reply.status) != c.statuses.end();
    if (allowed || (c.mayClose && reply.status == 0 && reply.closed))
      judge.Count(c.name, Verdict::Refused, Since(start), reply.status ? "HTTP " + std::to_string(reply.status) : "closed");
    else
      judge.Fail(c.name, start, reply.status ? "HTTP " + std::to_string(reply.status) : "no answer",
                 "answered HTTP " + std::to_string(reply.status) + (reply.timedOut ? " (nothing within 30 s)" : "") +
                     ": " + Slot::Describe(reply.body));
    run.Pause(100ms);
  }
}

// Signed requests with large answers (a 3 MB Vesk object, a Query of 20,000
// rows) whose clients hang up right after sending, after the first bytes of
// the answer, or with a reset; now and then one read whole, which must
// still come.
void RunDropper(Run& run, int index) {
  Judge judge(run);
  const std::string& user = run.names.users[static_cast<size_t>(index) % run.names.users.size()];
  RawSession session;
  while (!run.stopLoad) {
    const auto start = Clock::now();
    std::string why;
    if (session.SignIn(run.Port(static_cast<uint64_t>(index)), user, run.names.password, why)) break;
    judge.Fail("SignIn (raw)", start, "failed", user + ": " + why);
    run.Pause(1s);
  }
  const std::pair<std::string, std::string> big[] = {{"name", "soakbig"}};
  const std::pair<std::string, std::string> query[] = {
      {"sqlstmt", "<query><get><content>record</content><target><provider>MSDASQL.1</provider><dsn>sample</dsn>"
                  "<catalog>main</catalog><table>big</table></target></get></query>"}};
  for (uint64_t n = static_cast<uint64_t>(index); !run.stopLoad; ++n) {
    const bool content = n % 2 == 0;
    const std::string request = content ? session.Request("GetVOContent", big) : session.Request("Query", query);
    const auto start = Clock::now();
    const int mode = static_cast<int>(n / 2 % 8);
    const char* kind = mode == 7 ? (content ? "dropper GetVOContent read whole" : "dropper Query read whole")
                                 : (content ? "dropper GetVOContent hung up" : "dropper Query hung up");
    UniqueFd fd = Dial(run.Port(static_cast<uint64_t>(index)));
    if (request.empty() || !fd.valid() || !SendAll(fd.get(), request)) {
      judge.Fail(kind, start, "cannot send", request.empty() ? "no request token" : "cannot send");
      run.Pause(1s);
      continue;
    }
    if (mode == 7) {
      const RawReply reply = ReadReply(fd.get(), 60s);
      if (reply.status == 200 && reply.body.size() > (1u << 20))
        judge.Count(kind, Verdict::Ok, Since(start), {});
      else
        judge.Fail(kind, start, "HTTP " + std::to_string(reply.status),
                   "HTTP " + std::to_string(reply.status) + ", " + std::to_string(reply.body.size()) + " bytes: " +
                       Slot::Describe(reply.body));
    } else {
      if (mode % 3 == 1) {
        pollfd p{fd.get(), POLLIN, 0};
        char buffer[4096];
        if (::poll(&p, 1, 30000) > 0) ::recv(fd.get(), buffer, sizeof buffer, 0);
      }
      if (mode % 3 == 2) {
        const linger reset{1, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      }
      fd.Reset();
      judge.Count(kind, Verdict::Ok, Since(start), {});
    }
    run.Pause(300ms);
  }
}

}  // namespace quor::soak
