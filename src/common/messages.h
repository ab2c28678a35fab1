// The console text of a run: every message goes through say(), one call per
// message.  A progress message, one that begins with PROGRESS_MARK, is left
// out in quiet mode.  Errors and warnings (the messages that begin "Error: ",
// "Warning: " or "Fatal "), and the lines that go on from them (those that
// begin with two blanks), go to the error stream: standard output unless
// messages_set_error_stream names another.  On a terminal, the control bytes of every text that a
// message fills in with %s (the names it shows) are printed as '?', so that
// a name cannot act on the terminal; redirected output keeps every byte.
#ifndef QUILLFEN_COMMON_MESSAGES_H_
#define QUILLFEN_COMMON_MESSAGES_H_

#include <cstdarg>
#include <cstdio>

const char PROGRESS_MARK = '\x10';

// The longest message shown on a terminal; the rest of a longer one is cut.
const int MESSAGE_CAPACITY = 16384;

void messages_set_quiet(bool quiet);
// `c1_controls`: whether a terminal acts on the bytes 0x80 to 0x9F (and
// U+0080 to U+009F in UTF-8) as on control bytes, as POSIX terminals may.
void messages_set_terminal(bool terminal, bool c1_controls);
// `terminal` tells whether that stream is a terminal.
void messages_set_error_stream(FILE* stream, bool terminal);

// How many warnings have been told so far.
int messages_warning_count();

// Formats as printf does; the conversions are those of d, i, u, x, c and s
// with flags, width, precision and the length 'l'.
[[gnu::format(printf, 1, 2)]] void say(const char* format, ...);
[[gnu::format(printf, 2, 3)]] void say_to(FILE* out, const char* format, ...);
void say_list(FILE* out, const char* format, va_list arguments);

// `text` as a terminal is shown it: every byte 0x01 to 0x1F and 0x7F becomes
// '?', and with `c1_controls` so does every C1 control, a byte 0x80 to 0x9F
// that is no part of a UTF-8 sequence or a UTF-8 sequence of U+0080 to
// U+009F.  `out` holds `capacity` bytes; the rest of a longer text is cut.
void shown_on_terminal(const char* text, char* out, size_t capacity, bool c1_controls);

// The second line of an error: the system's reason in words, after two
// blanks; nothing for REASON_NONE.
void print_reason(int reason);

#endif  // QUILLFEN_COMMON_MESSAGES_H_
