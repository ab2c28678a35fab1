#include "front/driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/run_options.h"
#include "console/console.h"
#include "convert/bat_writer.h"
#include "convert/com_image.h"
#include "convert/line_reader.h"
#include "convert/source_stream.h"
#include "front/identity_set.h"
#include "front/names.h"
#include "front/path_set.h"
#include "front/source_list.h"
#include "front/status.h"
#include "front/switches.h"
#include "platform/platform.h"

namespace {

const int STATUS_FAILED = 1;
const int STATUS_CONTINUE = -1;

// How the lines of one source came to an end.
enum LinesEnd { LINES_DONE, LINES_STOPPED, LINES_BAT_FAILED, LINES_COM_FAILED };

// Everything one run holds: the settings, the paths, the list of sources and
// the buffers reused for every source.
struct Run {
  RunOptions options;
  // The directory of the file spec being listed, then of the source being
  // converted.
  char source_dir[LONG_PATH_CAPACITY + 1];
  // The source directory as the file system spells it: the paths that the
  // run hands to the platform are composed from it, the ones it prints from
  // source_dir.
  char resolved_dir[LONG_PATH_CAPACITY + 1];
  char source_path[LONG_PATH_CAPACITY + 1];
  char source_call[LONG_PATH_CAPACITY + 1];
  char bat_call[LONG_PATH_CAPACITY + 1];
  char com_call[LONG_PATH_CAPACITY + 1];
  SourceList list;  // the matches of every file spec, in the order given
  // The source directory of every file spec that matched, as typed and as
  // resolved, by the index that its sources carry.
  char** spec_dirs;
  char** spec_resolved;
  int spec_count;
  // Something the run was asked for was not done; it ends with status 1.
  bool incomplete;
  IdentitySet sources;  // the listed sources, by index
  PathSet written;      // the outputs made so far, by the source that made them
  char line[LINE_CAPACITY + 1];
  SourceStream source;
  BatWriter bat;
  ComImage com;
};

// The one run of the process; too large for the stack.
Run the_run;

// Sets source_dir and puts the search pattern into source_path.
void resolve_file_spec(Run* run, const char* spec) {
  char directory[LONG_PATH_CAPACITY + 1];
  spec_directory(spec, directory);
  int reason;
  if (directory[0] == '\0')
    current_directory(run->source_path, PATH_CAPACITY + 1, &reason);
  else
    copy_bounded(run->source_path, directory, LONG_PATH_CAPACITY);
  append_separator(run->source_path, LONG_PATH_CAPACITY, native_separator());
  copy_bounded(run->source_dir, run->source_path, LONG_PATH_CAPACITY);
  if (!resolve_path(run->source_dir, run->resolved_dir, sizeof run->resolved_dir))
    copy_bounded(run->resolved_dir, run->source_dir, LONG_PATH_CAPACITY);
  char name[LONG_PATH_CAPACITY + 1];
  base_name(spec, name);
  append_text(run->source_path, LONG_PATH_CAPACITY, name);
}

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

// Resolves one file spec and lists its matches after those of the specs
// before it.  A spec that matches nothing, or whose directory cannot be read
// to its end, gets its error, and the run goes on with the others.
void list_spec(Run* run, const char* spec) {
  resolve_file_spec(run, spec);
  int index = run->spec_count;
  int found = -1;
  SearchOutcome outcome = {0, 0, REASON_NONE};
  if (store_copy(&run->spec_dirs[index], run->source_dir) &&
      store_copy(&run->spec_resolved[index], run->resolved_dir))
    found = list_matching_files(run->source_path, &run->list, index, &outcome);
  if (found > 0) {
    run->spec_count++;
    return;
  }
  run->incomplete = true;
  if (outcome.reason != REASON_NONE && !reason_is_missing(outcome.reason)) {
    say("Error: Can't read directory %s\n", run->source_dir);
    print_reason(outcome.reason);
  } else {
    report_no_match(run, spec, outcome);
  }
  free(run->spec_dirs[index]);
  free(run->spec_resolved[index]);
  run->spec_dirs[index] = nullptr;
  run->spec_resolved[index] = nullptr;
}

// Lists the matches of every file spec, in the order given, before anything
// is converted.
void list_sources(Run* run, int count, char** arguments, const ArgumentScan& scan) {
  run->spec_dirs = static_cast<char**>(calloc(static_cast<size_t>(count), sizeof(char*)));
  run->spec_resolved = static_cast<char**>(calloc(static_cast<size_t>(count), sizeof(char*)));
  if (run->spec_dirs == nullptr || run->spec_resolved == nullptr)
    return;
  for (int i = 0; i < count; i++) {
    if (is_file_spec(scan, i, arguments[i]))
      list_spec(run, arguments[i]);
  }
}

// `path` becomes source_dir followed by `name`.
void path_in_source_dir(const Run* run, const char* name, char* path) {
  copy_bounded(path, run->source_dir, LONG_PATH_CAPACITY);
  append_text(path, LONG_PATH_CAPACITY, name);
}

// `path` becomes the resolved source directory followed by `name`.
void path_in_resolved_dir(const Run* run, const char* name, char* path) {
  copy_bounded(path, run->resolved_dir, LONG_PATH_CAPACITY);
  append_text(path, LONG_PATH_CAPACITY, name);
}

// `path` becomes the listed source at `index`: the directory of its file
// spec, as typed or as resolved, followed by its name.
void path_of_source(const Run* run, int index, bool resolved, char* path) {
  const ListedSource& source = run->list.entries[index];
  const char* directory = resolved ? run->spec_resolved[source.spec] : run->spec_dirs[source.spec];
  copy_bounded(path, directory, LONG_PATH_CAPACITY);
  append_text(path, LONG_PATH_CAPACITY, source.name);
}

// Files the identity of every listed source, of every file spec, so that no
// output of the run is written over one of them.
void note_sources(Run* run) {
  identity_set_clear(&run->sources);
  char path[LONG_PATH_CAPACITY + 1];
  for (int i = 0; i < run->list.count; i++) {
    path_of_source(run, i, true, path);
    FileIdentity identity;
    if (file_identity(path, &identity))
      identity_set_put(&run->sources, identity, i);
  }
}

// `path` becomes source_dir, the stem of `name` and `extension`, and `call`
// the same in the resolved directory.
void derive_output_path(const Run* run, const char* name, const char* extension, char* path,
                        char* call) {
  char stem[PATH_CAPACITY + 1];
  if (run->options.full_stem)
    full_stem(name, stem);
  else
    file_stem(name, stem);
  path_in_source_dir(run, stem, path);
  append_text(path, LONG_PATH_CAPACITY, extension);
  path_in_resolved_dir(run, stem, call);
  append_text(call, LONG_PATH_CAPACITY, extension);
}

// What an output path names before the source is converted: whether it
// lands on a source of the run, and which earlier source of the run wrote
// it (-1 for none).
struct OutputTarget {
  bool on_a_source;
  int earlier;
};

OutputTarget inspect_output(const Run* run, const char* output, const char* call) {
  OutputTarget target = {equal_ignoring_case(run->source_path, output), -1};
  FileIdentity identity;
  bool exists = false;
  char entry[LONG_PATH_CAPACITY + 1];
  if (entry_of(call, entry, sizeof entry, &identity, &exists))
    target.earlier = path_set_find(&run->written, entry);
  else
    exists = file_identity(call, &identity);
  if (exists)
    target.on_a_source = target.on_a_source || identity_set_find(&run->sources, identity) >= 0;
  return target;
}

// Refuses outputs that would overwrite a source or each other; returns
// STATUS_FAILED after the message, or STATUS_CONTINUE.  Tells in `earlier`
// which earlier sources wrote the script and the program.
int check_output_paths(const Run* run, int earlier[2]) {
  const RunOptions& options = run->options;
  const char* outputs[] = {options.bat_path, options.compile_com ? options.com_path : nullptr};
  const char* calls[] = {run->bat_call, run->com_call};
  for (int i = 0; i < 2; i++) {
    earlier[i] = -1;
    if (outputs[i] == nullptr)
      continue;
    OutputTarget target = inspect_output(run, outputs[i], calls[i]);
    if (target.on_a_source) {
      say("Error: Input file can't be the same as the output file\n  ->%s\n", outputs[i]);
      return STATUS_FAILED;
    }
    earlier[i] = target.earlier;
  }
  if (options.compile_com && (equal_ignoring_case(options.bat_path, options.com_path) ||
                              same_file(run->bat_call, run->com_call))) {
    say("Error: BAT and COM outputs can't be the same file\n  ->%s\n", options.com_path);
    return STATUS_FAILED;
  }
  return STATUS_CONTINUE;
}

// Files the output just put in place as written for `index`.
void note_written(Run* run, const char* call, int index) {
  char entry[LONG_PATH_CAPACITY + 1];
  if (entry_of(call, entry, sizeof entry))
    path_set_put(&run->written, entry, index);
}

// Tells that `path` replaced the output of an earlier source of the run.
void report_replaced(Run* run, const char* path, int earlier) {
  if (earlier < 0)
    return;
  char earlier_path[LONG_PATH_CAPACITY + 1];
  path_of_source(run, earlier, false, earlier_path);
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
  while (!source->at_end && !source->has_error) {
    line[0] = '\0';
    int length = 0;
    if (fgetstr(line, LINE_CAPACITY, source, options.tab_width, options.discard_overflow,
                &length) == FGETSTR_FATAL) {
      report_overlong_tail(run->source_path);
      return LINES_STOPPED;
    }
    if (line[0] == '\0') {
      write_blank_line(&run->bat, &options);
    } else {
      size_t size = trim_line(line, static_cast<size_t>(length));
      if (compiling)
        com_record_line(&run->com, line);
      write_echo_text(&run->bat, line, size);
      ++*line_count;
    }
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
int finish_outputs(Run* run, int index, const int earlier[2], long line_count, OutputFile* bat,
                   OutputFile* com) {
  const RunOptions& options = run->options;
  bool compiled = com->stream != nullptr;
  if (compiled && !com_finish_image(&run->com))
    return report_com_failure(options, bat, com, run->com.reason);
  if (!output_close(bat))
    return report_bat_failure(options, bat, com, bat->reason);
  if (compiled && !output_close(com))
    return report_com_failure(options, bat, com, com->reason);
  if (!output_commit(bat))
    return report_bat_failure(options, bat, com, bat->reason);
  note_written(run, run->bat_call, index);
  if (line_count >= 1)
    say("\x10 %li bytes(s) written to \"%s\"\n", static_cast<long>(file_size_of(run->bat_call)),
        options.bat_path);
  if (compiled) {
    if (!output_commit(com))
      return report_com_failure(options, bat, com, com->reason);
    note_written(run, run->com_call, index);
    com_print_summary(stdout, &run->com, run->source_path, options.com_path);
  }
  report_replaced(run, options.bat_path, earlier[0]);
  if (compiled)
    report_replaced(run, options.com_path, earlier[1]);
  return STATUS_CONTINUE;
}

// Converts the source at `index`; returns STATUS_CONTINUE, or the status with
// which the run ends.
int convert_source(Run* run, int index) {
  RunOptions& options = run->options;
  const ListedSource& listed = run->list.entries[index];
  copy_bounded(run->source_dir, run->spec_dirs[listed.spec], LONG_PATH_CAPACITY);
  copy_bounded(run->resolved_dir, run->spec_resolved[listed.spec], LONG_PATH_CAPACITY);
  if (strlen(run->resolved_dir) + strlen(listed.name) > static_cast<size_t>(TYPED_PATH_CAPACITY) ||
      strlen(run->source_dir) + strlen(listed.name) > static_cast<size_t>(TYPED_PATH_CAPACITY)) {
    // Its outputs, named or derived, are not made either.
    copy_bounded(run->source_path, run->source_dir, TYPED_PATH_CAPACITY);
    size_t held = strlen(run->source_path);
    copy_bounded(run->source_path + held, listed.name, TYPED_PATH_CAPACITY - held);
    say("Error: Path too long: %s\n", run->source_path);
    run->incomplete = true;
    options.bat_path[0] = '\0';
    options.com_path[0] = '\0';
    return STATUS_CONTINUE;
  }
  path_in_source_dir(run, listed.name, run->source_path);
  path_in_resolved_dir(run, listed.name, run->source_call);
  say("\x10 Processing \"%s\"...\n", run->source_path);
  copy_bounded(run->bat_call, options.bat_path, LONG_PATH_CAPACITY);
  copy_bounded(run->com_call, options.com_path, LONG_PATH_CAPACITY);
  if (options.bat_path[0] == '\0')
    derive_output_path(run, listed.name, ".bat", options.bat_path, run->bat_call);
  if (options.compile_com && options.com_path[0] == '\0')
    derive_output_path(run, listed.name, ".com", options.com_path, run->com_call);
  int earlier[2];
  if (check_output_paths(run, earlier) == STATUS_FAILED)
    return STATUS_FAILED;

  int reason;
  FILE* source = open_source(run->source_call, &reason);
  if (source == nullptr) {
    say("Error: Can't open source file %s for input\n", run->source_path);
    print_reason(reason);
    return STATUS_FAILED;
  }
  OutputFile bat;
  if (!output_open(&bat, run->bat_call)) {
    say("Error: Can't open batch file %s for output\n", options.bat_path);
    print_reason(bat.reason);
    fclose(source);
    return STATUS_FAILED;
  }
  OutputFile com = {};
  if (options.compile_com && !output_open(&com, run->com_call)) {
    say("Error: Can't open COM file %s for output (/COMPILE turned OFF)\n", options.com_path);
    print_reason(com.reason);
    options.compile_com = false;
    run->incomplete = true;
  }

  long line_count = 0;
  say("\x10 Writing BAT file %s\n", options.bat_path);
  write_bat_header(&run->bat, bat.stream, run->source_path, &options);
  if (com.stream != nullptr)
    com_begin_image(&run->com, com.stream, &options, run->source_path);
  source_attach(&run->source, source);
  LinesEnd end = convert_lines(run, com.stream != nullptr, &line_count);
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
  if (finish_outputs(run, index, earlier, line_count, &bat, &com) == STATUS_FAILED)
    return STATUS_FAILED;
  report_cut_lines(&run->source, run->source_path);
  options.bat_path[0] = '\0';
  options.com_path[0] = '\0';
  return STATUS_CONTINUE;
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
  ArgumentScan scan = scan_arguments(count, arguments, &run->options);
  StatusMode mode = run->options.status_mode;
  if (scan.request == REQUEST_BAD_OPTION)
    return report_bad_option(scan, arguments, run->options);
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
  name_cache_enable(true);
  list_sources(run, count, arguments, scan);
  if (run->list.count == 0) {
    name_cache_enable(false);
    return run_status(mode, RUN_FAILED, 0);
  }
  if (!run->options.cgi_header)
    say("\x10 CGI headers are DISABLED and will not be generated\n");
  note_sources(run);
  int status = STATUS_CONTINUE;
  for (int i = 0; i < run->list.count && status == STATUS_CONTINUE; i++) {
    status = convert_source(run, i);
    if (status == STATUS_FAILED && run->options.keep_going) {
      // The source is skipped; the next one derives its own names.
      run->incomplete = true;
      run->options.bat_path[0] = '\0';
      run->options.com_path[0] = '\0';
      status = STATUS_CONTINUE;
    }
  }
  name_cache_enable(false);
  bool failed = status != STATUS_CONTINUE || run->incomplete;
  return run_status(mode, failed ? RUN_FAILED : RUN_DONE, run->list.count);
}
