// ACL documents: the default document of a new object, the access check
// every store runs before it touches an object, and the entry operations.
//
//   <VOACL><control><user>alice</user><access>rwdarawad</access></control>...</VOACL>
#include <cstdint>

#include "core/KeywordTable.h"
#include "core/ServiceHelpers.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"

namespace quor::core {
namespace {

// One bit per right token.
enum : uint8_t {
  kRead = 1 << 0,
  kWrite = 1 << 1,
  kDelete = 1 << 2,
  kAttrRead = 1 << 3,
  kAttrWrite = 1 << 4,
  kAttrDelete = 1 << 5,
};

// Reads a rights text from the left: "r", "w", "d", then "ar", "aw", "ad".
// A position no token begins is passed over and recorded in `clean`.
uint8_t ReadRights(std::string_view text, bool& clean) {
  clean = true;
  uint8_t rights = 0;
  for (size_t i = 0; i < text.size();) {
    switch (text[i]) {
      case 'r':
        rights |= kRead;
        ++i;
        continue;
      case 'w':
        rights |= kWrite;
        ++i;
        continue;
      case 'd':
        rights |= kDelete;
        ++i;
        continue;
      default:
        break;
    }
    if (text[i] == 'a' && i + 1 < text.size()) {
      const char next = text[i + 1];
      const uint8_t right = next == 'r' ? kAttrRead : next == 'w' ? kAttrWrite : next == 'd' ? kAttrDelete : 0;
      if (right) {
        rights |= right;
        i += 2;
        continue;
      }
    }
    clean = false;
    ++i;
  }
  return rights;
}

const CKeywordTable& Keywords() { return CKeywordTable::Instance(); }

bool IsNamed(const xml::NodePtr& node, KeywordIndex keyword) {
  return node && node->nodeName() == Keywords().Narrow(keyword);
}

Result<xml::NodePtr> NewElement(const xml::DocumentPtr& document, KeywordIndex keyword, std::string_view text = {}) {
  auto element = document->createElement(Keywords().Narrow(keyword));
  if (!element) return Status(E_FAIL);
  if (!text.empty() && !element->setText(text)) return Status(E_FAIL);
  return element;
}

Result<xml::NodePtr> NewEntry(const xml::DocumentPtr& document, std::string_view user, std::string_view rights) {
  QUOR_ASSIGN_OR_RETURN(auto entry, NewElement(document, KW_CONTROL));
  QUOR_ASSIGN_OR_RETURN(auto userNode, NewElement(document, KW_USER, user));
  QUOR_ASSIGN_OR_RETURN(auto accessNode, NewElement(document, KW_ACCESS, rights));
  entry->appendChild(userNode);
  entry->appendChild(accessNode);
  return entry;
}

// Loads an ACL text; QS_E_XML_LOAD_FAILED when it does not parse.
Status LoadAcl(const com::Bstr& acl, xml::DocumentPtr& document) {
  document = xml::Document::Create();
  if (!document->loadXML(acl.View())) return Status(QS_E_XML_LOAD_FAILED);
  return Status();
}

// The first entry of `entryUser` in VOACL: the first child whose first child
// is "user" holding exactly that name.
xml::NodePtr FindEntry(const xml::NodePtr& voacl, const std::string& entryUser) {
  for (auto child = voacl->firstChild(); child; child = child->nextSibling()) {
    const auto user = child->firstChild();
    if (IsNamed(user, KW_USER) && user->text() == entryUser) return child;
  }
  return nullptr;
}

// The common shape of the three editing operations: load, find VOACL and the
// entry, let `edit` change the tree, write VOACL out.
template <typename Edit>
Status EditAcl(const com::Bstr& entryUser, const com::Bstr& acl, com::Bstr& document, Edit&& edit) {
  xml::DocumentPtr parsed;
  QUOR_RETURN_IF_ERROR(LoadAcl(acl, parsed));
  document = com::Bstr();
  const auto voacl = FindTopLevel(parsed, Keywords().Narrow(KW_VOACL));
  if (!voacl) return Status(QS_E_ACL_NOT_FOUND);
  QUOR_RETURN_IF_ERROR(edit(parsed, voacl, FindEntry(voacl, entryUser.ToUtf8())));
  document = com::Bstr::FromUtf8(voacl->xml());
  return Status();
}

}  // namespace

Status CServiceHelpers::MakeDefaultACL(const com::Bstr& owner, com::Bstr& document) {
  auto doc = xml::Document::Create();
  QUOR_ASSIGN_OR_RETURN(auto voacl, NewElement(doc, KW_VOACL));
  const std::string all(Keywords().Narrow(KW_RWDARAWAD));
  QUOR_ASSIGN_OR_RETURN(auto ownerEntry, NewEntry(doc, owner.ToUtf8(), all));
  voacl->appendChild(ownerEntry);
  QUOR_ASSIGN_OR_RETURN(auto administratorEntry, NewEntry(doc, "administrator", all));
  voacl->appendChild(administratorEntry);
  document = com::Bstr::FromUtf8(voacl->xml());
  return Status();
}

bool CServiceHelpers::EvaluateControlEntry(const Caller& caller, std::u16string_view requested,
                                             const xml::NodePtr& entry) {
  const auto userNode = entry ? entry->firstChild() : nullptr;
  if (!IsNamed(userNode, KW_USER)) return false;
  const std::string named = userNode->text();
  const com::Bstr namedWide = com::Bstr::FromUtf8(named);
  const bool concerns = named == caller.name.ToUtf8() || named == "everyone" ||
                        (named == "administrator" && caller.administrator) || caller.InGroup(namedWide.View());
  if (!concerns) return false;

  const auto access = userNode->nextSibling();
  if (!IsNamed(access, KW_ACCESS)) return false;
  bool ignored = true;
  const uint8_t held = ReadRights(access->text(), ignored);
  // Every requested token must be held: "rw" needs both "r" and "w". A
  // request with something no token begins asks for no known right.
  bool clean = true;
  const uint8_t wanted = ReadRights(com::Bstr(requested).ToUtf8(), clean);
  return clean && wanted != 0 && (held & wanted) == wanted;
}

Status CServiceHelpers::CheckAccessRights(const Caller& caller, std::u16string_view requested, const com::Bstr& acl) {
  if (acl.IsNull() || acl.Empty()) return Status(QS_E_ACL_NOT_FOUND);
  xml::DocumentPtr document;
  QUOR_RETURN_IF_ERROR(LoadAcl(acl, document));
  const auto voacl = FindTopLevel(document, Keywords().Narrow(KW_VOACL));
  if (!voacl) return Status(QS_E_ACL_NOT_FOUND);
  // An entry other than "control" is passed over; a refusal then names it.
  HRESULT pending = S_OK;
  for (auto child = voacl->firstChild(); child; child = child->nextSibling()) {
    if (!IsNamed(child, KW_CONTROL)) {
      pending = QS_E_ACL_NO_CONTROL;
      continue;
    }
    if (EvaluateControlEntry(caller, requested, child)) return Status();
  }
  return Status(pending != S_OK ? pending : QS_E_ACCESS_RIGHT_INSUFFICIENT);
}

Status CServiceHelpers::GetACLEntryFromDocument(const com::Bstr& entryUser, const com::Bstr& acl, com::Bstr& entry) {
  entry = com::Bstr();
  xml::DocumentPtr parsed;
  QUOR_RETURN_IF_ERROR(LoadAcl(acl, parsed));
  const auto voacl = FindTopLevel(parsed, Keywords().Narrow(KW_VOACL));
  if (!voacl) return Status();
  if (const auto found = FindEntry(voacl, entryUser.ToUtf8())) entry = com::Bstr::FromUtf8(found->xml());
  return Status();
}

Status CServiceHelpers::PutACLEntryToDocument(const com::Bstr& entryUser, const com::Bstr& rights,
                                                const com::Bstr& acl, com::Bstr& document) {
  return EditAcl(entryUser, acl, document,
                 [&](const xml::DocumentPtr& doc, const xml::NodePtr& voacl, const xml::NodePtr& found) -> Status {
                   if (found) return Status(QS_E_ACL_USER_EXISTS);
                   QUOR_ASSIGN_OR_RETURN(auto entry, NewEntry(doc, entryUser.ToUtf8(), rights.ToUtf8()));
                   if (!voacl->appendChild(entry)) return Status(E_FAIL);
                   return Status();
                 });
}

Status CServiceHelpers::UpdateACLEntryInDocument(const com::Bstr& entryUser, const com::Bstr& rights,
                                                   const com::Bstr& acl, com::Bstr& document) {
  return EditAcl(entryUser, acl, document,
                 [&](const xml::DocumentPtr& doc, const xml::NodePtr&, const xml::NodePtr& found) -> Status {
                   if (!found) return Status(QS_E_ACL_USER_NOT_FOUND);
                   const std::string text = rights.ToUtf8();
                   if (const auto access = found->firstChild()->nextSibling()) {
                     if (!access->setText(text)) return Status(E_FAIL);
                     return Status();
                   }
                   QUOR_ASSIGN_OR_RETURN(auto added, NewElement(doc, KW_ACCESS, text));
                   if (!found->appendChild(added)) return Status(E_FAIL);
                   return Status();
                 });
}

Status CServiceHelpers::DeleteACLEntryFromDocument(const com::Bstr& entryUser, const com::Bstr& acl,
                                                     com::Bstr& document) {
  return EditAcl(entryUser, acl, document,
                 [&](const xml::DocumentPtr&, const xml::NodePtr& voacl, const xml::NodePtr& found) -> Status {
                   if (!found) return Status(QS_E_ACL_USER_NOT_FOUND);
                   return voacl->removeChild(found) ? Status() : Status(E_FAIL);
                 });
}

}  // namespace quor::core
