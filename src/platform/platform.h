// The one place where the tool meets the operating system: directory search,
// the current directory, opening files, file identity, console colours and the
// exit status.  One implementation per platform (platform-posix.cc,
// platform-win32.cc) stands behind this header.
#ifndef QUILLFEN_PLATFORM_PLATFORM_H_
#define QUILLFEN_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <cstdio>

// Attribute bits of a directory entry, as the Windows search reports them.
const uint32_t ATTRIB_READONLY = 0x01;
const uint32_t ATTRIB_HIDDEN = 0x02;
const uint32_t ATTRIB_SYSTEM = 0x04;
const uint32_t ATTRIB_PLAIN = 0x08;
const uint32_t ATTRIB_DIRECTORY = 0x10;

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
// returns the open search, or returns nullptr when nothing matches.
DirSearch* dir_search_first(const char* pattern, DirEntry* entry);

// Fills `entry` with the next match; false when there is none.
bool dir_search_next(DirSearch* search, DirEntry* entry);

void dir_search_close(DirSearch* search);

// Copies the current directory into `buffer` (at most `capacity` bytes with the
// terminator) and returns true; leaves it empty and returns false when the
// directory cannot be obtained or does not fit.
bool current_directory(char* buffer, int capacity);

// The separator that the tool puts between a directory and a name.
char native_separator();

// fopen with the platform's path rules ("rb" and "wb" are the modes used).
FILE* open_file(const char* path, const char* mode);

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
// there is none.  Where the platform's search reads '*' and '?' as wildcards
// (Windows, where no name holds them), a name with one gives 0.
uint32_t file_size_low(const char* path);

// What makes a file the same file under any name: device and inode, or
// volume and file index.
struct FileIdentity {
  uint64_t volume;
  uint64_t index;
};

// The identity of the existing file that `path` names, following links;
// false when there is none.
bool file_identity(const char* path, FileIdentity* identity);

const int OUTPUT_PATH_CAPACITY = 4096;

// An output being written.  A regular file, or a name not taken yet, is
// written to a hidden temporary file in the same directory, which takes the
// output's name only when committed; until then the output keeps its previous
// bytes.  Anything else (a device, a FIFO) is written in place.
struct OutputFile {
  FILE* stream;
  bool in_place;
  uint32_t mode;  // permission bits, or attributes, that the new file gets
  bool identified;
  FileIdentity identity;                 // of the file written, which the output becomes
  char target[OUTPUT_PATH_CAPACITY];     // where the output lands, links followed
  char temporary[OUTPUT_PATH_CAPACITY];  // the file written until the commit
};

// Opens the output that `path` names for writing bytes; false (and nothing
// created) when it cannot be written, as "wb" would refuse it.
bool output_open(OutputFile* output, const char* path);

// Flushes and closes the output and puts it in place of the old one; false
// when any of that fails, in which case the temporary file is gone and the
// old output, if any, is unchanged.
bool output_commit(OutputFile* output);

// Closes the output and removes its temporary file; the old output stays.
void output_discard(OutputFile* output);

// The process exit status that stands for `count` converted sources.
int exit_status_for(long count);

#endif  // QUILLFEN_PLATFORM_PLATFORM_H_
