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
  // Both are valid and distinct.
  table.Add(std::string(kCorePath), std::string(kCoreProgId)).Ignore();
  table.Add(std::string(kAdminPath), std::string(kAdminProgId)).Ignore();
  return table;
}

std::string EndpointTable::DefaultProgId(std::string_view path) {
  return std::string(EndsWithNoCase(path, "Admin.sod") ? kAdminProgId : kCoreProgId);
}

Status EndpointTable::Add(std::string path, std::string progId) {
  const auto refused = [&](std::string_view why) {
    return Status(E_INVALIDARG, text::Format("The endpoint path \"%s\" %s", path, why));
  };
  if (path.empty() || path[0] != '/') return refused("does not begin with '/'.");
  if (path.find_first_of("?# \t\r\n\\") != std::string::npos)
    return refused("holds a query, white space or a backslash.");
  for (const std::string& segment : text::Split(path.substr(1), '/'))
    if (segment == ".." || segment == ".") return refused("holds \".\" or \"..\".");
  if (progId.empty()) return Status(E_INVALIDARG, text::Format("The endpoint \"%s\" names no ProgID.", path));
  for (const Endpoint& e : endpoints_) {
    if (text::EqualsNoCase(e.path, path) || text::EqualsNoCase(e.WsdlPath(), path) ||
        text::EqualsNoCase(e.path, Endpoint{path, {}}.WsdlPath()))
      return refused("is given twice.");
  }
  endpoints_.push_back({std::move(path), std::move(progId)});
  return Status();
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

// What a call's steps leave for its answer, and what an answer that began
// needs, whatever is thrown.
struct Dispatcher::CallState {
  // The answer, a fault too, is in the namespace the call came in.
  std::string ns;
  std::string methodName;  // as the interface spells it
  std::vector<NamedValue> outputs;
  // The fault's source: the component's own when it raised the fault.
  std::string faultSource = std::string(text::Narrow(kSource));
  // And its description, even an empty one (a null one is none).
  bool faultDescribed = false;
  std::optional<ResultStream> stream;
};

namespace {

// The method a request names, and the names its parameters travel under.
struct Method {
  const MemberInfo* info = nullptr;
  const std::vector<std::string>* wire = nullptr;

  bool HasRetval() const { return !info->params.empty() && info->params.back().direction == ParamDirection::RetVal; }
  // The parameters the request may give: all but the return value.
  size_t Passed() const { return info->params.size() - (HasRetval() ? 1 : 0); }
};

// The request's values by parameter, null where it gives none.
using Given = std::vector<std::optional<Bstr>>;

// A call's arguments: [in] parameters as strings, [out] (and [in, out])
// ones as references to variants in `outs` that start from the request's
// value when one is sent. Built in place: `args` points into `outs`.
struct Arguments {
  std::vector<Variant> outs;
  std::vector<Variant> args;

  Arguments(const Method& method, Given given) : outs(method.Passed()) {
    const std::vector<ParamInfo>& params = method.info->params;
    const size_t passed = method.Passed();
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
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
};

Status Created(com::IClassFactory& factory, const Endpoint& endpoint, ComPtr<com::IUnknown>& object) {
  com::ClearErrorInfo();
  if (HRESULT hr = factory.CreateInstance(nullptr, com::IUnknown::kIid, object.PutVoid()); FAILED(hr))
    return Status(hr, text::Format("The component \"%s\" cannot be created: %s", endpoint.progId, ErrorText(hr)));
  return Status();
}

Result<Method> FindMethod(const std::vector<MemberInfo>& methods,
                          const std::vector<std::vector<std::string>>& wireNames, const Endpoint& endpoint,
                          const std::string& name) {
  const std::u16string wanted = text::Widen(name);
  for (size_t k = 0; k < methods.size(); ++k)
    if (text::EqualsNoCase(wanted, methods[k].name)) return Method{&methods[k], &wireNames[k]};
  return Status(DISP_E_UNKNOWNNAME, text::Format("The component \"%s\" has no method \"%s\".", endpoint.progId, name));
}

// Binds the request's elements to the parameters by name.
Result<Given> Bind(const Method& method, std::vector<NamedValue>& values) {
  const size_t passed = method.Passed();
  Given given(passed);
  for (NamedValue& p : values) {
    size_t at = passed;
    for (size_t i = 0; i < passed; ++i) {
      if (text::EqualsNoCase((*method.wire)[i], p.name)) {
        at = i;
        break;
      }
    }
    if (at == passed)
      return Status(DISP_E_PARAMNOTFOUND,
                    text::Format("The method \"%S\" has no parameter \"%s\".", method.info->name, p.name));
    if (given[at]) return Status(E_INVALIDARG, text::Format("The parameter \"%s\" is given twice.", p.name));
    given[at] = std::move(p.value);
  }
  return given;
}

// Runs the method; a component that streams its result writes it to
// `stream`. An exception the component raised keeps its own source, and its
// own description when it gave one, empty or not.
Status Invoke(com::IDispatch& dispatch, const Method& method, Arguments& arguments, Variant& result,
              const com::CallContext& context, ResultStream* stream, std::string& faultSource,
              bool& faultDescribed) {
  com::ExcepInfo excep;
  uint32_t argError = 0;
  com::ClearErrorInfo();
  HRESULT hr = S_OK;
  {
    std::optional<com::CallContextScope> streaming;
    if (stream) {
      com::CallContext withSink = context;
      withSink.resultSink = stream;
      streaming.emplace(std::move(withSink));
    }
    hr = dispatch.Invoke(method.info->id, com::DISPATCH_METHOD, arguments.args,
                         method.HasRetval() ? &result : nullptr, &excep, &argError);
  }
  if (hr == DISP_E_EXCEPTION) {
    HRESULT status = excep.scode;
    if (SUCCEEDED(status)) status = excep.wCode ? MAKE_HRESULT(1, FACILITY_ITF, excep.wCode) : E_FAIL;
    faultSource = excep.source.ToUtf8();
    faultDescribed = !excep.description.IsNull();
    return Status(status, excep.description.ToUtf8());
  }
  if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTOPTIONAL || hr == DISP_E_BADPARAMCOUNT ||
      hr == DISP_E_OVERFLOW) {
    const std::string name = argError < method.info->params.size() ? (*method.wire)[argError] : std::string("?");
    return Status(hr, text::Format("The parameter \"%s\" cannot be passed to \"%S\": %s", name, method.info->name,
                                   com::HResultText(hr)));
  }
  if (FAILED(hr)) return Status(hr, ErrorText(hr));
  return Status();
}

// The outputs as text, the return value first, then the others in
// interface order.
Status CollectOutputs(const Method& method, const Variant& result, const Arguments& arguments, ResultStream* stream,
                      std::vector<NamedValue>& outputs) {
  const std::vector<ParamInfo>& params = method.info->params;
  const std::vector<std::string>& wire = *method.wire;
  Bstr text;
  if (stream && stream->Written()) {
    // The pieces are the result; once the answer began, the mark stands for
    // what went out.
    const Status failure =
        stream->status().ok() ? Status() : Status(stream->status().code(), stream->status().Text());
    text = stream->Committed() ? Bstr::FromUtf8(kResultMark) : Bstr::TakeUtf8(stream->TakeHeld());
    outputs.push_back({wire.back(), std::move(text)});
    if (!failure.ok()) return failure;
  } else if (method.HasRetval()) {
    const bool isText = SUCCEEDED(OutputText(result, text));
    outputs.push_back({wire.back(), std::move(text)});
    if (!isText)
      return Status(DISP_E_TYPEMISMATCH, text::Format("The return value of \"%S\" is not text.", method.info->name));
  }
  for (size_t i = 0; i < method.Passed(); ++i) {
    if (params[i].direction == ParamDirection::In) continue;
    if (FAILED(OutputText(arguments.outs[i], text)))
      return Status(DISP_E_TYPEMISMATCH,
                    text::Format("The output \"%s\" of \"%S\" is not text.", wire[i], method.info->name));
    outputs.push_back({wire[i], std::move(text)});
  }
  return Status();
}

// `ns`: the namespace of the request's method element, for errorInfo.
CallResult FaultResult(const Endpoint& endpoint, const Status& failure, std::string_view ns = {},
                       std::string_view source = text::Narrow(kSource), bool described = false) {
  CallResult r;
  r.fault = true;
  r.status = failure.code();
  r.body = WriteFault({failure.code(), failure.message(), std::string(source), endpoint.path, described}, ns);
  return r;
}

// Whatever happens in a call, the thread's error information goes with it.
struct ErrorReset {
  ErrorReset() = default;
  ErrorReset(const ErrorReset&) = delete;
  ErrorReset& operator=(const ErrorReset&) = delete;
  ~ErrorReset() { com::ClearErrorInfo(); }
};

}  // namespace

Dispatcher::Dispatcher(ParseLimits limits, const eventlog::EventSource* log) : limits_(limits), log_(log) {}

Dispatcher::~Dispatcher() {
  Apartment apartment;
  classes_.clear();
}

Result<Dispatcher::Class*> Dispatcher::ClassOf(const Endpoint& endpoint) {
  auto it = classes_.find(endpoint.progId);
  if (it != classes_.end()) return it->second.get();
  com::ClearErrorInfo();
  com::CLSID clsid;
  HRESULT hr = com::CLSIDFromProgID(std::string_view(endpoint.progId), clsid);
  if (FAILED(hr))
    return Status(hr, text::Format("The component \"%s\" is not registered (%s).", endpoint.progId, ErrorText(hr)));
  auto cls = std::make_unique<Class>();
  hr = com::CoGetClassObject(clsid, com::CLSCTX_INPROC_SERVER, com::IClassFactory::kIid, cls->factory.PutVoid());
  if (FAILED(hr))
    return Status(hr, text::Format("The component \"%s\" cannot be loaded: %s", endpoint.progId, ErrorText(hr)));
  return classes_.emplace(endpoint.progId, std::move(cls)).first->second.get();
}

Status Dispatcher::EnsureMethods(Class& cls, const Endpoint& endpoint, ComPtr<com::IUnknown>& created) {
  if (cls.methodsKnown) return Status();
  QUOR_RETURN_IF_ERROR(Created(*cls.factory, endpoint, created));
  ComPtr<com::IDispatchInfo> info;
  if (FAILED(created.As(info)))
    return Status(E_NOINTERFACE, text::Format("The component \"%s\" does not describe its methods.", endpoint.progId));
  std::vector<MemberInfo> members;
  if (HRESULT hr = info->GetMembers(members); FAILED(hr))
    return Status(hr,
                  text::Format("The component \"%s\" does not list its methods: %s", endpoint.progId, ErrorText(hr)));
  for (MemberInfo& m : members)
    if (m.kind == com::MemberKind::Method) cls.methods.push_back(std::move(m));
  for (const MemberInfo& m : cls.methods) {
    std::vector<std::string>& names = cls.wireNames.emplace_back();
    for (size_t i = 0; i < m.params.size(); ++i) names.push_back(WireName(m.params[i], i));
  }
  cls.methodsKnown = true;
  return Status();
}

Result<Dispatcher::Class*> Dispatcher::KeptClass(const Endpoint& endpoint, ComPtr<com::IUnknown>& created) {
  MutexLock lock(classesMutex_);
  QUOR_ASSIGN_OR_RETURN(Class* cls, ClassOf(endpoint));
  QUOR_RETURN_IF_ERROR(EnsureMethods(*cls, endpoint, created));
  return cls;
}

std::string Dispatcher::RequestFault(const Endpoint& endpoint, HRESULT status, std::string_view description) {
  return WriteFault({status, std::string(description), std::string(text::Narrow(kSource)), endpoint.path});
}

Result<std::vector<MemberInfo>> Dispatcher::Methods(const Endpoint& endpoint) {
  try {
    Apartment apartment;
    MutexLock lock(classesMutex_);
    ComPtr<com::IUnknown> created;
    Result<Class*> cls = ClassOf(endpoint);
    const Status status = cls.ok() ? EnsureMethods(**cls, endpoint, created) : cls.status();
    if (status.ok()) {
      std::vector<MemberInfo> methods = (*cls)->methods;
      created.Reset();
      com::ClearErrorInfo();
      return methods;
    }
    created.Reset();
    com::ClearErrorInfo();
    if (log_) log_->Report(eventlog::EventType::Error, 21, {endpoint.path, status.message()});
    return status;
  } catch (const std::exception& e) {
    return Status(E_UNEXPECTED, e.what());
  }
}

CallResult Dispatcher::Call(const Endpoint& endpoint, std::string_view body, std::string_view clientAddress,
                            AnswerWriter* writer) {
  return Run(endpoint, body, nullptr, nullptr, com::CallContext{std::string(clientAddress), nullptr}, writer);
}

CallResult Dispatcher::Call(const Endpoint& endpoint, std::string&& body, std::string_view clientAddress,
                            AnswerWriter* writer, com::MemoryHold hold) {
  std::string owned = std::move(body);
  const com::CallContext context{std::string(clientAddress), nullptr, hold.Account()};
  return Run(endpoint, owned, &owned, &hold, context, writer);
}

Result<Request> Dispatcher::ReadRequest(const Endpoint& endpoint, std::string_view body, std::string* owned,
                                        com::MemoryHold* hold) const {
  // The values read from a text are no longer than it: room for them comes
  // before they are made.
  if (owned && hold) {
    if (Status room = hold->GrowTo(hold->Held() + owned->size()); !room.ok()) {
      if (log_) log_->Report(eventlog::EventType::Error, 28, {endpoint.path, room.message()});
      return room;
    }
  }
  // A body handed over is parsed where it lies, and gone once read.
  Result<Request> request = owned ? ParseRequest(std::move(*owned), limits_) : ParseRequest(body, limits_);
  if (!request.ok()) {
    const std::string reason = request.status().message();
    if (log_) log_->Report(eventlog::EventType::Warning, 20, {endpoint.path, reason});
    return Status(E_INVALIDARG, "The request is not a valid SOAP call: " + reason);
  }
  // Everything the call needs is in `request` now.
  if (owned) std::string().swap(*owned);
  if (hold) {
    uint64_t values = 0;
    for (const NamedValue& p : request->params)
      values += p.value.HoldsUtf8() ? p.value.Utf8().size() : p.value.Length() * sizeof(char16_t);
    hold->ShrinkTo(values);
  }
  return request;
}

Status Dispatcher::CallComponent(const Endpoint& endpoint, Request& request, const com::CallContext& context,
                                 AnswerWriter* writer, CallState& call) {
  // A component that cannot be had or made is an error of the server's.
  const auto notCreated = [&](Status failure) {
    if (log_) log_->Report(eventlog::EventType::Error, 21, {endpoint.path, failure.message()});
    return failure;
  };
  ComPtr<com::IUnknown> object;
  Result<Class*> kept = KeptClass(endpoint, object);
  if (!kept.ok()) return notCreated(kept.status());
  // From here on the class is only read: its factory makes objects on any
  // thread and its method list no longer changes.
  const Class& cls = **kept;
  QUOR_ASSIGN_OR_RETURN(const Method method, FindMethod(cls.methods, cls.wireNames, endpoint, request.method));
  call.methodName = text::Narrow(method.info->name);
  QUOR_ASSIGN_OR_RETURN(Given given, Bind(method, request.params));
  if (!object) {
    if (Status created = Created(*cls.factory, endpoint, object); !created.ok()) return notCreated(std::move(created));
  }
  ComPtr<com::IDispatch> dispatch;
  if (FAILED(object.As(dispatch)))
    return Status(E_NOINTERFACE, text::Format("The component \"%s\" cannot be called by name.", endpoint.progId));
  // The component's arguments and results go before its object does.
  Arguments arguments(method, std::move(given));
  // The return value may come as a stream; the answer around it is known up
  // to the result's text already.
  if (writer && method.HasRetval()) {
    std::string prefix = WriteAnswer(
        call.methodName, std::vector<NamedValue>{{method.wire->back(), Bstr::FromUtf8(kResultMark)}}, call.ns);
    prefix.resize(prefix.rfind(kResultMark));
    call.stream.emplace(*writer, std::move(prefix));
  }
  ResultStream* stream = call.stream ? &*call.stream : nullptr;
  Variant result;
  QUOR_RETURN_IF_ERROR(
      Invoke(*dispatch, method, arguments, result, context, stream, call.faultSource, call.faultDescribed));
  return CollectOutputs(method, result, arguments, stream, call.outputs);
}

CallResult Dispatcher::Answer(const Endpoint& endpoint, Status status, CallState& call) const {
  if (call.stream && call.stream->Committed()) {
    if (status.ok()) {
      // The whole answer with the mark for the result: what follows the
      // mark is what the client still lacks.
      const std::string whole = WriteAnswer(call.methodName, call.outputs, call.ns);
      const size_t at = call.stream->PrefixSize();
      Status finished = whole.compare(at, kResultMark.size(), kResultMark) == 0
                            ? call.stream->Finish(std::string_view(whole).substr(at + kResultMark.size()))
                            : Status(E_UNEXPECTED, "The streamed answer lost its place.");
      if (finished.ok()) {
        CallResult r;
        r.streamed = true;
        return r;
      }
      status = Status(finished.code(), finished.Text());
    }
    return CutOff(log_, endpoint.path, call.methodName, status.code(), status.message(), *call.stream);
  }
  if (!status.ok()) return FaultResult(endpoint, status, call.ns, call.faultSource, call.faultDescribed);
  CallResult r;
  r.body = WriteAnswer(call.methodName, call.outputs, call.ns);
  return r;
}

CallResult Dispatcher::Run(const Endpoint& endpoint, std::string_view body, std::string* owned, com::MemoryHold* hold,
                           const com::CallContext& context, AnswerWriter* writer) {
  // Outside the try: an answer that began must be ended whatever is thrown.
  CallState call;
  try {
    Result<Request> request = ReadRequest(endpoint, body, owned, hold);
    if (!request.ok()) return FaultResult(endpoint, request.status());
    body = {};
    call.ns = request->ns;
    Status status;
    {
      const com::CallContextScope scope(context);
      Apartment apartment;
      com::ClearErrorInfo();
      const ErrorReset reset;
      status = CallComponent(endpoint, *request, context, writer, call);
    }
    return Answer(endpoint, std::move(status), call);
  } catch (const std::exception& e) {
    if (log_) log_->Report(eventlog::EventType::Error, 22, {endpoint.path, e.what()});
    const Status failure(E_UNEXPECTED, text::Format("The call failed unexpectedly: %s", e.what()));
    if (call.stream && call.stream->Committed())
      return CutOff(log_, endpoint.path, call.methodName, failure.code(), failure.message(), *call.stream);
    return FaultResult(endpoint, failure, call.ns);
  } catch (...) {
    if (log_) log_->Report(eventlog::EventType::Error, 22, {endpoint.path, "unknown exception"});
    const Status failure(E_UNEXPECTED, "The call failed unexpectedly.");
    if (call.stream && call.stream->Committed())
      return CutOff(log_, endpoint.path, call.methodName, failure.code(), failure.message(), *call.stream);
    return FaultResult(endpoint, failure, call.ns);
  }
}

}  // namespace quor::soap
