// Builds COM and MZ images from arbitrary lines, paths and settings and runs
// each in a tiny real-mode emulator of the instructions an image uses, loaded
// as DOS loads it: by its signature, a COM image at offset 100h of its
// program segment, an MZ image by its header.  The image must jump to its
// code, print only from its text and never from its code, print exactly the
// recorded lines, '$' included, and end with exit code 0.  A COM image must
// hold every line within its bound; an MZ image must fit in conventional
// memory with its stack apart from its text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/product.h"
#include "common/run_options.h"
#include "convert/com_image.h"
#include "convert/mz_image.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
  fprintf(stderr, "property broken: %s\n  %.300s\n", what, detail.c_str());
  abort();
}

const uint32_t PSP_SEGMENT = 0x1000;
const uint32_t MEMORY_TOP = 0xA0000;  // the end of conventional memory

enum { AX, CX, DX, BX, SP, BP, SI, DI };
enum { ES, CS, SS, DS };

struct Machine {
  uint8_t memory[0x110000];  // room for any segment:offset
  uint16_t reg[8];
  uint16_t seg[4];
  uint16_t ip;
  bool zero;
  std::string printed;
  bool executed[0x110000];  // each byte run as code
  uint32_t image_end;       // linear end of the image loaded
};

Machine machine;

uint32_t linear(uint16_t segment, uint16_t offset) {
  return (static_cast<uint32_t>(segment) << 4) + offset;
}

uint8_t fetch(Machine* m) {
  uint32_t at = linear(m->seg[CS], m->ip);
  m->executed[at] = true;
  m->ip++;
  return m->memory[at];
}

uint16_t fetch_word(Machine* m) {
  uint16_t low = fetch(m);
  return static_cast<uint16_t>(low | fetch(m) << 8);
}

uint8_t byte_reg(const Machine& m, int r) {
  uint16_t w = m.reg[r & 3];
  return static_cast<uint8_t>(r < 4 ? w & 0xFF : w >> 8);
}

void set_byte_reg(Machine* m, int r, uint8_t v) {
  uint16_t& w = m->reg[r & 3];
  w = static_cast<uint16_t>(r < 4 ? (w & 0xFF00) | v : (w & 0x00FF) | v << 8);
}

// A ModRM byte of the register form, the only one the images use.
void modrm(Machine* m, int* reg, int* rm) {
  uint8_t b = fetch(m);
  if ((b >> 6) != 3)
    fail("an instruction that addresses memory through ModRM");
  *reg = (b >> 3) & 7;
  *rm = b & 7;
}

uint16_t set_zero(Machine* m, uint16_t v) {
  m->zero = v == 0;
  return v;
}

// INT 21h as DOS answers the functions the images call; true on 4Ch.
bool dos_call(Machine* m) {
  uint8_t ah = byte_reg(*m, 4);
  if (ah == 0x02) {
    m->printed += static_cast<char>(m->reg[DX] & 0xFF);
    set_byte_reg(m, 0, static_cast<uint8_t>(m->reg[DX] & 0xFF));
  } else if (ah == 0x09) {
    uint16_t offset = m->reg[DX];
    for (;;) {
      uint32_t at = linear(m->seg[DS], offset);
      if (at >= m->image_end)
        fail("a string printed from beyond the image");
      if (m->executed[at])
        fail("a string printed from the code");
      if (m->memory[at] == '$')
        break;
      m->printed += static_cast<char>(m->memory[at]);
      offset++;  // wraps within the segment, as DOS does
    }
    set_byte_reg(m, 0, '$');  // as MS-DOS leaves it
  } else if (ah == 0x4C) {
    return true;
  } else if (ah != 0x0D) {
    fail("an unknown DOS function");
  }
  return false;
}

