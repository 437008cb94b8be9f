// Unify rules: how a table of one data source corresponds to a table of
// another. One entry per "unifyrule" file; a rule carries its keys, its
// pattern records and its destinations (entries of the same class).
#pragma once

#include <memory>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/status.h"
#include "platform/xml/dom.h"

namespace quor::core {

struct UnifyPattern {
  com::Bstr tableName;
  com::Bstr rid;
  com::Bstr lid;
};

class UnifyTableEntry {
 public:
  UnifyTableEntry() = default;
  virtual ~UnifyTableEntry();
  UnifyTableEntry(const UnifyTableEntry&) = delete;
  UnifyTableEntry& operator=(const UnifyTableEntry&) = delete;

  // Reads one "unifyrule" element: success, or the status of what broke the
  // rule.
  Status LoadFromXml(const xml::NodePtr& rule);

  const com::Bstr& GetProvider() const { return provider_; }
  const com::Bstr& GetDataSource() const { return dsn_; }
  const com::Bstr& GetCatalog() const { return catalog_; }
  const com::Bstr& GetSchema() const { return schema_; }
  const com::Bstr& GetUnify() const { return unify_; }
  // The table name of the first pattern record; null without records.
  com::Bstr GetPattern() const;
  const std::vector<UnifyPattern>& Patterns() const { return patterns_; }

  // On a rule its first destination, on a destination the next one.
  UnifyTableEntry* GetNextDestination() const { return nextDestination_.get(); }
  const com::Bstr& GetDestinationProvider() const { return destinationProvider_; }
  const com::Bstr& GetDestinationDsn() const { return destinationDsn_; }
  const com::Bstr& GetDestinationCatalog() const { return destinationCatalog_; }
  const com::Bstr& GetDestinationSchema() const { return destinationSchema_; }
  const com::Bstr& GetDestinationTable() const { return destinationTable_; }

  // The rules of a table, in file order.
  UnifyTableEntry* GetNextRule() const { return nextRule_.get(); }
  std::unique_ptr<UnifyTableEntry>& NextRuleSlot() { return nextRule_; }

 private:
  Status LoadDestination(const xml::NodePtr& element);

  com::Bstr schema_;
  std::unique_ptr<UnifyTableEntry> nextRule_;
  com::Bstr unify_;
  com::Bstr catalog_;
  com::Bstr dsn_;
  com::Bstr provider_;
  std::vector<UnifyPattern> patterns_;
  std::unique_ptr<UnifyTableEntry> nextDestination_;
  com::Bstr destinationSchema_;
  com::Bstr destinationProvider_;
  com::Bstr destinationDsn_;
  com::Bstr destinationCatalog_;
  com::Bstr destinationTable_;
};

}  // namespace quor::core
