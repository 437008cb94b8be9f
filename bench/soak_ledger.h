// What the soak wrote and the server acknowledged. A value is kept as the
// tag it was made from (kind, writer, step, size) and made again to compare,
// so the ledger stays small however long the run and however large the
// values. Each key has one writer, so its slot knows the order of its writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/xml/escape.h"

namespace quor::soak {

// One written value; `absent` stands for a removal.
struct Written {
  char kind = 'f';
  uint32_t writer = 0, step = 0, size = 0;
  bool absent = false;
  bool operator==(const Written&) const = default;
};

// The text of a written value: its tag repeated to about `size` bytes, with
// markup, quotes, SQL punctuation, line feeds, tabs and Japanese, cut at a
// character's end and ending in a dot (a value of blanks would not survive
// the XML reader).
inline std::string TextOf(const Written& w) {
  std::string mark = std::string(1, w.kind) + "/" + std::to_string(w.writer) + "/" + std::to_string(w.step) +
                     " <a href=\"x\">'q'</a> & -- ; \xE6\x97\xA5\xE6\x9C\xAC\n\t";
  std::string text;
  text.reserve(w.size + mark.size());
  do text += mark;
  while (text.size() < w.size);
  size_t end = std::min<size_t>(text.size(), std::max<uint32_t>(w.size, 1));
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t')) text.pop_back();
  return text + ".";
}

// The last acknowledged value of a key, and at most a few sent after it
// whose answers never came (or came as failures): any of them may be what
// the server holds.
struct Slot {
  Written acked{.absent = true};
  std::vector<Written> unsure;

  void Sent(const Written& w) { unsure.push_back(w); }
  // The last sent value was acknowledged.
  void Acked() {
    if (unsure.empty()) return;
    acked = unsure.back();
    unsure.clear();
  }
  // The last sent value was refused: it never happened.
  void Dropped() {
    if (!unsure.empty()) unsure.pop_back();
  }
  bool Settled() const { return unsure.empty(); }
  bool MayBeAbsent() const {
    if (acked.absent) return true;
    for (const Written& w : unsure)
      if (w.absent) return true;
    return false;
  }

  // Whether the server may hold `found` (nullopt: nothing). A match settles
  // the slot on it: with one writer, a value read after the writes is theirs.
  bool Check(const std::optional<std::string>& found, bool settle = true) {
    return Settle([&](const Written& w) { return found ? !w.absent && *found == TextOf(w) : w.absent; }, settle);
  }
  // Whether `answer` is the server's answer for one of the values the key
  // may hold: `open`, the text escaped, `close`; or `none` for no value. A
  // match settles the slot as Check does.
  bool CheckAnswer(std::string_view answer, std::string_view open, std::string_view close, std::string_view none,
                   bool settle = true) {
    const auto matches = [&](const Written& w) {
      if (w.absent) return answer == none;
      if (answer.size() < open.size() + close.size() || !answer.starts_with(open) || !answer.ends_with(close))
        return false;
      return answer.substr(open.size(), answer.size() - open.size() - close.size()) == xml::Escaped(TextOf(w));
    };
    return Settle(matches, settle);
  }
  // Whether a value the key may hold matches; the first that does becomes
  // the acknowledged one when `settle` asks.
  template <typename Matches>
  bool Settle(const Matches& matches, bool settle) {
    if (matches(acked)) {
      if (settle) unsure.clear();
      return true;
    }
    for (const Written& w : unsure)
      if (matches(w)) {
        if (settle) {
          acked = w;
          unsure.clear();
        }
        return true;
      }
    return false;
  }
  std::string Expected() const {
    std::string out = acked.absent ? "(absent)" : Describe(TextOf(acked));
    for (const Written& w : unsure) out += " or " + (w.absent ? std::string("(absent)") : Describe(TextOf(w)));
    return out;
  }
  static std::string Describe(const std::string& text) {
    return text.size() > 60 ? text.substr(0, 60) + "...(" + std::to_string(text.size()) + " bytes)" : text;
  }
};

}  // namespace quor::soak
