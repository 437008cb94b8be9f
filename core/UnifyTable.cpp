#include "core/UnifyTable.h"

#include "core/StatusCodes.h"

namespace quor::core {
namespace {

com::Bstr WholeText(const xml::NodePtr& element) { return com::Bstr::FromUtf8(element->text()); }

// The value of the first child of `element`, when it has one.
void TakeFirstChildValue(const xml::NodePtr& element, com::Bstr& field) {
  if (auto first = element->firstChild())
    if (auto value = first->nodeValue()) field = com::Bstr::FromUtf8(*value);
}

// One "pattern" element as a record: its lid and rid children (the last of
// each wins), other children passed over.
UnifyPattern ReadPattern(const xml::NodePtr& pattern, const com::Bstr& tableName) {
  UnifyPattern record{tableName, {}, {}};
  for (auto child = pattern->firstChild(); child; child = child->nextSibling()) {
    const std::string name = child->nodeName();
    if (name == "lid") TakeFirstChildValue(child, record.lid);
    else if (name == "rid") TakeFirstChildValue(child, record.rid);
  }
  return record;
}

// A "table" element: its name and its pattern records; anything but
// "pattern" inside breaks the structure.
Status ReadTable(const xml::NodePtr& table, com::Bstr& tableName, std::vector<UnifyPattern>& patterns) {
  tableName = com::Bstr();
  for (const auto& attribute : table->attributes()) {
    if (attribute.name == "name") {
      tableName = com::Bstr::FromUtf8(attribute.value);
      break;
    }
  }
  for (auto child = table->firstChild(); child; child = child->nextSibling()) {
    if (child->nodeName() != "pattern") return Status(QS_E_UNIFYTABLE_STRUCTURE);
    patterns.push_back(ReadPattern(child, tableName));
  }
  return Status();
}

}  // namespace

UnifyTableEntry::~UnifyTableEntry() {
  // Long rule chains are taken apart one by one, not recursively.
  auto next = std::move(nextRule_);
  while (next) next = std::move(next->nextRule_);
}

com::Bstr UnifyTableEntry::GetPattern() const {
  return patterns_.empty() ? com::Bstr() : patterns_.front().tableName;
}

Status UnifyTableEntry::LoadFromXml(const xml::NodePtr& rule) {
  UnifyTableEntry* lastDestination = nullptr;
  for (auto child = rule->firstChild(); child; child = child->nextSibling()) {
    const std::string name = child->nodeName();
    if (name == "Provider") {
      provider_ = WholeText(child);
    } else if (name == "Dsn") {
      dsn_ = WholeText(child);
    } else if (name == "Catalog") {
      catalog_ = WholeText(child);
    } else if (name == "Schema" || name == "schema") {
      schema_ = WholeText(child);
    } else if (name == "unify") {
      unify_ = WholeText(child);
    } else if (name == "pattern") {
      patterns_.push_back(ReadPattern(child, {}));
    } else if (name == "table") {
      com::Bstr tableName;
      QUOR_RETURN_IF_ERROR(ReadTable(child, tableName, patterns_));
    } else if (name == "destination") {
      auto destination = std::make_unique<UnifyTableEntry>();
      destination->provider_ = provider_;
      destination->dsn_ = dsn_;
      destination->catalog_ = catalog_;
      destination->schema_ = schema_;
      QUOR_RETURN_IF_ERROR(destination->LoadDestination(child));
      UnifyTableEntry* added = destination.get();
      (lastDestination ? lastDestination->nextDestination_ : nextDestination_) = std::move(destination);
      lastDestination = added;
    } else {
      return Status(QS_E_UNIFYTABLE_FORMAT);
    }
  }
  return Status();
}

Status UnifyTableEntry::LoadDestination(const xml::NodePtr& element) {
  for (auto child = element->firstChild(); child; child = child->nextSibling()) {
    const std::string name = child->nodeName();
    if (name == "Provider") {
      destinationProvider_ = WholeText(child);
    } else if (name == "Dsn") {
      destinationDsn_ = WholeText(child);
    } else if (name == "Catalog") {
      destinationCatalog_ = WholeText(child);
    } else if (name == "schema" || name == "Schema") {
      destinationSchema_ = WholeText(child);
    } else if (name == "unify") {
      unify_ = WholeText(child);
    } else if (name == "table") {
      QUOR_RETURN_IF_ERROR(ReadTable(child, destinationTable_, patterns_));
    } else {
      return Status(QS_E_UNIFYTABLE_FORMAT);
    }
  }
  return Status();
}

}  // namespace quor::core
