#include "front/identity_set.h"

#include <cstdint>
#include <cstdlib>

namespace {

const size_t FIRST_CAPACITY = 256;

size_t first_slot(const FileIdentity& identity, size_t capacity) {
  uint64_t mixed =
      (identity.index ^ (identity.volume * 0x9E3779B97F4A7C15ull)) * 0xFF51AFD7ED558CCDull;
  return static_cast<size_t>(mixed >> 32) & (capacity - 1);
}

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// The slot that holds `identity`, or the empty one where it would go.  The
// table has at least one empty slot.
size_t slot_of(const IdentitySlot* slots, size_t capacity, const FileIdentity& identity) {
  size_t slot = first_slot(identity, capacity);
  while (slots[slot].source >= 0 && !same_identity(slots[slot].identity, identity))
    slot = (slot + 1) & (capacity - 1);
  return slot;
}

// Moves the table into one of twice the size (or the first one); false when
// memory runs out, leaving it as it was.
bool grow(IdentitySet* set) {
  size_t capacity = set->capacity == 0 ? FIRST_CAPACITY : set->capacity * 2;
  if (capacity > SIZE_MAX / sizeof(IdentitySlot))
    return false;
  IdentitySlot* slots = static_cast<IdentitySlot*>(malloc(capacity * sizeof(IdentitySlot)));
  if (slots == nullptr)
    return false;
  for (size_t i = 0; i < capacity; i++)
    slots[i].source = -1;
  for (size_t i = 0; i < set->capacity; i++) {
    if (set->slots[i].source >= 0)
      slots[slot_of(slots, capacity, set->slots[i].identity)] = set->slots[i];
  }
  free(set->slots);
  set->slots = slots;
  set->capacity = capacity;
  return true;
}

}  // namespace

void identity_set_clear(IdentitySet* set) {
  for (size_t i = 0; i < set->capacity; i++)
    set->slots[i].source = -1;
  set->count = 0;
}

bool identity_set_put(IdentitySet* set, const FileIdentity& identity, int source) {
  if ((set->count + 1) * 2 > set->capacity && !grow(set))
    return false;
  size_t slot = slot_of(set->slots, set->capacity, identity);
  if (set->slots[slot].source < 0) {
    set->count++;
    set->slots[slot].identity = identity;
  }
  set->slots[slot].source = source;
  return true;
}

int identity_set_find(const IdentitySet* set, const FileIdentity& identity) {
  if (set->capacity == 0)
    return -1;
  return set->slots[slot_of(set->slots, set->capacity, identity)].source;
}
