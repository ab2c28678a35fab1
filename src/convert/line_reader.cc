#include "convert/line_reader.h"

#include <cstdio>
#include <cstring>

#include "common/messages.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#define QUILLFEN_WIDE_SCAN 1
#include <immintrin.h>
#endif

namespace {

const int TAB = 9;
const int LINE_FEED = 10;
const int CARRIAGE_RETURN = 13;

// The first of `count` bytes at `from` equal to `value`, or from + count.
const unsigned char* find_or_end(const unsigned char* from, size_t count, int value) {
  const void* found = memchr(from, value, count);
  return found != nullptr ? static_cast<const unsigned char*>(found) : from + count;
}

// Where a line is being filled: the buffer, the bytes stored, the value of
// the most recent read, and where the first NUL byte went (-1: none yet).
struct Filling {
  char* line;
  int capacity;
  int stored;
  int last;
  int first_nul;
};

#if defined(__SSE2__)
// A mask with a bit set for each of the 16 bytes that the reader stops at.
unsigned stop_mask(__m128i bytes, bool tabs) {
  __m128i hit = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(LINE_FEED));
  hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(CARRIAGE_RETURN)));
  hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, _mm_setzero_si128()));
  if (tabs)
    hit = _mm_or_si128(hit, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(TAB)));
  return static_cast<unsigned>(_mm_movemask_epi8(hit));
}
#endif

bool stops_at(unsigned char c, bool tabs) {
  return c == LINE_FEED || c == CARRIAGE_RETURN || c == 0 || (tabs && c == TAB);
}

#if defined(QUILLFEN_WIDE_SCAN)
#define WIDE_SCAN __attribute__((target("avx512f,avx512bw")))

// ordinary_length 64 bytes at a time; the last block is read with a mask,
// so nothing past `count` is read.
WIDE_SCAN size_t ordinary_length_wide(const unsigned char* from, size_t count, bool tabs) {
  const size_t block = 64;
  for (size_t length = 0; length < count; length += block) {
    size_t rest = count - length;
    __mmask64 valid = rest >= block ? ~__mmask64{0} : (__mmask64{1} << rest) - 1;
    __m512i bytes = _mm512_maskz_loadu_epi8(valid, from + length);
    __mmask64 hit = _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(LINE_FEED)) |
                    _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(CARRIAGE_RETURN)) |
                    _mm512_testn_epi8_mask(bytes, bytes);
    if (tabs)
      hit |= _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(TAB));
    hit &= valid;
    if (hit != 0)
      return length + static_cast<size_t>(__builtin_ctzll(hit));
  }
  return count;
}

// Whether the processor has the 64-byte scan, asked once.
bool processor_scans_wide() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

// Asked on first use, as the escape's level is.
enum ScanWidth : unsigned char { SCAN_UNKNOWN, SCAN_NARROW, SCAN_WIDE };
ScanWidth scan_width = SCAN_UNKNOWN;

bool wide_scan() {
  if (scan_width == SCAN_UNKNOWN)
    scan_width = processor_scans_wide() ? SCAN_WIDE : SCAN_NARROW;
  return scan_width == SCAN_WIDE;
}
#endif

// The number of bytes at `from` before the first line feed, carriage
// return, NUL or (with `tabs`) tab, at most `count`.
size_t ordinary_length(const unsigned char* from, size_t count, bool tabs) {
#if defined(QUILLFEN_WIDE_SCAN)
  if (wide_scan())
    return ordinary_length_wide(from, count, tabs);
#endif
  size_t length = 0;
#if defined(__SSE2__)
  for (; length + 16 <= count; length += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + length));
    unsigned mask = stop_mask(bytes, tabs);
    if (mask != 0)
      return length + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  while (length < count && !stops_at(from[length], tabs))
    length++;
  return length;
}

// Copies the bytes at `from` up to the first line feed, carriage return,
// NUL or (with `tabs`) tab, at most `count` of them, to `out`; returns how
// many.  `out` has room for `count`; whole blocks of 16 are copied at once,
// so bytes past the returned length may change too.
size_t copy_ordinary(char* out, const unsigned char* from, size_t count, bool tabs) {
  size_t length = 0;
#if defined(__SSE2__)
  for (; length + 16 <= count; length += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + length));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + length), bytes);
    unsigned mask = stop_mask(bytes, tabs);
    if (mask != 0)
      return length + static_cast<size_t>(__builtin_ctz(mask));
  }
#endif
  while (length < count && !stops_at(from[length], tabs)) {
    out[length] = static_cast<char>(from[length]);
    length++;
  }
  return length;
}

