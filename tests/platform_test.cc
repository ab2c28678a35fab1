#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/text.h"
#include "front/commit.h"
#include "front/folders.h"
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

// What the tool reads of `name` in the directory `path`, or "(none)".
std::string read(const std::string& path, const char* name) {
  int reason;
  Directory* directory = directory_open(path.c_str(), &reason);
  SourceFile source;
  if (directory == nullptr || !source_open(directory, name, &source, &reason)) {
    directory_close(directory);
    return "(none)";
  }
  std::string text;
  char block[512];
  size_t got;
  while ((got = fread(block, 1, sizeof block, source.stream)) > 0)
    text.append(block, got);
  fclose(source.stream);
  directory_close(directory);
  return text;
}

TEST_F(PlatformTest, TypedPathsTakeTheExactSpellingFirst) {
  fs::create_directories(root_ / "Web" / "Pages");
  write("Web/Pages/a.htm", "mixed");
  EXPECT_EQ("mixed", read(at("WEB/PAGES"), "a.htm"));
  if (native_separator() == '\\') {
    EXPECT_EQ("mixed", read(at("web\\pages\\"), "a.htm"));  // either separator
  }
#ifndef _WIN32
  // Only a file system that tells letter cases apart can hold both.
  fs::create_directories(root_ / "WEB" / "PAGES");
  write("WEB/PAGES/a.htm", "upper");
  fs::create_directories(root_ / "web");
  EXPECT_EQ("upper", read(at("WEB/PAGES"), "a.htm"));
  EXPECT_EQ("mixed", read(at("Web/PAGES"), "a.htm"));
  // A spelling that exists is taken, even where it leads nowhere.
  EXPECT_EQ("(none)", read(at("web/pages"), "a.htm"));
#endif
  int reason = REASON_NONE;
  EXPECT_EQ(nullptr, directory_open(at("none/deeper").c_str(), &reason));
  EXPECT_TRUE(reason_is_missing(reason));
}

TEST_F(PlatformTest, ReasonsComeInWords) {
  char text[256];
  reason_text(REASON_NOT_REGULAR, text, sizeof text);
  EXPECT_STREQ("Not a regular file", text);
  int reason;
  Directory* directory = directory_open(root_.string().c_str(), &reason);
  ASSERT_NE(nullptr, directory);
  SourceFile source;
  EXPECT_FALSE(source_open(directory, "page.htm", &source, &reason));
  EXPECT_TRUE(reason_is_missing(reason));
  fs::create_directories(root_ / "sub");
  EXPECT_FALSE(source_open(directory, "sub", &source, &reason));
  reason_text(reason, text, sizeof text);
  EXPECT_NE('\0', text[0]);
  directory_close(directory);
}

#ifndef _WIN32
// Writes `text` to the output `name` in `path` through a temporary file;
// false when the output cannot be opened.
bool replace_output(const std::string& path, const char* name, const char* text,
                    uint32_t new_mode = 0666) {
  int reason;
  Directory* directory = directory_open(path.c_str(), &reason);
  OutputFile output;
  SourceFile source = {};
  source.mode = new_mode;
  source.owner = static_cast<uint32_t>(geteuid());
  bool ok = directory != nullptr && output_open(&output, directory, name, source);
  if (ok) {
    fputs(text, output.stream);
    ok = output_commit(&output);
  }
  directory_close(directory);
  return ok;
}

