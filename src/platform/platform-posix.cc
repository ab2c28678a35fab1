// The platform layer on POSIX systems.  It gives the tool the behaviour of the
// Windows services it was made for: case-blind paths in which slash and
// backslash both separate, a directory search with Windows wildcards,
// attribute bits and a repeatable order, and console colours through ANSI
// sequences on a terminal.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace {

const int RESOLVED_CAPACITY = PATH_MAX;

char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool is_separator(char c) {
  return c == '/' || c == '\\';
}

bool equal_ignoring_case(const char* a, const char* b) {
  while (*a != '\0' && ascii_upper(*a) == ascii_upper(*b)) {
    a++;
    b++;
  }
  return ascii_upper(*a) == ascii_upper(*b);
}

// Orders names as an NTFS directory lists them: byte by byte after ASCII
// upper-casing; names equal that way fall back to their raw bytes.
int compare_names(const char* a, const char* b) {
  const char* x = a;
  const char* y = b;
  while (*x != '\0' && ascii_upper(*x) == ascii_upper(*y)) {
    x++;
    y++;
  }
  unsigned char cx = static_cast<unsigned char>(ascii_upper(*x));
  unsigned char cy = static_cast<unsigned char>(ascii_upper(*y));
  if (cx != cy)
    return cx < cy ? -1 : 1;
  return strcmp(a, b);
}

// Appends `text` (of `length` bytes) to the path in `out`; false when it
// does not fit.
bool append_bytes(char* out, size_t* used, const char* text, size_t length) {
  if (*used + length >= static_cast<size_t>(RESOLVED_CAPACITY))
    return false;
  memcpy(out + *used, text, length);
  *used += length;
  out[*used] = '\0';
  return true;
}

// The names of the directory last listed, and a table of them keyed by their
// upper-cased form.  They serve while the directory is unchanged, so that a
// run over a large directory does not list it again for every output it
// names, and finds each name without a scan.  The table is built at the first
// lookup, once the number of names is known.
struct NameSlot {
  uint32_t hash;
  uint32_t name;  // 0 for a free slot, else 1 + the name's offset in `text`
};

struct NameCache {
  char directory[RESOLVED_CAPACITY];  // as resolve_path spells it; "" is "."
  struct stat state;                  // the directory's when listed
  char* text;                         // the names in listing order, each ended by a NUL
  size_t text_used;
  size_t text_capacity;
  size_t names;  // names in `text`
  // A slot holds the name that a lookup of any spelling of it finds: the
  // first in listing order.
  NameSlot* slots;
  size_t slot_count;  // a power of two, at least twice `count`
  size_t count;       // slots in use
  bool indexed;       // the table holds every name in `text`
  bool valid;
};

NameCache name_cache;

const char* directory_or_dot(const char* directory) {
  return directory[0] == '\0' ? "." : directory;
}

bool unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// FNV-1a over the upper-cased bytes: all spellings of a name hash alike.
uint32_t upper_hash(const char* name) {
  uint32_t hash = 2166136261u;
  for (const char* p = name; *p != '\0'; p++) {
    hash ^= static_cast<unsigned char>(ascii_upper(*p));
    hash *= 16777619u;
  }
  return hash;
}

// The slot that holds the name with this hash in any spelling, or the free
// slot where it would go.
NameSlot* find_slot(const char* name, uint32_t hash) {
  NameCache& cache = name_cache;
  size_t mask = cache.slot_count - 1;
  size_t i = hash & mask;
  while (cache.slots[i].name != 0 &&
         (cache.slots[i].hash != hash ||
          !equal_ignoring_case(cache.text + cache.slots[i].name - 1, name)))
    i = (i + 1) & mask;
  return &cache.slots[i];
}

// Enters the name at `offset` in `text` into the table, unless an earlier
// spelling of it ranks first.
void index_name(size_t offset) {
  const char* name = name_cache.text + offset;
  uint32_t hash = upper_hash(name);
  NameSlot* slot = find_slot(name, hash);
  if (slot->name != 0 && compare_names(name, name_cache.text + slot->name - 1) >= 0)
    return;
  if (slot->name == 0)
    name_cache.count++;
  slot->hash = hash;
  slot->name = static_cast<uint32_t>(offset + 1);
}

// Makes the table room for `names` names and enters every name of `text`;
// false when memory runs out.
bool build_index(size_t names) {
  NameCache& cache = name_cache;
  size_t wanted = 256;
  while (wanted < 2 * names)
    wanted *= 2;
  if (wanted > cache.slot_count) {
    NameSlot* slots = static_cast<NameSlot*>(calloc(wanted, sizeof(NameSlot)));
    if (slots == nullptr)
      return false;
    free(cache.slots);
    cache.slots = slots;
    cache.slot_count = wanted;
  } else {
    memset(cache.slots, 0, cache.slot_count * sizeof(NameSlot));
  }
  cache.count = 0;
  for (size_t offset = 0; offset < cache.text_used; offset += strlen(cache.text + offset) + 1)
    index_name(offset);
  cache.indexed = true;
  return true;
}

bool cache_name(const char* name) {
  NameCache& cache = name_cache;
  size_t size = strlen(name) + 1;
  if (cache.text_used + size >= UINT32_MAX)
    return false;
  if (cache.text_used + size > cache.text_capacity) {
    size_t grown = cache.text_capacity == 0 ? 16384 : cache.text_capacity * 2;
    while (grown < cache.text_used + size)
      grown *= 2;
    void* more = realloc(cache.text, grown);
    if (more == nullptr)
      return false;
    cache.text = static_cast<char*>(more);
    cache.text_capacity = grown;
  }
  size_t offset = cache.text_used;
  memcpy(cache.text + offset, name, size);
  cache.text_used += size;
  cache.names++;
  if (!cache.indexed)
    return true;
  if (2 * (cache.count + 1) > cache.slot_count)
    return build_index(2 * cache.names);
  index_name(offset);
  return true;
}

void forget_names() {
  name_cache.text_used = 0;
  name_cache.names = 0;
  name_cache.indexed = false;
  name_cache.valid = false;
}

