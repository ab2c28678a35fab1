#include "platform/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "scratch_test.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

// Platform calls in a fresh directory of their own.
class PlatformTest : public ScratchTest {
 protected:
  std::string at(const std::string& relative) const { return (root_ / relative).string(); }

  void write(const std::string& relative, const std::string& text) const {
    FILE* file = fopen(at(relative).c_str(), "wb");
    ASSERT_NE(nullptr, file);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
  }
};

// What the tool reads at `path`, or "(none)" when it cannot open it.
std::string read(const std::string& path) {
  int reason;
  FILE* file = open_source(path.c_str(), &reason);
  if (file == nullptr)
    return "(none)";
  std::string text;
  char block[512];
  size_t got;
  while ((got = fread(block, 1, sizeof block, file)) > 0)
    text.append(block, got);
  fclose(file);
  return text;
}

// Writes `text` to the output `name` through a temporary file; false when
// the output cannot be opened.
bool replace_output(const std::string& name, const char* text) {
  OutputFile output;
  if (!output_open(&output, name.c_str()))
    return false;
  fputs(text, output.stream);
  return output_commit(&output);
}

// Lets the file system's clock move on, so that a directory changed next does
// not keep the time stamp it had when it was listed.
void let_the_clock_move() {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  while (std::chrono::steady_clock::now() < until) {
  }
}

TEST_F(PlatformTest, FindsNamesInAnyCaseAmongMany) {
  fs::create_directories(root_ / "Pages");
  for (int i = 0; i < 3000; i++)
    write("Pages/Page" + std::to_string(i) + ".htm", std::to_string(i));
  for (bool cached : {false, true}) {
    name_cache_enable(cached);
    for (int i = 0; i < 3000; i += 7)
      EXPECT_EQ(std::to_string(i), read(at("PAGES/PAGE" + std::to_string(i) + ".HTM")));
    EXPECT_EQ("(none)", read(at("PAGES/PAGE3000.HTM")));
  }
}

TEST_F(PlatformTest, NamesMadeDuringTheRunAreFoundInAnyCase) {
  fs::create_directories(root_ / "Web");
  write("Web/a.htm", "a");
  name_cache_enable(true);
  EXPECT_EQ("a", read(at("WEB/A.HTM")));
  // Each output made is found again, in another case, by the next write.
  for (const char* spelling : {"WEB/New", "web/NEW"}) {
    for (int i = 0; i < 300; i++)
      ASSERT_TRUE(replace_output(at(spelling + std::to_string(i) + ".bat"), spelling));
  }
  EXPECT_EQ(301, std::distance(fs::directory_iterator(root_ / "Web"), fs::directory_iterator()));
  EXPECT_EQ("web/NEW", read(at("Web/New299.bat")));
  EXPECT_TRUE(same_file(at("WEB/NEW7.BAT").c_str(), at("Web/new7.bat").c_str()));
  EXPECT_TRUE(same_file(at("WEB/LATER.BAT").c_str(), at("Web/later.bat").c_str()));
  EXPECT_FALSE(same_file(at("WEB/LATER.BAT").c_str(), at("Web/a.htm").c_str()));
}

TEST_F(PlatformTest, FollowsChangesMadeBehindItsBack) {
  fs::create_directories(root_ / "Web");
  write("Web/Page.htm", "first");
  name_cache_enable(true);
  EXPECT_EQ("first", read(at("WEB/PAGE.HTM")));

  // The directory moves away and another takes its name in another case.
  fs::rename(root_ / "Web", root_ / "Old");
  fs::create_directories(root_ / "wEB");
  write("wEB/page.HTM", "second");
  EXPECT_EQ("second", read(at("WEB/PAGE.HTM")));

  // A file appears, and one goes, in a directory already listed.
  let_the_clock_move();
  write("wEB/Extra.htm", "extra");
  EXPECT_EQ("extra", read(at("WEB/EXTRA.HTM")));
  let_the_clock_move();
  fs::remove(root_ / "wEB" / "page.HTM");
  EXPECT_EQ("(none)", read(at("WEB/PAGE.HTM")));
}

