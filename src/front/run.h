// What one run holds and every stage of the driver shares: the settings,
// the arguments as typed, the folders and the list of sources, and the
// buffers reused for every source.
#ifndef QUILLFEN_FRONT_RUN_H_
#define QUILLFEN_FRONT_RUN_H_

#include "common/run_options.h"
#include "convert/bat_writer.h"
#include "convert/com_image.h"
#include "convert/line_reader.h"
#include "convert/source_stream.h"
#include "front/folders.h"
#include "front/known_files.h"
#include "front/outputs.h"
#include "front/source_list.h"

// What a stage tells the driver: go on, or end the source (or the run) with
// status 1.
const int STATUS_FAILED = 1;
const int STATUS_CONTINUE = -1;

// A file spec that matched: its folder, and its directory as messages show
// it (upper-cased as typed, or the current directory, with a separator).
struct Spec {
  Folder* folder;
  char* shown;
  // Where messages show paths as typed: the directory as the upper-cased
  // spec gives it, which the outputs' credit remarks keep naming.
  char* credited;
};

// Everything one run holds: the settings, the arguments as typed, the
// folders and the list of sources, and the buffers reused for every source.
struct Run {
  RunOptions options;
  char** typed;       // the arguments before upper-casing
  ArgumentScan scan;  // what the upper-cased arguments are
  // The output names of /BATFILE: and /COMPILE: as typed, or nullptr.
  const char* named_outputs[2];
  // The directory of the file spec being listed, then the search pattern, as
  // messages show them; then the source being converted.
  char source_dir[LONG_PATH_CAPACITY + 1];
  char source_path[LONG_PATH_CAPACITY + 1];
  char credit_path[LONG_PATH_CAPACITY + 1];  // the source as the credit remarks name it
  SourceList list;                           // the matches of every file spec, in the order given
  Spec* specs;                               // by the index that the sources carry
  int spec_count;
  FolderSet folders;
  KnownFiles known;  // the listed sources, and the outputs made so far
  // Something the run was asked for was not done; it ends with status 1.
  bool incomplete;
  // Text of a page was left out of its outputs, which were written all the
  // same: a failure where the statuses say only done or failed.
  bool cut;
  int converted;  // sources converted, and sources that failed
  int failed;
  OutputPlace places[2];  // of the script and the program
  char line[LINE_CAPACITY + 1];
  SourceStream source;
  BatWriter bat;
  ComImage com;
};

#endif  // QUILLFEN_FRONT_RUN_H_
