// Outputs on POSIX: the temporary file beside the output, its mode and owner,
// the links it may follow, and its rename into place, all through the
// descriptor of the directory that holds it.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/os.h"
#include "platform/posix.h"

const int TEMPORARY_NAME_KEPT = 200;

namespace {

const int LINK_HOPS = 40;

const int TEMPORARY_RANDOM = 6;
const int TEMPORARY_ATTEMPTS = 100;

// Lets go of a lock, held by a descriptor kept as its number + 1 (0 for
// none).
void drop_lock(int* lock) {
  if (*lock != 0)
    close(*lock - 1);
  *lock = 0;
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
// refused rather than waited on.  `path` is the output's name, taken as it
// lies, or the text of a trusted link at it, which is `followed`; either is
// written only when it is still `seen`, the file that was looked at.
bool open_in_place(OutputFile* output, const char* path, const struct stat& seen, bool followed) {
  output->in_place = true;
  int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  int fd = above_standard_streams(
      openat(output->directory->fd, path, followed ? flags : flags | O_NOFOLLOW));
  struct stat opened;
  if (fd >= 0 &&
      (fstat(fd, &opened) != 0 || opened.st_dev != seen.st_dev || opened.st_ino != seen.st_ino)) {
    close(fd);
    fd = -1;
    errno = EACCES;
  }
  return take_stream(output, fd,
                     fd >= 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0);
}

// Fills the letters at `letters` for a fresh temporary name.  The name only
// has to be unlikely to be taken: the file is created exclusively.
void fill_random(char* letters, int attempt) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  uint64_t state = (static_cast<uint64_t>(now.tv_nsec) * 2654435761u) ^
                   (static_cast<uint64_t>(now.tv_sec) << 24) ^
                   (reinterpret_cast<uintptr_t>(letters) << 20) ^
                   static_cast<uint64_t>(attempt) << 56;
  state |= 1;
  for (int i = 0; i < TEMPORARY_RANDOM; i++) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    letters[i] = alphabet[(state >> 33) % (sizeof alphabet - 1)];
  }
}

// Creates the temporary file `output->temporary` (its name filled in up to
// the random letters at `letters`) with `mode`, and holds a lock on it while
// it is in flight, so that no other run takes it for a leftover; the
// descriptor, or -1 with output->reason.
int create_temporary(OutputFile* output, char* letters, mode_t mode) {
  int dir = output->directory->fd;
  for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; attempt++) {
    fill_random(letters, attempt);
    // Noted before it exists: a signal that comes as the call returns must
    // find it.  A name of 36 random bits that another program took at that
    // very moment is the price.
    note_in_flight(output->directory, output->temporary);
    int fd =
        openat(dir, output->temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) {
      landed(output->directory, output->temporary);
      if (errno == EEXIST)
        continue;
      output->reason = errno;
      return -1;
    }
    // Another run that took the new file for a leftover before the lock may
    // have removed it; then it is made afresh under another name.  The lock
    // lives on in a copy of the descriptor from the stream's close to the
    // rename.
    struct stat info;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &info) == 0 && info.st_nlink > 0) {
      output->temporary_lock = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1) + 1;
      if (output->temporary_lock != 0)
        return fd;
      output->reason = errno;
      output_remove_temporary(output);
      close(fd);
      return -1;
    }
    landed(output->directory, output->temporary);
    close(fd);
  }
  output->reason = EEXIST;
  return -1;
}

