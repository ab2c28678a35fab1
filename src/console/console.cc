#include "console/console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/product.h"
#include "platform/platform.h"

const char* const HELP_LINES[HELP_LINE_COUNT] = {
    "               " BANNER_TEXT,
    "",
    "A line-based compiler which converts HTML files to Windows CGI files",
    "Creates <filename>.bat - properly formatted for Win32 CGI use",
    "Can also create a simple 16-bit COM executable binary",
    "The original file is NOT changed during conversion",
    "Output filetypes are specified automatically as *.BAT or *.COM",
    "Wildcards are supported in the filename for multiple file processing",
    "Directory recursion is NOT currently supported",
    "Long BAT lines are forcibly wrapped at close tags around 255 chars",
    "",
    "Syntax - QUILLFEN filespec [/switches]",
    "",
    "Switches:",
    "",
    "/BATFILE:<filename> Specify output BAT filename",
    "/COMPILE            Compile also to executable <filename>.COM file ",
    "/COMPILE:<filename> Specify output COM filename (not with wildcards)",
    "/NOCGI              Turn off CGI headers (plain text output) (/NCR)",
    "/NOBLANK            Remove blank lines",
    "/T=x                Expand tabs to 'x' spaces (0..20 - default=1)",
    "",
    "Website: " HOME_URL,
};

const char* const OPTION_HELP_LINES[OPTION_HELP_LINE_COUNT] = {
    "",
    "Usage - quillfen [option...] [--] filespec... [/switches]",
    "",
    "Options (short ones bundle: -qk is -q -k):",
    "",
    "-h, --help          Show this help",
    "--version           Show the version",
    "-q, --quiet         No banner and no progress messages",
    "-k, --keep-going    Skip a page that fails and go on with the next",
    "--full-stem         Name outputs after the whole name before its last dot",
    "--entities          Write UTF-8 text outside scripts as &#x...; references",
    "--plain-status      Exit status 0, 1 or 2 (a cut line fails the run)",
    "--count-status      Exit status is the number of pages converted",
    "--                  Every later argument is a filespec",
    "/NOWRAP             One echo command per line, broken only for length",
    "/W                  Keep lines past 8096 bytes whole",
    "/?, /H              Show the help screen",
};

namespace {

// Colours and the clearing of the screen where they belong: on a Windows
// console (the platform does nothing elsewhere), and on a POSIX terminal
// unless TERM says it is dumb or NO_COLOR asks for none.
bool console_styled() {
  if (!posix_habits())
    return true;
  if (!stdout_is_terminal())
    return false;
  const char* term = getenv("TERM");
  if (term != nullptr && strcmp(term, "dumb") == 0)
    return false;
  return getenv("NO_COLOR") == nullptr;
}

}  // namespace

void set_text_attribute(uint16_t attribute) {
  if (console_styled())
    console_set_attribute(attribute);
}

void clear_screen() {
  if (console_styled())
    console_clear_screen();
}

namespace {

// The banner line in the banner colours, filled to BANNER_WIDTH; no line feed.
void print_banner_bar() {
  set_text_attribute(ATTR_BANNER);
  printf("%-*s", BANNER_WIDTH, HELP_LINES[0]);
  set_text_attribute(ATTR_NORMAL);
}

}  // namespace

void show_help() {
  clear_screen();
  print_banner_bar();
  printf("\n");
  for (int i = 1; i < HELP_LINE_COUNT; i++)
    printf("%s\n", HELP_LINES[i]);
  exit(0);
}

void show_option_help() {
  // Leaves what the terminal shows, and its scrollback, as they are.
  print_banner_bar();
  printf("\n");
  for (int i = 1; i < HELP_LINE_COUNT; i++)
    printf("%s\n", HELP_LINES[i]);
  for (const char* line : OPTION_HELP_LINES)
    printf("%s\n", line);
  exit(0);
}

void show_version() {
  // The banner begins with the name, a blank, a 'v' and the version.
  const char* banner = BANNER_TEXT;
  int name_length = static_cast<int>(strcspn(banner, " "));
  const char* version = banner + name_length;
  if (version[0] == ' ' && version[1] == 'v')
    version += 2;
  printf("%.*s %.*s\n", name_length, banner, static_cast<int>(strcspn(version, " ")), version);
  exit(0);
}

void show_run_banner() {
  print_banner_bar();
  printf("\n\n");
}
