#include "front/path_set.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "front/names.h"

namespace {

// FNV-1a over the upper-cased bytes, so that spellings of one name meet.
size_t hash_of(const char* path) {
  uint64_t hash = 14695981039346656037ull;
  for (const char* p = path; *p != '\0'; p++) {
    char c = (*p >= 'a' && *p <= 'z') ? static_cast<char>(*p - 'a' + 'A') : *p;
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return static_cast<size_t>(hash);
}

// The same entry: the directories spelt alike, the names alike but for case.
bool same_entry(const char* a, const char* b) {
  size_t cut = last_separator_pos(a);
  return cut == last_separator_pos(b) && strncmp(a, b, cut) == 0 &&
         equal_ignoring_case(a + cut, b + cut);
}

PathSlot* slot_for(const PathSet* set, const char* path) {
  size_t mask = set->slot_count - 1;
  size_t i = hash_of(path) & mask;
  while (set->slots[i].path != nullptr && !same_entry(set->slots[i].path, path))
    i = (i + 1) & mask;
  return &set->slots[i];
}

bool grow(PathSet* set) {
  size_t wanted = set->slot_count == 0 ? 64 : set->slot_count * 2;
  PathSlot* slots = static_cast<PathSlot*>(calloc(wanted, sizeof(PathSlot)));
  if (slots == nullptr)
    return false;
  PathSet larger = {slots, wanted, set->count};
  for (size_t i = 0; i < set->slot_count; i++)
    if (set->slots[i].path != nullptr)
      *slot_for(&larger, set->slots[i].path) = set->slots[i];
  free(set->slots);
  *set = larger;
  return true;
}

}  // namespace

bool path_set_put(PathSet* set, const char* path, int source) {
  if (2 * (set->count + 1) > set->slot_count && !grow(set))
    return false;
  PathSlot* slot = slot_for(set, path);
  if (slot->path == nullptr) {
    slot->path = strdup(path);
    if (slot->path == nullptr)
      return false;
    set->count++;
  }
  slot->source = source;
  return true;
}

int path_set_find(const PathSet* set, const char* path) {
  if (set->slot_count == 0)
    return -1;
  const PathSlot* slot = slot_for(set, path);
  return slot->path == nullptr ? -1 : slot->source;
}