// Creates the temporary file beside the target.  It replaces `replaced`
// (or nullptr) with that file's owner and bits where the rule of output_open
// lets it keep them, else it is a new file with the bits of `source`.
bool open_temporary(OutputFile* output, const struct stat* replaced, const SourceFile& source) {
  int written = snprintf(output->temporary, sizeof output->temporary, ".%.*s%sXXXXXX",
                         TEMPORARY_NAME_KEPT, output->target, TEMPORARY_MARK);
  if (written < 0 || written >= static_cast<int>(sizeof output->temporary))
    return fail(&output->reason, ENAMETOOLONG);
  const Directory* directory = output->directory;
  if (replaced != nullptr && replaced->st_uid != source.owner && (source.mode & 0444) != 0444)
    replaced = nullptr;
  output->mode = replaced != nullptr ? replaced->st_mode & 0777 : source.mode & 0666;
  mode_t mode = static_cast<mode_t>(output->mode);
  int fd = above_standard_streams(
      create_temporary(output, output->temporary + written - TEMPORARY_RANDOM, mode));
  if (fd < 0)
    return fail(&output->reason, output->reason != 0 ? output->reason : errno);
  // A replaced file's bits are given whole, whatever the mask took away.
  // Where only the superuser may give a file away, the new file stays ours.
  bool ready = replaced == nullptr || (mode & directory->mask) == 0 || fchmod(fd, mode) == 0;
  if (ready && replaced != nullptr &&
      (replaced->st_uid != directory->user || replaced->st_gid != directory->group) &&
      fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
  }
  if (!take_stream(output, fd, ready)) {
    output_remove_temporary(output);
    return false;
  }
  return true;
}

// Reads the link at the output's target while holding it, so that its owner
// and its text are those of one link.  False with output->reason; true with
// *is_link false where the entry is no longer a link.
bool read_link(OutputFile* output, struct stat* link, char* text, size_t capacity, bool* is_link) {
  *is_link = false;
  int fd = openat(output->directory->fd, output->target, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 || fstat(fd, link) != 0) {
    output->reason = errno;
    if (fd >= 0)
      close(fd);
    return false;
  }
  ssize_t got = S_ISLNK(link->st_mode) ? readlinkat(fd, "", text, capacity - 1) : 0;
  output->reason = errno;
  close(fd);
  if (got < 0 || static_cast<size_t>(got) >= capacity - 1)
    return got < 0 ? false : fail(&output->reason, ENAMETOOLONG);
  text[got] = '\0';
  *is_link = S_ISLNK(link->st_mode);
  return true;
}

// Moves the output on to the directory and name that the link text `text`
// names.
bool move_to(OutputFile* output, char* text) {
  char* slash = strrchr(text, '/');
  const char* name = slash == nullptr ? text : slash + 1;
  if (name[0] == '\0' || strlen(name) >= sizeof output->target)
    return fail(&output->reason, name[0] == '\0' ? EISDIR : ENAMETOOLONG);
  if (slash != nullptr) {
    slash[slash == text ? 1 : 0] = '\0';
    int fd = openat(output->directory->fd, text, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Directory* next = fd < 0 ? nullptr : directory_over(fd, &output->reason);
    if (next == nullptr)
      return fd < 0 ? fail(&output->reason, errno) : false;
    if (output->owns_directory)
      directory_close(output->directory);
    output->directory = next;
    output->owns_directory = true;
  }
  memmove(output->target, name, strlen(name) + 1);
  return true;
}

bool open_at_target(OutputFile* output, const SourceFile& source, bool absent) {
  struct stat info;
  if (absent) {
    // The rename puts the new file in place of whatever took the name since
    // the listing, never writing through it.
    return open_temporary(output, nullptr, source);
  }
  // Someone else's link in a directory that others may write is followed
  // only to a file of that user's: every entry on the way must be theirs.
  int required_owner = -1;
  for (int hop = 0; hop < LINK_HOPS; hop++) {
    if (fstatat(output->directory->fd, output->target, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT || required_owner < 0)
        return errno == ENOENT ? open_temporary(output, nullptr, source)
                               : fail(&output->reason, errno);
      return fail(&output->reason, EACCES);
    }
    if (required_owner >= 0 && info.st_uid != static_cast<uid_t>(required_owner))
      return fail(&output->reason, EACCES);
    if (S_ISLNK(info.st_mode)) {
      struct stat link;
      char text[PATH_MAX];
      bool is_link;
      if (!read_link(output, &link, text, sizeof text, &is_link))
        return false;
      if (!is_link)
        continue;  // replaced meanwhile: looked at again
      bool trusted = required_owner < 0 && may_follow(output->directory, link.st_uid);
      if (!trusted && required_owner >= 0 && link.st_uid != static_cast<uid_t>(required_owner))
        return fail(&output->reason, EACCES);
      if (!trusted)
        required_owner = static_cast<int>(link.st_uid);
      // A trusted link to a device or a FIFO (/dev/stdout, say) is written
      // through.
      struct stat final;
      if (trusted && fstatat(output->directory->fd, text, &final, 0) == 0 &&
          !S_ISREG(final.st_mode))
        return open_in_place(output, text, final, true);
      if (!move_to(output, text))
        return false;
      continue;
    }
    if (!S_ISREG(info.st_mode))
      return open_in_place(output, output->target, info, false);
    // A file that "wb" could not open is not replaced behind its back;
    // the superuser's "wb" opens any.
    if (output->directory->user != 0 &&
        faccessat(output->directory->fd, output->target, W_OK, 0) != 0)
      return fail(&output->reason, errno);
    output->replaced = identity_of(info);
    return open_temporary(output, &info, source);
  }
  return fail(&output->reason, ELOOP);
}

}  // namespace

