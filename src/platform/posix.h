// What the POSIX files of the platform layer share among themselves.
#ifndef QUILLFEN_PLATFORM_POSIX_H_
#define QUILLFEN_PLATFORM_POSIX_H_

#include <sys/stat.h>

#include <climits>
#include <cstddef>

#include "platform/platform.h"

const size_t RESOLVED_CAPACITY = PATH_MAX;

char ascii_upper(char c);
bool same_name(const char* a, const char* b);  // ASCII case ignored

// Orders names as an NTFS directory lists them: byte by byte after ASCII
// upper-casing; names equal that way fall back to their raw bytes.
int compare_names(const char* a, const char* b);

// `directory` as the system takes it: "." for the empty text.
const char* directory_or_dot(const char* directory);

// The directory of a resolved path, with its final slash ("" for the current
// one), and the offset of the name after it.
size_t split_directory(const char* path, char* directory);

// Reads every name of `directory` ("" for the current one), handing each to
// `take` (if any) with a descriptor of the directory; the reason when the
// directory cannot be read to its end.  Given the directory's `state`, the
// names also become the name cache's listing of it.
typedef void (*NameTaker)(int directory_fd, const char* name, void* context);
int read_names(const char* directory, const struct stat* state, NameTaker take, void* context);

// The path with slashes for backslashes, one for each run of separators;
// false when it does not fit.
bool normalize_path(const char* path, char* out, size_t capacity);

// What resolving found of the last component of a path.
struct Resolved {
  bool exists;  // it exists as resolved, and `info` is its lstat
  struct stat info;
  int reason;  // when it does not: errno of the lstat that missed it
};

// resolve_path, telling what it found of the result.
bool resolve_noting(const char* path, char* out, size_t capacity, Resolved* found);

// Follows the links at the end of the resolved `path`, of which `found` tells
// what resolving found, into `target`: the place that writing would land.
// A link is followed only where the kernel's rule for links in shared
// directories would follow it.  False, with *reason, when one may not be
// followed or the chain does not end.
bool follow_links(const char* path, const Resolved& found, char* target, int* reason);

// Moves a descriptor that took the place of a closed standard stream out of
// the way, so that console text never lands in a file; -1 when that fails.
int above_standard_streams(int fd);

// Keeps the name cache true to a change that the tool makes in `directory`:
// its state just before the change (noted only where the cache keeps the
// directory, the one case in which cache_after reads it), then the names the
// change added and removed, told once it is made.
void cache_before(const char* directory, struct stat* before);
void cache_after(const char* directory, const struct stat& before, const char* added,
                 const char* removed);

// Hands `take` every name of the cached listing of `directory` that matches
// `name` without regard to case; false when the cache holds no listing of
// it in the state `state`.
bool cache_names_like(const char* directory, const struct stat& state, const char* name,
                      NameTaker take, int directory_fd, void* context);

#endif  // QUILLFEN_PLATFORM_POSIX_H_
