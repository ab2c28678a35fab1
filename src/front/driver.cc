#include "front/driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/run_options.h"
#include "common/text.h"
#include "console/console.h"
#include "convert/bat_writer.h"
#include "convert/com_image.h"
#include "convert/line_reader.h"
#include "convert/source_stream.h"
#include "front/folders.h"
#include "front/known_files.h"
#include "front/names.h"
#include "front/source_list.h"
#include "front/status.h"
#include "front/switches.h"
#include "platform/platform.h"

namespace {

const int STATUS_FAILED = 1;
const int STATUS_CONTINUE = -1;

// How the lines of one source came to an end.
enum LinesEnd { LINES_DONE, LINES_STOPPED, LINES_BAT_FAILED, LINES_COM_FAILED };

// A file spec that matched: its folder, and its directory as messages show
// it (upper-cased as typed, or the current directory, with a separator).
struct Spec {
  Folder* folder;
  char* shown;
};

// Where an output lands: an entry of a folder, by the name it has there (or
// will have), and the path that messages show for it.
struct OutputPlace {
  Folder* folder;
  char name[OUTPUT_NAME_CAPACITY];
  bool exists;  // the listing, or the run, knows the entry
  int earlier;  // the earlier source of the run that wrote it, or -1
};

// Everything one run holds: the settings, the arguments as typed, the
// folders and the list of sources, and the buffers reused for every source.
struct Run {
  RunOptions options;
  char** typed;  // the arguments before upper-casing
  // The directory of the file spec being listed, then the search pattern, as
  // messages show them; then the source being converted.
  char source_dir[LONG_PATH_CAPACITY + 1];
  char source_path[LONG_PATH_CAPACITY + 1];
  SourceList list;  // the matches of every file spec, in the order given
  Spec* specs;      // by the index that the sources carry
  int spec_count;
  FolderSet folders;
  KnownFiles known;  // the listed sources, and the outputs made so far
  // Something the run was asked for was not done; it ends with status 1.
  bool incomplete;
  // Text of a page was left out of its outputs, which were written all the
  // same: a failure where the statuses say only done or failed.
  bool cut;
  OutputPlace places[2];  // of the script and the program
  char line[LINE_CAPACITY + 1];
  SourceStream source;
  BatWriter bat;
  ComImage com;
};

// The one run of the process; too large for the stack.
Run the_run;

// Tells of a path from the command line that the tool or the platform cannot
// hold whole; true after the message.
bool path_too_long(const char* path) {
  size_t longest = static_cast<size_t>(longest_path());
  if (longest > static_cast<size_t>(TYPED_PATH_CAPACITY))
    longest = TYPED_PATH_CAPACITY;
  if (path == nullptr || strlen(path) <= longest)
    return false;
  say("Error: Path too long: %s\n", path);
  return true;
}

// Refuses the run when a file spec or an output name is too long; returns
// STATUS_FAILED after the message, or STATUS_CONTINUE.
int check_path_lengths(int count, char** arguments, const ArgumentScan& scan,
                       const RunOptions& options) {
  for (int i = 0; i < count; i++) {
    if (is_file_spec(scan, i, arguments[i]) && path_too_long(arguments[i]))
      return STATUS_FAILED;
  }
  const char* given[] = {options.bat_path_too_long, options.com_path_too_long, options.bat_path,
                         options.com_path};
  for (const char* path : given) {
    if (path_too_long(path))
      return STATUS_FAILED;
  }
  return STATUS_CONTINUE;
}

// Names every switch after the first argument that matches none; the run
// goes on without it.
void warn_unknown_switches(Run* run, int count, char** arguments, const ArgumentScan& scan) {
  for (int i = 0; i < count; i++) {
    if (is_unknown_switch(scan, i, arguments[i])) {
      say("Warning: Unknown switch %s ignored\n", arguments[i]);
      run->incomplete = true;
    }
  }
}

// The second line of an error: the system's reason in words.
void print_reason(int reason) {
  if (reason == REASON_NONE)
    return;
  char text[256];
  reason_text(reason, text, sizeof text);
  say("  %s\n", text);
}

// Says why a file spec found nothing to convert.
void report_no_match(const Run* run, const char* spec, const SearchOutcome& outcome) {
  say("Error: No files found matching \"%s\"\n", run->source_path);
  print_reason(outcome.reason);
  char name[LONG_PATH_CAPACITY + 1];
  base_name(spec, name);
  bool wildcard = strpbrk(name, "*?") != nullptr;
  if (outcome.skipped == 1 && outcome.directories == 1 && name[0] != '\0' && !wildcard)
    say("  (a directory: give %s%c or %s%c*.htm)\n", spec, native_separator(), spec,
        native_separator());
  else if (outcome.skipped > 0)
    say("  (%i matching entries are directories, read-only, hidden or system files)\n",
        outcome.skipped);
}

// Sets source_dir to the directory of the upper-cased file spec `spec` as
// messages show it, and source_path to its search pattern.
void show_file_spec(Run* run, const char* spec) {
  char directory[LONG_PATH_CAPACITY + 1];
  spec_directory(spec, directory);
  int reason;
  if (directory[0] == '\0')
    current_directory(run->source_dir, PATH_CAPACITY + 1, &reason);
  else
    copy_bounded(run->source_dir, directory, LONG_PATH_CAPACITY);
  append_separator(run->source_dir, LONG_PATH_CAPACITY, native_separator());
  char name[LONG_PATH_CAPACITY + 1];
  base_name(spec, name);
  copy_bounded(run->source_path, run->source_dir, LONG_PATH_CAPACITY);
  append_text(run->source_path, LONG_PATH_CAPACITY, name);
}

// Resolves one file spec, given upper-cased and as typed, and lists its
// matches after those of the specs before it.  A spec that matches nothing,
// or whose directory cannot be read to its end, gets its error, and the run
// goes on with the others.
void list_spec(Run* run, const char* spec, const char* typed) {
  show_file_spec(run, spec);
  char directory[LONG_PATH_CAPACITY + 1];
  char pattern[LONG_PATH_CAPACITY + 1];
  spec_directory(typed, directory);
  base_name(typed, pattern);
  SearchOutcome outcome = {0, 0, REASON_NONE};
  Spec* entry = &run->specs[run->spec_count];
  entry->folder = folder_open(&run->folders, directory, &outcome.reason);
  int found = -1;
  if (entry->folder != nullptr && store_copy(&entry->shown, run->source_dir))
    found = list_matching_files(entry->folder, pattern, &run->list, run->spec_count, &outcome);
  if (found > 0) {
    run->spec_count++;
    return;
  }
  run->incomplete = true;
  free(entry->shown);
  entry->shown = nullptr;
  if (outcome.reason != REASON_NONE && !reason_is_missing(outcome.reason)) {
    say("Error: Can't read directory %s\n", run->source_dir);
    print_reason(outcome.reason);
  } else {
    report_no_match(run, spec, outcome);
  }
}

// Lists the matches of every file spec, in the order given, before anything
// is converted, and files the identity of each, so that no output of the run
// is written over one of them.
void list_sources(Run* run, int count, char** arguments, const ArgumentScan& scan) {
  run->specs = static_cast<Spec*>(calloc(static_cast<size_t>(count), sizeof(Spec)));
  if (run->specs == nullptr)
    return;
  for (int i = 0; i < count; i++) {
    if (is_file_spec(scan, i, arguments[i]))
      list_spec(run, arguments[i], run->typed[i]);
  }
  for (int i = 0; i < run->list.count; i++) {
    const FileIdentity& identity = run->list.entries[i].identity;
    if (identity_known(identity) && !known_put(&run->known, identity, nullptr, i))
      run->list.count = 0;
  }
}

// The output name of a switch as typed: the text after "/BATFILE" or
// "/COMPILE" and its separator in the last such argument, whose upper-cased
// text the scan took.
const char* typed_output(const Run* run, int count, const char* prefix, const char* taken) {
  size_t length = strlen(prefix);
  for (int i = count - 1; i >= 0; i--) {
    const char* typed = run->typed[i];
    char start[16];
    copy_bounded(start, typed, length);
    if (strlen(typed) > length + 1 && same_name(start, prefix) &&
        same_name(typed + length + 1, taken))
      return typed + length + 1;
  }
  return taken;
}

// Finds the entry that `wanted` means in the folder of `place`: as spelt,
// else in another case, in the listing or among the names the run made;
// else `fallback`, the name a new file gets.  Notes which earlier source
// wrote it.
void find_entry(Run* run, OutputPlace* place, const char* wanted, const char* fallback) {
  const char* made = nullptr;
  place->earlier = known_find(&run->known, place->folder->identity, wanted, &made);
  const char* found = folder_find(place->folder, wanted);
  if (found == nullptr)
    found = made;
  place->exists = found != nullptr;
  copy_bounded(place->name, found != nullptr ? found : fallback, OUTPUT_NAME_CAPACITY - 1);
}

// The place of an output named on the command line: `typed` as typed.
bool place_named_output(Run* run, const char* typed, OutputPlace* place, int* reason) {
  char directory[LONG_PATH_CAPACITY + 1];
  char base[LONG_PATH_CAPACITY + 1];
  size_t cut = last_separator_pos(typed);
  copy_bounded(directory, typed, cut);
  copy_bounded(base, typed + cut, LONG_PATH_CAPACITY);
  place->folder = folder_open(&run->folders, directory, reason);
  if (place->folder == nullptr || (*reason = folder_list(place->folder)) != REASON_NONE)
    return false;
  char wanted[OUTPUT_NAME_CAPACITY];
  char created[OUTPUT_NAME_CAPACITY];
  typed_name(base, wanted, sizeof wanted);
  upper_case(base);
  typed_name(base, created, sizeof created);
  find_entry(run, place, wanted, created);
  return true;
}

// The place of an output derived from the source `listed`: its stem and
// `extension` in the source's folder; `shown` becomes the path that messages
// show for it.
void place_derived_output(Run* run, const ListedSource& listed, const char* extension,
                          OutputPlace* place, char* shown) {
  char stem[PATH_CAPACITY + 1];
  char wanted[OUTPUT_NAME_CAPACITY];
  if (run->options.full_stem)
    full_stem(listed.name, stem);
  else
    file_stem(listed.name, stem);
  snprintf(wanted, sizeof wanted, "%s%s", stem, extension);
  place->folder = run->specs[listed.spec].folder;
  find_entry(run, place, wanted, wanted);
  char shown_stem[LONG_PATH_CAPACITY + 1];
  shown_name(stem, shown_stem, sizeof shown_stem);
  copy_bounded(shown, run->specs[listed.spec].shown, LONG_PATH_CAPACITY);
  append_text(shown, LONG_PATH_CAPACITY, shown_stem);
  append_text(shown, LONG_PATH_CAPACITY, extension);
}

// Where the outputs of the source at `index` land, and how messages show
// them; false, after the message, when a named output's directory cannot be
// opened.
bool place_outputs(Run* run, int index, int count) {
  RunOptions& options = run->options;
  const ListedSource& listed = run->list.entries[index];
  char* shown[2] = {options.bat_path, options.com_path};
  const char* prefixes[2] = {"/BATFILE", "/COMPILE"};
  const char* extensions[2] = {".bat", ".com"};
  int reason;
  for (int i = 0; i < (options.compile_com ? 2 : 1); i++) {
    OutputPlace* place = &run->places[i];
    if (shown[i][0] == '\0') {
      place_derived_output(run, listed, extensions[i], place, shown[i]);
    } else if (!place_named_output(run, typed_output(run, count, prefixes[i], shown[i]), place,
                                   &reason)) {
      say("Error: Can't open %s file %s for output\n", i == 0 ? "batch" : "COM", shown[i]);
      print_reason(reason);
      return false;
    }
  }
  return true;
}

// Refuses open outputs that would replace a source or each other; returns
// STATUS_FAILED after the message, or STATUS_CONTINUE.
int check_outputs(const Run* run, const OutputFile& bat, const OutputFile& com) {
  const RunOptions& options = run->options;
  const OutputFile* outputs[] = {&bat, &com};
  const char* shown[] = {options.bat_path, options.com_path};
  for (int i = 0; i < 2; i++) {
    const FileIdentity& replaced = outputs[i]->replaced;
    if ((i == 0 || com.stream != nullptr) && identity_known(replaced) &&
        known_find(&run->known, replaced, nullptr) >= 0) {
      say("Error: Input file can't be the same as the output file\n  ->%s\n", shown[i]);
      return STATUS_FAILED;
    }
  }
  // The same entry, links followed, or one file under two names.
  if (com.stream != nullptr &&
      ((same_identity(directory_identity(bat.directory), directory_identity(com.directory)) &&
        same_name(bat.target, com.target)) ||
       (identity_known(bat.replaced) && same_identity(bat.replaced, com.replaced)))) {
    say("Error: BAT and COM outputs can't be the same file\n  ->%s\n", options.com_path);
    return STATUS_FAILED;
  }
  return STATUS_CONTINUE;
}

// Files the output just put in place as written for `index`.
void note_written(Run* run, const OutputPlace& place, int index) {
  if (!known_put(&run->known, place.folder->identity, place.name, index))
    run->incomplete = true;
}

// `path` becomes the listed source at `index` as messages show it.
void shown_source(const Run* run, int index, char* path) {
  const ListedSource& source = run->list.entries[index];
  char name[LONG_PATH_CAPACITY + 1];
  shown_name(source.name, name, sizeof name);
  copy_bounded(path, run->specs[source.spec].shown, LONG_PATH_CAPACITY);
  append_text(path, LONG_PATH_CAPACITY, name);
}

// Tells that `path` replaced the output of an earlier source of the run.
void report_replaced(Run* run, const char* path, int earlier) {
  if (earlier < 0)
    return;
  char earlier_path[LONG_PATH_CAPACITY + 1];
  shown_source(run, earlier, earlier_path);
  say("Warning: %s replaces the output written for \"%s\"\n", path, earlier_path);
  run->incomplete = true;
}

// Writes every line of the open source and tells how that ended.  Counts
// the non-empty lines in *line_count.  Each line's writes are checked, so
// that a failing output stops the source at once.
LinesEnd convert_lines(Run* run, bool compiling, long* line_count) {
  const RunOptions& options = run->options;
  SourceStream* source = &run->source;
  char* line = run->line;
  bool continuing = false;  // the line read before goes on in this one
  bool ended = false;       // and its text ended at a NUL byte before
  while (!source->at_end && !source->has_error) {
    line[0] = '\0';
    int length = 0;
    if (fgetstr(line, LINE_CAPACITY, source, options.tab_width, options.discard_overflow,
                &length) == FGETSTR_FATAL) {
      report_overlong_tail(run->source_path);
      return LINES_STOPPED;
    }
    // A piece that more of its line follows keeps its trailing blanks.  A
    // line's text ends at its first NUL byte, so the pieces after one are
    // read away.
    bool read_on = source->line_goes_on;
    bool goes_on = read_on && length == LINE_CAPACITY;
    if (ended) {
      // The rest of a line whose text has ended.
    } else if (line[0] == '\0' && !continuing) {
      write_blank_line(&run->bat, &options);
    } else {
      size_t size = static_cast<size_t>(length);
      if (!goes_on)
        size = trim_line(line, size);
      if (compiling)
        com_record_piece(&run->com, line, size, goes_on);
      write_echo_piece(&run->bat, line, size, goes_on);
      if (!continuing)
        ++*line_count;
    }
    ended = read_on && (ended || !goes_on);
    continuing = read_on;
    if (run->bat.failed)
      return LINES_BAT_FAILED;
    if (compiling && run->com.failed)
      return LINES_COM_FAILED;
  }
  if (source->has_error) {
    say("Error: Can't read source file %s\n", run->source_path);
    print_reason(source->reason);
    return LINES_STOPPED;
  }
  return LINES_DONE;
}

// Ends a source that failed: its outputs are dropped, so that the previous
// ones stay as they were.
int abandon_source(OutputFile* bat, OutputFile* com) {
  output_discard(bat);
  output_discard(com);
  return STATUS_FAILED;
}

int report_bat_failure(const RunOptions& options, OutputFile* bat, OutputFile* com, int reason) {
  say("Error: Can't write batch file %s\n", options.bat_path);
  print_reason(reason);
  return abandon_source(bat, com);
}

int report_com_failure(const RunOptions& options, OutputFile* bat, OutputFile* com, int reason) {
  say("Error: Can't write COM file %s\n", options.com_path);
  print_reason(reason);
  return abandon_source(bat, com);
}

// Puts the outputs of a completely converted source in place and reports
// them; returns STATUS_CONTINUE, or STATUS_FAILED when one could not be
// written.  Both outputs are closed and checked before either replaces
// anything, so that a failure leaves the previous pair as it was.
int finish_outputs(Run* run, int index, long line_count, OutputFile* bat, OutputFile* com) {
  const RunOptions& options = run->options;
  bool compiled = com->stream != nullptr;
  if (compiled && !com_finish_image(&run->com))
    return report_com_failure(options, bat, com, run->com.reason);
  if (!output_close(bat))
    return report_bat_failure(options, bat, com, bat->reason);
  if (compiled && !output_close(com))
    return report_com_failure(options, bat, com, com->reason);
  // Both take their names, or neither does; the messages follow.
  OutputFile* failed = output_commit_pair(bat, com);
  if (failed == bat)
    return report_bat_failure(options, bat, com, bat->reason);
  if (failed == com)
    return report_com_failure(options, bat, com, com->reason);
  note_written(run, run->places[0], index);
  if (compiled)
    note_written(run, run->places[1], index);
  if (line_count >= 1)
    say("\x10 %li bytes(s) written to \"%s\"\n",
        static_cast<long>(static_cast<uint32_t>(run->bat.written)), options.bat_path);
  if (compiled)
    com_print_summary(stdout, &run->com, run->source_path, options.com_path);
  report_replaced(run, options.bat_path, run->places[0].earlier);
  if (compiled)
    report_replaced(run, options.com_path, run->places[1].earlier);
  return STATUS_CONTINUE;
}

// Converts the source at `index`; returns STATUS_CONTINUE, or the status with
// which the run ends.
int convert_source(Run* run, int index, int count) {
  RunOptions& options = run->options;
  const ListedSource& listed = run->list.entries[index];
  const Spec& spec = run->specs[listed.spec];
  if (strlen(spec.shown) + strlen(listed.name) > static_cast<size_t>(TYPED_PATH_CAPACITY)) {
    // Its outputs, named or derived, are not made either.
    copy_bounded(run->source_path, spec.shown, TYPED_PATH_CAPACITY);
    size_t held = strlen(run->source_path);
    copy_bounded(run->source_path + held, listed.name, TYPED_PATH_CAPACITY - held);
    say("Error: Path too long: %s\n", run->source_path);
    run->incomplete = true;
    options.bat_path[0] = '\0';
    options.com_path[0] = '\0';
    return STATUS_CONTINUE;
  }
  shown_source(run, index, run->source_path);
  say("\x10 Processing \"%s\"...\n", run->source_path);
  if (!place_outputs(run, index, count))
    return STATUS_FAILED;

  int reason;
  SourceFile opened;
  if (!source_open(spec.folder->directory, listed.name, &opened, &reason)) {
    say("Error: Can't open source file %s for input\n", run->source_path);
    print_reason(reason);
    return STATUS_FAILED;
  }
  FILE* source = opened.stream;
  OutputFile bat;
  if (!output_open(&bat, run->places[0].folder->directory, run->places[0].name, opened.mode,
                   !run->places[0].exists)) {
    say("Error: Can't open batch file %s for output\n", options.bat_path);
    print_reason(bat.reason);
    fclose(source);
    return STATUS_FAILED;
  }
  OutputFile com = {};
  if (options.compile_com &&
      !output_open(&com, run->places[1].folder->directory, run->places[1].name, opened.mode,
                   !run->places[1].exists)) {
    say("Error: Can't open COM file %s for output (/COMPILE turned OFF)\n", options.com_path);
    print_reason(com.reason);
    options.compile_com = false;
    run->incomplete = true;
  }
  if (check_outputs(run, bat, com) == STATUS_FAILED) {
    fclose(source);
    return abandon_source(&bat, &com);
  }

  long line_count = 0;
  say("\x10 Writing BAT file %s\n", options.bat_path);
  write_bat_header(&run->bat, bat.stream, run->source_path, &options);
  if (com.stream != nullptr)
    com_begin_image(&run->com, com.stream, &options, run->source_path);
  source_attach(&run->source, source);
  bool compiling = com.stream != nullptr;
  LinesEnd end = convert_lines(run, compiling, &line_count);
  finish_bat(&run->bat);
  if (end == LINES_DONE && ferror(bat.stream))
    end = LINES_BAT_FAILED;
  fclose(source);
  if (end == LINES_STOPPED)
    return abandon_source(&bat, &com);
  if (end == LINES_BAT_FAILED)
    return report_bat_failure(options, &bat, &com, run->bat.reason);
  if (end == LINES_COM_FAILED)
    return report_com_failure(options, &bat, &com, run->com.reason);
  if (finish_outputs(run, index, line_count, &bat, &com) == STATUS_FAILED)
    return STATUS_FAILED;
  report_cut_lines(&run->source, run->source_path);
  if (run->source.cut_lines > 0 || (compiling && com_image_cut(&run->com)))
    run->cut = true;
  options.bat_path[0] = '\0';
  options.com_path[0] = '\0';
  return STATUS_CONTINUE;
}

// Keeps a copy of every argument as typed, before the scan upper-cases it.
bool keep_typed(Run* run, int count, char** arguments) {
  run->typed = static_cast<char**>(calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
  for (int i = 0; run->typed != nullptr && i < count; i++) {
    if (!store_copy(&run->typed[i], arguments[i]))
      return false;
  }
  return run->typed != nullptr;
}

}  // namespace

int run_quillfen(int argc, char** argv) {
  Run* run = &the_run;
  set_text_attribute(ATTR_NORMAL);
  if (argc < 2)
    show_help();
  int count = argc - 1;
  char** arguments = argv + 1;
  messages_set_terminal(stdout_is_terminal());
  signals_install();
  bool typed = keep_typed(run, count, arguments);
  ArgumentScan scan = scan_arguments(count, arguments, &run->options);
  StatusMode mode = run->options.status_mode;
  if (scan.request == REQUEST_BAD_OPTION)
    return report_bad_option(scan, arguments, run->options);
  if (scan.request == REQUEST_HELP && scan.help_option)
    show_option_help();
  if (scan.request == REQUEST_HELP)
    show_help();
  if (scan.request == REQUEST_VERSION)
    show_version();

  messages_set_quiet(run->options.quiet);
  if (!run->options.quiet)
    show_run_banner();
  warn_unknown_switches(run, count, arguments, scan);
  if (check_path_lengths(count, arguments, scan, run->options) == STATUS_FAILED)
    return run_status(mode, RUN_FAILED, 0);
  if (typed)
    list_sources(run, count, arguments, scan);
  if (run->list.count == 0)
    return run_status(mode, RUN_FAILED, 0);
  if (!run->options.cgi_header)
    say("\x10 CGI headers are DISABLED and will not be generated\n");
  int status = STATUS_CONTINUE;
  for (int i = 0; i < run->list.count && status == STATUS_CONTINUE; i++) {
    status = convert_source(run, i, count);
    if (status == STATUS_FAILED && run->options.keep_going) {
      // The source is skipped; the next one derives its own names.
      run->incomplete = true;
      run->options.bat_path[0] = '\0';
      run->options.com_path[0] = '\0';
      status = STATUS_CONTINUE;
    }
  }
  bool failed = status != STATUS_CONTINUE || run->incomplete;
  RunEnd end = failed ? RUN_FAILED : run->cut ? RUN_CUT : RUN_DONE;
  return run_status(mode, end, run->list.count);
}
