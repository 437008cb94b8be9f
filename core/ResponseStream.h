// A result sent piece by piece while the store makes it, with its response
// key taken over the pieces as they pass: the frame's form of a streamed
// answer. Made by the frame for one call, on the call's thread.
#pragma once

#include <string_view>

#include "auth/isession.h"
#include "core/ServiceHelpers.h"
#include "platform/com/bstr.h"
#include "platform/com/callcontext.h"
#include "platform/com/status.h"
#include "platform/com/unknown.h"

namespace quor::core {

class CQuorServiceUtils;

class ResponseStream final : public com::ResultSink {
 public:
  // `carrier`: the call context's sink. `user`: the caller's request token,
  // which finds through `utils` the session that signs the answer.
  ResponseStream(com::ResultSink& carrier, const CQuorServiceUtils& utils, const com::Bstr& user,
                 std::u16string_view operation);
  ~ResponseStream() override;
  ResponseStream(const ResponseStream&) = delete;
  ResponseStream& operator=(const ResponseStream&) = delete;

  Status Write(std::string_view piece) override;
  // A whole text sent in pieces of about kPiece bytes, each ending on a
  // whole character.
  Status WriteWhole(std::string_view text);
  bool Started() const { return started_; }
  // The response key over everything written; empty when none could be made
  // (as a whole answer whose key fails gets an empty one).
  com::Bstr End();

  static constexpr size_t kPiece = kResultPiece;

 private:
  void BeginToken();

  com::ResultSink& carrier_;
  const CQuorServiceUtils& utils_;
  const com::Bstr& user_;
  std::u16string_view operation_;
  com::ComPtr<auth::ISession> session_;  // the signing session, once started
  bool started_ = false;
  bool signing_ = false;  // false once a step of the key failed
};

}  // namespace quor::core
