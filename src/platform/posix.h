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

// Whether a link owned by `owner` in `directory` may be followed whatever it
// leads to: where only the directory's owner may write there, or where the
// link belongs to the user running the tool or to the directory's owner.
// Anyone else's link in a directory that others may write is followed only to
// a file of the link's own owner.
bool may_follow(const Directory* directory, uid_t owner);
bool trusted_link(const struct stat& parent, uid_t user, uid_t owner);

// Opens the link `name` in the directory `parent` (whose facts are
// `parent_info`) with `flags`, through the text of that very link, under the
// rule of trusted_link; the descriptor, or -1 with errno (EACCES when the
// rule refuses).
int open_through_link(int parent, const struct stat& parent_info, uid_t user, const char* name,
                      int flags);

// Moves a descriptor that took the place of a closed standard stream out of
// the way, so that console text never lands in a file; -1 when that fails.
int above_standard_streams(int fd);

#endif  // QUILLFEN_PLATFORM_POSIX_H_
