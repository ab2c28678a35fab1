#include "convert/bat_writer.h"

#include <cstdint>
#include <cstring>

#include "common/product.h"
#include "common/text.h"
#include "convert/escape_block.h"
#include "convert/line_reader.h"
#include "platform/reasons.h"

namespace {

const char RULE_LINE[] = "rem -------------------------------------------------------------\r\n";
const char ECHO_PREFIX[] = "echo ";
const char ECHO_DOT_PREFIX[] = "echo.";
const char BREAK_MARKER[] = "^<!--crlf--^>";
// From this line on '!' is plain text, even where the interpreter was started
// with delayed expansion on: it takes the setting afresh for every line.
const char EXPANSION_OFF_LINE[] = "setlocal DisableDelayedExpansion\r\n";

// Prints the rest of its script line without a line end.  Its input is
// the empty device, so it waits for nothing.
const char NO_LINE_END_PREFIX[] = "<nul set /p =";
const size_t PREFIX_GROWTH = sizeof NO_LINE_END_PREFIX - sizeof ECHO_PREFIX;

// The longest script line that the writer makes, just inside the 8191
// characters that the interpreter reads of a line, the longer prefix of a
// line that prints without a line end counted.
const size_t SCRIPT_LINE_LIMIT = 8180 - PREFIX_GROWTH;

// A script line that its text would take past SCRIPT_LINE_LIMIT is broken
// before the first byte past the limit less this zone that can begin a line
// printed without a line end; past the limit itself, before any byte.
const size_t LENGTH_BREAK_ZONE = 1024;
const size_t LENGTH_BREAK_START = SCRIPT_LINE_LIMIT - LENGTH_BREAK_ZONE;

// Room that one source byte may need in the staging buffer: a line break,
// a fresh prefix, the marker, the longer prefix and the written byte or
// character reference.
const size_t LARGEST_STEP = 48;

void note_failure(BatWriter* writer) {
  if (!writer->failed)
    writer->reason = stream_reason();
  writer->failed = true;
}

void flush_staging(BatWriter* writer) {
  if (writer->staged > 0 &&
      fwrite(writer->staging, 1, writer->staged, writer->stream) != writer->staged)
    note_failure(writer);
  writer->written += writer->staged;
  writer->staged = 0;
}

// Makes room for more bytes: the current script line stays staged whole,
// so that its prefix can still change; only what comes before it is
// written out.
__attribute__((noinline)) void write_out_before_line(BatWriter* writer) {
  size_t kept = writer->staged - writer->line_start;
  writer->staged = writer->line_start;
  flush_staging(writer);
  memmove(writer->staging, writer->staging + writer->line_start, kept);
  writer->staged = kept;
  writer->line_start = 0;
}

inline void make_room(BatWriter* writer, size_t length) {
  if (writer->staged + length > BAT_STAGING_SIZE)
    write_out_before_line(writer);
}

inline void put_bytes(BatWriter* writer, const char* bytes, size_t length) {
  if (length > BAT_STAGING_SIZE) {
    writer->line_start = writer->staged;
    flush_staging(writer);
  } else {
    make_room(writer, length);
  }
  if (length > BAT_STAGING_SIZE) {
    if (fwrite(bytes, 1, length, writer->stream) != length)
      note_failure(writer);
    writer->written += length;
    return;
  }
  memcpy(writer->staging + writer->staged, bytes, length);
  writer->staged += length;
}

void put_text(BatWriter* writer, const char* text) {
  put_bytes(writer, text, strlen(text));
}

// A text whose length the compiler knows.
template <size_t N>
void put_literal(BatWriter* writer, const char (&text)[N]) {
  put_bytes(writer, text, N - 1);
}

// Writes a text into a remark line: the interpreter expands percent signs in
// every line, remarks included, so each one is doubled.  A line feed would
// end the remark and leave the rest of the text to run as a command, so it
// becomes '?', and so does a carriage return.
void put_remark_text(BatWriter* writer, const char* text) {
  const char specials[] = "%\r\n";
  for (const char* special = strpbrk(text, specials); special != nullptr;
       special = strpbrk(text, specials)) {
    put_bytes(writer, text, static_cast<size_t>(special - text));
    if (*special == '%')
      put_literal(writer, "%%");
    else
      put_literal(writer, "?");
    text = special + 1;
  }
  put_text(writer, text);
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool blank_only_run(const char* run, size_t length) {
  for (size_t i = 0; i < length; i++)
    if (!is_blank(run[i]))
      return false;
  return true;
}

bool blank_only(const char* line) {
  while (is_blank(*line))
    line++;
  return *line == '\0';
}

bool is_anchor_start(const char* p) {
  return p[0] == '<' && (p[1] == 'a' || p[1] == 'A') && p[2] == ' ';
}

bool equal_word(const char* p, const char* word, size_t length) {
  for (size_t i = 0; i < length; i++) {
    char c = p[i];
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    if (c != word[i])
      return false;
  }
  return true;
}

// Whether "echo " would take this text for a request of its own instead of
// text to print: a help request "/?", or the word ON or OFF alone on the
// script line (which ends at the end of the line or before a tag).
bool echo_would_misread(const char* text) {
  while (is_blank(*text))
    text++;
  if (text[0] == '/' && text[1] == '?')
    return true;
  size_t length = 0;
  if (equal_word(text, "OFF", 3))
    length = 3;
  else if (equal_word(text, "ON", 2))
    length = 2;
  else
    return false;
  text += length;
  while (is_blank(*text))
    text++;
  return *text == '\0' || *text == '<';
}

// Starts a script line with "echo " where `plain`, with "echo." where
// "echo " would misread what follows; the interpreter reads each line with
// quoting off.  "echo." prints what follows it whatever it says, blanks only
// included, where "echo" would print its own state.
void open_script_line(BatWriter* writer, bool plain) {
  writer->line_start = writer->staged;
  if (plain)
    put_literal(writer, ECHO_PREFIX);
  else
    put_literal(writer, ECHO_DOT_PREFIX);
  writer->in_quotes = false;
}

// Starts a script line that prints `text`.
void start_script_line(BatWriter* writer, const char* text) {
  open_script_line(writer, !echo_would_misread(text) && !blank_only(text));
}

// How the writer treats each byte value: plain bytes are copied as they
// stand, in runs; the others one by one.
// Where text is written as character references, bytes above 0x7F are
// BYTE_HIGH.
enum ByteClass : unsigned char {
  BYTE_PLAIN,
  BYTE_CARET,
  BYTE_PERCENT,
  BYTE_QUOTE,
  BYTE_END,
  BYTE_HIGH
};

struct ByteClasses {
  ByteClass of[256];
  explicit ByteClasses(bool references) : of() {
    const char carets[] = "<>|&^";
    for (const char* c = carets; *c != '\0'; c++)
      of[static_cast<unsigned char>(*c)] = BYTE_CARET;
    of[static_cast<unsigned char>('%')] = BYTE_PERCENT;
    of[static_cast<unsigned char>('"')] = BYTE_QUOTE;
    of[0] = BYTE_END;
    for (int c = 0x80; references && c <= 0xFF; c++)
      of[c] = BYTE_HIGH;
  }
};

const ByteClasses BYTE_CLASSES(false);
const ByteClasses REFERENCE_CLASSES(true);

ByteClass class_of(char c) {
  return BYTE_CLASSES.of[static_cast<unsigned char>(c)];
}

// Whether the writer turns UTF-8 text into character references here: not
// in a script or a style sheet, which the browser does not decode.
bool writes_references(const BatWriter* writer) {
  return writer->entities && writer->raw != RAW_SCRIPT && writer->raw != RAW_STYLE;
}

const ByteClasses& classes_of(const BatWriter* writer) {
  return writes_references(writer) ? REFERENCE_CLASSES : BYTE_CLASSES;
}

// Whether `c` is written with a caret before it: outside double quotes the
// interpreter acts on these bytes.
bool needs_caret(const BatWriter* writer, char c) {
  return !writer->in_quotes && class_of(c) == BYTE_CARET;
}

// The bytes that `c` takes in the script.
size_t written_size(const BatWriter* writer, char c) {
  return (c == '%' || needs_caret(writer, c)) ? 2 : 1;
}

// The number of continuation bytes of the well-formed UTF-8 sequence that
// begins at `p`, or 0 when none begins there.
int utf8_tail_length(const char* p) {
  unsigned char lead = static_cast<unsigned char>(p[0]);
  int tail = 0;
  unsigned char low = 0x80;  // the range of the byte after the lead
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    tail = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    tail = 2;
    low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
    high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    tail = 3;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
  }
  for (int i = 1; i <= tail; i++) {
    unsigned char c = static_cast<unsigned char>(p[i]);
    if (c < low || c > high)
      return 0;
    low = 0x80;
    high = 0xBF;
  }
  return tail;
}

// Whether `p` is a continuation byte of a well-formed UTF-8 sequence that
// began within the line; no line is broken before one.  Any other byte,
// 0x80 to 0xBF included, may have a break before it.
bool inside_sequence(const char* line, const char* p) {
  for (int back = 1; back <= 3 && back <= p - line; back++) {
    const char* lead = p - back;
    if ((static_cast<unsigned char>(*lead) & 0xC0) != 0x80)
      return utf8_tail_length(lead) >= back;
  }
  return false;
}

// Whether a script line that prints without a line end may begin with `c`:
// the interpreter's "set /p" drops blanks before its text and refuses text
// that begins with '=', and quotes or separators there are best avoided.
bool starts_no_end_line(char c) {
  unsigned char b = static_cast<unsigned char>(c);
  return b > ' ' && b != 0xFF && c != '=' && c != '"' && c != ',' && c != ';';
}

// Names and lengths of the raw elements, in RawElement order.
struct RawName {
  const char* name;
  size_t length;
};
const RawName RAW_NAMES[] = {{"", 0}, {"SCRIPT", 6}, {"STYLE", 5}, {"PRE", 3}, {"TEXTAREA", 8}};
// The letter after "</" in the end tag of each, in lower case.
const char RAW_CLOSERS[] = {'\0', 's', 's', 'p', 't'};

// Whether a tag name may end before `c`.
bool ends_tag_name(char c) {
  return c == '\0' || c == ' ' || c == '\t' || c == '\f' || c == '/' || c == '>';
}

// Follows the tag that begins at `p` (a '<'): the start tag of a raw
// element enters it, the end tag of the one the writer is in leaves it.
void follow_tag(BatWriter* writer, const char* p) {
  if (writer->raw == RAW_NONE) {
    char first = static_cast<char>(p[1] | 0x20);
    if (first != 's' && first != 'p' && first != 't')
      return;
    for (int kind = RAW_SCRIPT; kind <= RAW_TEXTAREA; kind++) {
      const RawName& raw = RAW_NAMES[kind];
      if (equal_word(p + 1, raw.name, raw.length) && ends_tag_name(p[1 + raw.length])) {
        writer->raw = static_cast<RawElement>(kind);
        return;
      }
    }
    return;
  }
  const RawName& raw = RAW_NAMES[writer->raw];
  if (p[1] == '/' && equal_word(p + 2, raw.name, raw.length) && ends_tag_name(p[2 + raw.length]))
    writer->raw = RAW_NONE;
}

// Follows the tags among the `length` bytes at `p`: an element entered
// there may end there too.
void follow_tags(BatWriter* writer, const char* p, size_t length) {
  const char* end = p + length;
  for (const char* tag = static_cast<const char*>(memchr(p, '<', length)); tag != nullptr;
       tag = static_cast<const char*>(memchr(tag + 1, '<', static_cast<size_t>(end - tag - 1)))) {
    if (writer->raw != RAW_NONE) {
      if (tag[1] == '/')
        follow_tag(writer, tag);
      continue;
    }
    // "<sc", "<st", "<pr" and "<te", in any case, may begin one.
    char first = static_cast<char>(tag[1] | 0x20);
    char second = static_cast<char>(tag[2] | 0x20);
    if ((first == 's' && (second == 'c' || second == 't')) || (first == 'p' && second == 'r') ||
        (first == 't' && second == 'e'))
      follow_tag(writer, tag);
  }
}

// Writes the character whose UTF-8 sequence of `tail` + 1 bytes begins at
// `p` as a character reference; returns the bytes written.
int put_reference(BatWriter* writer, const char* p, int tail) {
  unsigned char lead = static_cast<unsigned char>(p[0]);
  unsigned long code = lead & (tail == 1 ? 0x1F : tail == 2 ? 0x0F : 0x07);
  for (int i = 1; i <= tail; i++)
    code = (code << 6) | (static_cast<unsigned char>(p[i]) & 0x3F);
  char* out = writer->staging + writer->staged;
  int length = snprintf(out, LARGEST_STEP, "%s&#x%lX;", writer->in_quotes ? "" : "^", code);
  writer->staged += static_cast<size_t>(length);
  return length;
}

// Writes one byte of page text as the interpreter must see it; returns the
// number of bytes written.
int put_page_byte(BatWriter* writer, char c) {
  char* out = writer->staging + writer->staged;
  int length = 0;
  if (needs_caret(writer, c))
    out[length++] = '^';
  else if (c == '%')
    out[length++] = '%';  // "%%" stands for one percent sign
  else if (c == '"')
    writer->in_quotes = !writer->in_quotes;
  out[length++] = c;
  writer->staged += static_cast<size_t>(length);
  return length;
}

}  // namespace

