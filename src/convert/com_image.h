// Builds the DOS program that prints a page.  A page within the COM limits
// gets a COM image: the text records first, the print calls behind them, and
// a near jump at offset 0 patched at the end.  This module decides when a
// page outgrows it; the page then gets an MZ image (mz_image.h) under the
// same name.
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
// An MZ image stages its text here too, written out each time it fills.
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
  // The page went past the COM limits: the image is an MZ image, and
  // byte_offset counts every byte of the file.
  bool mz = false;
  // What the summary's warnings report.
  int32_t lines_offered = 0;  // lines handed to com_record_line
  int32_t lines_held = 0;     // of those, the ones held in full
  bool piece_lost = false;    // a piece of the line in progress was left out
  size_t staged = 0;
  bool failed = false;  // a write to the stream fell short
  int reason = 0;       // and the system's reason for it
  unsigned char staging[COM_STAGING_SIZE];
};

// The ends of a record: a line's, and that of a piece whose line goes on.
const unsigned char RECORD_END[] = {0x0D, 0x0A, '$'};
const unsigned char PIECE_END[] = {'$'};

// The image's staging, which both formats write through: image_emit adds
// bytes and counts them in `byte_offset`, image_flush writes out what is
// staged, noting a short write.
void image_emit(ComImage* image, const void* bytes, size_t length);
void image_flush(ComImage* image);

// Writes the jump placeholder and the header text and starts a fresh image.
void com_begin_image(ComImage* image, FILE* stream, const RunOptions* options,
                     const char* source_path);

// Appends one trimmed line as a text record.  The first line that the COM
// limits cannot hold whole turns the image into an MZ image, which holds
// whole lines up to its own text limit.
void com_record_line(ComImage* image, const char* line);

// The same for a piece of `length` bytes of a line that arrives in pieces;
// `goes_on` when more of the line follows.  A piece but the last gets no
// line end, so that the program prints the line whole.
void com_record_piece(ComImage* image, const char* piece, size_t length, bool goes_on);

// Whether lines of the page were left out of the image or cut.
bool com_image_cut(const ComImage* image);

// Completes the image (a COM image's filler, code and jump, or an MZ image's
// end mark and header); false when any write of the image failed.  The caller prints the summary
// once the image is in place.
bool com_finish_image(ComImage* image);

// Prints the summary of a finished image to `out`, one print call per message:
// the byte count of a COM image's text part or of a whole MZ image, then a
// warning for lines left out or cut.
void com_print_summary(FILE* out, const ComImage* image, const char* source_path,
                       const char* com_path);

#endif  // QUILLFEN_CONVERT_COM_IMAGE_H_
