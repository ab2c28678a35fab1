// The argument scan: every argument is upper-cased in place and read either
// as a switch or as a file spec.
#ifndef QUILLFEN_FRONT_SWITCHES_H_
#define QUILLFEN_FRONT_SWITCHES_H_

#include "common/run_options.h"

const int TAB_WIDTH_MAX = 20;

// What an argument is, read as a switch.
enum SwitchMatch { SWITCH_UNKNOWN, SWITCH_APPLIED, SWITCH_HELP, SWITCH_VERSION };

// What the command line asks for as a whole.
enum ScanRequest { REQUEST_RUN, REQUEST_HELP, REQUEST_VERSION };

struct ArgumentScan {
  ScanRequest request;
  // The first argument is a file spec as well as a switch; it is only a
  // switch when it matches one and file specs follow it.
  bool first_is_spec;
};

// Upper-cases `argument` in place and applies the first switch that it
// matches.  "--HELP" and "-H" ask for the help screen like "/?", "--VERSION"
// for the version.
SwitchMatch apply_switch(char* argument, RunOptions* options);

// True when the argument holds a slash or backslash after its first
// character: as the first argument it is a path, never a switch.
bool names_a_path(const char* argument);

// Whether an upper-cased argument after the first is a switch rather than
// one more file spec: it begins with a slash and holds no other separator,
// or it names an output (/BATFILE, /COMPILE), whose name may be a path.
bool reads_as_switch(const char* argument);

// Upper-cases every argument and applies those that are switches, in order;
// the first help or version request ends the scan, leaving the later
// arguments unread.
ArgumentScan scan_arguments(int count, char** arguments, RunOptions* options);

// After a scan that asks for a run: whether the argument at `index` is a
// file spec, and whether it is a switch that matches none.
bool is_file_spec(const ArgumentScan& scan, int index, const char* argument);
bool is_unknown_switch(int index, const char* argument);

#endif  // QUILLFEN_FRONT_SWITCHES_H_
