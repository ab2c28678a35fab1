// The settings of one run, as the command line sets them.
#ifndef QUILLFEN_COMMON_RUN_OPTIONS_H_
#define QUILLFEN_COMMON_RUN_OPTIONS_H_

#include <cstdint>

// The most characters that a path text from the command line holds.
const int PATH_CAPACITY = 260;

// Room for a path that the driver composes: a directory of at most
// PATH_CAPACITY characters, a name of at most PATH_CAPACITY and an extension.
const int LONG_PATH_CAPACITY = 3 * PATH_CAPACITY;

struct RunOptions {
  int32_t tab_width = 1;
  bool discard_overflow = true;
  bool cgi_header = true;
  bool credits = true;
  bool remove_blank_lines = false;
  bool compile_com = false;
  // Overrides from the command line; while a source is converted, the output
  // paths in use.
  char bat_path[LONG_PATH_CAPACITY + 1] = {};
  char com_path[LONG_PATH_CAPACITY + 1] = {};
};

#endif  // QUILLFEN_COMMON_RUN_OPTIONS_H_
