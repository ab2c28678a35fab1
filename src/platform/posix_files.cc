// Directories and sources on POSIX: a directory is a descriptor, and every
// file in it is reached by name through it with the *at calls.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/text.h"
#include "platform/os.h"
#include "platform/posix.h"

namespace {

const int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Hands every name of the open directory `fd` to `take`; the descriptor
// stays open.
int read_names(int fd, NameTaker take, void* context) {
  int copy = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
  if (listing == nullptr) {
    int reason = errno;
    if (copy >= 0)
      close(copy);
    return reason;
  }
  rewinddir(listing);
  int reason = 0;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(listing);
    if (entry == nullptr) {
      reason = errno;
      break;
    }
    const char* name = entry->d_name;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
      continue;
    if (!take(name, context)) {
      reason = ENOMEM;
      break;
    }
  }
  closedir(listing);
  return reason;
}

// The first entry, in name order, whose name matches `wanted` without regard
// to case.
struct CaseBlind {
  const char* wanted;
  char found[NAME_MAX + 1];
};

bool take_better(const char* name, void* context) {
  CaseBlind* search = static_cast<CaseBlind*>(context);
  if (same_name(name, search->wanted) &&
      (search->found[0] == '\0' || compare_names(name, search->found) < 0))
    snprintf(search->found, sizeof search->found, "%s", name);
  return true;
}

// Opens the directory `name` in `parent` as typed, else the first that
// matches it without regard to case.
int open_component(int parent, const char* name) {
  int fd = openat(parent, name, DIRECTORY_FLAGS);
  if (fd >= 0 || errno != ENOENT)
    return fd;
  CaseBlind search;
  search.wanted = name;
  search.found[0] = '\0';
  if (read_names(parent, take_better, &search) != 0 || search.found[0] == '\0') {
    errno = ENOENT;
    return -1;
  }
  return openat(parent, search.found, DIRECTORY_FLAGS);
}

// Opens the typed directory `path` one component at a time.
int open_walking(const char* path) {
  int fd = open(is_separator(path[0]) ? "/" : ".", DIRECTORY_FLAGS);
  const char* p = path;
  while (fd >= 0 && *p != '\0') {
    while (is_separator(*p))
      p++;
    size_t length = 0;
    while (p[length] != '\0' && !is_separator(p[length]))
      length++;
    if (length == 0)
      break;
    char name[NAME_MAX + 1];
    if (length > NAME_MAX) {
      close(fd);
      errno = ENAMETOOLONG;
      return -1;
    }
    memcpy(name, p, length);
    name[length] = '\0';
    int next = open_component(fd, name);
    int reason = errno;
    close(fd);
    errno = reason;
    fd = next;
    p += length;
  }
  return fd;
}

}  // namespace

Directory* directory_over(int fd, int* reason) {
  Directory* directory = static_cast<Directory*>(malloc(sizeof(Directory)));
  fd = above_standard_streams(fd);
  if (fd < 0 || directory == nullptr || fstat(fd, &directory->info) != 0) {
    *reason = fd < 0 || directory != nullptr ? errno : ENOMEM;
    if (fd >= 0)
      close(fd);
    free(directory);
    return nullptr;
  }
  directory->fd = fd;
  directory->user = geteuid();
  directory->group = getegid();
  directory->mask = umask(022);
  umask(directory->mask);
  return directory;
}

Directory* directory_open(const char* path, int* reason) {
  char native[PATH_MAX];
  size_t length = strlen(path);
  if (length >= sizeof native) {
    *reason = ENAMETOOLONG;
    return nullptr;
  }
  for (size_t i = 0; i <= length; i++)
    native[i] = path[i] == '\\' ? '/' : path[i];
  // The path as typed first; only a component that is not there as typed is
  // looked for in another case.
  int fd = open(length == 0 ? "." : native, DIRECTORY_FLAGS);
  if (fd < 0 && errno == ENOENT)
    fd = open_walking(native);
  if (fd < 0) {
    *reason = errno;
    return nullptr;
  }
  return directory_over(fd, reason);
}

void directory_close(Directory* directory) {
  if (directory == nullptr)
    return;
  close(directory->fd);
  free(directory);
}

FileIdentity directory_identity(const Directory* directory) {
  return identity_of(directory->info);
}

int directory_list(Directory* directory, NameTaker take, void* context) {
  return read_names(directory->fd, take, context);
}

bool entry_info(Directory* directory, const char* name, EntryFacts* facts) {
  struct stat info;
  *facts = EntryFacts{ENTRY_UNREACHABLE, 0, 0, 0, FileIdentity{0, 0}};
  if (fstatat(directory->fd, name, &info, 0) != 0) {
    // A link that leads nowhere, or one it may not look through.
    if (fstatat(directory->fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
      return false;
    facts->owner = info.st_uid;
    return true;
  }
  facts->kind = S_ISREG(info.st_mode)   ? ENTRY_FILE
                : S_ISDIR(info.st_mode) ? ENTRY_DIRECTORY
                                        : ENTRY_SPECIAL;
  facts->mode = info.st_mode & 07777;
  facts->owner = info.st_uid;
  facts->identity = identity_of(info);
  return true;
}

bool may_follow(const Directory* directory, uid_t owner) {
  mode_t mode = directory->info.st_mode;
  bool shared = (mode & S_ISVTX) != 0 && (mode & S_IWOTH) != 0;
  return !shared || owner == directory->user || owner == directory->info.st_uid;
}

bool source_open(Directory* directory, const char* name, SourceFile* source, int* reason) {
  // Opened without blocking, so that a FIFO put in a source's place is
  // refused rather than waited on; a link only where it may be followed.
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = openat(directory->fd, name, flags | O_NOFOLLOW);
  struct stat info;
  if (fd < 0 && errno == ELOOP && fstatat(directory->fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!may_follow(directory, info.st_uid))
      return fail(reason, EACCES);
    fd = openat(directory->fd, name, flags);
  }
  fd = above_standard_streams(fd);
  if (fd < 0 || fstat(fd, &info) != 0) {
    *reason = errno;
    if (fd >= 0)
      close(fd);
    return false;
  }
  source->stream = S_ISREG(info.st_mode) ? fdopen(fd, "rb") : nullptr;
  if (source->stream == nullptr) {
    *reason = S_ISREG(info.st_mode) ? errno : REASON_NOT_REGULAR;
    close(fd);
    return false;
  }
  // The reader takes large blocks of its own.
  setvbuf(source->stream, nullptr, _IONBF, 0);
  source->identity = identity_of(info);
  source->mode = info.st_mode & 07777;
  return true;
}

void shown_name(const char* name, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", name);
}

void typed_name(const char* typed, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", typed);
}
