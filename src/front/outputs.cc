#include "front/outputs.h"

#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "common/text.h"
#include "front/credits.h"
#include "front/names.h"
#include "front/run.h"

namespace {

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
// Where names are told apart by case, `shown` becomes the path of the entry
// itself: the directory as typed, and the name that the entry has or gets.
bool place_named_output(Run* run, const char* typed, OutputPlace* place, char* shown, int* reason) {
  char directory[LONG_PATH_CAPACITY + 1];
  char base[LONG_PATH_CAPACITY + 1];
  size_t cut = last_path_separator_pos(typed);
  copy_bounded(directory, typed, cut);
  copy_bounded(base, typed + cut, LONG_PATH_CAPACITY);
  if (posix_habits())
    copy_bounded(shown, directory, LONG_PATH_CAPACITY);
  place->folder = folder_open(&run->folders, directory, reason);
  if (place->folder == nullptr || (*reason = folder_list(place->folder)) != REASON_NONE) {
    if (posix_habits())
      append_text(shown, LONG_PATH_CAPACITY, base);
    return false;
  }
  char wanted[OUTPUT_NAME_CAPACITY];
  char created[OUTPUT_NAME_CAPACITY];
  typed_name(base, wanted, sizeof wanted);
  upper_case(base);
  typed_name(base, created, sizeof created);
  find_entry(run, place, wanted, created);
  if (posix_habits())
    append_text(shown, LONG_PATH_CAPACITY, place->name);
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
  // The entry as it is spelt there, which another case of the name means.
  char shown_entry[LONG_PATH_CAPACITY + 1];
  shown_name(place->name, shown_entry, sizeof shown_entry);
  copy_bounded(shown, run->specs[listed.spec].shown, LONG_PATH_CAPACITY);
  append_text(shown, LONG_PATH_CAPACITY, shown_entry);
}

// The listed name `name` as the credit remarks name its page.
void remark_name(const char* name, char* out) {
  char shown[LONG_PATH_CAPACITY + 1];
  char base[LONG_PATH_CAPACITY + 1];
  shown_name(name, shown, sizeof shown);
  base_name(shown, base);
  remark_form(base, out, LONG_PATH_CAPACITY + 1);
}

// Whether `page`, as a remark holds it, names a source of the run listed in
// `folder`: the run tells of an output that one of its own pages replaces
// as that happens.
bool source_of_run(const Run* run, const Folder* folder, const char* page) {
  char form[LONG_PATH_CAPACITY + 1];
  for (int i = 0; i < run->list.count; i++) {
    const ListedSource& source = run->list.entries[i];
    if (run->specs[source.spec].folder != folder)
      continue;
    remark_name(source.name, form);
    if (strcmp(form, page) == 0)
      return true;
  }
  return false;
}

}  // namespace

void drop_compiling(Run* run, int reason) {
  say("Error: Can't open COM file %s for output (/COMPILE turned OFF)\n", run->options.com_path);
  print_reason(reason);
  run->options.compile_com = false;
  run->incomplete = true;
}

bool place_outputs(Run* run, int index) {
  RunOptions& options = run->options;
  const ListedSource& listed = run->list.entries[index];
  char* shown[2] = {options.bat_path, options.com_path};
  const char* extensions[2] = {".bat", ".com"};
  int reason;
  for (int i = 0; i < (options.compile_com ? 2 : 1); i++) {
    OutputPlace* place = &run->places[i];
    place->derived = shown[i][0] == '\0';
    if (place->derived) {
      place_derived_output(run, listed, extensions[i], place, shown[i]);
      continue;
    }
    const char* named = run->named_outputs[i] != nullptr ? run->named_outputs[i] : shown[i];
    bool placed = place_named_output(run, named, place, shown[i], &reason);
    // Shown in the console's code page.
    char typed[LONG_PATH_CAPACITY + 1];
    copy_bounded(typed, shown[i], LONG_PATH_CAPACITY);
    shown_name(typed, shown[i], LONG_PATH_CAPACITY + 1);
    if (!placed) {
      if (i == 1) {
        drop_compiling(run, reason);
        break;
      }
      say("Error: Can't open batch file %s for output\n", shown[i]);
      print_reason(reason);
      return false;
    }
  }
  return true;
}

int check_credits(const Run* run, int index) {
  const RunOptions& options = run->options;
  const char* shown[2] = {options.bat_path, options.com_path};
  char form[LONG_PATH_CAPACITY + 1];
  remark_name(run->list.entries[index].name, form);
  for (int i = 0; i < (options.compile_com ? 2 : 1); i++) {
    const OutputPlace& place = run->places[i];
    char page[LONG_PATH_CAPACITY + 1];
    if (!place.derived || !place.exists || place.earlier >= 0 ||
        !credited_page(place.folder->directory, place.name, i == 1,
                       strlen(i == 1 ? run->credit_path : form), page, sizeof page) ||
        strcmp(page, form) == 0 || source_of_run(run, place.folder, page))
      continue;
    say("Error: %s was converted from %s; not replaced with the output of %s\n", shown[i], page,
        run->source_path);
    if (!options.full_stem)
      say("  (--full-stem keeps the pages apart)\n");
    return STATUS_FAILED;
  }
  return STATUS_CONTINUE;
}

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
  // The same entry, links followed, or one file under two names.  The two
  // were opened one after the other: a file that another run replaced in
  // between may have handed its number on, so equal numbers are looked at
  // again, both files at once.
  if (com.stream != nullptr &&
      (same_entry(directory_identity(bat.directory), bat.target, directory_identity(com.directory),
                  com.target) ||
       (identity_known(bat.replaced) && same_identity(bat.replaced, com.replaced) &&
        one_file(bat.directory, bat.target, com.directory, com.target)))) {
    say("Error: BAT and COM outputs can't be the same file\n  ->%s\n", options.com_path);
    return STATUS_FAILED;
  }
  return STATUS_CONTINUE;
}

void note_written(Run* run, const OutputPlace& place, int index) {
  if (!known_put(&run->known, place.folder->identity, place.name, index))
    run->incomplete = true;
}

void shown_source(const Run* run, int index, char* path) {
  const ListedSource& source = run->list.entries[index];
  char name[LONG_PATH_CAPACITY + 1];
  shown_name(source.name, name, sizeof name);
  copy_bounded(path, run->specs[source.spec].shown, LONG_PATH_CAPACITY);
  append_text(path, LONG_PATH_CAPACITY, name);
}

void report_replaced(Run* run, int index, const char* path, int earlier) {
  if (earlier < 0)
    return;
  char earlier_path[LONG_PATH_CAPACITY + 1];
  shown_source(run, earlier, earlier_path);
  say("Warning: %s replaces the output written for \"%s\"\n", path, earlier_path);
  const char* names[2] = {run->list.entries[earlier].name, run->list.entries[index].name};
  char stems[2][PATH_CAPACITY + 1];
  char full[2][PATH_CAPACITY + 1];
  for (int i = 0; i < 2; i++) {
    file_stem(names[i], stems[i]);
    full_stem(names[i], full[i]);
  }
  if (!run->options.full_stem && same_name(stems[0], stems[1]) && !same_name(full[0], full[1]))
    say("  (--full-stem keeps the pages apart)\n");
  run->incomplete = true;
}
