// The console's one XML class: a document, its XML declaration and a cursor
// into it. Readers and editors of the configuration files and the SOAP client
// (VeltService.h, which derives from it) walk documents through it.
//
// The cursor is the current parent (whose children form the current list)
// and the current node (the element last created, found or selected). Index
// arguments are 0-based positions in the current list. Reading never fails:
// a missing node or attribute gives empty text. Names and values are UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/xml/dom.h"

namespace quor::admin {

class CXmlDocument {
 public:
  CXmlDocument();
  virtual ~CXmlDocument();
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;

  // Building.
  xml::NodePtr CreateElement(std::string_view name, std::string_view text);
  HRESULT CreateRoot(std::string_view name, std::string_view text);
  HRESULT AddChild(std::string_view name, std::string_view text);
  HRESULT AddChildWithAttribute(std::string_view name, std::string_view text, std::string_view attributeName,
                                std::string_view attributeValue);
  bool SetText(std::string_view text);
  // Changes an existing attribute of the current node (names without case);
  // never creates one.
  bool SetAttribute(std::string_view name, std::string_view value);
  // Sets (or replaces) an attribute of the current node, or of the root when
  // there is no current node.
  bool AddAttribute(std::string_view name, std::string_view value);
  bool InsertChild(int index, std::string_view name, std::string_view text);
  bool RemoveChild(int index);
  // Writes the whole document, declaration first; negative on failure (the
  // failure is also written to the console log).
  HRESULT Save(std::string_view path);

  // Loading: 0, or -1 when the file or text cannot be parsed. The cursor
  // then stands on the root's children.
  int Load(std::string_view path);
  int LoadXml(std::string_view text);

  // Moving.
  HRESULT MoveToChild(int index);
  HRESULT MoveToParent();
  void MoveToRoot();

  // Reading.
  std::string GetChildText(int index);
  std::string GetChildTextByName(std::string_view name);
  std::string GetChildXml(int index);
  std::string GetXml() const;
  std::string GetChildAttribute(std::string_view elementName, std::string_view attributeName);
  std::string GetAttribute(std::string_view attributeName) const;
  int ChildCount();
  bool HasServiceRole(std::string_view role);

 protected:
  // Forgets the loaded document, leaving an empty one with its declaration.
  void ResetDocument();
  // The node name of the current parent; empty when there is none.
  std::string ParentName() const;

 private:
  xml::NodePtr ChildAt(int index) const;
  xml::NodePtr ChildByName(std::string_view name) const;
  void SetRoot(xml::NodePtr root);

  xml::DocumentPtr document_;
  xml::NodePtr declaration_;
  xml::NodePtr root_;
  xml::NodePtr parent_;   // the current parent; its children are the current list
  xml::NodePtr current_;  // the current node
};

// The attribute of `node` named `name` without regard to case, the last one
// when several match; null when none does.
const xml::Attribute* FindAttributeNoCase(const xml::Node& node, std::string_view name);

}  // namespace quor::admin
