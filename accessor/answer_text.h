// The accessor's answer document, written as text while it is made: no node
// per value. Elements, attributes and text come out escaped and laid out
// exactly as the document model writes a tree: no added white space, "<x/>"
// for an element without content, '&', '<', '>' and carriage return escaped
// in text, and in attribute values also '"', tab and line feed.
//
// The writer keeps what the transaction runs look at: the first element
// written at the top, the first child of that, and whether every
// "resultCode" among the top's children holds "0". One writer makes one
// answer on one thread; nothing in it is shared.
//
// Given a sink (StreamTo), the text written so far may leave through it at
// the places its caller chooses (FlushIfLarge), so that an answer of many
// rows is never held whole; what is held then is only the text written since.
#pragma once

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accessor/status.h"
#include "platform/com/callcontext.h"
#include "platform/xml/dom.h"

namespace quor::accessor {

class AnswerText {
 public:
  // Text held past this size leaves at the next FlushIfLarge.
  static constexpr std::size_t kFlushAt = std::size_t{64} << 10;

  // Starts an element; `name` must outlive it (the callers' names are
  // literals or the nodes they write).
  void Open(std::string_view name);
  // Starts an element whose start tag, attributes included, was made once
  // by StartTag, for an element written many times.
  void Open(std::string_view name, std::string_view startTag) {
    // Below the two top levels nothing is tracked: the common case, kept short.
    if (open_.size() < 2) return Begin(name, startTag);
    Reserve(startTag.size() + 1);
    EndStartTag();
    out_.append(startTag);
    open_.push_back(name);
    startOpen_ = true;
  }
  static std::string StartTag(std::string_view name,
                              std::initializer_list<std::pair<std::string_view, std::string_view>> attributes);
  // An attribute of the element just opened, before any content.
  void Attribute(std::string_view name, std::string_view value);
  // Text content of the open element; empty text writes nothing.
  void Text(std::string_view value);
  // Text that holds nothing to escape (digits, hexadecimal), as Text.
  void PlainText(std::string_view value);
  void Close() {
    if (open_.size() <= 2 || !startOpen_) return End();
    Reserve(2);
    out_ += "/>";
    startOpen_ = false;
    open_.pop_back();
  }
  // An element of a document, written as the document model writes it.
  void Node(const xml::Node& node);
  // What `part` holds (written from the top) as content at this place.
  void Append(const AnswerText& part);
  // A whole element given as its text (one this class wrote), written as it
  // is: its place is kept, what it holds is not looked at.
  void Element(std::string_view element);

  // A place to come back to, dropping what was written since. The elements
  // open at the mark must still be open when it is rewound to. A mark
  // before text that has left through the sink cannot be come back to: the
  // answer is then broken (Broken()), and its caller's failure is the
  // answer's.
  struct Mark {
    std::size_t size = 0;
    std::size_t depth = 0;
    bool startOpen = false;
    std::array<std::size_t, 2> firstBegin{}, firstEnd{};
    std::array<bool, 2> codesZero{};
    bool inCode = false;
    std::string code;
  };
  Mark Here() const;
  void Rewind(const Mark& mark);

  bool empty() const { return out_.empty() && flushed_ == 0; }
  // The text held: all of it unless some has left through the sink.
  const std::string& str() const { return out_; }
  std::string Take() { return std::move(out_); }

  // ---- Streaming ----
  // Where the text may leave while it is written; null (the default): it is
  // held whole.
  void StreamTo(com::ResultSink* sink) { sink_ = sink; }
  com::ResultSink* Sink() const { return sink_; }
  // Hands the text held to the sink once it has grown to kFlushAt, at a
  // place where the text ends on a whole element. After that, nothing
  // before this place can be rewound to. The sink's failure, which ends the
  // answer, is returned.
  Status FlushIfLarge() {
    if (!sink_ || out_.size() < kFlushAt) return {};
    return Flush();
  }
  // Whether part of the text has left through the sink.
  bool Streamed() const { return flushed_ > 0; }
  // Whether a rewind reached back into text that had left: what is held is
  // no longer the answer's end.
  bool Broken() const { return broken_; }

  // The first element written at the top, and its first child element;
  // empty when there is none, or when its start has left through the sink.
  std::string_view Top() const { return Level(0); }
  std::string_view FirstChild() const { return Level(1); }
  // Whether no "resultCode" among the top's children holds anything but
  // "0" (its text, all of it; none at all is not "0").
  bool ResultCodesZero() const { return codesZero_[1]; }

 private:
  std::string_view Level(std::size_t level) const;
  // Room for `extra` more bytes, so that appending never reallocates on its
  // own (see Grow).
  void Reserve(std::size_t extra) {
    if (out_.capacity() - out_.size() < extra) Grow(extra);
  }
  void Grow(std::size_t extra);
  void EndStartTag() {
    if (!startOpen_) return;
    out_ += '>';
    startOpen_ = false;
  }
  void Begin(std::string_view name, std::string_view startTag);
  void End();
  void EscapedText(std::string_view value);
  Status Flush();
  // The place of the end of the text, counting what has left.
  std::size_t Place() const { return flushed_ + out_.size(); }

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::string out_;
  std::vector<std::string_view> open_;
  bool startOpen_ = false;  // the innermost start tag still lacks its '>'
  // For each of the two top levels: where its first element starts and
  // ends, and whether its "resultCode" elements all hold "0".
  std::array<std::size_t, 2> firstBegin_{kNone, kNone}, firstEnd_{kNone, kNone};
  std::array<bool, 2> codesZero_{true, true};
  // The text of a "resultCode" open at one of the top levels.
  bool inCode_ = false;
  std::string code_;
  com::ResultSink* sink_ = nullptr;
  std::size_t flushed_ = 0;  // bytes that have left through the sink
  bool broken_ = false;
};

// Loads an answer's text into `result` (empty on entry), for callers that
// walk it as a document. E_UNEXPECTED when the text does not load.
Status ToDocument(const AnswerText& answer, const xml::DocumentPtr& result);

}  // namespace quor::accessor