TEST_F(PlatformTest, ReasonsComeInWords) {
  char text[256];
  reason_text(REASON_NOT_REGULAR, text, sizeof text);
  EXPECT_STREQ("Not a regular file", text);
  int reason = REASON_NONE;
  EXPECT_EQ(nullptr, open_source(at("none/page.htm").c_str(), &reason));
  EXPECT_TRUE(reason_is_missing(reason));
  OutputFile output;
  EXPECT_FALSE(output_open(&output, at("none/page.bat").c_str()));
  EXPECT_TRUE(reason_is_missing(output.reason));
  reason_text(output.reason, text, sizeof text);
  EXPECT_NE('\0', text[0]);
#ifndef _WIN32
  EXPECT_EQ(nullptr, open_source(root_.string().c_str(), &reason));
  EXPECT_EQ(REASON_NOT_REGULAR, reason);
#endif
}

#ifndef _WIN32
mode_t mode_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(PlatformTest, SeesAFileMadeByAnotherProgramWhileAnOutputIsWritten) {
  fs::create_directories(root_ / "Web");
  write("Web/page.htm", "page");
  name_cache_enable(true);
  EXPECT_EQ("page", read(at("WEB/PAGE.HTM")));
  OutputFile output;
  ASSERT_TRUE(output_open(&output, at("WEB/PAGE.BAT").c_str()));
  let_the_clock_move();
  write("Web/During.htm", "during");
  fputs("script", output.stream);
  ASSERT_TRUE(output_commit(&output));
  EXPECT_EQ("during", read(at("WEB/DURING.HTM")));
  EXPECT_EQ("script", read(at("web/Page.bat")));
}

TEST_F(PlatformTest, AnOutputKeepsThePermissionBitsOfTheFileItReplaces) {
  mode_t mask = umask(0);
  umask(mask);
  ASSERT_TRUE(replace_output(at("new.bat"), "new"));
  EXPECT_EQ(0666 & ~mask, mode_of(at("new.bat")));

  // Modes that "wb" would not give a new file: narrower, wider, with
  // special bits (which are never carried over), read-only (which only the
  // superuser may replace).
  for (mode_t mode : {0600, 0640, 0666, 0751, 04755, 06777, 01777, 0444}) {
    std::string name = at("old" + std::to_string(mode) + ".bat");
    write("old" + std::to_string(mode) + ".bat", "old");
    ASSERT_EQ(0, chmod(name.c_str(), mode));
    bool writable = mode != 0444 || geteuid() == 0;
    EXPECT_EQ(writable, replace_output(name, "new")) << std::oct << mode;
    EXPECT_EQ(writable ? "new" : "old", read(name)) << std::oct << mode;
    EXPECT_EQ(writable ? mode & 0777 : mode, mode_of(name)) << std::oct << mode;
  }
  EXPECT_EQ(9, std::distance(fs::directory_iterator(root_), fs::directory_iterator()));
}

// Only a file system that tells letter cases apart can hold these.
TEST_F(PlatformTest, PrefersTheExactSpellingAndThenTheFirstInNameOrder) {
  fs::create_directories(root_ / "web");
  write("web/page.htm", "lower");
  write("web/PAGE.htm", "upper");
  write("web/Page.htm", "mixed");
  name_cache_enable(true);
  EXPECT_EQ("lower", read(at("web/page.htm")));
  EXPECT_EQ("upper", read(at("web/PAGE.HTM")));  // "PAGE.htm" ranks before "Page.htm"

  // An exact spelling that appears later takes over from a case-blind match.
  EXPECT_EQ("upper", read(at("WEB/PAGE.HTM")));
  let_the_clock_move();
  fs::create_directories(root_ / "WEB");
  write("WEB/PAGE.htm", "exact");
  EXPECT_EQ("exact", read(at("WEB/PAGE.HTM")));
}
#endif

}  // namespace
