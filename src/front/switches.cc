#include "front/switches.h"

#include <cstring>

#include "front/names.h"

namespace {

bool begins_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
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

}  // namespace

bool apply_switch(char* argument, RunOptions* options) {
  upper_case(argument);
  size_t length = strlen(argument);
  if (strcmp(argument, "/?") == 0 || strcmp(argument, "/H") == 0)
    return true;
  if (begins_with(argument, "/W")) {
    options->discard_overflow = false;
  } else if (strcmp(argument, "/NCR") == 0) {
    options->credits = false;
  } else if (strcmp(argument, "/NOCGI") == 0) {
    options->cgi_header = false;
  } else if (begins_with(argument, "/BATFILE")) {
    // The character after the switch is a separator of any kind.
    if (length >= 9)
      take_path(options->bat_path, &options->bat_path_too_long, argument + 9);
  } else if (begins_with(argument, "/COMPILE")) {
    options->compile_com = true;
    if (length >= 10)
      take_path(options->com_path, &options->com_path_too_long, argument + 9);
  } else if (strcmp(argument, "/NOBLANK") == 0) {
    options->remove_blank_lines = true;
  } else if (strcmp(argument, "/NOWRAP") == 0) {
    options->no_wrap = true;
  } else if (begins_with(argument, "/T")) {
    // "/T" alone reads as an empty number, like "/T=".
    int32_t width = length > 3 ? parse_tab_number(argument + 3) : 0;
    if (width < 0)
      width = 0;
    if (width > TAB_WIDTH_MAX)
      width = TAB_WIDTH_MAX;
    options->tab_width = width;
  }
  return false;
}

bool names_a_path(const char* argument) {
  return argument[0] != '\0' && strpbrk(argument + 1, "/\\") != nullptr;
}

bool scan_arguments(int count, char** arguments, RunOptions* options) {
  for (int i = 0; i < count; i++) {
    if (i == 0 && names_a_path(arguments[i])) {
      upper_case(arguments[i]);
      continue;
    }
    if (apply_switch(arguments[i], options))
      return true;
  }
  return false;
}
