// Reads arbitrary bytes as a page, writes its script, and checks what the
// command interpreter would print for each script line against the lines
// the reader delivered: no line past the interpreter's 8191 bytes, no echo
// of blanks alone, nothing the interpreter would act on, and every byte of
// every line printed, apart from the writer's breaks and their marker; a
// line that the reader delivers in pieces (/W) prints as one line.  With
// character references on, UTF-8 text outside scripts and style sheets is
// expected as references.  The first line that holds a '!' comes after the
// one line that turns delayed expansion off, and no other line does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/run_options.h"
#include "convert/bat_writer.h"
#include "convert/escape_block.h"
#include "convert/line_reader.h"
#include "convert/source_stream.h"

namespace {

const size_t INTERPRETER_LINE_LIMIT = 8191;
const char MARKER[] = "<!--crlf-->";
const char EXPANSION_OFF_LINE[] = "setlocal DisableDelayedExpansion\r\n";
const char NO_LINE_END[] = "<nul set /p =";

[[noreturn]] void fail(const char* what, const std::string& detail) {
  fprintf(stderr, "property broken: %s\n  %.300s\n", what, detail.c_str());
  abort();
}

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// What "echo" prints for the text after its prefix, read as the interpreter
// reads a line: '%%' stands for '%', a double quote toggles quoting, and
// outside quotes a caret makes the next byte plain while < > | & act.
std::string printed_text(const std::string& text) {
  std::string out;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '%') {
      if (i + 1 >= text.size() || text[i + 1] != '%')
        fail("a lone percent sign would expand", text);
      out += '%';
      i++;
    } else if (c == '"') {
      quoted = !quoted;
      out += c;
    } else if (!quoted && c == '^') {
      if (i + 1 >= text.size())
        fail("a script line ends in a bare caret", text);
      char next = text[++i];
      if (next == '%')
        fail("a caret before a percent sign", text);
      out += next;
    } else if (!quoted && strchr("<>|&", c) != nullptr) {
      fail("the interpreter would act on a byte", text);
    } else {
      out += c;
    }
  }
  return out;
}

bool blanks_only(const std::string& text) {
  return text.find_first_not_of(" \t") == std::string::npos;
}

// What one script line prints; *line_end tells whether it ends the printed
// line.
std::string run_echo(const std::string& script_line, bool* line_end) {
  if (script_line.size() > INTERPRETER_LINE_LIMIT)
    fail("a script line past the interpreter's reach", script_line.substr(0, 80));
  *line_end = script_line.compare(0, strlen(NO_LINE_END), NO_LINE_END) != 0;
  if (!*line_end) {
    std::string text = script_line.substr(strlen(NO_LINE_END));
    if (text.empty())
      fail("set /p with nothing to print", script_line);
    return printed_text(text);
  }
  if (script_line.compare(0, 5, "echo.") == 0)
    return printed_text(script_line.substr(5));
  if (script_line.compare(0, 5, "echo ") != 0)
    fail("a script line that is no echo command", script_line);
  std::string text = script_line.substr(5);
  if (blanks_only(text))
    fail("echo with blanks alone prints the echo state", script_line);
  std::string printed = printed_text(text);
  size_t start = printed.find_first_not_of(" \t");
  std::string word = upper(printed.substr(start));
  size_t end = word.find_last_not_of(" \t");
  word = word.substr(0, end + 1);
  if (word == "ON" || word == "OFF" || word.compare(0, 2, "/?") == 0)
    fail("echo would take the text for a request", script_line);
  return printed;
}

std::vector<std::string> split_lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos)
      fail("script text without its CR LF", bytes.substr(start));
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// Whether the printed pieces of one source line give back `expected`; a piece
// after the first may open with the break marker, which may also be text.
bool pieces_give(const std::vector<std::string>& pieces, size_t index, const std::string& expected,
                 size_t at) {
  if (index == pieces.size())
    return at == expected.size();
  const std::string& piece = pieces[index];
  if (expected.compare(at, piece.size(), piece) == 0 &&
      pieces_give(pieces, index + 1, expected, at + piece.size()))
    return true;
  size_t marker = strlen(MARKER);
  return index > 0 && piece.compare(0, marker, MARKER) == 0 &&
         expected.compare(at, piece.size() - marker, piece, marker, std::string::npos) == 0 &&
         pieces_give(pieces, index + 1, expected, at + piece.size() - marker);
}

