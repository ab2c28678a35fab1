#include "front/credits.h"

#include <cstdio>
#include <cstring>

#include "common/run_options.h"
#include "common/text.h"

namespace {

// The remark comes within the first lines of either output; the path in a
// program's remark is at most a long path.
const size_t HEAD_SIZE = 2 * (LONG_PATH_CAPACITY + 1) + 512;
// Room for what comes before the remark's text: the first lines of a script
// (whose name may have its percent signs doubled), or a program's jump and
// CGI header.  An MZ image's code puts it further: a second read finds it.
const size_t BEFORE_SCRIPT_NAME = 128;
const size_t BEFORE_PROGRAM_PATH = 64;

const char SCRIPT_MARK[] = "\r\nrem  Converted from ";
const char PROGRAM_MARK[] = "Converted from ";

// The text after `mark` up to the next CR LF, within `size` bytes of `head`;
// nullptr when there is none.
const char* after_mark(const char* head, size_t size, const char* mark, size_t* length) {
  size_t mark_length = strlen(mark);
  for (size_t i = 0; i + mark_length <= size; i++) {
    if (memcmp(head + i, mark, mark_length) != 0)
      continue;
    const char* text = head + i + mark_length;
    const char* end = head + size;
    for (const char* p = text; p + 1 < end; p++) {
      if (p[0] == '\r' && p[1] == '\n') {
        *length = static_cast<size_t>(p - text);
        return text;
      }
    }
    return nullptr;
  }
  return nullptr;
}

}  // namespace

bool credited_page(Directory* directory, const char* name, bool program, size_t expected,
                   char* page, size_t capacity) {
  SourceFile file;
  int reason;
  if (capacity == 0 || !source_open(directory, name, &file, &reason))
    return false;
  // A remark as long as the expected one lies in the first read, which the
  // lines after it keep short of the file's end; any other takes a second.
  static char head[HEAD_SIZE];
  const char* mark = program ? PROGRAM_MARK : SCRIPT_MARK;
  size_t first = program ? BEFORE_PROGRAM_PATH + expected : BEFORE_SCRIPT_NAME + 2 * expected;
  if (first > sizeof head)
    first = sizeof head;
  size_t size = fread(head, 1, first, file.stream);
  size_t length = 0;
  const char* text = after_mark(head, size, mark, &length);
  if (text == nullptr && size == first && size < sizeof head) {
    size += fread(head + size, 1, sizeof head - size, file.stream);
    text = after_mark(head, size, mark, &length);
  }
  fclose(file.stream);
  if (text == nullptr)
    return false;
  // A program's remark holds the path the page was shown by: its last part
  // names the page.
  if (program) {
    size_t start = length;
    while (start > 0 && !is_separator(text[start - 1]))
      start--;
    text += start;
    length -= start;
  }
  // A script's remark doubles every percent sign.
  size_t used = 0;
  for (size_t i = 0; i < length && used + 1 < capacity; i++) {
    page[used++] = text[i];
    if (!program && text[i] == '%' && i + 1 < length && text[i + 1] == '%')
      i++;
  }
  page[used] = '\0';
  return true;
}

void remark_form(const char* name, char* out, size_t capacity) {
  if (capacity == 0)
    return;
  size_t i = 0;
  for (; name[i] != '\0' && i + 1 < capacity; i++)
    out[i] = (name[i] == '\r' || name[i] == '\n') ? '?' : name[i];
  out[i] = '\0';
}
