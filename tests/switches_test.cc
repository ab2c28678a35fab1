#include "front/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Scans copies of the arguments, as the program's own would be changed.
struct Scan {
  std::vector<std::string> arguments;  // kept: the options may point into them
  RunOptions options;
  bool help = false;
  explicit Scan(std::vector<std::string> given) : arguments(std::move(given)) {
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
      pointers.push_back(&argument[0]);
    help = scan_arguments(static_cast<int>(pointers.size()), pointers.data(), &options);
  }
};

TEST(Switches, DefaultsHoldWithoutSwitches) {
  Scan scan({"page.htm"});
  EXPECT_FALSE(scan.help);
  EXPECT_EQ(1, scan.options.tab_width);
  EXPECT_TRUE(scan.options.discard_overflow);
  EXPECT_TRUE(scan.options.cgi_header);
  EXPECT_TRUE(scan.options.credits);
  EXPECT_FALSE(scan.options.remove_blank_lines);
  EXPECT_FALSE(scan.options.compile_com);
  EXPECT_STREQ("", scan.options.bat_path);
}

TEST(Switches, HelpOnlyForWholeArguments) {
  EXPECT_TRUE(Scan({"x.htm", "/T=5", "/h"}).help);
  EXPECT_TRUE(Scan({"/?"}).help);
  EXPECT_FALSE(Scan({"x.htm", "/HELP"}).help);
  EXPECT_FALSE(Scan({"x.htm", "/?x"}).help);
}

TEST(Switches, TabWidthIsReadFromTheFourthCharacter) {
  struct Case {
    const char* argument;
    int width;
  } cases[] = {{"/t=3", 3},   {"/T=25", 20}, {"/T=0", 0}, {"/T=-3", 3},
               {"/T=abc", 0}, {"/T=", 0},    {"/T5", 0},  {"/T:7", 7},
               {"/TAB=4", 4}, {"/T=1X2", 1}, {"/T", 0},   {"/T=99999999999", 20}};
  for (const Case& c : cases)
    EXPECT_EQ(c.width, Scan({"x", c.argument}).options.tab_width) << c.argument;
}

TEST(Switches, FlagsMatchAsTheTableSays) {
  EXPECT_FALSE(Scan({"x", "/W"}).options.discard_overflow);
  EXPECT_FALSE(Scan({"x", "/wrap"}).options.discard_overflow);
  EXPECT_FALSE(Scan({"x", "/ncr"}).options.credits);
  EXPECT_TRUE(Scan({"x", "/NCRX"}).options.credits);
  EXPECT_FALSE(Scan({"x", "/nocgi"}).options.cgi_header);
  EXPECT_TRUE(Scan({"x", "/NOCGI2"}).options.cgi_header);
  EXPECT_TRUE(Scan({"x", "/noblank"}).options.remove_blank_lines);
  EXPECT_TRUE(Scan({"x", "/nowrap"}).options.no_wrap);
  EXPECT_FALSE(Scan({"x", "/NOWRAPS"}).options.no_wrap);
  EXPECT_TRUE(Scan({"x", "/NOWRAP"}).options.discard_overflow);
  // The file spec argument is read as a switch as well.
  EXPECT_FALSE(Scan({"/NOCGI"}).options.cgi_header);
  EXPECT_EQ(3, Scan({"/T=3"}).options.tab_width);
}

TEST(Switches, AFirstArgumentWithASeparatorIsOnlyAPath) {
  EXPECT_EQ(1, Scan({"/tmp/page2/*.htm"}).options.tab_width);
  EXPECT_TRUE(Scan({"/work/site/*.htm"}).options.discard_overflow);
  EXPECT_FALSE(Scan({"/BATFILE:/tmp/a.bat"}).options.bat_path[0] != '\0');
  EXPECT_FALSE(Scan({"C:\\WEB\\*.HTM", "/w"}).options.discard_overflow);

  // No switch routine changes its argument beyond upper-casing it.
  std::vector<std::string> specs = {"/t=3", "/tab/x.htm", "/T", "/W/x"};
  for (std::string spec : specs) {
    std::string argument = spec;
    RunOptions options;
    char* pointer = &argument[0];
    scan_arguments(1, &pointer, &options);
    for (char& c : spec)
      c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(spec, argument);
  }
}

TEST(Switches, OutputNamesAreUpperCasedAndTakenFromTheTenthCharacter) {
  EXPECT_STREQ("OUT.BAT", Scan({"x", "/batfile:out.bat"}).options.bat_path);
  EXPECT_STREQ("OUT.BAT", Scan({"x", "/BATFILE=OUT.BAT"}).options.bat_path);
  EXPECT_STREQ("UT.BAT", Scan({"x", "/BATFILEOUT.BAT"}).options.bat_path);
  EXPECT_STREQ("", Scan({"x", "/BATFILE"}).options.bat_path);
  EXPECT_STREQ("", Scan({"x", "/BATFILE:A.BAT", "/BATFILE:"}).options.bat_path);

  Scan compile({"x", "/compile:x.com"});
  EXPECT_TRUE(compile.options.compile_com);
  EXPECT_STREQ("X.COM", compile.options.com_path);
  Scan keeps({"x", "/COMPILE:A.COM", "/COMPILE:"});
  EXPECT_TRUE(keeps.options.compile_com);
  EXPECT_STREQ("A.COM", keeps.options.com_path);
  EXPECT_TRUE(Scan({"x", "/COMPILEX"}).options.compile_com);
  EXPECT_STREQ("", Scan({"x", "/COMPILEX"}).options.com_path);
}

TEST(Switches, NamesAreTakenWholeOrNotedAsTooLong) {
  std::string name(400, 'n');
  Scan scan({"x", "/BATFILE:" + name, "/COMPILE:" + name});
  EXPECT_EQ(std::string(400, 'N'), scan.options.bat_path);
  EXPECT_EQ(std::string(400, 'N'), scan.options.com_path);

  std::string overlong(TYPED_PATH_CAPACITY + 1, 'n');
  Scan refused({"x", "/BATFILE:" + overlong, "/COMPILE:" + overlong});
  EXPECT_STREQ("", refused.options.bat_path);
  ASSERT_NE(nullptr, refused.options.bat_path_too_long);
  EXPECT_EQ(std::string(TYPED_PATH_CAPACITY + 1, 'N'), refused.options.bat_path_too_long);
  EXPECT_NE(nullptr, refused.options.com_path_too_long);
  // A later name of the same kind overrides the refused one.
  EXPECT_EQ(nullptr, Scan({"x", "/BATFILE:" + overlong, "/BATFILE:A"}).options.bat_path_too_long);
}

}  // namespace
