// The node tree, attributes and serialisation.
//
// Children form a doubly linked list: the parent owns the first child, each
// child owns the next one; the links back (previous sibling, last child) are
// plain pointers, cleared whenever a node leaves a list. Every walk over a
// tree is iterative, so neither long sibling lists nor deep trees recurse.
//
// Serialisation (xml()) writes exactly the nodes there are: no declaration
// unless the node written is one or is a document that holds one, no white
// space between nodes, "<x/>" for an element without children, '&', '<' and
// '>' escaped in text, and in attribute values also '"' and the white space
// characters a parser would otherwise normalise (tab, line feed, carriage
// return as character references). A document's xml() is its top-level
// nodes one after the other, declaration included, as they are.
#include "platform/xml/dom.h"

#include "platform/fs/fs.h"
#include "platform/text/text.h"
#include "platform/xml/escape.h"
#include "platform/xml/tree.h"

#include <algorithm>
#include <vector>
#include <utility>

namespace quor::xml {

namespace {

const char* SpecialName(NodeType type) {
  switch (type) {
    case NodeType::Text: return "#text";
    case NodeType::CData: return "#cdata-section";
    case NodeType::Comment: return "#comment";
    case NodeType::Document: return "#document";
    default: return nullptr;
  }
}

bool SameOwner(const std::weak_ptr<Document>& a, const std::weak_ptr<Document>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

// A CDATA section cannot hold "]]>": split it over two sections.
void AppendCData(std::string& out, std::string_view in) {
  out += "<![CDATA[";
  for (size_t pos; (pos = in.find("]]>")) != std::string_view::npos;) {
    out.append(in.substr(0, pos + 2));
    out += "]]><![CDATA[";
    in.remove_prefix(pos + 2);
  }
  out.append(in);
  out += "]]>";
}

// The pseudo-attributes of an XML declaration, rewritten to say UTF-8.
std::string Utf8DeclarationData(std::string_view data) {
  static constexpr std::string_view kDefault = "version=\"1.0\" encoding=\"UTF-8\"";
  struct Pseudo {
    std::string_view name;
    char quote;
    std::string_view value;
  };
  std::vector<Pseudo> items;
  size_t i = 0;
  auto skip_space = [&] {
    while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
  };
  while (true) {
    skip_space();
    if (i >= data.size()) break;
    const size_t name_start = i;
    while (i < data.size() && IsNameChar(static_cast<unsigned char>(data[i]))) ++i;
    if (i == name_start) return std::string(kDefault);
    const std::string_view name = data.substr(name_start, i - name_start);
    skip_space();
    if (i >= data.size() || data[i] != '=') return std::string(kDefault);
    ++i;
    skip_space();
    if (i >= data.size() || (data[i] != '"' && data[i] != '\'')) return std::string(kDefault);
    const char quote = data[i++];
    const size_t end = data.find(quote, i);
    if (end == std::string_view::npos) return std::string(kDefault);
    items.push_back({name, quote, data.substr(i, end - i)});
    i = end + 1;
  }
  if (items.empty() || items.front().name != "version") return std::string(kDefault);

  bool has_encoding = false;
  for (auto& item : items) {
    if (item.name != "encoding") continue;
    has_encoding = true;
    if (!text::EqualsNoCase(item.value, "UTF-8")) item.value = "UTF-8";
  }
  if (!has_encoding) items.insert(items.begin() + 1, Pseudo{"encoding", '"', "UTF-8"});

  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ' ';
    out.append(item.name);
    out += '=';
    out += item.quote;
    out.append(item.value);
    out += item.quote;
  }
  return out;
}

}  // namespace

// Walks the descendants of `root` in document order without recursion.
// `enter` is called on the way down, `leave` after a node's children.
template <typename Enter, typename Leave>
void TreeAccess::Walk(const Node& root, Enter&& enter, Leave&& leave) {
  std::vector<const Node*> stack;
  const Node* n = root.first_.get();
  while (n) {
    enter(*n);
    if (n->first_) {
      stack.push_back(n);
      n = n->first_.get();
      continue;
    }
    leave(*n);
    while (!n->next_) {
      if (stack.empty()) return;
      n = stack.back();
      stack.pop_back();
      leave(*n);
    }
    n = n->next_.get();
  }
}

void TreeAccess::WriteStart(const Node& n, std::string& out) {
  switch (n.type_) {
    case NodeType::Element:
      out += '<';
      out += n.data_;
      for (const auto& a : n.attributes_) {
        out += ' ';
        out += a.name;
        out += "=\"";
        AppendEscaped(out, a.value, EscapeRules{.attribute = true});
        out += '"';
      }
      out += n.first_ ? ">" : "/>";
      break;
    case NodeType::Text: AppendEscaped(out, n.data_); break;
    case NodeType::CData: AppendCData(out, n.data_); break;
    case NodeType::Comment:
      out += "<!--";
      out += n.data_;
      out += "-->";
      break;
    case NodeType::ProcessingInstruction:
      out += "<?";
      // "target data", or "target " when there is no data.
      out.append(std::string_view(n.data_).substr(0, n.data_.size() == n.TargetLength() + 1 ? n.data_.size() - 1
                                                                                             : n.data_.size()));
      out += "?>";
      break;
    case NodeType::Attribute:
    case NodeType::Document: break;
  }
}

void TreeAccess::WriteEnd(const Node& n, std::string& out) {
  if (n.type_ == NodeType::Element && n.first_) {
    out += "</";
    out += n.data_;
    out += '>';
  }
}

void TreeAccess::Serialize(const Node& node, std::string& out) {
  WriteStart(node, out);
  Walk(
      node, [&](const Node& n) { WriteStart(n, out); }, [&](const Node& n) { WriteEnd(n, out); });
  WriteEnd(node, out);
}

void TreeAccess::CollectText(const Node& node, std::string& out) {
  Walk(
      node,
      [&](const Node& n) {
        if (n.type_ == NodeType::Text || n.type_ == NodeType::CData) out += n.data_;
      },
      [](const Node&) {});
}

void TreeAccess::Append(Node& parent, NodePtr child) { parent.Link(std::move(child), nullptr); }

NodePtr TreeAccess::Make(Document& doc, NodeType type, std::string data) {
  return doc.MakeNode(type, std::move(data));
}

void TreeAccess::Clear(Node& node) { node.RemoveAllChildren(); }

std::vector<Attribute>& TreeAccess::Attributes(Node& element) { return element.attributes_; }

// ---- Node ---------------------------------------------------------------------

Node::Node(Key, NodeType type, std::string data) : type_(type), data_(std::move(data)) {}

Node::~Node() {
  // Release the subtree iteratively. A child that someone else still holds
  // survives, detached: no parent, no siblings, its own subtree intact.
  if (!first_) return;
  std::vector<NodePtr> pending;
  pending.push_back(std::move(first_));
  last_ = nullptr;
  while (!pending.empty()) {
    NodePtr n = std::move(pending.back());
    pending.pop_back();
    if (n->next_) pending.push_back(std::move(n->next_));
    n->prev_ = nullptr;
    n->parent_.reset();
    if (n.use_count() == 1 && n->first_) {
      pending.push_back(std::move(n->first_));
      n->last_ = nullptr;
    }
  }
}

size_t Node::TargetLength() const { return data_.find(' '); }

std::string Node::nodeName() const {
  if (const char* special = SpecialName(type_)) return special;
  if (type_ == NodeType::ProcessingInstruction) return data_.substr(0, TargetLength());
  return data_;
}

std::optional<std::string> Node::nodeValue() const {
  switch (type_) {
    case NodeType::Element:
    case NodeType::Document: return std::nullopt;
    case NodeType::ProcessingInstruction: return data_.substr(TargetLength() + 1);
    default: return data_;
  }
}

bool Node::setNodeValue(std::string_view value) {
  switch (type_) {
    case NodeType::Element:
    case NodeType::Document: return false;
    case NodeType::ProcessingInstruction:
      data_.resize(TargetLength() + 1);
      data_.append(value);
      return true;
    default: data_.assign(value); return true;
  }
}

std::string Node::text() const {
  if (type_ != NodeType::Element && type_ != NodeType::Document) return *nodeValue();
  std::string out;
  TreeAccess::CollectText(*this, out);
  return out;
}

bool Node::setText(std::string_view value) {
  if (type_ == NodeType::Document) return false;
  if (type_ != NodeType::Element) return setNodeValue(value);
  RemoveAllChildren();
  if (!value.empty()) Link(MakeNode(NodeType::Text, std::string(value)), nullptr);
  return true;
}

std::string Node::xml() const {
  std::string out;
  TreeAccess::Serialize(*this, out);
  return out;
}

namespace {

// A malloc block of `bytes`: its header and alignment, 32 bytes at least.
uint64_t Block(uint64_t bytes) { return bytes == 0 ? 0 : std::max<uint64_t>(32, (bytes + 8 + 15) & ~uint64_t{15}); }
// A string's own block, none while it fits inside the string.
uint64_t Heap(const std::string& s) { return s.capacity() > 15 ? Block(s.capacity() + 1) : 0; }

}  // namespace

uint64_t Node::Footprint() const {
  uint64_t bytes = 0;
  // Depth first without recursion: a deep tree is no risk to the stack.
  std::vector<const Node*> pending{this};
  while (!pending.empty()) {
    const Node* n = pending.back();
    pending.pop_back();
    // make_shared's one block: the node and its counts.
    bytes += Block(sizeof(Node) + 16) + Heap(n->data_) + Block(n->attributes_.capacity() * sizeof(Attribute));
    for (const Attribute& a : n->attributes_) bytes += Heap(a.name) + Heap(a.value);
    for (const Node* child = n->first_.get(); child; child = child->next_.get()) pending.push_back(child);
  }
  return bytes;
}

NodePtr Node::parentNode() const { return parent_.lock(); }
NodePtr Node::lastChild() const { return last_ ? last_->shared_from_this() : nullptr; }
NodePtr Node::previousSibling() const { return prev_ ? prev_->shared_from_this() : nullptr; }

std::vector<NodePtr> Node::childNodes() const {
  std::vector<NodePtr> out;
  for (Node* n = first_.get(); n; n = n->next_.get()) out.push_back(n->shared_from_this());
  return out;
}

bool Node::IsDeclaration() const {
  return type_ == NodeType::ProcessingInstruction && std::string_view(data_).starts_with("xml ");
}

bool Node::Accepts(const Node& child, const Node* replacing) const {
  if (!CanHoldChildren()) return false;
  if (child.type_ == NodeType::Document) return false;
  // Not into itself or its own subtree (a node without children is nobody's ancestor).
  if (&child == this) return false;
  if (child.first_) {
    for (NodePtr up = parent_.lock(); up; up = up->parent_.lock())
      if (up.get() == &child) return false;
  }

  if (type_ == NodeType::Element) return !child.IsDeclaration();
  // A document: at most one element and one declaration, no text.
  if (child.type_ == NodeType::Text || child.type_ == NodeType::CData) return false;
  if (child.type_ == NodeType::Element || child.IsDeclaration()) {
    for (const Node* n = first_.get(); n; n = n->next_.get()) {
      if (n == &child || n == replacing) continue;
      if (child.type_ == NodeType::Element ? n->type_ == NodeType::Element : n->IsDeclaration()) return false;
    }
  }
  return true;
}

NodePtr Node::Insert(const NodePtr& child, Node* before, const Node* replacing) {
  if (!Accepts(*child, replacing)) return nullptr;
  NodePtr keep = child;  // the old parent may hold the only other reference
  if (NodePtr old_parent = keep->parent_.lock()) old_parent->Unlink(keep.get());
  if (type_ == NodeType::Document && keep->IsDeclaration()) before = first_.get();
  keep->AdoptInto(type_ == NodeType::Document ? std::static_pointer_cast<Document>(shared_from_this())
                                              : owner_);
  Link(keep, before);
  return keep;
}

void Node::Link(NodePtr child, Node* ref) {
  child->parent_ = weak_from_this();
  if (!ref) {
    child->prev_ = last_;
    last_ = child.get();
    (child->prev_ ? child->prev_->next_ : first_) = std::move(child);
    return;
  }
  NodePtr& slot = ref->prev_ ? ref->prev_->next_ : first_;  // holds ref
  child->prev_ = ref->prev_;
  ref->prev_ = child.get();
  child->next_ = std::move(slot);
  slot = std::move(child);
}

NodePtr Node::Unlink(Node* child) {
  NodePtr& slot = child->prev_ ? child->prev_->next_ : first_;  // holds child
  NodePtr self = std::move(slot);
  if (child->next_)
    child->next_->prev_ = child->prev_;
  else
    last_ = child->prev_;
  slot = std::move(child->next_);
  child->prev_ = nullptr;
  child->parent_.reset();
  return self;
}

void Node::AdoptInto(const std::weak_ptr<Document>& owner) {
  if (SameOwner(owner_, owner)) return;
  std::vector<Node*> pending{this};
  while (!pending.empty()) {
    Node* n = pending.back();
    pending.pop_back();
    n->owner_ = owner;
    for (Node* c = n->first_.get(); c; c = c->next_.get()) pending.push_back(c);
  }
}

NodePtr Node::MakeNode(NodeType type, std::string data) {
  auto node = std::make_shared<Node>(Key{}, type, std::move(data));
  if (type_ == NodeType::Document)
    node->owner_ = std::static_pointer_cast<Document>(shared_from_this());
  else
    node->owner_ = owner_;
  return node;
}

void Node::RemoveAllChildren() {
  while (first_) Unlink(first_.get());
}

NodePtr Node::appendChild(const NodePtr& child) {
  if (!child) return nullptr;
  return Insert(child, nullptr, nullptr);
}

NodePtr Node::insertBefore(const NodePtr& child, const NodePtr& ref) {
  if (!child) return nullptr;
  if (!ref) return Insert(child, nullptr, nullptr);
  if (ref->parent_.lock().get() != this) return nullptr;
  if (child == ref) return child;
  return Insert(child, ref.get(), nullptr);
}

NodePtr Node::removeChild(const NodePtr& child) {
  if (!child || child->parent_.lock().get() != this) return nullptr;
  return Unlink(child.get());
}

NodePtr Node::replaceChild(const NodePtr& newChild, const NodePtr& oldChild) {
  if (!newChild || !oldChild || oldChild->parent_.lock().get() != this) return nullptr;
  if (newChild == oldChild) return oldChild;
  if (!Insert(newChild, oldChild.get(), oldChild.get())) return nullptr;
  return Unlink(oldChild.get());
}

NodePtr Node::CopyShallow(const std::weak_ptr<Document>& owner) const {
  auto copy = std::make_shared<Node>(Key{}, type_, data_);
  copy->owner_ = owner;
  copy->attributes_ = attributes_;
  return copy;
}

NodePtr Node::cloneNode(bool deep) const {
  NodePtr top;
  std::weak_ptr<Document> owner = owner_;
  if (type_ == NodeType::Document) {
    DocumentPtr doc = Document::Create();
    owner = doc;
    top = doc;
  } else {
    top = CopyShallow(owner);
  }
  if (!deep) return top;

  // Children are copied in document order: a source node is copied and
  // linked when it is popped, its children pushed last-first.
  struct Item {
    const Node* source;
    Node* target_parent;
  };
  std::vector<Item> pending;
  for (const Node* c = last_; c; c = c->prev_) pending.push_back({c, top.get()});
  while (!pending.empty()) {
    const Item item = pending.back();
    pending.pop_back();
    NodePtr copy = item.source->CopyShallow(owner);
    Node* copy_raw = copy.get();
    item.target_parent->Link(std::move(copy), nullptr);
    for (const Node* c = item.source->last_; c; c = c->prev_) pending.push_back({c, copy_raw});
  }
  return top;
}

// ---- Attributes ---------------------------------------------------------------

std::optional<std::string> Node::getAttribute(std::string_view name) const {
  for (const auto& a : attributes_)
    if (a.name == name) return a.value;
  return std::nullopt;
}

bool Node::setAttribute(std::string_view name, std::string_view value) {
  if (type_ != NodeType::Element || !IsXmlName(name)) return false;
  for (auto& a : attributes_) {
    if (a.name == name) {
      a.value.assign(value);
      return true;
    }
  }
  attributes_.push_back({std::string(name), std::string(value)});
  return true;
}

bool Node::removeAttribute(std::string_view name) {
  for (auto it = attributes_.begin(); it != attributes_.end(); ++it) {
    if (it->name == name) {
      attributes_.erase(it);
      return true;
    }
  }
  return false;
}

// ---- Document -----------------------------------------------------------------

DocumentPtr Document::Create() { return std::make_shared<Document>(Key{}); }

Document::Document(Key key) : Node(key, NodeType::Document, {}) {}

DocumentPtr Document::From(const NodePtr& node) {
  if (!node || node->nodeType() != NodeType::Document) return nullptr;
  return std::static_pointer_cast<Document>(node);
}

NodePtr Document::documentElement() const {
  for (Node* n = first_.get(); n; n = n->next_.get())
    if (n->type_ == NodeType::Element) return n->shared_from_this();
  return nullptr;
}

NodePtr Document::createElement(std::string_view tagName) {
  if (!IsXmlName(tagName)) return nullptr;
  return MakeNode(NodeType::Element, std::string(tagName));
}

NodePtr Document::createTextNode(std::string_view data) { return MakeNode(NodeType::Text, std::string(data)); }

NodePtr Document::createCDATASection(std::string_view data) { return MakeNode(NodeType::CData, std::string(data)); }

NodePtr Document::createComment(std::string_view data) { return MakeNode(NodeType::Comment, std::string(data)); }

NodePtr Document::createProcessingInstruction(std::string_view target, std::string_view data) {
  if (!IsXmlName(target)) return nullptr;
  // "xml" in any other case is reserved; data may not end the instruction early.
  if (text::EqualsNoCase(target, "xml") && target != "xml") return nullptr;
  if (data.find("?>") != std::string_view::npos) return nullptr;
  std::string joined(target);
  joined += ' ';
  joined.append(data);
  return MakeNode(NodeType::ProcessingInstruction, std::move(joined));
}

bool Document::save(std::string_view path) const {
  std::string out = "<?xml ";
  const Node* declaration = nullptr;
  for (const Node* n = first_.get(); n; n = n->next_.get()) {
    if (n->IsDeclaration()) {
      declaration = n;
      break;
    }
  }
  out += Utf8DeclarationData(declaration ? std::string_view(declaration->data_).substr(4) : std::string_view());
  out += "?>";
  for (const Node* n = first_.get(); n; n = n->next_.get())
    if (n != declaration) TreeAccess::Serialize(*n, out);
  return fs::WriteFileAtomic(path, out).ok();
}

// ---- Names --------------------------------------------------------------------

bool IsXmlName(std::string_view name) {
  if (name.empty() || !IsNameStart(static_cast<unsigned char>(name.front()))) return false;
  for (const char c : name)
    if (!IsNameChar(static_cast<unsigned char>(c))) return false;
  return text::IsValidUtf8(name);
}

// ---- Elements -----------------------------------------------------------------

bool IsElement(const Node& node, std::string_view name) {
  return node.nodeType() == NodeType::Element && node.nodeName() == name;
}

bool IsElement(const NodePtr& node, std::string_view name) { return node && IsElement(*node, name); }

std::optional<std::string> ElementValue(const Node& element) {
  const NodePtr first = element.firstChild();
  if (!first || (first->nodeType() != NodeType::Text && first->nodeType() != NodeType::CData)) return std::nullopt;
  return first->nodeValue();
}

std::string ElementText(const Node& element) { return ElementValue(element).value_or(std::string()); }

}  // namespace quor::xml