// Whether the cache holds the names of `directory` in the state `state`.
bool names_current(const char* directory, const struct stat& state) {
  return name_cache.valid && strcmp(name_cache.directory, directory) == 0 &&
         unchanged(name_cache.state, state);
}

// Ends a listing of `directory`, taken in the state `state`, into the
// cache; `complete` says whether every name went in.
void finish_listing(const char* directory, const struct stat& state, bool complete) {
  if (!complete || strlen(directory) >= RESOLVED_CAPACITY) {
    forget_names();
    return;
  }
  strcpy(name_cache.directory, directory);
  name_cache.state = state;
  name_cache.valid = true;
}

// Makes the cache hold the names of `directory`, whose state is `state`;
// false when it cannot be listed.
bool list_names_in_state(const char* directory, const struct stat& state) {
  if (strlen(directory) >= RESOLVED_CAPACITY)
    return false;
  if (names_current(directory, state))
    return true;
  forget_names();
  DIR* dir = opendir(directory_or_dot(directory));
  if (dir == nullptr)
    return false;
  bool complete = true;
  while (struct dirent* entry = readdir(dir))
    complete = complete && cache_name(entry->d_name);
  closedir(dir);
  finish_listing(directory, state, complete);
  return name_cache.valid;
}

// Looks in `directory` (a resolved path, "" for the current directory) for
// an entry named `name` without regard to ASCII case.  Copies the first such
// name in listing order into `found`; false when there is none.  `*state` is
// the directory's state if `*state_known`; otherwise it is taken now, and
// `*state_known` tells whether that worked.
bool find_case_blind(const char* directory, const char* name, char* found, size_t capacity,
                     struct stat* state, bool* state_known) {
  if (!*state_known)
    *state_known = stat(directory_or_dot(directory), state) == 0;
  if (!*state_known)
    return false;
  if (!list_names_in_state(directory, *state))
    return false;
  if (!name_cache.indexed && !build_index(name_cache.names)) {
    forget_names();
    return false;
  }
  const NameSlot* slot = find_slot(name, upper_hash(name));
  if (slot->name == 0)
    return false;
  const char* candidate = name_cache.text + slot->name - 1;
  if (strlen(candidate) >= capacity)
    return false;
  strcpy(found, candidate);
  return true;
}

// Whether the cache holds the names of `directory`, in some state.
bool holds_names_of(const char* directory) {
  return name_cache.valid && strcmp(name_cache.directory, directory) == 0;
}

// Keeps the cache current when the tool itself adds `name` to `directory`,
// whose state before that was `before`; true when it did.
bool note_created(const char* directory, const char* name, const struct stat& before) {
  struct stat after;
  if (!holds_names_of(directory) || !unchanged(name_cache.state, before) ||
      stat(directory_or_dot(directory), &after) != 0)
    return false;
  if (!cache_name(name)) {
    forget_names();
    return false;
  }
  name_cache.state = after;
  return true;
}

// The path as resolving spells it when every component exists as typed:
// slashes for backslashes, one for each run of separators.  False when it
// does not fit.
bool normalize_path(const char* path, char* out) {
  size_t used = 0;
  out[0] = '\0';
  const char* p = path;
  if (is_separator(*p)) {
    if (!append_bytes(out, &used, "/", 1))
      return false;
    while (is_separator(*p))
      p++;
  }
  while (*p != '\0') {
    const char* end = p;
    while (*end != '\0' && !is_separator(*end))
      end++;
    if (!append_bytes(out, &used, p, static_cast<size_t>(end - p)))
      return false;
    p = end;
    if (*p != '\0') {
      if (!append_bytes(out, &used, "/", 1))
        return false;
      while (is_separator(*p))
        p++;
    }
  }
  return true;
}

// The resolution of one component: what the caller knows going in, and what
// the file system said.
struct Step {
  bool missing = false;      // in: the exact spelling is known to be absent
  bool state_known = false;  // in and out: `state` holds the directory's state
  struct stat state;
  bool searched = false;  // the directory was searched without regard to case
  bool matched = false;   // and an entry was found there
  bool exists = false;    // the exact spelling exists, with `info` its lstat
  struct stat info;
  int error = 0;  // otherwise, errno of the lstat that missed it
};

// Appends the component of `length` bytes at `name` to the path in `out`;
// when no entry has that exact spelling, it takes the name of one that
// matches it without regard to case.  The directory searched is the path so
// far.  False when the result does not fit.
bool resolve_component(char* out, size_t* used, const char* name, size_t length, Step* step) {
  size_t start = *used;
  if (!append_bytes(out, used, name, length))
    return false;
  if (!step->missing) {
    if (lstat(out, &step->info) == 0) {
      step->exists = true;
      return true;
    }
    step->error = errno;
  }
  if (length > NAME_MAX)
    return true;
  char component[NAME_MAX + 1];
  char found[NAME_MAX + 1];
  memcpy(component, name, length);
  component[length] = '\0';
  out[start] = '\0';
  step->searched = true;
  step->matched =
      find_case_blind(out, component, found, sizeof found, &step->state, &step->state_known);
  *used = start;
  const char* chosen = step->matched ? found : component;
  return append_bytes(out, used, chosen, strlen(chosen));
}

// Directories that resolving has spelled out in this run, so that the
// components above a file are looked up once per run rather than once per
// path.  An entry holds while its result exists and every directory searched
// for it without regard to case is unchanged: the components found as typed
// exist while the result does, and the others depend only on those listings.
const int PREFIX_CACHE_SIZE = 8;
const int PREFIX_SEARCHES = 4;

// A query that looks at several paths as of one moment (same_file) has a
// number here, 0 outside one; a cache entry checked during it is not
// checked again.
unsigned current_query;

struct ResolvedPrefix {
  char typed[RESOLVED_CAPACITY];  // as normalize_path spells it, ending in '/'; "" when unused
  char resolved[RESOLVED_CAPACITY];
  int search_count;
  // The directories searched are the first bytes of `resolved`.
  size_t searched_length[PREFIX_SEARCHES];
  struct stat searched_state[PREFIX_SEARCHES];
  unsigned checked_in;       // the query that last found it holding
  struct stat result_state;  // the state of `resolved` then
};

