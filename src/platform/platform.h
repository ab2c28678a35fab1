// The one place where the tool meets the operating system: directory search,
// the current directory, opening files, file identity, console colours and the
// exit status.  One implementation per platform (posix_*.cc, win32_*.cc)
// stands behind this header, with what both share in shared.cc.
//
// A call that can fail hands the system's reason to its caller: errno on
// POSIX, GetLastError() on Windows, or one of the REASON_ values below.
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

// The reason in words, without a final full stop.
void reason_text(int reason, char* out, size_t capacity);

// Whether the reason says that a file or directory does not exist.
bool reason_is_missing(int reason);

// The system's reason for the last stream read or write that failed.
int stream_reason();

// The longest entry name that a search delivers, without its terminator.
const int ENTRY_NAME_CAPACITY = 259;

struct DirEntry {
  char name[ENTRY_NAME_CAPACITY + 1];
  uint32_t attributes;
  uint32_t size_low;  // low 32 bits of the size in bytes
};

struct DirSearch;

// Starts a search for the entries that match the last part of `pattern` in the
// directory that the rest of it names ('*' and '?' wildcards, case-blind).
// Slash and backslash both separate.  Fills `entry` with the first match and
// returns the open search.  Returns nullptr when nothing matches (*reason 0)
// or when the directory cannot be read to its end (*reason tells why).
DirSearch* dir_search_first(const char* pattern, DirEntry* entry, int* reason);

// Fills `entry` with the next match; false when there is none (*reason 0) or
// the search failed (*reason tells why).
bool dir_search_next(DirSearch* search, DirEntry* entry, int* reason);

void dir_search_close(DirSearch* search);

// Copies the current directory into `buffer` (at most `capacity` bytes with the
// terminator) and returns true; leaves it empty and returns false when the
// directory cannot be obtained or does not fit.
bool current_directory(char* buffer, int capacity, int* reason);

// The separator that the tool puts between a directory and a name.
char native_separator();

// The spelling of `path` that the file system takes: where the platform tells
// letter cases apart, each component that has no exact match takes the name
// of an entry that matches it without regard to case.  False when the result
// does not fit `capacity` bytes.  Where the platform ignores case, a copy.
bool resolve_path(const char* path, char* out, size_t capacity);

// What makes a file the same file under any name: device and inode, or
// volume and file index.
struct FileIdentity {
  uint64_t volume;
  uint64_t index;
};

// The directory entry that `path` names, in one spelling for all the paths
// that name it: its absolute path as resolved.  Two such texts name one
// entry when their directories are alike and their names alike but for ASCII
// case.  False when it cannot be told.  When `identity` is not null, *exists
// tells whether a file is there, and *identity is then that file's.
bool entry_of(const char* path, char* out, size_t capacity, FileIdentity* identity = nullptr,
              bool* exists = nullptr);

// Lets the lookups of resolve_path keep the names of the directories they
// list, for as long as each directory stays unchanged; `false` drops them.
// The caller turns it on for one phase of its work.
void name_cache_enable(bool on);

// Opens the regular file `path` for reading bytes, without waiting on a
// special file; nullptr with *reason when it cannot (REASON_NOT_REGULAR for
// anything but a regular file).
FILE* open_source(const char* path, int* reason);

// True when both paths name one file, whatever their spelling: one existing
// file (same device and inode, or same volume and file index), or, where
// either does not exist yet, the one place that writing would create.
bool same_file(const char* first, const char* second);

// Console colours on standard output, in the Windows attribute encoding.  They
// add nothing to standard output when it is not a console.
void console_set_attribute(uint16_t attribute);
void console_clear_screen();

// The longest path, in characters, that the platform's file services take.
int longest_path();

// The low 32 bits of the size of the file that `path` names exactly; 0 when
// there is none.
uint32_t file_size_low(const char* path);

// The identity of the existing file that `path` names, following links;
// false when there is none.
bool file_identity(const char* path, FileIdentity* identity);

const int OUTPUT_PATH_CAPACITY = 4096;

// An output being written.  A regular file, or a name not taken yet, is
// written to a hidden temporary file in the same directory, which takes the
// output's name only when committed; until then the output keeps its previous
// bytes.  Anything else (a device, a FIFO with a reader) is written in place.
struct OutputFile {
  FILE* stream;
  bool in_place;
  bool closed;                           // written out and closed, waiting for its commit
  uint32_t mode;                         // permission bits, or attributes, that the new file gets
  int reason;                            // why the last call on it failed
  char target[OUTPUT_PATH_CAPACITY];     // where the output lands, links followed
  char temporary[OUTPUT_PATH_CAPACITY];  // the file written until the commit
};

// Opens the output that `path` names for writing bytes; false (and nothing
// created) when it cannot be written, as "wb" would refuse it.
bool output_open(OutputFile* output, const char* path);

// Flushes and closes the output; false when any write, the flush or the close
// failed, in which case the temporary file is gone and the old output, if
// any, is unchanged.
bool output_close(OutputFile* output);

// Closes the output if still open and puts it in place of the old one; false
// when that fails, with the temporary file gone and the old output unchanged.
bool output_commit(OutputFile* output);

// Closes the output and removes its temporary file; the old output stays.
void output_discard(OutputFile* output);

// The process exit status that stands for `count` converted sources.
int exit_status_for(long count);

#endif  // QUILLFEN_PLATFORM_PLATFORM_H_