std::string written_so_far(BatWriter* writer, FILE* file, long from) {
  finish_bat(writer);
  fflush(file);
  long end = ftell(file);
  std::string bytes(static_cast<size_t>(end - from), '\0');
  fseek(file, from, SEEK_SET);
  if (fread(&bytes[0], 1, bytes.size(), file) != bytes.size())
    abort();
  fseek(file, end, SEEK_SET);
  return bytes;
}

// The state that decides where the writer uses character references: the
// script or style sheet the page is in, followed tag by tag as the writer
// follows it, within each piece the reader delivers.
struct RawModel {
  int kind = 0;  // 0 none, else 1 + index in NAMES
};
const char* const NAMES[] = {"SCRIPT", "STYLE", "PRE", "TEXTAREA"};

bool name_at(const char* p, const char* name) {
  size_t n = strlen(name);
  for (size_t i = 0; i < n; i++) {
    char c = p[i];
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    if (c != name[i])
      return false;
  }
  return strchr(" \t\f/>", p[n]) != nullptr;  // NUL included
}

void follow(RawModel* model, const char* p) {
  if (model->kind == 0) {
    for (int k = 0; k < 4; k++)
      if (name_at(p + 1, NAMES[k])) {
        model->kind = k + 1;
        return;
      }
  } else if (p[1] == '/' && name_at(p + 2, NAMES[model->kind - 1])) {
    model->kind = 0;
  }
}