ResolvedPrefix prefix_cache[PREFIX_CACHE_SIZE];
int prefix_cache_next;  // the entry that the next new prefix replaces

// Whether `entry` still holds; leaves the state of its result in `state`.
bool prefix_holds(const ResolvedPrefix& entry, struct stat* state) {
  if (stat(entry.resolved, state) != 0)
    return false;
  for (int i = 0; i < entry.search_count; i++) {
    char directory[RESOLVED_CAPACITY];
    memcpy(directory, entry.resolved, entry.searched_length[i]);
    directory[entry.searched_length[i]] = '\0';
    struct stat now;
    if (stat(directory_or_dot(directory), &now) != 0 || !unchanged(now, entry.searched_state[i]))
      return false;
  }
  return true;
}

// Resolves the directory `entry->typed` component by component into
// `entry->resolved`, noting the directories searched; false when the result
// does not fit.  `*cacheable` tells whether the entry may be kept.
bool walk_directory(ResolvedPrefix* entry, bool* cacheable) {
  char* out = entry->resolved;
  size_t used = 0;
  out[0] = '\0';
  entry->search_count = 0;
  *cacheable = true;
  const char* p = entry->typed;
  if (*p == '/') {
    if (!append_bytes(out, &used, "/", 1))
      return false;
    p++;
  }
  while (*p != '\0') {
    const char* end = strchr(p, '/');
    size_t length = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    size_t start = used;
    Step step;
    if (!resolve_component(out, &used, p, length, &step))
      return false;
    if (step.searched) {
      if (!step.state_known || entry->search_count == PREFIX_SEARCHES) {
        *cacheable = false;
      } else {
        entry->searched_length[entry->search_count] = start;
        entry->searched_state[entry->search_count] = step.state;
        entry->search_count++;
      }
    }
    p += length;
    if (*p == '/') {
      if (!append_bytes(out, &used, "/", 1))
        return false;
      p++;
    }
  }
  return true;
}

// Resolves `typed`, a directory as normalize_path spells it with its final
// '/', into `out`.  `*state_known` tells whether `state` holds the state of
// the result.
bool resolve_directory(const char* typed, char* out, struct stat* state, bool* state_known) {
  *state_known = false;
  int slot = -1;
  for (int i = 0; i < PREFIX_CACHE_SIZE && slot < 0; i++) {
    ResolvedPrefix& entry = prefix_cache[i];
    if (strcmp(entry.typed, typed) != 0)
      continue;
    if (current_query != 0 && entry.checked_in == current_query) {
      *state = entry.result_state;
    } else if (prefix_holds(entry, state)) {
      entry.checked_in = current_query;
      entry.result_state = *state;
    } else {
      slot = i;  // stale: resolved afresh into the same entry, if at all
      entry.typed[0] = '\0';
      continue;
    }
    strcpy(out, entry.resolved);
    *state_known = true;
    return true;
  }
  if (strlen(typed) >= RESOLVED_CAPACITY)
    return false;
  ResolvedPrefix fresh;
  strcpy(fresh.typed, typed);
  bool cacheable = false;
  if (!walk_directory(&fresh, &cacheable))
    return false;
  strcpy(out, fresh.resolved);
  if (stat(out, state) != 0)
    return true;
  *state_known = true;
  if (!cacheable)
    return true;
  if (slot < 0) {
    slot = prefix_cache_next;
    prefix_cache_next = (prefix_cache_next + 1) % PREFIX_CACHE_SIZE;
  }
  fresh.checked_in = current_query;
  fresh.result_state = *state;
  prefix_cache[slot] = fresh;
  return true;
}

// Whether the system lacks statx, or forbids it: then lstat serves.
bool no_statx;

struct timespec time_of(const struct statx_timestamp& stamp) {
  struct timespec time;
  time.tv_sec = stamp.tv_sec;
  time.tv_nsec = stamp.tv_nsec;
  return time;
}

// lstat of `path`.  `*plain` tells whether the file system says that the
// entry is neither immutable nor the root of a mount, the two cases in which
// its permission bits alone cannot tell whether it may be replaced; statx
// answers that in the same call.
bool look(const char* path, struct stat* info, bool* plain) {
  *plain = false;
  if (!no_statx) {
    struct statx x;
    if (statx(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BASIC_STATS, &x) == 0) {
      memset(info, 0, sizeof *info);
      info->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
      info->st_ino = x.stx_ino;
      info->st_mode = x.stx_mode;
      info->st_nlink = x.stx_nlink;
      info->st_uid = x.stx_uid;
      info->st_gid = x.stx_gid;
      info->st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
      info->st_size = static_cast<off_t>(x.stx_size);
      info->st_blksize = static_cast<blksize_t>(x.stx_blksize);
      info->st_blocks = static_cast<blkcnt_t>(x.stx_blocks);
      info->st_atim = time_of(x.stx_atime);
      info->st_mtim = time_of(x.stx_mtime);
      info->st_ctim = time_of(x.stx_ctime);
      const uint64_t telling = STATX_ATTR_IMMUTABLE | STATX_ATTR_MOUNT_ROOT;
      *plain = (x.stx_attributes_mask & telling) == telling && (x.stx_attributes & telling) == 0;
      return true;
    }
    if (errno != ENOSYS && errno != EPERM)
      return false;
    no_statx = true;
  }
  return lstat(path, info) == 0;
}

// What resolving learned about its result, so that callers need not ask the
// file system again.
struct Lookup {
  bool known;   // the result was looked up as it stands:
  bool exists;  // it exists, and `info` is its lstat
  struct stat info;
  int error;              // when it does not, errno of the lstat that missed it
  bool plain;             // it is neither immutable nor a mount point of its own
  bool directory_known;   // `directory` is the state of the directory that
  struct stat directory;  // holds the result's last component
};