int above_standard_streams(int fd) {
  if (fd < 0 || fd > STDERR_FILENO)
    return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  int reason = errno;
  close(fd);
  errno = reason;
  return moved;
}

bool output_open(OutputFile* output, Directory* directory, const char* name,
                 const SourceFile& source, bool absent) {
  if (output_named(output, directory, name) && open_at_target(output, source, absent))
    return true;
  output_release(output);
  return false;
}

bool output_rename(OutputFile* output) {
  int dir = output->directory->fd;
  if (renameat(dir, output->temporary, dir, output->target) != 0)
    return fail(&output->reason, errno);
  landed(output->directory, output->temporary);
  drop_lock(&output->temporary_lock);
  return true;
}

void output_remove_temporary(OutputFile* output) {
  landed(output->directory, output->temporary);
  unlinkat(output->directory->fd, output->temporary, 0);
  drop_lock(&output->temporary_lock);
}

bool output_keep_previous(OutputFile* output) {
  output->previous[0] = '\0';
  if (!identity_known(output->replaced))
    return true;  // nothing there to keep
  int dir = output->directory->fd;
  int written = snprintf(output->previous, sizeof output->previous, ".%.*s%sXXXXXX",
                         TEMPORARY_NAME_KEPT, output->target, PREVIOUS_MARK);
  if (written < 0 || written >= static_cast<int>(sizeof output->previous))
    return false;
  // The file is held under a lock while the link keeps it, so that no
  // other run takes the link for a leftover; where it cannot be, the link
  // is made all the same.
  int held = openat(dir, output->target, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  struct stat info;
  if (held >= 0 &&
      (fstat(held, &info) != 0 || !same_identity(identity_of(info), output->replaced) ||
       flock(held, LOCK_EX | LOCK_NB) != 0)) {
    close(held);
    held = -1;
  }
  char* letters = output->previous + written - TEMPORARY_RANDOM;
  for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; attempt++) {
    fill_random(letters, attempt);
    if (linkat(dir, output->target, dir, output->previous, 0) == 0) {
      note_in_flight(output->directory, output->previous);  // signals are held here
      output->previous_lock = held + 1;
      return true;
    }
    if (errno != EEXIST)
      break;
  }
  if (held >= 0)
    close(held);
  output->previous[0] = '\0';
  return false;
}

void output_restore_previous(OutputFile* output) {
  int dir = output->directory->fd;
  if (output->previous[0] == '\0') {
    unlinkat(dir, output->target, 0);
  } else if (renameat(dir, output->previous, dir, output->target) == 0) {
    landed(output->directory, output->previous);
    drop_lock(&output->previous_lock);
    output->previous[0] = '\0';
  }
}

void output_drop_previous(OutputFile* output) {
  if (output->previous[0] == '\0')
    return;
  landed(output->directory, output->previous);
  unlinkat(output->directory->fd, output->previous, 0);
  drop_lock(&output->previous_lock);
  output->previous[0] = '\0';
}

bool leftover_remove(Directory* directory, const char* name) {
  // Held while it is judged and removed: a run in flight holds its lock, and
  // the name must still be the file that was locked.
  int fd = openat(directory->fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0)
    return errno == ENOENT;
  struct stat held;
  struct stat named;
  bool gone = fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == directory->user &&
              flock(fd, LOCK_EX | LOCK_NB) == 0 &&
              fstatat(directory->fd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
              same_identity(identity_of(held), identity_of(named)) &&
              unlinkat(directory->fd, name, 0) == 0;
  close(fd);
  return gone;
}
