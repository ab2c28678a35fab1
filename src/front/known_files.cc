#include "front/known_files.h"

#include <cstdint>
#include <cstdlib>

#include "common/text.h"
#include "front/source_list.h"

namespace {

const size_t FIRST_CAPACITY = 256;

size_t first_slot(const FileIdentity& identity, const char* name, size_t capacity) {
  uint64_t hash = name == nullptr ? 0 : upper_hash(name);
  uint64_t mixed =
      (identity.index ^ (identity.volume * 0x9E3779B97F4A7C15ull) ^ hash) * 0xFF51AFD7ED558CCDull;
  return static_cast<size_t>(mixed >> 32) & (capacity - 1);
}

bool same_key(const KnownSlot& slot, const FileIdentity& identity, const char* name) {
  if (slot.name == nullptr || name == nullptr)
    return slot.name == name && same_identity(slot.identity, identity);
  return same_entry(slot.identity, slot.name, identity, name);
}

// The slot that holds the key, or the empty one where it would go.  The
// table has at least one empty slot.
size_t slot_of(const KnownSlot* slots, size_t capacity, const FileIdentity& identity,
               const char* name) {
  size_t slot = first_slot(identity, name, capacity);
  while (slots[slot].source >= 0 && !same_key(slots[slot], identity, name))
    slot = (slot + 1) & (capacity - 1);
  return slot;
}

// Moves the table into one of twice the size (or the first one); false when
// memory runs out, leaving it as it was.
bool rehash(KnownFiles* known) {
  size_t capacity = known->capacity == 0 ? FIRST_CAPACITY : known->capacity * 2;
  if (capacity > SIZE_MAX / sizeof(KnownSlot))
    return false;
  KnownSlot* slots = static_cast<KnownSlot*>(malloc(capacity * sizeof(KnownSlot)));
  if (slots == nullptr)
    return false;
  for (size_t i = 0; i < capacity; i++)
    slots[i].source = -1;
  for (size_t i = 0; i < known->capacity; i++) {
    const KnownSlot& old = known->slots[i];
    if (old.source >= 0)
      slots[slot_of(slots, capacity, old.identity, old.name)] = old;
  }
  free(known->slots);
  known->slots = slots;
  known->capacity = capacity;
  return true;
}

}  // namespace

bool same_entry(const FileIdentity& directory, const char* name,
                const FileIdentity& other_directory, const char* other_name) {
  return same_identity(directory, other_directory) && same_name(name, other_name);
}

bool known_put(KnownFiles* known, const FileIdentity& identity, const char* name, int source) {
  if ((known->count + 1) * 2 > known->capacity && !rehash(known))
    return false;
  KnownSlot* slot = &known->slots[slot_of(known->slots, known->capacity, identity, name)];
  if (slot->source < 0) {
    slot->identity = identity;
    slot->name = nullptr;
    if (name != nullptr && !store_copy(&slot->name, name))
      return false;
    known->count++;
  }
  slot->source = source;
  return true;
}

int known_find(const KnownFiles* known, const FileIdentity& identity, const char* name,
               const char** spelling) {
  if (known->capacity == 0)
    return -1;
  const KnownSlot& slot = known->slots[slot_of(known->slots, known->capacity, identity, name)];
  if (spelling != nullptr && slot.source >= 0)
    *spelling = slot.name;
  return slot.source;
}
