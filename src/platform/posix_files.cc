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
  if (better_alike(name, search->wanted, search->found))
    snprintf(search->found, sizeof search->found, "%s", name);
  return true;
}

// Opens the directory `name` in `parent` as typed, else the first that
// matches it without regard to case; a link only under the rule of
// trusted_link.
int open_component(int parent, const char* name, uid_t user) {
  CaseBlind search;
  int fd = openat(parent, name, DIRECTORY_FLAGS | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    search.wanted = name;
    search.found[0] = '\0';
    if (read_names(parent, take_better, &search) != 0 || search.found[0] == '\0') {
      errno = ENOENT;
      return -1;
    }
    name = search.found;
    fd = openat(parent, name, DIRECTORY_FLAGS | O_NOFOLLOW);
  }
  // A link, which the parent's facts judge; only then are they looked up.
  struct stat info;
  if (fd >= 0 || (errno != ELOOP && errno != ENOTDIR) || fstat(parent, &info) != 0)
    return fd;
  return open_through_link(parent, info, user, name, DIRECTORY_FLAGS);
}

// Opens the typed directory `path` one component at a time, so that every
// link on the way is looked at where it lies.  Only the slash separates:
// a backslash is a byte of a name.
int open_walking(const char* path) {
  uid_t user = geteuid();
  int fd = open(path[0] == '/' ? "/" : ".", DIRECTORY_FLAGS);
  const char* p = path;
  while (fd >= 0 && *p != '\0') {
    while (*p == '/')
      p++;
    size_t length = strcspn(p, "/");
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
    int next = open_component(fd, name, user);
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
  if (strlen(path) >= PATH_MAX) {
    *reason = ENAMETOOLONG;
    return nullptr;
  }
  int fd = open_walking(path);
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

bool one_file(Directory* directory, const char* name, Directory* other_directory,
              const char* other_name) {
  int held = openat(directory->fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct stat info;
  struct stat other;
  bool same = held >= 0 && fstat(held, &info) == 0 &&
              fstatat(other_directory->fd, other_name, &other, AT_SYMLINK_NOFOLLOW) == 0 &&
              same_identity(identity_of(info), identity_of(other));
  if (held >= 0)
    close(held);
  return same;
}

bool trusted_link(const struct stat& parent, uid_t user, uid_t owner) {
  bool shared = (parent.st_mode & (S_IWGRP | S_IWOTH)) != 0;
  return !shared || owner == user || owner == parent.st_uid;
}

bool may_follow(const Directory* directory, uid_t owner) {
  return trusted_link(directory->info, directory->user, owner);
}

int open_through_link(int parent, const struct stat& parent_info, uid_t user, const char* name,
                      int flags) {
  // The link itself is held, so that its owner and its text are those of
  // one link, whatever takes its name meanwhile.
  int link = openat(parent, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (link < 0)
    return -1;
  struct stat info;
  char text[PATH_MAX];
  ssize_t got = -1;
  if (fstat(link, &info) == 0) {
    if (S_ISLNK(info.st_mode))
      got = readlinkat(link, "", text, sizeof text - 1);
    else
      errno = ELOOP;  // no longer a link: the caller's open failed for another reason
  }
  int reason = errno;
  close(link);
  if (got < 0 || got >= static_cast<ssize_t>(sizeof text - 1)) {
    errno = got < 0 ? reason : ENAMETOOLONG;
    return -1;
  }
  text[got] = '\0';
  int fd = openat(parent, text, flags);
  if (fd < 0 || trusted_link(parent_info, user, info.st_uid))
    return fd;
  // Someone else's link leads only to a file of its owner's; what was opened
  // is what is judged, so that no swap can slip between.
  struct stat target;
  if (fstat(fd, &target) != 0 || target.st_uid != info.st_uid) {
    close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

bool source_open(Directory* directory, const char* name, SourceFile* source, int* reason) {
  // Opened without blocking, so that a FIFO put in a source's place is
  // refused rather than waited on; a link only where it may be followed.
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = openat(directory->fd, name, flags | O_NOFOLLOW);
  if (fd < 0 && errno == ELOOP)
    fd = open_through_link(directory->fd, directory->info, directory->user, name, flags);
  struct stat info;
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
  source->owner = info.st_uid;
  return true;
}

void arguments_as_utf8(int*, char***) {}

void shown_name(const char* name, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", name);
}

void typed_name(const char* typed, char* out, size_t capacity) {
  snprintf(out, capacity, "%s", typed);
}
