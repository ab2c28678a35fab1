// The platform layer on POSIX systems.  It gives the tool the behaviour of the
// Windows services it was made for: case-blind paths in which slash and
// backslash both separate, a directory search with Windows wildcards,
// attribute bits and a repeatable order, and console colours through ANSI
// sequences on a terminal.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

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

// The names of the directory last searched without regard to case.  They
// serve while the directory is unchanged, so that a run over a large
// directory does not list it again for every output it names.
struct NameCache {
  char directory[RESOLVED_CAPACITY];  // as resolve_path spells it; "" is "."
  struct stat state;                  // the directory's when listed
  char** names;
  size_t count;
  size_t capacity;
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

bool cache_name(const char* name) {
  NameCache& cache = name_cache;
  if (cache.count == cache.capacity) {
    size_t grown = cache.capacity == 0 ? 64 : cache.capacity * 2;
    void* more = realloc(cache.names, grown * sizeof(char*));
    if (more == nullptr)
      return false;
    cache.names = static_cast<char**>(more);
    cache.capacity = grown;
  }
  char* copy = strdup(name);
  if (copy == nullptr)
    return false;
  cache.names[cache.count++] = copy;
  return true;
}

void forget_names() {
  for (size_t i = 0; i < name_cache.count; i++)
    free(name_cache.names[i]);
  name_cache.count = 0;
  name_cache.valid = false;
}

// Makes the cache hold the names of `directory`; false when it cannot be
// listed.
bool list_names(const char* directory) {
  struct stat state;
  if (stat(directory_or_dot(directory), &state) != 0 || strlen(directory) >= RESOLVED_CAPACITY)
    return false;
  if (name_cache.valid && strcmp(name_cache.directory, directory) == 0 &&
      unchanged(name_cache.state, state))
    return true;
  forget_names();
  DIR* dir = opendir(directory_or_dot(directory));
  if (dir == nullptr)
    return false;
  bool complete = true;
  while (struct dirent* entry = readdir(dir))
    complete = complete && cache_name(entry->d_name);
  closedir(dir);
  if (!complete) {
    forget_names();
    return false;
  }
  strcpy(name_cache.directory, directory);
  name_cache.state = state;
  name_cache.valid = true;
  return true;
}

// Looks in `directory` (a resolved path, "" for the current directory) for
// an entry named `name` without regard to ASCII case.  Copies the first such
// name in listing order into `found`; false when there is none.
bool find_case_blind(const char* directory, const char* name, char* found, size_t capacity) {
  if (!list_names(directory))
    return false;
  bool have = false;
  for (size_t i = 0; i < name_cache.count; i++) {
    const char* candidate = name_cache.names[i];
    if (!equal_ignoring_case(candidate, name) || strlen(candidate) >= capacity)
      continue;
    if (!have || compare_names(candidate, found) < 0) {
      strcpy(found, candidate);
      have = true;
    }
  }
  return have;
}

// Keeps the cache current when the tool itself adds `name` to `directory`,
// whose state before that was `before`.
void note_created(const char* directory, const char* name, const struct stat& before) {
  struct stat after;
  if (!name_cache.valid || strcmp(name_cache.directory, directory) != 0 ||
      !unchanged(name_cache.state, before) || stat(directory_or_dot(directory), &after) != 0)
    return;
  if (cache_name(name))
    name_cache.state = after;
  else
    forget_names();
}

// Turns a path in the tool's form into one for the file system: backslashes
// become slashes, and every component with no exact match takes the name of
// an entry that matches it without regard to case.  False when the result
// does not fit.
bool resolve_path(const char* path, char* out) {
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
    size_t length = static_cast<size_t>(end - p);
    size_t start = used;
    if (!append_bytes(out, &used, p, length))
      return false;
    struct stat info;
    if (lstat(out, &info) != 0 && length <= NAME_MAX) {
      char component[NAME_MAX + 1];
      char found[NAME_MAX + 1];
      memcpy(component, p, length);
      component[length] = '\0';
      out[start] = '\0';  // the directory searched is the path so far
      bool matched = find_case_blind(out, component, found, sizeof found);
      used = start;
      if (!append_bytes(out, &used, matched ? found : component,
                        strlen(matched ? found : component)))
        return false;
    }
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

// Fills `entry` for the entry `name` at the path `full`, links followed.
void describe_entry(const char* full, const char* name, DirEntry* entry) {
  strcpy(entry->name, name);
  struct stat info;
  bool followed = stat(full, &info) == 0;
  entry->attributes = attributes_of(name, info, followed);
  entry->size_low = followed ? static_cast<uint32_t>(info.st_size & 0xFFFFFFFFu) : 0;
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
  DIR* dir = opendir(directory[0] == '\0' ? "." : directory);
  if (dir == nullptr)
    return nullptr;
  DirSearch* search = static_cast<DirSearch*>(calloc(1, sizeof(DirSearch)));
  size_t capacity = 0;
  char full[RESOLVED_CAPACITY];
  while (search != nullptr) {
    struct dirent* found = readdir(dir);
    if (found == nullptr)
      break;
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
  struct stat info;
  if (lstat(full, &info) != 0)
    return nullptr;
  DirSearch* search = static_cast<DirSearch*>(calloc(1, sizeof(DirSearch)));
  DirEntry* entry = static_cast<DirEntry*>(malloc(sizeof(DirEntry)));
  if (search == nullptr || entry == nullptr) {
    free(search);
    free(entry);
    return nullptr;
  }
  describe_entry(full, last, entry);
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

// A buffer and the stream it was given to.  The stream's address is kept only
// as a number: when fopen hands out that address again, the stream that had
// it has been closed, and the buffer is free.
struct OutputBuffer {
  uintptr_t owner;
  char bytes[OUTPUT_BUFFER_SIZE];
};

OutputBuffer output_buffers[OUTPUT_BUFFER_COUNT];

// Notes that `file` was just opened; a stream for writing gets a free buffer
// when there is one, and keeps the standard buffering otherwise.
FILE* with_buffer(FILE* file, const char* mode) {
  if (file == nullptr)
    return nullptr;
  uintptr_t id = reinterpret_cast<uintptr_t>(file);
  OutputBuffer* spare = nullptr;
  for (OutputBuffer& buffer : output_buffers) {
    if (buffer.owner == id)
      buffer.owner = 0;
    if (buffer.owner == 0 && spare == nullptr)
      spare = &buffer;
  }
  bool writing = mode[0] == 'w' || mode[0] == 'a';
  if (writing && spare != nullptr && setvbuf(file, spare->bytes, _IOFBF, OUTPUT_BUFFER_SIZE) == 0)
    spare->owner = id;
  return file;
}

}  // namespace

FILE* open_file(const char* path, const char* mode) {
  char resolved[RESOLVED_CAPACITY];
  if (path[0] == '\0' || !resolve_path(path, resolved))
    return nullptr;
  struct stat info;
  if (mode[0] != 'w' || lstat(resolved, &info) == 0)
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
  struct stat before;
  bool listed = stat(directory_or_dot(directory), &before) == 0;
  FILE* file = fopen(resolved, mode);
  if (file != nullptr && listed)
    note_created(directory, name, before);
  return with_buffer(file, mode);
}

namespace {

// Where writing to `path` would land: the real directory and the name in it,
// after following links, dangling ones too.
bool landing_place(const char* path, char* directory, char* name) {
  char resolved[RESOLVED_CAPACITY];
  if (!resolve_path(path, resolved))
    return false;
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
    if (realpath(parent, directory) == nullptr || strlen(last) > NAME_MAX)
      return false;
    strcpy(name, last);
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

bool same_file(const char* first, const char* second) {
  char a[RESOLVED_CAPACITY];
  char b[RESOLVED_CAPACITY];
  if (!resolve_path(first, a) || !resolve_path(second, b))
    return false;
  struct stat x;
  struct stat y;
  if (stat(a, &x) == 0 && stat(b, &y) == 0)
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
  char a_directory[RESOLVED_CAPACITY];
  char b_directory[RESOLVED_CAPACITY];
  char a_name[NAME_MAX + 1];
  char b_name[NAME_MAX + 1];
  if (!landing_place(first, a_directory, a_name) || !landing_place(second, b_directory, b_name))
    return false;
  return strcmp(a_directory, b_directory) == 0 && equal_ignoring_case(a_name, b_name);
}

bool remove_file(const char* path) {
  char resolved[RESOLVED_CAPACITY];
  if (!resolve_path(path, resolved))
    return false;
  return remove(resolved) == 0;
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

int exit_status_for(long count) {
  // A POSIX status has 8 bits: 256 sources would read as success.
  if (count > 255)
    return 255;
  if (count < 0)
    return 1;
  return static_cast<int>(count);
}
