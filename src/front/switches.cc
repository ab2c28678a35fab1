#include "front/switches.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/text.h"
#include "front/names.h"
#include "front/status.h"
#include "platform/platform.h"

namespace {

// The switches of the table, in the order in which they are tried.
enum SwitchId {
  ID_NONE,
  ID_HELP,
  ID_VERSION,
  ID_QUIET,
  ID_KEEP_GOING,
  ID_FULL_STEM,
  ID_ENTITIES,
  ID_PLAIN_STATUS,
  ID_COUNT_STATUS,
  ID_W,
  ID_NCR,
  ID_NOCGI,
  ID_BATFILE,
  ID_COMPILE,
  ID_NOBLANK,
  ID_NOWRAP,
  ID_T
};

bool begins_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// The switch table, in the order in which it is tried: the whole argument
// must equal a switch marked `whole`; any other must begin the argument.
struct SwitchEntry {
  const char* text;
  bool whole;
  SwitchId id;
};

const SwitchEntry SWITCHES[] = {
    {"/?", true, ID_HELP},
    {"/H", true, ID_HELP},
    {"/W", false, ID_W},
    {"/NCR", true, ID_NCR},
    {"/NOCGI", true, ID_NOCGI},
    {"/BATFILE", false, ID_BATFILE},
    {"/COMPILE", false, ID_COMPILE},
    {"/NOBLANK", true, ID_NOBLANK},
    {"/NOWRAP", true, ID_NOWRAP},
    {"/T", false, ID_T},
};

// The switch that an upper-cased argument matches; the first of the table
// wins.
SwitchId find_switch(const char* argument) {
  for (const SwitchEntry& entry : SWITCHES) {
    if (entry.whole ? strcmp(argument, entry.text) == 0 : begins_with(argument, entry.text))
      return entry.id;
  }
  return ID_NONE;
}

// The options, which begin with '-'.  Each matches the whole argument, in
// any letter case.
struct OptionEntry {
  const char* text;
  SwitchId id;
};

const OptionEntry OPTIONS[] = {
    {"-h", ID_HELP},
    {"--help", ID_HELP},
    {"--version", ID_VERSION},
    {"-q", ID_QUIET},
    {"--quiet", ID_QUIET},
    {"-k", ID_KEEP_GOING},
    {"--keep-going", ID_KEEP_GOING},
    {"--full-stem", ID_FULL_STEM},
    {"--entities", ID_ENTITIES},
    {"--plain-status", ID_PLAIN_STATUS},
    {"--count-status", ID_COUNT_STATUS},
};

const char END_OF_OPTIONS[] = "--";

SwitchId find_option(const char* argument) {
  for (const OptionEntry& entry : OPTIONS) {
    if (same_name(argument, entry.text))
      return entry.id;
  }
  return ID_NONE;
}

// The short options bundled in one argument, as "-qk" holds -q and -k: each
// letter in turn; false, with none applied, when one is no short option.
bool read_bundle(const char* argument, SwitchId* ids, size_t capacity, size_t* count) {
  *count = 0;
  if (argument[0] != '-' || argument[1] == '-' || argument[1] == '\0' || argument[2] == '\0')
    return false;
  for (const char* p = argument + 1; *p != '\0'; p++) {
    char single[3] = {'-', *p, '\0'};
    SwitchId id = find_option(single);
    if (id == ID_NONE || *count == capacity)
      return false;
    ids[(*count)++] = id;
  }
  return true;
}

bool is_option(const ArgumentScan& scan, int index, const char* argument) {
  return index < scan.options_end && argument[0] == '-';
}

// Applies an option other than a help or version request.
void apply_option(SwitchId id, RunOptions* options) {
  switch (id) {
    case ID_QUIET:
      options->quiet = true;
      break;
    case ID_KEEP_GOING:
      options->keep_going = true;
      break;
    case ID_FULL_STEM:
      options->full_stem = true;
      break;
    case ID_ENTITIES:
      options->entities = true;
      break;
    case ID_PLAIN_STATUS:
      options->status_mode = STATUS_MODE_PLAIN;
      break;
    case ID_COUNT_STATUS:
      options->status_mode = STATUS_MODE_COUNT;
      break;
    default:
      break;
  }
}

// Copies a name given on the command line, or notes it as too long to hold.
void take_path(char* path, const char** too_long, const char* name) {
  if (strlen(name) > static_cast<size_t>(TYPED_PATH_CAPACITY)) {
    *too_long = name;
    return;
  }
  copy_bounded(path, name, TYPED_PATH_CAPACITY);
  *too_long = nullptr;
}

// "/T" alone reads as an empty number, like "/T=".
int32_t tab_width_of(const char* argument) {
  int32_t width = strlen(argument) > 3 ? parse_tab_number(argument + 3) : 0;
  if (width < 0)
    width = 0;
  if (width > TAB_WIDTH_MAX)
    width = TAB_WIDTH_MAX;
  return width;
}

}  // namespace

