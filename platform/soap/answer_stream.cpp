#include "platform/soap/answer_stream.h"

#include <expat.h>

#include <algorithm>
#include <limits>

#include "platform/text/text.h"

namespace quor::soap {

namespace {

constexpr size_t kMaxDepth = 32;
// Text is passed on in pieces of about this size at most.
constexpr size_t kPieceBytes = 64 * 1024;

std::string_view LocalName(std::string_view name) {
  const size_t colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

}  // namespace

struct AnswerStream::Impl {
  explicit Impl(Events e) : events(std::move(e)), parser(XML_ParserCreate(nullptr)) {
    if (!parser) {
      failed = E_OUTOFMEMORY;
      error = "no XML parser could be made";
      return;
    }
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, &Impl::OnStart, &Impl::OnEnd);
    XML_SetCharacterDataHandler(parser, &Impl::OnText);
    XML_SetStartDoctypeDeclHandler(parser, &Impl::OnDoctype);
  }
  ~Impl() {
    if (parser) XML_ParserFree(parser);
  }

  Events events;
  XML_Parser parser;
  HRESULT failed = S_OK;
  std::string error;
  size_t depth = 0;       // elements open, the Envelope 1
  bool bodySeen = false;  // the Envelope's first child came
  bool inBody = false;
  bool responseSeen = false;  // the Body's first child came
  bool inResponse = false;
  bool fault = false;
  size_t outputs = 0;     // outputs started
  std::string pending;    // output text not yet passed on

  // Stops the parser for good with `hr`.
  void Stop(HRESULT hr, std::string why) {
    if (FAILED(failed)) return;
    failed = hr;
    error = std::move(why);
    XML_StopParser(parser, XML_FALSE);
  }

  bool Flush() {
    if (pending.empty() || FAILED(failed)) return SUCCEEDED(failed);
    const bool go = !events.text || events.text(outputs - 1, pending);
    pending.clear();
    if (!go) Stop(E_ABORT, "the reader of the answer stopped it");
    return go;
  }

  // The output open now, if any.
  bool InOutput() const { return depth == 4 && inResponse && !fault; }

  void Start(std::string_view name) {
    if (FAILED(failed)) return;
    ++depth;
    if (depth > kMaxDepth) return Stop(E_INVALIDARG, "the answer nests its elements too deep");
    const std::string_view local = LocalName(name);
    if (depth == 1) {
      if (local != "Envelope") Stop(E_INVALIDARG, text::Format("the answer is not a SOAP envelope (<%s>)", name));
    } else if (depth == 2 && !bodySeen) {
      if (local != "Body") Stop(E_INVALIDARG, text::Format("the SOAP envelope starts with <%s>, not its Body", name));
      bodySeen = inBody = true;
    } else if (depth == 3 && inBody && !responseSeen) {
      responseSeen = inResponse = true;
      fault = local == "Fault";
      if (events.response && !events.response(local)) Stop(E_ABORT, "the reader of the answer stopped it");
    } else if (depth == 4 && inResponse && !fault) {
      ++outputs;
    } else if (depth == 5 && inResponse && !fault) {
      Stop(E_INVALIDARG, text::Format("output %d of the answer holds an element <%s>", outputs - 1, name));
    }
  }

  void End() {
    if (FAILED(failed)) return;
    if (InOutput() && Flush() && events.end && !events.end(outputs - 1))
      Stop(E_ABORT, "the reader of the answer stopped it");
    if (depth == 3) inResponse = false;
    if (depth == 2) inBody = false;
    --depth;
  }

  void Text(std::string_view piece) {
    if (FAILED(failed) || !InOutput()) return;
    pending.append(piece);
    if (pending.size() >= kPieceBytes) Flush();
  }

  HRESULT Parse(const char* data, size_t size, bool final) {
    if (FAILED(failed)) return failed;
    // Expat takes an int's worth at a time.
    constexpr size_t kMost = std::numeric_limits<int>::max() / 2;
    do {
      const size_t n = std::min(size, kMost);
      const bool last = final && n == size;
      if (XML_Parse(parser, data, static_cast<int>(n), last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
        if (SUCCEEDED(failed)) {
          const XML_Error code = XML_GetErrorCode(parser);
          failed = E_INVALIDARG;
          error = final && (code == XML_ERROR_NO_ELEMENTS || code == XML_ERROR_UNCLOSED_TOKEN ||
                            code == XML_ERROR_PARTIAL_CHAR)
                      ? std::string("the answer ends before its envelope does")
                      : text::Format("the answer is not well-formed XML (line %d, column %d: %s)",
                                     static_cast<uint64_t>(XML_GetCurrentLineNumber(parser)),
                                     static_cast<uint64_t>(XML_GetCurrentColumnNumber(parser)),
                                     XML_ErrorString(code));
        }
        return failed;
      }
      data += n;
      size -= n;
    } while (size > 0);
    Flush();
    return failed;
  }

  static void XMLCALL OnStart(void* self, const XML_Char* name, const XML_Char**) {
    static_cast<Impl*>(self)->Start(name);
  }
  static void XMLCALL OnEnd(void* self, const XML_Char*) { static_cast<Impl*>(self)->End(); }
  static void XMLCALL OnText(void* self, const XML_Char* s, int len) {
    static_cast<Impl*>(self)->Text(std::string_view(s, static_cast<size_t>(len)));
  }
  static void XMLCALL OnDoctype(void* self, const XML_Char*, const XML_Char*, const XML_Char*, int) {
    static_cast<Impl*>(self)->Stop(E_INVALIDARG, "the answer holds a document type declaration");
  }
};

AnswerStream::AnswerStream(Events events) : impl_(std::make_unique<Impl>(std::move(events))) {}

AnswerStream::~AnswerStream() = default;

HRESULT AnswerStream::Feed(std::string_view bytes) {
  if (bytes.empty()) return impl_->failed;
  return impl_->Parse(bytes.data(), bytes.size(), false);
}

HRESULT AnswerStream::Finish() {
  const HRESULT hr = impl_->Parse(nullptr, 0, true);
  if (SUCCEEDED(hr) && !impl_->responseSeen && impl_->depth == 0) {
    impl_->failed = E_INVALIDARG;
    impl_->error = "the SOAP envelope holds no answer";
  }
  return impl_->failed;
}

const std::string& AnswerStream::Error() const { return impl_->error; }

bool AnswerStream::IsFault() const { return impl_->fault; }

}  // namespace quor::soap
