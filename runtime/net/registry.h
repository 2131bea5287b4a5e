// A lock-protected store of records addressed by number. Numbered records live in a slot
// table that grows on demand; dynamically numbered records live in a list and get a
// 64-bit identity that is never -1 and never a slot index, and that is never reused.
// A record is live while its first 32-bit word is non-zero.
#pragma once
#include <cstdint>
#include <mutex>

#include "core/list.h"

// The number that asks registry_acquire for a new dynamically numbered record.
constexpr int64_t REGISTRY_DYNAMIC = -1;

// Called with the lock held when a numbered slot that already holds a record is acquired
// again.
using RegistryReuseFn = void (*)(int64_t number);

struct ObjectRegistry {
  int32_t element_size;
  int32_t grow_step;
  int32_t capacity;
  void** slots;
  ListNode* dynamic;
  RegistryReuseFn reuse;
  int32_t iter_position;
  ListNode* iter_cursor;
  std::recursive_mutex lock;
  int64_t next_identity;
};

// Returns a new registry with grow_step empty slots and no dynamic records, made on the
// runtime heap, or null when memory runs out or the sizes are not positive.
ObjectRegistry* registry_create(int32_t element_size, int32_t grow_step, RegistryReuseFn reuse);

// Returns the record for number, made zero-filled if the slot was empty; for
// REGISTRY_DYNAMIC a new dynamic record (its number: registry_number_of). A slot that
// already holds a record is handed to the reuse callback first and the same block is
// returned. Returns null when memory runs out (nothing changes then) or for a number that
// can never be a slot (below -1, or so large that the slot count would pass 2^31 - 1).
void* registry_acquire(ObjectRegistry* registry, int64_t number);

// Returns the live record of number (a slot index or a dynamic identity), or null.
void* registry_find(ObjectRegistry* registry, int64_t number);

// A numbered record is zeroed in place and stays in its slot; a dynamic record is
// unlinked and freed, and its identity is never valid again. Unknown numbers do nothing.
void registry_release(ObjectRegistry* registry, int64_t number);

// The identity of a dynamic record that registry_acquire returned.
int64_t registry_number_of(const void* dynamic_record);

// Iteration: live numbered records by ascending number, then dynamic records from the
// oldest to the newest (these without a liveness test). iter_begin takes the lock;
// iter_next returns null at the end and then releases it; iter_end releases it for an
// iteration left early. The record just returned may be released by the caller.
void registry_iter_begin(ObjectRegistry* registry);
void* registry_iter_next(ObjectRegistry* registry, int64_t* number_out);
void registry_iter_end(ObjectRegistry* registry);
