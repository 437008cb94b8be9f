// The request frame both endpoints share: what every signed call does around
// the work it is for. It leases the repository's connection for the call's
// thread, unwraps the caller's arguments through its session, writes the
// operation log's rows, leaves the error information of a failure and wraps
// the result into a response key.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/ServiceFrame.h"
#include "core/store/DBConnect.h"
#include "core/store/LogDBConnectImpl.h"
#include "platform/com/bstr.h"
#include "platform/com/status.h"

namespace quor::core {

class CRequestFrame {
 public:
  static constexpr std::u16string_view kErrorSource = u"QuorServer";

  explicit CRequestFrame(FrameContext context) : context_(std::move(context)), log_(context_.connection) {}
  CRequestFrame(const CRequestFrame&) = delete;
  CRequestFrame& operator=(const CRequestFrame&) = delete;

  const FrameContext& Context() const { return context_; }
  int32_t LogLevel() const { return context_.settings.LogLevel; }
  // The operation log, over whatever connection the call has leased. A row
  // whose write fails costs the call nothing, so its callers ignore it.
  CLogDBConnectImpl& Log() { return log_; }

  // One repository connection for the whole call, its log rows included.
  CDBConnect::Lease Lease() const { return CDBConnect::Lease(context_.connection); }

  // Decodes the caller's arguments (`args`, named by `names` in order) in
  // place through the session `user` names, checking its token over the
  // operation's name and them; `principal` is the session's user.
  Status Unwrap(const com::Bstr& user, std::u16string_view operation, std::span<const std::u16string_view> names,
                std::span<com::Bstr> args, com::Bstr& principal) const;
  // The response key over the operation's name and `result` (its token flag:
  // 1 compressed), which it encodes in place; "" when it cannot be made.
  com::Bstr Wrap(const com::Bstr& user, std::u16string_view operation, com::Bstr& result, uint32_t flag = 0) const;

  // The error information a failed call leaves for its caller, and its
  // status: `text`, else the database's own words for a status the service
  // has no text for, else the status's text.
  static HRESULT Raise(const Status& outcome, const com::Bstr& text);

 private:
  const FrameContext context_;
  CLogDBConnectImpl log_;
};

}  // namespace quor::core
