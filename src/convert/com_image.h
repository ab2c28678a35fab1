// Builds the DOS COM program that prints a page: the text records first, the
// print calls behind them, and a near jump at offset 0 patched at the end.
#ifndef QUILLFEN_CONVERT_COM_IMAGE_H_
#define QUILLFEN_CONVERT_COM_IMAGE_H_

#include <cstdint>
#include <cstdio>

#include "common/run_options.h"

const int COM_MAX_RECORDS = 1024;
const int32_t COM_TEXT_LIMIT = 49997;
const int32_t COM_LOAD_OFFSET = 0x100;
// The most bytes an image may have: 64 KB less the program segment prefix
// and 256 bytes of stack.
const int32_t COM_IMAGE_LIMIT = 65024;
// The most '$' that an image within COM_IMAGE_LIMIT can print, 13 bytes of
// code each.
const int COM_MAX_DOLLARS = COM_IMAGE_LIMIT / 13 + 1;
// The image is gathered here and written at the end, in one piece when it
// fits, as it does within COM_IMAGE_LIMIT.
const size_t COM_STAGING_SIZE = 65536;

struct ComImage {
  FILE* stream = nullptr;
  int32_t byte_offset = 0;
  int32_t record_offsets[COM_MAX_RECORDS] = {};
  int32_t record_count = 0;
  // Where each '$' of the printed text stands; each is printed on its own.
  int32_t dollar_offsets[COM_MAX_DOLLARS] = {};
  int32_t dollar_count = 0;
  bool recording = false;
  // What the summary's warnings report.
  int32_t lines_offered = 0;  // lines handed to com_record_line
  int32_t lines_held = 0;     // of those, the ones held in full
  size_t staged = 0;
  bool failed = false;  // a write to the stream fell short
  int reason = 0;       // and the system's reason for it
  unsigned char staging[COM_STAGING_SIZE];
};

// Writes the jump placeholder and the header text and starts a fresh image.
void com_begin_image(ComImage* image, FILE* stream, const RunOptions* options,
                     const char* source_path);

// Appends one trimmed line as a text record, within the record and text limits.
void com_record_line(ComImage* image, const char* line);

// Appends the filler and the code and patches the jump; false when any write
// of the image failed.  The caller prints the summary once the image is in
// place.
bool com_finish_image(ComImage* image);

// Prints the summary of a finished image to `out`, one print call per message:
// the byte count of the text part, then a warning for lines left out or cut.
void com_print_summary(FILE* out, const ComImage* image, const char* source_path,
                       const char* com_path);

#endif  // QUILLFEN_CONVERT_COM_IMAGE_H_
