// What the soak's threads share: the options, the names of the instance's
// users and objects, the counting books, the windows in which PostgreSQL is
// being restarted (failures inside one are explained), the objects every
// user locks and writes, and the judging of one call through the console's
// client against what a right answer looks like.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "admin/VeltService.h"
#include "bench/soak_ledger.h"
#include "bench/soak_stats.h"
#include "platform/soap/envelope.h"
#include "platform/text/text.h"
#include "platform/xml/dom.h"
#include "platform/xml/escape.h"

namespace quor::soak {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Options {
  double minutes = 10;
  int clients = 48;        // steady clients, each a session of its own
  int pulseClients = 64;   // clients of the load pulses
  int users = 8;           // users the clients sign in as
  int pulseOnMs = 150, pulseOffMs = 150;
  int thinkMs = 100;       // the steady clients' pause between calls, on average
  std::string pg;          // the repository's ODBC string (its tables made); empty: SQLite
  std::string pgRestart;   // a shell command that restarts PostgreSQL
  double pgRestartEvery = 60;
  int servers = 1;         // quor-servers on the one repository (2 only with PostgreSQL)
  uint64_t seed = 0;
  fs::path dir;            // the soak's folder; empty: a new one under the temporary folder
  bool keep = false;       // keep the folder after a passing run
  std::vector<std::string> serverArgs;
};

// The statuses a call may be refused with.
namespace status {
// Every failed sign-in answers this, whatever the directory said.
inline constexpr HRESULT kSignInFailed = static_cast<HRESULT>(0x81000060);
inline constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT kUserInAcl = static_cast<HRESULT>(0x8100003A);
inline constexpr HRESULT kNoAclEntry = static_cast<HRESULT>(0x8100003D);
inline constexpr HRESULT kMessageExists = static_cast<HRESULT>(0x81000066);
inline constexpr HRESULT kAdministratorOnly = static_cast<HRESULT>(0x8100006B);
inline constexpr HRESULT kVeskLocked = static_cast<HRESULT>(0x8100006F);
inline constexpr HRESULT kUnlockRefused = static_cast<HRESULT>(0x81000070);
inline constexpr HRESULT kLockedByOther = static_cast<HRESULT>(0x81000071);
inline constexpr HRESULT kUriInvalid = static_cast<HRESULT>(0x81000072);
inline constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x81000077);
inline constexpr HRESULT kNotActive = static_cast<HRESULT>(0x81000005);
inline constexpr HRESULT kShared = static_cast<HRESULT>(0x81000006);
}  // namespace status

inline std::string Hex(HRESULT hr) { return text::Format("0x%08X", static_cast<uint32_t>(hr)); }
inline std::string XmlText(std::string_view text) { return xml::Escaped(text); }
inline const std::string kResultOk = "<root><resultCode>0</resultCode></root>";

// The names of the run, unique so that a shared PostgreSQL keeps them apart.
struct Names {
  std::string prefix;
  std::vector<std::string> users;
  std::string admin, intruder;
  std::string password = "soak-pw";
  std::vector<std::string> staffGroup, opsGroup;  // members
  static constexpr const char* kStaff = "SoakStaff";
  static constexpr const char* kOps = "SoakOps";
};

// A Vesk object of users[0] that every user may lock and write. Writes are
// made only under the server's lock, so the order of their versions, taken
// once the lock is held, is the order the server wrote them in.
struct SharedDoc {
  std::string uri;
  std::mutex lock;
  uint64_t version = 0;
  uint64_t ackedVersion = 0;
  Written acked{.absent = true};
  std::vector<std::pair<uint64_t, Written>> unsure;

  uint64_t Take() {
    std::lock_guard guard(lock);
    return ++version;
  }
  void Sent(uint64_t v, const Written& w) {
    std::lock_guard guard(lock);
    unsure.emplace_back(v, w);
  }
  void Acked(uint64_t v, const Written& w) {
    std::lock_guard guard(lock);
    std::erase_if(unsure, [&](const auto& u) { return u.first <= v; });
    if (v > ackedVersion) {
      ackedVersion = v;
      acked = w;
    }
  }
  // Whether `found` may be what the server holds now: the last acknowledged
  // value or one sent after it.
  bool Allows(const std::string& found) {
    std::lock_guard guard(lock);
    if (!acked.absent && found == TextOf(acked)) return true;
    for (const auto& [v, w] : unsure)
      if (v > ackedVersion && found == TextOf(w)) return true;
    return false;
  }
};

