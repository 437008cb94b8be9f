#include "platform/soap/dispatcher.h"

#include <new>
#include <optional>
#include <utility>

#include "platform/com/callcontext.h"
#include "platform/com/classstore.h"
#include "platform/com/errorinfo.h"
#include "platform/xml/dom.h"

namespace quor::soap {

using com::Bstr;
using com::ComPtr;
using com::MemberInfo;
using com::ParamDirection;
using com::ParamInfo;
using com::Variant;

namespace {

constexpr std::u16string_view kSource = u"QuorServer";

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && text::EqualsNoCase(s.substr(s.size() - suffix.size()), suffix);
}

// Initialises the component runtime for the calling thread for one call.
class Apartment {
 public:
  Apartment() { com::CoInitialize(); }
  ~Apartment() { com::CoUninitialize(); }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;
};

std::string ErrorText(HRESULT status, std::string_view fallback = {}) {
  if (std::optional<com::ErrorInfo> info = com::GetErrorInfo(); info && !info->description.Empty())
    return info->description.ToUtf8();
  return fallback.empty() ? com::HResultText(status) : std::string(fallback);
}

// An output as text: strings as they are (null stays null), nothing as
// null, other types converted.
HRESULT OutputText(const Variant& v, Bstr& out) {
  const Variant value = v.IsByRef() ? v.Dereferenced() : v;
  if (value.Type() == com::VT_EMPTY || value.Type() == com::VT_NULL) {
    out = Bstr();
    return S_OK;
  }
  if (value.Type() == com::VT_BSTR) {
    out = value.GetBstr();
    return S_OK;
  }
  return value.ToBstr(out);
}

// Stands for a streamed result in the answer written around it, to cut that
// answer into what comes before the result's text and what comes after.
// '@' is in no element name, and only closing tags follow the result.
constexpr std::string_view kResultMark = "@quor-streamed-result@";

// A streamed result's carrier: what a component writes through its call
// context's ResultSink, on the call's own thread (not made for others).
// Pieces are held until kStreamAfter bytes have come, so that a call failing
// early is still answered with its fault; then the answer begins (the
// envelope up to the result, then the result's text so far) and the rest
// goes out escaped, in pieces of about kPiece.
class ResultStream final : public com::ResultSink {
 public:
  // Text is escaped at most kSlice bytes at a time, and the escaped text
  // handed on once about kPiece bytes of it have gathered.
  static constexpr size_t kSlice = 16 * 1024;
  static constexpr size_t kPiece = 64 * 1024;

  ResultStream(AnswerWriter& writer, std::string prefix)
      : writer_(writer), prefix_(std::move(prefix)), prefixSize_(prefix_.size()) {}

  Status Write(std::string_view piece) override {
    try {
      if (!status_.ok()) return status_;
      written_ = true;
      // As the returned text would be: invalid UTF-8 becomes U+FFFD
      // (com::Bstr::FromUtf8), piece by piece since pieces end on whole
      // characters.
      std::string repaired;
      if (!text::IsValidUtf8(piece)) {
        repaired = text::Narrow(text::Widen(piece));
        piece = repaired;
      }
      if (!committed_) {
        const size_t room = Dispatcher::kStreamAfter - held_.size();
        if (piece.size() < room) {
          held_.append(piece);
          return status_;
        }
        const size_t cut = text::Utf8Cut(piece, room);
        held_.append(piece.substr(0, cut));
        piece.remove_prefix(cut);
        committed_ = true;
        std::string first = std::move(prefix_);
        xml::AppendEscaped(first, held_, kTextRules);
        held_ = std::string();
        if (status_ = writer_.Start(kAnswerContentType, std::move(first)); !status_.ok()) return status_;
      }
      // Escaped a slice at a time, each cut on a character, so that the
      // pieces escape to what the whole text would.
      while (!piece.empty()) {
        const size_t cut = text::Utf8Cut(piece, kSlice);
        xml::AppendEscaped(buffer_, piece.substr(0, cut), kTextRules);
        piece.remove_prefix(cut);
        if (buffer_.size() >= kPiece) {
          if (status_ = writer_.Write(std::exchange(buffer_, std::string())); !status_.ok()) return status_;
        }
      }
      return status_;
    } catch (const std::bad_alloc&) {
      return status_ = Status(E_OUTOFMEMORY, "The streamed result does not fit in memory.");
    }
  }

