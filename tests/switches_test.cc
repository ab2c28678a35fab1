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
  ArgumentScan scan;
  bool help = false;
  explicit Scan(std::vector<std::string> given) : arguments(std::move(given)) {
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
      pointers.push_back(&argument[0]);
    scan = scan_arguments(static_cast<int>(pointers.size()), pointers.data(), &options);
    help = scan.request == REQUEST_HELP;
  }
  ~Scan() { scan_release(&scan); }
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;
  // The indexes of the file specs, and of the switches that match none.
  std::vector<int> specs() const {
    return std::vector<int>(scan.specs, scan.specs + scan.spec_count);
  }
  std::vector<int> unknown() const {
    return std::vector<int>(scan.unknown, scan.unknown + scan.unknown_count);
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
  for (const char* request : {"--help", "-h", "--HELP", "-H"}) {
    EXPECT_TRUE(Scan({request}).help) << request;
    EXPECT_TRUE(Scan({"x.htm", request, "y.htm"}).help) << request;
  }
  EXPECT_FALSE(Scan({"x.htm", "--helpme"}).help);
  EXPECT_FALSE(Scan({"x.htm", "-help"}).help);
}

TEST(Switches, TheFirstHelpOrVersionRequestWins) {
  EXPECT_EQ(REQUEST_VERSION, Scan({"--version"}).scan.request);
  EXPECT_EQ(REQUEST_VERSION, Scan({"x.htm", "--Version", "/?"}).scan.request);
  EXPECT_EQ(REQUEST_HELP, Scan({"x.htm", "-h", "--version"}).scan.request);
  EXPECT_EQ(REQUEST_RUN, Scan({"x.htm", "/VERSION"}).scan.request);
}

TEST(Switches, LaterArgumentsAreSwitchesOnlyWithALeadingSlashAndNoOtherSeparator) {
  Scan scan({"a.htm", "b.htm", "/T=3", "/tmp/c.htm", "web\\d.htm", "/NCR", "", "e.htm",
             "/batfile:/tmp/out.bat", "/COMPILE:C:\\OUT\\X.COM", "/X\\Y.HTM"});
  EXPECT_EQ((std::vector<int>{0, 1, 3, 4, 6, 7, 10}), scan.specs());
  EXPECT_EQ(3, scan.options.tab_width);
  EXPECT_FALSE(scan.options.credits);
  // A name given with /BATFILE or /COMPILE may be a path.
  EXPECT_STREQ("/TMP/OUT.BAT", scan.options.bat_path);
  EXPECT_STREQ("C:\\OUT\\X.COM", scan.options.com_path);
  // A file spec is upper-cased and read as nothing else.
  EXPECT_EQ("/TMP/C.HTM", scan.arguments[3]);
  EXPECT_EQ(1, Scan({"a.htm", "/tab/x.htm"}).options.tab_width);
}

TEST(Switches, AFirstSwitchIsNoFileSpecOnlyWhenFileSpecsFollow) {
  // As the shell passes "quillfen /COMPILE *.htm".
  Scan compile({"/compile", "a.htm", "b.htm"});
  EXPECT_TRUE(compile.options.compile_com);
  EXPECT_EQ((std::vector<int>{1, 2}), compile.specs());
  EXPECT_EQ((std::vector<int>{0}), Scan({"/COMPILE"}).specs());
  EXPECT_EQ((std::vector<int>{0}), Scan({"/COMPILE", "/NCR"}).specs());
  // A first argument that matches no switch stays a file spec.
  EXPECT_EQ((std::vector<int>{0, 1}), Scan({"/PAGE.HTM", "b.htm"}).specs());
  EXPECT_EQ((std::vector<int>{0, 1}), Scan({"/tmp/a.htm", "b.htm"}).specs());
}

TEST(Switches, UnknownSwitchesAreThoseAfterTheFirstArgumentThatMatchNone) {
  Scan scan({"/BOGUS", "/HELP", "/?x", "b.htm", "/NOCGI2", "/NCR", "/a/b", "--", "/X"});
  EXPECT_EQ((std::vector<int>{1, 2, 4}), scan.unknown());
  EXPECT_FALSE(scan.help);
}

