// One file of the config folder as the service reads it. The configuration
// checker uses the same reading, so that it leaves out what the service does.
#pragma once

#include <string>

#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

// Loads the file at `path` into `document` and finds its "OLEDBSetting"
// element, which must read as a data-source definition. Answers success with
// `setting` set, or the status for which the service leaves the file out
// (QS_E_XML_LOAD_FAILED, QS_E_CONFIG_EMPTY, QS_E_CONFIG_FORMAT_INVALID or the
// definition's own status).
Status ReadConfigFile(const std::string& path, xml::DocumentPtr& document, xml::NodePtr& setting);

}  // namespace quor::core
