#include "front/switches.h"

#include <cstring>

#include "front/names.h"

namespace {

// The switches of the table, in the order in which they are tried.
enum SwitchId {
  ID_NONE,
  ID_HELP,
  ID_VERSION,
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
    {"-H", true, ID_HELP},
    {"--HELP", true, ID_HELP},
    {"--VERSION", true, ID_VERSION},
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

// A help or version request counts wherever it stands.
bool is_request(const char* argument) {
  SwitchId id = find_switch(argument);
  return id == ID_HELP || id == ID_VERSION;
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
    case ID_VERSION:
      return SWITCH_VERSION;
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

ArgumentScan scan_arguments(int count, char** arguments, RunOptions* options) {
  ArgumentScan scan = {REQUEST_RUN, true};
  bool first_matched = false;
  bool specs_follow = false;
  for (int i = 0; i < count; i++) {
    char* argument = arguments[i];
    upper_case(argument);
    bool as_switch =
        i == 0 ? !names_a_path(argument) : reads_as_switch(argument) || is_request(argument);
    if (!as_switch) {
      specs_follow = specs_follow || i > 0;
      continue;
    }
    SwitchMatch match = apply_switch(argument, options);
    if (match == SWITCH_HELP || match == SWITCH_VERSION) {
      scan.request = match == SWITCH_HELP ? REQUEST_HELP : REQUEST_VERSION;
      return scan;
    }
    if (i == 0)
      first_matched = match == SWITCH_APPLIED;
  }
  scan.first_is_spec = !(first_matched && specs_follow);
  return scan;
}

bool is_file_spec(const ArgumentScan& scan, int index, const char* argument) {
  return index == 0 ? scan.first_is_spec : !reads_as_switch(argument);
}

bool is_unknown_switch(int index, const char* argument) {
  return index > 0 && reads_as_switch(argument) && find_switch(argument) == ID_NONE;
}
