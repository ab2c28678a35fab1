// Outputs on POSIX: the temporary file beside the output, its mode and owner,
// the links it may follow, and its rename into place.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/os.h"
#include "platform/posix.h"

namespace {

const int LINK_HOPS = 40;
const int TEMPORARY_NAME_KEPT = 200;
const int TEMPORARY_RANDOM = 6;
const int TEMPORARY_ATTEMPTS = 100;

// What "wb" gives a new file: the process's mask, which nothing in it
// changes, is read once.
mode_t new_file_mode() {
  static bool known;
  static mode_t mask;
  if (!known) {
    mask = umask(0);
    umask(mask);
    known = true;
  }
  return 0666 & ~mask;
}

// Whether the link at `path`, whose lstat is `info`, may be followed: not
// when its directory is sticky and writable by all, unless the link belongs
// to the user running the tool or to the directory's owner.
bool may_follow(const char* path, const struct stat& info) {
  char directory[RESOLVED_CAPACITY];
  split_directory(path, directory);
  struct stat holder;
  if (stat(directory_or_dot(directory), &holder) != 0)
    return false;
  bool shared = (holder.st_mode & S_ISVTX) != 0 && (holder.st_mode & S_IWOTH) != 0;
  return !shared || info.st_uid == geteuid() || info.st_uid == holder.st_uid;
}

// Gives `output` a stream over `fd` when `ready` (the descriptor open and
// prepared); else false, with the reason and the descriptor closed.
bool take_stream(OutputFile* output, int fd, bool ready) {
  output->stream = ready ? fdopen(fd, "wb") : nullptr;
  if (output->stream == nullptr) {
    output->reason = errno;
    if (fd >= 0)
      close(fd);
    return false;
  }
  // The writers hand over blocks of their own; glibc would make a stream
  // buffer of the file's block size, asking the system for it.
  setvbuf(output->stream, nullptr, _IONBF, 0);
  return true;
}

// A device or a FIFO is written where it is; a FIFO that nobody reads is
// refused rather than waited on.
bool open_in_place(OutputFile* output, const char* path) {
  output->in_place = true;
  int fd = above_standard_streams(open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_TRUNC));
  return take_stream(output, fd,
                     fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0);
}

// Fills the six letters at `letters` for a fresh temporary name.  The name
// only has to be unlikely to be taken: the file is created exclusively.
void fill_random(char* letters) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static uint64_t state;
  if (state == 0) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    state = (static_cast<uint64_t>(now.tv_nsec) * 2654435761u) ^
            (static_cast<uint64_t>(now.tv_sec) << 24) ^ (static_cast<uint64_t>(getpid()) << 44) ^
            reinterpret_cast<uintptr_t>(&now);
    state |= 1;
  }
  for (int i = 0; i < TEMPORARY_RANDOM; i++) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    letters[i] = alphabet[(state >> 33) % (sizeof alphabet - 1)];
  }
}

// Creates the file `path`, which must not exist, with the permission bits
// `mode`.  One that "wb" would make so is made by fopen; any other through a
// descriptor, its bits set where the mask took some away.
FILE* create_exclusive(const char* path, mode_t mode) {
  if (mode == new_file_mode()) {
    FILE* file = fopen(path, "wbx");
    if (file == nullptr || fileno(file) > STDERR_FILENO)
      return file;
    int fd = fcntl(fileno(file), F_DUPFD, STDERR_FILENO + 1);
    fclose(file);
    return fd < 0 ? nullptr : fdopen(fd, "wb");
  }
  int fd = above_standard_streams(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY, mode));
  if (fd < 0)
    return nullptr;
  FILE* file =
      (mode & ~new_file_mode() & 0777) == 0 || fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
  if (file == nullptr)
    close(fd);
  return file;
}