void write_bat_header(BatWriter* writer, FILE* stream, const char* source_path,
                      const RunOptions* options) {
  writer->stream = stream;
  writer->staged = 0;
  writer->written = 0;
  writer->failed = false;
  writer->reason = 0;
  writer->no_wrap = options->no_wrap;
  writer->entities = options->entities;
  writer->remove_blank_lines = options->remove_blank_lines;
  writer->expansion_off = false;
  writer->raw = RAW_NONE;
  writer->line_goes_on = false;
  writer->line_start = 0;
  put_text(writer, "@echo off\r\n");
  if (options->credits) {
    char name[LONG_PATH_CAPACITY + 1];
    base_name(source_path, name);
    put_text(writer, RULE_LINE);
    put_text(writer, "rem  Converted from ");
    put_remark_text(writer, name);
    put_text(writer, "\r\nrem  By " BANNER_TEXT "\r\nrem  Website: " HOME_URL "\r\n");
    put_text(writer, RULE_LINE);
  }
  if (options->cgi_header)
    put_text(writer, "echo Content-type: text/html\r\necho.\r\n");
  writer->in_quotes = false;
}

void write_blank_line(BatWriter* writer, const RunOptions* options) {
  if (options->remove_blank_lines)
    return;
  put_literal(writer, "echo.\r\n");
}

