// The settings of one run, as the command line sets them.
#ifndef QUILLFEN_COMMON_RUN_OPTIONS_H_
#define QUILLFEN_COMMON_RUN_OPTIONS_H_

#include <cstdint>

// The most characters of a file name, and of the current directory.
const int PATH_CAPACITY = 260;

// The longest path that the tool takes whole from the command line; a longer
// one is refused, never cut.
const int TYPED_PATH_CAPACITY = 4095;

// Room for a path that the driver composes: a directory of at most
// TYPED_PATH_CAPACITY characters, a name of at most PATH_CAPACITY and an
// extension.
const int LONG_PATH_CAPACITY = TYPED_PATH_CAPACITY + PATH_CAPACITY + 8;

// What the exit status of a run reports: the platform's own convention, or
// one chosen on the command line.
enum StatusMode {
  STATUS_MODE_DEFAULT,
  STATUS_MODE_PLAIN,  // 0 done, 1 failed, 2 a wrong command line
  STATUS_MODE_COUNT   // the number of sources converted, 1 for anything else
};

struct RunOptions {
  int32_t tab_width = 1;
  bool discard_overflow = true;
  bool cgi_header = true;
  bool credits = true;
  bool remove_blank_lines = false;
  bool no_wrap = false;   // one echo command per line, broken only for length
  bool entities = false;  // UTF-8 text outside scripts and styles as character references
  bool compile_com = false;
  bool quiet = false;       // no banner and no progress messages
  bool keep_going = false;  // a source that fails is skipped, the run goes on
  bool full_stem = false;   // outputs named from the whole name before its last dot
  StatusMode status_mode = STATUS_MODE_DEFAULT;
  // Overrides from the command line; while a source is converted, the output
  // paths in use.
  char bat_path[LONG_PATH_CAPACITY + 1] = {};
  char com_path[LONG_PATH_CAPACITY + 1] = {};
  // A /BATFILE or /COMPILE name too long to hold whole, as given; it is
  // refused before anything is opened.
  const char* bat_path_too_long = nullptr;
  const char* com_path_too_long = nullptr;
};

#endif  // QUILLFEN_COMMON_RUN_OPTIONS_H_
