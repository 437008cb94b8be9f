#include "core/ConfigFile.h"

#include "core/DataSourceDefinition.h"
#include "core/StatusCodes.h"
#include "platform/base/win32_error.h"
#include "platform/fs/fs.h"
#include "platform/text/text.h"

namespace quor::core {

Status ReadConfigFile(const std::string& path, xml::DocumentPtr& document, xml::NodePtr& setting) {
  setting = nullptr;
  document = xml::Document::Create();
  const Result<std::string> bytes = fs::ReadFile(path);
  if (!bytes.ok()) return Status(QS_E_XML_LOAD_FAILED);
  if (text::TrimAscii(*bytes).empty()) return Status(QS_E_CONFIG_EMPTY);
  if (!document->load(path)) return Status(QS_E_XML_LOAD_FAILED);
  if (!document->firstChild()) return Status(QS_E_CONFIG_EMPTY);
  xml::NodePtr found;
  for (auto node = document->firstChild(); node && !found; node = node->nextSibling())
    if (node->nodeName() == "OLEDBSetting") found = node;
  if (!found) return Status(QS_E_CONFIG_FORMAT_INVALID);
  // A file whose definition cannot be read is left out on its own, before it
  // can spoil the lists built from the other files.
  DataSourceDefinition probe;
  QUOR_RETURN_IF_ERROR(probe.LoadFromXml(found));
  setting = std::move(found);
  return Status();
}

}  // namespace quor::core