// Turns a path in the tool's form into one for the file system: backslashes
// become slashes, and every component with no exact match takes the name of
// an entry that matches it without regard to case.  A path that exists as
// typed needs one look; otherwise its directory comes from the cache of
// resolved prefixes and only the last component is looked up.  False when
// the result does not fit.
bool resolve_path_noting(const char* path, char* out, Lookup* lookup) {
  lookup->known = false;
  lookup->exists = false;
  lookup->error = 0;
  lookup->plain = false;
  lookup->directory_known = false;
  if (!normalize_path(path, out))
    return false;
  size_t length = strlen(out);
  if (length == 0)
    return true;
  if (look(out, &lookup->info, &lookup->plain)) {
    lookup->known = true;
    lookup->exists = true;
    return true;
  }
  int missed = errno;
  bool trailing = length > 1 && out[length - 1] == '/';
  size_t end = trailing ? length - 1 : length;
  size_t start = end;
  while (start > 0 && out[start - 1] != '/')
    start--;
  if (start == end)
    return true;  // the root alone
  char typed[RESOLVED_CAPACITY];
  char last[RESOLVED_CAPACITY];
  memcpy(typed, out, start);
  typed[start] = '\0';
  memcpy(last, out + start, end - start);
  last[end - start] = '\0';
  Step step;
  step.error = missed;
  out[0] = '\0';
  if (start > 0 && !resolve_directory(typed, out, &step.state, &step.state_known))
    return false;
  size_t used = strlen(out);
  // The exact spelling under an unchanged directory is what was just missed.
  step.missing = !trailing && strcmp(out, typed) == 0;
  if (!resolve_component(out, &used, last, end - start, &step))
    return false;
  if (trailing)
    return append_bytes(out, &used, "/", 1);
  if (!step.matched) {
    lookup->known = true;
    lookup->exists = step.exists;
    lookup->info = step.info;
    lookup->error = step.error;
  }
  if (step.state_known) {
    lookup->directory_known = true;
    lookup->directory = step.state;
  }
  return true;
}

bool resolve_path(const char* path, char* out) {
  Lookup lookup;
  return resolve_path_noting(path, out, &lookup);
}

// Whether `name` ends in the text after the last '*' of `pattern`, as every
// match must when that text holds no '?'.  Most names of a large directory
// fail on this alone.
bool tail_may_match(const char* pattern, const char* name) {
  const char* star = strrchr(pattern, '*');
  if (star == nullptr || strchr(star, '?') != nullptr)
    return true;
  size_t tail = strlen(star + 1);
  size_t length = strlen(name);
  return length >= tail && equal_ignoring_case(name + length - tail, star + 1);
}

// Windows wildcard matching of one name, without regard to ASCII case.
bool wildcard_match(const char* pattern, const char* name) {
  if (!tail_may_match(pattern, name))
    return false;
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

uint32_t attributes_of(const char* name, const struct stat& info, bool followed) {
  uint32_t bits = 0;
  if (!followed)
    return ATTRIB_SYSTEM | (name[0] == '.' ? ATTRIB_HIDDEN : 0);
  if (S_ISDIR(info.st_mode))
    bits |= ATTRIB_DIRECTORY;
  else if (!S_ISREG(info.st_mode))
    bits |= ATTRIB_SYSTEM;
  if ((info.st_mode & S_IWUSR) == 0)
    bits |= ATTRIB_READONLY;
  if (name[0] == '.')
    bits |= ATTRIB_HIDDEN;
  return bits;
}

}  // namespace

struct DirSearch {
  DirEntry* entries;
  size_t count;
  size_t next;
};

namespace {

// Fills `entry` for the entry `name` whose state, links followed, is `info`
// when `followed`.
void describe_state(const char* name, const struct stat& info, bool followed, DirEntry* entry) {
  strcpy(entry->name, name);
  entry->attributes = attributes_of(name, info, followed);
  entry->size_low = followed ? static_cast<uint32_t>(info.st_size & 0xFFFFFFFFu) : 0;
}

// Fills `entry` for the entry `name` at the path `full`, links followed.
void describe_entry(const char* full, const char* name, DirEntry* entry) {
  struct stat info;
  bool followed = stat(full, &info) == 0;
  describe_state(name, info, followed, entry);
}

int compare_entries(const void* a, const void* b) {
  return compare_names(static_cast<const DirEntry*>(a)->name,
                       static_cast<const DirEntry*>(b)->name);
}

// Appends one entry to the growing array of the search; false when memory
// runs out.
bool push_entry(DirSearch* search, size_t* capacity, const DirEntry& entry) {
  if (search->count == *capacity) {
    size_t grown = *capacity == 0 ? 16 : *capacity * 2;
    void* more = realloc(search->entries, grown * sizeof(DirEntry));
    if (more == nullptr)
      return false;
    search->entries = static_cast<DirEntry*>(more);
    *capacity = grown;
  }
  search->entries[search->count++] = entry;
  return true;
}

// Lists the entries of the resolved `directory` that match `last`.
DirSearch* collect_entries(const char* directory, const char* last) {
  // The listing also serves the case-blind lookups of the outputs that the
  // run makes here, unless the cache has these names already.
  struct stat state;
  bool caching = stat(directory_or_dot(directory), &state) == 0 &&
                 strlen(directory) < RESOLVED_CAPACITY && !names_current(directory, state);
  if (caching)
    forget_names();
  DIR* dir = opendir(directory[0] == '\0' ? "." : directory);
  if (dir == nullptr)
    return nullptr;
  DirSearch* search = static_cast<DirSearch*>(calloc(1, sizeof(DirSearch)));
  size_t capacity = 0;
  char full[RESOLVED_CAPACITY];
  bool complete = true;
  while (search != nullptr) {
    struct dirent* found = readdir(dir);
    if (found == nullptr)
      break;
    if (caching)
      complete = complete && cache_name(found->d_name);
    if (strlen(found->d_name) > static_cast<size_t>(ENTRY_NAME_CAPACITY))
      continue;
    if (!name_matches(last, found->d_name))
      continue;
    int written = snprintf(full, sizeof full, "%s%s", directory, found->d_name);
    if (written < 0 || written >= static_cast<int>(sizeof full))
      continue;
    DirEntry entry;
    describe_entry(full, found->d_name, &entry);
    if (!push_entry(search, &capacity, entry)) {
      free(search->entries);
      free(search);
      search = nullptr;
    }
  }
  closedir(dir);
  if (caching)
    finish_listing(directory, state, complete && search != nullptr);
  if (search != nullptr && search->count == 0) {
    free(search->entries);
    free(search);
    return nullptr;
  }
  if (search != nullptr)
    qsort(search->entries, search->count, sizeof(DirEntry), compare_entries);
  return search;
}

// A name without wildcards that exists as typed is its only match, found
// without listing the directory (as the size query after each script does).
DirSearch* exact_entry(const char* directory, const char* last) {
  if (strpbrk(last, "*?") != nullptr)
    return nullptr;
  char full[RESOLVED_CAPACITY];
  int written = snprintf(full, sizeof full, "%s%s", directory, last);
  if (written < 0 || written >= static_cast<int>(sizeof full) ||
      strlen(last) > static_cast<size_t>(ENTRY_NAME_CAPACITY))
    return nullptr;
  // An entry that can be followed exists; one that cannot may still be a
  // dangling link.
  struct stat info;
  bool followed = stat(full, &info) == 0;
  if (!followed && lstat(full, &info) != 0)
    return nullptr;
  DirSearch* search = static_cast<DirSearch*>(calloc(1, sizeof(DirSearch)));
  DirEntry* entry = static_cast<DirEntry*>(malloc(sizeof(DirEntry)));
  if (search == nullptr || entry == nullptr) {
    free(search);
    free(entry);
    return nullptr;
  }
  describe_state(last, info, followed, entry);
  search->entries = entry;
  search->count = 1;
  return search;
}

}  // namespace

