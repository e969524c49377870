// Error propagation for std::expected, one line per step (after Arrow's RETURN_NOT_OK and
// ASSIGN_OR_RAISE).
//
//   KVT_RETURN_IF_ERROR(expr);          // expr is an expected<void or T, E>: return its error
//   KVT_ASSIGN_OR_RETURN(lhs, expr);    // lhs = the value of expr, or return its error
//   KVT_ASSIGN_OR_RETURN_AS(lhs, expr, convert);  // ... returning convert(error) instead
//
// The enclosing function returns some std::expected<U, E> (or <U, convert's result>).
#pragma once

#include <expected>
#include <utility>

#define KVT_CONCAT_INNER(a, b) a##b
#define KVT_CONCAT(a, b) KVT_CONCAT_INNER(a, b)

#define KVT_RETURN_IF_ERROR(expr)                             \
  do {                                                        \
    if (auto kvt_result_ = (expr); !kvt_result_) {            \
      return std::unexpected(std::move(kvt_result_).error()); \
    }                                                         \
  } while (false)

#define KVT_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr, ...)                   \
  auto tmp = (expr);                                                     \
  if (!tmp) return std::unexpected(__VA_ARGS__(std::move(tmp).error())); \
  lhs = std::move(*tmp)

#define KVT_ASSIGN_OR_RETURN(lhs, expr) \
  KVT_ASSIGN_OR_RETURN_IMPL(KVT_CONCAT(kvt_result_, __LINE__), lhs, expr, )
#define KVT_ASSIGN_OR_RETURN_AS(lhs, expr, convert) \
  KVT_ASSIGN_OR_RETURN_IMPL(KVT_CONCAT(kvt_result_, __LINE__), lhs, expr, convert)
