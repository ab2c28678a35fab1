// Text and path routines with which the driver derives names.  Slash and
// backslash both separate a directory from a name.
#ifndef QUILLFEN_FRONT_NAMES_H_
#define QUILLFEN_FRONT_NAMES_H_

#include <cstddef>
#include <cstdint>

#include "common/text.h"

// The directory part of a file spec (the first argument), written into `out`,
// which holds LONG_PATH_CAPACITY + 1 bytes; empty for a longer spec.
void spec_directory(const char* spec, char* out);

// The stem of a file name: the part before its last dot, back to the nearest
// colon, dot or separator; possibly empty.  `out` holds PATH_CAPACITY + 1 bytes.
void file_stem(const char* name, char* out);

// The whole name before its last dot; the whole name when it has no dot but
// a leading one.  `out` holds PATH_CAPACITY + 1 bytes.
void full_stem(const char* name, char* out);

// Appends `ch` unless the text is empty, a bare drive ('C:') or already ends
// with a separator.  Does nothing when the text holds `capacity` characters.
void append_separator(char* text, size_t capacity, char ch);

// Appends `tail`; false (and the text unchanged) when the result would hold
// more than `capacity` characters.
bool append_text(char* text, size_t capacity, const char* tail);

void append_char(char* text, size_t capacity, char ch);

// ASCII upper-casing of a whole text, in place; other bytes stay.
void upper_case(char* text);

#endif  // QUILLFEN_FRONT_NAMES_H_
