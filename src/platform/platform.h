// The one place where the tool meets the operating system, implemented once
// per platform (posix_*.cc, win32_*.cc) with what both share in shared.cc.
// Files are reached through a directory opened once, by the exact name that
// a listing gave or that the tool derived: a name is never parsed as a path.
// A call that can fail hands back the system's reason: errno on POSIX,
// GetLastError() on Windows, or one of the REASON_ values below.  The layer
// keeps no state of its own between calls.
#ifndef QUILLFEN_PLATFORM_PLATFORM_H_
#define QUILLFEN_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/reasons.h"

// Attribute bits of a directory entry, as the Windows search reports them.
const uint32_t ATTRIB_READONLY = 0x01;
const uint32_t ATTRIB_HIDDEN = 0x02;
const uint32_t ATTRIB_SYSTEM = 0x04;
const uint32_t ATTRIB_DIRECTORY = 0x10;

// What makes a file the same under any name: device and inode, or volume and
// file index.
struct FileIdentity {
  uint64_t volume;
  uint64_t index;
};

inline bool same_identity(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// All zeros stand for "no file".
inline bool identity_known(const FileIdentity& identity) {
  return identity.volume != 0 || identity.index != 0;
}

// A directory, opened once for the run.
struct Directory;

// Opens the directory that the typed `path` names (the current one for "").
// The native separators separate (the slash on POSIX, where a backslash is a
// byte of a name; both on Windows); each component is taken as typed where an
// entry of that spelling exists, else as the first entry, in name order, that
// matches it without regard to case.  A link on the way is followed under
// the rule for sources below.
Directory* directory_open(const char* path, int* reason);
void directory_close(Directory* directory);
FileIdentity directory_identity(const Directory* directory);

// Hands every name in the directory but "." and ".." to `take`, which
// returns false when it cannot keep it; the reason when the listing cannot be
// read to its end, or ENOMEM (ERROR_NOT_ENOUGH_MEMORY) after such a false.
typedef bool (*NameTaker)(const char* name, void* context);
int directory_list(Directory* directory, NameTaker take, void* context);

// What an entry of a directory is, links followed.
enum EntryKind {
  ENTRY_FILE,  // a regular file
  ENTRY_DIRECTORY,
  ENTRY_SPECIAL,     // a device, FIFO or socket
  ENTRY_UNREACHABLE  // there, but what it leads to cannot be looked at (a dangling link)
};

// The facts about an entry that the platform knows; the caller decides what
// they mean.  Attribute bits are those of the Windows search (none on POSIX);
// mode and owner are POSIX's permission bits and user id (0 on Windows).
struct EntryFacts {
  EntryKind kind;
  uint32_t attributes;
  uint32_t mode;
  uint32_t owner;
  FileIdentity identity;  // all zeros where there is no file to tell
};

// Whether `name` names an entry of the directory, and its facts.
bool entry_info(Directory* directory, const char* name, EntryFacts* facts);

// Whether two entries are one file now.  The first is held while the second
// is looked at, so that a file removed meanwhile cannot pass for a new one
// that the system gave its number.
bool one_file(Directory* directory, const char* name, Directory* other_directory,
              const char* other_name);

// The arguments of the process in UTF-8, as the tool takes every name: on
// Windows read again from the wide command line (with the runtime's rules),
// so that a name outside the code page arrives whole; else left as they are.
void arguments_as_utf8(int* argc, char*** argv);

// A name as messages show it: in the console's code page on Windows.
void shown_name(const char* name, char* out, size_t capacity);

// A name typed on the command line as the file services take it.
void typed_name(const char* typed, char* out, size_t capacity);

// The current directory, in at most `capacity` bytes with the terminator;
// false, with `buffer` empty, when it cannot be had or does not fit.
bool current_directory(char* buffer, int capacity, int* reason);

char native_separator();  // between a directory and a name

// The longest path, in characters, that the file services take.
int longest_path();

// A source opened for reading bytes.  A special file is refused rather than
// waited on (REASON_NOT_REGULAR).  In a directory that users other than its
// owner may write, a link is followed only where it belongs to the user
// running the tool or to the directory's owner, or where the file it leads to
// belongs to the link's owner; else the reason is "permission denied".
struct SourceFile {
  FILE* stream;
  FileIdentity identity;
  uint32_t mode;   // permission bits, or attributes
  uint32_t owner;  // the user who owns it, where the system tells
};
bool source_open(Directory* directory, const char* name, SourceFile* source, int* reason);

const int OUTPUT_NAME_CAPACITY = 1024;

// An output being written.  A regular file, or a name not taken yet, is
// written to a hidden temporary file beside it, which takes its name only when
// committed.  Anything else (a device, a FIFO with a reader) is written in
// place.  A link is written through, under the rule for sources above.
struct OutputFile {
  FILE* stream;
  bool in_place;
  bool closed;                           // written out and closed, waiting for its commit
  bool owns_directory;                   // `directory` was opened for a link's target
  uint32_t mode;                         // permission bits, or attributes, of the new file
  int reason;                            // why the last call on it failed
  Directory* directory;                  // where the output lands, links followed
  FileIdentity replaced;                 // the file it replaces; all zeros for none
  char target[OUTPUT_NAME_CAPACITY];     // its name there
  char temporary[OUTPUT_NAME_CAPACITY];  // the file written until the commit
  char previous[OUTPUT_NAME_CAPACITY];   // a link that keeps the replaced file
  int temporary_lock;                    // what holds the temporary file until its rename
  int previous_lock;                     // what holds that link meanwhile, where anything
};

// Opens the output of `source` named `name` in `directory` for writing bytes;
// false, with nothing created, where "wb" would refuse it.  A new file gets
// the source's bits under the process's mask.  A replaced one keeps its
// owner and bits only where that owner owns the source or all may read the
// source, so that nobody reads the output who could not read its source;
// else it is written as a new file.  Where the caller's listing is `absent`
// of the name, nothing there is looked at.  (On Windows a file's attributes
// are kept, and the rest does not apply.)
bool output_open(OutputFile* output, Directory* directory, const char* name,
                 const SourceFile& source, bool absent = false);

// Lets go of the directory that was opened for a link's target, once the
// output is put in place or given up.
inline void output_release(OutputFile* output) {
  if (output->owns_directory)
    directory_close(output->directory);
  output->owns_directory = false;
  output->directory = nullptr;
}

// The temporary file of an output, and the link that keeps the file a
// pair's first output replaces, are named after it: a dot, its name cut at
// TEMPORARY_NAME_KEPT bytes, one of these marks, then letters and digits
// (with a hyphen on Windows) that make the name unique.
const char TEMPORARY_MARK[] = ".quillfen-new-";
const char PREVIOUS_MARK[] = ".quillfen-old-";
extern const int TEMPORARY_NAME_KEPT;

// Removes such a file that a run left when it ended before its commit: only
// a file of the user running the tool, and only while no run holds it.
// True when it is gone.
bool leftover_remove(Directory* directory, const char* name);

// Renames the closed temporary file of `output` onto its target; false,
// with output->reason, when that fails.  output_remove_temporary removes
// that file instead.
bool output_rename(OutputFile* output);
void output_remove_temporary(OutputFile* output);

// The file that `output` replaces, kept while a pair is put in place:
// output_keep_previous links it under output->previous (false where a file
// was there and no link could be made); output_restore_previous puts it
// back, or removes the new file where there was none; output_drop_previous
// removes the link.
bool output_keep_previous(OutputFile* output);
void output_restore_previous(OutputFile* output);
void output_drop_previous(OutputFile* output);

// From now on SIGINT, SIGTERM, SIGHUP and SIGPIPE remove the temporary files
// in flight and then end the process by the same signal, as it would have
// ended without them; a file-size limit (SIGXFSZ) makes a write fail
// instead.  This alone keeps a record between calls: the temporary files
// in flight, for the handler.  signals_hold holds them back until it is
// called again to let them through.
void signals_install();
void signals_hold(bool hold);

// Console colours in the Windows attribute encoding, and the clearing of the
// screen: the console API on Windows (nothing when standard output is no
// console), ANSI sequences on POSIX (whether to send them is the caller's
// choice).
void console_set_attribute(uint16_t attribute);
void console_clear_screen();

// Whether the system is a POSIX one, whose programs keep its habits: plain
// exit statuses, errors and warnings on standard error, wildcards that pass
// over names beginning with a dot, a help that leaves the terminal as it
// is.  Windows programs keep the console's.
bool posix_habits();

// Whether standard output, or standard error, is a terminal (on Windows, a
// console), and whether such a terminal acts on C1 control bytes (0x80 to
// 0x9F) as on controls: a POSIX terminal may, a Windows console shows them in
// its code page.
bool stdout_is_terminal();
bool stderr_is_terminal();
bool terminal_acts_on_c1();

#endif  // QUILLFEN_PLATFORM_PLATFORM_H_
