#include "convert/com_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/product.h"
#include "convert/mz_image.h"

namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) {
    out.push_back(static_cast<char>(v));
  }
  return out;
}

std::string read_all(FILE* f) {
  fflush(f);
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  std::string out(static_cast<size_t>(size), '\0');
  fseek(f, 0, SEEK_SET);
  size_t got = fread(&out[0], 1, out.size(), f);
  out.resize(got);
  return out;
}

RunOptions options_with(bool cgi_header, bool credits) {
  RunOptions options;
  options.cgi_header = cgi_header;
  options.credits = credits;
  return options;
}

// Builds a whole image from `lines` and returns the file's bytes.
std::string build(ComImage* image, const RunOptions& options, const std::string& source,
                  const std::vector<std::string>& lines) {
  FILE* f = tmpfile();
  com_begin_image(image, f, &options, source.c_str());
  for (const std::string& line : lines) {
    com_record_line(image, line.c_str());
  }
  EXPECT_TRUE(com_finish_image(image));
  std::string out = read_all(f);
  fclose(f);
  return out;
}

std::string summary_of(const ComImage& image, const char* source, const char* com) {
  FILE* f = tmpfile();
  com_print_summary(f, &image, source, com);
  std::string out = read_all(f);
  fclose(f);
  return out;
}

// The record address that the print call at `index` passes in DX.
int print_address(const std::string& file, int32_t code_start, int index) {
  size_t at = static_cast<size_t>(code_start) + 7 * static_cast<size_t>(index);
  EXPECT_EQ(static_cast<unsigned char>(file[at]), 0xBA);
  return static_cast<unsigned char>(file[at + 1]) | static_cast<unsigned char>(file[at + 2]) << 8;
}

int word_at(const std::string& file, size_t at) {
  return static_cast<unsigned char>(file[at]) | static_cast<unsigned char>(file[at + 1]) << 8;
}

// What an MZ image prints: the text part's pieces in order, each up to its
// closing '$', which is printed too when bit 15 of its length says so.
std::string mz_printed(const std::string& file) {
  std::string out;
  size_t at = 32 + 64;
  for (int word; at + 2 <= file.size() && (word = word_at(file, at)) != 0;) {
    size_t length = static_cast<size_t>(word & 0x7FFF);
    at += 2;
    std::string piece = file.substr(at, length);
    EXPECT_EQ(piece.find('$'), length - 1) << "piece at " << at;
    out += piece.substr(0, length - 1) + ((word & 0x8000) != 0 ? "$" : "");
    at += length;
  }
  EXPECT_EQ(at + 2, file.size());  // the end mark closes the file
  return out;
}

std::string crlf_lines(const std::vector<std::string>& lines, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; i++)
    out += lines[i] + "\r\n";
  return out;
}

bool is_mz(const std::string& file) {
  return file.compare(0, 2, "MZ") == 0;
}

const std::string EXIT = bytes({0xB4, 0x0D, 0xCD, 0x21, 0xB8, 0x00, 0x4C, 0xCD, 0x21, 0xCD, 0x20});
const std::string PRINT_DOLLAR = bytes({0xB2, 0x24, 0xB4, 0x02, 0xCD, 0x21});
const std::string FILLER = "$0a";
const std::vector<std::string> HELLO_WORLD = {"Hello", "World"};

TEST(ComImageTest, TwoLinesWithoutHeader) {
  ComImage image;
  std::string file = build(&image, options_with(false, true), "C:\\WEB\\HI.HTM", HELLO_WORLD);
  std::string expected = bytes({0xE9, 0x13, 0x00}) + "Hello\r\n$World\r\n$" + FILLER +
                         bytes({0xBA, 0x03, 0x01, 0xB4, 0x09, 0xCD, 0x21}) +
                         bytes({0xBA, 0x0B, 0x01, 0xB4, 0x09, 0xCD, 0x21}) + EXIT;
  EXPECT_EQ(file, expected);
  EXPECT_EQ(file.size(), 47u);
  EXPECT_EQ(summary_of(image, "C:\\WEB\\HI.HTM", "C:\\WEB\\HI.com"),
            "\x10 Compiled C:\\WEB\\HI.HTM as a COM file Ok:\n  -> C:\\WEB\\HI.com (22 bytes)\n");
}

TEST(ComImageTest, TwoLinesWithHeaderWithoutCredits) {
  ComImage image;
  std::string file = build(&image, options_with(true, false), "C:\\WEB\\HI.HTM", HELLO_WORLD);
  std::string expected = bytes({0xE9, 0x2F, 0x00}) + "Content-type: text/html\r\n\r\n$" +
                         "Hello\r\n$World\r\n$" + FILLER +
                         bytes({0xBA, 0x03, 0x01, 0xB4, 0x09, 0xCD, 0x21}) +
                         bytes({0xBA, 0x1F, 0x01, 0xB4, 0x09, 0xCD, 0x21}) +
                         bytes({0xBA, 0x27, 0x01, 0xB4, 0x09, 0xCD, 0x21}) + EXIT;
  EXPECT_EQ(file, expected);
  EXPECT_EQ(file.size(), 82u);
  EXPECT_EQ(image.byte_offset, 50);
}

