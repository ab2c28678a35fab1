#include "convert/line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

// A source held in a temporary file, read line by line as the driver does.
class Source {
 public:
  explicit Source(const std::string& bytes) : file_(tmpfile()) {
    fwrite(bytes.data(), 1, bytes.size(), file_);
    rewind(file_);
    source_attach(stream_.get(), file_);
  }
  ~Source() { fclose(file_); }

  // The next line as the consumers see it (up to its first NUL), and the
  // reader's result.
  std::string next(int tab_width = 1, bool discard = true, int* result = nullptr) {
    std::vector<char> line(LINE_CAPACITY + 1, 'Z');
    int r = fgetstr(line.data(), LINE_CAPACITY, stream_.get(), tab_width, discard);
    if (result != nullptr)
      *result = r;
    return std::string(line.data());
  }

  // Every line the driver would read, until the end-of-file indicator.
  std::vector<std::string> all(int tab_width = 1, bool discard = true) {
    std::vector<std::string> lines;
    do
      lines.push_back(next(tab_width, discard));
    while (!stream_->at_end);
    return lines;
  }

  SourceStream* stream() { return stream_.get(); }

 private:
  FILE* file_;
  std::unique_ptr<SourceStream> stream_{new SourceStream};
};

using Lines = std::vector<std::string>;

TEST(LineReader, EndsLinesAtLineFeedsAndDropsCarriageReturns) {
  EXPECT_EQ((Lines{"ab", "cd"}), Source("ab\r\ncd").all());
  EXPECT_EQ("ab", Source("a\rb\r\r\n").next());
  EXPECT_EQ((Lines{"ab", ""}), Source("ab\n").all());
  EXPECT_EQ((Lines{""}), Source("").all());
  EXPECT_EQ((Lines{"", "", "x"}), Source("\n\r\nx").all());
}

TEST(LineReader, ResultsAndTheEndOfFileIndicator) {
  Source source("ab\ncd");
  int result = 0;
  EXPECT_EQ("ab", source.next(1, true, &result));
  EXPECT_EQ(10, result);
  EXPECT_FALSE(source.stream()->at_end);
  EXPECT_EQ("cd", source.next(1, true, &result));
  EXPECT_EQ(10, result);
  EXPECT_TRUE(source.stream()->at_end);

  Source ends_with_feed("ab\n");
  ends_with_feed.next();
  EXPECT_FALSE(ends_with_feed.stream()->at_end);
  EXPECT_EQ("", ends_with_feed.next(1, true, &result));
  EXPECT_EQ(-1, result);
  EXPECT_TRUE(ends_with_feed.stream()->at_end);
}

TEST(LineReader, ExpandsTabs) {
  EXPECT_EQ("    x", Source("\tx").next(4));
  EXPECT_EQ("\tx", Source("\tx").next(0));
  EXPECT_EQ(" x ", Source("\tx\t").next(1));
}

TEST(LineReader, KeepsNulAndHighBytesAsData) {
  Source source(std::string("x\0y\n\x1a\x80\xff\n", 8));
  std::vector<char> line(LINE_CAPACITY + 1);
  fgetstr(line.data(), LINE_CAPACITY, source.stream(), 1, true);
  EXPECT_EQ(std::string("x\0y", 4), std::string(line.data(), 4));
  EXPECT_EQ("\x1a\x80\xff", source.next());
}

TEST(LineReader, CutsLongLinesAndDiscardsTheirTails) {
  std::string exact(LINE_CAPACITY, 'a');
  EXPECT_EQ((Lines{exact, "next"}), Source(exact + "\nnext").all());
  EXPECT_EQ((Lines{exact, "", "next"}), Source(exact + "\nnext").all(1, false));

  std::string longer = exact + "wxyz";
  EXPECT_EQ((Lines{exact, "next"}), Source(longer + "\nnext").all());
  EXPECT_EQ((Lines{exact, "wxyz", "next"}), Source(longer + "\nnext").all(1, false));

  // A carriage return takes no room in the line but counts in the tail.
  std::string with_cr = std::string(100, 'a') + "\r" + std::string(LINE_CAPACITY - 100, 'a');
  EXPECT_EQ((Lines{exact, ""}), Source(with_cr + "tail\r\n").all());

  // A byte 0xFF in the tail is read away like any other.
  EXPECT_EQ((Lines{exact, "next"}), Source(longer + "\xff"
                                                    "after\nnext")
                                        .all());
}

TEST(LineReader, LosesTheBlanksOfATabThatReachesTheCapacity) {
  std::string head(LINE_CAPACITY - 2, 'a');
  int result = 0;
  Source kept(head + "\tbc\n");
  EXPECT_EQ(head + "  ", kept.next(4, false, &result));
  EXPECT_EQ(9, result);
  EXPECT_EQ("bc", kept.next(4, false));

  Source discarded(head + "\tbc\nnext");
  EXPECT_EQ(head + "  ", discarded.next(4, true, &result));
  EXPECT_EQ(10, result);
  EXPECT_EQ("next", discarded.next(4, true));
}

TEST(LineReader, GivesUpOnAnEndlessTail) {
  std::string head(LINE_CAPACITY, 'a');
  Source short_tail(head + std::string(DISCARD_LIMIT - 1, 'b') + "\nnext");
  short_tail.next();
  EXPECT_EQ("next", short_tail.next());

  testing::internal::CaptureStdout();
  Source endless(head + std::string(DISCARD_LIMIT, 'b') + "\nnext");
  int result = 0;
  endless.next(1, true, &result);
  EXPECT_EQ(FGETSTR_FATAL, result);
  EXPECT_EQ("Fatal loop error in fgetstr()\n", testing::internal::GetCapturedStdout());
}

TEST(LineReader, DeliversWhatWasReadBeforeAReadError) {
  // Reading a directory fails on the first read.
  FILE* directory = fopen(".", "rb");
  if (directory == nullptr)
    GTEST_SKIP() << "directories cannot be opened as streams here";
  std::unique_ptr<SourceStream> stream(new SourceStream);
  source_attach(stream.get(), directory);
  std::vector<char> line(LINE_CAPACITY + 1);
  fgetstr(line.data(), LINE_CAPACITY, stream.get(), 1, true);
  EXPECT_STREQ("", line.data());
  EXPECT_TRUE(stream->has_error);
  EXPECT_FALSE(stream->at_end);
  fclose(directory);
}

}  // namespace
