// The one way a function gives back, on every path out, what it took for its own use: a
// descriptor, a block, a changed setting.
#pragma once
#include <utility>

// Runs release() when the scope ends.
template <typename Release>
class ScopeExit {
 public:
  explicit ScopeExit(Release release) : release_(std::move(release)) {}
  ~ScopeExit() { release_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Release release_;
};
