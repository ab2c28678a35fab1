// Names on POSIX: paths in which slash and backslash both separate, resolved
// without regard to ASCII case as Windows would, and the cache of directory
// listings that makes those lookups cheap for a run that asks for many names
// in one directory.
#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/posix.h"

char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

namespace {

int compare_upper(const char* a, const char* b) {
  while (*a != '\0' && ascii_upper(*a) == ascii_upper(*b)) {
    a++;
    b++;
  }
  return static_cast<unsigned char>(ascii_upper(*a)) - static_cast<unsigned char>(ascii_upper(*b));
}

}  // namespace

bool same_name(const char* a, const char* b) {
  return compare_upper(a, b) == 0;
}

int compare_names(const char* a, const char* b) {
  int order = compare_upper(a, b);
  return order != 0 ? order : strcmp(a, b);
}

const char* directory_or_dot(const char* directory) {
  return directory[0] == '\0' ? "." : directory;
}

size_t split_directory(const char* path, char* directory) {
  const char* slash = strrchr(path, '/');
  size_t cut = slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
  memcpy(directory, path, cut);
  directory[cut] = '\0';
  return cut;
}

namespace {

// ---------------------------------------------------------------------------
// The cache: the names of the directories listed while it is on, each under
// its resolved spelling.  A listing holds while the directory's device, inode
// and change time stay as they were; no program can set a change time back.
// A change that another program makes within the same tick of the file
// system's clock as the listing, or as one of the tool's own changes, can go
// unseen where the system does not stamp such changes apart.

struct NameSlot {
  uint32_t hash;
  uint32_t name;  // 0 for a free slot, else 1 + the name's offset in `text`
  bool removed;
};

struct Listing {
  char* directory;  // nullptr when the entry is unused
  dev_t device;
  ino_t inode;
  struct timespec changed;
  char* text;  // the names, each ended by a NUL
  size_t used;
  size_t capacity;
  size_t names;  // in `text`; the table is built at the first lookup
  NameSlot* slots;
  size_t slot_count;  // 0 before the table is built, then a power of two
  size_t count;       // slots in use, at most half of them
  unsigned last_use;  // 0 for an unused entry
  bool consulted;     // a lookup has taken an answer from it
};

const int LISTINGS = 8;
Listing listings[LISTINGS];
bool cache_on;
unsigned uses;

// FNV-1a over the upper-cased bytes: all spellings of a name hash alike.
uint32_t upper_hash(const char* name) {
  uint32_t hash = 2166136261u;
  for (const char* p = name; *p != '\0'; p++) {
    hash ^= static_cast<unsigned char>(ascii_upper(*p));
    hash *= 16777619u;
  }
  return hash;
}

void drop(Listing* listing) {
  free(listing->directory);
  free(listing->text);
  free(listing->slots);
  memset(listing, 0, sizeof *listing);
}

bool current(const Listing& listing, const struct stat& state) {
  return listing.device == state.st_dev && listing.inode == state.st_ino &&
         listing.changed.tv_sec == state.st_ctim.tv_sec &&
         listing.changed.tv_nsec == state.st_ctim.tv_nsec;
}

void take_state(Listing* listing, const struct stat& state) {
  listing->device = state.st_dev;
  listing->inode = state.st_ino;
  listing->changed = state.st_ctim;
}

Listing* find_listing(const char* directory) {
  for (Listing& listing : listings) {
    if (listing.directory != nullptr && strcmp(listing.directory, directory) == 0) {
      listing.last_use = ++uses;
      return &listing;
    }
  }
  return nullptr;
}

const char* name_at(const Listing& listing, const NameSlot& slot) {
  return listing.text + slot.name - 1;
}

// The slot that holds exactly `name`, or the free slot where it would go.
NameSlot* slot_for(Listing* listing, const char* name, uint32_t hash) {
  size_t mask = listing->slot_count - 1;
  size_t i = hash & mask;
  while (listing->slots[i].name != 0 && (listing->slots[i].hash != hash ||
                                         strcmp(name_at(*listing, listing->slots[i]), name) != 0))
    i = (i + 1) & mask;
  return &listing->slots[i];
}

// Enters the name at `offset` of `text` in the table, unless it is there.
void index_name(Listing* listing, uint32_t offset) {
  const char* name = listing->text + offset;
  uint32_t hash = upper_hash(name);
  NameSlot* slot = slot_for(listing, name, hash);
  if (slot->name == 0) {
    *slot = NameSlot{hash, offset + 1, false};
    listing->count++;
  }
}

// Builds the table with room for twice the names, once their number is
// known; false when memory runs out.
bool build_index(Listing* listing, size_t room) {
  size_t wanted = 64;
  while (wanted < 2 * room)
    wanted *= 2;
  NameSlot* slots = static_cast<NameSlot*>(calloc(wanted, sizeof(NameSlot)));
  if (slots == nullptr)
    return false;
  NameSlot* old = listing->slots;
  size_t old_count = listing->slot_count;
  listing->slots = slots;
  listing->slot_count = wanted;
  listing->count = 0;
  if (old_count == 0) {
    for (size_t at = 0; at < listing->used; at += strlen(listing->text + at) + 1)
      index_name(listing, static_cast<uint32_t>(at));
  }
  for (size_t i = 0; i < old_count; i++) {
    if (old[i].name != 0 && !old[i].removed) {
      *slot_for(listing, name_at(*listing, old[i]), old[i].hash) = old[i];
      listing->count++;
    }
  }
  free(old);
  return true;
}

bool indexed(Listing* listing) {
  return listing->slot_count != 0 || build_index(listing, listing->names);
}

bool store_text(Listing* listing, const char* name, uint32_t* offset) {
  size_t size = strlen(name) + 1;
  if (listing->used + size >= UINT32_MAX)
    return false;
  if (listing->used + size > listing->capacity) {
    size_t grown = listing->capacity == 0 ? 16384 : listing->capacity * 2;
    while (grown < listing->used + size)
      grown *= 2;
    char* more = static_cast<char*>(realloc(listing->text, grown));
    if (more == nullptr)
      return false;
    listing->text = more;
    listing->capacity = grown;
  }
  memcpy(listing->text + listing->used, name, size);
  *offset = static_cast<uint32_t>(listing->used);
  listing->used += size;
  listing->names++;
  return true;
}

bool add_name(Listing* listing, const char* name) {
  if (!indexed(listing) ||
      (2 * (listing->count + 1) > listing->slot_count && !build_index(listing, listing->count + 1)))
    return false;
  uint32_t hash = upper_hash(name);
  NameSlot* slot = slot_for(listing, name, hash);
  if (slot->name != 0) {
    slot->removed = false;
    return true;
  }
  uint32_t offset;
  if (!store_text(listing, name, &offset))
    return false;
  *slot = NameSlot{hash, offset + 1, false};
  listing->count++;
  return true;
}

bool remove_name(Listing* listing, const char* name) {
  if (!indexed(listing))
    return false;
  NameSlot* slot = slot_for(listing, name, upper_hash(name));
  if (slot->name != 0)
    slot->removed = true;
  return true;
}

// An empty listing of `directory` in the state `state`, in place of its old
// one or of the one used least lately; nullptr when memory runs out.
Listing* new_listing(const char* directory, const struct stat& state) {
  Listing* chosen = find_listing(directory);
  if (chosen == nullptr) {
    chosen = &listings[0];
    for (Listing& listing : listings) {
      if (listing.last_use < chosen->last_use)
        chosen = &listing;
    }
  }
  drop(chosen);
  chosen->directory = strdup(directory);
  if (chosen->directory == nullptr)
    return nullptr;
  take_state(chosen, state);
  chosen->last_use = ++uses;
  return chosen;
}

}  // namespace

