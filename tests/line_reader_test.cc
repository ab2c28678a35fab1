#include "convert/line_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
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
  // reader's result.  The length that the reader reports must be that text's.
  std::string next(int tab_width = 1, bool discard = true, int* result = nullptr) {
    std::vector<char> line(LINE_CAPACITY + 1, 'Z');
    int length = -1;
    int r = fgetstr(line.data(), LINE_CAPACITY, stream_.get(), tab_width, discard, &length);
    if (result != nullptr)
      *result = r;
    std::string text(line.data());
    EXPECT_EQ(text.size(), static_cast<size_t>(length)) << text;
    return text;
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

// A plain model of the reader, one byte at a time from a string; the reader
// proper takes runs of buffered bytes and must end every line, and leave the
// stream, exactly where this does.
struct ByteModel {
  std::string data;
  size_t position = 0;
  bool at_end = false;

  int read() {
    if (position < data.size())
      return static_cast<unsigned char>(data[position++]);
    at_end = true;
    return SOURCE_END;
  }

  int next(std::string* line, int capacity, int tab_width, bool discard) {
    line->clear();
    int last = 0;
    while (static_cast<int>(line->size()) < capacity) {
      int b = last = read();
      if (b == '\t' && tab_width > 0) {
        for (int i = 0; i < tab_width && static_cast<int>(line->size()) < capacity; i++)
          line->push_back(' ');
      } else if (b == SOURCE_END || b == '\n') {
        break;
      } else if (b != '\r') {
        line->push_back(static_cast<char>(b));
      }
    }
    if (discard && last != '\n') {
      long dropped = 0;
      int b = read();
      while (!at_end && b != '\n' && b != SOURCE_END) {
        if (++dropped >= DISCARD_LIMIT)
          return FGETSTR_FATAL;
        b = read();
      }
      if (last != SOURCE_END)
        last = b == SOURCE_END ? '\n' : b;
    }
    return !line->empty() && last == SOURCE_END ? '\n' : last;
  }
};

// Lines of every length up to a few capacities, with carriage returns, tabs,
// NUL and 0xFF bytes anywhere, over several stream blocks.
std::string random_source(std::mt19937* random, int capacity, size_t size) {
  static const char alphabet[] = "aaaaaaaabcd<>&   \t\t\r\x00\xff";
  std::uniform_int_distribution<int> pick(0, sizeof alphabet - 2);
  std::uniform_int_distribution<int> length(0, 3 * capacity);
  std::uniform_int_distribution<int> kind(0, 9);
  std::string bytes;
  while (bytes.size() < size) {
    int n = kind(*random) < 7 ? length(*random) % (capacity / 2 + 2) : length(*random);
    for (int i = 0; i < n; i++)
      bytes.push_back(alphabet[pick(*random)]);
    bytes += kind(*random) < 3 ? "\r\n" : "\n";
  }
  if (kind(*random) < 5)
    bytes.resize(bytes.size() - 1);  // no line feed at the end
  return bytes;
}

// What fgetstr gives for a line that a line feed ended.
const int LINE_FEED_RESULT = 10;

TEST(LineReader, TakesRunsAcrossBlocksAsByteAtATimeReadingWould) {
  std::mt19937 random(11);
  const int capacities[] = {1, 2, 7, 64, LINE_CAPACITY};
  for (int round = 0; round < 24; round++) {
    int capacity = capacities[round % 5];
    int tab_width = round % 3 == 0 ? 0 : round % 4 + 1;
    bool discard = round % 2 == 0;
    std::string bytes = random_source(&random, capacity, SOURCE_BLOCK_SIZE * 2 + 1000);
    SCOPED_TRACE("round " + std::to_string(round));
    Source source(bytes);
    ByteModel model{bytes};
    std::vector<char> line(static_cast<size_t>(capacity) + 1);
    std::string expected;
    int lines = 0;
    // Half the rounds take the lines that allow it where they lie, as the
    // driver does.
    bool direct = round % 4 < 2;
    do {
      int want = model.next(&expected, capacity, tab_width, discard);
      int length = -1;
      const char* text = direct && !source.stream()->line_goes_on
                             ? take_direct_line(source.stream(), capacity, tab_width, &length)
                             : nullptr;
      int got = LINE_FEED_RESULT;
      if (text == nullptr) {
        got = fgetstr(line.data(), capacity, source.stream(), tab_width, discard, &length);
        text = line.data();
      }
      ASSERT_EQ(want, got) << "line " << lines;
      ASSERT_EQ(expected.find('\0') == std::string::npos ? expected.size() : expected.find('\0'),
                static_cast<size_t>(length))
          << "line " << lines;
      ASSERT_EQ(expected, std::string(text, expected.size())) << "line " << lines;
      ASSERT_EQ('\0', text[expected.size()]) << "line " << lines;
      ASSERT_EQ(model.at_end, source.stream()->at_end) << "line " << lines;
      lines++;
    } while (!model.at_end);
  }
}

TEST(LineReader, StopsDiscardingAtTheLimitWhereverTheBlocksEnd) {
  // Tails that end at the limit, one byte short of it and one beyond, with
  // the limit falling at different places in a block.
  for (size_t head : {size_t{10}, SOURCE_BLOCK_SIZE - 3}) {
    for (long tail : {DISCARD_LIMIT - 1L, DISCARD_LIMIT + 0L, DISCARD_LIMIT + 1L}) {
      std::string bytes = std::string(head, 'a') + std::string(tail, 'b') + "\nnext";
      int capacity = static_cast<int>(head) - 1;
      Source source(bytes);
      ByteModel model{bytes};
      std::vector<char> line(head);
      std::string expected;
      testing::internal::CaptureStdout();
      int want = model.next(&expected, capacity, 1, true);
      int got = fgetstr(line.data(), capacity, source.stream(), 1, true);
      testing::internal::GetCapturedStdout();
      EXPECT_EQ(want, got) << head << " " << tail;
      if (got != FGETSTR_FATAL) {
        EXPECT_EQ("next", source.next());
      }
    }
  }
}

}  // namespace
