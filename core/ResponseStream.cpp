#include "core/ResponseStream.h"

#include "core/QuorServiceUtils.h"
#include "platform/text/text.h"

namespace quor::core {

ResponseStream::ResponseStream(com::ResultSink& carrier, const CQuorServiceUtils& utils, const com::Bstr& user,
                               std::u16string_view operation)
    : carrier_(carrier), utils_(utils), user_(user), operation_(operation) {}

ResponseStream::~ResponseStream() = default;

void ResponseStream::BeginToken() {
  signing_ = utils_.BeginStreamedResult(user_, operation_, session_).ok();
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
    const size_t end = text::Utf8Cut(text, kPiece);
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