// Creates the temporary file beside the target, with the mode and, where the
// system allows, the owner of the file it replaces (`replaced`, or nullptr).
bool open_temporary(OutputFile* output, const struct stat* replaced) {
  char directory[RESOLVED_CAPACITY];
  size_t cut = split_directory(output->target, directory);
  const char* name = output->target + cut;
  int written = snprintf(output->temporary, sizeof output->temporary, "%s.%.*s%sXXXXXX", directory,
                         TEMPORARY_NAME_KEPT, name, TEMPORARY_MARK);
  if (written < 0 || written >= static_cast<int>(sizeof output->temporary))
    return fail(&output->reason, ENAMETOOLONG);
  char* letters = output->temporary + written - TEMPORARY_RANDOM;
  struct stat before;
  cache_before(directory, &before);
  FILE* file = nullptr;
  for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS && file == nullptr; attempt++) {
    fill_random(letters);
    file = create_exclusive(output->temporary, static_cast<mode_t>(output->mode));
    if (file == nullptr && errno != EEXIST)
      break;
  }
  if (file == nullptr)
    return fail(&output->reason, errno);
  cache_after(directory, before, output->temporary + cut, nullptr);
  static const uid_t user = geteuid();
  static const gid_t group = getegid();
  // Where only the superuser may give a file away, the new file stays ours.
  if (replaced != nullptr && (replaced->st_uid != user || replaced->st_gid != group) &&
      fchown(fileno(file), replaced->st_uid, replaced->st_gid) != 0) {
  }
  // The writers hand over blocks of their own; glibc would make a stream
  // buffer of the file's block size, asking the system for it.
  setvbuf(file, nullptr, _IONBF, 0);
  output->stream = file;
  return true;
}

}  // namespace

int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO)
    return fd;
  int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
  int reason = errno;
  close(fd);
  errno = reason;
  return moved;
}

bool follow_links(const char* path, const Resolved& found, char* target, int* reason) {
  if (strlen(path) >= RESOLVED_CAPACITY)
    return fail(reason, ENAMETOOLONG);
  strcpy(target, path);
  struct stat info = found.info;
  bool exists = found.exists;
  for (int hop = 0; hop < LINK_HOPS; hop++) {
    if (!exists || !S_ISLNK(info.st_mode))
      return true;
    if (!may_follow(target, info))
      return fail(reason, EACCES);
    char link[RESOLVED_CAPACITY];
    ssize_t got = readlink(target, link, sizeof link - 1);
    if (got < 0)
      return fail(reason, errno);
    link[got] = '\0';
    // A relative link replaces the name after the last slash.
    const char* slash = strrchr(target, '/');
    size_t cut = link[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - target) + 1;
    if (cut + static_cast<size_t>(got) >= RESOLVED_CAPACITY)
      return fail(reason, ENAMETOOLONG);
    memcpy(target + cut, link, static_cast<size_t>(got) + 1);
    exists = lstat(target, &info) == 0;
  }
  return fail(reason, ELOOP);
}

bool output_open(OutputFile* output, const char* path) {
  memset(output, 0, sizeof *output);
  char resolved[RESOLVED_CAPACITY];
  Resolved found;
  if (!resolve_noting(path, resolved, sizeof resolved, &found))
    return fail(&output->reason, ENAMETOOLONG);
  if (resolved[0] == '\0')
    return fail(&output->reason, ENOENT);
  if (found.exists && S_ISLNK(found.info.st_mode) && !may_follow(resolved, found.info))
    return fail(&output->reason, EACCES);
  struct stat info = found.info;
  bool exists = found.exists;
  if (exists && S_ISLNK(info.st_mode)) {
    exists = stat(resolved, &info) == 0;
    if (!exists && errno != ENOENT)
      return fail(&output->reason, errno);
  } else if (!exists && found.reason != ENOENT) {
    return fail(&output->reason, found.reason);
  }
  if (exists && !S_ISREG(info.st_mode))
    return open_in_place(output, resolved);
  if (!follow_links(resolved, found, output->target, &output->reason))
    return false;
  // A file that "wb" could not open is not replaced behind its back.
  if (exists && access(output->target, W_OK) != 0)
    return fail(&output->reason, errno);
  output->mode = exists ? info.st_mode & 0777 : new_file_mode();
  return open_temporary(output, exists ? &info : nullptr);
}

bool os_target_ready(OutputFile* output) {
  struct stat info;
  if (stat(output->target, &info) == 0 && !S_ISREG(info.st_mode))
    return fail(&output->reason, S_ISDIR(info.st_mode) ? EISDIR : EEXIST);
  return true;
}

bool os_put_in_place(OutputFile* output) {
  char directory[RESOLVED_CAPACITY];
  size_t cut = split_directory(output->target, directory);
  struct stat before;
  cache_before(directory, &before);
  if (rename(output->temporary, output->target) != 0)
    return fail(&output->reason, errno);
  cache_after(directory, before, output->target + cut, output->temporary + cut);
  return true;
}

void os_remove_temporary(const OutputFile* output) {
  char directory[RESOLVED_CAPACITY];
  size_t cut = split_directory(output->temporary, directory);
  struct stat before;
  cache_before(directory, &before);
  if (unlink(output->temporary) == 0)
    cache_after(directory, before, nullptr, output->temporary + cut);
}