DirSearch* dir_search_first(const char* pattern, DirEntry* entry) {
  size_t length = strlen(pattern);
  size_t cut = length;
  while (cut > 0 && !is_separator(pattern[cut - 1]))
    cut--;
  const char* last = pattern + cut;
  if (*last == '\0')
    return nullptr;

  char directory[RESOLVED_CAPACITY];
  if (cut == 0) {
    directory[0] = '\0';
  } else {
    char typed[RESOLVED_CAPACITY];
    if (cut >= sizeof typed)
      return nullptr;
    memcpy(typed, pattern, cut);
    typed[cut] = '\0';
    if (!resolve_path(typed, directory))
      return nullptr;
    size_t used = strlen(directory);
    if (used == 0 || directory[used - 1] != '/') {
      if (used + 1 >= sizeof directory)
        return nullptr;
      directory[used] = '/';
      directory[used + 1] = '\0';
    }
  }
  DirSearch* search = exact_entry(directory, last);
  if (search == nullptr)
    search = collect_entries(directory, last);
  if (search == nullptr)
    return nullptr;
  search->next = 0;
  if (!dir_search_next(search, entry)) {
    dir_search_close(search);
    return nullptr;
  }
  return search;
}

bool dir_search_next(DirSearch* search, DirEntry* entry) {
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

bool current_directory(char* buffer, int capacity) {
  // The Windows runtime's query holds at most 260 bytes with the terminator.
  int limit = capacity < 260 ? capacity : 260;
  if (limit <= 0)
    return false;
  if (getcwd(buffer, static_cast<size_t>(limit)) == nullptr) {
    buffer[0] = '\0';
    return false;
  }
  return true;
}

char native_separator() {
  return '/';
}

namespace {

// Output streams write through buffers of this size, so that the system sees
// whole large blocks instead of the standard 4 KiB.
const size_t OUTPUT_BUFFER_SIZE = 131072;
const int OUTPUT_BUFFER_COUNT = 4;

// Streams for reading get buffers of the size that the standard library
// would pick on most file systems, without the fstat it makes to pick it.
const size_t INPUT_BUFFER_SIZE = 4096;
const int INPUT_BUFFER_COUNT = 2;

// The buffers, and the stream each was given to.  The stream's address is
// kept only as a number: when fopen hands out that address again, the stream
// that had it has been closed, and the buffer is free.
char output_bytes[OUTPUT_BUFFER_COUNT][OUTPUT_BUFFER_SIZE];
uintptr_t output_owners[OUTPUT_BUFFER_COUNT];
char input_bytes[INPUT_BUFFER_COUNT][INPUT_BUFFER_SIZE];
uintptr_t input_owners[INPUT_BUFFER_COUNT];

// Frees the buffers that the stream `id` had and returns a free one, or -1.
int spare_buffer(uintptr_t* owners, int count, uintptr_t id) {
  int spare = -1;
  for (int i = 0; i < count; i++) {
    if (owners[i] == id)
      owners[i] = 0;
    if (owners[i] == 0 && spare < 0)
      spare = i;
  }
  return spare;
}

// Notes that `file` was just opened: it gets a free buffer of its kind when
// there is one, and keeps the standard buffering otherwise.
FILE* with_buffer(FILE* file, const char* mode) {
  if (file == nullptr)
    return nullptr;
  uintptr_t id = reinterpret_cast<uintptr_t>(file);
  int output = spare_buffer(output_owners, OUTPUT_BUFFER_COUNT, id);
  int input = spare_buffer(input_owners, INPUT_BUFFER_COUNT, id);
  bool writing = mode[0] == 'w' || mode[0] == 'a';
  if (writing) {
    if (output >= 0 && setvbuf(file, output_bytes[output], _IOFBF, OUTPUT_BUFFER_SIZE) == 0)
      output_owners[output] = id;
  } else if (input >= 0 && setvbuf(file, input_bytes[input], _IOFBF, INPUT_BUFFER_SIZE) == 0) {
    input_owners[input] = id;
  }
  return file;
}

}  // namespace

FILE* open_file(const char* path, const char* mode) {
  char resolved[RESOLVED_CAPACITY];
  if (path[0] == '\0')
    return nullptr;
  // A file opened for reading as typed exists as typed, which is all that
  // resolving would have found out.
  if (mode[0] == 'r' && normalize_path(path, resolved)) {
    FILE* file = fopen(resolved, mode);
    if (file != nullptr)
      return with_buffer(file, mode);
  }
  Lookup lookup;
  if (!resolve_path_noting(path, resolved, &lookup))
    return nullptr;
  struct stat info;
  if (mode[0] != 'w' || (lookup.known ? lookup.exists : lstat(resolved, &info) == 0))
    return with_buffer(fopen(resolved, mode), mode);
  // A new file: its directory's listing gains its name.
  char directory[RESOLVED_CAPACITY];
  strcpy(directory, resolved);
  char* slash = strrchr(directory, '/');
  const char* name = slash == nullptr ? resolved : resolved + (slash - directory) + 1;
  if (slash != nullptr)
    slash[1] = '\0';
  else
    directory[0] = '\0';
  struct stat before = lookup.directory;
  bool listed = lookup.directory_known || stat(directory_or_dot(directory), &before) == 0;
  FILE* file = fopen(resolved, mode);
  if (file != nullptr && listed)
    note_created(directory, name, before);
  return with_buffer(file, mode);
}

namespace {

// The real directories of resolved ones, kept while each names the same
// directory as when it was looked up and its real path still does: realpath
// reads every component, and every new output asks again.
const int REAL_CACHE_SIZE = 4;

struct RealDirectory {
  char path[RESOLVED_CAPACITY];  // "" when unused
  char real[RESOLVED_CAPACITY];
  dev_t device;
  ino_t inode;
  unsigned checked_in;  // the query that last found it holding
};

RealDirectory real_cache[REAL_CACHE_SIZE];
int real_cache_next;

bool same_directory(const struct stat& info, const RealDirectory& entry) {
  return info.st_dev == entry.device && info.st_ino == entry.inode;
}

// realpath of a directory, through the cache.  `given`, when not null, is
// the directory's state as the caller has just seen it.  `*state_known` tells
// whether `state` holds its state as seen now.
bool real_directory(const char* path, char* real, const struct stat* given, struct stat* state,
                    bool* state_known) {
  *state_known = false;
  for (int i = 0; i < REAL_CACHE_SIZE && current_query != 0; i++) {
    if (real_cache[i].checked_in == current_query && strcmp(real_cache[i].path, path) == 0) {
      strcpy(real, real_cache[i].real);
      return true;
    }
  }
  struct stat now;
  if (given != nullptr)
    now = *given;
  else if (stat(path, &now) != 0)
    return realpath(path, real) != nullptr;
  *state = now;
  *state_known = true;
  if (strlen(path) >= RESOLVED_CAPACITY)
    return realpath(path, real) != nullptr;
  for (int i = 0; i < REAL_CACHE_SIZE; i++) {
    RealDirectory& entry = real_cache[i];
    if (strcmp(entry.path, path) != 0 || !same_directory(now, entry))
      continue;
    // A path that is its own real path was checked with the stat above.
    struct stat there;
    if (strcmp(entry.real, path) == 0 ||
        (stat(entry.real, &there) == 0 && same_directory(there, entry))) {
      entry.checked_in = current_query;
      strcpy(real, entry.real);
      return true;
    }
  }
  if (realpath(path, real) == nullptr)
    return false;
  RealDirectory& entry = real_cache[real_cache_next];
  real_cache_next = (real_cache_next + 1) % REAL_CACHE_SIZE;
  strcpy(entry.path, path);
  strcpy(entry.real, real);
  entry.device = now.st_dev;
  entry.inode = now.st_ino;
  entry.checked_in = current_query;
  return true;
}

// Where writing to the resolved path `path` would land: the real directory
// and the name in it, after following links, dangling ones too.  `lookup`,
// when not null, is what resolving learned about `path`.  `*state_known`
// tells whether `state` holds the state of the real directory.
bool landing_of_resolved(const char* path, const Lookup* lookup, char* directory, char* name,
                         struct stat* state, bool* state_known) {
  char resolved[RESOLVED_CAPACITY];
  strcpy(resolved, path);
  for (int hops = 0; hops < 16; hops++) {
    size_t length = strlen(resolved);
    while (length > 1 && resolved[length - 1] == '/')
      resolved[--length] = '\0';
    char* slash = strrchr(resolved, '/');
    const char* last = resolved;
    const char* parent = ".";
    if (slash == resolved) {
      parent = "/";
      last = resolved + 1;
    } else if (slash != nullptr) {
      *slash = '\0';
      parent = resolved;
      last = slash + 1;
    }
    // Resolving saw the directory of `path` itself, and whether its last
    // component is a link.
    const Lookup* seen = hops == 0 ? lookup : nullptr;
    const struct stat* given =
        seen != nullptr && seen->directory_known ? &seen->directory : nullptr;
    if (!real_directory(parent, directory, given, state, state_known) || strlen(last) > NAME_MAX)
      return false;
    strcpy(name, last);
    if (seen != nullptr && seen->known && (!seen->exists || !S_ISLNK(seen->info.st_mode)))
      return true;
    char target[RESOLVED_CAPACITY];
    char link[RESOLVED_CAPACITY];
    int written = snprintf(link, sizeof link, "%s/%s", directory, name);
    if (written < 0 || written >= static_cast<int>(sizeof link))
      return false;
    ssize_t got = readlink(link, target, sizeof target - 1);
    if (got < 0)
      return true;
    target[got] = '\0';
    written = target[0] == '/' ? snprintf(resolved, sizeof resolved, "%s", target)
                               : snprintf(resolved, sizeof resolved, "%s/%s", directory, target);
    if (written < 0 || written >= static_cast<int>(sizeof resolved))
      return false;
  }
  return false;
}

}  // namespace

namespace {

// stat of a resolved path, answered from what resolving learned where it can:
// an entry that lstat did not find cannot be followed, and one that is no link
// is its own target.
bool followed_state(const char* path, const Lookup& lookup, struct stat* info) {
  if (lookup.known && !lookup.exists)
    return false;
  if (lookup.known && !S_ISLNK(lookup.info.st_mode)) {
    *info = lookup.info;
    return true;
  }
  return stat(path, info) == 0;
}

// same_file as of one moment: each directory is checked once.
bool same_file_now(const char* first, const char* second) {
  char a[RESOLVED_CAPACITY];
  char b[RESOLVED_CAPACITY];
  Lookup a_lookup;
  Lookup b_lookup;
  if (!resolve_path_noting(first, a, &a_lookup) || !resolve_path_noting(second, b, &b_lookup))
    return false;
  struct stat x;
  struct stat y;
  if (followed_state(a, a_lookup, &x) && followed_state(b, b_lookup, &y))
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
  char a_directory[RESOLVED_CAPACITY];
  char b_directory[RESOLVED_CAPACITY];
  char a_name[NAME_MAX + 1];
  char b_name[NAME_MAX + 1];
  struct stat state;
  bool state_known;
  if (!landing_of_resolved(a, &a_lookup, a_directory, a_name, &state, &state_known) ||
      !landing_of_resolved(b, &b_lookup, b_directory, b_name, &state, &state_known))
    return false;
  return strcmp(a_directory, b_directory) == 0 && equal_ignoring_case(a_name, b_name);
}

}  // namespace

bool same_file(const char* first, const char* second) {
  static unsigned queries;
  current_query = ++queries == 0 ? ++queries : queries;
  bool same = same_file_now(first, second);
  current_query = 0;
  return same;
}

namespace {

// Colours only on a terminal that wants them.
bool console_styled() {
  if (!isatty(STDOUT_FILENO))
    return false;
  const char* term = getenv("TERM");
  if (term != nullptr && strcmp(term, "dumb") == 0)
    return false;
  return getenv("NO_COLOR") == nullptr;
}

}  // namespace

void console_set_attribute(uint16_t attribute) {
  if (!console_styled())
    return;
  if (attribute == 0x07) {
    fputs("\x1b[0m", stdout);
    return;
  }
  // Windows orders the colour bits blue, green, red; ANSI red, green, blue.
  static const int ansi_colour[8] = {0, 4, 2, 6, 1, 5, 3, 7};
  int fg = ansi_colour[attribute & 0x07] + ((attribute & 0x08) ? 90 : 30);
  int bg = ansi_colour[(attribute >> 4) & 0x07] + ((attribute & 0x80) ? 100 : 40);
  printf("\x1b[0;%d;%dm", fg, bg);
}

void console_clear_screen() {
  if (!console_styled())
    return;
  fputs("\x1b[H\x1b[2J\x1b[3J", stdout);
}

int longest_path() {
  return PATH_MAX - 1;
}

uint32_t file_size_low(const char* path) {
  char resolved[RESOLVED_CAPACITY];
  Lookup lookup;
  struct stat info;
  if (path[0] == '\0' || !resolve_path_noting(path, resolved, &lookup) ||
      !followed_state(resolved, lookup, &info))
    return 0;
  return static_cast<uint32_t>(static_cast<uint64_t>(info.st_size) & 0xFFFFFFFFu);
}

bool file_identity(const char* path, FileIdentity* identity) {
  char resolved[RESOLVED_CAPACITY];
  Lookup lookup;
  struct stat info;
  if (path[0] == '\0' || !resolve_path_noting(path, resolved, &lookup) ||
      !followed_state(resolved, lookup, &info))
    return false;
  identity->volume = static_cast<uint64_t>(info.st_dev);
  identity->index = static_cast<uint64_t>(info.st_ino);
  return true;
}

namespace {

// The temporary file's name: hidden, so that no search takes it as a source,
// and telling what it is.  The X's become random letters.
const char TEMPORARY_MARK[] = ".quillfen-new-XXXXXX";
const int TEMPORARY_RANDOM = 6;
const int TEMPORARY_NAME_KEPT = 200;
const int TEMPORARY_ATTEMPTS = 100;

// The process's file mode mask, which nothing in it changes: read once.
mode_t creation_mask() {
  static bool known;
  static mode_t mask;
  if (!known) {
    mask = umask(0);
    umask(mask);
    known = true;
  }
  return mask;
}

// What "wb" gives a new file.
mode_t new_file_mode() {
  return 0666 & ~creation_mask();
}

uid_t real_user() {
  static bool known;
  static uid_t user;
  if (!known) {
    user = getuid();
    known = true;
  }
  return user;
}

// Whether "wb" could open the existing regular file at `path`, as access()
// tells.  For its owner, its owner's write bit already says yes, unless it is
// immutable or a mount point of its own (`plain` false), or might be.
bool may_replace(const char* path, const struct stat& info, bool plain) {
  if (plain && info.st_uid == real_user() && (info.st_mode & S_IWUSR) != 0)
    return true;
  return access(path, W_OK) == 0;
}

// Fills the X's at `letters` for a fresh temporary name.
void fill_random(char* letters) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static uint64_t state;
  if (state == 0) {
    if (getrandom(&state, sizeof state, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof state)) {
      struct timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      state = static_cast<uint64_t>(now.tv_nsec) * 2654435761u ^ static_cast<uint64_t>(now.tv_sec) ^
              reinterpret_cast<uintptr_t>(&now);
    }
    state |= 1;
  }
  for (int i = 0; i < TEMPORARY_RANDOM; i++) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    letters[i] = alphabet[(state >> 33) % (sizeof alphabet - 1)];
  }
}

