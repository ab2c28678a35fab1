#include "convert/line_reader.h"

#include <cstdio>

namespace {

const int TAB = 9;
const int LINE_FEED = 10;
const int CARRIAGE_RETURN = 13;

// Reads away the rest of a line that did not fit.  Returns the last value
// read, or FGETSTR_FATAL once DISCARD_LIMIT bytes have been dropped.
int discard_rest(SourceStream* stream) {
  long dropped = 0;
  int b = read_byte(stream);
  while (!stream->at_end && b != LINE_FEED && b != SOURCE_END) {
    if (++dropped >= DISCARD_LIMIT) {
      printf("Fatal loop error in fgetstr()\n");
      return FGETSTR_FATAL;
    }
    b = read_byte(stream);
  }
  return b;
}

}  // namespace

int fgetstr(char* line, int capacity, SourceStream* stream, int tab_width, bool discard_overflow) {
  int n = 0;
  int last = 0;
  while (n < capacity) {
    int b = read_byte(stream);
    last = b;
    if (b == TAB && tab_width > 0) {
      for (int i = 0; i < tab_width && n < capacity; i++)
        line[n++] = ' ';
      continue;
    }
    if (b == SOURCE_END || b == LINE_FEED)
      break;
    if (b == CARRIAGE_RETURN)
      continue;
    line[n++] = static_cast<char>(b);
  }
  if (discard_overflow && last != LINE_FEED) {
    int b = discard_rest(stream);
    if (b == FGETSTR_FATAL) {
      line[n] = '\0';
      return FGETSTR_FATAL;
    }
    if (last != SOURCE_END)
      last = (b == SOURCE_END) ? LINE_FEED : b;
  }
  line[n] = '\0';
  if (n > 0 && last == SOURCE_END)
    return LINE_FEED;
  return last;
}
