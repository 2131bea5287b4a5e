// What every fuzz target shares: the runtime brought up once per process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Brings up the heaps and the string area the first time it is called.
void fuzz_runtime_once();

// The input as a text: everything up to the first zero byte.
inline std::string fuzz_text(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  return text.substr(0, text.find('\0'));
}

// Stops the run with a message when a property does not hold.
void fuzz_check(bool holds, const char* what);