size_t trim_line(char* line, size_t length) {
  while (length > 0 && line[length - 1] == ' ')
    length--;
  while (length > 0 && line[length - 1] == '\t')
    length--;
  line[length] = '\0';
  return length;
}

namespace {

// Makes the current script line one that prints its text without a line
// end: its prefix becomes NO_LINE_END_PREFIX.
void drop_line_end(BatWriter* writer) {
  make_room(writer, PREFIX_GROWTH);
  char* line = writer->staging + writer->line_start;
  size_t text = writer->staged - writer->line_start - strlen(ECHO_PREFIX);
  memmove(line + strlen(NO_LINE_END_PREFIX), line + strlen(ECHO_PREFIX), text);
  memcpy(line, NO_LINE_END_PREFIX, strlen(NO_LINE_END_PREFIX));
  writer->staged += PREFIX_GROWTH;
}

// Ends the current script line, with a line end in the page where
// `line_end`, and starts one that prints `rest`.
void break_script_line(BatWriter* writer, EchoLine* echo, const char* rest, bool line_end) {
  if (!line_end)
    drop_line_end(writer);
  put_literal(writer, "\r\n");
  start_script_line(writer, rest);
  echo->column = 0;
  echo->length = strlen(ECHO_PREFIX);
  echo->wrap_pending = false;
  echo->blank = true;
  echo->limit = LENGTH_BREAK_START;
}

// Puts `text`, whole lines, before the current script line.
void insert_before_line(BatWriter* writer, const char* text) {
  size_t length = strlen(text);
  make_room(writer, length);
  char* line = writer->staging + writer->line_start;
  memmove(line + length, line, writer->staged - writer->line_start);
  memcpy(line, text, length);
  writer->line_start += length;
  writer->staged += length;
}

// Whether the script line takes the rest of the text from `p`, the last of
// its line, whatever the quotes: each byte counted with its escape and a
// character reference at its longest.
bool rest_fits(const BatWriter* writer, const EchoLine* echo, const char* p, const char* end) {
  if (writer->line_goes_on)
    return false;
  const ByteClasses& classes = classes_of(writer);
  size_t length = echo->length;
  for (; p < end; p++) {
    ByteClass kind = classes.of[static_cast<unsigned char>(*p)];
    length += kind == BYTE_PLAIN ? 1 : kind == BYTE_HIGH ? 4 : 2;
  }
  return length <= SCRIPT_LINE_LIMIT;
}

// Copies the plain bytes at `p` to `out`, at most `limit` of them, and
// returns how many there were.
size_t copy_plain(const ByteClasses& classes, char* out, const char* p, size_t limit) {
  size_t length = 0;
  while (length < limit && classes.of[static_cast<unsigned char>(p[length])] == BYTE_PLAIN) {
    out[length] = p[length];
    length++;
  }
  return length;
}

// Copies the plain bytes from `p` on, before `end` and as many as the
// current script line takes before a length break is due, and returns how
// many.
size_t put_plain_run(BatWriter* writer, EchoLine* echo, const char* p, const char* end) {
  size_t room = echo->limit - echo->length;
  make_room(writer, room);
  size_t left = static_cast<size_t>(end - p);
  size_t length = copy_plain(classes_of(writer), writer->staging + writer->staged, p,
                             left < room ? left : room);
  writer->staged += length;
  echo->column += static_cast<int>(length);
  echo->length += length;
  if (echo->blank && !blank_only_run(p, length))
    echo->blank = false;
  if (echo->column > WRAP_COLUMN)
    echo->wrap_pending = true;
  return length;
}

}  // namespace

