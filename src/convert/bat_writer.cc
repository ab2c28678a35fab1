#include "convert/bat_writer.h"

#include <cstring>

#include "console/product.h"
#include "front/names.h"

namespace {

const char RULE_LINE[] = "rem -------------------------------------------------------------\r\n";
const char ECHO_PREFIX[] = "echo ";
const char BREAK_MARKER[] = "^<!--crlf--^>";

// Room that one source byte may need in the staging buffer: a line break,
// a fresh prefix, the marker and the escaped byte.
const size_t LARGEST_STEP = 32;

void flush_staging(BatWriter* writer) {
  if (writer->staged > 0)
    fwrite(writer->staging, 1, writer->staged, writer->stream);
  writer->staged = 0;
}

void put_bytes(BatWriter* writer, const char* bytes, size_t length) {
  if (writer->staged + length > BAT_STAGING_SIZE)
    flush_staging(writer);
  if (length > BAT_STAGING_SIZE) {
    fwrite(bytes, 1, length, writer->stream);
    return;
  }
  memcpy(writer->staging + writer->staged, bytes, length);
  writer->staged += length;
}

void put_text(BatWriter* writer, const char* text) {
  put_bytes(writer, text, strlen(text));
}

// Starts a script line; the interpreter reads each line with quoting off.
void start_script_line(BatWriter* writer) {
  put_text(writer, ECHO_PREFIX);
  writer->in_quotes = false;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool blank_only(const char* line) {
  while (is_blank(*line))
    line++;
  return *line == '\0';
}

bool is_anchor_start(const char* p) {
  return p[0] == '<' && (p[1] == 'a' || p[1] == 'A') && p[2] == ' ';
}

// Writes one byte of page text as the interpreter must see it; returns the
// number of bytes written.
int put_page_byte(BatWriter* writer, char c) {
  char* out = writer->staging + writer->staged;
  int length = 0;
  switch (c) {
    case '<':
    case '>':
    case '|':
    case '&':
    case '^':
      if (!writer->in_quotes)
        out[length++] = '^';
      out[length++] = c;
      break;
    case '%':
      out[length++] = '%';
      out[length++] = '%';
      break;
    case '"':
      writer->in_quotes = !writer->in_quotes;
      out[length++] = c;
      break;
    default:
      out[length++] = c;
      break;
  }
  writer->staged += static_cast<size_t>(length);
  return length;
}

}  // namespace

void write_bat_header(BatWriter* writer, FILE* stream, const char* source_path,
                      const RunOptions* options) {
  writer->stream = stream;
  writer->staged = 0;
  put_text(writer, "@echo off\r\n");
  if (options->credits) {
    char name[PATH_CAPACITY + 1];
    base_name(source_path, name);
    put_text(writer, RULE_LINE);
    put_text(writer, "rem  Converted from ");
    put_text(writer, name);
    put_text(writer, "\r\nrem  By " BANNER_TEXT "\r\nrem  Website: " HOME_URL "\r\n");
    put_text(writer, RULE_LINE);
  }
  if (options->cgi_header)
    put_text(writer, "echo Content-type: text/html\r\necho.\r\n");
  writer->in_quotes = false;
  flush_staging(writer);
}

void write_blank_line(BatWriter* writer, const RunOptions* options) {
  if (options->remove_blank_lines)
    return;
  put_text(writer, "echo.\r\n");
  flush_staging(writer);
}

void trim_trailing(char* line, char value) {
  size_t length = strlen(line);
  while (length > 0 && line[length - 1] == value)
    length--;
  line[length] = '\0';
}

void write_echo_line(BatWriter* writer, const char* line) {
  if (blank_only(line)) {
    // "echo" with nothing but blanks after it prints the echo state.
    put_text(writer, "echo.\r\n");
    flush_staging(writer);
    return;
  }
  start_script_line(writer);
  int column = 0;
  bool wrap_pending = false;
  bool line_blank = true;  // the script line holds only blanks after its prefix
  for (const char* p = line; *p != '\0'; p++) {
    if (writer->staged + LARGEST_STEP > BAT_STAGING_SIZE)
      flush_staging(writer);
    char c = *p;
    if (c == '<' && (wrap_pending || is_anchor_start(p)) && !line_blank) {
      put_text(writer, "\r\n");
      start_script_line(writer);
      column = 0;
      wrap_pending = false;
      line_blank = true;
    }
    column += put_page_byte(writer, c);
    if (!is_blank(c))
      line_blank = false;
    if (c == '>' && wrap_pending) {
      if (p[1] != '\0') {
        put_text(writer, "\r\n");
        start_script_line(writer);
        put_text(writer, BREAK_MARKER);
      }
      column = 0;
      wrap_pending = false;
      continue;
    }
    if (column > WRAP_COLUMN)
      wrap_pending = true;
  }
  put_text(writer, "\r\n");
  flush_staging(writer);
}