  // Whether the component wrote anything: then the pieces are its result.
  bool Written() const { return written_; }
  // Whether the answer began (AnswerWriter::Start was called).
  bool Committed() const { return committed_; }
  // Success, or the writer's failure that stopped the stream.
  const Status& status() const { return status_; }
  // The prefix's length, from which the rest of the whole answer follows the mark.
  size_t PrefixSize() const { return prefixSize_; }
  // Before the answer began: the result's text, all of it.
  std::string TakeHeld() { return std::exchange(held_, std::string()); }

  // The rest of the answer after the result's text.
  Status Finish(std::string_view tail) {
    if (!status_.ok()) return status_;
    buffer_ += tail;
    return status_ = writer_.Finish(std::exchange(buffer_, std::string()));
  }
  void Abort() { writer_.Abort(); }

 private:
  AnswerWriter& writer_;
  std::string prefix_;     // the answer's text before the result's, until the answer begins
  size_t prefixSize_ = 0;
  std::string held_;       // the result's text until the answer begins (not escaped)
  std::string buffer_;     // escaped text not yet handed to the writer
  bool written_ = false;
  bool committed_ = false;
  Status status_;
};

// An answer that began cannot become a fault: it is cut off, so that the
// client sees it is not whole, and the failure goes to the event log.
CallResult CutOff(const eventlog::EventSource* log, std::string_view path, std::string_view method, HRESULT status,
                  std::string_view description, ResultStream& stream) {
  stream.Abort();
  if (log)
    log->Report(eventlog::EventType::Error, 27,
                {std::string(path), text::Format("The streamed answer of \"%s\" was cut off: %s (%s)", method,
                                                 description, FormatStatus(status))});
  CallResult r;
  r.fault = true;
  r.status = status;
  r.streamed = true;
  return r;
}

}  // namespace

// ---- Endpoints ---------------------------------------------------------------

bool Endpoint::IsAdmin() const { return EndsWithNoCase(path, "Admin.sod"); }