TEST(Switches, OptionsMatchWholeInAnyCaseAndAreNeitherSpecsNorUpperCased) {
  Scan scan({"-q", "a.htm", "--KEEP-going", "/NCR", "--full-stem", "-K"});
  EXPECT_EQ(REQUEST_RUN, scan.scan.request);
  EXPECT_TRUE(scan.options.quiet);
  EXPECT_TRUE(scan.options.keep_going);
  EXPECT_TRUE(scan.options.full_stem);
  EXPECT_FALSE(scan.options.credits);
  EXPECT_EQ((std::vector<int>{1}), scan.specs());
  EXPECT_EQ("--KEEP-going", scan.arguments[2]);
  EXPECT_EQ("--full-stem", scan.arguments[4]);
  EXPECT_TRUE(Scan({"a.htm", "--quiet"}).options.quiet);
  EXPECT_FALSE(Scan({"a.htm"}).options.quiet || Scan({"a.htm"}).options.keep_going);

  // The last status option wins; without one the platform decides.
  EXPECT_EQ(STATUS_MODE_DEFAULT, Scan({"a.htm"}).options.status_mode);
  EXPECT_EQ(STATUS_MODE_PLAIN,
            Scan({"--count-status", "a.htm", "--plain-status"}).options.status_mode);
  EXPECT_EQ(STATUS_MODE_COUNT,
            Scan({"--plain-status", "a.htm", "--Count-Status"}).options.status_mode);
}

TEST(Switches, AfterTheEndOfOptionsEveryArgumentIsAFileSpec) {
  Scan scan({"-q", "--", "--version", "-k", "/NCR", "/?", "--"});
  EXPECT_EQ(REQUEST_RUN, scan.scan.request);
  EXPECT_EQ((std::vector<int>{2, 3, 4, 5, 6}), scan.specs());
  EXPECT_TRUE(scan.options.quiet);
  EXPECT_FALSE(scan.options.keep_going);
  EXPECT_TRUE(scan.options.credits);
  EXPECT_TRUE(scan.unknown().empty());
  EXPECT_EQ("--VERSION", scan.arguments[2]);  // upper-cased like any file spec

  // A first argument that is a switch stays one when the specs follow "--".
  Scan compile({"/COMPILE", "--", "a.htm"});
  EXPECT_TRUE(compile.options.compile_com);
  EXPECT_EQ((std::vector<int>{2}), compile.specs());
  EXPECT_EQ((std::vector<int>{0, 3}), Scan({"a.htm", "/W", "--", "b.htm"}).specs());
}

TEST(Switches, AnUnknownOptionFailsTheScanUnlessHelpCameFirst) {
  EXPECT_EQ(REQUEST_BAD_OPTION, Scan({"-x", "--help", "/?"}).scan.request);
  EXPECT_EQ(REQUEST_BAD_OPTION, Scan({"-x", "--", "--help"}).scan.request);
  EXPECT_EQ(REQUEST_HELP, Scan({"--help", "-x"}).scan.request);
  EXPECT_EQ(REQUEST_HELP, Scan({"a.htm", "/?", "-x"}).scan.request);
  EXPECT_EQ(REQUEST_RUN, Scan({"a.htm", "--", "-x"}).scan.request);
  EXPECT_EQ(2, Scan({"a.htm", "-q", "-v", "-w"}).scan.bad_option);
  // After it only the status options are read.
  Scan late({"-x", "a.htm", "/NCR", "-q", "--count-status"});
  EXPECT_TRUE(late.options.credits);
  EXPECT_FALSE(late.options.quiet);
  EXPECT_EQ(STATUS_MODE_COUNT, late.options.status_mode);
  // Options alone ask for the help screen; a first switch is a file spec.
  EXPECT_TRUE(Scan({"-k", "--quiet", "--"}).help);
  EXPECT_FALSE(Scan({"-q", "/NOCGI"}).help);
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
    ArgumentScan scan = scan_arguments(1, &pointer, &options);
    scan_release(&scan);
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
