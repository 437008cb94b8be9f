// A small XML document object model with the semantics the system was built
// on: documents, elements, text, CDATA, comments, processing instructions and
// the XML declaration as nodes, walked through first child / next sibling
// links and written out without any added white space. Attributes are
// ordered name/value pairs on their element.
//
// Nodes are reference counted (std::shared_ptr). A parent owns its children;
// the links up (parent, owner document) are weak, so a node that is still
// held stays valid after it is taken out of its tree or after its document is
// released: it then simply has no parent (and, once the document is gone, no
// owner document). Moving a node into another tree (appendChild and friends)
// takes it out of its old parent first, also across documents.
//
// Text is UTF-8 throughout. A document and its nodes are not thread-safe for
// writing; concurrent readers of an unchanging tree are fine.
//
// Failed operations do not throw: structural calls answer a null pointer,
// setters false, and loading fills parseError().
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quor::xml {

class Node;
class Document;
using NodePtr = std::shared_ptr<Node>;
using DocumentPtr = std::shared_ptr<Document>;

// The DOM's node type numbers; callers compare them as integers too.
enum class NodeType : int {
  Element = 1,
  Attribute = 2,  // the DOM's number; attributes here are name/value pairs, not nodes
  Text = 3,
  CData = 4,
  ProcessingInstruction = 7,  // also the XML declaration, named "xml"
  Comment = 8,
  Document = 9,
};

// Why a load failed (ParseError::errorCode); 0 is success.
enum class ParseErrorCode : long {
  None = 0,
  FileError = -1,           // the file is missing or cannot be read
  UnknownEncoding = -2,     // the declared encoding is not one we can convert
  BadEncoding = -3,         // bytes that are not valid in the document's encoding
  InvalidCharacter = -4,    // a character XML does not allow (control characters)
  Syntax = -5,              // malformed markup
  TagMismatch = -6,         // an end tag that does not close the open element
  UnexpectedEnd = -7,       // the text ends inside markup or with open elements
  NoDocumentElement = -8,   // no element at all (an empty text included)
  TopLevelContent = -9,     // a second element or text beside the document element
  DuplicateAttribute = -10,
  BadReference = -11,       // '&' not starting a known entity or a valid character
  Declaration = -12,        // a misplaced or malformed XML declaration
  OutOfMemory = -13,
};

struct ParseError {
  long errorCode = 0;  // a ParseErrorCode value
  std::string reason;
  long line = 0;       // 1-based; 0 when the failure has no place in the text
  long linepos = 0;    // 1-based character position in that line
  std::string srcText; // the line the error is on (may be cut short)

  ParseErrorCode code() const { return static_cast<ParseErrorCode>(errorCode); }
  bool failed() const { return errorCode != 0; }
};

struct Attribute {
  std::string name;
  std::string value;
};

class Node : public std::enable_shared_from_this<Node> {
 protected:
  struct Key {
    explicit Key() = default;
  };

 public:
  // Use Document::create*; the key keeps construction inside this library.
  // (Not virtual: every node is made by make_shared, which destroys the
  // right type, and a small node keeps large documents small.)
  Node(Key, NodeType type, std::string data);
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  NodeType nodeType() const { return type_; }
  // The tag for elements, the target for processing instructions ("xml" for
  // the declaration), otherwise "#text", "#cdata-section", "#comment" or
  // "#document".
  std::string nodeName() const;
  // Null for elements and documents; the text or instruction data otherwise.
  std::optional<std::string> nodeValue() const;
  // False (nothing changes) for elements and documents.
  bool setNodeValue(std::string_view value);

  // All descendant text and CDATA in document order (comments and processing
  // instructions left out); the value itself for the other node types.
  std::string text() const;
  // On an element: replaces all children by one text node, or by none when
  // `value` is empty. On a value-holding node it sets the value. False for a
  // document.
  bool setText(std::string_view value);

  // The node written out as XML text, nothing added: no declaration unless
  // the node is one or is a document holding one (a document gives its
  // top-level nodes one after the other), no white space between nodes,
  // "<x/>" for an element without children; '&', '<', '>' escaped in text,
  // and in attribute values also '"', tab, line feed and carriage return.
  std::string xml() const;
  // What the subtree holds on the heap, as malloc counts it (each block with
  // its header): for reserving the memory a tree takes.
  uint64_t Footprint() const;

  NodePtr parentNode() const;  // null for documents and detached nodes
  NodePtr firstChild() const { return first_; }
  NodePtr lastChild() const;
  NodePtr nextSibling() const { return next_; }
  NodePtr previousSibling() const;
  // A snapshot of the children in order: take it once and index it.
  std::vector<NodePtr> childNodes() const;
  bool hasChildNodes() const { return first_ != nullptr; }
  // Null for a document itself and once the owning document is released.
  DocumentPtr ownerDocument() const { return owner_.lock(); }

  // Moves `child` under this node (out of its old parent, whatever document
  // that is in) and answers it; null when the move is not allowed: no child,
  // this node cannot have children, `child` is this node or one of its
  // ancestors, `child` is a document, or the result would not be a
  // well-formed document (a second document element, text at the top level,
  // a declaration in an element or a second one). A declaration put into a
  // document always goes first.
  NodePtr appendChild(const NodePtr& child);
  // As appendChild, placed before `ref` (a child of this node; null appends).
  NodePtr insertBefore(const NodePtr& child, const NodePtr& ref);
  // Takes `child` out and answers it; null when it is not a child of this node.
  NodePtr removeChild(const NodePtr& child);
  // Puts `newChild` where `oldChild` is and answers `oldChild`.
  NodePtr replaceChild(const NodePtr& newChild, const NodePtr& oldChild);
  // A copy with no parent and the same owner document: shallow copies the node
  // with its attributes, deep the whole subtree. Copying a document gives a
  // new document (see Document::From).
  NodePtr cloneNode(bool deep) const;

  // ---- Attributes (elements only; names compare exactly) ------------------
  std::optional<std::string> getAttribute(std::string_view name) const;
  // An existing attribute keeps its place; a new one goes last. False when
  // this is not an element or `name` is not an XML name.
  bool setAttribute(std::string_view name, std::string_view value);
  // True when an attribute was removed.
  bool removeAttribute(std::string_view name);
  // The attributes in order, to walk by index. The reference is good until
  // this element's attributes change; empty for other node types.
  const std::vector<Attribute>& attributes() const { return attributes_; }

 protected:
  // For Document: nodes it creates belong to it.
  NodePtr MakeNode(NodeType type, std::string data);
  void RemoveAllChildren();

 private:
  friend class Document;
  friend struct TreeAccess;

  bool CanHoldChildren() const { return type_ == NodeType::Element || type_ == NodeType::Document; }
  bool IsDeclaration() const;
  size_t TargetLength() const;
  // Whether `child` may go in place of `replacing` (null: added).
  bool Accepts(const Node& child, const Node* replacing) const;
  NodePtr Insert(const NodePtr& child, Node* before, const Node* replacing);
  void Link(NodePtr child, Node* ref);
  NodePtr Unlink(Node* child);
  void AdoptInto(const std::weak_ptr<Document>& owner);
  NodePtr CopyShallow(const std::weak_ptr<Document>& owner) const;

  NodeType type_;
  // The tag of an element; the value of text, CDATA and comments; "target
  // data" for a processing instruction (a target never holds a space).
  std::string data_;
  std::weak_ptr<Node> parent_;
  std::weak_ptr<Document> owner_;
  NodePtr first_;
  Node* last_ = nullptr;
  NodePtr next_;
  Node* prev_ = nullptr;
  std::vector<Attribute> attributes_;
};

class Document final : public Node {
 public:
  static DocumentPtr Create();
  explicit Document(Key key);
  // `node` as a document when it is one (a clone of a document, say).
  static DocumentPtr From(const NodePtr& node);

  // Reads and parses a file. A UTF-16 (byte order mark) or UTF-8 file loads
  // as it is; a file whose declaration names another encoding is converted
  // first. The previous content is dropped in any case; on failure the
  // document stays empty and parseError() says why.
  bool load(std::string_view path);
  // Parses UTF-8 text; an encoding named in its declaration is ignored.
  bool loadXML(std::string_view utf8);
  bool loadXML(std::u16string_view text);
  const ParseError& parseError() const { return parseError_; }

  // Writes the document as UTF-8 with an XML declaration first (the
  // document's own, its encoding made "UTF-8", or a default one) through a
  // temporary file, so a failure leaves no file behind. Paths may use '\'.
  bool save(std::string_view path) const;

  // The document's element, null when it has none.
  NodePtr documentElement() const;

  // Each answers a new node of this document, not yet in the tree; null when
  // a name is not an XML name.
  NodePtr createElement(std::string_view tagName);
  NodePtr createTextNode(std::string_view data);
  NodePtr createCDATASection(std::string_view data);
  NodePtr createComment(std::string_view data);
  // Target "xml" makes an XML declaration; null when `data` holds "?>".
  NodePtr createProcessingInstruction(std::string_view target, std::string_view data);

 private:
  friend struct TreeAccess;
  void Reset();
  bool ParseBytes(std::string_view bytes);
  bool Parse(std::string_view utf8);
  // Records the failure (placed at `offset` of `text` when that is given),
  // empties the document and answers false.
  bool Fail(ParseErrorCode code, std::string reason, std::string_view text = {},
            size_t offset = std::string_view::npos);

  ParseError parseError_;
};

// Whether `name` can be an element, attribute or processing instruction name.
bool IsXmlName(std::string_view name);

// Whether `node` is an element named exactly `name`; false for a null node.
bool IsElement(const Node& node, std::string_view name);
bool IsElement(const NodePtr& node, std::string_view name);
// The value of an element's first child when that child is text or CDATA;
// none when it has no child or its first is of another kind.
std::optional<std::string> ElementValue(const Node& element);
// The same, empty for none: where no value and an empty one mean the same.
std::string ElementText(const Node& element);

}  // namespace quor::xml
