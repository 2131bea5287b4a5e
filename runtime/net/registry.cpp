#include "net/registry.h"

#include <cstring>
#include <new>

#include "core/heaps.h"
#include "platform/heap.h"

namespace {

// A dynamic element is a list element whose payload starts with this header; the record
// follows it. 16 bytes keep the record as aligned as the payload.
struct alignas(16) DynamicHeader {
  int64_t identity;
};

// Slot indices stay below 2^31; identities start above every one of them.
constexpr int64_t kFirstIdentity = int64_t{1} << 32;

void* record_of(ListNode* node) { return static_cast<char*>(list_payload(node)) + sizeof(DynamicHeader); }

DynamicHeader* header_of(const void* record) {
  return reinterpret_cast<DynamicHeader*>(const_cast<char*>(static_cast<const char*>(record)) -
                                          sizeof(DynamicHeader));
}

ListNode* find_dynamic(ObjectRegistry* registry, int64_t identity) {
  for (ListNode* n = registry->dynamic; n; n = n->next)
    if (header_of(record_of(n))->identity == identity) return n;
  return nullptr;
}

bool is_live(const void* record) {
  int32_t first = 0;
  std::memcpy(&first, record, sizeof first);
  return first != 0;
}

bool is_slot(const ObjectRegistry* registry, int64_t number) {
  return number >= 0 && number < registry->capacity;
}

// Grows the slot table so that number is a slot index. Returns false, leaving the table
// as it was, when that cannot be done.
bool grow_to(ObjectRegistry* registry, int64_t number) {
  int64_t wanted = number + registry->grow_step;
  if (wanted > INT32_MAX) return false;
  size_t bytes = static_cast<size_t>(wanted) * sizeof(void*);
  auto* table = static_cast<void**>(heap_realloc(runtime_heap(), registry->slots, bytes));
  if (!table) return false;
  for (int64_t i = registry->capacity; i < wanted; ++i) table[i] = nullptr;
  registry->slots = table;
  registry->capacity = static_cast<int32_t>(wanted);
  return true;
}

}  // namespace

ObjectRegistry* registry_create(int32_t element_size, int32_t grow_step, RegistryReuseFn reuse) {
  if (element_size < static_cast<int32_t>(sizeof(int32_t)) || grow_step <= 0) return nullptr;
  void* block = rt_alloc(sizeof(ObjectRegistry));
  if (!block) return nullptr;
  void** slots = static_cast<void**>(rt_alloc(static_cast<size_t>(grow_step) * sizeof(void*)));
  if (!slots) {
    rt_free(block);
    return nullptr;
  }
  auto* registry = new (block) ObjectRegistry{};
  registry->element_size = element_size;
  registry->grow_step = grow_step;
  registry->capacity = grow_step;
  registry->slots = slots;
  registry->reuse = reuse;
  registry->next_identity = kFirstIdentity;
  return registry;
}

void* registry_acquire(ObjectRegistry* registry, int64_t number) {
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  if (number == REGISTRY_DYNAMIC) {
    int32_t size = static_cast<int32_t>(sizeof(ListNode) + sizeof(DynamicHeader)) + registry->element_size;
    void* payload = list_insert(&registry->dynamic, size);
    if (!payload) return nullptr;
    static_cast<DynamicHeader*>(payload)->identity = registry->next_identity++;
    return static_cast<char*>(payload) + sizeof(DynamicHeader);
  }
  if (number < 0) return nullptr;
  if (number >= registry->capacity && !grow_to(registry, number)) return nullptr;
  void*& slot = registry->slots[number];
  if (slot) {
    if (registry->reuse) registry->reuse(number);
    return slot;
  }
  slot = rt_alloc(static_cast<size_t>(registry->element_size));
  return slot;
}

void* registry_find(ObjectRegistry* registry, int64_t number) {
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  void* record = nullptr;
  if (is_slot(registry, number)) {
    record = registry->slots[number];
  } else if (ListNode* node = find_dynamic(registry, number)) {
    record = record_of(node);
  }
  return record && is_live(record) ? record : nullptr;
}

void registry_release(ObjectRegistry* registry, int64_t number) {
  std::lock_guard<std::recursive_mutex> hold(registry->lock);
  if (is_slot(registry, number)) {
    if (void* record = registry->slots[number])
      std::memset(record, 0, static_cast<size_t>(registry->element_size));
    return;
  }
  ListNode* node = find_dynamic(registry, number);
  if (!node) return;
  // An iteration that is about to return this element moves on to the next newer one.
  if (registry->iter_cursor == node) registry->iter_cursor = node->prev;
  list_remove(&registry->dynamic, list_payload(node));
}

int64_t registry_number_of(const void* dynamic_record) { return header_of(dynamic_record)->identity; }

void registry_iter_begin(ObjectRegistry* registry) {
  registry->lock.lock();
  registry->iter_position = 0;
  ListNode* oldest = registry->dynamic;
  while (oldest && oldest->next) oldest = oldest->next;
  registry->iter_cursor = oldest;
}

void* registry_iter_next(ObjectRegistry* registry, int64_t* number_out) {
  while (registry->iter_position < registry->capacity) {
    int32_t index = registry->iter_position++;
    void* record = registry->slots[index];
    if (record && is_live(record)) {
      if (number_out) *number_out = index;
      return record;
    }
  }
  if (ListNode* node = registry->iter_cursor) {
    registry->iter_cursor = node->prev;
    void* record = record_of(node);
    if (number_out) *number_out = header_of(record)->identity;
    return record;
  }
  registry->lock.unlock();
  return nullptr;
}

void registry_iter_end(ObjectRegistry* registry) { registry->lock.unlock(); }
