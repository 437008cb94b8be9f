// A statement's result on its way to the answer: a node, or an accessor's or
// transformer's text that needs no parsing because it already is exactly
// what its parsed element would be written as.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/query/CompactResult.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

// What IsWrittenElement learns of the element on its way.
struct WrittenElement {
  std::u16string tag;
  // The element's "name" attribute, its references resolved.
  std::optional<std::u16string> name;
};

// Whether `text` is one element written the way the document model writes an
// element it parsed: no declaration, comment, CDATA or white space between
// elements, "<x/>" for an empty element, attributes in double quotes and only
// the references the writer makes. Such a text parses, and its element
// written out again is the text itself, so it can go into an answer as it is.
// Anything else (also what would parse but come out different) is false.
bool IsWrittenElement(std::u16string_view text, WrittenElement* element = nullptr);
bool IsWrittenElement(std::string_view utf8, WrittenElement* element = nullptr);

// IsWrittenElement over a UTF-8 text read part by part, for a text that is
// never held whole. Each part must end where a tag ends ('>'), or be the
// last one; a text run is never cut.
class WrittenStream {
 public:
  // Reads the next part. False once the text read is not as written (and
  // from then on).
  bool Feed(std::string_view part);
  // Whether the text read so far is one whole written element.
  bool Complete() const { return ok_ && closed_; }
  // The top element's name, and what is directly inside it: how many
  // elements, and the first one's name.
  const std::string& Top() const { return top_; }
  std::size_t TopChildren() const { return children_; }
  const std::string& FirstChild() const { return firstChild_; }

 private:
  std::vector<std::string> open_;  // the elements not yet closed
  bool ok_ = true;
  bool closed_ = false;      // the top element has ended
  bool justOpened_ = false;  // the last thing read was a start tag with content to come
  std::string top_, firstChild_;
  std::size_t children_ = 0;
};

// A result held as compact tables, with the heads its cells name.
struct CompactPart {
  std::shared_ptr<const compact::Heads> heads;
  std::shared_ptr<const compact::Response> response;
};

// One statement's result, or none (neither node, text nor compact tables).
struct ResultPart {
  ResultPart() = default;
  explicit ResultPart(xml::NodePtr n) : node(std::move(n)) {}

  xml::NodePtr node;
  // When `node` is none: the element's text, held in a "response" element
  // of its own when `inResponse` is set, and what was read of the element.
  com::Bstr text;
  bool inResponse = false;
  WrittenElement element;
  // When neither: the response held as compact tables.
  std::shared_ptr<const CompactPart> compact;

  explicit operator bool() const { return node || !text.IsNull() || compact; }
  bool IsText() const { return !node && !text.IsNull(); }
  bool IsCompact() const { return !node && text.IsNull() && compact; }
  // The text the part is written as.
  com::Bstr Written() const;
  void AppendTo(std::string& out) const;
  // The part as a node: a text part is parsed for it (E_FAIL if that fails,
  // which a checked text does not).
  Result<xml::NodePtr> Node() const;
};

// When `answer` is a written element: moves it into `part` as a text part,
// in a "response" element of its own unless it is one, and answers true.
// Otherwise `answer` stays as it is.
bool TakeWrittenResponse(com::Bstr& answer, ResultPart& part);

}  // namespace quor::core
