#include "convert/escape_block.h"

#include <cstdint>
#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QUILLFEN_ESCAPE_BLOCKS 1
#include <tmmintrin.h>
#endif

#if defined(QUILLFEN_ESCAPE_BLOCKS)

namespace {

// For each mask of the escaped bytes among eight: where each output byte of
// those eight comes from (an escaped byte twice, the first copy to become
// its escape), which output bytes are escapes, and how many escapes.
struct SpreadTables {
  uint8_t source[256][16];
  uint8_t escape[256][16];
  uint8_t count[256];
  SpreadTables() : source(), escape(), count() {
    for (int mask = 0; mask < 256; mask++) {
      int out = 0;
      for (int i = 0; i < 8; i++) {
        if ((mask >> i) & 1) {
          source[mask][out] = static_cast<uint8_t>(i);
          escape[mask][out] = 0xFF;
          out++;
          count[mask]++;
        }
        source[mask][out] = static_cast<uint8_t>(i);
        out++;
      }
      for (; out < 16; out++)
        source[mask][out] = 0x80;  // a zero byte, never kept
    }
  }
};

const SpreadTables SPREAD;

// Bit i set where an odd number of the bits 0 to i of `bits` are set.
unsigned running_parity(unsigned bits) {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  return bits & 0xFFFF;
}

__attribute__((target("ssse3"))) __m128i equal_to(__m128i bytes, char value) {
  return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(value));
}

// Bit i set where byte i of `flags` is set.
__attribute__((target("ssse3"))) unsigned mask_of(__m128i flags) {
  return static_cast<unsigned>(_mm_movemask_epi8(flags));
}

// The low eight bytes of `bytes` with an escape before each one that `mask`
// marks: '%' before '%', '^' before anything else.
__attribute__((target("ssse3"))) __m128i spread(__m128i bytes, unsigned mask) {
  __m128i order = _mm_loadu_si128(reinterpret_cast<const __m128i*>(SPREAD.source[mask]));
  __m128i escapes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(SPREAD.escape[mask]));
  __m128i spread_bytes = _mm_shuffle_epi8(bytes, order);
  __m128i percent = _mm_cmpeq_epi8(spread_bytes, _mm_set1_epi8('%'));
  __m128i escape_bytes =
      _mm_xor_si128(_mm_set1_epi8('^'), _mm_and_si128(percent, _mm_set1_epi8('^' ^ '%')));
  return _mm_or_si128(_mm_andnot_si128(escapes, spread_bytes),
                      _mm_and_si128(escapes, escape_bytes));
}

// For each count r of 1 to 16: the shuffle that moves the last r of 16 bytes
// to the front and clears the rest.
struct TailShifts {
  uint8_t order[17][16];
  TailShifts() : order() {
    for (int r = 0; r <= 16; r++)
      for (int i = 0; i < 16; i++)
        order[r][i] = static_cast<uint8_t>(i < r ? 16 - r + i : 0x80);
  }
};

const TailShifts TAIL_SHIFTS;

// One block: `bytes`, of which the first `n` (1 to 16) are the line's, and
// the same shifted by one and two bytes for the tag tests.  Returns the
// bytes taken and adds what it wrote to block->written.  Every test is made
// whether or not the block holds a '<', so that no branch depends on the
// bytes.
__attribute__((target("ssse3"))) inline size_t escape_one(__m128i bytes, __m128i next,
                                                          __m128i after, size_t n, char* out,
                                                          EscapeBlock* block, unsigned* openers) {
  __m128i less = equal_to(bytes, '<');
  __m128i greater = equal_to(bytes, '>');
  __m128i first = _mm_or_si128(next, _mm_set1_epi8(0x20));
  unsigned stops = 0;
  if (block->anchors_break)
    stops = mask_of(_mm_and_si128(_mm_and_si128(less, equal_to(first, 'a')), equal_to(after, ' ')));
  if (block->closer != '\0') {
    __m128i second = _mm_or_si128(after, _mm_set1_epi8(0x20));
    stops |= mask_of(
        _mm_and_si128(_mm_and_si128(less, equal_to(next, '/')), equal_to(second, block->closer)));
  }
  if (block->tags_break)
    stops |= mask_of(_mm_or_si128(less, greater));
  if (block->high_breaks)
    stops |= mask_of(bytes);
  unsigned valid = (1u << n) - 1;
  stops &= valid;
  if (stops != 0) {
    n = static_cast<size_t>(__builtin_ctz(stops));
    valid = (1u << n) - 1;
  }
  if (n == 0)
    return 0;
  if (block->watch_openers) {
    // "<sc", "<st", "<pr" and "<te" in any case.
    __m128i second = _mm_or_si128(after, _mm_set1_epi8(0x20));
    __m128i s = _mm_and_si128(equal_to(first, 's'),
                              _mm_or_si128(equal_to(second, 'c'), equal_to(second, 't')));
    __m128i pr = _mm_and_si128(equal_to(first, 'p'), equal_to(second, 'r'));
    __m128i te = _mm_and_si128(equal_to(first, 't'), equal_to(second, 'e'));
    __m128i letters = _mm_or_si128(s, _mm_or_si128(pr, te));
    *openers |= mask_of(_mm_and_si128(less, letters)) & valid;
  }
  __m128i others =
      _mm_or_si128(_mm_or_si128(equal_to(bytes, '|'), equal_to(bytes, '&')), equal_to(bytes, '^'));
  unsigned carets = mask_of(_mm_or_si128(_mm_or_si128(less, greater), others));
  unsigned quotes = mask_of(equal_to(bytes, '"')) & valid;
  // Bit i: an odd number of quotes up to byte i; bit 15 tells of them all.
  unsigned parity = running_parity(quotes);
  unsigned inside = block->in_quotes ? ~parity : parity;
  unsigned escapes = ((carets & ~inside) | mask_of(equal_to(bytes, '%'))) & valid;
  unsigned low = escapes & 0xFF;
  unsigned high = escapes >> 8;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), spread(bytes, low));
  if (n > 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 + SPREAD.count[low]),
                     spread(_mm_srli_si128(bytes, 8), high));
  block->written += n + SPREAD.count[low] + SPREAD.count[high];
  if ((parity >> 15) & 1)
    block->in_quotes = !block->in_quotes;
  return n;
}

