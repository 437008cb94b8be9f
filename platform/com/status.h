// The status every function inside the tree reports a failure with: a code
// (the component contract's numbering, so it converts to HRESULT unchanged)
// and a message. It becomes HRESULT plus error information only at a
// component's edge (com::ReportStatus), and an HRESULT a called component
// returns becomes one with com::TakeStatus.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/com/hresult.h"

namespace quor {

class [[nodiscard]] Status {
 public:
  // Success.
  Status() noexcept = default;
  // `message` is UTF-8; empty means "no text of its own": at the edge the
  // error information a called component left stands, else the code's text.
  explicit Status(HRESULT code, std::string message = {}) : code_(code), message_(std::move(message)) {}

  static Status Ok() noexcept { return {}; }

  // Success is S_OK alone. A success code that means something (S_FALSE:
  // "nothing to do") is not ok; where one is expected, code() says which.
  bool ok() const noexcept { return code_ == S_OK; }
  HRESULT code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  // The message, or the code's text when there is none.
  std::string Text() const { return message_.empty() ? com::HResultText(code_) : message_; }

  // What a database driver said of the failure, kept beside the message: its
  // SQLSTATE (empty when no driver reported it) and its native error code.
  std::string_view SqlState() const noexcept { return {sqlState_, std::char_traits<char>::length(sqlState_)}; }
  int32_t NativeError() const noexcept { return native_; }
  Status& SetDiagnostic(std::string_view sqlState, int32_t native) noexcept {
    const size_t n = std::min(sqlState.size(), sizeof sqlState_ - 1);
    std::copy_n(sqlState.data(), n, sqlState_);
    sqlState_[n] = '\0';
    native_ = native;
    return *this;
  }
  // The same failure under another code, message and diagnostic kept.
  Status WithCode(HRESULT code) && {
    code_ = code;
    return std::move(*this);
  }

  // For the rare call whose failure is deliberately of no consequence.
  void Ignore() const noexcept {}

  friend bool operator==(const Status& a, const Status& b) { return a.code_ == b.code_; }

 private:
  HRESULT code_ = S_OK;
  char sqlState_[6] = {};
  int32_t native_ = 0;
  std::string message_;
};

// A value or the failure that prevented it.
template <typename T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cvref_t<T>, Status>, "a Result of a Status is a Status");

 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Status failure) : state_(std::in_place_index<1>, std::move(failure)) {  // NOLINT
    assert(!std::get<1>(state_).ok() && "a Result fails with a failing status");
  }

  bool ok() const noexcept { return state_.index() == 0; }
  // Success when there is a value.
  Status status() const { return ok() ? Status() : std::get<1>(state_); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Status> state_;
};

}  // namespace quor

#define QUOR_STATUS_CAT_(a, b) a##b
#define QUOR_STATUS_CAT(a, b) QUOR_STATUS_CAT_(a, b)

// Returns the status of `expr` from the enclosing function when it failed.
#define QUOR_RETURN_IF_ERROR(expr)                 \
  do {                                             \
    ::quor::Status quor_status_ = (expr);          \
    if (!quor_status_.ok()) return quor_status_;   \
  } while (0)

// `lhs = value of expr`, or returns its status from the enclosing function.
#define QUOR_ASSIGN_OR_RETURN(lhs, expr) \
  QUOR_ASSIGN_OR_RETURN_(QUOR_STATUS_CAT(quor_result_, __LINE__), lhs, expr)
#define QUOR_ASSIGN_OR_RETURN_(tmp, lhs, expr) \
  auto tmp = (expr);                           \
  if (!tmp.ok()) return tmp.status();          \
  lhs = std::move(tmp).value()
