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
  HRESULT GetLog(const com::Bstr& logId, com::Bstr& reply);
  HRESULT GetLogIDList(com::Bstr& reply);
  HRESULT GetCategoryLogIDList(const com::Bstr& category, com::Bstr& reply);
  HRESULT GetLogbyUser(const com::Bstr& user, com::Bstr& reply);
  HRESULT GetCategoryLogbyUser(const com::Bstr& user, const com::Bstr& category, com::Bstr& reply);
  HRESULT GetLogs(const com::Bstr& firstId, const com::Bstr& count, com::Bstr& reply);
  HRESULT GetLogCount(com::Bstr& reply);

  // ---- Writes ----
  HRESULT PutCollabLog(const com::Bstr& user, const com::Bstr& uri, const com::Bstr& text, com::Bstr& reply);
  HRESULT PutLog(const com::Bstr& user, const com::Bstr& text, com::Bstr& reply);
  // The request frame's rows: begin, result and error.
  HRESULT InsertLog3(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target);
  HRESULT InsertLog4(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target,
                     const com::Bstr& result);
  HRESULT InsertLog5(const com::Bstr& operation, const com::Bstr& user, const com::Bstr& target,
                     const com::Bstr& result, const com::Bstr& description);

 private:
  enum class Reply { Records, IdList, Count };
  Status Query(Reply shape, std::string_view sql, std::span<const com::Variant> params, com::Bstr& reply);
  Status Insert(const com::Bstr& description, int32_t length, std::u16string_view operation, const com::Bstr& target,
                const com::Bstr& result, const com::Bstr& user, std::u16string_view category);

  CDBConnect* db_;
};

}  // namespace quor::core
