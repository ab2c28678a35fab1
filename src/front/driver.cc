#include "front/driver.h"

#include <cstdio>
#include <cstring>

#include "common/run_options.h"
#include "console/console.h"
#include "convert/bat_writer.h"
#include "convert/com_image.h"
#include "convert/line_reader.h"
#include "convert/source_stream.h"
#include "front/names.h"
#include "front/source_list.h"
#include "front/switches.h"
#include "platform/platform.h"

namespace {

const int STATUS_FAILED = 1;
const int STATUS_CONTINUE = -1;

// Everything one run holds: the settings, the paths, the list of sources and
// the buffers reused for every source.
struct Run {
  RunOptions options;
  char source_dir[PATH_CAPACITY + 1];
  char source_path[LONG_PATH_CAPACITY + 1];
  char** source_list;
  int source_count;
  char line[LINE_CAPACITY + 1];
  SourceStream source;
  BatWriter bat;
  ComImage com;
};

// The one run of the process; too large for the stack.
Run the_run;

// Sets source_dir and puts the search pattern into source_path.
void resolve_file_spec(Run* run, const char* spec) {
  char directory[PATH_CAPACITY + 1];
  spec_directory(spec, directory);
  if (directory[0] == '\0')
    current_directory(run->source_path, PATH_CAPACITY + 1);
  else
    copy_bounded(run->source_path, directory, PATH_CAPACITY);
  append_separator(run->source_path, PATH_CAPACITY, native_separator());
  copy_bounded(run->source_dir, run->source_path, PATH_CAPACITY);
  char name[PATH_CAPACITY + 1];
  base_name(spec, name);
  append_text(run->source_path, LONG_PATH_CAPACITY, name);
}

// `path` becomes source_dir, the stem of `name` and `extension`.
void derive_output_path(const Run* run, const char* name, const char* extension, char* path) {
  char stem[PATH_CAPACITY + 1];
  file_stem(name, stem);
  copy_bounded(path, run->source_dir, LONG_PATH_CAPACITY);
  append_text(path, LONG_PATH_CAPACITY, stem);
  append_text(path, LONG_PATH_CAPACITY, extension);
}

bool names_same_file(const char* first, const char* second) {
  return equal_ignoring_case(first, second) || same_file(first, second);
}

// Refuses outputs that would overwrite the source or each other; returns
// STATUS_FAILED after the message, or STATUS_CONTINUE.
int check_output_paths(const Run* run) {
  const RunOptions& options = run->options;
  if (names_same_file(run->source_path, options.bat_path)) {
    printf("Error: Input file can't be the same as the output file\n  ->%s\n", options.bat_path);
    return STATUS_FAILED;
  }
  if (!options.compile_com)
    return STATUS_CONTINUE;
  if (names_same_file(run->source_path, options.com_path)) {
    printf("Error: Input file can't be the same as the output file\n  ->%s\n", options.com_path);
    return STATUS_FAILED;
  }
  if (names_same_file(options.bat_path, options.com_path)) {
    printf("Error: BAT and COM outputs can't be the same file\n  ->%s\n", options.com_path);
    return STATUS_FAILED;
  }
  return STATUS_CONTINUE;
}

// An image that was never finished would start by jumping into its text.
void discard_unfinished_image(Run* run, FILE* com) {
  if (com == nullptr)
    return;
  fclose(com);
  remove_file(run->options.com_path);
}

// Writes every line of the open source; returns STATUS_FAILED when the run
// must end, or STATUS_CONTINUE.  Counts the non-empty lines in *line_count.
int convert_lines(Run* run, bool compiling, long* line_count) {
  const RunOptions& options = run->options;
  SourceStream* source = &run->source;
  char* line = run->line;
  while (!source->at_end && !source->has_error) {
    line[0] = '\0';
    if (fgetstr(line, LINE_CAPACITY, source, options.tab_width, options.discard_overflow) ==
        FGETSTR_FATAL)
      return STATUS_FAILED;
    if (line[0] == '\0') {
      write_blank_line(&run->bat, &options);
      continue;
    }
    trim_trailing(line, ' ');
    trim_trailing(line, '\t');
    if (compiling)
      com_record_line(&run->com, line);
    write_echo_line(&run->bat, line);
    ++*line_count;
  }
  if (source->has_error) {
    printf("Error: Can't read source file %s\n", run->source_path);
    return STATUS_FAILED;
  }
  return STATUS_CONTINUE;
}

// Converts the source at `index`; returns STATUS_CONTINUE, or the status with
// which the run ends.
int convert_source(Run* run, int index) {
  RunOptions& options = run->options;
  copy_bounded(run->source_path, run->source_dir, LONG_PATH_CAPACITY);
  append_text(run->source_path, LONG_PATH_CAPACITY, run->source_list[index]);
  printf("\x10 Processing \"%s\"...\n", run->source_path);
  if (options.bat_path[0] == '\0')
    derive_output_path(run, run->source_list[index], ".bat", options.bat_path);
  if (options.compile_com && options.com_path[0] == '\0')
    derive_output_path(run, run->source_list[index], ".com", options.com_path);
  if (check_output_paths(run) == STATUS_FAILED)
    return STATUS_FAILED;

  FILE* source = open_file(run->source_path, "rb");
  if (source == nullptr) {
    printf("Error: Can't open source file %s for input\n", run->source_path);
    return STATUS_FAILED;
  }
  FILE* bat = open_file(options.bat_path, "wb");
  if (bat == nullptr) {
    printf("Error: Can't open batch file %s for output\n", options.bat_path);
    fclose(source);
    return STATUS_FAILED;
  }
  FILE* com = nullptr;
  if (options.compile_com) {
    com = open_file(options.com_path, "wb");
    if (com == nullptr) {
      printf("Error: Can't open COM file %s for output (/COMPILE turned OFF)\n", options.com_path);
      options.compile_com = false;
    }
  }

  long line_count = 0;
  printf("\x10 Writing BAT file %s\n", options.bat_path);
  write_bat_header(&run->bat, bat, run->source_path, &options);
  if (com != nullptr)
    com_begin_image(&run->com, com, &options, run->source_path);
  source_attach(&run->source, source);
  int status = convert_lines(run, com != nullptr, &line_count);
  fclose(source);
  fclose(bat);
  if (status == STATUS_FAILED) {
    discard_unfinished_image(run, com);
    return status;
  }

  if (line_count >= 1)
    printf("\x10 %li bytes(s) written to \"%s\"\n",
           static_cast<long>(file_size_of(options.bat_path)), options.bat_path);
  if (com != nullptr) {
    com_finish_image(&run->com, run->source_path, options.com_path);
    fclose(com);
  }
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
  if (scan_arguments(argc - 1, argv + 1, &run->options))
    show_help();

  show_run_banner();
  resolve_file_spec(run, argv[1]);
  run->source_count =
      list_matching_files(run->source_path, &run->source_list, MAX_SOURCES, SELECT_PLAIN_FILES);
  if (run->source_count <= 0) {
    printf("Error: No files found matching \"%s\"\n", run->source_path);
    return STATUS_FAILED;
  }
  if (!run->options.cgi_header)
    printf("\x10 CGI headers are DISABLED and will not be generated\n");
  for (int i = 0; i < run->source_count; i++) {
    int status = convert_source(run, i);
    if (status != STATUS_CONTINUE)
      return status;
  }
  return run->source_count;
}