// The directory of a path in the file system's form, with its slash, and the
// name in it; the directory is empty for the current one.
void split_resolved(const char* resolved, char* directory, const char** name) {
  strcpy(directory, resolved);
  char* slash = strrchr(directory, '/');
  *name = slash == nullptr ? resolved : resolved + (slash - directory) + 1;
  if (slash != nullptr)
    slash[1] = '\0';
  else
    directory[0] = '\0';
}

void note_identity(OutputFile* output) {
  struct stat info;
  if (output->stream == nullptr || fstat(fileno(output->stream), &info) != 0)
    return;
  output->identified = true;
  output->identity.volume = static_cast<uint64_t>(info.st_dev);
  output->identity.index = static_cast<uint64_t>(info.st_ino);
}

// Moves a descriptor that took the place of a closed standard stream out of
// the way, so that console text never lands in an output.
int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO)
    return fd;
  int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
  close(fd);
  return moved;
}

// Creates the file `path`, which must not exist yet, for writing, never with
// permission bits that `mode` lacks; nullptr when that fails, with errno
// telling why.  A file that "wb" would make with no more bits than `mode` is
// made that way; any other through a descriptor opened with `mode`.
FILE* create_exclusive(const char* path, mode_t mode) {
  if ((new_file_mode() & ~mode) == 0) {
    FILE* file = fopen(path, "wbx");
    if (file == nullptr || fileno(file) > STDERR_FILENO)
      return file;
    int moved = fcntl(fileno(file), F_DUPFD, STDERR_FILENO + 1);
    fclose(file);
    if (moved < 0)
      return nullptr;
    file = fdopen(moved, "wb");
    if (file == nullptr)
      close(moved);
    return file;
  }
  int fd = above_standard_streams(open(path, O_RDWR | O_CREAT | O_EXCL, mode & 0777));
  if (fd < 0)
    return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr)
    close(fd);
  return file;
}

