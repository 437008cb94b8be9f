// Inside the library only: direct access to the node tree for the loader and
// the serialiser.
#pragma once

#include "platform/xml/dom.h"

#include <string>
#include <vector>

namespace quor::xml {

// Name characters as far as this library checks them: ASCII by the XML
// rules, every byte of a multi-byte character accepted.
inline bool IsNameStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
}
inline bool IsNameChar(unsigned char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

struct TreeAccess {
  template <typename Enter, typename Leave>
  static void Walk(const Node& root, Enter&& enter, Leave&& leave);

  static void WriteStart(const Node& n, std::string& out);
  static void WriteEnd(const Node& n, std::string& out);
  static void Serialize(const Node& node, std::string& out);
  static void CollectText(const Node& node, std::string& out);

  static void Append(Node& parent, NodePtr child);
  static NodePtr Make(Document& doc, NodeType type, std::string data);
  static void Clear(Node& node);
  static std::vector<Attribute>& Attributes(Node& element);
};

}  // namespace quor::xml