namespace {

// The bytes of a UTF-8 sequence at `p` that the writer turns into one
// character reference, or 0 when it writes the byte at `p` as it stands.
int reference_tail(const BatWriter* writer, const char* p, const char* end) {
  if (static_cast<unsigned char>(*p) < 0x80 || !writes_references(writer))
    return 0;
  int tail = utf8_tail_length(p);
  return tail < end - p ? tail : 0;
}

// Writes one byte that is not plain, or a plain one where a length break
// may fall, breaking the script line before or after it where it must;
// with its continuation bytes where it begins a sequence written as a
// character reference.  Returns the bytes taken.
size_t put_single_byte(BatWriter* writer, EchoLine* echo, const char* line, const char* p,
                       const char* end) {
  make_room(writer, LARGEST_STEP);
  char c = *p;
  int tail = reference_tail(writer, p, end);
  bool outside = writer->raw == RAW_NONE;
  bool tag_break = !echo->blank && !writer->no_wrap && outside && c == '<' &&
                   (echo->wrap_pending || is_anchor_start(p));
  size_t size = tail > 0 ? 12 : written_size(writer, c);
  bool too_long = echo->length + size > SCRIPT_LINE_LIMIT;
  if (!too_long && echo->length + size > echo->limit && starts_no_end_line(c)) {
    if (rest_fits(writer, echo, p, end))
      echo->limit = SCRIPT_LINE_LIMIT;
    else
      too_long = true;
  }
  if (tag_break)
    break_script_line(writer, echo, p, true);
  else if (too_long && !inside_sequence(line, p))
    break_script_line(writer, echo, p, false);
  if (c == '<')
    follow_tag(writer, p);
  int written = tail > 0 ? put_reference(writer, p, tail) : put_page_byte(writer, c);
  echo->column += written;
  echo->length += static_cast<size_t>(written);
  if (!is_blank(c))
    echo->blank = false;
  if (c == '>' && echo->wrap_pending && !writer->no_wrap && writer->raw == RAW_NONE) {
    if (p + 1 < end) {
      break_script_line(writer, echo, "<", true);
      put_literal(writer, BREAK_MARKER);
      echo->length += strlen(BREAK_MARKER);
      echo->blank = false;
    }
    echo->column = 0;
    echo->wrap_pending = false;
    return 1;
  }
  if (echo->column > WRAP_COLUMN)
    echo->wrap_pending = true;
  return static_cast<size_t>(tail) + 1;
}

// What escape_blocks is told of the writer: the end tag of the raw
// element ends a block too, and so do the bytes that may become character
// references; `tags_break` where a wrap is pending, `before` the line's
// bytes before the block.
EscapeBlock block_for(const BatWriter* writer, bool tags_break, size_t before) {
  bool wraps = !writer->no_wrap && writer->raw == RAW_NONE;
  bool tracks = !writer->no_wrap || writer->entities;
  return EscapeBlock{writer->in_quotes,
                     tags_break,
                     wraps,
                     tracks ? RAW_CLOSERS[writer->raw] : '\0',
                     tracks && writer->raw == RAW_NONE,
                     0,
                     writes_references(writer),
                     before,
                     0};
}

// Takes in the `taken` bytes at `p` that escape_blocks wrote as `block`
// told back.
void take_block(BatWriter* writer, EchoLine* echo, const char* p, size_t taken,
                const EscapeBlock& block) {
  writer->staged += block.written;
  writer->in_quotes = block.in_quotes;
  // A start tag among the bytes taken enters its element from there on: the
  // next byte that needs a decision sees it.
  if (block.openers != 0)
    follow_tags(writer, p, taken);
  echo->column += static_cast<int>(block.written);
  echo->length += block.written;
}

// Writes the bytes from `p` in blocks for as long as no length break and no
// start of a pending wrap can fall among them; returns how many, 0 when the
// next byte needs a decision of its own.
size_t put_blocks(BatWriter* writer, EchoLine* echo, const char* line, const char* p,
                  const char* end) {
  // A blank script line takes no break before its first byte, nor does a
  // block; from a byte that is not blank on, it is not blank any more.
  if ((echo->blank && is_blank(*p)) || echo->length > echo->limit)
    return 0;
  size_t room = echo->limit - echo->length;
  bool wraps = !writer->no_wrap && writer->raw == RAW_NONE;
  if (wraps && !echo->wrap_pending) {
    size_t to_wrap =
        echo->column < WRAP_COLUMN ? static_cast<size_t>(WRAP_COLUMN - echo->column) : 0;
    if (to_wrap < room)
      room = to_wrap;
  }
  // Where every byte left, escaped, stays within the room, no limit can be
  // reached: the blocks go on to the end of the line.
  size_t rest = static_cast<size_t>(end - p);
  if (2 * rest <= room)
    room = 2 * rest + ESCAPE_LINE_ROOM;
  else if (room < ESCAPE_BLOCK_ROOM)
    return 0;
  make_room(writer, room);
  EscapeBlock block = block_for(writer, wraps && echo->wrap_pending, static_cast<size_t>(p - line));
  size_t taken = escape_blocks(p, static_cast<size_t>(end - p), writer->staging + writer->staged,
                               room, &block);
  take_block(writer, echo, p, taken, block);
  if (taken > 0)
    echo->blank = false;
  if (echo->column > WRAP_COLUMN)
    echo->wrap_pending = true;
  return taken;
}

// The escape of a whole line from its start, for as far as it goes before
// a byte that needs a decision of its own, where no limit can fall among
// the bytes it writes: the wrap column is not passed (which a line of at
// most half of it cannot do; a longer one is tried, and left to put_blocks
// when it would), nor the length bound.  The script line has just been
// opened; `lead` of the bytes are blanks.  Returns the bytes taken.
size_t put_line_blocks(BatWriter* writer, EchoLine* echo, const char* line, size_t size,
                       size_t lead) {
  if (size > static_cast<size_t>(WRAP_COLUMN))
    return 0;
  size_t room = 2 * size + ESCAPE_LINE_ROOM;
  make_room(writer, room);
  EscapeBlock block = block_for(writer, false, 0);
  size_t taken = escape_blocks(line, size, writer->staging + writer->staged, room, &block);
  if (block.written > static_cast<size_t>(WRAP_COLUMN))
    return 0;
  take_block(writer, echo, line, taken, block);
  if (taken > lead)
    echo->blank = false;
  return taken;
}

// Whether "echo " may take `text` for a request of its own; the first byte
// rules out most lines.
bool may_misread(const char* text) {
  char c = static_cast<char>(*text | 0x20);
  return (c == '/' || c == 'o') && echo_would_misread(text);
}

}  // namespace

