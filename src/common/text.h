// Text and path routines that the front end and the conversion both use.
// A path that the system takes (a typed one) is split at the native
// separators: the slash, and the backslash too on Windows; on POSIX a
// backslash is a byte of a name.  A path that a message shows, as the
// scripts' credit lines take it, is split at either, on both systems.
#ifndef QUILLFEN_COMMON_TEXT_H_
#define QUILLFEN_COMMON_TEXT_H_

#include <cstddef>
#include <cstdint>

bool is_separator(char c);
bool is_path_separator(char c);

// 1-based position of the last `ch`, 0 when it does not occur.
size_t last_char_pos(const char* text, char ch);

// 1-based position of the last separator, 0 when there is none.
size_t last_separator_pos(const char* text);
size_t last_path_separator_pos(const char* text);

// Copies at most `n` characters and a terminator (`destination` holds n + 1).
void copy_bounded(char* destination, const char* source, size_t n);

// The part of `path` after its last separator, or the whole path.  `out`
// holds LONG_PATH_CAPACITY + 1 bytes.
void base_name(const char* path, char* out);
void path_base_name(const char* path, char* out);

inline char ascii_upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether two names are alike but for the case of ASCII letters, as the
// Windows file services compare names.
bool same_name(const char* a, const char* b);

// Orders names as an NTFS directory lists them: byte by byte after ASCII
// upper-casing; names equal that way fall back to their raw bytes.
int compare_names(const char* a, const char* b);
int compare_upper(const char* a, const char* b);  // the first step alone

// A hash of the name upper-cased: all its spellings hash alike.
uint64_t upper_hash(const char* name);

#endif  // QUILLFEN_COMMON_TEXT_H_