__attribute__((target("ssse3"))) __m128i load(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The `rest` (1 to 16) bytes at `p` with zeros behind them, as the line's
// terminator and what follows it look to the anchor test.
__attribute__((target("ssse3"))) __m128i load_tail(const char* p, size_t rest, size_t before) {
  if (before + rest >= ESCAPE_BLOCK_BYTES) {
    // The 16 bytes that end with the line, moved down.
    __m128i order = _mm_loadu_si128(reinterpret_cast<const __m128i*>(TAIL_SHIFTS.order[rest]));
    return _mm_shuffle_epi8(load(p + rest - ESCAPE_BLOCK_BYTES), order);
  }
  char padded[ESCAPE_BLOCK_BYTES] = {};
  memcpy(padded, p, rest);
  return load(padded);
}

__attribute__((target("ssse3"))) size_t escape_with_ssse3(const char* p, size_t available,
                                                          char* out, size_t room,
                                                          EscapeBlock* block) {
  size_t taken = 0;
  unsigned openers = 0;
  block->written = 0;
  // While the block and the two bytes after it lie within the line and its
  // terminator.
  while (available - taken > ESCAPE_BLOCK_BYTES && block->written + ESCAPE_BLOCK_ROOM <= room) {
    const char* at = p + taken;
    size_t n = escape_one(load(at), load(at + 1), load(at + 2), ESCAPE_BLOCK_BYTES,
                          out + block->written, block, &openers);
    taken += n;
    if (n < ESCAPE_BLOCK_BYTES) {
      block->openers = openers;
      return taken;
    }
  }
  if (taken < available && block->written + ESCAPE_BLOCK_ROOM <= room) {
    size_t rest = available - taken;
    __m128i bytes = load_tail(p + taken, rest, block->before + taken);
    taken += escape_one(bytes, _mm_srli_si128(bytes, 1), _mm_srli_si128(bytes, 2), rest,
                        out + block->written, block, &openers);
  }
  block->openers = openers;
  return taken;
}

bool processor_has_ssse3() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3");
}

// Asked of the processor on first use, so that it is settled whatever the
// order in which other files' globals are made.
enum BlockState { BLOCKS_UNKNOWN, BLOCKS_ON, BLOCKS_OFF };
BlockState block_state = BLOCKS_UNKNOWN;

bool blocks_on() {
  if (block_state == BLOCKS_UNKNOWN)
    block_state = processor_has_ssse3() ? BLOCKS_ON : BLOCKS_OFF;
  return block_state == BLOCKS_ON;
}

}  // namespace

bool escape_blocks_available() {
  return blocks_on();
}

void use_escape_blocks(bool on) {
  block_state = on && processor_has_ssse3() ? BLOCKS_ON : BLOCKS_OFF;
}

size_t escape_blocks(const char* p, size_t available, char* out, size_t room, EscapeBlock* block) {
  block->written = 0;
  if (available == 0 || !blocks_on())
    return 0;
  return escape_with_ssse3(p, available, out, room, block);
}

#else

bool escape_blocks_available() {
  return false;
}

void use_escape_blocks(bool) {}

size_t escape_blocks(const char*, size_t, char*, size_t, EscapeBlock* block) {
  block->written = 0;
  return 0;
}

#endif
