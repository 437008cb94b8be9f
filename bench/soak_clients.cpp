// The signed-in clients of the soak: the steady clients, each a session of
// its own making every kind of call on keys it alone writes (share fields
// with their messages and ACL entries, Vesk objects, resources, log rows,
// data-source rows) and locking the objects all users share; the clients of
// the load pulses; the administrator's reloads. Every answer is checked
// against what the client knows it wrote.
#include <algorithm>
#include <charconv>

#include "bench/soak_run.h"

namespace quor::soak {

using admin::CVeltService;

std::unique_ptr<CVeltService> SignIn(Run& run, Judge& judge, const std::string& user, int server) {
  while (!run.stopLoad) {
    auto client = std::make_unique<CVeltService>();
    const auto start = Clock::now();
    const int rc = client->Connect(run.CoreUrl(static_cast<uint64_t>(server)), user, run.names.password);
    if (rc == 0) {
      judge.Count("SignIn", Verdict::Ok, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start), {});
      return client;
    }
    judge.Fail("SignIn", start, "sign-in " + std::to_string(rc), user + ": " + client->FormatFault());
    run.Pause(500ms);
  }
  return nullptr;
}

namespace {

constexpr int kFields = 6, kObjects = 6, kResources = 4;
constexpr size_t kDocsPerGroup = 4;
constexpr uint32_t kCollabLog = 0x80000000u;

enum class Read { NoAnswer, Right, Wrong };

struct Field {
  std::string name, uri;
  Slot text, message;
  std::optional<std::string> acl;  // the partner's rights, when an entry is there
  bool aclUnknown = false;
  bool sharing = false;  // a cycle broke off: sharing may still be on
};

struct Object {
  std::string name, uri;
  Slot content;
};

struct Resource {
  std::string name;
  Slot creator, props;  // creator absent: no resource
  bool aclUnknown = false;
};

std::string Entry(std::string_view user, std::string_view rights) {
  return "<control><user>" + XmlText(user) + "</user><access>" + std::string(rights) + "</access></control>";
}

std::string DefaultAcl(std::string_view owner, const std::optional<std::string>& partnerEntry) {
  return "<VOACL>" + Entry(owner, "rwdarawad") + Entry("administrator", "rwdarawad") + partnerEntry.value_or("") +
         "</VOACL>";
}

std::optional<int64_t> Number(std::string_view text) {
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return n;
}

}  // namespace

class Worker {
 public:
  Worker(Run& run, int index)
      : run_(run),
        index_(index),
        server_(index % run.Servers()),
        judge_(run),
        rng_(run.options.seed * 1000003u + static_cast<uint64_t>(index)) {
    const int users = static_cast<int>(run.names.users.size());
    user_ = run.names.users[static_cast<size_t>(index % users)];
    partner_ = run.names.users[static_cast<size_t>((index + 1) % users)];
    const std::string tag = "w" + std::to_string(index);
    for (int k = 0; k < kFields; ++k) {
      Field& f = fields_.emplace_back();
      f.name = tag + "f" + std::to_string(k);
      f.uri = "urn:vocontent:covodb000:" + user_ + "-" + f.name;
    }
    for (int k = 0; k < kObjects; ++k) {
      Object& o = objects_.emplace_back();
      o.name = tag + "v" + std::to_string(k);
      o.uri = "urn:vocontent:vodb000:" + user_ + "-" + o.name;
    }
    for (int k = 0; k < kResources; ++k) resources_.emplace_back().name = run.names.prefix + tag + "r" + std::to_string(k);
  }

  void Loop() {
    client_ = SignIn(run_, judge_, user_, server_);
    while (client_ && !run_.stopLoad) {
      Step();
      if (run_.options.thinkMs > 0)
        std::this_thread::sleep_for(std::chrono::microseconds(rng_() % (2000u * static_cast<unsigned>(run_.options.thinkMs))));
    }
    // A lock taken and not given back would hold the others off for good.
    if (client_ && heldDoc_ >= 0) {
      const Reply r = Call(run_, *client_, "UnlockVO", {{"uri", run_.docs[static_cast<size_t>(heldDoc_)]->uri}});
      judge_("UnlockVO", r, Expect(r, kResultOk), {status::kUnlockRefused});
    }
  }

  void ReadBack(int server, uint64_t& checked, uint64_t& lost) {
    std::unique_ptr<CVeltService>& session = server == server_ ? client_ : other_;
    if (!session) session = SignInNow(server);
    if (!session) {
      lost += 1;
      run_.books.Note(run_.Seconds(), user_ + ": cannot sign in to server " + std::to_string(server + 1) + " to read back");
      return;
    }
    CVeltService& via = *session;
    const auto verdict = [&](bool right, const std::string& what) {
      ++checked;
      if (right) return;
      ++lost;
      run_.books.Note(run_.Seconds(), "read back: " + what);
    };
    // A wrong answer is noted with what it held when it was judged.
    for (Field& f : fields_) {
      const Read field = ReadField(f, via);
      verdict(field == Read::Right, f.uri + (field == Read::Wrong ? ": wrong (see above)" : ": no answer"));
      if (field != Read::Right || f.text.acked.absent) continue;
      if (!f.aclUnknown) {
        const Reply r = Call(run_, via, "GetACL", {{"uri", f.uri}});
        const std::string want = "<root>" + DefaultAcl(user_, f.acl ? std::optional(Entry(partner_, *f.acl)) : std::nullopt) + "</root>";
        verdict(r.ok && r.decoded == want, f.uri + " ACL " + r.decoded + r.fault + ", expected " + want);
      }
      const Read message = ReadMessage(f, via);
      verdict(message == Read::Right, f.uri + " message" + (message == Read::Wrong ? ": wrong (see above)" : ": no answer"));
    }
    for (Object& o : objects_) {
      const Read object = ReadObject(o, via);
      verdict(object == Read::Right, o.uri + (object == Read::Wrong ? ": wrong (see above)" : ": no answer"));
    }
    for (Resource& res : resources_) {
      std::optional<std::string> creator, props;
      const bool read = ReadResource(res, via, creator, props);
      verdict(read && res.creator.Check(creator), res.name + " creator " + creator.value_or("(absent)") + ", written " +
                                                      res.creator.Expected());
      if (read && creator)
        verdict(res.props.Check(props), res.name + " props " + props.value_or("(absent)") + ", written " +
                                            res.props.Expected());
    }
  }

  void LogTags(std::map<std::string, std::set<std::string>>& acked,
               std::map<std::string, std::set<std::string>>& unsure) const {
    for (uint32_t tag : logsAcked_) acked[user_].insert(LogText(tag));
    for (uint32_t tag : logsUnsure_) unsure[user_].insert(LogText(tag));
  }

  void EndSession() {
    for (auto* session : {&client_, &other_, &attendee_})
      if (*session) (*session)->EndSession();
  }