TEST(ComImageTest, TwoLinesWithHeaderAndCredits) {
  ASSERT_EQ(sizeof BANNER_TEXT - 1, 40u);
  ASSERT_EQ(sizeof HOME_URL - 1, 30u);
  ComImage image;
  std::string file = build(&image, options_with(true, true), "C:\\WEB\\HI.HTM", HELLO_WORLD);
  std::string expected = bytes({0xE9, 0xAF, 0x00}) + "Content-type: text/html\r\n\r\n" +
                         "<!-- \nConverted from C:\\WEB\\HI.HTM\r\nBy " BANNER_TEXT
                         "\r\nWebsite: " HOME_URL "\r\n -->\r\n$" +
                         "Hello\r\n$World\r\n$" + FILLER +
                         bytes({0xBA, 0x03, 0x01, 0xB4, 0x09, 0xCD, 0x21}) +
                         bytes({0xBA, 0x9F, 0x01, 0xB4, 0x09, 0xCD, 0x21}) +
                         bytes({0xBA, 0xA7, 0x01, 0xB4, 0x09, 0xCD, 0x21}) + EXIT;
  EXPECT_EQ(file, expected);
  EXPECT_EQ(file.size(), 210u);
  EXPECT_EQ(image.byte_offset, 178);
}

TEST(ComImageTest, EmptySource) {
  ComImage image;
  EXPECT_EQ(build(&image, options_with(false, false), "E.HTM", {}),
            bytes({0xE9, 0x03, 0x00}) + FILLER + EXIT);
  EXPECT_EQ(image.byte_offset, 6);
  EXPECT_EQ(build(&image, options_with(true, false), "E.HTM", {}),
            bytes({0xE9, 0x1F, 0x00}) + "Content-type: text/html\r\n\r\n$" + FILLER +
                bytes({0xBA, 0x03, 0x01, 0xB4, 0x09, 0xCD, 0x21}) + EXIT);
  EXPECT_EQ(image.byte_offset, 34);
}

TEST(ComImageTest, LineEmptyAfterTrimmingIsAnEmptyRecord) {
  ComImage image;
  std::string file = build(&image, options_with(false, false), "E.HTM", {"", "A"});
  EXPECT_EQ(file.substr(3, 7), "\r\n$A\r\n$");
  EXPECT_EQ(print_address(file, image.byte_offset, 1), 0x106);
  EXPECT_EQ(image.lines_held, 2);
}

TEST(ComImageTest, PercentAndLongPathWrittenWhole) {
  std::string path = "C:\\" + std::string(700, 'D') + "\\100%d%s%n.HTM";
  ComImage image;
  std::string file = build(&image, options_with(true, true), path, {"x"});
  std::string line = "Converted from " + path + "\r\n";
  EXPECT_EQ(file.substr(36, line.size()), line);
  int32_t first_line = static_cast<int32_t>(76 + path.size() + 40 + 30);
  EXPECT_EQ(file.substr(static_cast<size_t>(first_line), 4), "x\r\n$");
  EXPECT_EQ(print_address(file, image.byte_offset, 1), first_line + 0x100);
  EXPECT_EQ(summary_of(image, path.c_str(), "A%s.COM"),
            "\x10 Compiled " + path + " as a COM file Ok:\n  -> A%s.COM (" +
                std::to_string(image.byte_offset) + " bytes)\n");
}

// With `cgi_header`, the header takes one of the 1024 records: `held`
// lines fill the COM image, and one more makes it an MZ image.
void check_record_limit(bool cgi_header, int held) {
  std::vector<std::string> lines;
  for (int i = 0; i <= held; i++) {
    lines.push_back("L" + std::to_string(i));
  }
  ComImage image;
  std::string last = lines.back();
  lines.pop_back();
  std::string file = build(&image, options_with(cgi_header, false), "X.HTM", lines);
  EXPECT_EQ(image.record_count, COM_MAX_RECORDS);
  EXPECT_EQ(file.size(), static_cast<size_t>(image.byte_offset) + 7 * 1024 + 11);
  EXPECT_EQ(file.substr(file.size() - 11), EXIT);
  int address = print_address(file, image.byte_offset, 1023) - 0x100;
  std::string text = lines.back() + "\r\n$$0a";
  EXPECT_EQ(file.substr(static_cast<size_t>(address), text.size()), text);

  lines.push_back(last);
  file = build(&image, options_with(cgi_header, false), "X.HTM", lines);
  ASSERT_TRUE(is_mz(file));
  std::string header = cgi_header ? "Content-type: text/html\r\n\r\n" : "";
  EXPECT_EQ(mz_printed(file), header + crlf_lines(lines, lines.size()));
  EXPECT_EQ(image.lines_held, held + 1);
  EXPECT_EQ(summary_of(image, "X.HTM", "X.COM"),
            "\x10 Compiled X.HTM as a COM file Ok:\n  -> X.COM (" + std::to_string(file.size()) +
                " bytes)\n");
}