// The bytes of the well-formed UTF-8 sequence at `p`, or 0.
int sequence_length(const unsigned char* p, size_t left) {
  unsigned char b = p[0];
  int n = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
  if (n == 0 || static_cast<size_t>(n) > left)
    return 0;
  unsigned long code = b & (n == 2 ? 0x1F : n == 3 ? 0x0F : 0x07);
  for (int i = 1; i < n; i++) {
    if ((p[i] & 0xC0) != 0x80)
      return 0;
    code = (code << 6) | (p[i] & 0x3F);
  }
  bool overlong = (n == 3 && code < 0x800) || (n == 4 && code < 0x10000);
  if (overlong || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
    return 0;
  return n;
}

// What a piece of page text prints with character references on.
std::string with_references(RawModel* model, const char* piece) {
  std::string out;
  size_t length = strlen(piece);
  for (size_t i = 0; i < length; i++) {
    if (piece[i] == '<')
      follow(model, piece + i);
    int n = 0;
    if (model->kind != 1 && model->kind != 2)
      n = sequence_length(reinterpret_cast<const unsigned char*>(piece + i), length - i);
    if (n == 0) {
      out += piece[i];
      continue;
    }
    unsigned long code = static_cast<unsigned char>(piece[i]) & (n == 2 ? 0x1F : n == 3 ? 0x0F : 7);
    for (int k = 1; k < n; k++)
      code = (code << 6) | (static_cast<unsigned char>(piece[i + k]) & 0x3F);
    char reference[16];
    snprintf(reference, sizeof reference, "&#x%lX;", code);
    out += reference;
    i += static_cast<size_t>(n - 1);
  }
  return out;
}

SourceStream source;
BatWriter writer;
BatWriter reference;  // the same lines without the sixteen-byte fast path
const bool FAST_PATH = escape_blocks_available();
char line[LINE_CAPACITY + 1];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  RunOptions options;
  options.tab_width = data[0] % 21;
  options.discard_overflow = (data[0] & 0x20) == 0;
  options.no_wrap = (data[0] & 0x40) != 0;
  options.remove_blank_lines = (data[0] & 0x80) != 0;
  options.entities = data[0] % 3 == 0;
  options.credits = false;
  options.cgi_header = false;
  static char nothing[1];
  FILE* page = size > 1 ? fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb")
                        : fmemopen(nothing, 1, "rb");
  FILE* script = tmpfile();
  FILE* reference_script = tmpfile();
  if (page == nullptr || script == nullptr || reference_script == nullptr)
    abort();
  if (size == 1)
    fgetc(page);  // an empty page
  source_attach(&source, page);
  write_bat_header(&writer, script, "PAGE.HTM", &options);
  if (written_so_far(&writer, script, 0) != "@echo off\r\n")
    fail("the header", "");
  long from = ftell(script);
  write_bat_header(&reference, reference_script, "PAGE.HTM", &options);
  long reference_from = static_cast<long>(written_so_far(&reference, reference_script, 0).size());
  bool expansion_off = false;
  bool continuing = false;  // the reader's last piece went on in this one
  bool bang = false;        // the line so far holds a '!'
  int line_pieces = 0;      // the pieces of the line so far
  bool ended = false;       // its text ended at a NUL; the rest is read away
  std::string expected;     // of the line so far
  std::string page_text;    // the same as the page has it
  RawModel model;
  while (!source.at_end && !source.has_error) {
    line[0] = '\0';
    if (fgetstr(line, LINE_CAPACITY, &source, options.tab_width, options.discard_overflow) ==
        FGETSTR_FATAL)
      break;
    // A line's text ends at its first NUL: the pieces after one are read
    // away, as the driver does.
    bool read_on = source.line_goes_on;
    bool goes_on = read_on && strlen(line) == static_cast<size_t>(LINE_CAPACITY);
    if (ended) {
      ended = read_on;
      continuing = read_on;
      continue;
    }
    bool echoed = line[0] != '\0' || continuing;
    if (!continuing) {
      expected.clear();
      page_text.clear();
      bang = false;
      line_pieces = 0;
    }
    line_pieces++;
    if (!echoed) {
      write_blank_line(&writer, &options);
    } else {
      size_t size = strlen(line);
      if (!goes_on)
        size = trim_line(line, size);
      page_text += line;
      expected += options.entities ? with_references(&model, line) : std::string(line);
      bang = bang || strchr(line, '!') != nullptr;
      write_echo_piece(&writer, line, size, goes_on);
      use_escape_blocks(false);
      write_echo_piece(&reference, line, size, goes_on);
      use_escape_blocks(FAST_PATH);
    }
    ended = read_on && !goes_on;
    continuing = read_on;
    if (goes_on)
      continue;
    // A line of blanks alone prints as an empty line; the pieces of a longer
    // one keep their blanks but for the last piece's trailing ones.
    if (echoed && line_pieces == 1 && blanks_only(page_text))
      expected.clear();
    std::string bytes = written_so_far(&writer, script, from);
    from = ftell(script);
    if (echoed) {
      if (written_so_far(&reference, reference_script, reference_from) != bytes)
        fail("the fast path wrote other bytes than the byte-at-a-time one", page_text);
      reference_from = ftell(reference_script);
    }
    // The line that turns expansion off stands on its own: first, or after a
    // line end (page text may hold its words too).
    size_t off = bytes.compare(0, strlen(EXPANSION_OFF_LINE), EXPANSION_OFF_LINE) == 0
                     ? 0
                     : bytes.find(std::string("\r\n") + EXPANSION_OFF_LINE);
    if (off != 0 && off != std::string::npos)
      off += 2;
    if (!expansion_off && bang) {
      if (off == std::string::npos)
        fail("the first line with '!' leaves delayed expansion as it was", page_text);
      bytes.erase(off, strlen(EXPANSION_OFF_LINE));
      expansion_off = true;
    } else if (off != std::string::npos) {
      fail("delayed expansion turned off again, or with no '!'", page_text);
    }
    if (bytes.empty() && !echoed && options.remove_blank_lines)
      continue;
    // A script line that prints without a line end joins the next.
    std::vector<std::string> pieces;
    bool joined = false;
    for (const std::string& script_line : split_lines(bytes)) {
      bool line_end = true;
      std::string printed = run_echo(script_line, &line_end);
      if (joined)
        pieces.back() += printed;
      else
        pieces.push_back(printed);
      joined = !line_end;
    }
    if (joined)
      fail("the last script line of a line prints no line end", bytes.substr(0, 200));
    if (pieces.empty() || (options.no_wrap && pieces.size() > 1))
      fail("/NOWRAP broke a line", bytes.substr(0, 200));
    if (!pieces_give(pieces, 0, expected, 0))
      fail("the script does not print the line", expected.substr(0, 200));
  }
  fclose(page);
  fclose(script);
  fclose(reference_script);
  return 0;
}
