#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tether {

// A value or the text of the error that prevented it. Decoders and readers return it instead of
// throwing, so every caller decides at its own boundary what a failure means.
template <class T>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit
  static Result failure(std::string message) {
    return Result(std::in_place_index<1>, std::move(message));
  }

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const std::string& error() const { return std::get<1>(state_); }

 private:
  template <std::size_t I, class V>
  Result(std::in_place_index_t<I> tag, V&& v) : state_(tag, std::forward<V>(v)) {}
  std::variant<T, std::string> state_;
};

}  // namespace tether
