// ACL documents: the default document of a new object, the access check
// every store runs before it touches an object, and the entry operations.
//
//   <VOACL><control><user>alice</user><access>rwdarawad</access></control>...</VOACL>
#include <cstdint>

#include "core/KeywordTable.h"
#include "core/QuorServiceUtils.h"
#include "core/StatusCodes.h"
#include "core/XmlHelpers.h"
#include "platform/com/errorinfo.h"

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

xml::NodePtr NewElement(const xml::DocumentPtr& document, KeywordIndex keyword, std::string_view text = {}) {
  auto element = document->createElement(Keywords().Narrow(keyword));
  if (!element) throw com::ComError(E_FAIL);
  if (!text.empty() && !element->setText(text)) throw com::ComError(E_FAIL);
  return element;
}

xml::NodePtr NewEntry(const xml::DocumentPtr& document, std::string_view user, std::string_view rights) {
  auto entry = NewElement(document, KW_CONTROL);
  entry->appendChild(NewElement(document, KW_USER, user));
  entry->appendChild(NewElement(document, KW_ACCESS, rights));
  return entry;
}

// Loads an ACL text; QS_E_XML_LOAD_FAILED when it does not parse.
HRESULT LoadAcl(const com::Bstr& acl, xml::DocumentPtr& document) {
  document = xml::Document::Create();
  if (!document->loadXML(acl.View())) return QS_E_XML_LOAD_FAILED;
  return S_OK;
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
HRESULT EditAcl(const com::Bstr& entryUser, const com::Bstr& acl, com::Bstr& document, Edit&& edit) {
  try {
    xml::DocumentPtr parsed;
    if (HRESULT hr = LoadAcl(acl, parsed); FAILED(hr)) return hr;
    document = com::Bstr();
    const auto voacl = FindTopLevel(parsed, Keywords().Narrow(KW_VOACL));
    if (!voacl) return QS_E_ACL_NOT_FOUND;
    if (HRESULT hr = edit(parsed, voacl, FindEntry(voacl, entryUser.ToUtf8())); FAILED(hr)) return hr;
    document = com::Bstr::FromUtf8(voacl->xml());
    return S_OK;
  } catch (const com::ComError& e) {
    document = com::Bstr();
    return e.Code();
  }
}

}  // namespace

HRESULT CQuorServiceUtils::MakeDefaultACL(const com::Bstr& owner, com::Bstr& document) {
  try {
    auto doc = xml::Document::Create();
    auto voacl = NewElement(doc, KW_VOACL);
    const std::string all(Keywords().Narrow(KW_RWDARAWAD));
    voacl->appendChild(NewEntry(doc, owner.ToUtf8(), all));
    voacl->appendChild(NewEntry(doc, "administrator", all));
    document = com::Bstr::FromUtf8(voacl->xml());
    return S_OK;
  } catch (const com::ComError& e) {
    return e.Code();
  }
}

bool CQuorServiceUtils::EvaluateControlEntry(const com::Bstr& user, std::u16string_view requested,
                                             const xml::NodePtr& entry) const {
  const auto userNode = entry ? entry->firstChild() : nullptr;
  if (!IsNamed(userNode, KW_USER)) return false;
  const std::string named = userNode->text();
  const com::Bstr namedWide = com::Bstr::FromUtf8(named);
  const bool concerns = named == user.ToUtf8() || named == "everyone" ||
                        (named == "administrator" && IsAdministrator(user)) ||
                        (IsGroup(namedWide) && IsGroupMember(namedWide, user));
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

bool CQuorServiceUtils::CheckAccessRights(const com::Bstr& user, std::u16string_view requested, const com::Bstr& acl,
                                          HRESULT& status) const {
  if (acl.IsNull() || acl.Empty()) {
    status = QS_E_ACL_NOT_FOUND;
    return false;
  }
  status = S_OK;
  try {
    xml::DocumentPtr document;
    if (HRESULT hr = LoadAcl(acl, document); FAILED(hr)) {
      status = hr;
      return false;
    }
    const auto voacl = FindTopLevel(document, Keywords().Narrow(KW_VOACL));
    if (!voacl) {
      status = QS_E_ACL_NOT_FOUND;
      return false;
    }
    HRESULT pending = S_OK;
    for (auto child = voacl->firstChild(); child; child = child->nextSibling()) {
      if (!IsNamed(child, KW_CONTROL)) {
        pending = QS_E_ACL_NO_CONTROL;
        continue;
      }
      if (EvaluateControlEntry(user, requested, child)) {
        status = pending;
        return true;
      }
    }
    status = pending != S_OK ? pending : QS_E_ACCESS_RIGHT_INSUFFICIENT;
    return false;
  } catch (const com::ComError& e) {
    status = FAILED(e.Code()) ? e.Code() : E_FAIL;
    return false;
  }
}

HRESULT CQuorServiceUtils::GetACLEntryFromDocument(const com::Bstr& entryUser, const com::Bstr& acl, com::Bstr& entry) {
  entry = com::Bstr();
  try {
    xml::DocumentPtr parsed;
    if (HRESULT hr = LoadAcl(acl, parsed); FAILED(hr)) return hr;
    const auto voacl = FindTopLevel(parsed, Keywords().Narrow(KW_VOACL));
    if (!voacl) return S_OK;
    if (const auto found = FindEntry(voacl, entryUser.ToUtf8())) entry = com::Bstr::FromUtf8(found->xml());
    return S_OK;
  } catch (const com::ComError& e) {
    return e.Code();
  }
}

HRESULT CQuorServiceUtils::PutACLEntryToDocument(const com::Bstr& entryUser, const com::Bstr& rights,
                                                 const com::Bstr& acl, com::Bstr& document) {
  return EditAcl(entryUser, acl, document,
                 [&](const xml::DocumentPtr& doc, const xml::NodePtr& voacl, const xml::NodePtr& found) -> HRESULT {
                   if (found) return QS_E_ACL_USER_EXISTS;
                   if (!voacl->appendChild(NewEntry(doc, entryUser.ToUtf8(), rights.ToUtf8()))) return E_FAIL;
                   return S_OK;
                 });
}

HRESULT CQuorServiceUtils::UpdateACLEntryInDocument(const com::Bstr& entryUser, const com::Bstr& rights,
                                                    const com::Bstr& acl, com::Bstr& document) {
  return EditAcl(entryUser, acl, document,
                 [&](const xml::DocumentPtr& doc, const xml::NodePtr&, const xml::NodePtr& found) -> HRESULT {
                   if (!found) return QS_E_ACL_USER_NOT_FOUND;
                   const std::string text = rights.ToUtf8();
                   if (const auto access = found->firstChild()->nextSibling()) {
                     if (!access->setText(text)) return E_FAIL;
                   } else if (!found->appendChild(NewElement(doc, KW_ACCESS, text))) {
                     return E_FAIL;
                   }
                   return S_OK;
                 });
}

HRESULT CQuorServiceUtils::DeleteACLEntryFromDocument(const com::Bstr& entryUser, const com::Bstr& acl,
                                                      com::Bstr& document) {
  return EditAcl(entryUser, acl, document,
                 [&](const xml::DocumentPtr&, const xml::NodePtr& voacl, const xml::NodePtr& found) -> HRESULT {
                   if (!found) return QS_E_ACL_USER_NOT_FOUND;
                   return voacl->removeChild(found) ? S_OK : E_FAIL;
                 });
}

}  // namespace quor::core
