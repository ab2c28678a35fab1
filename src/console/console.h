// The help screen, the banner bar and the console colours.
#ifndef QUILLFEN_CONSOLE_CONSOLE_H_
#define QUILLFEN_CONSOLE_CONSOLE_H_

#include <cstdint>

const uint16_t ATTR_NORMAL = 0x07;  // light grey on black
const uint16_t ATTR_BANNER = 0x1F;  // bright white on blue
const int BANNER_WIDTH = 79;
const int HELP_LINE_COUNT = 23;

// Entry 0 is the banner line; entries 1 to 22 are the help text.
extern const char* const HELP_LINES[HELP_LINE_COUNT];

void set_text_attribute(uint16_t attribute);
void clear_screen();

// Clears the screen, shows the help and ends the process with status 0.
[[noreturn]] void show_help();

// The lines that follow the help text when the help is asked for with an
// option: the options and the switches that the help text leaves out.
const int OPTION_HELP_LINE_COUNT = 17;
extern const char* const OPTION_HELP_LINES[OPTION_HELP_LINE_COUNT];

// The help without clearing the screen, then the option lines; ends the
// process with status 0.
[[noreturn]] void show_option_help();

// Prints the product name and version, as the banner gives them, and ends
// the process with status 0.
[[noreturn]] void show_version();

// The banner bar and two line feeds, once per run.
void show_run_banner();

#endif  // QUILLFEN_CONSOLE_CONSOLE_H_
