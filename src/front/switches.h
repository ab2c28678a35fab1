// The argument scan: every argument is upper-cased in place and read either
// as a switch or as a file spec.
#ifndef QUILLFEN_FRONT_SWITCHES_H_
#define QUILLFEN_FRONT_SWITCHES_H_

#include "common/run_options.h"

const int TAB_WIDTH_MAX = 20;

// What an argument is, read as a switch.
enum SwitchMatch { SWITCH_UNKNOWN, SWITCH_APPLIED, SWITCH_HELP };

// What the command line asks for as a whole.  A command line without a file
// spec asks for the help screen.
enum ScanRequest { REQUEST_RUN, REQUEST_HELP, REQUEST_VERSION, REQUEST_BAD_OPTION };

struct ArgumentScan {
  ScanRequest request;
  // The first argument that is no option is a file spec as well as a switch;
  // it is only a switch when it matches one and file specs follow it.  -1
  // when there is none before "--".
  int first;
  bool first_is_spec;
  // The index of "--", or the number of arguments: before it, an argument
  // that begins with '-' is an option; after it, every argument is a file
  // spec.
  int options_end;
  int bad_option;    // the first unknown option, or -1
  bool help_option;  // the help was asked for with -h or --help
};

// Upper-cases `argument` in place and applies the first switch (the ones
// that begin with a slash) that it matches.
SwitchMatch apply_switch(char* argument, RunOptions* options);

// True when the argument holds a slash or backslash after its first
// character: as the first argument it is a path, never a switch.
bool names_a_path(const char* argument);

// Whether an upper-cased argument after the first is a switch rather than
// one more file spec: it begins with a slash and holds no other separator,
// or it names an output (/BATFILE, /COMPILE), whose name may be a path.
bool reads_as_switch(const char* argument);

// Reads the options (-q, --help and the like, in any letter case, left as
// given) up to "--", and upper-cases every other argument and applies those
// that are switches, in order.  The first help or version request ends the
// scan, leaving the later arguments unread.  After an unknown option, only
// the status options are read.
ArgumentScan scan_arguments(int count, char** arguments, RunOptions* options);

// After a scan that asks for a run: whether the argument at `index` is a
// file spec, and whether it is a switch that matches none.
bool is_file_spec(const ArgumentScan& scan, int index, const char* argument);
bool is_unknown_switch(const ArgumentScan& scan, int index, const char* argument);

// Tells of the unknown option of a scan that found one; returns the status
// with which the run ends.
int report_bad_option(const ArgumentScan& scan, char** arguments, const RunOptions& options);

#endif  // QUILLFEN_FRONT_SWITCHES_H_
