#include "accessor/answer_text.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/com/hresult.h"

namespace quor::accessor {
namespace {

// Which bytes text (1) and attribute values (2) escape, and how.
struct EscapeTable {
  std::array<unsigned char, 256> need{};
  constexpr EscapeTable() {
    need['&'] = need['<'] = need['>'] = need['\r'] = 3;
    need['"'] = need['\t'] = need['\n'] = 2;
  }
};
constexpr EscapeTable kEscape;
constexpr unsigned char kTextMask = 1, kAttributeMask = 2;

std::string_view Replacement(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\t': return "&#x9;";
    case '\n': return "&#xA;";
    default: return "&#xD;";
  }
}

// Whether any byte of the word is one of the four bytes text escapes.
bool MayNeedTextEscape(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  auto has = [&](unsigned char c) {
    const std::uint64_t x = word ^ (kOnes * c);
    return ((x - kOnes) & ~x & kHighs) != 0;
  };
  return has('&') || has('<') || has('>') || has('\r');
}

void AppendEscaped(std::string& out, std::string_view in, unsigned char mask) {
  std::size_t run = 0;
  std::size_t i = 0;
  // Text mostly holds nothing to escape: skip it a word at a time.
  if (mask == kTextMask) {
    for (std::uint64_t word; i + 8 <= in.size(); i += 8) {
      std::memcpy(&word, in.data() + i, 8);
      if (MayNeedTextEscape(word)) break;
    }
  }
  for (; i < in.size(); ++i) {
    if (!(kEscape.need[static_cast<unsigned char>(in[i])] & mask)) continue;
    out.append(in.data() + run, i - run);
    out.append(Replacement(in[i]));
    run = i + 1;
  }
  out.append(in.data() + run, in.size() - run);
}

}  // namespace

// An answer of many rows runs to tens of megabytes. It grows in large steps:
// room reserved and not yet written to costs no memory, while every step
// copies the text, and the kernel has to clear every fresh page it touches.
// Past 64 KiB it takes 1 MiB at once; past 1 MiB, 64 MiB in memory the kernel
// may back with huge pages (faulting in 4 KiB pages one by one took as long
// as making the text).
constexpr std::size_t kMediumFrom = std::size_t{64} << 10;
constexpr std::size_t kLargeFrom = std::size_t{1} << 20;
constexpr std::size_t kLargeStep = std::size_t{64} << 20;