void write_echo_piece(BatWriter* writer, const char* line, size_t size, bool goes_on) {
  // The script line of the piece before is still open: the pieces of a line
  // are written as if they came at once.
  bool first = !writer->line_goes_on;
  writer->line_goes_on = goes_on;
  if (!writer->expansion_off && memchr(line, '!', size) != nullptr) {
    if (first)
      put_literal(writer, EXPANSION_OFF_LINE);
    else
      insert_before_line(writer, EXPANSION_OFF_LINE);
    writer->expansion_off = true;
  }
  // Kept in a local while the piece is written, where the compiler can hold
  // it in registers.
  EchoLine echo = writer->echo;
  const char* end = line + size;
  const char* p = line;
  if (first) {
    size_t lead = 0;
    while (lead < size && is_blank(line[lead]))
      lead++;
    if (lead == size && !goes_on) {
      // "echo" with nothing but blanks after it prints the echo state.
      put_literal(writer, "echo.\r\n");
      return;
    }
    open_script_line(writer, lead < size && !may_misread(line + lead));
    echo = EchoLine();
    echo.length = strlen(ECHO_PREFIX);
    echo.limit = LENGTH_BREAK_START;
    if (!goes_on)
      p += put_line_blocks(writer, &echo, line, size, lead);
  }
  while (p < end) {
    size_t taken = put_blocks(writer, &echo, line, p, end);
    if (taken > 0) {
      p += taken;
      continue;
    }
    // Plain bytes go in runs, up to where a length break may fall.
    if (classes_of(writer).of[static_cast<unsigned char>(*p)] == BYTE_PLAIN &&
        echo.length < echo.limit) {
      p += put_plain_run(writer, &echo, p, end);
      continue;
    }
    p += put_single_byte(writer, &echo, line, p, end);
  }
  if (goes_on)
    writer->echo = echo;
  else
    put_literal(writer, "\r\n");
}