// One call through the console's client.
struct Reply {
  bool ok = false;
  std::string decoded;
  HRESULT status = S_OK;  // the fault's status; S_OK when no fault answer came
  std::string fault;
  Clock::time_point start, end;
};

// The text of each element named `name` in `answer`, in document order;
// nullopt when the answer is no XML.
inline std::optional<std::vector<std::string>> Texts(std::string_view answer, std::string_view name) {
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(answer) || !doc->documentElement()) return std::nullopt;
  std::vector<std::string> texts;
  std::vector<xml::NodePtr> pending{doc->documentElement()};
  while (!pending.empty()) {
    const xml::NodePtr node = pending.back();
    pending.pop_back();
    if (node->nodeType() != xml::NodeType::Element) continue;
    if (node->nodeName() == name) texts.push_back(node->text());
    const auto children = node->childNodes();
    for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(*it);
  }
  return texts;
}

// The root element's text of "<root>TEXT</root>" ("" for "<root/>"); nullopt
// when the answer is not that.
inline std::optional<std::string> RootText(std::string_view answer) {
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(answer) || !doc->documentElement() || doc->documentElement()->nodeName() != "root")
    return std::nullopt;
  return doc->documentElement()->text();
}

class Run {
 public:
  Options options;
  Names names;
  // Of each server; a thread given index i uses server i % the servers' number.
  std::vector<int> ports;
  std::vector<std::string> coreUrls;
  Clock::time_point start = Clock::now();
  std::atomic<bool> stopLoad{false};
  Books books;
  std::atomic<uint64_t> acknowledged{0};  // writes the server acknowledged
  std::vector<std::unique_ptr<SharedDoc>> docs;
  std::atomic<int64_t> restarts{0};
  // Rows inserted into the data source by Query.
  std::mutex rowsLock;
  std::set<int64_t> rowsAcked, rowsUnsure;
  std::atomic<int64_t> nextRow{1000};
  std::atomic<int> inFlight{0};  // signed-in calls of the soak waiting for their answers
  // The rounds across two servers (sharing; a resume settled through the
  // other server): those that ran to their end, those a failure broke off,
  // and those whose checks found a lost edit or a wrong put.
  struct Rounds {
    std::atomic<uint64_t> done{0}, broken{0}, wrong{0};
  };
  Rounds crossSharing, crossResumes;

  int Servers() const { return static_cast<int>(ports.size()); }
  int Port(uint64_t i) const { return ports[i % ports.size()]; }
  const std::string& CoreUrl(uint64_t i) const { return coreUrls[i % coreUrls.size()]; }

  double Seconds(Clock::time_point t = Clock::now()) const { return std::chrono::duration<double>(t - start).count(); }

  // A PostgreSQL restart begins (or has ended: failures stay explained for
  // a grace after it, while the server's pool opens again).
  void RestartWindow(bool begins) {
    const int64_t until = begins ? INT64_MAX : (Clock::now() + 15s).time_since_epoch().count();
    explainedUntil_.store(until);
  }
  bool Explained(Clock::time_point t) const { return t.time_since_epoch().count() <= explainedUntil_.load(); }

  // Waits `d`, or less when the load stops.
  void Pause(std::chrono::milliseconds d) const {
    const auto until = Clock::now() + d;
    while (!stopLoad && Clock::now() < until) std::this_thread::sleep_for(std::min<Clock::duration>(until - Clock::now(), 50ms));
  }

 private:
  std::atomic<int64_t> explainedUntil_{INT64_MIN};
};