// Opens the temporary file for the output `name` in `directory`, with the
// output's permission bits, and notes its identity.
bool open_temporary(OutputFile* output, const char* directory, const char* name) {
  int written = snprintf(output->temporary, sizeof output->temporary, "%s/.%.*s%s", directory,
                         TEMPORARY_NAME_KEPT, name, TEMPORARY_MARK);
  if (written < 0 || written >= static_cast<int>(sizeof output->temporary))
    return false;
  char* letters = output->temporary + written - TEMPORARY_RANDOM;
  mode_t mode = static_cast<mode_t>(output->mode);
  FILE* file = nullptr;
  for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS && file == nullptr; attempt++) {
    fill_random(letters);
    file = create_exclusive(output->temporary, mode);
    if (file == nullptr && errno != EEXIST)
      break;
  }
  if (file == nullptr)
    return false;
  output->stream = with_buffer(file, "wb");
  // Bits that the creation gave otherwise, through the mask or an inherited
  // access list, are set as the output had them.
  struct stat info;
  int fd = fileno(file);
  bool made = false;
  if (fstat(fd, &info) == 0) {
    output->identified = true;
    output->identity.volume = static_cast<uint64_t>(info.st_dev);
    output->identity.index = static_cast<uint64_t>(info.st_ino);
    made = (info.st_mode & 07777) == mode;
  }
  if (!made && fchmod(fd, mode) != 0) {
    fclose(file);
    output->stream = nullptr;
    output->identified = false;
    unlink(output->temporary);
    return false;
  }
  return true;
}

}  // namespace

