#include "admin/XmlDocument.h"

#include "admin/ConsoleLog.h"
#include "platform/text/text.h"

namespace quor::admin {

namespace {
constexpr std::string_view kDeclarationData = "version=\"1.0\" encoding=\"utf-8\"";
}  // namespace

const xml::Attribute* FindAttributeNoCase(const xml::Node& node, std::string_view name) {
  const auto& attributes = node.attributes();
  for (auto it = attributes.rbegin(); it != attributes.rend(); ++it)
    if (text::EqualsNoCase(it->name, name)) return &*it;
  return nullptr;
}

CXmlDocument::CXmlDocument() { ResetDocument(); }

CXmlDocument::~CXmlDocument() = default;

void CXmlDocument::ResetDocument() {
  document_ = xml::Document::Create();
  declaration_ = document_->createProcessingInstruction("xml", kDeclarationData);
  document_->appendChild(declaration_);
  root_ = parent_ = current_ = nullptr;
}

void CXmlDocument::SetRoot(xml::NodePtr root) {
  root_ = std::move(root);
  parent_ = root_;
}

xml::NodePtr CXmlDocument::ChildAt(int index) const {
  if (!parent_ || index < 0) return nullptr;
  xml::NodePtr node = parent_->firstChild();
  for (int i = 0; node && i < index; ++i) node = node->nextSibling();
  return node;
}

xml::NodePtr CXmlDocument::ChildByName(std::string_view name) const {
  if (!parent_) return nullptr;
  for (xml::NodePtr node = parent_->firstChild(); node; node = node->nextSibling())
    if (node->nodeName() == name) return node;
  return nullptr;
}

xml::NodePtr CXmlDocument::CreateElement(std::string_view name, std::string_view text) {
  xml::NodePtr element = document_->createElement(name);
  if (element && !text.empty()) element->setText(text);
  return element;
}

HRESULT CXmlDocument::CreateRoot(std::string_view name, std::string_view text) {
  xml::NodePtr element = CreateElement(name, text);
  if (!element) return E_INVALIDARG;
  SetRoot(element);
  return document_->appendChild(element) ? S_OK : E_FAIL;
}

HRESULT CXmlDocument::AddChild(std::string_view name, std::string_view text) {
  return AddChildWithAttribute(name, text, {}, {});
}

HRESULT CXmlDocument::AddChildWithAttribute(std::string_view name, std::string_view text,
                                            std::string_view attributeName, std::string_view attributeValue) {
  xml::NodePtr element = CreateElement(name, text);
  if (!element || !parent_) return E_INVALIDARG;
  current_ = element;
  if (!attributeName.empty()) element->setAttribute(attributeName, attributeValue);
  return parent_->appendChild(element) ? S_OK : E_FAIL;
}

bool CXmlDocument::SetText(std::string_view text) {
  if (!current_) current_ = parent_;
  if (current_) current_->setText(text);
  return true;
}

bool CXmlDocument::SetAttribute(std::string_view name, std::string_view value) {
  if (!current_) return true;
  if (const xml::Attribute* found = FindAttributeNoCase(*current_, name)) {
    const std::string actual = found->name;
    current_->setAttribute(actual, value);
  }
  return true;
}

bool CXmlDocument::AddAttribute(std::string_view name, std::string_view value) {
  if (!current_) current_ = root_;
  if (current_) current_->setAttribute(name, value);
  return true;
}

bool CXmlDocument::InsertChild(int index, std::string_view name, std::string_view text) {
  xml::NodePtr element = CreateElement(name, text);
  if (!element || !parent_) return true;
  if (xml::NodePtr before = ChildAt(index))
    parent_->insertBefore(element, before);
  else
    parent_->appendChild(element);
  current_ = element;
  return true;
}

bool CXmlDocument::RemoveChild(int index) {
  if (xml::NodePtr node = ChildAt(index)) {
    parent_->removeChild(node);
    current_ = nullptr;
  }
  return true;
}

HRESULT CXmlDocument::Save(std::string_view path) {
  if (document_->save(path)) return S_OK;
  ConsoleLog::Instance().Write(text::Format("Unable to save %s.", path));
  return E_FAIL;
}

int CXmlDocument::Load(std::string_view path) {
  root_ = parent_ = current_ = nullptr;
  if (!document_->load(path)) return -1;
  SetRoot(document_->documentElement());
  return 0;
}

int CXmlDocument::LoadXml(std::string_view text) {
  root_ = parent_ = current_ = nullptr;
  if (!document_->loadXML(text)) return -1;
  SetRoot(document_->documentElement());
  return 0;
}

HRESULT CXmlDocument::MoveToChild(int index) {
  xml::NodePtr node = ChildAt(index);
  if (!node) return E_INVALIDARG;
  parent_ = current_ = node;
  return S_OK;
}

HRESULT CXmlDocument::MoveToParent() {
  if (!parent_) return E_INVALIDARG;
  xml::NodePtr up = parent_->parentNode();
  if (!up) return E_INVALIDARG;
  parent_ = std::move(up);
  return S_OK;
}

void CXmlDocument::MoveToRoot() { parent_ = root_; }

std::string CXmlDocument::ParentName() const { return parent_ ? parent_->nodeName() : std::string(); }

std::string CXmlDocument::GetChildText(int index) {
  current_ = nullptr;
  xml::NodePtr node = ChildAt(index);
  return node ? node->text() : std::string();
}

std::string CXmlDocument::GetChildTextByName(std::string_view name) {
  xml::NodePtr node = ChildByName(name);
  if (!node) return {};
  current_ = node;
  return node->text();
}

std::string CXmlDocument::GetChildXml(int index) {
  current_ = nullptr;
  xml::NodePtr node = ChildAt(index);
  return node ? node->xml() : std::string();
}

std::string CXmlDocument::GetXml() const { return parent_ ? parent_->xml() : std::string(); }

std::string CXmlDocument::GetChildAttribute(std::string_view elementName, std::string_view attributeName) {
  xml::NodePtr node = ChildByName(elementName);
  if (!node) return {};
  current_ = node;
  const xml::Attribute* found = FindAttributeNoCase(*node, attributeName);
  return found ? found->value : std::string();
}

std::string CXmlDocument::GetAttribute(std::string_view attributeName) const {
  if (!parent_) return {};
  const xml::Attribute* found = FindAttributeNoCase(*parent_, attributeName);
  return found ? found->value : std::string();
}

int CXmlDocument::ChildCount() {
  current_ = nullptr;
  int count = 0;
  if (parent_)
    for (xml::NodePtr node = parent_->firstChild(); node; node = node->nextSibling()) ++count;
  return count;
}

bool CXmlDocument::HasServiceRole(std::string_view role) {
  std::string found = GetChildTextByName("quorservice");
  if (found.empty()) found = GetChildTextByName("Quorservice");
  if (found.empty()) found = GetChildTextByName("QuorService");
  return found == role;
}

}  // namespace quor::admin
