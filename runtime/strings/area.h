// The per-thread string area on which every temporary text is built, and string variables.
//
// Building protocol: mark = str_area_top(); add pieces (str_area_append, or a producer
// called with str_area_top() as its position); only then take str_area_base() + mark;
// use the text (str_area_commit() first when passing it to an operation that may build
// on the area itself), then str_area_reset(mark) or str_area_take(&var, mark).
//
// Marks are offsets and survive growth; addresses into the area are valid only until the
// next reservation that grows it. A heap that cannot supply a block stops the program
// (fatal_error): none of these operations reports failure.
#pragma once
#include <cstdint>

struct StringArea {
  char* buffer;
  int32_t capacity;
  int32_t top;
};

// A string variable: null (the empty text) or a string-heap block of length + 5 bytes.
using StringVar = char*;

// Creates the string heap and the calling thread's area / destroys the heap with every
// area and variable block in it.
void str_runtime_start();
void str_runtime_stop();

// Creates the calling thread's area: a 16-byte buffer, capacity 16, top 0.
void str_area_create();

// The calling thread's area record (tests look at it).
StringArea* str_area_current();

int32_t str_area_top();
char* str_area_base();

// Reserves n bytes at pos (-1: the current top) and returns buffer + pos; top becomes
// pos + n. When top + n >= capacity - 4 the area grows to capacity top + n + 16384.
char* str_area_reserve(int32_t n, int32_t pos);
void str_area_release(int32_t n);
// Copies the text (null: empty) onto the top; a zero byte follows it at the new top.
void str_area_append(const char* text);
void str_area_commit();
void str_area_reset(int32_t mark);
// Moves the text from mark to top into the variable (always a block, even when empty)
// and sets top back to mark.
void str_area_take(StringVar* var, int32_t mark);

// Sets the variable to a copy of the text; a null text empties it. Returns length + 1,
// or 1 for a null text.
int32_t str_assign(StringVar* var, const char* text);

// Copies n bytes and writes a zero byte behind them.
void str_copy(char* destination, const char* source, int32_t n);
