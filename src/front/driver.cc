#include "front/driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/text.h"
#include "console/console.h"
#include "convert/bat_writer.h"
#include "convert/com_image.h"
#include "convert/line_reader.h"
#include "convert/source_stream.h"
#include "front/commit.h"
#include "front/names.h"
#include "front/outputs.h"
#include "front/run.h"
#include "front/source_list.h"
#include "front/status.h"
#include "front/switches.h"
#include "platform/platform.h"

namespace {

// How the lines of one source came to an end.
enum LinesEnd { LINES_DONE, LINES_STOPPED, LINES_BAT_FAILED, LINES_COM_FAILED };

// The one run of the process; too large for the stack.
Run the_run;

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
    // Most lines are written from where they lie in the read block, many
    // of them at once.
    if (!continuing)
      *line_count +=
          write_direct_lines(&run->bat, source, options.tab_width, compiling ? &run->com : nullptr);
    int length = 0;
    char* text =
        continuing ? nullptr : take_direct_line(source, LINE_CAPACITY, options.tab_width, &length);
    if (text == nullptr) {
      text = line;
      line[0] = '\0';
      if (fgetstr(line, LINE_CAPACITY, source, options.tab_width, options.discard_overflow,
                  &length) == FGETSTR_FATAL) {
        report_overlong_tail(run->source_path);
        return LINES_STOPPED;
      }
    }
    // A piece that more of its line follows keeps its trailing blanks.  A
    // line's text ends at its first NUL byte, so the pieces after one are
    // read away.
    bool read_on = source->line_goes_on;
    bool goes_on = read_on && length == LINE_CAPACITY;
    if (ended) {
      // The rest of a line whose text has ended.
    } else if (text[0] == '\0' && !continuing) {
      write_blank_line(&run->bat, &options);
    } else {
      size_t size = static_cast<size_t>(length);
      if (!goes_on)
        size = trim_line(text, size);
      if (compiling)
        com_record_piece(&run->com, text, size, goes_on);
      write_echo_piece(&run->bat, text, size, goes_on);
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
  report_replaced(run, index, options.bat_path, run->places[0].earlier);
  if (compiled)
    report_replaced(run, index, options.com_path, run->places[1].earlier);
  return STATUS_CONTINUE;
}

// Converts the source at `index`; returns STATUS_CONTINUE, or the status with
// which the run ends.
int convert_source(Run* run, int index) {
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
    run->failed++;
    options.bat_path[0] = '\0';
    options.com_path[0] = '\0';
    return STATUS_CONTINUE;
  }
  shown_source(run, index, run->source_path);
  copy_bounded(run->credit_path, spec.credited != nullptr ? spec.credited : spec.shown,
               LONG_PATH_CAPACITY);
  append_text(run->credit_path, LONG_PATH_CAPACITY, run->source_path + strlen(spec.shown));
  say("\x10 Processing \"%s\"...\n", run->source_path);
  if (!place_outputs(run, index) || check_credits(run, index) == STATUS_FAILED)
    return STATUS_FAILED;

  int reason;
  SourceFile opened;
  if (!source_open(spec.folder->directory, listed.name, &opened, &reason)) {
    say("Error: Can't open source file %s for input\n", run->source_path);
    print_reason(reason);
    return STATUS_FAILED;
  }
  FILE* source = opened.stream;
  for (int i = 0; i < (options.compile_com ? 2 : 1); i++)
    folder_clear_leftovers(run->places[i].folder, run->places[i].name);
  OutputFile bat;
  if (!output_open(&bat, run->places[0].folder->directory, run->places[0].name, opened,
                   !run->places[0].exists)) {
    say("Error: Can't open batch file %s for output\n", options.bat_path);
    print_reason(bat.reason);
    fclose(source);
    return STATUS_FAILED;
  }
  OutputFile com = {};
  if (options.compile_com && !output_open(&com, run->places[1].folder->directory,
                                          run->places[1].name, opened, !run->places[1].exists)) {
    drop_compiling(run, com.reason);
  }
  if (check_outputs(run, bat, com) == STATUS_FAILED) {
    fclose(source);
    return abandon_source(&bat, &com);
  }

  long line_count = 0;
  say("\x10 Writing BAT file %s\n", options.bat_path);
  write_bat_header(&run->bat, bat.stream, run->credit_path, &options);
  if (com.stream != nullptr)
    com_begin_image(&run->com, com.stream, &options, run->credit_path);
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
  run->converted++;
  options.bat_path[0] = '\0';
  options.com_path[0] = '\0';
  return STATUS_CONTINUE;
}

// The one line that ends a run of several sources: what became of them.
void report_summary(const Run* run) {
  int untried = run->list.count - run->converted - run->failed;
  if (untried > 0)
    say("\x10 %i page(s) converted, %i failed, %i warning(s); %i not tried (-k goes on past a "
        "failure)\n",
        run->converted, run->failed, messages_warning_count(), untried);
  else
    say("\x10 %i page(s) converted, %i failed, %i warning(s)\n", run->converted, run->failed,
        messages_warning_count());
}

}  // namespace

int run_quillfen(int argc, char** argv) {
  Run* run = &the_run;
  set_text_attribute(ATTR_NORMAL);
  if (argc < 2)
    show_help();
  int count = argc - 1;
  char** arguments = argv + 1;
  messages_set_terminal(stdout_is_terminal(), terminal_acts_on_c1());
  if (posix_habits())
    messages_set_error_stream(stderr, stderr_is_terminal());
  signals_install();
  bool typed = keep_typed(count, arguments, &run->typed);
  run->scan = scan_arguments(count, arguments, &run->options);
  const ArgumentScan& scan = run->scan;
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
  run->incomplete = report_unknown_switches(arguments, scan);
  for (int i = 0; i < 2 && typed; i++) {
    int named = scan.named_outputs[i];
    run->named_outputs[i] = named >= 0 ? output_name_of(run->typed[named]) : nullptr;
  }
  char** shown = typed && posix_habits() ? run->typed : arguments;
  if (!paths_fit(shown, scan, run->options))
    return run_status(mode, RUN_FAILED, 0);
  if (typed)
    list_sources(run, arguments, scan);
  if (run->list.count == 0)
    return run_status(mode, RUN_FAILED, 0);
  if (!run->options.cgi_header)
    say("\x10 CGI headers are DISABLED and will not be generated\n");
  int status = STATUS_CONTINUE;
  for (int i = 0; i < run->list.count && status == STATUS_CONTINUE; i++) {
    status = convert_source(run, i);
    if (status == STATUS_FAILED)
      run->failed++;
    if (status == STATUS_FAILED && run->options.keep_going) {
      // The source is skipped; the next one derives its own names.
      run->incomplete = true;
      run->options.bat_path[0] = '\0';
      run->options.com_path[0] = '\0';
      status = STATUS_CONTINUE;
    }
  }
  if (run->list.count > 1 && posix_habits())
    report_summary(run);
  bool failed = status != STATUS_CONTINUE || run->incomplete;
  RunEnd end = failed ? RUN_FAILED : run->cut ? RUN_CUT : RUN_DONE;
  folders_close(&run->folders);
  return run_status(mode, end, run->list.count);
}