TEST(ComImageTest, RecordLimit) {
  check_record_limit(true, 1023);
  check_record_limit(false, 1024);
}

// Lines of 997 bytes make records of 1000; 49 of them end at offset 49003.
std::vector<std::string> lines_near_text_limit() {
  return std::vector<std::string>(49, std::string(997, 'a'));
}

TEST(ComImageTest, LineThatWouldBeCutAtTheTextLimitMakesAnMzImage) {
  std::vector<std::string> lines = lines_near_text_limit();
  lines.push_back(std::string(994, 'b') + "$c");  // the 994th byte reaches 49997
  lines.push_back("after$");
  ComImage image;
  std::string file = build(&image, options_with(false, false), "X.HTM", lines);
  ASSERT_TRUE(is_mz(file));
  EXPECT_EQ(mz_printed(file), crlf_lines(lines, lines.size()));
  EXPECT_EQ(image.lines_held, 51);
}

TEST(ComImageTest, TextLimitReachedOnALinesLastByte) {
  std::vector<std::string> lines = lines_near_text_limit();
  lines.push_back(std::string(993, 'b') + "$");
  ComImage image;
  std::string file = build(&image, options_with(false, false), "X.HTM", lines);
  EXPECT_FALSE(image.recording);
  EXPECT_EQ(image.lines_held, 50);
  EXPECT_EQ(summary_of(image, "X.HTM", "X.COM"),
            "\x10 Compiled X.HTM as a COM file Ok:\n  -> X.COM (50003 bytes)\n");
  EXPECT_EQ(file.substr(file.size() - 11 - 13, 6), PRINT_DOLLAR);

  // One more line, even an empty one, no longer fits the COM image.
  lines.push_back("");
  file = build(&image, options_with(false, false), "X.HTM", lines);
  ASSERT_TRUE(is_mz(file));
  EXPECT_EQ(mz_printed(file), crlf_lines(lines, lines.size()));
  EXPECT_EQ(image.lines_held, 51);
}

TEST(ComImageTest, EmptyRecordsPastTheLimitThenOneByte) {
  std::vector<std::string> lines = lines_near_text_limit();
  lines.push_back(std::string(993, 'b'));  // text ends at 49996, record at 49999
  lines.push_back("");                     // 50002, still recording
  lines.push_back("x");                    // its one byte stops recording
  ComImage image;
  std::string file = build(&image, options_with(false, false), "X.HTM", lines);
  EXPECT_EQ(image.record_count, 52);
  EXPECT_EQ(file.substr(49999, 10), "\r\n$x\r\n$$0a");
  EXPECT_EQ(print_address(file, image.byte_offset, 51), 50002 + 0x100);

  lines.back() = "xy";  // would be cut after its first byte
  file = build(&image, options_with(false, false), "X.HTM", lines);
  ASSERT_TRUE(is_mz(file));
  EXPECT_EQ(image.lines_held, 52);
}

std::string print_from(int address) {
  return bytes({0xBA, address & 0xFF, address >> 8, 0xB4, 0x09, 0xCD, 0x21});
}

TEST(ComImageTest, EveryDollarIsPrintedOnItsOwn) {
  ComImage image;
  std::string file = build(&image, options_with(false, false), "X.HTM", {"a$b", "$$", "$"});
  // Records at 3, 9 and 14; filler at 18; code at 21.
  std::string expected = bytes({0xE9, 0x12, 0x00}) + "a$b\r\n$$$\r\n$$\r\n$" + FILLER +
                         print_from(0x103) + PRINT_DOLLAR + print_from(0x105) + print_from(0x109) +
                         PRINT_DOLLAR + print_from(0x10A) + PRINT_DOLLAR + print_from(0x10B) +
                         print_from(0x10E) + PRINT_DOLLAR + print_from(0x10F) + EXIT;
  EXPECT_EQ(file, expected);
  EXPECT_EQ(image.byte_offset, 21);

  // A '$' in the source path inside the header's comment is printed too.
  build(&image, options_with(true, true), "C$\\P.HTM", {});
  EXPECT_EQ(image.dollar_count, 1);
}

