// Early return for std::expected results:
//   CORVANTIC_TRY(auto value, read_something());   // declares `value`
//   CORVANTIC_TRY_VOID(write_something());
// On failure the error is returned as std::unexpected, converted to the
// caller's error type where a conversion exists (CameraError -> GenicamError).
#pragma once

#include <expected>
#include <utility>

#define CORVANTIC_CONCAT_INNER(a, b) a##b
#define CORVANTIC_CONCAT(a, b) CORVANTIC_CONCAT_INNER(a, b)

#define CORVANTIC_TRY_IMPL(tmp, decl, expr)                   \
  auto tmp = (expr);                                          \
  if (!tmp) return std::unexpected(std::move(tmp).error());   \
  decl = std::move(*tmp)

#define CORVANTIC_TRY(decl, expr) CORVANTIC_TRY_IMPL(CORVANTIC_CONCAT(try_result_, __LINE__), decl, expr)

#define CORVANTIC_TRY_VOID(expr)                                               \
  do {                                                                         \
    auto try_result_ = (expr);                                                 \
    if (!try_result_) return std::unexpected(std::move(try_result_).error());  \
  } while (0)
