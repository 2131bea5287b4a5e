#include "strings/area.h"

#include <cstring>

#include "core/fatal.h"
#include "platform/heap.h"

namespace {

PlatformHeap* g_string_heap = nullptr;
thread_local StringArea* t_area = nullptr;

constexpr int32_t kInitialCapacity = 16;
constexpr int32_t kGrowth = 16384;
constexpr int32_t kSpare = 5;  // zero byte plus room for whole-word copies

StringArea& area() {
  if (!t_area) fatal_error("string area used before it was created");
  return *t_area;
}

void* must(void* block) {
  if (!block) fatal_error("out of memory (string heap)");
  return block;
}

// Gives the variable a block of exactly n + 5 bytes, reusing the one it has.
char* size_var(StringVar* var, int32_t n) {
  size_t bytes = static_cast<size_t>(n) + kSpare;
  void* block = *var ? heap_realloc(g_string_heap, *var, bytes) : heap_alloc(g_string_heap, bytes, false);
  *var = static_cast<char*>(must(block));
  return *var;
}

}  // namespace

void str_runtime_start() {
  g_string_heap = heap_create();
  if (!g_string_heap) fatal_error("out of memory (string heap)");
  str_area_create();
}

void str_runtime_stop() {
  heap_destroy(g_string_heap);
  g_string_heap = nullptr;
  t_area = nullptr;
}

void str_area_create() {
  auto* a = static_cast<StringArea*>(must(heap_alloc(g_string_heap, sizeof(StringArea), true)));
  a->buffer = static_cast<char*>(must(heap_alloc(g_string_heap, kInitialCapacity, true)));
  a->capacity = kInitialCapacity;
  a->top = 0;
  t_area = a;
}

StringArea* str_area_current() { return t_area; }

int32_t str_area_top() { return area().top; }

char* str_area_base() { return area().buffer; }

char* str_area_reserve(int32_t n, int32_t pos) {
  StringArea& a = area();
  if (pos == -1) pos = a.top;
  int64_t end = static_cast<int64_t>(a.top) + n;
  if (end >= a.capacity - 4) {
    if (end + kGrowth + kSpare > INT32_MAX) fatal_error("out of memory (string area)");
    int32_t capacity = static_cast<int32_t>(end) + kGrowth;
    a.buffer = static_cast<char*>(
        must(heap_realloc(g_string_heap, a.buffer, static_cast<size_t>(capacity) + kSpare)));
    a.capacity = capacity;
  }
  a.top = pos + n;
  return a.buffer + pos;
}

void str_area_release(int32_t n) { area().top -= n; }

void str_area_append(const char* text) {
  StringArea& a = area();
  // A text that lies on the area itself would move with a growth: keep its offset.
  bool on_area = text && text >= a.buffer && text < a.buffer + a.capacity;
  std::ptrdiff_t offset = on_area ? text - a.buffer : 0;
  int32_t n = text ? static_cast<int32_t>(std::strlen(text)) : 0;
  char* p = str_area_reserve(n, -1);
  if (on_area) text = a.buffer + offset;
  if (text)
    str_copy(p, text, n);
  else
    *p = 0;
}

void str_area_commit() { area().top += 1; }

void str_area_reset(int32_t mark) { area().top = mark; }

void str_area_take(StringVar* var, int32_t mark) {
  StringArea& a = area();
  int32_t n = a.top - mark;
  char* block = size_var(var, n);
  str_copy(block, a.buffer + mark, n);
  a.top = mark;
}

int32_t str_assign(StringVar* var, const char* text) {
  if (!text) {
    if (*var) {
      heap_free(g_string_heap, *var);
      *var = nullptr;
    }
    return 1;
  }
  int32_t n = static_cast<int32_t>(std::strlen(text));
  // The text may be the variable's own block: copy it before the block is resized.
  if (text == *var) return n + 1;
  str_copy(size_var(var, n), text, n);
  return n + 1;
}

void str_copy(char* destination, const char* source, int32_t n) {
  if (n > 0) std::memmove(destination, source, static_cast<size_t>(n));
  destination[n > 0 ? n : 0] = 0;
}
