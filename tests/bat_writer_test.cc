#include "convert/bat_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/product.h"
#include "convert/escape_block.h"
#include "convert/line_reader.h"

namespace {

// Collects what the writer writes for a few calls.
class Script {
 public:
  Script() : file_(tmpfile()) {}
  ~Script() { fclose(file_); }

  void header(const char* source_path) {
    write_bat_header(writer_.get(), file_, source_path, &options);
  }
  void line(const char* text) {
    if (writer_->stream == nullptr)
      writer_->stream = file_;
    write_echo_piece(writer_.get(), text, strlen(text), false);
  }
  void piece(const std::string& text, bool goes_on) {
    if (writer_->stream == nullptr)
      writer_->stream = file_;
    write_echo_piece(writer_.get(), text.c_str(), text.size(), goes_on);
  }
  void blank() {
    if (writer_->stream == nullptr)
      writer_->stream = file_;
    write_blank_line(writer_.get(), &options);
  }
  std::string bytes() {
    finish_bat(writer_.get());
    fflush(file_);
    std::string out;
    rewind(file_);
    int c;
    while ((c = fgetc(file_)) != EOF)
      out += static_cast<char>(c);
    return out;
  }

  RunOptions options;

 private:
  FILE* file_;
  std::unique_ptr<BatWriter> writer_{new BatWriter};
};

std::string echo_of(const std::string& text) {
  Script script;
  script.line(text.c_str());
  return script.bytes();
}

TEST(BatHeader, WritesCreditsAndCgiLinesAsSet) {
  Script full;
  full.header("C:\\WEB\\page.htm");
  EXPECT_EQ(
      "@echo off\r\n"
      "rem -------------------------------------------------------------\r\n"
      "rem  Converted from page.htm\r\n"
      "rem  By " BANNER_TEXT
      "\r\n"
      "rem  Website: " HOME_URL
      "\r\n"
      "rem -------------------------------------------------------------\r\n"
      "echo Content-type: text/html\r\n"
      "echo.\r\n",
      full.bytes());

  Script bare;
  bare.options.credits = false;
  bare.options.cgi_header = false;
  bare.header("web/page.htm");
  EXPECT_EQ("@echo off\r\n", bare.bytes());

  Script slash;
  slash.options.cgi_header = false;
  slash.header("WEB/sub/x.htm");
  EXPECT_NE(std::string::npos, slash.bytes().find("rem  Converted from x.htm\r\n"));
}

TEST(BatHeader, KeepsTheSourceNameOnTheRemarkLine) {
  // Line ends in a name would end the remark and run the rest as a command.
  struct Case {
    const char* path;
    const char* remark;
  } cases[] = {{"web/x\necho INJECTED>pwned & rem .htm", "x?echo INJECTED>pwned & rem .htm"},
               {"C:\\WEB\\a\r\nb\rc%d\n.htm", "a??b?c%%d?.htm"}};
  for (const Case& c : cases) {
    Script script;
    script.options.cgi_header = false;
    script.header(c.path);
    std::string remark = std::string("rem  Converted from ") + c.remark + "\r\nrem  By ";
    EXPECT_NE(std::string::npos, script.bytes().find(remark)) << c.remark;
  }
}

TEST(BlankLines, AreEchoDotUnlessRemoved) {
  Script kept;
  kept.blank();
  EXPECT_EQ("echo.\r\n", kept.bytes());
  Script removed;
  removed.options.remove_blank_lines = true;
  removed.blank();
  EXPECT_EQ("", removed.bytes());
}

TEST(TrimLine, RemovesTrailingBlanksThenTrailingTabs) {
  // Each pass runs once: a line ending blank, tab keeps its blank.
  const char* const cases[][2] = {{"x \t", "x "}, {"x\t ", "x"},        {"   ", ""},
                                  {"\t\t", ""},   {" x  \t\t", " x  "}, {"", ""}};
  for (const auto& c : cases) {
    char line[16];
    snprintf(line, sizeof line, "%s", c[0]);
    EXPECT_EQ(strlen(c[1]), trim_line(line, strlen(line))) << c[0];
    EXPECT_STREQ(c[1], line) << c[0];
  }
}

TEST(EchoLine, EscapesWhatTheInterpreterActsOnOutsideQuotes) {
  EXPECT_EQ("echo ^<p^>Fish ^& chips ^| \"A & B\"^</p^>\r\n",
            echo_of("<p>Fish & chips | \"A & B\"</p>"));
  EXPECT_EQ("echo a ^^ b \"^ | < >\" ^^\r\n", echo_of("a ^ b \"^ | < >\" ^"));
  EXPECT_EQ("echo width=\"100%%\" %%PATH%% %%%%\r\n", echo_of("width=\"100%\" %PATH% %%"));
  EXPECT_EQ("setlocal DisableDelayedExpansion\r\necho (x)! \x80\xff\r\n", echo_of("(x)! \x80\xff"));
}

TEST(EchoLine, QuotesStartClosedOnEveryScriptLine) {
  Script script;
  script.line("<a title=\"open");
  script.line("still & open\" <b>");
  EXPECT_EQ("echo ^<a title=\"open\r\necho still ^& open\" <b>\r\n", script.bytes());
}

TEST(EchoLine, BlankOnlyLinesPrintAnEmptyLine) {
  EXPECT_EQ("echo.\r\n", echo_of(" "));
  EXPECT_EQ("echo.\r\n", echo_of(" \t "));
  EXPECT_EQ("echo  x\r\n", echo_of(" x"));
}

TEST(EchoLine, BreaksBeforeAnchorsButNotAtTheLineStart) {
  EXPECT_EQ("echo xxxxxxxxxx\r\necho ^<a href=x^>\r\n", echo_of("xxxxxxxxxx<a href=x>"));
  EXPECT_EQ("echo ^<A HREF=x^>M^</A^>\r\n", echo_of("<A HREF=x>M</A>"));
  EXPECT_EQ("echo    ^<a href=x^>\r\n", echo_of("   <a href=x>"));
  EXPECT_EQ("echo x^<area^>^<abbr^>^<a\t^>\r\n", echo_of("x<area><abbr><a\t>"));
  EXPECT_EQ("echo x\"\r\necho ^<a \"\r\n", echo_of("x\"<a \""));
}

TEST(EchoLine, WrapsPastTheColumnAtTagBoundaries) {
  std::string x219(219, 'x');
  EXPECT_EQ("echo " + x219 + "^<b^>\r\necho ^<!--crlf--^>bold^</b^>\r\n",
            echo_of(x219 + "<b>bold</b>"));
  std::string x221(221, 'x');
  EXPECT_EQ("echo " + x221 + "\r\necho ^<i^>it^</i^>\r\n", echo_of(x221 + "<i>it</i>"));
  EXPECT_EQ("echo " + x221 + "^>\r\n", echo_of(x221 + ">"));
  std::string x220(220, 'x');
  EXPECT_EQ("echo " + x220 + "^&\r\n", echo_of(x220 + "&"));
  std::string x300(300, 'x');
  EXPECT_EQ("echo " + x300 + "\r\n", echo_of(x300));
  // Escapes count with every byte written: 110 carets and ampersands pass 220.
  std::string amps(111, '&');
  std::string escaped;
  for (int i = 0; i < 111; i++)
    escaped += "^&";
  EXPECT_EQ("echo " + escaped + "\r\necho ^<i^>\r\n", echo_of(amps + "<i>"));
}

TEST(EchoLine, MakesNoBreakWhileTheScriptLineIsBlank) {
  std::string blanks(230, ' ');
  EXPECT_EQ("echo " + blanks + "^<b^>\r\necho ^<!--crlf--^>x\r\n", echo_of(blanks + "<b>x"));
}

TEST(EchoLine, ReopensTheEchoAfterLongLinesOfEveryByte) {
  // A line of every escaped byte, past the staging buffer's size.
  std::string line;
  for (int i = 0; i < 3000; i++)
    line += "<>|&^%\"";
  std::string written = echo_of(line);
  EXPECT_EQ(0u, written.find("echo "));
  EXPECT_EQ("\r\n", written.substr(written.size() - 2));
  EXPECT_GT(written.size(), line.size());
}

}  // namespace

