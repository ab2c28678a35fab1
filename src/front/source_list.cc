#include "front/source_list.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"
#include "common/text.h"
#include "front/names.h"
#include "front/run.h"

namespace {

// Whether a matching entry is passed over: a directory or a special file,
// and, where the listing reports them, a read-only, hidden or system file.
// A name that begins with a dot is passed over by a wildcard where the
// platform's habits hide such names, as shells do.  Anything else is a
// source: a read-only page is converted, and one that cannot be opened fails
// with its reason.
bool passed_over(const char* name, const EntryFacts& facts, bool wildcard) {
  if (facts.kind == ENTRY_DIRECTORY || facts.kind == ENTRY_SPECIAL)
    return true;
  if ((facts.attributes & (ATTRIB_READONLY | ATTRIB_HIDDEN | ATTRIB_SYSTEM)) != 0)
    return true;
  return wildcard && name[0] == '.' && posix_habits();
}

// Makes room for one more entry; false when memory runs out.
bool make_room(SourceList* list) {
  return grow(&list->entries, static_cast<size_t>(list->count), &list->capacity, 64,
              static_cast<size_t>(INT_MAX));
}

// Windows wildcard matching of one name, without regard to ASCII case.
bool wildcard_match(const char* pattern, size_t length, const char* name) {
  const char* end = pattern + length;
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (pattern < end && *pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (pattern < end && (*pattern == '?' || ascii_upper(*pattern) == ascii_upper(*name))) {
      pattern++;
      name++;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (pattern < end && *pattern == '*')
    pattern++;
  return pattern == end;
}

// Takes the entry `name` of the folder unless it is passed over; false when
// memory runs out.
bool take_match(Folder* folder, const char* name, bool wildcard, SourceList* list, int spec,
                SearchOutcome* outcome) {
  // An entry gone since the listing is taken all the same: opening it tells
  // what became of it.
  EntryFacts facts;
  entry_info(folder->directory, name, &facts);
  if (passed_over(name, facts, wildcard)) {
    outcome->skipped++;
    if (facts.kind == ENTRY_DIRECTORY)
      outcome->directories++;
    return true;
  }
  if (!make_room(list))
    return false;
  list->entries[list->count++] = ListedSource{name, spec, facts.identity};
  return true;
}

// Name order, as an NTFS directory lists its entries.
int by_name(const void* a, const void* b) {
  return compare_names(static_cast<const ListedSource*>(a)->name,
                       static_cast<const ListedSource*>(b)->name);
}

}  // namespace

bool name_matches(const char* pattern, const char* name) {
  size_t length = strlen(pattern);
  // The common "*.html": a tail to compare, with no star to try anywhere.
  if (pattern[0] == '*' && strpbrk(pattern + 1, "*?") == nullptr) {
    size_t name_length = strlen(name);
    if (name_length >= length - 1 && same_name(name + name_length - (length - 1), pattern + 1))
      return true;
  } else if (wildcard_match(pattern, length, name)) {
    return true;
  }
  return length >= 2 && strcmp(pattern + length - 2, ".*") == 0 &&
         wildcard_match(pattern, length - 2, name);
}

int list_matching_files(Folder* folder, const char* pattern, SourceList* list, int spec,
                        SearchOutcome* outcome) {
  *outcome = SearchOutcome{0, 0, folder_list(folder)};
  if (outcome->reason != REASON_NONE)
    return 0;
  int first = list->count;
  bool fits = true;
  if (pattern[0] != '\0' && strpbrk(pattern, "*?") == nullptr) {
    const char* name = folder_find(folder, pattern);
    fits = name == nullptr || take_match(folder, name, false, list, spec, outcome);
  } else {
    for (size_t i = 0; i < folder->count && fits; i++) {
      if (pattern[0] == '\0' || name_matches(pattern, folder->names[i]))
        fits = take_match(folder, folder->names[i], true, list, spec, outcome);
    }
  }
  if (!fits) {
    list->count = first;
    return -1;
  }
  if (list->count - first > 1)
    qsort(list->entries + first, static_cast<size_t>(list->count - first), sizeof(ListedSource),
          by_name);
  return list->count - first;
}

namespace {

// Says why a file spec found nothing to convert.
void report_no_match(const Run* run, const char* spec, const SearchOutcome& outcome) {
  say("Error: No files found matching \"%s\"\n", run->source_path);
  print_reason(outcome.reason);
  char name[LONG_PATH_CAPACITY + 1];
  path_base_name(spec, name);
  bool wildcard = strpbrk(name, "*?") != nullptr;
  if (outcome.skipped == 1 && outcome.directories == 1 && name[0] != '\0' && !wildcard)
    say("  (a directory: give %s%c or %s%c*.htm)\n", spec, native_separator(), spec,
        native_separator());
  else if (outcome.skipped > 0 && posix_habits())
    say("  (%i matching entries are directories, special files or names that begin with a "
        "dot)\n",
        outcome.skipped);
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
    shown_name(directory, run->source_dir, LONG_PATH_CAPACITY + 1);
  append_separator(run->source_dir, LONG_PATH_CAPACITY, native_separator());
  char typed_base[LONG_PATH_CAPACITY + 1];
  char name[LONG_PATH_CAPACITY + 1];
  path_base_name(spec, typed_base);
  shown_name(typed_base, name, sizeof name);
  copy_bounded(run->source_path, run->source_dir, LONG_PATH_CAPACITY);
  append_text(run->source_path, LONG_PATH_CAPACITY, name);
}

// Resolves one file spec, given upper-cased and as typed, and lists its
// matches after those of the specs before it.  A spec that matches nothing,
// or whose directory cannot be read to its end, gets its error, and the run
// goes on with the others.
void list_spec(Run* run, const char* spec, const char* typed) {
  Spec* entry = &run->specs[run->spec_count];
  bool stored = true;
  // Where names are told apart by case, messages show the file pattern as
  // typed, and the remarks its directory upper-cased.
  if (posix_habits()) {
    show_file_spec(run, typed);
    char directory[LONG_PATH_CAPACITY + 1];
    spec_directory(typed, directory);
    if (directory[0] != '\0' && (stored = store_copy(&entry->credited, run->source_dir)))
      upper_case(entry->credited);
    spec = typed;
  } else {
    show_file_spec(run, spec);
  }
  char directory[LONG_PATH_CAPACITY + 1];
  char pattern[LONG_PATH_CAPACITY + 1];
  spec_directory(typed, directory);
  path_base_name(typed, pattern);
  SearchOutcome outcome = {0, 0, REASON_NONE};
  entry->folder = folder_open(&run->folders, directory, &outcome.reason);
  int found = -1;
  if (entry->folder != nullptr && stored && store_copy(&entry->shown, run->source_dir))
    found = list_matching_files(entry->folder, pattern, &run->list, run->spec_count, &outcome);
  if (found > 0) {
    run->spec_count++;
    return;
  }
  run->incomplete = true;
  free(entry->shown);
  free(entry->credited);
  entry->shown = nullptr;
  entry->credited = nullptr;
  if (outcome.reason != REASON_NONE && !reason_is_missing(outcome.reason)) {
    say("Error: Can't read directory %s\n", run->source_dir);
    print_reason(outcome.reason);
  } else {
    report_no_match(run, spec, outcome);
  }
}

}  // namespace

void list_sources(Run* run, char** arguments, const ArgumentScan& scan) {
  run->specs = static_cast<Spec*>(calloc(static_cast<size_t>(scan.spec_count) + 1, sizeof(Spec)));
  if (run->specs == nullptr)
    return;
  for (int i = 0; i < scan.spec_count; i++)
    list_spec(run, arguments[scan.specs[i]], run->typed[scan.specs[i]]);
  for (int i = 0; i < run->list.count; i++) {
    const FileIdentity& identity = run->list.entries[i].identity;
    if (identity_known(identity) && !known_put(&run->known, identity, nullptr, i))
      run->list.count = 0;
  }
}
