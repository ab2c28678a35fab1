// Outputs on POSIX: the temporary file beside the output, its mode and owner,
// the links it may follow, and its rename into place, all through the
// descriptor of the directory that holds it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/os.h"
#include "platform/posix.h"

namespace {

const int LINK_HOPS = 40;

// The files that a signal's end of the process removes: the temporary files
// of a pair and the link that keeps the previous script.  A slot is taken
// once its file exists and freed before the file goes, so that the handler
// never removes a name that another program may have taken since.
struct InFlight {
  volatile sig_atomic_t directory;  // its descriptor + 1; 0 for a free slot
  char name[OUTPUT_NAME_CAPACITY];
};
InFlight in_flight[3];

const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void note_in_flight(int directory, const char* name) {
  for (InFlight& slot : in_flight) {
    if (slot.directory == 0) {
      snprintf(slot.name, sizeof slot.name, "%s", name);
      slot.directory = directory + 1;
      return;
    }
  }
}

void landed(int directory, const char* name) {
  for (InFlight& slot : in_flight) {
    if (slot.directory == directory + 1 && strcmp(slot.name, name) == 0)
      slot.directory = 0;
  }
}

void end_by_signal(int number) {
  for (InFlight& slot : in_flight) {
    if (slot.directory != 0)
      unlinkat(slot.directory - 1, slot.name, 0);
  }
  signal(number, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, number);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(number);
}
const int TEMPORARY_NAME_KEPT = 200;
const int TEMPORARY_RANDOM = 6;
const int TEMPORARY_ATTEMPTS = 100;

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
bool open_in_place(OutputFile* output) {
  output->in_place = true;
  int fd = above_standard_streams(openat(output->directory->fd, output->target,
                                         O_WRONLY | O_NONBLOCK | O_NOCTTY | O_TRUNC | O_CLOEXEC));
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

// Creates the temporary file beside the target with the mode and, where the
// system allows, the owner of the file it replaces (`replaced`, or nullptr).
bool open_temporary(OutputFile* output, const struct stat* replaced) {
  int written = snprintf(output->temporary, sizeof output->temporary, ".%.*s%sXXXXXX",
                         TEMPORARY_NAME_KEPT, output->target, TEMPORARY_MARK);
  if (written < 0 || written >= static_cast<int>(sizeof output->temporary))
    return fail(&output->reason, ENAMETOOLONG);
  char* letters = output->temporary + written - TEMPORARY_RANDOM;
  int dir = output->directory->fd;
  mode_t mode = static_cast<mode_t>(output->mode);
  int fd = -1;
  for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS && fd < 0; attempt++) {
    fill_random(letters, attempt);
    // Noted before it exists: a signal that comes as the call returns must
    // find it.  A name of 36 random bits that another program took at that
    // very moment is the price.
    note_in_flight(dir, output->temporary);
    fd = openat(dir, output->temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0)
      landed(dir, output->temporary);
    if (fd < 0 && errno != EEXIST)
      break;
  }
  fd = above_standard_streams(fd);
  if (fd < 0)
    return fail(&output->reason, errno);
  // A replaced file's bits are given whole, whatever the mask took away.
  // Where only the superuser may give a file away, the new file stays ours.
  const Directory* directory = output->directory;
  bool ready = replaced == nullptr || (mode & directory->mask) == 0 || fchmod(fd, mode) == 0;
  if (ready && replaced != nullptr &&
      (replaced->st_uid != directory->user || replaced->st_gid != directory->group) &&
      fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
  }
  if (!take_stream(output, fd, ready)) {
    os_remove_temporary(output);
    return false;
  }
  return true;
}

// Moves the output on to the directory and name that the link at its
// target leads to.
bool follow_link(OutputFile* output, const struct stat& link) {
  if (!may_follow(output->directory, link.st_uid))
    return fail(&output->reason, EACCES);
  char text[PATH_MAX];
  ssize_t got = readlinkat(output->directory->fd, output->target, text, sizeof text - 1);
  if (got < 0)
    return fail(&output->reason, errno);
  text[got] = '\0';
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

bool open_at_target(OutputFile* output, uint32_t new_mode, bool absent) {
  struct stat info;
  if (absent) {
    // The rename puts the new file in place of whatever took the name since
    // the listing, never writing through it.
    output->mode = new_mode & 0666;
    return open_temporary(output, nullptr);
  }
  for (int hop = 0; hop < LINK_HOPS; hop++) {
    if (fstatat(output->directory->fd, output->target, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno != ENOENT)
        return fail(&output->reason, errno);
      output->mode = new_mode & 0666;
      return open_temporary(output, nullptr);
    }
    // A link to a device or a FIFO (/dev/stdout, say) is written through.
    struct stat final;
    bool special = S_ISLNK(info.st_mode) &&
                   fstatat(output->directory->fd, output->target, &final, 0) == 0 &&
                   !S_ISREG(final.st_mode);
    if (special && !may_follow(output->directory, info.st_uid))
      return fail(&output->reason, EACCES);
    if (special || !S_ISLNK(info.st_mode)) {
      if (special || !S_ISREG(info.st_mode))
        return open_in_place(output);
      // A file that "wb" could not open is not replaced behind its back;
      // the superuser's "wb" opens any.
      if (output->directory->user != 0 &&
          faccessat(output->directory->fd, output->target, W_OK, 0) != 0)
        return fail(&output->reason, errno);
      output->mode = info.st_mode & 0777;
      output->replaced = identity_of(info);
      return open_temporary(output, &info);
    }
    if (!follow_link(output, info))
      return false;
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

bool os_open_output(OutputFile* output, uint32_t new_mode, bool absent) {
  return open_at_target(output, new_mode, absent);
}

bool os_put_in_place(OutputFile* output) {
  int dir = output->directory->fd;
  if (renameat(dir, output->temporary, dir, output->target) != 0)
    return fail(&output->reason, errno);
  landed(dir, output->temporary);
  return true;
}

void os_remove_temporary(const OutputFile* output) {
  landed(output->directory->fd, output->temporary);
  unlinkat(output->directory->fd, output->temporary, 0);
}

bool os_keep_previous(OutputFile* output) {
  output->previous[0] = '\0';
  if (!identity_known(output->replaced))
    return true;  // nothing there to keep
  int dir = output->directory->fd;
  int written = snprintf(output->previous, sizeof output->previous, ".%.*s.quillfen-old-XXXXXX",
                         TEMPORARY_NAME_KEPT, output->target);
  if (written < 0 || written >= static_cast<int>(sizeof output->previous))
    return false;
  char* letters = output->previous + written - TEMPORARY_RANDOM;
  for (int attempt = 0; attempt < TEMPORARY_ATTEMPTS; attempt++) {
    fill_random(letters, attempt);
    if (linkat(dir, output->target, dir, output->previous, 0) == 0) {
      note_in_flight(dir, output->previous);  // signals are held here
      return true;
    }
    if (errno != EEXIST)
      break;
  }
  output->previous[0] = '\0';
  return false;
}

void os_restore_previous(OutputFile* output) {
  int dir = output->directory->fd;
  if (output->previous[0] == '\0') {
    unlinkat(dir, output->target, 0);
  } else if (renameat(dir, output->previous, dir, output->target) == 0) {
    landed(dir, output->previous);
    output->previous[0] = '\0';
  }
}

void os_drop_previous(OutputFile* output) {
  if (output->previous[0] == '\0')
    return;
  landed(output->directory->fd, output->previous);
  unlinkat(output->directory->fd, output->previous, 0);
  output->previous[0] = '\0';
}

void os_hold_signals(bool hold) {
  sigset_t set;
  sigemptyset(&set);
  for (int number : ENDING_SIGNALS)
    sigaddset(&set, number);
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void signals_install() {
  for (int number : ENDING_SIGNALS) {
    struct sigaction action;
    // A signal ignored from the start (nohup) stays ignored.
    if (sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
      continue;
    memset(&action, 0, sizeof action);
    action.sa_handler = end_by_signal;
    sigfillset(&action.sa_mask);
    sigaction(number, &action, nullptr);
  }
  signal(SIGXFSZ, SIG_IGN);
}