mode_t mode_of(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(PlatformTest, ANameIsOneNameWhateverItHolds) {
  fs::create_directories(root_ / "x");
  fs::create_directories(root_ / "secret");
  write("secret/key", "secret");
  write("x\\..\\..\\secret\\key", "page");
  EXPECT_EQ("page", read(root_.string(), "x\\..\\..\\secret\\key"));
  ASSERT_TRUE(replace_output(root_.string(), "a\\..\\b.bat", "out"));
  EXPECT_TRUE(fs::exists(root_ / "a\\..\\b.bat"));
  EXPECT_FALSE(fs::exists(root_ / "b.bat"));
}

TEST_F(PlatformTest, AnOutputKeepsThePermissionBitsOfTheFileItReplaces) {
  mode_t mask = umask(0);
  umask(mask);
  // A new output: its source's bits, under the mask.
  ASSERT_TRUE(replace_output(root_.string(), "new.bat", "new"));
  EXPECT_EQ(0666 & ~mask, mode_of(at("new.bat")));
  ASSERT_TRUE(replace_output(root_.string(), "private.bat", "new", 0600));
  EXPECT_EQ(0600 & ~mask, mode_of(at("private.bat")));

  // Modes that "wb" would not give a new file: narrower, wider, with
  // special bits (which are never carried over), read-only (which only the
  // superuser may replace).
  for (mode_t mode : {0600, 0640, 0666, 0751, 04755, 06777, 01777, 0444}) {
    std::string name = "old" + std::to_string(mode) + ".bat";
    write(name, "old");
    ASSERT_EQ(0, chmod(at(name).c_str(), mode));
    bool writable = mode != 0444 || geteuid() == 0;
    EXPECT_EQ(writable, replace_output(root_.string(), name.c_str(), "new")) << std::oct << mode;
    EXPECT_EQ(writable ? "new" : "old", read(root_.string(), name.c_str())) << std::oct << mode;
    EXPECT_EQ(writable ? mode & 0777 : mode, mode_of(at(name))) << std::oct << mode;
  }
  EXPECT_EQ(10, std::distance(fs::directory_iterator(root_), fs::directory_iterator()));
}
#endif

TEST_F(PlatformTest, OneFileIsTwoNamesOfOneFileNow) {
  write("a.bat", "a");
  write("b.com", "b");
  fs::create_hard_link(root_ / "a.bat", root_ / "a.com");
  int reason;
  Directory* directory = directory_open(root_.string().c_str(), &reason);
  ASSERT_NE(nullptr, directory);
  EXPECT_TRUE(one_file(directory, "a.bat", directory, "a.com"));
  EXPECT_FALSE(one_file(directory, "a.bat", directory, "b.com"));
  EXPECT_FALSE(one_file(directory, "a.bat", directory, "gone.com"));
  EXPECT_FALSE(one_file(directory, "gone.bat", directory, "a.com"));
  directory_close(directory);
}

// The driver answers from one listing which entry a name means; it must
// agree with a fresh look at the directory, whatever the names.
TEST_F(PlatformTest, FolderLookupsAgreeWithAFreshListing) {
  std::mt19937 random(7);
  const char* letters = "aAbB._";
  for (int i = 0; i < 400; i++) {
    std::string name;
    for (int length = 1 + static_cast<int>(random() % 4); length > 0; length--)
      name += letters[random() % 6];
    if (name == "." || name == ".." || fs::exists(root_ / name))
      continue;  // alike but for case on Windows
    write(name, name);
  }
  FolderSet folders = {};
  int reason;
  Folder* folder = folder_open(&folders, root_.string().c_str(), &reason);
  ASSERT_NE(nullptr, folder);
  ASSERT_EQ(REASON_NONE, folder_list(folder));
  EXPECT_EQ(folder, folder_open(&folders, root_.string().c_str(), &reason));
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(root_))
    names.push_back(entry.path().filename().string());
  for (int i = 0; i < 2000; i++) {
    std::string query;
    for (int length = 1 + static_cast<int>(random() % 4); length > 0; length--)
      query += letters[random() % 6];
    // The spelling asked for, else the first alike in name order.
    std::string expected;
    for (const std::string& name : names) {
      if (name == query) {
        expected = name;
        break;
      }
      if (same_name(name.c_str(), query.c_str()) &&
          (expected.empty() || compare_names(name.c_str(), expected.c_str()) < 0))
        expected = name;
    }
    const char* found = folder_find(folder, query.c_str());
    EXPECT_EQ(expected, found == nullptr ? "" : found) << query;
  }
  folders_close(&folders);
}

}  // namespace