namespace {

TEST(EchoLine, WordsThatEchoWouldObeyArePrintedThroughEchoDot) {
  EXPECT_EQ("echo.on\r\n", echo_of("on"));
  EXPECT_EQ("echo.  OFF\r\n", echo_of("  OFF"));
  EXPECT_EQ("echo./? help\r\n", echo_of("/? help"));
  EXPECT_EQ("echo.\tOn \r\necho ^<a href=x^>\r\n", echo_of("\tOn <a href=x>"));
  EXPECT_EQ("echo online\r\n", echo_of("online"));
  EXPECT_EQ("echo.on ^<b^>\r\n", echo_of("on <b>"));
  EXPECT_EQ("echo x /?\r\n", echo_of("x /?"));
  EXPECT_EQ("echo /x\r\n", echo_of("/x"));
}

std::vector<std::string> script_lines(const std::string& written) {
  std::vector<std::string> lines;
  for (size_t start = 0; start < written.size();) {
    size_t end = written.find("\r\n", start);
    lines.push_back(written.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

const char NO_END[] = "<nul set /p =";

// What the echo and set lines print, carets dropped, "%%" read as one '%', each
// line ended as its prefix says.
std::string printed_by(const std::string& written) {
  std::string printed;
  for (const std::string& line : script_lines(written)) {
    if (line == "setlocal DisableDelayedExpansion")
      continue;
    bool no_end = line.compare(0, strlen(NO_END), NO_END) == 0;
    std::string text = line.substr(no_end ? strlen(NO_END) : 5);
    for (size_t i = 0; i < text.size(); i++) {
      if (text[i] == '^' || (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%'))
        i++;
      if (i < text.size())
        printed += text[i];
    }
    if (!no_end)
      printed += "\n";
  }
  return printed;
}

TEST(EchoLine, KeepsEveryScriptLineWithinTheInterpretersReach) {
  std::string line;
  for (int i = 0; i < 620; i++)
    line += "Fish & chips ";
  line.pop_back();
  std::string written = echo_of(line);
  std::vector<std::string> lines = script_lines(written);
  ASSERT_GT(lines.size(), 1u);
  for (size_t i = 0; i < lines.size(); i++) {
    EXPECT_LE(lines[i].size(), 8180u);
    // Every piece but the last prints without a line end, and begins where
    // "set /p" keeps every byte.
    const char* prefix = i + 1 < lines.size() ? NO_END : "echo ";
    EXPECT_EQ(0u, lines[i].find(prefix));
    if (i > 0) {
      EXPECT_NE(' ', lines[i][strlen(prefix)]);
    }
  }
  EXPECT_EQ(line + "\n", printed_by(written));

  // A UTF-8 sequence is not split.
  std::string wide(4087, '&');
  wide += "\xC3\xA9\xC3\xA9";
  std::string split = echo_of(wide);
  EXPECT_EQ(std::string::npos, split.find("\r\necho \xA9"));
  EXPECT_EQ(wide + "\n", printed_by(split));
}

TEST(EchoLine, BreaksForLengthWhateverTheBytes) {
  // Bytes 0x80 to 0xBF outside a well-formed UTF-8 sequence, escapes among
  // them, and a run of blanks where the break would fall.
  std::string latin(8096, '\xA0');
  for (size_t i = 0; i < latin.size(); i += 3)
    latin[i] = '&';
  std::string blanks = std::string(7140, 'x') + std::string(600, ' ') + std::string(900, 'y');
  std::string stray = "\xE9";
  while (stray.size() < 8094)
    stray += "\x80%";
  for (const std::string& line : {latin, blanks, stray}) {
    std::string written = echo_of(line);
    std::vector<std::string> lines = script_lines(written);
    EXPECT_GT(lines.size(), 1u);
    for (const std::string& script_line : lines)
      EXPECT_LE(script_line.size(), 8180u);
    EXPECT_EQ(line + "\n", printed_by(written));
  }
  // The blanks stay with the text before them.
  EXPECT_EQ("echo " + std::string(900, 'y'), script_lines(echo_of(blanks)).back());
  // A line that its script line takes whole is not broken.
  EXPECT_EQ(1u, script_lines(echo_of(std::string(8096, 'y') + "&&")).size());

  // Only a well-formed sequence puts the break off to its end.
  struct Case {
    const char* sequence;
    size_t kept;  // bytes of it on the first script line
  } cases[] = {{"\xE2\x80\x94", 3}, {"\xF0\x9F\x98\x80", 4}, {"\xE0\x80\x80", 1},
               {"\xED\xA0\x80", 1}, {"\xC0\xAF", 1},         {"\xF4\x90\x80\x80", 1}};
  for (const Case& c : cases) {
    std::string line = std::string(7142, 'x') + c.sequence + std::string(2000, 'y');
    std::string first = script_lines(echo_of(line)).front();
    EXPECT_EQ(strlen(NO_END) + 7142 + c.kept, first.size()) << c.sequence;
  }
}

TEST(EchoLine, NoWrapBreaksOnlyForLength) {
  Script script;
  script.options.no_wrap = true;
  script.header("P.HTM");
  std::string text = "x<a href=y>" + std::string(300, 'z') + "<b>q</b>";
  script.line(text.c_str());
  std::string expected = "echo x^<a href=y^>" + std::string(300, 'z') + "^<b^>q^</b^>\r\n";
  std::string written = script.bytes();
  EXPECT_EQ(expected, written.substr(written.size() - expected.size()));
  std::string longer(9000 / 2, '<');
  script.line(longer.c_str());
  for (const std::string& script_line : script_lines(script.bytes()))
    EXPECT_LE(script_line.size(), 8191u);
}

TEST(EchoLine, TurnsDelayedExpansionOffBeforeTheFirstExclamationMark) {
  // An empty string stands for an empty source line.
  const std::string setlocal = "setlocal DisableDelayedExpansion\r\n";
  const std::string x221(221, 'x');
  struct Case {
    bool no_blank;
    bool no_wrap;
    std::vector<std::string> lines;
    std::string expected;
  } cases[] = {
      {false, false, {"a", "", "b^"}, "echo a\r\necho.\r\necho b^^\r\n"},
      {false,
       false,
       {"a", "", "hi! there^ \"a^b!\"", "!PATH!", "c"},
       "echo a\r\necho.\r\n" + setlocal + "echo hi! there^^ \"a^b!\"\r\necho !PATH!\r\necho c\r\n"},
      {true, false, {"", "on!", ""}, setlocal + "echo on!\r\n"},
      {false, false, {x221 + "<i>!</i>"}, setlocal + "echo " + x221 + "\r\necho ^<i^>!^</i^>\r\n"},
      {false,
       true,
       {"<b>", x221 + "<i>!</i>"},
       "echo ^<b^>\r\n" + setlocal + "echo " + x221 + "^<i^>!^</i^>\r\n"},
  };
  for (const Case& c : cases) {
    Script script;
    script.options.credits = false;
    script.options.cgi_header = false;
    script.options.remove_blank_lines = c.no_blank;
    script.options.no_wrap = c.no_wrap;
    script.header("P.HTM");
    for (const std::string& line : c.lines) {
      if (line.empty())
        script.blank();
      else
        script.line(line.c_str());
    }
    EXPECT_EQ("@echo off\r\n" + c.expected, script.bytes()) << c.lines.back().substr(0, 40);
  }

  // Every source starts with the interpreter's own setting again.
  Script twice;
  twice.options.credits = false;
  twice.options.cgi_header = false;
  for (const char* line : {"a!", "b!"}) {
    twice.header("P.HTM");
    twice.line(line);
    twice.bytes();  // the source's end
  }
  EXPECT_EQ("@echo off\r\n" + setlocal + "echo a!\r\n@echo off\r\n" + setlocal + "echo b!\r\n",
            twice.bytes());
}

// What the writer makes of `line` escaping at `level`.
std::string written_with_blocks(EscapeLevel level, const std::string& line, bool no_wrap,
                                bool entities) {
  EscapeLevel best = escape_level();
  use_escape_level(level);
  Script script;
  script.options.no_wrap = no_wrap;
  script.options.entities = entities;
  script.header("P.HTM");  // which hands the writer its settings
  script.line(line.c_str());
  std::string bytes = script.bytes();
  use_escape_level(best);
  return bytes;
}

TEST(EchoLine, BlockPathWritesWhatTheByteAtATimePathWrites) {
  if (!escape_blocks_available())
    GTEST_SKIP() << "this processor has no block path";
  // Every special byte at every place around block edges, line ends, the
  // wrap column and the length bound, quotes left open across blocks, and
  // anchors split by a block's end.
  std::vector<std::string> lines;
  const char* const pieces[] = {"<a ", "<A ", "<a", "\"", "%", "^", "&", "|", ">", "<", " ", "\t",
                                "<pre>", "</PRE>", "<script x>", "</script>", "<st", "\xC3\xA9",
                                "<style>a</style >",
                                // An element that ends in the block it began in.
                                "<style></style>\xC3\xA9", "<script></script>\xC3\xA9"};
  for (size_t length = 1; length <= 70; length++)
    for (const char* piece : pieces)
      for (size_t at = 0; at + strlen(piece) <= length; at += 5)
        lines.push_back(std::string(at, 'x') + piece +
                        std::string(length - at - strlen(piece), 'y'));
  std::mt19937 random(7);
  const char alphabet[] = "<<>>a A\"\"%^&| \txyz\xC3\xA9/spcrit";
  std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
  const size_t lengths[] = {20, 200, 230, 600, 4100, 8096};
  for (size_t length : lengths)
    for (int n = 0; n < 40; n++) {
      std::string line;
      while (line.size() < length)
        line += n % 2 == 0 ? alphabet[pick(random)] : (pick(random) < 3 ? '<' : 'w');
      lines.push_back(line);
    }
  for (const std::string& line : lines)
    for (int mode = 0; mode < 4; mode++) {
      bool no_wrap = mode & 1;
      bool entities = mode & 2;
      std::string reference = written_with_blocks(ESCAPE_BYTES, line, no_wrap, entities);
      // The 16-byte blocks, and the 32- and 64-byte ones where the processor
      // has them.
      for (EscapeLevel level : {ESCAPE_SSSE3, ESCAPE_AVX2, ESCAPE_AVX512})
        ASSERT_EQ(reference, written_with_blocks(level, line, no_wrap, entities))
            << "level " << level << ": " << line.substr(0, 120) << (no_wrap ? " /NOWRAP" : "")
            << (entities ? " --entities" : "");
    }
}

// Scripts, style sheets, preformatted text and text areas take no break:
// a line end there would change what the page does or shows.
TEST(EchoLine, MakesNoBreakInsideRawElements) {
  std::string x219(219, 'x');
  std::string x221(221, 'x');
  struct Case {
    std::vector<std::string> lines;
    std::string expected;
  } cases[] = {
      {{x219 + "<script>var s = '<b>' + `<a href=x>`;</script><i>"},
       "echo " + x219 + "^<script^>var s = '^<b^>' + `^<a href=x^>`;^</script^>\r\n" +
           "echo ^<!--crlf--^>^<i^>\r\n"},
      {{"<PRE class=c>", "  <a href=x>x</a> " + x221 + "<b>", "</pre >" + x221 + "<b>"},
       "echo ^<PRE class=c^>\r\necho   ^<a href=x^>x^</a^> " + x221 + "^<b^>\r\necho ^</pre ^>" +
           x221 + "\r\necho ^<b^>\r\n"},
      {{"<Style>" + x221 + "<b>", "</STYLE><a href=y>"},
       "echo ^<Style^>" + x221 + "^<b^>\r\necho ^</STYLE^>\r\necho ^<a href=y^>\r\n"},
      {{"<textarea>" + x221 + "</pre><a >", "</textarea>"},
       "echo ^<textarea^>" + x221 + "^</pre^>^<a ^>\r\necho ^</textarea^>\r\n"},
      // Only the element's own end tag ends it, and only whole names count.
      {{"<script>'</style>' " + x221 + "<b>"}, "echo ^<script^>'^</style^>' " + x221 + "^<b^>\r\n"},
      {{"<scripts>" + x221 + "<b>"}, "echo ^<scripts^>" + x221 + "\r\necho ^<b^>\r\n"},
  };
  for (const Case& c : cases) {
    Script script;
    script.options.credits = false;
    script.options.cgi_header = false;
    script.header("P.HTM");
    for (const std::string& line : c.lines)
      script.line(line.c_str());
    EXPECT_EQ("@echo off\r\n" + c.expected, script.bytes()) << c.lines[0].substr(0, 30);
  }

  // Each source starts outside them.
  Script two;
  two.options.credits = false;
  two.options.cgi_header = false;
  two.header("A.HTM");
  two.line("<pre>");
  two.bytes();
  two.header("B.HTM");
  two.line("x<a href=z>");
  EXPECT_EQ("@echo off\r\necho ^<pre^>\r\n@echo off\r\necho x\r\necho ^<a href=z^>\r\n",
            two.bytes());
}

TEST(EchoLine, PiecesOfALinePrintAsOneLine) {
  Script script;
  std::string a(8096, 'a');
  std::string b(8096, ' ');
  script.piece(a, true);
  script.piece(b, true);
  script.piece("!b  ", false);
  script.piece("next", false);
  std::string written = script.bytes();
  std::vector<std::string> lines = script_lines(written);
  ASSERT_GE(lines.size(), 4u);
  // The mark in the third piece turns expansion off before the script line
  // that prints it, which the pieces before opened.
  size_t mark = 0;
  while (mark < lines.size() && lines[mark].find('!') == std::string::npos)
    mark++;
  ASSERT_LT(mark, lines.size());
  EXPECT_EQ("setlocal DisableDelayedExpansion", lines[mark - 1]);
  for (size_t i = 0; i + 2 < lines.size(); i++)
    EXPECT_TRUE(lines[i].find(NO_END) == 0 || i == mark - 1) << i;
  EXPECT_EQ("echo next", lines.back());
  EXPECT_EQ(a + b + "!b  \nnext\n", printed_by(written));

  // A line of exactly the buffer's size ends with an empty last piece.
  Script exact;
  exact.piece(a, true);
  exact.piece("", false);
  EXPECT_EQ(a + "\n", printed_by(exact.bytes()));
}

TEST(EchoLine, EntitiesWriteUtf8TextAsCharacterReferences) {
  struct Case {
    std::string line;
    std::string expected;
  } cases[] = {
      {"caf\xC3\xA9 \xE2\x86\x90 \xF0\x9F\x98\x80 \xC2\xB7",
       "echo caf^&#xE9; ^&#x2190; ^&#x1F600; ^&#xB7;\r\n"},
      {"<p title=\"\xC2\xA7\">\xC2\xA7</p>", "echo ^<p title=\"&#xA7;\"^>^&#xA7;^</p^>\r\n"},
      // Not a sequence: written as it stands.
      {"\xE9t\xE9 \xC0\xAF \xED\xA0\x80 \xC3", "echo \xE9t\xE9 \xC0\xAF \xED\xA0\x80 \xC3\r\n"},
      {"<script>'\xC3\xA9'</script>\xC3\xA9<style>\xC3\xA9</style>",
       "echo ^<script^>'\xC3\xA9'^</script^>^&#xE9;^<style^>\xC3\xA9^</style^>\r\n"},
      {"<pre>\xC3\xA9</pre>", "echo ^<pre^>^&#xE9;^</pre^>\r\n"},
  };
  for (const Case& c : cases) {
    Script script;
    script.options.entities = true;
    script.options.credits = false;
    script.options.cgi_header = false;
    script.header("P.HTM");
    script.line(c.line.c_str());
    EXPECT_EQ("@echo off\r\n" + c.expected, script.bytes()) << c.line;
  }
}

// The script of a whole page, and its program when compiling, its lines
// read and written as the driver does: whole lines from the read block
// where `direct`, otherwise every line through the line buffer and escaped
// a byte at a time.
std::string page_script(const std::string& page, const RunOptions& options, bool direct) {
  EscapeLevel best = escape_level();
  use_escape_level(direct ? best : ESCAPE_BYTES);
  use_direct_lines(direct);
  FILE* in = tmpfile();
  FILE* out = tmpfile();
  fwrite(page.data(), 1, page.size(), in);
  rewind(in);
  FILE* program = tmpfile();
  std::unique_ptr<SourceStream> source(new SourceStream);
  std::unique_ptr<BatWriter> writer(new BatWriter);
  std::unique_ptr<ComImage> image(new ComImage);
  ComImage* com = options.compile_com ? image.get() : nullptr;
  source_attach(source.get(), in);
  write_bat_header(writer.get(), out, "P.HTM", &options);
  if (com != nullptr)
    com_begin_image(com, program, &options, "P.HTM");
  std::vector<char> line(LINE_CAPACITY + 1);
  while (!source->at_end) {
    write_direct_lines(writer.get(), source.get(), options.tab_width, com);
    int length = 0;
    char* text = take_direct_line(source.get(), LINE_CAPACITY, options.tab_width, &length);
    if (text == nullptr) {
      text = line.data();
      fgetstr(text, LINE_CAPACITY, source.get(), options.tab_width, true, &length);
    }
    if (text[0] == '\0') {
      write_blank_line(writer.get(), &options);
      continue;
    }
    size_t size = trim_line(text, static_cast<size_t>(length));
    if (com != nullptr)
      com_record_piece(com, text, size, false);
    write_echo_piece(writer.get(), text, size, false);
  }
  finish_bat(writer.get());
  if (com != nullptr)
    com_finish_image(com);
  // The script, then the program.
  std::string bytes;
  for (FILE* file : {out, program}) {
    fflush(file);
    rewind(file);
    for (int c = fgetc(file); c != EOF; c = fgetc(file))
      bytes += static_cast<char>(c);
  }
  fclose(in);
  fclose(out);
  fclose(program);
  use_direct_lines(true);
  use_escape_level(best);
  return bytes;
}

TEST(DirectLines, WriteWhatTheLineBufferAndTheByteAtATimeEscapeWrite) {
  if (!direct_escape_available())
    GTEST_SKIP() << "this processor has no 64-byte escape";
  std::vector<std::string> pages = {
      // Line ends, blanks and tabs where the blocks of 64 end.
      std::string(63, 'x') + "\r\n" + std::string(64, 'y') + "\r\n" + std::string(62, 'z') +
          " \r\n" + std::string(63, 'w') + "\t\n" + std::string(64, 'v') + "\r\r\n",
      "a\rb\r\nc\r\n\r\nd",
      "x <a   \r\nx <a \t\ny<a\t\nx\t \nx \t\n \t \n\n\r\n",
      // Anchors where only blanks come before them, and after quotes.
      "  <a href>x<A b>y\n<a <a <a \n\t<a x\n\"a & <a b\" & c\nq\"<a z\n",
      // Elements that take no break, and tags that only look like them.
      "<strong>x</strong> <a b>\n<pre>\n<a b>\n</pre>\n<a c>\n<st\n<pre\n",
      "<PRE>\nx <a b> " + std::string(300, 'p') + "<i>\n</p> y</PRE> <a c>\nz <a d>\n",
      "<script>\n<a x> <a y> <pre>\n</style>\n</script  >\nq <a z>\n",
      "<textarea>\n" + std::string(250, '&') + "<a b>\n</TEXTAREA>" + std::string(250, 'x') +
          "<i>\n",
      // Text that echo would read as its own request.
      "off\n  on <b>\n/?\no\nOn <a x>\nof <a y>\nonion <a b>\n  OFF\t\n/x <a c>\n",
      "<Strong>z <a d>\n<pref> <a e>\n<pre\tx> <a f>\n</pre>\n<STYLE/> <a g>\n",
      "a!\nb<a !\n!\n",
      std::string("a\0b\n\0\nc", 7),
  };
  // Lines around the wrap column and the longest line taken whole.
  for (size_t length : {218, 219, 220, 221, 1023, 1024, 1025, 1026})
    for (const char* tail : {"", "&", "<b>x", ">", "<a x>"})
      pages.push_back(std::string(length, 'x') + tail + "\r\n" + std::string(length / 2, '&') +
                      tail + "\n");
  // Random lines, also across the read block's end.
  std::mt19937 random(5);
  const char alphabet[] = "<<>>aA \"&|%^!\t\r\n\n\n\nxo/pst<pre><pre></pre>";
  std::uniform_int_distribution<size_t> pick(0, sizeof alphabet - 2);
  std::string big;
  while (big.size() < SOURCE_BLOCK_SIZE + 5000)
    big += alphabet[pick(random)];
  pages.push_back(big);
  for (int n = 0; n < 200; n++) {
    std::string page;
    while (page.size() < 300)
      page += n % 2 == 0 ? alphabet[pick(random)] : (pick(random) < 3 ? '\n' : 'w');
    pages.push_back(page);
  }
  for (const std::string& page : pages)
    for (int mode = 0; mode < 18; mode++) {
      RunOptions options;
      options.tab_width = mode % 3 == 0 ? 0 : mode % 3 == 1 ? 1 : 4;
      options.remove_blank_lines = mode / 3 % 2 == 1;
      options.no_wrap = mode / 6 == 1;
      options.compile_com = mode / 6 == 2;
      ASSERT_EQ(page_script(page, options, false), page_script(page, options, true))
          << "mode " << mode << ": " << page.substr(0, 120);
    }
}

}  // namespace