// Stores the bytes of `count` at `from` up to a line feed: carriage returns
// dropped, tabs expanded when `tab_width` is above 0, plain runs copied
// whole.  Stops as soon as the line is full.  Sets *taken to the number of
// bytes taken, and returns whether a line feed followed them while the line
// still had room; the line feed itself is not taken.
bool store_run(Filling* fill, const unsigned char* from, size_t count, int tab_width,
               size_t* taken) {
  bool tabs = tab_width > 0;
  size_t i = 0;
  bool feed = false;
  while (i < count && fill->stored < fill->capacity) {
    size_t room = static_cast<size_t>(fill->capacity - fill->stored);
    size_t limit = count - i < room ? count - i : room;
    size_t plain = copy_ordinary(fill->line + fill->stored, from + i, limit, tabs);
    fill->stored += static_cast<int>(plain);
    i += plain;
    if (i == count || fill->stored == fill->capacity)
      break;
    unsigned char c = from[i];
    if (c == LINE_FEED) {
      feed = true;
      break;
    }
    i++;
    if (c == TAB && tabs) {
      int blanks = fill->capacity - fill->stored;
      if (blanks > tab_width)
        blanks = tab_width;
      memset(fill->line + fill->stored, ' ', static_cast<size_t>(blanks));
      fill->stored += blanks;
    } else if (c == 0) {
      if (fill->first_nul < 0)
        fill->first_nul = fill->stored;
      fill->line[fill->stored++] = '\0';
    }
  }
  if (i > 0)
    fill->last = from[i - 1];
  *taken = i;
  return feed;
}

// Whether the `count` bytes at `from` hold nothing but blanks, tabs and
// carriage returns, which a written line would not show at its end anyway.
bool only_spacing(const unsigned char* from, size_t count) {
  for (size_t i = 0; i < count; i++) {
    if (from[i] != ' ' && from[i] != TAB && from[i] != CARRIAGE_RETURN)
      return false;
  }
  return true;
}

// Reads away the rest of a line that did not fit, and tells in *cut whether
// it held more than spacing.  Returns the last value read, or FGETSTR_FATAL
// once DISCARD_LIMIT bytes have been dropped.
int discard_rest(SourceStream* stream, bool* cut) {
  long dropped = 0;
  int b = read_byte(stream);
  while (!stream->at_end && b != LINE_FEED && b != SOURCE_END) {
    // b is dropped, and so are the buffered bytes up to the next line feed,
    // as far as the limit allows.
    const unsigned char* run = stream->block + stream->position;
    size_t tail =
        static_cast<size_t>(find_or_end(run, stream->length - stream->position, LINE_FEED) - run);
    unsigned char first = static_cast<unsigned char>(b);
    *cut = *cut || !only_spacing(&first, 1) || !only_spacing(run, tail);
    long room = DISCARD_LIMIT - dropped - 1;
    if (tail >= static_cast<size_t>(room)) {
      stream->position += static_cast<size_t>(room);
      say("Fatal loop error in fgetstr()\n");
      return FGETSTR_FATAL;
    }
    dropped += 1 + static_cast<long>(tail);
    stream->position += tail;
    b = read_byte(stream);
  }
  return b;
}

bool direct_lines = true;

}  // namespace

void use_direct_lines(bool on) {
  direct_lines = on;
}

bool direct_lines_used() {
  return direct_lines;
}

char* take_direct_line(SourceStream* stream, int capacity, int tab_width, int* length) {
  if (!direct_lines || stream->position >= stream->length)
    return nullptr;
  unsigned char* from = stream->block + stream->position;
  size_t count = stream->length - stream->position;
  // The text, a carriage return and the line feed.
  size_t most = static_cast<size_t>(capacity) + 1;
  if (count > most)
    count = most;
  size_t text = ordinary_length(from, count, tab_width > 0);
  size_t end = text;
  if (end < count && from[end] == CARRIAGE_RETURN)
    end++;
  // A full line takes the reader's rules for a cut, and any other stop one
  // of its rules.
  if (end >= count || from[end] != LINE_FEED || text >= static_cast<size_t>(capacity))
    return nullptr;
  from[text] = '\0';
  stream->position += end + 1;
  stream->line_goes_on = false;
  *length = static_cast<int>(text);
  return reinterpret_cast<char*>(from);
}

int fgetstr(char* line, int capacity, SourceStream* stream, int tab_width, bool discard_overflow,
            int* length) {
  Filling fill = {line, capacity, 0, 0, -1};
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
    size_t taken = 0;
    bool feed = store_run(&fill, run, count, tab_width, &taken);
    stream->position += taken;
    if (feed) {
      stream->position++;
      fill.last = LINE_FEED;
      break;
    }
  }
  int last = fill.last;
  int n = fill.stored;
  stream->line_goes_on = !discard_overflow && n == capacity && last != LINE_FEED;
  if (length != nullptr)
    *length = fill.first_nul >= 0 ? fill.first_nul : n;
  if (discard_overflow && last != LINE_FEED) {
    bool cut = false;
    int b = discard_rest(stream, &cut);
    if (cut)
      stream->cut_lines++;
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

void report_overlong_tail(const char* source_name) {
  const int longest = LINE_CAPACITY + DISCARD_LIMIT;
  say("  a line of %s runs past %d,%03d bytes; /W keeps long lines\n", source_name, longest / 1000,
      longest % 1000);
}

void report_cut_lines(const SourceStream* stream, const char* source_name) {
  if (stream->cut_lines > 0)
    say("Warning: %li line(s) of %s cut at %d bytes (/W keeps them whole)\n", stream->cut_lines,
        source_name, LINE_CAPACITY);
}