 private:
  // ---- One step of the mix ---------------------------------------------------------
  void Step() {
    const unsigned pick = static_cast<unsigned>(rng_() % 100);
    ++step_;
    if (run_.Servers() > 1) {
      const unsigned cross = static_cast<unsigned>(rng_() % 100);
      if (cross < 2) return CrossSharingStep();
      if (cross < 4) return CrossResumeStep();
    }
    if (pick < 22) return FieldStep();
    if (pick < 24) return ResumeStep();
    if (pick < 32) return MessageStep();
    if (pick < 39) return AclStep();
    if (pick < 42) return SharingStep();
    if (pick < 62) return ObjectStep();
    if (pick < 70) return LockStep();
    if (pick < 78) return ResourceStep();
    if (pick < 84) return LogStep();
    if (pick < 90) return QueryStep();
    if (pick < 94) return DirectoryStep();
    if (pick < 98) return ListStep();
    if (pick < 99) {
      // Only administrators reload: a plain user is refused, and nothing changes.
      const Reply r = Call(run_, *client_, "ReLoadConfig");
      judge_("ReLoadConfig (not administrator)", r, r.ok ? "a plain user reloaded: " + r.decoded : "",
             {status::kAdministratorOnly});
      return;
    }
    // A new session now and then: sign-ins, sessions closed and opened under load.
    const auto start = Clock::now();
    const bool closed = client_->CloseSession();
    judge_.Count("CloseSession", closed ? Verdict::Ok : Verdict::Failed,
                 std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start), closed ? "" : "failed");
    if (!closed) judge_.Fail("CloseSession", start, "failed", client_->FormatFault());
    client_ = SignIn(run_, judge_, user_, server_);
  }

  Written Next(char kind, uint32_t size) { return Written{kind, static_cast<uint32_t>(index_), step_, size}; }

  uint32_t FieldSize() {
    const unsigned r = static_cast<unsigned>(rng_() % 100);
    if (r < 90) return 20 + static_cast<uint32_t>(rng_() % 2000);
    if (r < 99) return 2000 + static_cast<uint32_t>(rng_() % 30000);
    return (64u << 10) + static_cast<uint32_t>(rng_() % (192u << 10));
  }
  uint32_t ContentSize() {
    const unsigned r = static_cast<unsigned>(rng_() % 100);
    if (r < 90) return 50 + static_cast<uint32_t>(rng_() % 8000);
    if (r < 99) return (8u << 10) + static_cast<uint32_t>(rng_() % (248u << 10));
    return (1u << 20) + static_cast<uint32_t>(rng_() % (2u << 20));
  }

  static std::string Expect(const Reply& r, std::string_view answer) {
    if (!r.ok || r.decoded == answer) return {};
    return "answered " + Slot::Describe(r.decoded) + ", expected " + std::string(answer);
  }
  static std::string Describe(const std::optional<std::string>& found) {
    return found ? Slot::Describe(*found) : "(absent)";
  }

  // ---- Share fields ---------------------------------------------------------------
  // Reads the field and checks it against what was written (a right answer
  // settles the slot).
  Read ReadField(Field& f, CVeltService& via, std::string_view kind = "GetShareField") {
    const Reply r = Call(run_, via, "GetShareField", {{"uri", f.uri}});
    const std::string expected = f.text.Expected();
    if (!r.ok && r.status == status::kUriInvalid && run_.Explained(r.end)) {
      // While the database restarts a failed read may answer "no such URN".
      judge_(kind, r);
      return Read::NoAnswer;
    }
    if (!r.ok && r.status == status::kUriInvalid) {
      const bool right = f.text.Check(std::nullopt);
      judge_(kind, r, right ? "" : "no field " + f.uri + ", written " + expected, {status::kUriInvalid});
      return right ? Read::Right : Read::Wrong;
    }
    if (!r.ok) {
      judge_(kind, r);
      return Read::NoAnswer;
    }
    const bool right = f.text.CheckAnswer(r.decoded, "<root><field>", "</field></root>", "<root><field/></root>");
    judge_(kind, r, right ? "" : f.uri + " answered " + Slot::Describe(r.decoded) + ", written " + expected);
    return right ? Read::Right : Read::Wrong;
  }

  // Reads an unsettled field until it is settled; false when it is not.
  bool Settle(Field& f) {
    if (f.sharing) {
      const Reply r = Call(run_, *client_, "EndSharing", {{"uri", f.uri}});
      judge_("EndSharing", r, Expect(r, kResultOk), {status::kNotActive, status::kUriInvalid});
      if (r.ok || r.status == status::kNotActive || r.status == status::kUriInvalid) f.sharing = false;
      else return false;
    }
    if (!f.text.Settled() && ReadField(f, *client_) != Read::Right) return false;
    // No field, no message and no entries (a new one starts without).
    if (f.text.acked.absent) {
      f.message = Slot{};
      f.acl.reset();
      f.aclUnknown = false;
      return true;
    }
    if (!f.message.Settled() && ReadMessage(f, *client_) != Read::Right) return false;
    if (f.aclUnknown) {
      const Reply r = Call(run_, *client_, "GetACLEntry", {{"uri", f.uri}, {"acluser", partner_}});
      judge_("GetACLEntry", r);
      if (!r.ok) return false;
      if (r.decoded.empty()) f.acl.reset();
      else if (const auto rights = Texts(r.decoded, "access"); rights && rights->size() == 1) f.acl = rights->front();
      else return false;
      f.aclUnknown = false;
    }
    return true;
  }

  void FieldStep() {
    Field& f = fields_[rng_() % fields_.size()];
    if (!Settle(f)) return;
    if (f.text.acked.absent) {
      const Written w = Next('f', FieldSize());
      f.text.Sent(w);
      const Reply r = Call(run_, *client_, "PutShareField", {{"author", user_}, {"name", f.name}, {"field", TextOf(w)}});
      if (judge_("PutShareField", r,
                 Expect(r, "<root><resultCode>0</resultCode><uri>" + XmlText(f.uri) + "</uri></root>")) == Verdict::Ok) {
        f.text.Acked();
        f.message = Slot{};
        f.acl.reset();
        ++run_.acknowledged;
      }
      return;
    }
    const unsigned pick = static_cast<unsigned>(rng_() % 100);
    if (pick < 45) {
      const Written w = Next('f', FieldSize());
      f.text.Sent(w);
      const Reply r = Call(run_, *client_, "UpdateShareField", {{"uri", f.uri}, {"field", TextOf(w)}});
      if (judge_("UpdateShareField", r, Expect(r, "")) == Verdict::Ok) {
        f.text.Acked();
        ++run_.acknowledged;
      }
    } else if (pick < 85) {
      ReadField(f, *client_);
    } else {
      f.text.Sent(Written{.absent = true});
      f.message.Sent(Written{.absent = true});
      const Reply r = Call(run_, *client_, "RemoveShareField", {{"uri", f.uri}});
      if (judge_("RemoveShareField", r, Expect(r, kResultOk)) == Verdict::Ok) {
        f.text.Acked();
        f.message.Acked();
        f.acl.reset();
        f.aclUnknown = false;
        ++run_.acknowledged;
      } else {
        f.aclUnknown = true;
      }
    }
  }

  // A put over an existing field is queued; its entry is replayed (the put
  // made, the field started afresh) or dropped.
  void ResumeStep() {
    Field& f = fields_[rng_() % fields_.size()];
    if (!Settle(f) || f.text.acked.absent) return;
    const Written w = Next('f', FieldSize());
    Reply r = Call(run_, *client_, "PutShareField", {{"author", user_}, {"name", f.name}, {"field", TextOf(w)}});
    std::string key;
    if (r.ok) {
      const auto ids = Texts(r.decoded, "resumeID");
      if (ids && ids->size() == 1 && r.decoded.starts_with("<root><resultCode>1</resultCode><resumeID>")) key = ids->front();
    }
    if (judge_("PutShareField (existing)", r, r.ok && key.empty() ? "not a resume answer: " + Slot::Describe(r.decoded) : "") !=
        Verdict::Ok)
      return;
    r = Call(run_, *client_, "GetResumeIDList", {{"name", f.name}});
    judge_("GetResumeIDList", r,
           r.ok && r.decoded.find("<resumeID>" + key + "</resumeID>") == std::string::npos
               ? key + " not listed: " + Slot::Describe(r.decoded)
               : "");
    const bool replay = rng_() % 2 == 0;
    if (replay) {
      f.text.Sent(w);
      f.message.Sent(Written{.absent = true});
    }
    r = Call(run_, *client_, "ResumeServiceProcess", {{"resumeID", key}, {"flag", replay ? "TRUE" : "no"}});
    if (judge_("ResumeServiceProcess", r, Expect(r, kResultOk)) == Verdict::Ok) {
      if (replay) {
        f.text.Acked();
        f.message.Acked();
        f.acl.reset();
        ++run_.acknowledged;
      }
    } else if (replay) {
      f.aclUnknown = true;
    }
  }

  // ---- Messages -------------------------------------------------------------------
  Read ReadMessage(Field& f, CVeltService& via) {
    const Reply r = Call(run_, via, "GetMessage", {{"uri", f.uri}});
    if (!r.ok) {
      judge_("GetMessage", r, {}, {status::kUriInvalid});
      return Read::NoAnswer;
    }
    const std::string expected = f.message.Expected();
    const bool right = f.message.CheckAnswer(r.decoded, "<root><message>", "</message></root>", "<root><message/></root>");
    judge_("GetMessage", r, right ? "" : f.uri + " message " + Slot::Describe(r.decoded) + ", written " + expected);
    return right ? Read::Right : Read::Wrong;
  }

  void MessageStep() {
    Field& f = fields_[rng_() % fields_.size()];
    if (!Settle(f) || f.text.acked.absent) return;
    const unsigned pick = static_cast<unsigned>(rng_() % 100);
    const Written w = Next('m', 10 + static_cast<uint32_t>(rng_() % 400));
    if (pick < 30) {
      // A message is put only where there is none.
      const bool empty = f.message.acked.absent;
      if (empty) f.message.Sent(w);
      const Reply r = Call(run_, *client_, "PutMessage", {{"uri", f.uri}, {"message", TextOf(w)}});
      const Verdict v = judge_(empty ? "PutMessage" : "PutMessage (one there)", r,
                               empty ? Expect(r, kResultOk) : r.ok ? "put over a message" : "",
                               empty ? std::initializer_list<HRESULT>{} : std::initializer_list<HRESULT>{status::kMessageExists});
      if (empty && v == Verdict::Ok) {
        f.message.Acked();
        ++run_.acknowledged;
      }
    } else if (pick < 55) {
      f.message.Sent(w);
      const Reply r = Call(run_, *client_, "UpdateMessage", {{"uri", f.uri}, {"message", TextOf(w)}});
      if (judge_("UpdateMessage", r, Expect(r, kResultOk)) == Verdict::Ok) {
        f.message.Acked();
        ++run_.acknowledged;
      }
    } else if (pick < 85) {
      ReadMessage(f, *client_);
    } else {
      f.message.Sent(Written{.absent = true});
      const Reply r = Call(run_, *client_, "RemoveMessage", {{"uri", f.uri}});
      if (judge_("RemoveMessage", r, Expect(r, kResultOk)) == Verdict::Ok) {
        f.message.Acked();
        ++run_.acknowledged;
      }
    }
  }

  // ---- ACL entries for the partner ------------------------------------------------
  void AclStep() {
    Field& f = fields_[rng_() % fields_.size()];
    if (!Settle(f) || f.text.acked.absent) return;
    static constexpr std::string_view kRights[] = {"r", "rw", "ar", "araw", "rwdarawad"};
    const std::string rights(kRights[rng_() % std::size(kRights)]);
    const unsigned pick = static_cast<unsigned>(rng_() % 100);
    if (pick < 25) {
      const bool none = !f.acl.has_value();
      const Reply r = Call(run_, *client_, "PutACLEntry", {{"uri", f.uri}, {"acluser", partner_}, {"accright", rights}});
      const Verdict v = judge_(none ? "PutACLEntry" : "PutACLEntry (one there)", r,
                               none ? Expect(r, kResultOk) : r.ok ? "a second entry for one user" : "",
                               none ? std::initializer_list<HRESULT>{} : std::initializer_list<HRESULT>{status::kUserInAcl});
      if (none && v == Verdict::Ok) {
        f.acl = rights;
        ++run_.acknowledged;
      } else if (none && v != Verdict::Refused) {
        f.aclUnknown = true;
      }
    } else if (pick < 45 && f.acl) {
      const Reply r = Call(run_, *client_, "UpdateACLEntry", {{"uri", f.uri}, {"acluser", partner_}, {"accright", rights}});
      if (judge_("UpdateACLEntry", r) == Verdict::Ok) {
        f.acl = rights;
        ++run_.acknowledged;
      } else {
        f.aclUnknown = true;
      }
    } else if (pick < 60 && f.acl) {
      const Reply r = Call(run_, *client_, "DeleteACLEntry", {{"uri", f.uri}, {"acluser", partner_}});
      if (judge_("DeleteACLEntry", r) == Verdict::Ok) {
        f.acl.reset();
        ++run_.acknowledged;
      } else {
        f.aclUnknown = true;
      }
    } else if (pick < 80) {
      const Reply r = Call(run_, *client_, "GetACLEntry", {{"uri", f.uri}, {"acluser", partner_}});
      const std::string want = f.acl ? Entry(partner_, *f.acl) : "";
      judge_("GetACLEntry", r, Expect(r, want));
    } else {
      const Reply r = Call(run_, *client_, "GetACL", {{"uri", f.uri}});
      judge_("GetACL", r,
             Expect(r, "<root>" + DefaultAcl(user_, f.acl ? std::optional(Entry(partner_, *f.acl)) : std::nullopt) +
                           "</root>"));
    }
  }

  // ---- Sharing: start, attendees, save, end ---------------------------------------
  void SharingStep() {
    Field& f = fields_[rng_() % fields_.size()];
    if (!Settle(f) || f.text.acked.absent) return;
    f.sharing = true;
    Reply r = Call(run_, *client_, "StartSharing", {{"ipaddress", "10.0.0." + std::to_string(index_ % 250)}, {"uri", f.uri}});
    const bool field = r.ok && f.text.CheckAnswer(r.decoded, "<root><field>", "</field></root>", "<root><field/></root>", false);
    if (judge_("StartSharing", r, r.ok && !field ? "not the field: " + Slot::Describe(r.decoded) : "") != Verdict::Ok)
      return;
    r = Call(run_, *client_, "GetAttendeesList", {{"uri", f.uri}});
    judge_("GetAttendeesList", r, Expect(r, "<root><attendee>" + XmlText(user_) + "</attendee></root>"));
    r = Call(run_, *client_, "GetShareFieldAttribute", {{"uri", f.uri}});
    judge_("GetShareFieldAttribute", r,
           r.ok && r.decoded.find("<active>true</active>") == std::string::npos ? "not active: " + Slot::Describe(r.decoded)
                                                                                : "");
    // While shared, plain writes keep off.
    r = Call(run_, *client_, "UpdateShareField", {{"uri", f.uri}, {"field", "refused"}});
    judge_("UpdateShareField (shared)", r, r.ok ? "a plain write to a shared field" : "",
           {static_cast<HRESULT>(0x81000006)});
    const Written w = Next('f', FieldSize());
    f.text.Sent(w);
    r = Call(run_, *client_, "SaveSharing", {{"uri", f.uri}, {"field", TextOf(w)}});
    if (judge_("SaveSharing", r) == Verdict::Ok) {
      f.text.Acked();
      ++run_.acknowledged;
    }
    r = Call(run_, *client_, "EndSharing", {{"uri", f.uri}});
    if (judge_("EndSharing", r, Expect(r, kResultOk)) == Verdict::Ok) f.sharing = false;
  }

  // ---- Across the two servers ----------------------------------------------------------
  // A session of `user` on the other server, signed in when first needed.
  CVeltService* Elsewhere(std::unique_ptr<CVeltService>& session, const std::string& user) {
    if (!session) session = SignIn(run_, judge_, user, server_ + 1);
    return session.get();
  }

  // How a round ended, counted when it goes: wrong when a check found a lost
  // edit or a wrong put, else done when it ran to its end, else broken off.
  struct Round {
    Run::Rounds& rounds;
    bool done = false, wrong = false;
    ~Round() { ++(wrong ? rounds.wrong : done ? rounds.done : rounds.broken); }
  };

  // Whether rights hold the content's read right ("r", not "ar").
  static bool ContentRead(std::string_view rights) {
    for (size_t i = 0; i < rights.size(); ++i) {
      if (rights[i] == 'a') ++i;
      else if (rights[i] == 'r') return true;
    }
    return false;
  }

  // The owner shares a field through its server with the partner signed in
  // to the other one: there the partner sees both attendees and is refused
  // a write while the sharing runs, the field unchanged; the owner's save is
  // what both servers read after the end.
  void CrossSharingStep() {
    Field& f = fields_[rng_() % fields_.size()];
    if (!Settle(f) || f.text.acked.absent) return;
    CVeltService* attendee = Elsewhere(attendee_, partner_);
    if (!attendee) return;
    // Attendees are measured against the ACL the sharing starts with.
    if (!f.acl || !ContentRead(*f.acl)) {
      const bool none = !f.acl;
      const Reply r = none ? Call(run_, *client_, "PutACLEntry", {{"uri", f.uri}, {"acluser", partner_}, {"accright", "rw"}})
                           : Call(run_, *client_, "UpdateACLEntry", {{"uri", f.uri}, {"acluser", partner_}, {"accright", "rw"}});
      if (judge_(none ? "PutACLEntry" : "UpdateACLEntry", r, none ? Expect(r, kResultOk) : "") != Verdict::Ok) {
        f.aclUnknown = true;
        return;
      }
      f.acl = "rw";
      ++run_.acknowledged;
    }
    Round round{run_.crossSharing};
    f.sharing = true;
    Reply r = Call(run_, *client_, "StartSharing", {{"ipaddress", "10.1.0." + std::to_string(index_ % 250)}, {"uri", f.uri}});
    const bool field = r.ok && f.text.CheckAnswer(r.decoded, "<root><field>", "</field></root>", "<root><field/></root>", false);
    round.wrong = r.ok && !field;
    if (judge_("StartSharing", r, r.ok && !field ? "not the field: " + Slot::Describe(r.decoded) : "") != Verdict::Ok)
      return;
    r = Call(run_, *client_, "AddAttendee", {{"uri", f.uri}, {"attendee", partner_}});
    if (judge_("AddAttendee", r, Expect(r, kResultOk)) != Verdict::Ok) return;
    const std::string attendees =
        "<root><attendee>" + XmlText(user_) + "</attendee><attendee>" + XmlText(partner_) + "</attendee></root>";
    r = Call(run_, *attendee, "GetAttendeesList", {{"uri", f.uri}});
    const std::string listed = Expect(r, attendees);
    round.wrong = !listed.empty();
    if (judge_("GetAttendeesList (other server)", r, listed) != Verdict::Ok) return;

    // The partner's write, through the other server, keeps off.
    const Written w = Next('a', FieldSize());
    f.text.Sent(w);
    r = Call(run_, *attendee, "UpdateShareField", {{"uri", f.uri}, {"field", TextOf(w)}});
    if (r.ok) {
      f.text.Acked();
      ++run_.acknowledged;
      // A sharing goes with its server's lease when PostgreSQL was out of
      // reach for longer; then the write is right.
      const Reply after = Call(run_, *attendee, "GetAttendeesList", {{"uri", f.uri}});
      if (run_.Explained(r.end) && after.status == status::kNotActive) {
        judge_.Count("UpdateShareField (shared, other server)", Verdict::Explained,
                     std::chrono::duration_cast<std::chrono::microseconds>(r.end - r.start), "sharing lost with the lease");
        return;
      }
      round.wrong = true;
      judge_("UpdateShareField (shared, other server)", r,
             "the attendee wrote the shared field through the other server; the sharing then answered " +
                 (after.ok ? Slot::Describe(after.decoded) : Hex(after.status)));
      return;
    }
    if (judge_("UpdateShareField (shared, other server)", r, {}, {status::kShared}) != Verdict::Refused) return;
    f.text.Dropped();
    const Read unchanged = ReadField(f, *attendee, "GetShareField (other server)");
    round.wrong = unchanged == Read::Wrong;
    if (unchanged != Read::Right) return;

    // The owner's save, then the end; both servers read the saved text.
    const Written saved = Next('f', FieldSize());
    f.text.Sent(saved);
    r = Call(run_, *client_, "SaveSharing", {{"uri", f.uri}, {"field", TextOf(saved)}});
    if (judge_("SaveSharing", r) != Verdict::Ok) return;
    f.text.Acked();
    ++run_.acknowledged;
    r = Call(run_, *client_, "EndSharing", {{"uri", f.uri}});
    if (judge_("EndSharing", r, Expect(r, kResultOk)) != Verdict::Ok) return;
    f.sharing = false;
    for (CVeltService* via : {client_.get(), attendee}) {
      const Read read = ReadField(f, *via, via == attendee ? "GetShareField (other server)" : "GetShareField");
      round.wrong = read == Read::Wrong;
      if (read != Read::Right) return;
    }
    round.done = true;
  }

  // A put over an existing field, queued through the user's server, is
  // settled by the same user through the other one; the first server then
  // reads the put (replayed) or the field as it was (dropped).
  void CrossResumeStep() {
    Field& f = fields_[rng_() % fields_.size()];
    if (!Settle(f) || f.text.acked.absent) return;
    CVeltService* other = Elsewhere(other_, user_);
    if (!other) return;
    Round round{run_.crossResumes};
    const Written w = Next('f', FieldSize());
    Reply r = Call(run_, *client_, "PutShareField", {{"author", user_}, {"name", f.name}, {"field", TextOf(w)}});
    std::string key;
    if (r.ok) {
      const auto ids = Texts(r.decoded, "resumeID");
      if (ids && ids->size() == 1 && r.decoded.starts_with("<root><resultCode>1</resultCode><resumeID>")) key = ids->front();
    }
    round.wrong = r.ok && key.empty();
    if (judge_("PutShareField (existing)", r, r.ok && key.empty() ? "not a resume answer: " + Slot::Describe(r.decoded) : "") !=
        Verdict::Ok)
      return;
    r = Call(run_, *other, "GetResumeIDList", {{"name", f.name}});
    const bool listed = !r.ok || r.decoded.find("<resumeID>" + key + "</resumeID>") != std::string::npos;
    round.wrong = !listed;
    judge_("GetResumeIDList (other server)", r, listed ? "" : key + " not listed: " + Slot::Describe(r.decoded));
    const bool replay = rng_() % 2 == 0;
    if (replay) {
      f.text.Sent(w);
      f.message.Sent(Written{.absent = true});
    }
    r = Call(run_, *other, "ResumeServiceProcess", {{"resumeID", key}, {"flag", replay ? "TRUE" : "FALSE"}});
    if (judge_("ResumeServiceProcess (other server)", r, Expect(r, kResultOk)) != Verdict::Ok) {
      if (replay) f.aclUnknown = true;
      return;
    }
    if (replay) {
      f.text.Acked();
      f.message.Acked();
      f.acl.reset();
      ++run_.acknowledged;
    }
    const Read read = ReadField(f, *client_);
    round.wrong = round.wrong || read == Read::Wrong;
    round.done = listed && read == Read::Right;
  }

  // ---- Vesk objects ---------------------------------------------------------------
  // The object's content, read by name or by URN and checked.
  Read ReadObject(Object& o, CVeltService& via, bool byUri = false) {
    const Reply r = byUri ? Call(run_, via, "GetVOContentbyURI", {{"uri", o.uri}})
                          : Call(run_, via, "GetVOContent", {{"name", o.name}});
    const char* kind = byUri ? "GetVOContentbyURI" : "GetVOContent";
    const std::string expected = o.content.Expected();
    if (byUri && !r.ok && r.status == status::kUriInvalid && run_.Explained(r.end)) {
      judge_(kind, r);
      return Read::NoAnswer;
    }
    if (byUri && !r.ok && r.status == status::kUriInvalid) {
      const bool right = o.content.Check(std::nullopt);
      judge_(kind, r, right ? "" : "no object " + o.uri + ", written " + expected, {status::kUriInvalid});
      return right ? Read::Right : Read::Wrong;
    }
    if (!r.ok) {
      judge_(kind, r);
      return Read::NoAnswer;
    }
    const bool right = o.content.CheckAnswer(r.decoded, "<root>", "</root>", "<root/>");
    judge_(kind, r, right ? "" : o.uri + " answered " + Slot::Describe(r.decoded) + ", written " + expected);
    return right ? Read::Right : Read::Wrong;
  }

  void ObjectStep() {
    Object& o = objects_[rng_() % objects_.size()];
    if (!o.content.Settled() && ReadObject(o, *client_) != Read::Right) return;
    const unsigned pick = static_cast<unsigned>(rng_() % 100);
    if (o.content.acked.absent || pick < 25) {
      const Written w = Next('v', ContentSize());
      o.content.Sent(w);
      const Reply r = Call(run_, *client_, "PutVOContent", {{"name", o.name}, {"content", TextOf(w)}});
      if (judge_("PutVOContent", r, Expect(r, kResultOk)) == Verdict::Ok) {
        o.content.Acked();
        ++run_.acknowledged;
      }
    } else if (pick < 40) {
      const Written w = Next('v', ContentSize());
      o.content.Sent(w);
      const bool byUri = rng_() % 2 == 0;
      const Reply r = byUri ? Call(run_, *client_, "UpdateVOContentbyURI", {{"uri", o.uri}, {"content", TextOf(w)}})
                            : Call(run_, *client_, "UpdateVOContent", {{"name", o.name}, {"content", TextOf(w)}});
      if (judge_(byUri ? "UpdateVOContentbyURI" : "UpdateVOContent", r, Expect(r, byUri ? "" : kResultOk)) ==
          Verdict::Ok) {
        o.content.Acked();
        ++run_.acknowledged;
      }
    } else if (pick < 85) {
      ReadObject(o, *client_, pick >= 70);
    } else if (pick < 92) {
      const Reply r = Call(run_, *client_, "GetVOAttribute", {{"uri", o.uri}});
      const auto names = r.ok ? Texts(r.decoded, "name") : std::nullopt;
      judge_("GetVOAttribute", r,
             r.ok && !(names && names->size() == 1 && names->front() == o.name) ? "not its name: " + Slot::Describe(r.decoded)
                                                                                 : "");
    } else {
      o.content.Sent(Written{.absent = true});
      const bool byUri = rng_() % 2 == 0;
      const Reply r = byUri ? Call(run_, *client_, "RemoveVOContentbyURI", {{"uri", o.uri}})
                            : Call(run_, *client_, "RemoveVOContent", {{"name", o.name}});
      if (judge_(byUri ? "RemoveVOContentbyURI" : "RemoveVOContent", r, byUri ? "" : Expect(r, kResultOk)) ==
          Verdict::Ok) {
        o.content.Acked();
        ++run_.acknowledged;
      }
    }
  }

  // ---- Locks on the objects every user shares ----------------------------------------
  void LockStep() {
    // The lock belongs to the user, not the session: each object is shared
    // by one client of each user only.
    const size_t users = run_.names.users.size();
    const size_t group = static_cast<size_t>(index_) / users;
    const size_t d = heldDoc_ >= 0 ? static_cast<size_t>(heldDoc_) : group * kDocsPerGroup + rng_() % kDocsPerGroup;
    SharedDoc& doc = *run_.docs[d];
    // The holder locking again is answered plainly; with the content it is refused.
    const bool byContent = heldDoc_ < 0 && rng_() % 3 == 0;
    Reply r = byContent ? Call(run_, *client_, "GetVOContentbyURIwithLock", {{"uri", doc.uri}})
                        : Call(run_, *client_, "LockVO", {{"uri", doc.uri}});
    std::string wrong;
    if (r.ok && r.decoded != kResultOk && !(heldDoc_ >= 0 && !byContent && r.decoded.empty()))
      wrong = "answered \"" + Slot::Describe(r.decoded) + "\"";
    const Verdict v = judge_(byContent ? "GetVOContentbyURIwithLock" : "LockVO", r, wrong, {status::kVeskLocked});
    if (v == Verdict::Refused) {
      heldDoc_ = -1;
      // Held by someone else: an unlock of ours is refused.
      r = Call(run_, *client_, "UnlockVO", {{"uri", doc.uri}});
      judge_("UnlockVO (not the holder)", r, {}, {status::kUnlockRefused});
      return;
    }
    if (v != Verdict::Ok) {
      heldDoc_ = static_cast<int>(d);  // maybe ours: given back next time
      return;
    }
    heldDoc_ = static_cast<int>(d);
    if (rng_() % 10 < 7) {
      const uint64_t version = doc.Take();
      const Written w = Next('s', 50 + static_cast<uint32_t>(rng_() % 4000));
      doc.Sent(version, w);
      r = Call(run_, *client_, "UpdateVOContentbyURIwithUnlock", {{"uri", doc.uri}, {"content", TextOf(w)}});
      if (judge_("UpdateVOContentbyURIwithUnlock", r, Expect(r, kResultOk)) == Verdict::Ok) {
        doc.Acked(version, w);
        heldDoc_ = -1;
        ++run_.acknowledged;
      }
    } else {
      r = Call(run_, *client_, "UnlockVO", {{"uri", doc.uri}});
      if (judge_("UnlockVO", r, Expect(r, kResultOk)) == Verdict::Ok) heldDoc_ = -1;
    }
  }

  // ---- Resources with attributes ----------------------------------------------------
  // creator and props of the resource; false without an answer.
  bool ReadResource(Resource& res, CVeltService& via, std::optional<std::string>& creator,
                    std::optional<std::string>& props) {
    const Reply r = Call(run_, via, "GetVOResourceAttribute", {{"name", res.name}});
    if (!r.ok) {
      judge_("GetVOResourceAttribute", r);
      return false;
    }
    const auto names = Texts(r.decoded, "name");
    const auto creators = Texts(r.decoded, "creator");
    const auto propses = Texts(r.decoded, "props");
    if (!names || !creators || !propses || names->size() > 1) {
      judge_("GetVOResourceAttribute", r, "not an attribute answer: " + Slot::Describe(r.decoded));
      return false;
    }
    creator.reset();
    props.reset();
    if (names->size() == 1 && creators->size() == 1 && propses->size() == 1) {
      creator = creators->front();
      if (!propses->front().empty()) props = propses->front();
    }
    std::string wrong;
    if (!res.creator.Check(creator, false))
      wrong = res.name + " creator " + Describe(creator) + ", written " + res.creator.Expected();
    else if (creator && !res.props.Check(props, false))
      wrong = res.name + " props " + Describe(props) + ", written " + res.props.Expected();
    judge_("GetVOResourceAttribute", r, wrong);
    return true;
  }

  void ResourceStep() {
    Resource& res = resources_[rng_() % resources_.size()];
    if (!res.creator.Settled() || !res.props.Settled()) {
      std::optional<std::string> creator, props;
      if (!ReadResource(res, *client_, creator, props) || !res.creator.Check(creator)) return;
      if (creator && !res.props.Check(props)) return;
      if (!creator) res.props = Slot{};
    }
    const unsigned pick = static_cast<unsigned>(rng_() % 100);
    if (res.creator.acked.absent) {
      const Written c = Next('c', 8 + static_cast<uint32_t>(rng_() % 40));
      const Written p = Next('p', 8 + static_cast<uint32_t>(rng_() % 200));
      res.creator.Sent(c);
      res.props.Sent(p);
      const Reply r = Call(run_, *client_, "PutVOResourcewithAttribute",
                           {{"name", res.name}, {"modulename", run_.names.prefix + "mod"}, {"creator", TextOf(c)},
                            {"version", std::to_string(step_)}, {"type", "bin"}, {"id", res.name},
                            {"description", "soak"}, {"urlleaf", ""}, {"props", TextOf(p)}});
      const bool shaped = r.ok && r.decoded.starts_with("<root><url>") &&
                          r.decoded.ends_with("/" + res.name + "</url></root>");
      if (judge_("PutVOResourcewithAttribute", r, r.ok && !shaped ? "answered " + Slot::Describe(r.decoded) : "") ==
          Verdict::Ok) {
        res.creator.Acked();
        res.props.Acked();
        res.aclUnknown = false;
        ++run_.acknowledged;
      }
    } else if (pick < 20) {
      const Written c = Next('c', 8 + static_cast<uint32_t>(rng_() % 40));
      res.creator.Sent(c);
      const Reply r = Call(run_, *client_, "UpdateVOResourceAttribute",
                           {{"name", res.name}, {"modulename", ""}, {"creator", TextOf(c)},
                            {"version", std::to_string(step_)}, {"type", ""}, {"id", ""}, {"description", ""}});
      if (judge_("UpdateVOResourceAttribute", r) == Verdict::Ok) {
        res.creator.Acked();
        ++run_.acknowledged;
      }
    } else if (pick < 35) {
      const Written p = Next('p', 8 + static_cast<uint32_t>(rng_() % 200));
      res.props.Sent(p);
      const Reply r = Call(run_, *client_, "UpdateVOResourceProps", {{"name", res.name}, {"props", TextOf(p)}});
      if (judge_("UpdateVOResourceProps", r) == Verdict::Ok) {
        res.props.Acked();
        ++run_.acknowledged;
      }
    } else if (pick < 60) {
      std::optional<std::string> creator, props;
      ReadResource(res, *client_, creator, props);
    } else if (pick < 70) {
      const Reply r = Call(run_, *client_, "GetVOResourceURL", {{"name", res.name}});
      const auto urls = r.ok ? Texts(r.decoded, "url") : std::nullopt;
      judge_("GetVOResourceURL", r,
             r.ok && !(urls && urls->size() == 1 && urls->front().ends_with("/" + res.name))
                 ? "not its URL: " + Slot::Describe(r.decoded)
                 : "");
    } else if (pick < 90 && !res.aclUnknown) {
      // An entry for the partner, read back and removed; the document is the
      // owner's default again.
      res.aclUnknown = true;
      Reply r = Call(run_, *client_, "PutResourceACLEntry", {{"name", res.name}, {"acluser", partner_}, {"accright", "rar"}});
      if (judge_("PutResourceACLEntry", r) != Verdict::Ok) return;
      r = Call(run_, *client_, "GetResourceACLEntry", {{"name", res.name}, {"acluser", partner_}});
      judge_("GetResourceACLEntry", r, Expect(r, Entry(partner_, "rar")));
      r = Call(run_, *client_, "DeleteResourceACLEntry", {{"name", res.name}, {"acluser", partner_}});
      if (judge_("DeleteResourceACLEntry", r) != Verdict::Ok) return;
      r = Call(run_, *client_, "GetResourceACL", {{"name", res.name}});
      if (judge_("GetResourceACL", r, Expect(r, "<root>" + DefaultAcl(user_, std::nullopt) + "</root>")) == Verdict::Ok)
        res.aclUnknown = false;
    } else {
      res.creator.Sent(Written{.absent = true});
      res.props.Sent(Written{.absent = true});
      const Reply r = Call(run_, *client_, "RemoveVOResource", {{"name", res.name}});
      if (judge_("RemoveVOResource", r) == Verdict::Ok) {
        res.creator.Acked();
        res.props.Acked();
        ++run_.acknowledged;
      }
    }
  }

  // ---- The operation log ----------------------------------------------------------
  std::string LogText(uint32_t tag) const {
    return std::string(tag & kCollabLog ? "soak collab " : "soak log ") + std::to_string(index_) + "/" +
           std::to_string(tag & ~kCollabLog);
  }

  void LogStep() {
    const unsigned pick = static_cast<unsigned>(rng_() % 100);
    if (pick < 30 || (pick < 45 && fields_.front().text.acked.absent)) {
      const uint32_t tag = step_;
      logsUnsure_.insert(tag);
      const Reply r = Call(run_, *client_, "PutLog", {{"log", LogText(tag)}});
      if (judge_("PutLog", r, Expect(r, kResultOk)) == Verdict::Ok) {
        logsUnsure_.erase(tag);
        logsAcked_.push_back(tag);
        ++run_.acknowledged;
      }
    } else if (pick < 45) {
      const uint32_t tag = step_ | kCollabLog;
      logsUnsure_.insert(tag);
      const Reply r = Call(run_, *client_, "PutCollabLog", {{"uri", fields_.front().uri}, {"log", LogText(tag)}});
      if (judge_("PutCollabLog", r) == Verdict::Ok) {
        logsUnsure_.erase(tag);
        logsAcked_.push_back(tag);
        ++run_.acknowledged;
      }
    } else if (pick < 80) {
      // The log only grows during the soak.
      const Reply r = Call(run_, *client_, "GetLogCount");
      const auto counts = r.ok ? Texts(r.decoded, "logcount") : std::nullopt;
      const auto n = counts && counts->size() == 1 ? Number(counts->front()) : std::nullopt;
      std::string wrong;
      if (r.ok && !n) wrong = "not a count: " + Slot::Describe(r.decoded);
      else if (n && *n < lastLogCount_) wrong = "the count went down from " + std::to_string(lastLogCount_) + " to " + std::to_string(*n);
      if (judge_("GetLogCount", r, wrong) == Verdict::Ok && n) lastLogCount_ = *n;
    } else {
      const int64_t from = lastLogCount_ > 10 ? 1 + static_cast<int64_t>(rng_() % static_cast<uint64_t>(lastLogCount_ - 5)) : 1;
      const Reply r = Call(run_, *client_, "GetLogs", {{"logID", std::to_string(from)}, {"count", "5"}});
      const auto ids = r.ok ? Texts(r.decoded, "logID") : std::nullopt;
      judge_("GetLogs", r, r.ok && (!ids || ids->size() > 5) ? "not five rows: " + Slot::Describe(r.decoded) : "");
    }
  }

  // ---- Queries of the configured data source --------------------------------------
  static std::string Target(std::string_view table) {
    return "<target><provider>MSDASQL.1</provider><dsn>sample</dsn><catalog>main</catalog><table>" +
           std::string(table) + "</table></target>";
  }

  void QueryStep() {
    const unsigned pick = static_cast<unsigned>(rng_() % 100);
    if (pick < 30) {
      const Reply r = Call(run_, *client_, "Query", {{"sqlstmt", "<query><get><content>record</content>" + Target("staff") +
                                                               "<condition>dept = 'Sales'</condition></get></query>"}});
      const auto names = r.ok ? Texts(r.decoded, "column") : std::nullopt;
      judge_("Query staff", r,
             r.ok && !(names && *names == std::vector<std::string>{"1", "Ann", "Sales", "3", "Cy", "Sales"})
                 ? "not Ann and Cy: " + Slot::Describe(r.decoded)
                 : "");
    } else if (pick < 60) {
      const int64_t from = 1 + static_cast<int64_t>(rng_() % 19000);
      const Reply r = Call(run_, *client_, "Query", {{"sqlstmt", "<query><get><content>record</content>" + Target("big") +
                                                               "<condition>id BETWEEN " + std::to_string(from) + " AND " +
                                                               std::to_string(from + 199) + "</condition></get></query>"}});
      const auto records = r.ok ? Texts(r.decoded, "record") : std::nullopt;
      judge_("Query big", r,
             r.ok && !(records && records->size() == 200) ? "not 200 records: " + Slot::Describe(r.decoded) : "");
    } else if (pick < 75) {
      const Reply r = Call(run_, *client_, "Query", {{"sqlstmt", "<query><get><content>record</content>" + Target("staff") +
                                                               "<transform>trans:0</transform></get></query>"}});
      judge_("Query staff as CSV", r,
             r.ok && r.decoded.find("1,Ann,Sales") == std::string::npos ? "not the CSV: " + Slot::Describe(r.decoded)
                                                                          : "");
    } else {
      // Inserts from many clients at once into one SQLite data source, each
      // in the data source's own transaction.
      const int64_t id = run_.nextRow++;
      {
        std::lock_guard guard(run_.rowsLock);
        run_.rowsUnsure.insert(id);
      }
      const Reply r = Call(run_, *client_, "Query", {{"sqlstmt", "<query><insert>" + Target("notes") + "<value>" +
                                                               std::to_string(id) + ", 'note " + std::to_string(id) +
                                                               " of " + std::to_string(index_) +
                                                               "'</value></insert></query>"}});
      if (judge_("Query insert", r, Expect(r, "<root><response><resultCode>0</resultCode></response></root>")) ==
          Verdict::Ok) {
        std::lock_guard guard(run_.rowsLock);
        run_.rowsUnsure.erase(id);
        run_.rowsAcked.insert(id);
        ++run_.acknowledged;
      }
    }
  }

  // ---- Directory lists -------------------------------------------------------------
  static std::string SetOf(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    std::string out;
    for (const std::string& s : v) out += s + ",";
    return out;
  }

  void DirectoryStep() {
    const Names& n = run_.names;
    const unsigned pick = static_cast<unsigned>(rng_() % 5);
    const auto check = [&](const char* kind, const Reply& r, const char* element, std::vector<std::string> want,
                           bool subset) {
      const auto got = r.ok ? Texts(r.decoded, element) : std::nullopt;
      std::string wrong;
      if (r.ok && !got) wrong = "not a list: " + Slot::Describe(r.decoded);
      else if (got && subset) {
        for (const std::string& w : want)
          if (std::find(got->begin(), got->end(), w) == got->end()) wrong = w + " missing: " + Slot::Describe(r.decoded);
      } else if (got && SetOf(*got) != SetOf(want)) {
        wrong = "answered " + Slot::Describe(r.decoded) + ", expected " + SetOf(want);
      }
      judge_(kind, r, wrong);
    };
    if (pick == 0) check("GetAdminUserList", Call(run_, *client_, "GetAdminUserList"), "user", {n.admin}, false);
    if (pick == 1) check("GetGroupList", Call(run_, *client_, "GetGroupList"), "group", {Names::kStaff, Names::kOps}, true);
    if (pick == 2)
      check("GetGroupUserList", Call(run_, *client_, "GetGroupUserList", {{"group", Names::kStaff}}), "user", n.staffGroup,
            false);
    if (pick == 3) {
      std::vector<std::string> own{Names::kStaff};
      if (std::find(n.opsGroup.begin(), n.opsGroup.end(), user_) != n.opsGroup.end()) own.push_back(Names::kOps);
      check("GetOwnGroupList", Call(run_, *client_, "GetOwnGroupList"), "group", own, false);
    }
    if (pick == 4) {
      const Reply r = Call(run_, *client_, "GetCompressThreshold");
      judge_("GetCompressThreshold", r, r.ok && r.decoded.find('0') == std::string::npos ? "answered " + r.decoded : "");
    }
  }

  // ---- Lists of the user's own keys -------------------------------------------------
  void ListStep() {
    const unsigned pick = static_cast<unsigned>(rng_() % 3);
    // Keys of ours that are settled must be listed exactly when they exist.
    const auto check = [&](const char* kind, const Reply& r, auto& keys, const auto& uriOf, const auto& slotOf) {
      const auto uris = r.ok ? Texts(r.decoded, "uri") : std::nullopt;
      std::string wrong;
      if (r.ok && !uris) wrong = "not a list: " + Slot::Describe(r.decoded);
      for (auto& key : keys) {
        const Slot& slot = slotOf(key);
        if (!uris || !slot.Settled()) continue;
        const bool listed = std::find(uris->begin(), uris->end(), uriOf(key)) != uris->end();
        if (listed == slot.acked.absent) wrong = uriOf(key) + (listed ? " listed after its removal" : " not listed");
      }
      judge_(kind, r, wrong);
    };
    if (pick == 0)
      check("GetShareFieldURIList", Call(run_, *client_, "GetShareFieldURIList"), fields_,
            [](const Field& f) { return f.uri; }, [](const Field& f) -> const Slot& { return f.text; });
    if (pick == 1)
      check("GetVOURIList", Call(run_, *client_, "GetVOURIList"), objects_, [](const Object& o) { return o.uri; },
            [](const Object& o) -> const Slot& { return o.content; });
    if (pick == 2)
      check("GetVOList", Call(run_, *client_, "GetVOList"), objects_, [](const Object& o) { return o.uri; },
            [](const Object& o) -> const Slot& { return o.content; });
  }

  std::unique_ptr<CVeltService> SignInNow(int server) {
    auto client = std::make_unique<CVeltService>();
    return client->Connect(run_.CoreUrl(static_cast<uint64_t>(server)), user_, run_.names.password) == 0 ? std::move(client) : nullptr;
  }

  Run& run_;
  int index_;
  int server_;  // the server client_ is signed in to
  Judge judge_;
  std::mt19937_64 rng_;
  std::string user_, partner_;
  std::unique_ptr<CVeltService> client_;
  // On the other server, when there are two: the user's own session, and
  // the partner's as an attendee of the user's sharing.
  std::unique_ptr<CVeltService> other_, attendee_;
  std::vector<Field> fields_;
  std::vector<Object> objects_;
  std::vector<Resource> resources_;
  std::vector<uint32_t> logsAcked_;
  std::set<uint32_t> logsUnsure_;
  uint32_t step_ = 0;
  int64_t lastLogCount_ = -1;
  int heldDoc_ = -1;  // a shared object whose lock may be ours
};