SwitchMatch apply_switch(char* argument, RunOptions* options) {
  upper_case(argument);
  size_t length = strlen(argument);
  // The character after /BATFILE and /COMPILE is a separator of any kind.
  switch (find_switch(argument)) {
    case ID_NONE:
      return SWITCH_UNKNOWN;
    case ID_HELP:
      return SWITCH_HELP;
    case ID_W:
      options->discard_overflow = false;
      break;
    case ID_NCR:
      options->credits = false;
      break;
    case ID_NOCGI:
      options->cgi_header = false;
      break;
    case ID_BATFILE:
      if (length >= 9)
        take_path(options->bat_path, &options->bat_path_too_long, argument + 9);
      break;
    case ID_COMPILE:
      options->compile_com = true;
      if (length >= 10)
        take_path(options->com_path, &options->com_path_too_long, argument + 9);
      break;
    case ID_NOBLANK:
      options->remove_blank_lines = true;
      break;
    case ID_NOWRAP:
      options->no_wrap = true;
      break;
    case ID_T:
      options->tab_width = tab_width_of(argument);
      break;
    default:
      return SWITCH_UNKNOWN;  // the options are no switches
  }
  return SWITCH_APPLIED;
}

bool names_a_path(const char* argument) {
  return argument[0] != '\0' && strpbrk(argument + 1, "/\\") != nullptr;
}

bool reads_as_switch(const char* argument) {
  if (argument[0] != '/')
    return false;
  SwitchId id = find_switch(argument);
  return !names_a_path(argument) || id == ID_BATFILE || id == ID_COMPILE;
}

namespace {

// Reads the option at `index`; true when it ends the scan.
bool scan_option(ArgumentScan* scan, int index, const char* argument, RunOptions* options) {
  if (strcmp(argument, END_OF_OPTIONS) == 0) {
    scan->options_end = index;
    return false;
  }
  SwitchId ids[8] = {find_option(argument)};
  size_t count = 1;
  if (ids[0] == ID_NONE && !read_bundle(argument, ids, sizeof ids / sizeof ids[0], &count)) {
    ids[0] = ID_NONE;
    count = 1;
  }
  if (scan->bad_option >= 0) {
    if (ids[0] == ID_PLAIN_STATUS || ids[0] == ID_COUNT_STATUS)
      apply_option(ids[0], options);
    return false;
  }
  if (ids[0] == ID_NONE) {
    scan->bad_option = index;
    return false;
  }
  for (size_t i = 0; i < count; i++) {
    if (ids[i] == ID_HELP || ids[i] == ID_VERSION) {
      scan->request = ids[i] == ID_HELP ? REQUEST_HELP : REQUEST_VERSION;
      scan->help_option = ids[i] == ID_HELP;
      return true;
    }
    apply_option(ids[i], options);
  }
  return false;
}

}  // namespace

namespace {

bool is_file_spec(const ArgumentScan& scan, int index, const char* argument) {
  if (index > scan.options_end)
    return true;
  if (index == scan.options_end || is_option(scan, index, argument))
    return false;
  return index == scan.first ? scan.first_is_spec : !reads_as_switch(argument);
}

bool is_unknown_switch(const ArgumentScan& scan, int index, const char* argument) {
  return index < scan.options_end && index != scan.first && argument[0] == '/' &&
         reads_as_switch(argument) && find_switch(argument) == ID_NONE;
}

// Sorts the arguments of a run into the scan's lists; false when memory
// runs out.
bool list_arguments(ArgumentScan* scan, int count, char** arguments) {
  scan->specs = static_cast<int*>(calloc(static_cast<size_t>(count) + 1, sizeof(int)));
  scan->unknown = static_cast<int*>(calloc(static_cast<size_t>(count) + 1, sizeof(int)));
  if (scan->specs == nullptr || scan->unknown == nullptr)
    return false;
  for (int i = 0; i < count; i++) {
    if (is_file_spec(*scan, i, arguments[i]))
      scan->specs[scan->spec_count++] = i;
    else if (is_unknown_switch(*scan, i, arguments[i]))
      scan->unknown[scan->unknown_count++] = i;
  }
  return true;
}

}  // namespace

