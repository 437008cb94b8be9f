#include "core/ResponseStream.h"

#include "core/QuorServiceUtils.h"
#include "core/ServiceModule.h"

namespace quor::core {

size_t PieceEnd(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t end = limit;
  // Back to the start of a character; four steps at most in valid UTF-8.
  for (int step = 0; step < 4 && end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++step) --end;
  return end > 0 ? end : limit;
}

ResponseStream::ResponseStream(com::ResultSink& carrier, const com::Bstr& user, std::u16string_view operation)
    : carrier_(carrier), user_(user), operation_(operation) {}

ResponseStream::~ResponseStream() = default;

void ResponseStream::BeginToken() {
  signing_ = CServiceModule::Instance().EnsureUtils().BeginStreamedResult(user_, operation_, session_).ok();
}

Status ResponseStream::Write(std::string_view piece) {
  if (!started_) {
    started_ = true;
    BeginToken();
  }
  if (signing_ && session_) signing_ = SUCCEEDED(session_->HashTokenStream(piece));
  return carrier_.Write(piece);
}

Status ResponseStream::WriteWhole(std::string_view text) {
  while (!text.empty()) {
    const size_t end = PieceEnd(text, kPiece);
    QUOR_RETURN_IF_ERROR(Write(text.substr(0, end)));
    text.remove_prefix(end);
  }
  return Status();
}

com::Bstr ResponseStream::End() {
  com::Bstr reskey(u"");
  if (signing_ && session_ && FAILED(session_->EndTokenStream(&reskey))) reskey = com::Bstr(u"");
  session_ = nullptr;
  signing_ = false;
  return reskey;
}

}  // namespace quor::core
