// The one place where the tool meets the operating system, implemented once
// per platform (posix_*.cc, win32_*.cc) with what both share in shared.cc.
// A call that can fail hands back the system's reason: errno on POSIX,
// GetLastError() on Windows, or one of the REASON_ values below.
#ifndef QUILLFEN_PLATFORM_PLATFORM_H_
#define QUILLFEN_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Attribute bits of a directory entry, as the Windows search reports them.
const uint32_t ATTRIB_READONLY = 0x01;
const uint32_t ATTRIB_HIDDEN = 0x02;
const uint32_t ATTRIB_SYSTEM = 0x04;
const uint32_t ATTRIB_DIRECTORY = 0x10;

// Reasons of the tool's own, beside the system's.
const int REASON_NONE = 0;
const int REASON_NOT_REGULAR = -2;  // a source that is no regular file
const int REASON_TOO_LONG = -3;     // a path longer than the tool holds

// A reason in words (no final full stop), whether it means that there is no
// such file or directory, and the reason of the last failed stream call.
void reason_text(int reason, char* out, size_t capacity);
bool reason_is_missing(int reason);
int stream_reason();

// The longest entry name that a search delivers, without its terminator.
const int ENTRY_NAME_CAPACITY = 259;

struct DirEntry {
  char name[ENTRY_NAME_CAPACITY + 1];
  uint32_t attributes;
  uint32_t size_low;  // low 32 bits of the size in bytes
};

struct DirSearch;

// Searches the directory that `pattern` names for the entries that match its
// last part ('*' and '?', case-blind; slash and backslash both separate).
// Each call fills `entry` with the next match; the first returns the open
// search.  No match gives nullptr or false with *reason 0; a directory that
// cannot be read to its end gives *reason.
DirSearch* dir_search_first(const char* pattern, DirEntry* entry, int* reason);
bool dir_search_next(DirSearch* search, DirEntry* entry, int* reason);
void dir_search_close(DirSearch* search);

// The current directory, in at most `capacity` bytes with the terminator;
// false, with `buffer` empty, when it cannot be had or does not fit.
bool current_directory(char* buffer, int capacity, int* reason);

char native_separator();  // between a directory and a name

// The spelling of `path` that the file system takes: where the platform tells
// letter cases apart, each component without an exact match takes the name of
// an entry that matches it without regard to case; elsewhere a copy.  False
// when the result does not fit `capacity` bytes.
bool resolve_path(const char* path, char* out, size_t capacity);

// What makes a file the same under any name: device and inode, or volume and
// file index.
struct FileIdentity {
  uint64_t volume;
  uint64_t index;
};

// One spelling of the directory entry that `path` names, for every path that
// names it: its absolute path as resolved.  Two name one entry when their
// directories are alike and their names alike but for ASCII case.  False when
// it cannot be told.  With `identity`, *exists tells whether a file is there,
// and *identity is then that file's.
bool entry_of(const char* path, char* out, size_t capacity, FileIdentity* identity = nullptr,
              bool* exists = nullptr);

// Lets resolve_path keep the names of the directories it lists while each
// stays unchanged; `false` drops them.  On for one phase of the caller's work.
void name_cache_enable(bool on);

// Opens the regular file `path` for reading bytes, never waiting on a special
// file (REASON_NOT_REGULAR); nullptr with *reason when it cannot.
FILE* open_source(const char* path, int* reason);

// Whether both paths name one existing file, whatever their spelling, or,
// where either does not exist yet, the one place that writing would create.
bool same_file(const char* first, const char* second);

// Console colours in the Windows attribute encoding; nothing when standard
// output is not a console.
void console_set_attribute(uint16_t attribute);
void console_clear_screen();

// The longest path, in characters, that the file services take.
int longest_path();

// The low 32 bits of the size of the file that `path` names exactly, or 0.
uint32_t file_size_low(const char* path);

// The identity of the existing file that `path` names, following links;
// false when there is none.
bool file_identity(const char* path, FileIdentity* identity);

const int OUTPUT_PATH_CAPACITY = 4096;

// An output being written.  A regular file, or a name not taken yet, is
// written to a hidden temporary file beside it, which takes its name only when
// committed.  Anything else (a device, a FIFO with a reader) is written in
// place.
struct OutputFile {
  FILE* stream;
  bool in_place;
  bool closed;                           // written out and closed, waiting for its commit
  uint32_t mode;                         // permission bits, or attributes, that the new file gets
  int reason;                            // why the last call on it failed
  char target[OUTPUT_PATH_CAPACITY];     // where the output lands, links followed
  char temporary[OUTPUT_PATH_CAPACITY];  // the file written until the commit
};

// Opens `path` for writing bytes; false, with nothing created, where "wb"
// would refuse it.
bool output_open(OutputFile* output, const char* path);

// output_close and output_commit (which closes the output if still open and
// puts it in place of the old one) return false when they, or a write before
// them, failed; the temporary file is then gone and the old output, if any,
// unchanged.  output_discard closes the output and removes its temporary file.
bool output_close(OutputFile* output);
bool output_commit(OutputFile* output);
void output_discard(OutputFile* output);

// Whether the exit status counts the sources converted unless the command
// line says otherwise, and the highest count that it carries.
bool count_status_default();
long count_status_limit();

// Whether standard output is a terminal (on Windows, a console).
bool stdout_is_terminal();

#endif  // QUILLFEN_PLATFORM_PLATFORM_H_
