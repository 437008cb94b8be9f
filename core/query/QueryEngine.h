// The engine behind the Query operation: one object per call, working on the
// process-wide settings (definitions, unify table, transformer definitions).
#pragma once

#include "core/ServiceConfig.h"
#include "core/UnifyTable.h"
#include "platform/com/bstr.h"
#include "platform/com/hresult.h"

namespace quor::core {

class CQueryEngine {
 public:
  explicit CQueryEngine(CServiceConfig& settings) : settings_(settings) {}
  virtual ~CQueryEngine() = default;
  CQueryEngine(const CQueryEngine&) = delete;
  CQueryEngine& operator=(const CQueryEngine&) = delete;

  // The unify rule that governs a partial result: the first entry of the
  // list from `first` on whose provider and data source equal the given ones
  // and, as far as they are given, whose catalog (or else schema) equals
  // `catalog` (or `schema`) and whose first pattern name begins `key`. All
  // comparisons are exact; an absent value equals nothing. Always 0;
  // `entry` is none when nothing fits.
  static HRESULT FindUnifyTableEntry(const com::Bstr& provider, const com::Bstr& dataSource, const com::Bstr& catalog,
                                     const com::Bstr& schema, const com::Bstr& key, const UnifyTableEntry* first,
                                     const UnifyTableEntry*& entry);

 protected:
  CServiceConfig& settings_;
};

}  // namespace quor::core
