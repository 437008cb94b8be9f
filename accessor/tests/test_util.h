#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "platform/xml/dom.h"

namespace quor::accessor::testing {

// Loads `text` and answers the document, which keeps the nodes alive; the
// node an accessor reads is its first child.
inline xml::DocumentPtr Load(std::string_view text) {
  xml::DocumentPtr doc = xml::Document::Create();
  EXPECT_TRUE(doc->loadXML(text)) << doc->parseError().reason << " in " << text;
  return doc;
}

}  // namespace quor::accessor::testing
