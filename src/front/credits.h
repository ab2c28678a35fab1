// The credit remark of an output written before: which page it was
// converted from, so that no page's output silently replaces another's.
#ifndef QUILLFEN_FRONT_CREDITS_H_
#define QUILLFEN_FRONT_CREDITS_H_

#include <cstddef>

#include "platform/platform.h"

// Reads the existing output `name` of `directory`, a script or (`program`)
// a COM program, and puts into `page` the name of the page that its credit
// remark says it was converted from, as the remark holds it (a program's
// remark holds a path; `page` gets its last part).  `expected` is the length
// of the remark's text that the caller expects, which sizes the first read.
// False when the output cannot be read or holds no such remark (one written
// with /NCR, or by hand).
bool credited_page(Directory* directory, const char* name, bool program, size_t expected,
                   char* page, size_t capacity);

// The page name as a script's remark holds it: every line break byte
// (CR, LF) shown as '?', as the script writer writes them.
void remark_form(const char* name, char* out, size_t capacity);

#endif  // QUILLFEN_FRONT_CREDITS_H_
