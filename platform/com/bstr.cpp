#include "platform/com/bstr.h"

#include "platform/text/text.h"

namespace quor::com {

namespace {
const std::u16string& EmptyWide() {
  static const std::u16string empty;
  return empty;
}
}  // namespace

void Bstr::Assign(std::u16string&& text) {
  if (text.empty()) {
    rep_.reset();
    return;
  }
  auto rep = std::make_shared<Rep>();
  rep->length = text.size();
  rep->wide = std::move(text);
  rep->wideReady.store(true, std::memory_order_relaxed);
  rep_ = std::move(rep);
}

Bstr Bstr::FromUtf8(std::string_view utf8) {
  Bstr b;
  b.null_ = false;
  if (utf8.empty()) return b;
  // Valid text is kept as it is; anything else is made UTF-16 at once, so
  // the UTF-8 form later written is the substituted one.
  if (const auto length = text::Utf16Length(utf8)) {
    auto rep = std::make_shared<Rep>();
    rep->length = *length;
    rep->utf8.assign(utf8);
    rep->fromUtf8 = true;
    rep->utf8Ready.store(true, std::memory_order_relaxed);
    b.rep_ = std::move(rep);
  } else {
    b.Assign(text::Widen(utf8));
  }
  return b;
}

Bstr Bstr::TakeUtf8(std::string&& utf8) {
  Bstr b;
  b.null_ = false;
  if (utf8.empty()) return b;
  if (const auto length = text::Utf16Length(utf8)) {
    auto rep = std::make_shared<Rep>();
    rep->length = *length;
    rep->utf8 = std::move(utf8);
    rep->fromUtf8 = true;
    rep->utf8Ready.store(true, std::memory_order_relaxed);
    b.rep_ = std::move(rep);
  } else {
    b.Assign(text::Widen(utf8));
  }
  return b;
}

std::string_view Bstr::Utf8() const {
  if (!rep_) return {};
  Rep& rep = *rep_;
  if (!rep.utf8Ready.load(std::memory_order_acquire)) {
    MutexLock lock(rep.convert);
    if (!rep.utf8Ready.load(std::memory_order_relaxed)) {
      rep.utf8 = text::Narrow(rep.wide);
      rep.utf8Ready.store(true, std::memory_order_release);
    }
  }
  return rep.utf8;
}

const std::u16string& Bstr::Str() const {
  if (!rep_) return EmptyWide();
  Rep& rep = *rep_;
  if (!rep.wideReady.load(std::memory_order_acquire)) {
    MutexLock lock(rep.convert);
    if (!rep.wideReady.load(std::memory_order_relaxed)) {
      rep.wide = text::Widen(rep.utf8);
      rep.wideReady.store(true, std::memory_order_release);
    }
  }
  return rep.wide;
}

Bstr& Bstr::Append(std::u16string_view more) {
  null_ = false;
  if (more.empty()) return *this;
  if (rep_ && rep_.use_count() == 1 && !rep_->fromUtf8) {
    // Ours alone: grow it in place; its UTF-8 form, if made, is stale.
    Rep& rep = *rep_;
    rep.wide.append(more);
    rep.length = rep.wide.size();
    rep.utf8.clear();
    rep.utf8Ready.store(false, std::memory_order_relaxed);
    return *this;
  }
  std::u16string text;
  text.reserve(Length() + more.size());
  text.append(Str()).append(more);
  Assign(std::move(text));
  return *this;
}

bool Bstr::SameText(const Bstr& a, const Bstr& b) {
  if (a.rep_ == b.rep_) return true;
  if (a.Length() != b.Length()) return false;
  if (!a.rep_ || !b.rep_) return false;
  // Text made from valid UTF-8 maps one to one onto its UTF-16 form.
  if (a.rep_->fromUtf8 && b.rep_->fromUtf8) return a.rep_->utf8 == b.rep_->utf8;
  return a.Str() == b.Str();
}

}  // namespace quor::com
