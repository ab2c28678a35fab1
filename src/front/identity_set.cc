#include "front/identity_set.h"

#include <cstdint>

namespace {

const int MOST_FILED = IDENTITY_SLOTS / 2;

size_t first_slot(const FileIdentity& identity) {
  uint64_t mixed =
      (identity.index ^ (identity.volume * 0x9E3779B97F4A7C15ull)) * 0xFF51AFD7ED558CCDull;
  return static_cast<size_t>(mixed >> 32) & (IDENTITY_SLOTS - 1);
}

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// The slot that holds `identity`, or the empty one where it would go.
size_t slot_of(const IdentitySet* set, const FileIdentity& identity) {
  size_t slot = first_slot(identity);
  while (set->slots[slot].source >= 0 && !same_identity(set->slots[slot].identity, identity))
    slot = (slot + 1) & (IDENTITY_SLOTS - 1);
  return slot;
}

}  // namespace

void identity_set_clear(IdentitySet* set) {
  for (IdentitySlot& slot : set->slots)
    slot.source = -1;
  set->count = 0;
}

bool identity_set_put(IdentitySet* set, const FileIdentity& identity, int source) {
  size_t slot = slot_of(set, identity);
  if (set->slots[slot].source < 0) {
    if (set->count >= MOST_FILED)
      return false;
    set->count++;
    set->slots[slot].identity = identity;
  }
  set->slots[slot].source = source;
  return true;
}

int identity_set_find(const IdentitySet* set, const FileIdentity& identity) {
  return set->slots[slot_of(set, identity)].source;
}
