// The source of a conversion read piece by piece: a response document's
// tables and records handed to the conversion as they are read, its output
// leaving through a sink in pieces of about kFlushAt. What a record holds
// is exactly what the conversion of the parsed document reads of it (the
// parser's rules: blanks alone are no text, references resolved), so the
// two conversions make the same output. One conversion per object, on one
// thread.
#pragma once

#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/callcontext.h"
#include "platform/com/status.h"

namespace quor::transform {

// One child of a record: its tag, its "name" attribute and all the text
// inside it.
struct SourceChild {
  std::string tag;
  std::optional<std::string> name;
  std::string text;
};

class StreamConversion {
 public:
  static constexpr std::size_t kFlushAt = std::size_t{64} << 10;

  virtual ~StreamConversion() = default;

  // Where the output goes; set once, before the first piece.
  void Begin(com::ResultSink* out) { sink_ = out; }
  // The next piece of the source, which is written as the document model
  // writes an element; kInvalidSource for a source that is no response
  // document of tables, E_UNEXPECTED for what cannot be read piece by
  // piece, the sink's failure when it fails. A failure ends the conversion.
  Status Feed(std::string_view piece);
  // The end of the source; the rest of the output leaves.
  Status End();

 protected:
  // The steps of the conversion, writing to Out().
  virtual void StartDocument() = 0;
  virtual void StartTable(const std::optional<std::string>& name) = 0;
  virtual void Record(std::span<const SourceChild> children) = 0;
  virtual void EndTable() = 0;
  virtual void EndDocument() = 0;

  std::string& Out() { return out_; }

  // `<tag>text</tag>` as the document model writes it once parsed: text of
  // blanks alone is none, and an element without text is `<tag/>`.
  static void AppendTextElement(std::string& out, std::string_view tag, std::string_view text);

 private:
  Status Read(std::string_view text);
  Status Tag(std::string_view tag);
  Status Text(std::string_view raw);
  // The failure that ends the conversion; every later call gives it again.
  Status Fail(Status failure) {
    failed_ = failure;
    return failure;
  }
  Status Flush(bool all);

  com::ResultSink* sink_ = nullptr;
  std::string out_;
  std::string held_;  // the start of a tag cut by the end of a piece
  std::size_t depth_ = 0;  // elements open
  bool done_ = false;      // the top element has ended
  std::vector<SourceChild> record_;
  Status failed_;
};

// A plug-in's one conversion read piece by piece, behind its stream entry
// points: nothing escapes them but a code.
class StreamSlot {
 public:
  template <typename Conversion>
  HRESULT Begin(com::ResultSink* out) noexcept {
    if (!out) return E_POINTER;
    if (conversion_) return E_UNEXPECTED;
    try {
      conversion_ = std::make_unique<Conversion>();
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    conversion_->Begin(out);
    return S_OK;
  }
  HRESULT Feed(std::string_view piece) noexcept;
  HRESULT End() noexcept;

 private:
  std::unique_ptr<StreamConversion> conversion_;
};

}  // namespace quor::transform
