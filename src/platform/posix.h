// What the POSIX files of the platform layer share among themselves.
#ifndef QUILLFEN_PLATFORM_POSIX_H_
#define QUILLFEN_PLATFORM_POSIX_H_

#include <sys/stat.h>

#include "platform/platform.h"

struct Directory {
  int fd;
  struct stat info;
  // Who runs the tool, and the mask that new files get, as the directory
  // was opened.
  uid_t user;
  gid_t group;
  mode_t mask;
};

inline FileIdentity identity_of(const struct stat& info) {
  return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// A directory over the open descriptor `fd`, which it takes; nullptr, with
// *reason and the descriptor closed, when it cannot.
Directory* directory_over(int fd, int* reason);

// Whether a link owned by `owner` in `directory` may be followed: not when
// the directory is sticky and writable by all, unless the link belongs to the
// user running the tool or to the directory's owner.
bool may_follow(const Directory* directory, uid_t owner);

// Moves a descriptor that took the place of a closed standard stream out of
// the way, so that console text never lands in a file; -1 when that fails.
int above_standard_streams(int fd);

#endif  // QUILLFEN_PLATFORM_POSIX_H_
