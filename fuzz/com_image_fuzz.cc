// Builds COM images from arbitrary lines, paths and settings and runs each in
// a tiny emulator of the instructions an image uses.  The image must stay
// within its bound, jump to its code, print only from its text, print
// exactly the recorded text, '$' included, and end with exit code 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/product.h"
#include "common/run_options.h"
#include "convert/com_image.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
  fprintf(stderr, "property broken: %s\n  %.300s\n", what, detail.c_str());
  abort();
}

struct Machine {
  uint8_t memory[0x10000];
  uint16_t ip, dx;
  uint8_t ah, al;
  std::string printed;
};

Machine machine;

uint16_t word_at(const Machine& m, uint16_t at) {
  return static_cast<uint16_t>(m.memory[at] | m.memory[static_cast<uint16_t>(at + 1)] << 8);
}

// Runs the image as DOS would; returns its exit code.  `text_end` is the
// load address of the code start: every string printed lies below it.
int run_image(Machine* m, const std::string& image, uint16_t text_end) {
  memset(m->memory, 0xF4, sizeof m->memory);  // HLT, which the emulator refuses
  memcpy(m->memory + 0x100, image.data(), image.size());
  m->ip = 0x100;
  m->printed.clear();
  m->ah = m->al = 0;
  for (long steps = 0; steps < 1000000; steps++) {
    uint8_t op = m->memory[m->ip];
    if (op == 0xE9) {
      m->ip = static_cast<uint16_t>(m->ip + 3 + word_at(*m, static_cast<uint16_t>(m->ip + 1)));
    } else if (op == 0xBA) {
      m->dx = word_at(*m, static_cast<uint16_t>(m->ip + 1));
      m->ip = static_cast<uint16_t>(m->ip + 3);
    } else if (op == 0xB2) {
      m->dx = static_cast<uint16_t>((m->dx & 0xFF00) | m->memory[m->ip + 1]);
      m->ip = static_cast<uint16_t>(m->ip + 2);
    } else if (op == 0xB4) {
      m->ah = m->memory[m->ip + 1];
      m->ip = static_cast<uint16_t>(m->ip + 2);
    } else if (op == 0xB8) {
      uint16_t ax = word_at(*m, static_cast<uint16_t>(m->ip + 1));
      m->al = static_cast<uint8_t>(ax & 0xFF);
      m->ah = static_cast<uint8_t>(ax >> 8);
      m->ip = static_cast<uint16_t>(m->ip + 3);
    } else if (op == 0xCD && m->memory[m->ip + 1] == 0x20) {
      fail("the program ended through INT 20h, not with its exit code");
    } else if (op == 0xCD && m->memory[m->ip + 1] == 0x21) {
      m->ip = static_cast<uint16_t>(m->ip + 2);
      if (m->ah == 0x02) {
        m->printed += static_cast<char>(m->dx & 0xFF);
        m->al = static_cast<uint8_t>(m->dx & 0xFF);
      } else if (m->ah == 0x09) {
        if (m->dx < 0x103 || m->dx >= text_end)
          fail("a string printed from outside the text");
        uint16_t at = m->dx;
        while (m->memory[at] != '$') {
          if (at >= text_end)
            fail("a string that runs into the code");
          m->printed += static_cast<char>(m->memory[at++]);
        }
        m->al = '$';  // as MS-DOS leaves it
      } else if (m->ah == 0x4C) {
        return m->al;
      } else if (m->ah != 0x0D) {
        fail("an unknown DOS function");
      }
    } else {
      fail("an instruction the image should not hold");
    }
  }
  fail("the program never ends");
}

std::string read_whole(FILE* file) {
  fflush(file);
  fseek(file, 0, SEEK_END);
  long size = ftell(file);
  std::string bytes(static_cast<size_t>(size), '\0');
  rewind(file);
  if (size > 0 && fread(&bytes[0], 1, bytes.size(), file) != bytes.size())
    abort();
  return bytes;
}

ComImage image;

}  // namespace

// Input: a settings byte, a path up to the first newline, then the lines,
// each ended by a newline; NUL bytes end a line's text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1)
    return 0;
  RunOptions options;
  options.cgi_header = (data[0] & 1) != 0;
  options.credits = (data[0] & 2) != 0;
  int repeat = 1 + (data[0] >> 2);  // large images from small inputs
  std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t cut = rest.find('\n');
  std::string path = rest.substr(0, cut).c_str();
  std::vector<std::string> lines;
  if (cut != std::string::npos) {
    std::string body = rest.substr(cut + 1);
    for (int r = 0; r < repeat; r++) {
      size_t start = 0;
      while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos)
          end = body.size();
        lines.push_back(body.substr(start, end - start).c_str());
        start = end + 1;
      }
    }
  }

  FILE* file = tmpfile();
  if (file == nullptr)
    abort();
  com_begin_image(&image, file, &options, path.c_str());
  for (const std::string& line : lines)
    com_record_line(&image, line.c_str());
  if (!com_finish_image(&image))
    fail("the image could not be written");
  std::string bytes = read_whole(file);
  fclose(file);

  if (bytes.size() > static_cast<size_t>(COM_IMAGE_LIMIT))
    fail("the image passes its bound", std::to_string(bytes.size()));
  int32_t code_start = image.byte_offset;
  if (bytes[0] != '\xE9' ||
      static_cast<uint8_t>(bytes[1]) + (static_cast<uint8_t>(bytes[2]) << 8) + 3 != code_start)
    fail("the jump does not land on the code start");

  std::string expected;
  if (options.cgi_header) {
    expected = "Content-type: text/html\r\n\r\n";
    if (options.credits)
      expected += "<!-- \nConverted from " + path +
                  "\r\nBy " BANNER_TEXT "\r\nWebsite: " HOME_URL "\r\n -->\r\n";
  }
  int held = image.lines_held;
  for (int i = 0; i < held; i++)
    expected += lines[static_cast<size_t>(i)] + "\r\n";
  if (run_image(&machine, bytes, static_cast<uint16_t>(code_start + COM_LOAD_OFFSET)) != 0)
    fail("the exit code is not 0");
  const std::string& printed = machine.printed;
  if (printed.compare(0, expected.size(), expected) != 0)
    fail("the program does not print the recorded text", printed.substr(0, 200));
  if (printed.size() > expected.size()) {
    // One line cut at a limit: a part of it, then its line end.
    std::string tail = printed.substr(expected.size());
    const std::string& next = lines.at(static_cast<size_t>(held));
    if (tail.size() < 2 || tail.compare(tail.size() - 2, 2, "\r\n") != 0 ||
        next.compare(0, tail.size() - 2, tail, 0, tail.size() - 2) != 0 ||
        tail.size() - 2 >= next.size())
      fail("the cut line is not a part of the line", tail.substr(0, 200));
  }
  return 0;
}