std::string Endpoint::ServiceName() const {
  std::string_view name(path);
  if (const size_t slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  if (const size_t dot = name.rfind('.'); dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return name.empty() ? std::string("Service") : std::string(name);
}

std::string Endpoint::WsdlPath() const {
  if (EndsWithNoCase(path, ".sod")) return path.substr(0, path.size() - 4) + ".wsdl";
  return path + ".wsdl";
}

EndpointTable EndpointTable::Defaults() {
  EndpointTable table;
  std::string error;
  table.Add(std::string(kCorePath), std::string(kCoreProgId), error);
  table.Add(std::string(kAdminPath), std::string(kAdminProgId), error);
  return table;
}

std::string EndpointTable::DefaultProgId(std::string_view path) {
  return std::string(EndsWithNoCase(path, "Admin.sod") ? kAdminProgId : kCoreProgId);
}

bool EndpointTable::Add(std::string path, std::string progId, std::string& error) {
  if (path.empty() || path[0] != '/') {
    error = text::Format("The endpoint path \"%s\" does not begin with '/'.", path);
    return false;
  }
  if (path.find_first_of("?# \t\r\n\\") != std::string::npos) {
    error = text::Format("The endpoint path \"%s\" holds a query, white space or a backslash.", path);
    return false;
  }
  for (const std::string& segment : text::Split(path.substr(1), '/')) {
    if (segment == ".." || segment == ".") {
      error = text::Format("The endpoint path \"%s\" holds \".\" or \"..\".", path);
      return false;
    }
  }
  if (progId.empty()) {
    error = text::Format("The endpoint \"%s\" names no ProgID.", path);
    return false;
  }
  for (const Endpoint& e : endpoints_) {
    if (text::EqualsNoCase(e.path, path) || text::EqualsNoCase(e.WsdlPath(), path) ||
        text::EqualsNoCase(e.path, Endpoint{path, {}}.WsdlPath())) {
      error = text::Format("The endpoint path \"%s\" is given twice.", path);
      return false;
    }
  }
  endpoints_.push_back({std::move(path), std::move(progId)});
  return true;
}

const Endpoint* EndpointTable::Find(std::string_view path) const {
  for (const Endpoint& e : endpoints_)
    if (text::EqualsNoCase(e.path, path)) return &e;
  return nullptr;
}

const Endpoint* EndpointTable::FindByWsdlPath(std::string_view path) const {
  for (const Endpoint& e : endpoints_)
    if (text::EqualsNoCase(e.WsdlPath(), path)) return &e;
  return nullptr;
}

std::string WireName(const ParamInfo& param, size_t index) {
  if (!param.name.empty()) {
    std::string name = text::Narrow(param.name);
    if (xml::IsXmlName(name) && name.find(':') == std::string::npos) return name;
  }
  return text::Format("param%u", static_cast<uint64_t>(index + 1));
}

// ---- Dispatcher ----------------------------------------------------------------

struct Dispatcher::Class {
  ComPtr<com::IClassFactory> factory;
  bool methodsKnown = false;
  std::vector<MemberInfo> methods;
  // Per method, the names its parameters travel under (WireName), made once.
  std::vector<std::vector<std::string>> wireNames;
};

Dispatcher::Dispatcher(ParseLimits limits, const eventlog::EventSource* log) : limits_(limits), log_(log) {}

Dispatcher::~Dispatcher() {
  Apartment apartment;
  classes_.clear();
}

Dispatcher::Class* Dispatcher::ClassOf(const Endpoint& endpoint, Failure& failure) {
  auto it = classes_.find(endpoint.progId);
  if (it != classes_.end()) return it->second.get();
  com::ClearErrorInfo();
  com::CLSID clsid;
  HRESULT hr = com::CLSIDFromProgID(std::string_view(endpoint.progId), clsid);
  if (FAILED(hr)) {
    failure = {hr, text::Format("The component \"%s\" is not registered (%s).", endpoint.progId, ErrorText(hr)),
               std::string(text::Narrow(kSource))};
    return nullptr;
  }
  auto cls = std::make_unique<Class>();
  hr = com::CoGetClassObject(clsid, com::CLSCTX_INPROC_SERVER, com::IClassFactory::kIid, cls->factory.PutVoid());
  if (FAILED(hr)) {
    failure = {hr, text::Format("The component \"%s\" cannot be loaded: %s", endpoint.progId, ErrorText(hr)),
               std::string(text::Narrow(kSource))};
    return nullptr;
  }
  return classes_.emplace(endpoint.progId, std::move(cls)).first->second.get();
}

bool Dispatcher::EnsureMethods(Class& cls, const Endpoint& endpoint, ComPtr<com::IUnknown>& created,
                               Failure& failure) {
  if (cls.methodsKnown) return true;
  const std::string source(text::Narrow(kSource));
  com::ClearErrorInfo();
  HRESULT hr = cls.factory->CreateInstance(nullptr, com::IUnknown::kIid, created.PutVoid());
  if (FAILED(hr)) {
    failure = {hr, text::Format("The component \"%s\" cannot be created: %s", endpoint.progId, ErrorText(hr)), source};
    return false;
  }
  ComPtr<com::IDispatchInfo> info;
  if (FAILED(created.As(info))) {
    failure = {E_NOINTERFACE, text::Format("The component \"%s\" does not describe its methods.", endpoint.progId),
               source};
    return false;
  }
  std::vector<MemberInfo> members;
  if (hr = info->GetMembers(members); FAILED(hr)) {
    failure = {hr, text::Format("The component \"%s\" does not list its methods: %s", endpoint.progId, ErrorText(hr)),
               source};
    return false;
  }
  for (MemberInfo& m : members)
    if (m.kind == com::MemberKind::Method) cls.methods.push_back(std::move(m));
  for (const MemberInfo& m : cls.methods) {
    std::vector<std::string>& names = cls.wireNames.emplace_back();
    for (size_t i = 0; i < m.params.size(); ++i) names.push_back(WireName(m.params[i], i));
  }
  cls.methodsKnown = true;
  return true;
}

CallResult Dispatcher::Fail(const Endpoint& endpoint, const Failure& failure, std::string_view ns) const {
  CallResult r;
  r.fault = true;
  r.status = failure.status;
  r.body = WriteFault({failure.status, failure.description, failure.source, endpoint.path}, ns);
  return r;
}

std::string Dispatcher::RequestFault(const Endpoint& endpoint, HRESULT status, std::string_view description) {
  return WriteFault({status, std::string(description), std::string(text::Narrow(kSource)), endpoint.path});
}

HRESULT Dispatcher::Methods(const Endpoint& endpoint, std::vector<MemberInfo>& methods, std::string& error) {
  methods.clear();
  try {
    Apartment apartment;
    std::lock_guard lock(classesMutex_);
    Failure failure;
    Class* cls = ClassOf(endpoint, failure);
    ComPtr<com::IUnknown> created;
    if (cls && EnsureMethods(*cls, endpoint, created, failure)) {
      methods = cls->methods;
      created.Reset();
      com::ClearErrorInfo();
      return S_OK;
    }
    created.Reset();
    com::ClearErrorInfo();
    if (log_) log_->Report(eventlog::EventType::Error, 21, {endpoint.path, failure.description});
    error = failure.description;
    return failure.status;
  } catch (const std::exception& e) {
    error = e.what();
    return E_UNEXPECTED;
  }
}

CallResult Dispatcher::Call(const Endpoint& endpoint, std::string_view body, std::string_view clientAddress,
                            AnswerWriter* writer) {
  return Run(endpoint, body, nullptr, clientAddress, writer);
}

CallResult Dispatcher::Call(const Endpoint& endpoint, std::string&& body, std::string_view clientAddress,
                            AnswerWriter* writer) {
  std::string owned = std::move(body);
  return Run(endpoint, owned, &owned, clientAddress, writer);
}

CallResult Dispatcher::Run(const Endpoint& endpoint, std::string_view body, std::string* owned,
                           std::string_view clientAddress, AnswerWriter* writer) {
  const std::string source(text::Narrow(kSource));
  // The answer, a fault too, is in the namespace the call came in.
  std::string ns;
  std::string methodName;  // as the interface spells it
  // Outside the try: an answer that began must be ended whatever is thrown.
  std::optional<ResultStream> stream;
  try {
    Request request;
    std::string reason;
    // A body handed over is parsed where it lies, and gone once read.
    const HRESULT parsed = owned ? ParseRequest(std::move(*owned), limits_, request, reason)
                                 : ParseRequest(body, limits_, request, reason);
    if (FAILED(parsed)) {
      if (log_) log_->Report(eventlog::EventType::Warning, 20, {endpoint.path, reason});
      return Fail(endpoint, {E_INVALIDARG, "The request is not a valid SOAP call: " + reason, source});
    }
    // Everything the call needs is in `request` now.
    if (owned) std::string().swap(*owned);
    body = {};
    ns = request.ns;

    std::vector<NamedValue> outputs;
    Failure failure;
    bool logFailure = false;
    {
      const com::CallContextScope context(com::CallContext{std::string(clientAddress), nullptr});
      Apartment apartment;
      com::ClearErrorInfo();
      // Whatever happens below, the thread's error information goes with the call.
      struct ErrorReset {
        ~ErrorReset() { com::ClearErrorInfo(); }
      } reset;

      ComPtr<com::IUnknown> object;
      Class* cls = nullptr;
      {
        std::lock_guard lock(classesMutex_);
        cls = ClassOf(endpoint, failure);
        if (cls && !EnsureMethods(*cls, endpoint, object, failure)) cls = nullptr;
      }
      // From here on the class is only read: its factory makes objects on any
      // thread and its method list no longer changes.
      if (!cls) {
        logFailure = true;
      } else {
        const MemberInfo* method = nullptr;
        const std::vector<std::string>* wire = nullptr;
        const std::u16string wanted = text::Widen(request.method);
        for (size_t k = 0; k < cls->methods.size(); ++k) {
          if (text::EqualsNoCase(wanted, cls->methods[k].name)) {
            method = &cls->methods[k];
            wire = &cls->wireNames[k];
            break;
          }
        }
        if (!method) {
          failure = {DISP_E_UNKNOWNNAME,
                     text::Format("The component \"%s\" has no method \"%s\".", endpoint.progId, request.method),
                     source};
        } else {
          methodName = text::Narrow(method->name);
          // Bind the request's elements to the parameters by name.
          const std::vector<ParamInfo>& params = method->params;
          const bool hasRetval = !params.empty() && params.back().direction == ParamDirection::RetVal;
          const size_t passed = params.size() - (hasRetval ? 1 : 0);
          std::vector<std::optional<Bstr>> given(passed);
          for (NamedValue& p : request.params) {
            size_t at = passed;
            for (size_t i = 0; i < passed; ++i) {
              if (text::EqualsNoCase((*wire)[i], p.name)) {
                at = i;
                break;
              }
            }
            if (at == passed) {
              failure = {DISP_E_PARAMNOTFOUND,
                         text::Format("The method \"%S\" has no parameter \"%s\".", method->name, p.name), source};
              break;
            }
            if (given[at]) {
              failure = {E_INVALIDARG, text::Format("The parameter \"%s\" is given twice.", p.name), source};
              break;
            }
            given[at] = std::move(p.value);
          }

          if (SUCCEEDED(failure.status)) {
            // Sized once: the references below point into it.
            std::vector<Variant> outs(passed);
            std::vector<Variant> args;
            args.reserve(passed);
            for (size_t i = 0; i < passed; ++i) {
              Bstr value = given[i] ? std::move(*given[i]) : Bstr();
              if (params[i].direction == ParamDirection::In) {
                args.emplace_back(std::move(value));
              } else {
                if (given[i]) outs[i] = Variant(std::move(value));
                args.push_back(Variant::ByRef(&outs[i]));
              }
            }
            if (!object) {
              com::ClearErrorInfo();
              HRESULT hr = cls->factory->CreateInstance(nullptr, com::IUnknown::kIid, object.PutVoid());
              if (FAILED(hr)) {
                failure = {hr,
                           text::Format("The component \"%s\" cannot be created: %s", endpoint.progId, ErrorText(hr)),
                           source};
                logFailure = true;
              }
            }
            ComPtr<com::IDispatch> dispatch;
            if (SUCCEEDED(failure.status) && FAILED(object.As(dispatch))) {
              failure = {E_NOINTERFACE,
                         text::Format("The component \"%s\" cannot be called by name.", endpoint.progId), source};
            }
            if (SUCCEEDED(failure.status)) {
              // The return value may come as a stream; the answer around it
              // is known up to the result's text already.
              if (writer && hasRetval) {
                std::string prefix =
                    WriteAnswer(methodName, std::vector<NamedValue>{{wire->back(), Bstr::FromUtf8(kResultMark)}}, ns);
                prefix.resize(prefix.rfind(kResultMark));
                stream.emplace(*writer, std::move(prefix));
              }
              Variant result;
              com::ExcepInfo excep;
              uint32_t argError = 0;
              com::ClearErrorInfo();
              HRESULT hr = S_OK;
              {
                std::optional<com::CallContextScope> streaming;
                if (stream) streaming.emplace(com::CallContext{std::string(clientAddress), &*stream});
                hr = dispatch->Invoke(method->id, com::DISPATCH_METHOD, args, hasRetval ? &result : nullptr, &excep,
                                      &argError);
              }
              if (hr == DISP_E_EXCEPTION) {
                HRESULT status = excep.scode;
                if (SUCCEEDED(status)) status = excep.wCode ? MAKE_HRESULT(1, FACILITY_ITF, excep.wCode) : E_FAIL;
                failure = {status, excep.description.ToUtf8(), excep.source.ToUtf8()};
              } else if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTOPTIONAL ||
                         hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_OVERFLOW) {
                const std::string name =
                    argError < params.size() ? (*wire)[argError] : std::string("?");
                failure = {hr,
                           text::Format("The parameter \"%s\" cannot be passed to \"%S\": %s", name, method->name,
                                        com::HResultText(hr)),
                           source};
              } else if (FAILED(hr)) {
                failure = {hr, ErrorText(hr), source};
              } else {
                Bstr text;
                if (stream && stream->Written()) {
                  // The pieces are the result; once the answer began, the
                  // mark stands for what went out.
                  if (!stream->status().ok())
                    failure = {stream->status().code(), stream->status().Text(), source};
                  text = stream->Committed() ? Bstr::FromUtf8(kResultMark) : Bstr::TakeUtf8(stream->TakeHeld());
                  outputs.push_back({wire->back(), std::move(text)});
                } else if (hasRetval) {
                  if (FAILED(OutputText(result, text))) {
                    failure = {DISP_E_TYPEMISMATCH,
                               text::Format("The return value of \"%S\" is not text.", method->name), source};
                  }
                  outputs.push_back({wire->back(), std::move(text)});
                }
                for (size_t i = 0; i < passed && SUCCEEDED(failure.status); ++i) {
                  if (params[i].direction == ParamDirection::In) continue;
                  if (FAILED(OutputText(outs[i], text))) {
                    failure = {DISP_E_TYPEMISMATCH,
                               text::Format("The output \"%s\" of \"%S\" is not text.", (*wire)[i],
                                            method->name),
                               source};
                    break;
                  }
                  outputs.push_back({(*wire)[i], std::move(text)});
                }
              }
            }
            // The component's arguments and results go before the apartment does.
            args.clear();
            outs.clear();
          }
        }
      }
      object.Reset();
    }

    if (stream && stream->Committed()) {
      if (SUCCEEDED(failure.status)) {
        // The whole answer with the mark for the result: what follows the
        // mark is what the client still lacks.
        const std::string whole = WriteAnswer(methodName, outputs, ns);
        const size_t at = stream->PrefixSize();
        Status finished = whole.compare(at, kResultMark.size(), kResultMark) == 0
                              ? stream->Finish(std::string_view(whole).substr(at + kResultMark.size()))
                              : Status(E_UNEXPECTED, "The streamed answer lost its place.");
        if (finished.ok()) {
          CallResult r;
          r.streamed = true;
          return r;
        }
        failure = {finished.code(), finished.Text(), source};
      }
      return CutOff(log_, endpoint.path, methodName, failure.status, failure.description, *stream);
    }
    if (FAILED(failure.status)) {
      if (logFailure && log_) log_->Report(eventlog::EventType::Error, 21, {endpoint.path, failure.description});
      return Fail(endpoint, failure, ns);
    }
    CallResult r;
    r.body = WriteAnswer(methodName, outputs, ns);
    return r;
  } catch (const std::exception& e) {
    if (log_) log_->Report(eventlog::EventType::Error, 22, {endpoint.path, e.what()});
    const Failure failure{E_UNEXPECTED, text::Format("The call failed unexpectedly: %s", e.what()), source};
    if (stream && stream->Committed())
      return CutOff(log_, endpoint.path, methodName, failure.status, failure.description, *stream);
    return Fail(endpoint, failure, ns);
  } catch (...) {
    if (log_) log_->Report(eventlog::EventType::Error, 22, {endpoint.path, "unknown exception"});
    const Failure failure{E_UNEXPECTED, "The call failed unexpectedly.", source};
    if (stream && stream->Committed())
      return CutOff(log_, endpoint.path, methodName, failure.status, failure.description, *stream);
    return Fail(endpoint, failure, ns);
  }
}

}  // namespace quor::soap