// Runs the loaded program; returns its exit code.
int run(Machine* m) {
  for (long steps = 0; steps < 50000000; steps++) {
    uint8_t op = fetch(m);
    int reg, rm;
    if (op == 0xE9) {
      uint16_t displacement = fetch_word(m);
      m->ip = static_cast<uint16_t>(m->ip + displacement);
    } else if (op == 0xEB || op == 0x74 || op == 0xE3) {
      int8_t displacement = static_cast<int8_t>(fetch(m));
      bool taken = op == 0xEB || (op == 0x74 && m->zero) || (op == 0xE3 && m->reg[CX] == 0);
      if (taken)
        m->ip = static_cast<uint16_t>(m->ip + displacement);
    } else if (op >= 0xB8 && op <= 0xBF) {
      m->reg[op - 0xB8] = fetch_word(m);
    } else if (op >= 0xB0 && op <= 0xB7) {
      set_byte_reg(m, op - 0xB0, fetch(m));
    } else if (op == 0x05) {
      m->reg[AX] = set_zero(m, static_cast<uint16_t>(m->reg[AX] + fetch_word(m)));
    } else if (op == 0x01 || op == 0x31 || op == 0x89) {
      modrm(m, &reg, &rm);
      uint16_t v = m->reg[reg];
      if (op == 0x01)
        m->reg[rm] = set_zero(m, static_cast<uint16_t>(m->reg[rm] + v));
      else if (op == 0x31)
        m->reg[rm] = set_zero(m, static_cast<uint16_t>(m->reg[rm] ^ v));
      else
        m->reg[rm] = v;
    } else if (op == 0x8C || op == 0x8E) {
      modrm(m, &reg, &rm);
      if (reg > DS)
        fail("no such segment register");
      if (op == 0x8C)
        m->reg[rm] = m->seg[reg];
      else if (reg == CS)
        fail("MOV CS");
      else
        m->seg[reg] = m->reg[rm];
    } else if (op == 0xF6 || op == 0x80) {
      modrm(m, &reg, &rm);
      uint8_t v = fetch(m);
      if ((op == 0xF6 && reg != 0) || (op == 0x80 && reg != 4))
        fail("an unknown byte operation");
      uint8_t result = static_cast<uint8_t>(byte_reg(*m, rm) & v);
      m->zero = result == 0;
      if (op == 0x80)
        set_byte_reg(m, rm, result);
    } else if (op == 0x83) {
      modrm(m, &reg, &rm);
      uint16_t v = static_cast<uint16_t>(static_cast<int8_t>(fetch(m)));
      if (reg != 4)
        fail("an unknown word operation");
      m->reg[rm] = set_zero(m, m->reg[rm] & v);
    } else if (op == 0xD3) {
      modrm(m, &reg, &rm);
      if (reg != 5)
        fail("an unknown shift");
      m->reg[rm] = set_zero(m, static_cast<uint16_t>(m->reg[rm] >> (m->reg[CX] & 0x1F)));
    } else if (op == 0xAD) {
      uint32_t at = linear(m->seg[DS], m->reg[SI]);
      if (at + 2 > m->image_end)
        fail("a length read from beyond the image");
      m->reg[AX] = static_cast<uint16_t>(m->memory[at] | m->memory[at + 1] << 8);
      m->reg[SI] = static_cast<uint16_t>(m->reg[SI] + 2);
    } else if (op == 0xFC) {
      // CLD: the emulator only counts upwards
    } else if (op == 0xCD) {
      uint8_t number = fetch(m);
      if (number == 0x20)
        fail("the program ended through INT 20h, not with its exit code");
      if (number != 0x21)
        fail("an unknown interrupt");
      if (dos_call(m))
        return m->reg[AX] & 0xFF;
    } else {
      fail("an instruction the image should not hold",
           std::to_string(op) + " at " + std::to_string(m->ip - 1));
    }
  }
  fail("the program never ends");
}

uint16_t word_in(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1])
                                                                     << 8);
}