void WorkerDelete::operator()(Worker* worker) const { std::default_delete<Worker>()(worker); }
WorkerPtr MakeWorker(Run& run, int index) { return WorkerPtr(std::make_unique<Worker>(run, index).release()); }
void RunWorker(Worker& worker) { worker.Loop(); }
void ReadBack(Worker& worker, int server, uint64_t& checked, uint64_t& lost) { worker.ReadBack(server, checked, lost); }
void LogTags(Worker& worker, std::map<std::string, std::set<std::string>>& acked,
             std::map<std::string, std::set<std::string>>& unsure) {
  worker.LogTags(acked, unsure);
}
void EndSession(Worker& worker) { worker.EndSession(); }

// ---- The load pulses ----------------------------------------------------------------
// Every pulse client calls as fast as it can while a pulse is on and rests
// while it is off, all in step: the repository's connection pool grows to
// the workers' number and shrinks back to its kept ones, pulse after pulse.
void RunPulseClient(Run& run, int index) {
  Judge judge(run);
  const std::string& user = run.names.users[static_cast<size_t>(index) % run.names.users.size()];
  std::unique_ptr<CVeltService> client = SignIn(run, judge, user, index);
  const std::string pulseUri = "urn:vocontent:covodb000:" + user + "-pulse";
  const std::string pulseAnswer = "<root><field>" + XmlText("pulse of " + user) + "</field></root>";
  const std::string contentAnswer = "<root>" + XmlText("pulse content of " + user) + "</root>";
  const auto period = std::chrono::milliseconds(run.options.pulseOnMs + run.options.pulseOffMs);
  uint64_t n = 0;
  while (client && !run.stopLoad) {
    const auto phase = (Clock::now() - run.start) % period;
    if (phase >= std::chrono::milliseconds(run.options.pulseOnMs)) {
      std::this_thread::sleep_for(period - phase);
      continue;
    }
    // Point reads of both stores, whose cost does not grow with the run.
    switch (++n % 3) {
      case 0: {
        const Reply r = Call(run, *client, "GetShareField", {{"uri", pulseUri}});
        judge("pulse GetShareField", r, r.ok && r.decoded != pulseAnswer ? "answered " + Slot::Describe(r.decoded) : "");
        break;
      }
      case 1: {
        const Reply r = Call(run, *client, "GetMessage", {{"uri", pulseUri}});
        judge("pulse GetMessage", r, r.ok && r.decoded != "<root><message/></root>" ? "answered " + Slot::Describe(r.decoded) : "");
        break;
      }
      default: {
        const Reply r = Call(run, *client, "GetVOContent", {{"name", "pulse"}});
        judge("pulse GetVOContent", r, r.ok && r.decoded != contentAnswer ? "answered " + Slot::Describe(r.decoded) : "");
      }
    }
  }
  if (client) client->EndSession();
}

