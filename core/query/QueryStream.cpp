#include "core/query/QueryStream.h"

#include "core/KeywordTable.h"
#include "core/StatusCodes.h"

namespace quor::core {

Status QueryStream::Fail(Status failure) {
  failure_ = std::move(failure);
  return failure_;
}

Status QueryStream::Write(std::string_view piece) {
  if (finished_) return Fail(Status(E_UNEXPECTED));
  return Send(piece, false);
}

Status QueryStream::Finish(std::string_view rest) {
  if (finished_) return Fail(Status(E_UNEXPECTED));
  finished_ = true;
  return Send(rest, true);
}

Status QueryStream::Send(std::string_view piece, bool last) {
  if (!failure_.ok()) return failure_;
  // A piece leaves up to its last whole tag, so that the check never cuts
  // a text run and every piece ends on a whole character; the accessor's
  // pieces end so anyway.
  std::string joined;
  std::string_view text = piece;
  if (!held_.empty()) {
    joined = std::move(held_);
    held_.clear();
    joined.append(piece);
    text = joined;
  }
  size_t cut = text.size();
  if (!last) {
    const size_t gt = text.rfind('>');
    cut = gt == std::string_view::npos ? 0 : gt + 1;
  }
  held_.assign(text.substr(cut));
  text = text.substr(0, cut);

  // What the engine would not take as it is when holding the answer whole
  // fails as it fails there.
  const auto& keywords = CKeywordTable::Instance();
  if (checked_ && !check_.Feed(text)) return Fail(Status(QS_E_XML_LOAD_FAILED));
  if (checked_ && last && (!check_.Complete() || check_.Top() != keywords.Narrow(KW_RESPONSE) || check_.TopChildren() != 1 ||
               check_.FirstChild() != keywords.Narrow(KW_TABLE)))
    return Fail(Status(check_.Complete() ? E_UNEXPECTED : QS_E_XML_LOAD_FAILED));

  if (converter_) return Convert(text, last);
  const std::string_view root = keywords[KW_ROOT].Utf8();
  if (started_ && !last) {
    if (text.empty()) return Status();
    if (Status sent = out_.Write(text); !sent.ok()) return Fail(std::move(sent));
    return Status();
  }
  if (!started_ && !last && text.empty()) return Status();
  std::string out;
  out.reserve(text.size() + 2 * root.size() + 5);
  if (!started_) out.append("<").append(root).append(">");
  out.append(text);
  if (last) out.append("</").append(root).append(">");
  started_ = true;
  if (Status sent = out_.Write(out); !sent.ok()) return Fail(std::move(sent));
  return Status();
}

Status QueryStream::Convert(std::string_view text, bool last) {
  // When the answer's way out failed, that failure caused the transformer's
  // and stands for it.
  const auto failed = [&](HRESULT hr) {
    return Fail(!converted_.failure.ok() ? converted_.failure : Status(hr));
  };
  if (!text.empty()) {
    started_ = true;
    if (const HRESULT hr = converter_->ConvertPiece(text); FAILED(hr)) return failed(hr);
  }
  if (!last) return Status();
  started_ = true;
  if (const HRESULT hr = converter_->EndConvert(); FAILED(hr)) return failed(hr);
  const std::string_view root = CKeywordTable::Instance()[KW_ROOT].Utf8();
  std::string end;
  end.append("</").append(root).append(">");
  if (Status sent = converted_.Write(end); !sent.ok()) return Fail(std::move(sent));
  return Status();
}

Status QueryStream::Converted::Write(std::string_view piece) {
  if (!failure.ok()) return failure;
  Status sent;
  if (opened) {
    sent = out_.Write(piece);
  } else {
    opened = true;
    const std::string_view root = CKeywordTable::Instance()[KW_ROOT].Utf8();
    std::string out;
    out.reserve(piece.size() + root.size() + 2);
    out.append("<").append(root).append(">").append(piece);
    sent = out_.Write(out);
  }
  if (!sent.ok()) failure = sent;
  return sent;
}

}  // namespace quor::core