void AnswerText::Grow(std::size_t extra) {
  std::size_t want = std::max({out_.size() + extra, out_.capacity() * 2, std::size_t{4096}});
  const bool large = want >= kLargeFrom;
  if (large) want = std::max(want, kLargeStep);
  else if (want >= kMediumFrom) want = std::max(want, kLargeFrom);
  std::string next;
  next.reserve(want);
  if (large) {
    // Only whole pages inside the fresh buffer, before anything touches them.
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto begin = (reinterpret_cast<std::uintptr_t>(next.data()) + page - 1) / page * page;
    const auto end = (reinterpret_cast<std::uintptr_t>(next.data()) + next.capacity()) / page * page;
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  next.append(out_);
  out_.swap(next);
}

void AnswerText::Begin(std::string_view name, std::string_view startTag) {
  Reserve(std::max(startTag.size(), name.size() + 1) + 1);
  EndStartTag();
  const std::size_t level = open_.size();
  if (level < 2) {
    if (firstBegin_[level] == kNone) firstBegin_[level] = Place();
    if (name == "resultCode") {
      inCode_ = true;
      code_.clear();
    }
  }
  if (startTag.empty()) {
    out_ += '<';
    out_.append(name);
  } else {
    out_.append(startTag);
  }
  open_.push_back(name);
  startOpen_ = true;
}

void AnswerText::End() {
  const std::string_view name = open_.back();
  Reserve(name.size() + 3);
  open_.pop_back();
  if (startOpen_) {
    out_ += "/>";
    startOpen_ = false;
  } else {
    out_ += "</";
    out_.append(name);
    out_ += '>';
  }
  const std::size_t level = open_.size();
  if (level < 2) {
    if (firstEnd_[level] == kNone) firstEnd_[level] = Place();
    if (name == "resultCode" && inCode_) {
      if (code_ != "0") codesZero_[level] = false;
      inCode_ = false;
    }
  }
}

void AnswerText::EscapedText(std::string_view value) {
  Reserve(value.size() * 5 + 1);  // "&amp;" for every byte at most
  EndStartTag();
  AppendEscaped(out_, value, kTextMask);
  if (inCode_) code_.append(value);
}

void AnswerText::Open(std::string_view name) { Begin(name, {}); }

std::string AnswerText::StartTag(std::string_view name,
                                 std::initializer_list<std::pair<std::string_view, std::string_view>> attributes) {
  AnswerText tag;
  tag.Open(name);
  for (const auto& [attribute, value] : attributes) tag.Attribute(attribute, value);
  return tag.Take();
}

void AnswerText::Attribute(std::string_view name, std::string_view value) {
  Reserve(name.size() + value.size() * 6 + 4);  // "&quot;" for every byte at most
  out_ += ' ';
  out_.append(name);
  out_ += "=\"";
  AppendEscaped(out_, value, kAttributeMask);
  out_ += '"';
}

void AnswerText::Text(std::string_view value) {
  if (!value.empty()) EscapedText(value);
}

void AnswerText::PlainText(std::string_view value) {
  if (value.empty()) return;
  Reserve(value.size() + 1);
  EndStartTag();
  out_.append(value);
  if (inCode_) code_.append(value);
}

void AnswerText::Node(const xml::Node& node) {
  // Below the two top levels nothing is tracked: the node goes as it is.
  if (open_.size() >= 2 || (node.nodeType() != xml::NodeType::Element && node.nodeType() != xml::NodeType::Text)) {
    const std::string text = node.xml();
    Reserve(text.size() + 1);
    EndStartTag();
    out_ += text;
    if (inCode_ && node.nodeType() != xml::NodeType::Comment &&
        node.nodeType() != xml::NodeType::ProcessingInstruction)
      code_ += node.text();
    return;
  }
  if (node.nodeType() == xml::NodeType::Text) {
    EscapedText(node.nodeValue().value_or(std::string()));
    return;
  }
  const std::string name = node.nodeName();  // outlives the element's time open
  Begin(name, {});
  for (const xml::Attribute& a : node.attributes()) Attribute(a.name, a.value);
  for (xml::NodePtr child = node.firstChild(); child; child = child->nextSibling()) Node(*child);
  End();
}

void AnswerText::Append(const AnswerText& part) {
  if (part.empty()) return;
  Reserve(part.out_.size() + 1);
  EndStartTag();
  // The part's places count from its own start (a part never streams).
  const std::size_t offset = Place();
  out_ += part.out_;
  const std::size_t depth = open_.size();
  for (std::size_t level = depth; level < 2; ++level) {
    const std::size_t from = level - depth;
    if (firstBegin_[level] == kNone && part.firstBegin_[from] != kNone) {
      firstBegin_[level] = part.firstBegin_[from] + offset;
      firstEnd_[level] = part.firstEnd_[from] == kNone ? kNone : part.firstEnd_[from] + offset;
    }
    codesZero_[level] = codesZero_[level] && part.codesZero_[from];
  }
}

void AnswerText::Element(std::string_view element) {
  Reserve(element.size() + 1);
  EndStartTag();
  const std::size_t level = open_.size();
  if (level < 2 && firstBegin_[level] == kNone) {
    firstBegin_[level] = Place();
    firstEnd_[level] = Place() + element.size();
  }
  out_.append(element);
}

AnswerText::Mark AnswerText::Here() const {
  return Mark{Place(), open_.size(), startOpen_, firstBegin_, firstEnd_, codesZero_, inCode_, code_};
}

void AnswerText::Rewind(const Mark& mark) {
  if (mark.size < flushed_) {
    // What the mark stood before has gone: nothing held is the answer now.
    broken_ = true;
    out_.clear();
    open_.clear();
    startOpen_ = false;
    return;
  }
  out_.resize(mark.size - flushed_);
  open_.resize(mark.depth);
  startOpen_ = mark.startOpen;
  firstBegin_ = mark.firstBegin;
  firstEnd_ = mark.firstEnd;
  codesZero_ = mark.codesZero;
  inCode_ = mark.inCode;
  code_ = mark.code;
}

std::string_view AnswerText::Level(std::size_t level) const {
  if (firstBegin_[level] == kNone || firstEnd_[level] == kNone || firstBegin_[level] < flushed_) return {};
  return std::string_view(out_).substr(firstBegin_[level] - flushed_, firstEnd_[level] - firstBegin_[level]);
}

Status AnswerText::Flush() {
  // A start tag still open may yet become "<x/>": the text waits for a
  // place where every tag written is whole.
  if (!sink_ || out_.empty() || startOpen_) return {};
  const Status written = sink_->Write(out_);
  if (!written.ok()) return written;
  flushed_ += out_.size();
  out_.clear();  // keeps its room for the next piece
  return {};
}

Status ToDocument(const AnswerText& answer, const xml::DocumentPtr& result) {
  if (!result) return Status(E_POINTER);
  if (answer.empty()) return {};
  const xml::DocumentPtr doc = xml::Document::Create();
  if (!doc->loadXML(answer.str())) return Status(E_UNEXPECTED);
  for (xml::NodePtr child = doc->firstChild(); child;) {
    const xml::NodePtr next = child->nextSibling();
    if (!result->appendChild(child)) return Status(E_UNEXPECTED);
    child = next;
  }
  return {};
}

}  // namespace quor::accessor
