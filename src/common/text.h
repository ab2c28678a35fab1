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

// The one rule for the entry that a name means without regard to case:
// whether `name` is alike `wanted` but for case and comes before `best` (the
// choice so far; nullptr or "" for none) in name order.
bool better_alike(const char* name, const char* wanted, const char* best);

// A hash of the name upper-cased: all its spellings hash alike.
uint64_t upper_hash(const char* name);

// Stores a copy of `text` in the empty `*slot`; false when memory runs out
// or the slot is taken.
bool store_copy(char** slot, const char* text);

// Makes room in `*array` for one item past `count`: it doubles `*capacity`
// (starting at `first`) when the array is full.  False, with the array as it
// was, when memory runs out or the count would pass `limit`.
bool grow_raw(void** array, size_t count, size_t* capacity, size_t item_size, size_t first,
              size_t limit);

template <typename Item>
bool grow(Item** array, size_t count, size_t* capacity, size_t first = 64,
          size_t limit = static_cast<size_t>(-1) / 2) {
  void* raw = *array;
  bool ok = grow_raw(&raw, count, capacity, sizeof(Item), first, limit);
  *array = static_cast<Item*>(raw);
  return ok;
}

#endif  // QUILLFEN_COMMON_TEXT_H_
