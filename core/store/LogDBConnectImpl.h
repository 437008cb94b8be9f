// The operation-log store: rows of QUORLOG written for each operation and by
// the log operations, and read back as small XML answers.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/store/DBConnect.h"
#include "platform/com/bstr.h"
#include "platform/com/hresult.h"
#include "platform/com/status.h"

namespace quor::core {

class CLogDBConnectImpl {
 public:
  // `connection` is the shared connection; the store does not own it.
  explicit CLogDBConnectImpl(CDBConnect* connection) : db_(connection) {}
  virtual ~CLogDBConnectImpl() = default;

  // ---- Queries: each answers through `reply` ----
  Status GetLog(const com::Bstr& logId, com::Bstr& reply);
  Status GetLogIDList(com::Bstr& reply);
  Status GetCategoryLogIDList(const com::Bstr& category, com::Bstr& reply);
  Status GetLogbyUser(const com::Bstr& user, com::Bstr& reply);
  Status GetCategoryLogbyUser(const com::Bstr& user, const com::Bstr& category, com::Bstr& reply);
  Status GetLogs(const com::Bstr& firstId, const com::Bstr& count, com::Bstr& reply);
  Status GetLogCount(com::Bstr& reply);

  // ---- Writes ----
  Status PutCollabLog(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& text, com::Bstr& reply);
  Status PutLog(const com::Bstr& user, const com::Bstr& text, com::Bstr& reply);
  // The request frame's rows: begin, result and error.
  Status InsertLog3(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target);
  Status InsertLog4(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target,
                    const com::Bstr& result);
  Status InsertLog5(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target, const com::Bstr& result,
                    const com::Bstr& description);

 private:
  enum class Reply { Records, IdList, Count };
  Status Query(Reply shape, std::string_view sql, std::span<const com::Variant> params, com::Bstr& reply);
  Status Insert(const com::Bstr& description, int32_t length, std::u16string_view operation, const com::Bstr& target,
                const com::Bstr& result, const com::Bstr& user, std::u16string_view category);

  CDBConnect* db_;
};

}  // namespace quor::core
