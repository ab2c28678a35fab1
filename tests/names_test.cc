#include "front/names.h"

#include <gtest/gtest.h>

#include <string>

#include "common/run_options.h"
#include "front/switches.h"
#include "platform/platform.h"

namespace {

std::string directory_of(const char* spec) {
  char out[LONG_PATH_CAPACITY + 1];
  spec_directory(spec, out);
  return out;
}

std::string base_of(const char* path) {
  char out[LONG_PATH_CAPACITY + 1];
  base_name(path, out);
  return out;
}

std::string stem_of(const char* name) {
  char out[PATH_CAPACITY + 1];
  file_stem(name, out);
  return out;
}

// Typed paths split at the native separators: on POSIX a backslash is a byte
// of a name, so that a name that find or xargs hands over is that file.
const bool BACKSLASH_SEPARATES = native_separator() == '\\';

TEST(SpecDirectory, TakesEverythingUpToTheLastSeparator) {
  EXPECT_EQ("", directory_of("PAGE.HTM"));
  EXPECT_EQ("", directory_of(""));
  EXPECT_EQ("WEB", directory_of("WEB/*.HTM"));
  EXPECT_EQ(BACKSLASH_SEPARATES ? "WEB" : "", directory_of("WEB\\*.HTM"));
  EXPECT_EQ("A\\B", directory_of("A\\B/C.HTM"));
  EXPECT_EQ(BACKSLASH_SEPARATES ? "A/B" : "A", directory_of("A/B\\C.HTM"));
  EXPECT_EQ(BACKSLASH_SEPARATES ? "SITE/A\\..\\..\\SECRET" : "SITE",
            directory_of("SITE/A\\..\\..\\SECRET\\KEY.HTML"));
  if (BACKSLASH_SEPARATES) {
    EXPECT_EQ("C:\\WEB", directory_of("C:\\WEB\\*.HTM"));
  }
}

TEST(SpecDirectory, ReducesTrailingSeparatorsOfEitherKind) {
  EXPECT_EQ("WEB", directory_of("WEB//*.HTM"));
  EXPECT_EQ("/", directory_of("/*.HTM"));
  // Only a run of separators: nothing is left, the current directory serves.
  EXPECT_EQ("", directory_of("//*.HTM"));
  if (!BACKSLASH_SEPARATES)
    return;
  EXPECT_EQ("WEB", directory_of("WEB\\\\*.HTM"));
  EXPECT_EQ("WEB", directory_of("WEB/\\/*.HTM"));
  EXPECT_EQ("WEB", directory_of("WEB\\"));
  EXPECT_EQ("\\", directory_of("\\*.HTM"));
  EXPECT_EQ("", directory_of("\\\\*.HTM"));
}

TEST(SpecDirectory, KeepsDrivesAndColonForms) {
  EXPECT_EQ("C:", directory_of("C:"));
  EXPECT_EQ("C:*.HTM", directory_of("C:*.HTM"));
  if (BACKSLASH_SEPARATES) {
    EXPECT_EQ("C:\\", directory_of("C:\\*.HTM"));
  }
}

TEST(SpecDirectory, IsFoundAtAnyLength) {
  std::string spec(TYPED_PATH_CAPACITY, 'A');
  spec[300] = '/';
  EXPECT_EQ(std::string(300, 'A'), directory_of(spec.c_str()));
}

TEST(BaseName, TakesThePartAfterTheLastSeparator) {
  EXPECT_EQ("PAGE.HTM", base_of("WEB\\PAGE.HTM"));
  EXPECT_EQ("PAGE.HTM", base_of("WEB/PAGE.HTM"));
  EXPECT_EQ("C.HTM", base_of("A/B\\C.HTM"));
  EXPECT_EQ("C.HTM", base_of("A\\B/C.HTM"));
  EXPECT_EQ("", base_of("WEB\\"));
  EXPECT_EQ("C:PAGE.HTM", base_of("C:PAGE.HTM"));
  std::string longer(300, 'x');
  EXPECT_EQ(longer, base_of(("D/" + longer).c_str()));
}

TEST(FileStem, TakesThePartBeforeTheLastDot) {
  EXPECT_EQ("PAGE", stem_of("PAGE.HTM"));
  EXPECT_EQ("INDEX", stem_of("INDEX.HTML"));
  EXPECT_EQ("B", stem_of("A.B.HTM"));
  EXPECT_EQ("X", stem_of("X."));
  EXPECT_EQ("", stem_of("README"));
  EXPECT_EQ("", stem_of(".HTACCESS"));
  EXPECT_EQ("", stem_of("A..HTM"));
  EXPECT_EQ("", stem_of(""));
  EXPECT_EQ("PAGE", stem_of("WEB\\PAGE.HTM"));
  EXPECT_EQ("PAGE", stem_of("WEB/PAGE.HTM"));
  EXPECT_EQ("PAGE", stem_of("C:PAGE.HTM"));
}

TEST(FullStem, TakesTheWholeNameBeforeTheLastDot) {
  auto full = [](const char* name) {
    char out[PATH_CAPACITY + 1];
    full_stem(name, out);
    return std::string(out);
  };
  EXPECT_EQ("mod.rs", full("mod.rs.html"));
  EXPECT_EQ("PAGE", full("PAGE.HTM"));
  EXPECT_EQ("README", full("README"));
  EXPECT_EQ(".htaccess", full(".htaccess"));
  EXPECT_EQ(".site.map", full(".site.map.htm"));
  EXPECT_EQ("A.", full("A..HTM"));
  EXPECT_EQ("X", full("X."));
  EXPECT_EQ("", full(""));
  EXPECT_EQ(std::string(PATH_CAPACITY, 'n'), full((std::string(300, 'n') + ".htm").c_str()));
}

TEST(AppendSeparator, AddsOneOnlyWhereNeeded) {
  char text[PATH_CAPACITY + 1] = "WEB";
  append_separator(text, PATH_CAPACITY, '\\');
  EXPECT_STREQ("WEB\\", text);
  append_separator(text, PATH_CAPACITY, '\\');
  EXPECT_STREQ("WEB\\", text);
  append_separator(text, PATH_CAPACITY, '/');
  EXPECT_STREQ("WEB\\", text);
  char drive[PATH_CAPACITY + 1] = "C:";
  append_separator(drive, PATH_CAPACITY, '\\');
  EXPECT_STREQ("C:", drive);
  char empty[PATH_CAPACITY + 1] = "";
  append_separator(empty, PATH_CAPACITY, '\\');
  EXPECT_STREQ("", empty);
  char full[4] = "ABC";
  append_separator(full, 3, '/');
  EXPECT_STREQ("ABC", full);
}

TEST(AppendText, RefusesWhatDoesNotFit) {
  char text[8] = "ABC";
  EXPECT_TRUE(append_text(text, 7, "DEFG"));
  EXPECT_STREQ("ABCDEFG", text);
  EXPECT_FALSE(append_text(text, 7, "H"));
  EXPECT_STREQ("ABCDEFG", text);
}

int32_t tab_number(const char* text) {
  return parse_tab_number(text);
}

TEST(ParseTabNumber, ReadsTheFirstRunOfDigits) {
  EXPECT_EQ(5, tab_number("5"));
  EXPECT_EQ(3, tab_number("-3"));
  EXPECT_EQ(0, tab_number("ABC"));
  EXPECT_EQ(0, tab_number(""));
  EXPECT_EQ(1, tab_number("1X2"));
  EXPECT_EQ(4, tab_number("B=4"));
  EXPECT_EQ(7, tab_number("\xE9"
                          "7"));
  EXPECT_EQ(INT32_MAX, tab_number("99999999999999999999"));
}

TEST(ParseTabNumber, LeavesTheTextAsItIs) {
  char text[] = "=-12x";
  EXPECT_EQ(12, parse_tab_number(text));
  EXPECT_STREQ("=-12x", text);
}

TEST(SmallRoutines, FollowTheirRules) {
  EXPECT_EQ(4u, last_char_pos("A\\B\\C", '\\'));
  EXPECT_EQ(0u, last_char_pos("ABC", '\\'));
  EXPECT_EQ(4u, last_separator_pos("A\\B/C"));
  char mixed[] = "abz\xe9{";
  upper_case(mixed);
  EXPECT_STREQ("ABZ\xe9{", mixed);
  EXPECT_TRUE(same_name("C:\\Web\\x.bat", "c:\\WEB\\X.BAT"));
  EXPECT_FALSE(same_name("\xe9", "\xc9"));
  EXPECT_FALSE(same_name("AB", "ABC"));
  // Name order: upper-cased bytes first, raw bytes between names alike.
  EXPECT_LT(compare_names("PAGE.htm", "Page.htm"), 0);
  EXPECT_GT(compare_names("a_b", "AZ"), 0);  // '_' follows 'Z', and 'z' is upper-cased
  EXPECT_EQ(0, compare_names("x", "x"));
}

}  // namespace
