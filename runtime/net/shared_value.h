// A small value that several threads read and replace whole, each under the value's own
// lock: a setting the main flow changes while a transfer's thread reads it.
#pragma once
#include <mutex>

template <typename T>
class SharedValue {
 public:
  T get() const {
    std::lock_guard<std::mutex> hold(lock_);
    return value_;
  }
  void set(const T& value) {
    std::lock_guard<std::mutex> hold(lock_);
    value_ = value;
  }

 private:
  mutable std::mutex lock_;
  T value_{};
};
