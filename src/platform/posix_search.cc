// The directory search on POSIX, as the Windows search behaves: the last part
// of a pattern matched with '*' and '?' without regard to case, attribute
// bits made from the mode, and the entries in the order an NTFS directory
// lists them.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix.h"

struct DirSearch {
  DirEntry* entries;
  size_t count;
  size_t capacity;
  size_t next;
  const char* last;  // the pattern's last part, while the directory is read
  bool failed;       // memory ran out
};

namespace {

// Windows wildcard matching of one name, without regard to ASCII case.
bool wildcard_match(const char* pattern, const char* name) {
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern != '\0' &&
               (*pattern == '?' || ascii_upper(*pattern) == ascii_upper(*name))) {
      pattern++;
      name++;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*')
    pattern++;
  return *pattern == '\0';
}

// A pattern that ends in ".*" also matches the name without that extension.
bool name_matches(const char* pattern, const char* name) {
  if (wildcard_match(pattern, name))
    return true;
  size_t length = strlen(pattern);
  if (length < 2 || strcmp(pattern + length - 2, ".*") != 0)
    return false;
  char shorter[NAME_MAX + 3];
  if (length - 2 >= sizeof shorter)
    return false;
  memcpy(shorter, pattern, length - 2);
  shorter[length - 2] = '\0';
  return wildcard_match(shorter, name);
}

// The entry `name` as the Windows search describes it.  A link that leads
// nowhere is a system file; a hidden name begins with a dot.
void describe(int directory_fd, const char* name, DirEntry* entry) {
  struct stat info;
  bool followed = fstatat(directory_fd, name, &info, 0) == 0;
  strcpy(entry->name, name);
  entry->attributes = name[0] == '.' ? ATTRIB_HIDDEN : 0;
  entry->size_low = 0;
  if (!followed) {
    entry->attributes |= ATTRIB_SYSTEM;
    return;
  }
  if (S_ISDIR(info.st_mode))
    entry->attributes |= ATTRIB_DIRECTORY;
  else if (!S_ISREG(info.st_mode))
    entry->attributes |= ATTRIB_SYSTEM;
  if ((info.st_mode & S_IWUSR) == 0)
    entry->attributes |= ATTRIB_READONLY;
  entry->size_low = static_cast<uint32_t>(static_cast<uint64_t>(info.st_size) & 0xFFFFFFFFu);
}

void take_entry(int directory_fd, const char* name, void* context) {
  DirSearch* search = static_cast<DirSearch*>(context);
  if (search->failed || strlen(name) > static_cast<size_t>(ENTRY_NAME_CAPACITY) ||
      !name_matches(search->last, name))
    return;
  if (search->count == search->capacity) {
    size_t grown = search->capacity == 0 ? 16 : search->capacity * 2;
    void* more = realloc(search->entries, grown * sizeof(DirEntry));
    if (more == nullptr) {
      search->failed = true;
      return;
    }
    search->entries = static_cast<DirEntry*>(more);
    search->capacity = grown;
  }
  describe(directory_fd, name, &search->entries[search->count++]);
}

int compare_entries(const void* a, const void* b) {
  return compare_names(static_cast<const DirEntry*>(a)->name,
                       static_cast<const DirEntry*>(b)->name);
}

}  // namespace

DirSearch* dir_search_first(const char* pattern, DirEntry* entry, int* reason) {
  *reason = REASON_NONE;
  const char* last = pattern + strlen(pattern);
  while (last > pattern && last[-1] != '/' && last[-1] != '\\')
    last--;
  if (*last == '\0')
    return nullptr;
  // The directory keeps the separator after it, and room for a name byte.
  char typed[RESOLVED_CAPACITY];
  char directory[RESOLVED_CAPACITY];
  size_t cut = static_cast<size_t>(last - pattern);
  if (cut < sizeof typed) {
    memcpy(typed, pattern, cut);
    typed[cut] = '\0';
  }
  if (cut >= sizeof typed || !resolve_path(typed, directory, sizeof directory - 1)) {
    *reason = REASON_TOO_LONG;
    return nullptr;
  }
  DirSearch* search = static_cast<DirSearch*>(calloc(1, sizeof(DirSearch)));
  if (search == nullptr) {
    *reason = ENOMEM;
    return nullptr;
  }
  search->last = last;
  struct stat state;
  bool known = stat(directory_or_dot(directory), &state) == 0;
  // A name without wildcards is looked up in a listing the run holds.
  int fd = -1;
  bool looked_up = known && strpbrk(last, "*?") == nullptr &&
                   (fd = open(directory_or_dot(directory), O_RDONLY | O_DIRECTORY)) >= 0 &&
                   cache_names_like(directory, state, last, take_entry, fd, search);
  if (fd >= 0)
    close(fd);
  if (!looked_up)
    *reason = read_names(directory, known ? &state : nullptr, take_entry, search);
  if (*reason == 0 && search->failed)
    *reason = ENOMEM;
  if (*reason == 0 && search->count > 0) {
    qsort(search->entries, search->count, sizeof(DirEntry), compare_entries);
    if (dir_search_next(search, entry, reason))
      return search;
  }
  dir_search_close(search);
  return nullptr;
}

bool dir_search_next(DirSearch* search, DirEntry* entry, int* reason) {
  *reason = REASON_NONE;
  if (search->next >= search->count)
    return false;
  *entry = search->entries[search->next++];
  return true;
}

void dir_search_close(DirSearch* search) {
  if (search == nullptr)
    return;
  free(search->entries);
  free(search);
}
