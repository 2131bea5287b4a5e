// The key decoder: every byte stream decodes to keys whatever the reads it arrives in. The
// stream is decoded once with all bytes at hand and once byte by byte, as a slow terminal
// delivers it (more bytes come while a key is incomplete); both give the same keys.
#include <string>
#include <vector>

#include "console/keys.h"
#include "fuzz_support.h"

namespace {

std::string describe(const Key& key) {
  std::string out(1, static_cast<char>('0' + key.kind));
  if (key.kind == KEY_TEXT) out.append(key.text, static_cast<size_t>(key.length));
  return out + '|';
}

// Decodes the stream, delivering `step` more bytes each time the decoder asks for more.
std::string decode(const std::string& bytes, size_t step) {
  std::string keys;
  size_t start = 0;
  size_t have = std::min(step, bytes.size());
  while (start < bytes.size()) {
    bool final = have == bytes.size();
    Key key = key_decode(reinterpret_cast<const unsigned char*>(bytes.data()) + start, have - start, final);
    if (key.kind == KEY_INCOMPLETE) {
      fuzz_check(!final, "with every byte at hand a key is always decided");
      have = std::min(have + step, bytes.size());
      continue;
    }
    fuzz_check(key.consumed >= 1 && static_cast<size_t>(key.consumed) <= have - start, "consumed in range");
    if (key.kind == KEY_TEXT) {
      fuzz_check(key.length >= 1 && key.length <= 4 && key.text[key.length] == 0, "one character of text");
    }
    keys += describe(key);
    start += static_cast<size_t>(key.consumed);
    if (have < start) have = start;
  }
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  fuzz_check(decode(bytes, bytes.size() ? bytes.size() : 1) == decode(bytes, 1),
             "keys do not depend on how the bytes arrive");
  return 0;
}