int read_names(const char* directory, const struct stat* state, NameTaker take, void* context) {
  Listing* listing = cache_on && state != nullptr ? new_listing(directory, *state) : nullptr;
  DIR* dir = opendir(directory_or_dot(directory));
  int reason = dir == nullptr ? errno : 0;
  while (dir != nullptr) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr)
      break;
    uint32_t offset;
    if (listing != nullptr && !store_text(listing, entry->d_name, &offset)) {
      drop(listing);
      listing = nullptr;
    }
    if (take != nullptr)
      take(dirfd(dir), entry->d_name, context);
  }
  if (dir != nullptr) {
    reason = errno;
    closedir(dir);
  }
  if (listing != nullptr && reason != 0)
    drop(listing);
  return reason;
}

namespace {

// What a lookup of `wanted` takes among the names that match it without
// regard to case: the exact spelling, else the first in name order.
struct Lookup {
  const char* wanted;
  char* best;  // as long as `wanted`
  bool found;
};

void take_better(int, const char* name, void* context) {
  Lookup* lookup = static_cast<Lookup*>(context);
  if (!same_name(name, lookup->wanted) ||
      (lookup->found && strcmp(lookup->best, lookup->wanted) == 0))
    return;
  if (!lookup->found || strcmp(name, lookup->wanted) == 0 ||
      compare_names(name, lookup->best) < 0) {
    strcpy(lookup->best, name);
    lookup->found = true;
  }
}

// Looks in `directory` (resolved, "" for the current one; `known` its state,
// or nullptr) for an entry named `name` without regard to case, and copies
// the name that a lookup takes, which has the same length, into `found`.
bool find_case_blind(const char* directory, const char* name, char* found,
                     const struct stat* known) {
  struct stat state;
  if (known != nullptr)
    state = *known;
  bool stated = cache_on && (known != nullptr || stat(directory_or_dot(directory), &state) == 0);
  Lookup lookup = {name, found, false};
  // The cache answers from a listing that is current, or else one read now.
  if (stated && (cache_names_like(directory, state, name, take_better, -1, &lookup) ||
                 (read_names(directory, &state, nullptr, nullptr) == 0 &&
                  cache_names_like(directory, state, name, take_better, -1, &lookup))))
    return lookup.found;
  return read_names(directory, nullptr, take_better, &lookup) == 0 && lookup.found;
}

// Whether the first `length` bytes of `path` name an existing entry.
bool prefix_exists(char* path, size_t length) {
  if (length == 0)
    return true;
  char saved = path[length];
  path[length] = '\0';
  struct stat info;
  bool exists = lstat(path, &info) == 0;
  path[length] = saved;
  return exists;
}

// The end of the directory that holds the component ending at `end`.
size_t parent_end(const char* path, size_t end) {
  while (end > 0 && path[end - 1] != '/')
    end--;
  if (end <= 1)
    return end;  // the current directory, or the root
  return end - 1;
}

// Whether the directory path[0, end) is the current directory or the root.
bool is_top(const char* path, size_t end) {
  return end == 0 || (end == 1 && path[0] == '/');
}

// Gives path[0, length) its resolved spelling in place: the longest prefix
// that exists as spelt stays, and each component below it takes the name of
// an entry that matches it without regard to case, while there is one.
// Tells whether any component changed.
bool resolve_span(char* path, size_t length) {
  size_t top = parent_end(path, length);
  // The directory of the last component is stated once, for the cache too.
  size_t parent = top;
  struct stat state;
  char saved = path[parent];
  path[parent] = '\0';
  bool parent_known = stat(directory_or_dot(path), &state) == 0;
  path[parent] = saved;
  while (!parent_known && !is_top(path, top) && !prefix_exists(path, top))
    top = parent_end(path, top);
  bool changed = false;
  while (top < length) {
    size_t start = is_top(path, top) ? top : top + 1;
    size_t end = start;
    while (end < length && path[end] != '/')
      end++;
    char name[NAME_MAX + 1];
    char found[NAME_MAX + 1];
    if (end - start > NAME_MAX)
      return changed;
    memcpy(name, path + start, end - start);
    name[end - start] = '\0';
    saved = path[start];
    path[start] = '\0';
    bool matched =
        find_case_blind(path, name, found, top == parent && parent_known ? &state : nullptr);
    path[start] = saved;
    if (!matched)
      return changed;
    changed = changed || memcmp(path + start, found, end - start) != 0;
    memcpy(path + start, found, end - start);
    top = end;
  }
  return changed;
}

}  // namespace