// One call through the console's client, counted among the calls in flight.
inline Reply Call(Run& run, admin::CVeltService& client, std::string_view method,
                  std::initializer_list<std::pair<std::string_view, std::string_view>> params = {}) {
  Reply r;
  struct InFlight {
    std::atomic<int>& n;
    explicit InFlight(std::atomic<int>& count) : n(count) { ++n; }
    ~InFlight() { --n; }
  } inFlight(run.inFlight);
  r.start = Clock::now();
  if (client.BeginRequest(method) != 0) {
    r.fault = "no session";
    r.end = Clock::now();
    return r;
  }
  for (const auto& [name, value] : params) client.AddParameter(name, value);
  r.ok = client.Invoke();
  r.end = Clock::now();
  if (r.ok) {
    r.decoded = client.DecodedResult();
    return r;
  }
  r.fault = client.FormatFault();
  if (!client.LastAnswer().empty()) {
    const quor::Result<soap::Answer> answer = soap::ParseAnswer(client.LastAnswer());
    if (answer.ok() && answer->isFault) r.status = answer->fault.status;
  }
  return r;
}

// One thread's judge: counts each call in the thread's book.
class Judge {
 public:
  explicit Judge(Run& run) : run_(run), book_(run.books.NewBook()) {}

  // Failed when `wrong` says what was wrong with the answer (a wrong answer
  // is never explained); else Ok when the call answered, Refused when it
  // failed with one of `refusals`.
  Verdict operator()(std::string_view kind, const Reply& r, std::string_view wrong = {},
                     std::initializer_list<HRESULT> refusals = {}) {
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(r.end - r.start);
    if (!wrong.empty()) {
      run_.books.Note(run_.Seconds(r.end), std::string(kind) + ": wrong answer: " + std::string(wrong));
      return Count(kind, Verdict::Failed, took, "wrong answer");
    }
    if (r.ok) return Count(kind, Verdict::Ok, took, {});
    for (HRESULT refusal : refusals)
      if (r.status == refusal) return Count(kind, Verdict::Refused, took, Hex(r.status));
    const std::string reason = r.status != S_OK ? Hex(r.status) : "no answer";
    if (run_.Explained(r.end)) return Count(kind, Verdict::Explained, took, reason);
    run_.books.Note(run_.Seconds(r.end), std::string(kind) + ": " + r.fault);
    return Count(kind, Verdict::Failed, took, reason);
  }

  // A result of the soak's own making (a raw exchange, a sign-in).
  Verdict Count(std::string_view kind, Verdict verdict, std::chrono::microseconds took, std::string_view reason) {
    book_.Count(kind, verdict, took, reason);
    return verdict;
  }
  // An unexpected failure with its text, explained inside a restart window.
  Verdict Fail(std::string_view kind, Clock::time_point start, std::string_view reason, const std::string& text) {
    const auto end = Clock::now();
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(end - start);
    if (run_.Explained(end)) return Count(kind, Verdict::Explained, took, reason);
    run_.books.Note(run_.Seconds(end), std::string(kind) + ": " + text);
    return Count(kind, Verdict::Failed, took, reason);
  }
  Run& run() { return run_; }

 private:
  Run& run_;
  Book& book_;
};

// The threads of the load, each until run.stopLoad.
class Worker;
struct WorkerDelete {
  void operator()(Worker* worker) const;
};
using WorkerPtr = std::unique_ptr<Worker, WorkerDelete>;
// Worker `index` works through server index % the servers' number.
WorkerPtr MakeWorker(Run& run, int index);
void RunWorker(Worker& worker);
// Every write the worker's keys hold, read back through `server`; failures
// noted. The number of values checked and of those lost or wrong.
void ReadBack(Worker& worker, int server, uint64_t& checked, uint64_t& lost);
// The worker's acknowledged log rows, by user: "kind/writer/step" tags.
void EndSession(Worker& worker);
void LogTags(Worker& worker, std::map<std::string, std::set<std::string>>& acked,
             std::map<std::string, std::set<std::string>>& unsure);

void RunPulseClient(Run& run, int index);
void RunAdmin(Run& run, int server);
void RunIntruder(Run& run);
void RunSlowClient(Run& run, int index);
void RunIdleClients(Run& run, int server);
void RunHostile(Run& run);
void RunDropper(Run& run, int index);

// A client signed in to `server`, retried while the load runs; null when
// the load stopped.
std::unique_ptr<admin::CVeltService> SignIn(Run& run, Judge& judge, const std::string& user, int server);

}  // namespace quor::soak