// Loads the image as DOS would, by its signature, and runs it; returns its
// exit code.
int load_and_run(Machine* m, const std::string& image) {
  // HLT, which the emulator refuses, wherever the last image lay; the rest
  // of memory holds it from the start.
  static bool first = true;
  if (first)
    memset(m->memory, 0xF4, sizeof m->memory);
  else
    memset(m->memory + PSP_SEGMENT * 16, 0xF4, m->image_end - PSP_SEGMENT * 16);
  first = false;
  memset(m->executed + PSP_SEGMENT * 16, 0, MEMORY_TOP - PSP_SEGMENT * 16);
  memset(m->reg, 0, sizeof m->reg);
  m->printed.clear();
  m->zero = false;
  m->seg[DS] = m->seg[ES] = PSP_SEGMENT;
  uint32_t load = PSP_SEGMENT * 16 + 0x100;
  if (image.size() < 2 || image.compare(0, 2, "MZ") != 0) {
    if (image.size() > static_cast<size_t>(COM_IMAGE_LIMIT))
      fail("a COM image passes its bound", std::to_string(image.size()));
    memcpy(m->memory + load, image.data(), image.size());
    m->image_end = load + static_cast<uint32_t>(image.size());
    m->seg[CS] = m->seg[SS] = PSP_SEGMENT;
    m->ip = 0x100;
    m->reg[SP] = 0xFFFE;
    return run(m);
  }
  if (image.size() < 0x1C)
    fail("an MZ header cut short");
  uint32_t pages = word_in(image, 4), last = word_in(image, 2);
  uint32_t size = pages * 512 - (last != 0 ? 512 - last : 0);
  uint32_t header = word_in(image, 8) * 16u;
  if (size != image.size() || last >= 512 || header < 0x1C || header > size)
    fail("the MZ header's sizes are not the file's", std::to_string(image.size()));
  if (word_in(image, 6) != 0)
    fail("an MZ image with relocations");
  uint32_t module = size - header;
  uint32_t paragraphs = (module + 15) / 16 + word_in(image, 0x0A);
  if (load + paragraphs * 16 > MEMORY_TOP)
    fail("an MZ image that does not fit in conventional memory", std::to_string(paragraphs));
  memcpy(m->memory + load, image.data() + header, module);
  m->image_end = load + module;
  uint16_t load_segment = static_cast<uint16_t>(load >> 4);
  m->seg[SS] = static_cast<uint16_t>(load_segment + word_in(image, 0x0E));
  m->reg[SP] = word_in(image, 0x10);
  uint32_t stack_top = linear(m->seg[SS], m->reg[SP]);
  if (stack_top > load + paragraphs * 16 || stack_top < m->image_end + 256)
    fail("the stack is not 256 bytes of its own in the memory asked for");
  m->seg[CS] = static_cast<uint16_t>(load_segment + word_in(image, 0x16));
  m->ip = word_in(image, 0x14);
  return run(m);
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
  // A byte 0x01 parts a line into the pieces in which the reader would
  // deliver a long one: they print as one line.
  std::vector<std::vector<std::string>> pieces(lines.size());
  for (size_t i = 0; i < lines.size(); i++) {
    std::string& line = lines[i];
    size_t start = 0;
    for (size_t at; (at = line.find('\x01', start)) != std::string::npos; start = at + 1)
      pieces[i].push_back(line.substr(start, at - start));
    pieces[i].push_back(line.substr(start));
    std::string whole;
    for (size_t k = 0; k < pieces[i].size(); k++) {
      const std::string& piece = pieces[i][k];
      bool goes_on = k + 1 < pieces[i].size();
      if (pieces[i].size() == 1)
        com_record_line(&image, piece.c_str());
      else
        com_record_piece(&image, piece.c_str(), piece.size(), goes_on);
      whole += piece;
    }
    line = whole;
  }
  if (!com_finish_image(&image))
    fail("the image could not be written");
  std::string bytes = read_whole(file);
  fclose(file);

  bool exe = bytes.compare(0, 2, "MZ") == 0;
  if (!exe && (bytes[0] != '\xE9' ||
               static_cast<uint8_t>(bytes[1]) + (static_cast<uint8_t>(bytes[2]) << 8) + 3 !=
                   image.byte_offset))
    fail("the jump does not land on the code start");
  if (exe && image.byte_offset != static_cast<int32_t>(bytes.size()))
    fail("the summary's size is not the MZ image's");

  std::string expected;
  if (options.cgi_header) {
    expected = "Content-type: text/html\r\n\r\n";
    if (options.credits)
      expected += "<!-- \nConverted from " + path +
                  "\r\nBy " BANNER_TEXT "\r\nWebsite: " HOME_URL "\r\n -->\r\n";
  }
  size_t held = static_cast<size_t>(image.lines_held);
  for (size_t i = 0; i < held; i++)
    expected += lines[i] + "\r\n";
  if (held < lines.size()) {
    // Only an MZ image leaves lines out, and only the lines that its text
    // part has no room for.
    const std::string& next = lines[held];
    size_t dollars = pieces[held].size() - 1;  // a length word for each piece
    for (char c : next)
      dollars += c == '$';
    if (!exe ||
        bytes.size() + 2 + next.size() + 3 + 2 * dollars <= static_cast<size_t>(MZ_TEXT_LIMIT))
      fail("a line left out of an image with room for it", std::to_string(held));
  }
  if (load_and_run(&machine, bytes) != 0)
    fail("the exit code is not 0");
  // Of a line left out, the pieces that found room before the cut may print.
  std::string printed = machine.printed;
  if (held < lines.size() && printed.size() > expected.size() &&
      printed.compare(0, expected.size(), expected) == 0) {
    std::string part;
    for (const std::string& piece : pieces[held]) {
      part += piece;
      if (expected + part == printed) {
        expected = printed;
        break;
      }
    }
  }
  if (printed != expected)
    fail("the program does not print the recorded text", printed.substr(0, 200));
  return 0;
}