bool normalize_path(const char* path, char* out, size_t capacity) {
  size_t used = 0;
  for (const char* p = path; *p != '\0'; p++) {
    char c = *p == '\\' ? '/' : *p;
    if (c == '/' && used > 0 && out[used - 1] == '/')
      continue;
    if (used + 1 >= capacity)
      return false;
    out[used++] = c;
  }
  out[used] = '\0';
  return true;
}

bool resolve_noting(const char* path, char* out, size_t capacity, Resolved* found) {
  found->exists = false;
  found->reason = ENOENT;
  if (!normalize_path(path, out, capacity))
    return false;
  if (out[0] == '\0')
    return true;
  if (lstat(out, &found->info) == 0) {
    found->exists = true;
    return true;
  }
  found->reason = errno;
  size_t length = strlen(out);
  if (length > 1 && out[length - 1] == '/')
    length--;
  if (!resolve_span(out, length))
    return true;
  if (lstat(out, &found->info) == 0)
    found->exists = true;
  else
    found->reason = errno;
  return true;
}

bool resolve_path(const char* path, char* out, size_t capacity) {
  Resolved found;
  return resolve_noting(path, out, capacity, &found);
}

void name_cache_enable(bool on) {
  cache_on = on;
  if (!on) {
    for (Listing& listing : listings)
      drop(&listing);
  }
}

bool cache_names_like(const char* directory, const struct stat& state, const char* name,
                      NameTaker take, int directory_fd, void* context) {
  Listing* listing = cache_on ? find_listing(directory) : nullptr;
  if (listing == nullptr || !current(*listing, state))
    return false;
  if (!indexed(listing)) {
    drop(listing);
    return false;
  }
  listing->consulted = true;
  uint32_t hash = upper_hash(name);
  size_t mask = listing->slot_count - 1;
  for (size_t i = hash & mask; listing->slots[i].name != 0; i = (i + 1) & mask) {
    const NameSlot& slot = listing->slots[i];
    if (slot.hash == hash && !slot.removed && same_name(name_at(*listing, slot), name))
      take(directory_fd, name_at(*listing, slot), context);
  }
  return true;
}

void cache_before(const char* directory, struct stat* before) {
  Listing* listing = find_listing(directory);
  // A listing that no lookup has used yet is not worth keeping current.
  if (listing != nullptr &&
      (!listing->consulted || stat(directory_or_dot(directory), before) != 0 ||
       !current(*listing, *before)))
    drop(listing);
}

void cache_after(const char* directory, const struct stat& before, const char* added,
                 const char* removed) {
  Listing* listing = find_listing(directory);
  if (listing == nullptr)
    return;
  struct stat after;
  if (current(*listing, before) && stat(directory_or_dot(directory), &after) == 0 &&
      (removed == nullptr || remove_name(listing, removed)) &&
      (added == nullptr || add_name(listing, added)))
    take_state(listing, after);
  else
    drop(listing);
}