TEST(ComImageTest, DollarCodeCountsAgainstTheImageBound) {
  // 40,000 bytes of text, but the code for its '$'s passes COM_IMAGE_LIMIT.
  std::vector<std::string> lines(1000, std::string(40, '$'));
  ComImage image;
  std::string file = build(&image, options_with(false, false), "X.HTM", lines);
  ASSERT_TRUE(is_mz(file));
  EXPECT_EQ(mz_printed(file), crlf_lines(lines, lines.size()));
  EXPECT_EQ(image.lines_held, 1000);
}

TEST(ComImageTest, MzImageLayout) {
  std::vector<std::string> lines(1024, "x");
  lines[0] = "a$b";
  lines[1] = "";
  lines[2] = "\xe9\xff\t$";
  ComImage image;
  std::string file = build(&image, options_with(true, true), "C:\\$\\P.HTM", lines);
  EXPECT_EQ(image.byte_offset, static_cast<int32_t>(file.size()));
  size_t size = file.size();
  EXPECT_EQ(file.substr(0, 2), "MZ");
  EXPECT_EQ(word_at(file, 0x02), static_cast<int>(size % 512));
  EXPECT_EQ(word_at(file, 0x04), static_cast<int>((size + 511) / 512));
  EXPECT_EQ(word_at(file, 0x06), 0);                                        // no relocations
  EXPECT_EQ(word_at(file, 0x08), 2);                                        // header paragraphs
  EXPECT_EQ(word_at(file, 0x0A), MZ_STACK_SIZE / 16);                       // the stack
  EXPECT_EQ(word_at(file, 0x0E), static_cast<int>((size - 32 + 15) / 16));  // behind the image
  EXPECT_EQ(word_at(file, 0x10), MZ_STACK_SIZE);
  EXPECT_EQ(word_at(file, 0x14), 0);  // entry at the code
  EXPECT_EQ(word_at(file, 0x16), 0);
  EXPECT_EQ(file.substr(32, 11),
            bytes({0xFC, 0x8C, 0xC8, 0x05, 0x04, 0x00, 0x8E, 0xD8, 0x31, 0xF6, 0xAD}));

  // The header record and each line's '$' start new pieces.
  std::string header = "Content-type: text/html\r\n\r\n<!-- \nConverted from C:\\$";
  EXPECT_EQ(word_at(file, 96), 0x8000 | static_cast<int>(header.size()));
  EXPECT_EQ(file.substr(98, header.size()), header);
  EXPECT_EQ(mz_printed(file),
            header + "\\P.HTM\r\nBy " BANNER_TEXT "\r\nWebsite: " HOME_URL "\r\n -->\r\n" +
                crlf_lines(lines, lines.size()));
  EXPECT_EQ(
      summary_of(image, "P.HTM", "P.COM"),
      "\x10 Compiled P.HTM as a COM file Ok:\n  -> P.COM (" + std::to_string(size) + " bytes)\n");
}

// Lines of 95 bytes take 100 bytes of the text part each, their length
// included; the 2-byte end mark leaves room for 5242 of them.
TEST(ComImageTest, MzTextLimitCutsAtALineEnd) {
  std::vector<std::string> lines(6000, std::string(95, 'z'));
  lines.push_back("");
  ComImage image;
  std::string file = build(&image, options_with(false, false), "X.HTM", lines);
  ASSERT_TRUE(is_mz(file));
  EXPECT_EQ(mz_printed(file), crlf_lines(lines, 5242));
  EXPECT_EQ(file.size(), 96u + 5242 * 100 + 2);
  EXPECT_LE(file.size() - 96, static_cast<size_t>(MZ_TEXT_LIMIT));
  EXPECT_EQ(summary_of(image, "X.HTM", "X.COM"),
            "\x10 Compiled X.HTM as a COM file Ok:\n  -> X.COM (524298 bytes)\n"
            "Warning: X.COM holds only the first 5242 of 6001 lines\n");
}

TEST(ComImageTest, ImagesInARowAreIndependent) {
  ComImage image;
  build(&image, options_with(true, true), "C:\\WEB\\FIRST.HTM", {"one", "two$", "three"});
  EXPECT_EQ(image.dollar_count, 1);
  EXPECT_TRUE(is_mz(
      build(&image, options_with(false, false), "BIG.HTM", std::vector<std::string>(1100, "x"))));
  std::string second = build(&image, options_with(false, true), "C:\\WEB\\HI.HTM", HELLO_WORLD);
  ComImage fresh;
  EXPECT_EQ(second, build(&fresh, options_with(false, true), "C:\\WEB\\HI.HTM", HELLO_WORLD));
  EXPECT_EQ(image.record_offsets[0], 3);
  EXPECT_EQ(image.dollar_count, 0);
  EXPECT_EQ(summary_of(image, "HI.HTM", "HI.COM"),
            "\x10 Compiled HI.HTM as a COM file Ok:\n  -> HI.COM (22 bytes)\n");
}

}  // namespace
