// Converts arbitrary bytes as a page twice with the same switches: once
// the fast way (lines written from where they lie in the read block, the
// best block escape the processor has) and once the reference way (every
// line through the line buffer, escaped a byte at a time), and once more
// with each narrower block.  The scripts and the COM images must be the
// same to the byte.  The first byte of the input holds the switches, the
// second more of them and the tab width; the rest is the page.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/run_options.h"
#include "convert/bat_writer.h"
#include "convert/com_image.h"
#include "convert/escape_block.h"
#include "convert/line_reader.h"
#include "convert/source_stream.h"

namespace {

struct Way {
  const char* name;
  bool direct_lines;
  EscapeLevel level;
};

// The reference comes last.
const Way WAYS[] = {{"fast", true, ESCAPE_AVX512},
                    {"32-byte blocks", true, ESCAPE_AVX2},
                    {"16-byte blocks", true, ESCAPE_SSSE3},
                    {"direct lines alone", true, ESCAPE_BYTES},
                    {"64-byte blocks alone", false, ESCAPE_AVX512},
                    {"32-byte blocks alone", false, ESCAPE_AVX2},
                    {"reference", false, ESCAPE_BYTES}};
const int WAY_COUNT = sizeof WAYS / sizeof WAYS[0];
const int REFERENCE = WAY_COUNT - 1;

// Tells where two outputs part, and ends the run.
[[noreturn]] void differ(const char* way, const char* output, const std::string& got,
                         const std::string& want) {
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at])
    at++;
  size_t from = at > 40 ? at - 40 : 0;
  fprintf(stderr, "the %s way wrote another %s than the reference, from byte %zu:\n  %s\n  %s\n",
          way, output, at, got.substr(from, 80).c_str(), want.substr(from, 80).c_str());
  abort();
}

SourceStream source;
BatWriter writer;
ComImage image;
char line[LINE_CAPACITY + 1];

std::string contents(FILE* file) {
  std::string bytes;
  if (fflush(file) != 0 || fseek(file, 0, SEEK_SET) != 0)
    abort();
  char block[4096];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) > 0)
    bytes.append(block, got);
  return bytes;
}

// The driver's reading loop over one source: each line, or piece of a line
// kept whole, to the script and, when compiling, the COM image.
void convert(const uint8_t* page, size_t size, const RunOptions& options, std::string* script,
             std::string* com) {
  static char nothing[1];
  FILE* in =
      size > 0 ? fmemopen(const_cast<uint8_t*>(page), size, "rb") : fmemopen(nothing, 1, "rb");
  FILE* bat = tmpfile();
  FILE* program = tmpfile();
  if (in == nullptr || bat == nullptr || program == nullptr)
    abort();
  if (size == 0)
    fgetc(in);  // an empty page
  source_attach(&source, in);
  write_bat_header(&writer, bat, "PAGE.HTM", &options);
  if (options.compile_com)
    com_begin_image(&image, program, &options, "PAGE.HTM");
  bool continuing = false;
  bool ended = false;
  while (!source.at_end && !source.has_error) {
    if (!continuing)
      write_direct_lines(&writer, &source, options.tab_width,
                         options.compile_com ? &image : nullptr);
    int length = 0;
    char* text =
        continuing ? nullptr : take_direct_line(&source, LINE_CAPACITY, options.tab_width, &length);
    if (text == nullptr) {
      text = line;
      line[0] = '\0';
      if (fgetstr(line, LINE_CAPACITY, &source, options.tab_width, options.discard_overflow,
                  &length) == FGETSTR_FATAL)
        break;
    }
    bool read_on = source.line_goes_on;
    bool goes_on = read_on && length == LINE_CAPACITY;
    if (ended) {
    } else if (text[0] == '\0' && !continuing) {
      write_blank_line(&writer, &options);
    } else {
      size_t kept = static_cast<size_t>(length);
      if (!goes_on)
        kept = trim_line(text, kept);
      if (options.compile_com)
        com_record_piece(&image, text, kept, goes_on);
      write_echo_piece(&writer, text, kept, goes_on);
    }
    ended = read_on && (ended || !goes_on);
    continuing = read_on;
  }
  finish_bat(&writer);
  if (options.compile_com)
    com_finish_image(&image);
  *script = contents(bat);
  *com = contents(program);
  fclose(in);
  fclose(bat);
  fclose(program);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2)
    return 0;
  RunOptions options;
  options.discard_overflow = (data[0] & 0x01) == 0;
  options.no_wrap = (data[0] & 0x02) != 0;
  options.remove_blank_lines = (data[0] & 0x04) != 0;
  options.entities = (data[0] & 0x08) != 0;
  options.compile_com = (data[0] & 0x10) != 0;
  options.credits = (data[0] & 0x20) != 0;
  options.cgi_header = (data[0] & 0x40) != 0;
  options.tab_width = data[1] % 21;
  std::string scripts[WAY_COUNT];
  std::string coms[WAY_COUNT];
  for (int way = 0; way < WAY_COUNT; way++) {
    use_direct_lines(WAYS[way].direct_lines);
    use_escape_level(WAYS[way].level);
    convert(data + 2, size - 2, options, &scripts[way], &coms[way]);
  }
  use_direct_lines(true);
  use_escape_level(ESCAPE_AVX512);
  for (int way = 0; way < REFERENCE; way++) {
    if (scripts[way] != scripts[REFERENCE])
      differ(WAYS[way].name, "script", scripts[way], scripts[REFERENCE]);
    if (coms[way] != coms[REFERENCE])
      differ(WAYS[way].name, "COM image", coms[way], coms[REFERENCE]);
  }
  return 0;
}
