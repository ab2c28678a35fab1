#include "front/folders.h"

#include <cstdlib>
#include <cstring>

#include "common/text.h"

namespace {

// Whether `mark` starts with one of the marks of a temporary file or a kept
// link, followed by the letters that made the name unique and nothing else.
bool marked(const char* mark) {
  size_t length = strlen(TEMPORARY_MARK);
  if (strncmp(mark, TEMPORARY_MARK, length) != 0 && strncmp(mark, PREVIOUS_MARK, length) != 0)
    return false;
  const char* rest = mark + length;
  return rest[0] != '\0' &&
         strspn(rest, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-") ==
             strlen(rest);
}

// Whether `name` is a temporary file or a kept link that a run writing the
// output `target` (any output, for nullptr) makes beside it.
bool leftover_of(const char* name, const char* target) {
  if (name[0] != '.')
    return false;
  if (target == nullptr) {
    const char* mark = strstr(name + 1, ".quillfen-");
    for (; mark != nullptr; mark = strstr(mark + 1, ".quillfen-")) {
      if (marked(mark))
        return true;
    }
    return false;
  }
  size_t kept = strnlen(target, static_cast<size_t>(TEMPORARY_NAME_KEPT));
  return strncmp(name + 1, target, kept) == 0 && marked(name + 1 + kept);
}

bool take_name(const char* name, void* context) {
  Folder* folder = static_cast<Folder*>(context);
  if (!grow(&folder->names, folder->count, &folder->capacity))
    return false;
  folder->names[folder->count] = nullptr;
  if (!store_copy(&folder->names[folder->count], name))
    return false;
  folder->count++;
  return true;
}

// Files every name by its upper-cased hash; false when memory runs out.
bool index_names(Folder* folder) {
  size_t wanted = 16;
  while (wanted < 2 * folder->count)
    wanted *= 2;
  folder->slots = static_cast<size_t*>(calloc(wanted, sizeof(size_t)));
  if (folder->slots == nullptr)
    return false;
  folder->slot_count = wanted;
  for (size_t i = 0; i < folder->count; i++) {
    size_t slot = static_cast<size_t>(upper_hash(folder->names[i])) & (wanted - 1);
    while (folder->slots[slot] != 0)
      slot = (slot + 1) & (wanted - 1);
    folder->slots[slot] = i + 1;
  }
  return true;
}

// Notes the names that runs ended early may have left; false when memory
// runs out.
bool note_leftovers(Folder* folder) {
  for (size_t i = 0; i < folder->count; i++) {
    if (!leftover_of(folder->names[i], nullptr))
      continue;
    if (!grow(&folder->leftovers, folder->leftover_count, &folder->leftover_capacity, 4))
      return false;
    folder->leftovers[folder->leftover_count++] = i;
  }
  return true;
}

// Adds a new folder to the set; false when memory runs out.
bool keep(FolderSet* set, Folder* folder) {
  if (!grow(&set->folders, set->count, &set->capacity, 8))
    return false;
  set->folders[set->count++] = folder;
  return true;
}

}  // namespace

Folder* folder_open(FolderSet* set, const char* path, int* reason) {
  for (size_t i = 0; i < set->count; i++) {
    if (strcmp(set->folders[i]->typed, path) == 0)
      return set->folders[i];
  }
  Directory* directory = directory_open(path, reason);
  if (directory == nullptr)
    return nullptr;
  FileIdentity identity = directory_identity(directory);
  for (size_t i = 0; i < set->count; i++) {
    Folder* known = set->folders[i];
    if (same_identity(known->identity, identity)) {
      directory_close(directory);
      return known;
    }
  }
  Folder* folder = static_cast<Folder*>(calloc(1, sizeof(Folder)));
  if (folder == nullptr || !store_copy(&folder->typed, path) || !keep(set, folder)) {
    directory_close(directory);
    if (folder != nullptr)
      free(folder->typed);
    free(folder);
    *reason = REASON_NO_MEMORY;
    return nullptr;
  }
  folder->directory = directory;
  folder->identity = identity;
  return folder;
}

int folder_list(Folder* folder) {
  if (folder->listed)
    return REASON_NONE;
  int reason = directory_list(folder->directory, take_name, folder);
  if (reason == REASON_NONE && (!index_names(folder) || !note_leftovers(folder)))
    reason = REASON_NO_MEMORY;
  if (reason != REASON_NONE) {
    while (folder->count > 0)
      free(folder->names[--folder->count]);
    return reason;
  }
  folder->listed = true;
  return REASON_NONE;
}

const char* folder_find(const Folder* folder, const char* name) {
  if (folder->slot_count == 0)
    return nullptr;
  const char* best = nullptr;
  size_t mask = folder->slot_count - 1;
  for (size_t slot = static_cast<size_t>(upper_hash(name)) & mask; folder->slots[slot] != 0;
       slot = (slot + 1) & mask) {
    const char* entry = folder->names[folder->slots[slot] - 1];
    if (strcmp(entry, name) == 0)
      return entry;
    if (better_alike(entry, name, best))
      best = entry;
  }
  return best;
}

void folder_clear_leftovers(Folder* folder, const char* name) {
  for (size_t i = 0; i < folder->leftover_count; i++) {
    const char* entry = folder->names[folder->leftovers[i]];
    if (leftover_of(entry, name) && leftover_remove(folder->directory, entry))
      folder->leftovers[i--] = folder->leftovers[--folder->leftover_count];
  }
}

void folders_close(FolderSet* set) {
  for (size_t i = 0; i < set->count; i++) {
    Folder* folder = set->folders[i];
    directory_close(folder->directory);
    for (size_t n = 0; n < folder->count; n++)
      free(folder->names[n]);
    free(folder->names);
    free(folder->slots);
    free(folder->leftovers);
    free(folder->typed);
    free(folder);
  }
  free(set->folders);
  *set = FolderSet{};
}
