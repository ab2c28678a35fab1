// The argument scan: every argument is upper-cased in place and compared with
// the switch table.
#ifndef QUILLFEN_FRONT_SWITCHES_H_
#define QUILLFEN_FRONT_SWITCHES_H_

#include "common/run_options.h"

const int TAB_WIDTH_MAX = 20;

// Upper-cases `argument` in place and applies the first switch that it
// matches.  Returns true when it asks for the help screen.
bool apply_switch(char* argument, RunOptions* options);

// True when the argument holds a slash or backslash after its first
// character: as the first argument it is a path, never a switch.
bool names_a_path(const char* argument);

// Applies every argument in order (the first only when it is no path); returns true at the first
// help request, leaving the later arguments unread.
bool scan_arguments(int count, char** arguments, RunOptions* options);

#endif  // QUILLFEN_FRONT_SWITCHES_H_
