// Scans arbitrary argument lists and runs the name routines on the file
// spec, each argument in a buffer of its own exact size, so that a write
// beyond one is seen.  Switches may upper-case an argument and nothing else.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/run_options.h"
#include "common/text.h"
#include "front/names.h"
#include "front/switches.h"

namespace {

std::string upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace

// Input: arguments separated by NUL bytes, at most 16 of them.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> given;
  std::string all(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= all.size() && given.size() < 16) {
    size_t end = all.find('\0', start);
    if (end == std::string::npos)
      end = all.size();
    given.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> arguments;
  for (const std::string& argument : given) {
    char* copy = static_cast<char*>(malloc(argument.size() + 1));
    memcpy(copy, argument.c_str(), argument.size() + 1);
    arguments.push_back(copy);
  }
  RunOptions options;
  int count = static_cast<int>(arguments.size());
  ArgumentScan scan = scan_arguments(count, arguments.data(), &options);
  bool request = scan.request != REQUEST_RUN;
  for (size_t i = 0; i < arguments.size(); i++) {
    // The scan stops at a help or version request; later arguments stay
    // unread.  Options stay as given.
    bool option = static_cast<int>(i) < scan.options_end && given[i][0] == '-';
    if (strcmp(arguments[i], upper(given[i]).c_str()) != 0 &&
        strcmp(arguments[i], given[i].c_str()) != 0)
      abort();
    if (!request && !option && strcmp(arguments[i], upper(given[i]).c_str()) != 0)
      abort();
  }
  // A run has a file spec, the lists are in order, and no file spec is an
  // unknown switch.
  int first_spec = scan.spec_count > 0 ? scan.specs[0] : -1;
  if (!request && first_spec < 0)
    abort();
  for (int i = 0, u = 0; i < scan.spec_count; i++) {
    if (scan.specs[i] < 0 || scan.specs[i] >= count ||
        (i > 0 && scan.specs[i] <= scan.specs[i - 1]))
      abort();
    while (u < scan.unknown_count && scan.unknown[u] < scan.specs[i])
      u++;
    if (u < scan.unknown_count && scan.unknown[u] == scan.specs[i])
      abort();
  }
  if (strlen(options.bat_path) > static_cast<size_t>(TYPED_PATH_CAPACITY) ||
      strlen(options.com_path) > static_cast<size_t>(TYPED_PATH_CAPACITY) ||
      options.tab_width < 0 || options.tab_width > TAB_WIDTH_MAX)
    abort();

  const char* spec = arguments[first_spec < 0 ? 0 : first_spec];
  char* directory = static_cast<char*>(malloc(LONG_PATH_CAPACITY + 1));
  char* name = static_cast<char*>(malloc(LONG_PATH_CAPACITY + 1));
  char* stem = static_cast<char*>(malloc(PATH_CAPACITY + 1));
  spec_directory(spec, directory);
  path_base_name(spec, name);
  file_stem(name, stem);
  if (strlen(spec) <= static_cast<size_t>(LONG_PATH_CAPACITY) &&
      strncmp(spec, directory, strlen(directory)) != 0 && strchr(spec, ':') == nullptr)
    abort();  // the directory is the beginning of the file spec as typed
  size_t capacity = 40;
  char* path = static_cast<char*>(malloc(capacity + 1));
  copy_bounded(path, directory, capacity);
  append_separator(path, capacity, '/');
  append_text(path, capacity, name);
  if (strlen(path) > capacity)
    abort();
  free(path);
  free(stem);
  free(name);
  free(directory);
  scan_release(&scan);
  for (char* argument : arguments)
    free(argument);
  return 0;
}