ArgumentScan scan_arguments(int count, char** arguments, RunOptions* options) {
  ArgumentScan scan = {REQUEST_RUN, -1, true, count, -1, false, nullptr, 0, nullptr, 0, {-1, -1}};
  bool first_matched = false;
  bool specs_follow = false;
  for (int i = 0; i < count; i++) {
    char* argument = arguments[i];
    if (is_option(scan, i, argument)) {
      if (scan_option(&scan, i, argument, options))
        return scan;
      continue;
    }
    upper_case(argument);
    if (i > scan.options_end)
      specs_follow = true;
    if (i > scan.options_end || scan.bad_option >= 0)
      continue;
    bool first = scan.first < 0;
    if (first)
      scan.first = i;
    if (!(first ? !names_a_path(argument) : reads_as_switch(argument))) {
      specs_follow = specs_follow || !first;
      continue;
    }
    SwitchMatch match = apply_switch(argument, options);
    if (match == SWITCH_HELP) {
      scan.request = REQUEST_HELP;
      return scan;
    }
    if (first)
      first_matched = match == SWITCH_APPLIED;
    SwitchId id = find_switch(argument);
    if (match == SWITCH_APPLIED && id == ID_BATFILE && strlen(argument) >= 9)
      scan.named_outputs[0] = i;
    if (match == SWITCH_APPLIED && id == ID_COMPILE && strlen(argument) >= 10)
      scan.named_outputs[1] = i;
  }
  scan.first_is_spec = !(first_matched && specs_follow);
  bool has_spec = (scan.first >= 0 && scan.first_is_spec) || specs_follow;
  if (scan.bad_option >= 0)
    scan.request = REQUEST_BAD_OPTION;
  else if (!has_spec)
    scan.request = REQUEST_HELP;
  else if (!list_arguments(&scan, count, arguments))
    scan.spec_count = scan.unknown_count = 0;  // a run of nothing, which fails
  return scan;
}

bool keep_typed(int count, char** arguments, char*** typed) {
  *typed = static_cast<char**>(calloc(static_cast<size_t>(count) + 1, sizeof(char*)));
  for (int i = 0; *typed != nullptr && i < count; i++) {
    if (!store_copy(&(*typed)[i], arguments[i]))
      return false;
  }
  return *typed != nullptr;
}

void scan_release(ArgumentScan* scan) {
  free(scan->specs);
  free(scan->unknown);
  scan->specs = scan->unknown = nullptr;
  scan->spec_count = scan->unknown_count = 0;
}

const char* output_name_of(const char* argument) {
  // "/BATFILE" and "/COMPILE" are as long, and a separator of any kind follows.
  return strlen(argument) >= 9 ? argument + 9 : "";
}

int32_t parse_tab_number(const char* text) {
  const char* p = text;
  while (*p != '\0' && !(*p >= '0' && *p <= '9'))
    p++;
  int64_t value = 0;
  while (*p >= '0' && *p <= '9') {
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX)
      value = INT32_MAX;
    p++;
  }
  return static_cast<int32_t>(value);
}

namespace {

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

}  // namespace

bool paths_fit(char** shown, const ArgumentScan& scan, const RunOptions& options) {
  for (int i = 0; i < scan.spec_count; i++) {
    if (path_too_long(shown[scan.specs[i]]))
      return false;
  }
  const char* given[] = {options.bat_path_too_long, options.com_path_too_long, options.bat_path,
                         options.com_path};
  for (const char* path : given) {
    if (path_too_long(path))
      return false;
  }
  return true;
}

bool report_unknown_switches(char** arguments, const ArgumentScan& scan) {
  for (int i = 0; i < scan.unknown_count; i++)
    say("Warning: Unknown switch %s ignored\n", arguments[scan.unknown[i]]);
  return scan.unknown_count > 0;
}

int report_bad_option(const ArgumentScan& scan, char** arguments, const RunOptions& options) {
  say("Error: Unknown option %s\n  Try 'quillfen --help'\n", arguments[scan.bad_option]);
  return run_status(options.status_mode, RUN_BAD_COMMAND, 0);
}
