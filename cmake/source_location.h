// Included first in every C++ file that clang builds (and that
// scripts/check_thread_safety.py checks). libstdc++ 12 offers
// std::source_location only to compilers with __builtin_source_location,
// which clang gained after version 14; this gives clang 14 the same class over
// the older builtins, so that the authentication code builds unchanged
// (constexpr, not consteval: clang 14 refuses a consteval call as a default
// argument).
#pragma once

#if defined(__clang__) && !__has_builtin(__builtin_source_location)
#include <cstdint>

namespace std {

struct source_location {
  static constexpr source_location current(const char* file = __builtin_FILE(),
                                           const char* function = __builtin_FUNCTION(),
                                           uint_least32_t line = __builtin_LINE(),
                                           uint_least32_t column = __builtin_COLUMN()) noexcept {
    source_location where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    where.column_ = column;
    return where;
  }
  constexpr source_location() noexcept = default;
  constexpr uint_least32_t line() const noexcept { return line_; }
  constexpr uint_least32_t column() const noexcept { return column_; }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  uint_least32_t line_ = 0;
  uint_least32_t column_ = 0;
};

}  // namespace std
#endif