long write_direct_lines(BatWriter* writer, SourceStream* stream, int tab_width, ComImage* image) {
  if (!direct_lines_used() || !direct_escape_available() || writer->line_goes_on ||
      writer->no_wrap || writer->entities)
    return 0;
  long lines = 0;
  DirectLine line = {};
  // The image takes a line's text as the reader stores it, tabs as blanks,
  // so a line with tabs goes the long way there.
  line.tabs_blank = tab_width == 1 && image == nullptr;
  const size_t prefix = strlen(ECHO_PREFIX);
  while (!writer->failed && (image == nullptr || !image->failed)) {
    make_room(writer, prefix + DIRECT_LINE_ROOM);
    line.bang_refused = !writer->expansion_off;
    // Inside an element that takes no break, a script line may pass the
    // wrap column: it breaks for length alone, far beyond a direct line.
    line.inside = writer->raw == RAW_NONE ? nullptr : RAW_NAMES[writer->raw].name;
    line.widest = writer->raw == RAW_NONE ? static_cast<size_t>(WRAP_COLUMN) : SIZE_MAX;
    const char* p = reinterpret_cast<const char*>(stream->block + stream->position);
    char* out = writer->staging + writer->staged;
    if (!escape_direct_line(p, stream->length - stream->position, out + prefix, &line))
      break;
    stream->position += line.taken;
    if (line.text == 0) {
      if (!writer->remove_blank_lines)
        put_literal(writer, "echo.\r\n");
      continue;
    }
    lines++;
    if (image != nullptr)
      com_record_piece(image, p, line.trimmed, false);
    if (line.blank) {
      // "echo" with nothing but blanks after it prints the echo state.
      put_literal(writer, "echo.\r\n");
      continue;
    }
    writer->line_start = writer->staged;
    memcpy(out, ECHO_PREFIX, prefix);
    memcpy(out + prefix + line.written, "\r\n", 2);
    writer->staged += prefix + line.written + 2;
    writer->in_quotes = line.in_quotes;
  }
  return lines;
}

void finish_bat(BatWriter* writer) {
  flush_staging(writer);
}
