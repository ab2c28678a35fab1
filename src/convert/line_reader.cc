#include "convert/line_reader.h"

#include <cstdio>
#include <cstring>

namespace {

const int TAB = 9;
const int LINE_FEED = 10;
const int CARRIAGE_RETURN = 13;

// The first of `count` bytes at `from` equal to `value`, or from + count.
const unsigned char* find_or_end(const unsigned char* from, size_t count, int value) {
  const void* found = memchr(from, value, count);
  return found != nullptr ? static_cast<const unsigned char*>(found) : from + count;
}

// Where a line is being filled: the buffer, the bytes stored, and the value
// of the most recent read.
struct Filling {
  char* line;
  int capacity;
  int stored;
  int last;
};

// Stores the `count` bytes at `from`, none of them a line feed: carriage
// returns dropped, tabs expanded when `tab_width` is above 0, plain runs
// copied whole.  Stops as soon as the line is full.  Returns the number of
// bytes taken.
size_t store_run(Filling* fill, const unsigned char* from, size_t count, int tab_width) {
  const unsigned char* p = from;
  const unsigned char* end = from + count;
  const unsigned char* next_cr = find_or_end(p, count, CARRIAGE_RETURN);
  const unsigned char* next_tab = tab_width > 0 ? find_or_end(p, count, TAB) : end;
  while (p < end && fill->stored < fill->capacity) {
    const unsigned char* stop = next_cr < next_tab ? next_cr : next_tab;
    size_t plain = static_cast<size_t>(stop - p);
    size_t room = static_cast<size_t>(fill->capacity - fill->stored);
    if (plain > room)
      plain = room;
    memcpy(fill->line + fill->stored, p, plain);
    fill->stored += static_cast<int>(plain);
    p += plain;
    if (p == end || fill->stored == fill->capacity)
      break;
    if (p == next_tab) {
      int blanks = fill->capacity - fill->stored;
      if (blanks > tab_width)
        blanks = tab_width;
      memset(fill->line + fill->stored, ' ', static_cast<size_t>(blanks));
      fill->stored += blanks;
      p++;
      next_tab = find_or_end(p, static_cast<size_t>(end - p), TAB);
    } else {
      p++;
      next_cr = find_or_end(p, static_cast<size_t>(end - p), CARRIAGE_RETURN);
    }
  }
  if (p > from)
    fill->last = p[-1];
  return static_cast<size_t>(p - from);
}

// Reads away the rest of a line that did not fit.  Returns the last value
// read, or FGETSTR_FATAL once DISCARD_LIMIT bytes have been dropped.
int discard_rest(SourceStream* stream) {
  long dropped = 0;
  int b = read_byte(stream);
  while (!stream->at_end && b != LINE_FEED && b != SOURCE_END) {
    // b is dropped, and so are the buffered bytes up to the next line feed,
    // as far as the limit allows.
    const unsigned char* run = stream->block + stream->position;
    size_t tail =
        static_cast<size_t>(find_or_end(run, stream->length - stream->position, LINE_FEED) - run);
    long room = DISCARD_LIMIT - dropped - 1;
    if (tail >= static_cast<size_t>(room)) {
      stream->position += static_cast<size_t>(room);
      printf("Fatal loop error in fgetstr()\n");
      return FGETSTR_FATAL;
    }
    dropped += 1 + static_cast<long>(tail);
    stream->position += tail;
    b = read_byte(stream);
  }
  return b;
}

}  // namespace

int fgetstr(char* line, int capacity, SourceStream* stream, int tab_width, bool discard_overflow) {
  Filling fill = {line, capacity, 0, 0};
  while (fill.stored < capacity) {
    if (!source_fill(stream)) {
      fill.last = SOURCE_END;
      break;
    }
    // Each byte stores at most one, tabs aside, so a line that still has room
    // takes at least the bytes it has room for.
    const unsigned char* run = stream->block + stream->position;
    size_t count = stream->length - stream->position;
    size_t room = static_cast<size_t>(capacity - fill.stored);
    if (count > room)
      count = room;
    const unsigned char* feed = find_or_end(run, count, LINE_FEED);
    size_t before = static_cast<size_t>(feed - run);
    size_t taken = store_run(&fill, run, before, tab_width);
    stream->position += taken;
    if (taken == before && feed != run + count && fill.stored < capacity) {
      stream->position++;
      fill.last = LINE_FEED;
      break;
    }
  }
  int last = fill.last;
  int n = fill.stored;
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
