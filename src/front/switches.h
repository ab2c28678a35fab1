// The argument scan: every argument is upper-cased in place and read either
// as a switch or as a file spec.
#ifndef QUILLFEN_FRONT_SWITCHES_H_
#define QUILLFEN_FRONT_SWITCHES_H_

#include <cstdint>

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
  // For a run: the indexes of the file specs and of the switches that match
  // none, in order, and of the arguments whose output names the options
  // took (the last /BATFILE: and /COMPILE: with a name), or -1.
  int* specs;
  int spec_count;
  int* unknown;
  int unknown_count;
  int named_outputs[2];
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

// Keeps a copy of every argument as typed in `*typed`, before the scan
// upper-cases them; false when memory runs out.
bool keep_typed(int count, char** arguments, char*** typed);

// Lets go of the lists of a scan.
void scan_release(ArgumentScan* scan);

// The output name in a /BATFILE: or /COMPILE: argument, as given.
const char* output_name_of(const char* argument);

// Reads the first run of digits in the text as a decimal number (0 when there
// is none; saturated), as if everything before it were blanks.  The text is
// left as it is: an argument read as a switch may also be the file spec.
int32_t parse_tab_number(const char* text);

// After a scan for a run: false, after the message, when a file spec (as
// `shown`, the arguments as messages show them) or an output name is too
// long for the tool or the platform to hold whole.
bool paths_fit(char** shown, const ArgumentScan& scan, const RunOptions& options);

// Names every switch after the first argument that matches none (the run
// goes on without it); true when there was one.
bool report_unknown_switches(char** arguments, const ArgumentScan& scan);

// Tells of the unknown option of a scan that found one; returns the status
// with which the run ends.
int report_bad_option(const ArgumentScan& scan, char** arguments, const RunOptions& options);

#endif  // QUILLFEN_FRONT_SWITCHES_H_