// ---- The administrator ----------------------------------------------------------------
// Reloads the configuration every two seconds (the data sources the Queries
// use are read again under them), the transformers and unify rules now and
// then, and reads the administrators' lists.
void RunAdmin(Run& run, int server) {
  Judge judge(run);
  std::unique_ptr<CVeltService> client = SignIn(run, judge, run.names.admin, server);
  for (uint64_t n = 0; client && !run.stopLoad; ++n) {
    Reply r = Call(run, *client, "ReLoadConfig");
    judge("ReLoadConfig", r, r.ok && r.decoded != "<root>0</root>" ? "answered " + r.decoded : "");
    if (n % 5 == 0) {
      for (const char* reload : {"ReLoadTransform", "ReLoadUnifyTable"}) {
        r = Call(run, *client, reload);
        judge(reload, r, r.ok && r.decoded != "<root>0</root>" ? "answered " + r.decoded : "");
      }
      r = Call(run, *client, "GetAllVOUserList");
      const auto users = r.ok ? Texts(r.decoded, "user") : std::nullopt;
      judge("GetAllVOUserList", r,
            r.ok && !(users && std::find(users->begin(), users->end(), run.names.users.front()) != users->end())
                ? "the shared objects' owner is missing: " + Slot::Describe(r.decoded)
                : "");
    }
    if (n % 15 == 0) {
      r = Call(run, *client, "GetAllVOURIList");
      const auto uris = r.ok ? Texts(r.decoded, "uri") : std::nullopt;
      std::string wrong;
      for (const auto& doc : run.docs)
        if (r.ok && !(uris && std::find(uris->begin(), uris->end(), doc->uri) != uris->end()))
          wrong = doc->uri + " missing: " + Slot::Describe(r.decoded);
      judge("GetAllVOURIList", r, wrong);
      r = Call(run, *client, "GetResumeIDList", {{"name", "none"}});
      judge("GetResumeIDList", r);
    }
    run.Pause(2s);
  }
  if (client) client->EndSession();
}

}  // namespace quor::soak