bool output_open(OutputFile* output, const char* path) {
  memset(output, 0, sizeof *output);
  char resolved[RESOLVED_CAPACITY];
  Lookup lookup;
  if (path[0] == '\0' || !resolve_path_noting(path, resolved, &lookup))
    return false;
  struct stat info;
  bool exists = followed_state(resolved, lookup, &info);
  int error = lookup.known && !lookup.exists ? lookup.error : errno;
  if (exists && !S_ISREG(info.st_mode)) {
    output->in_place = true;
    output->stream = with_buffer(fopen(resolved, "wb"), "wb");
    note_identity(output);
    return output->stream != nullptr;
  }
  if (!exists && error != ENOENT)
    return false;
  // A file that "wb" could not open is not replaced behind its back.
  bool plain = lookup.known && lookup.exists && !S_ISLNK(lookup.info.st_mode) && lookup.plain;
  if (exists && !may_replace(resolved, info, plain))
    return false;
  output->mode = exists ? info.st_mode & 07777 : new_file_mode();
  char directory[RESOLVED_CAPACITY];
  char name[NAME_MAX + 1];
  struct stat before;
  bool known;
  if (!landing_of_resolved(resolved, &lookup, directory, name, &before, &known))
    return false;
  const char* parent = strcmp(directory, "/") == 0 ? "" : directory;
  int written = snprintf(output->target, sizeof output->target, "%s/%s", parent, name);
  if (written < 0 || written >= static_cast<int>(sizeof output->target))
    return false;
  char listed[RESOLVED_CAPACITY + 1];
  snprintf(listed, sizeof listed, "%s/", parent);
  bool following = holds_names_of(listed);
  if (following && !known)
    known = stat(directory, &before) == 0;
  if (!open_temporary(output, parent, name))
    return false;
  if (following && known)
    note_created(listed, strrchr(output->temporary, '/') + 1, before);
  return true;
}

bool output_commit(OutputFile* output) {
  FILE* stream = output->stream;
  if (stream == nullptr)
    return false;
  output->stream = nullptr;
  bool ok = fflush(stream) == 0 && !ferror(stream);
  ok = fclose(stream) == 0 && ok;
  if (output->in_place)
    return ok;
  char directory[RESOLVED_CAPACITY];
  const char* name;
  split_resolved(output->target, directory, &name);
  bool following = holds_names_of(directory);
  struct stat before;
  // Stated afresh: another program may have changed the directory while the
  // source was converted, and the listing must then be read again.
  bool known = following && stat(directory_or_dot(directory), &before) == 0;
  if (!ok || rename(output->temporary, output->target) != 0) {
    unlink(output->temporary);
    return false;
  }
  if (known)
    note_created(directory, name, before);
  return true;
}

void output_discard(OutputFile* output) {
  if (output->stream == nullptr)
    return;
  fclose(output->stream);
  output->stream = nullptr;
  if (!output->in_place)
    unlink(output->temporary);
}

int exit_status_for(long count) {
  // A POSIX status has 8 bits: 256 sources would read as success.
  if (count > 255)
    return 255;
  if (count < 0)
    return 1;
  return static_cast<int>(count);
}
