#include "convert/escape_block.h"

#include <cstdint>
#include <cstring>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define QUILLFEN_ESCAPE_BLOCKS 1
#include <immintrin.h>
#endif

#if defined(QUILLFEN_ESCAPE_BLOCKS)

namespace {

// Cuts a block of `n` bytes, whose bytes `valid` marks, at the first byte
// that `stops` marks, if any; the bytes taken before it.
inline size_t cut_at_first_stop(unsigned stops, unsigned* valid, size_t n) {
  stops &= *valid;
  if (stops == 0)
    return n;
  n = static_cast<size_t>(__builtin_ctz(stops));
  *valid = (1u << n) - 1;
  return n;
}

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
  n = cut_at_first_stop(stops, &valid, n);
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

// Hands the line's bytes past the `taken` ones to the narrower way
// `narrower`, which writes on behind what this block wrote and gives its
// state back.
typedef size_t (*BlockEscape)(const char* p, size_t available, char* out, size_t room,
                              EscapeBlock* block);

size_t escape_rest(BlockEscape narrower, const char* p, size_t taken, size_t available, char* out,
                   size_t room, EscapeBlock* block) {
  size_t written = block->written;
  EscapeBlock rest = *block;
  rest.before += taken;
  taken += narrower(p + taken, available - taken, out + written, room - written, &rest);
  block->in_quotes = rest.in_quotes;
  block->openers |= rest.openers;
  block->written = written + rest.written;
  return taken;
}

// The 32-byte form of the tests below: every value stays in a register
// (the helpers are always inlined), since not every compiler for every
// system keeps a spilled 32-byte value aligned on the stack.
#define WIDE __attribute__((target("avx2"), always_inline)) inline

WIDE __m256i wide_load(const char* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

WIDE __m256i wide_equal(__m256i bytes, char value) {
  return _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(value));
}

WIDE unsigned wide_mask(__m256i flags) {
  return static_cast<unsigned>(_mm256_movemask_epi8(flags));
}

// Bit i set where an odd number of the bits 0 to i of `bits` are set.
unsigned running_parity_32(unsigned bits) {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  bits ^= bits << 16;
  return bits;
}

// Writes the bytes of one 16-byte half with their escapes; returns the
// bytes written.
__attribute__((target("avx2"))) inline size_t spread_half(__m128i half, unsigned escapes, size_t n,
                                                          char* out) {
  unsigned low = escapes & 0xFF;
  unsigned high = (escapes >> 8) & 0xFF;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), spread(half, low));
  if (n > 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 + SPREAD.count[low]),
                     spread(_mm_srli_si128(half, 8), high));
  return n + SPREAD.count[low] + SPREAD.count[high];
}

// One block of 32 bytes at `at`, the first `limit` (1 to 32) of them the
// line's, with two more bytes of the line, its terminator or zeros behind
// them: the same tests as escape_one, on twice the bytes.  Returns the
// bytes taken.
__attribute__((target("avx2"))) inline size_t escape_wide(const char* at, size_t limit, char* out,
                                                          EscapeBlock* block, unsigned* openers) {
  __m256i bytes = wide_load(at);
  __m256i next = wide_load(at + 1);
  __m256i after = wide_load(at + 2);
  __m256i less = wide_equal(bytes, '<');
  __m256i greater = wide_equal(bytes, '>');
  __m256i first = _mm256_or_si256(next, _mm256_set1_epi8(0x20));
  __m256i second = _mm256_or_si256(after, _mm256_set1_epi8(0x20));
  unsigned stops = 0;
  if (block->anchors_break)
    stops = wide_mask(
        _mm256_and_si256(_mm256_and_si256(less, wide_equal(first, 'a')), wide_equal(after, ' ')));
  if (block->closer != '\0')
    stops |= wide_mask(_mm256_and_si256(_mm256_and_si256(less, wide_equal(next, '/')),
                                        wide_equal(second, block->closer)));
  if (block->tags_break)
    stops |= wide_mask(_mm256_or_si256(less, greater));
  if (block->high_breaks)
    stops |= wide_mask(bytes);
  unsigned valid = limit < 32 ? (1u << limit) - 1 : ~0u;
  size_t n = cut_at_first_stop(stops, &valid, limit);
  if (n == 0)
    return 0;
  if (block->watch_openers) {
    __m256i s = _mm256_and_si256(wide_equal(first, 's'),
                                 _mm256_or_si256(wide_equal(second, 'c'), wide_equal(second, 't')));
    __m256i pr = _mm256_and_si256(wide_equal(first, 'p'), wide_equal(second, 'r'));
    __m256i te = _mm256_and_si256(wide_equal(first, 't'), wide_equal(second, 'e'));
    __m256i letters = _mm256_or_si256(s, _mm256_or_si256(pr, te));
    *openers |= wide_mask(_mm256_and_si256(less, letters)) & valid;
  }
  __m256i others = _mm256_or_si256(_mm256_or_si256(wide_equal(bytes, '|'), wide_equal(bytes, '&')),
                                   wide_equal(bytes, '^'));
  unsigned carets = wide_mask(_mm256_or_si256(_mm256_or_si256(less, greater), others));
  unsigned quotes = wide_mask(wide_equal(bytes, '"')) & valid;
  unsigned percents = wide_mask(wide_equal(bytes, '%'));
  unsigned parity = running_parity_32(quotes);
  unsigned inside = block->in_quotes ? ~parity : parity;
  unsigned escapes = ((carets & ~inside) | percents) & valid;
  size_t written = block->written;
  if (escapes == 0) {
    // Nothing to escape: the bytes go as they are.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + written), bytes);
    written += n;
  } else {
    size_t low_n = n < 16 ? n : 16;
    written += spread_half(_mm256_castsi256_si128(bytes), escapes & 0xFFFF, low_n, out + written);
    if (n > 16)
      written +=
          spread_half(_mm256_extracti128_si256(bytes, 1), escapes >> 16, n - 16, out + written);
  }
  block->written = written;
  if ((parity >> 31) & 1)
    block->in_quotes = !block->in_quotes;
  return n;
}

// Takes blocks of 32 bytes while the line has more than 32 bytes left and
// the room of a block of 32 (64 bytes); escape_with_ssse3 goes on from
// there.  A block of 32 gives what two blocks of 16 would.
__attribute__((target("avx2"))) size_t escape_with_avx2(const char* p, size_t available, char* out,
                                                        size_t room, EscapeBlock* block) {
  size_t taken = 0;
  unsigned openers = 0;
  block->written = 0;
  while (available - taken > 2 * ESCAPE_BLOCK_BYTES &&
         block->written + 2 * ESCAPE_BLOCK_ROOM <= room) {
    size_t n = escape_wide(p + taken, 2 * ESCAPE_BLOCK_BYTES, out, block, &openers);
    taken += n;
    if (n < 2 * ESCAPE_BLOCK_BYTES) {
      block->openers = openers;
      return taken;
    }
  }
  size_t rest_bytes = available - taken;
  if (rest_bytes > 0 && rest_bytes <= 2 * ESCAPE_BLOCK_BYTES &&
      block->written + 2 * ESCAPE_BLOCK_ROOM <= room) {
    // The last bytes of the line, with zeros behind them as its terminator
    // and what follows it look to the tag tests.
    char padded[4 * ESCAPE_BLOCK_BYTES] = {};
    memcpy(padded, p + taken, rest_bytes);
    taken += escape_wide(padded, rest_bytes, out, block, &openers);
    block->openers = openers;
    return taken;
  }
  block->openers = openers;
  return escape_rest(escape_with_ssse3, p, taken, available, out, room, block);
}

#if defined(__x86_64__)
#define QUILLFEN_ESCAPE_AVX512 1

// The 64-byte form: masks of 64 bits, and the escapes put in place by the
// processor's byte expansion instead of shuffle tables.  As above, every
// helper is inlined, so that no 64-byte value is spilled to the stack.
#define WIDEST __attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2"), always_inline)) inline

const size_t WIDEST_BYTES = 4 * ESCAPE_BLOCK_BYTES;

// The first `count` of the bytes at `p`, zeros in place of the others,
// which are not read.
WIDEST __m512i widest_load(const char* p, size_t count) {
  __mmask64 mask = count >= WIDEST_BYTES ? ~__mmask64{0} : (__mmask64{1} << count) - 1;
  return _mm512_maskz_loadu_epi8(mask, p);
}

WIDEST uint64_t widest_equal(__m512i bytes, char value) {
  return _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(value));
}

// Bit i set where an odd number of the bits 0 to i of `bits` are set.
WIDEST uint64_t running_parity_64(uint64_t bits) {
  for (int shift = 1; shift < 64; shift *= 2)
    bits ^= bits << shift;
  return bits;
}

// Writes the first `n` (1 to 32) bytes of `half` with an escape before each
// that `escapes` marks ('%' before '%', where `percents`, '^' before
// anything else), in one store of 64 bytes; returns the bytes written.
WIDEST size_t expand_half(__m512i half, uint64_t escapes, size_t n, char* out,
                          bool percents = true) {
  // Two places for each byte: bit 2i for its escape, bit 2i + 1 for itself.
  uint64_t escape_places = _pdep_u64(escapes, 0x5555555555555555u);
  uint64_t byte_places = 0xAAAAAAAAAAAAAAAAu;
  if (n < 2 * ESCAPE_BLOCK_BYTES)
    byte_places &= (uint64_t{1} << (2 * n)) - 1;
  // The same, closed up: which bytes written are escapes; the others up to
  // the last are bytes.
  uint64_t escape_at = _pext_u64(escape_places, escape_places | byte_places);
  size_t written = n + static_cast<size_t>(__builtin_popcountll(escapes));
  uint64_t byte_at = ~escape_at;
  if (written < 4 * ESCAPE_BLOCK_BYTES)
    byte_at &= (uint64_t{1} << written) - 1;
  __m512i spread = _mm512_maskz_expand_epi8(byte_at, half);
  spread = _mm512_mask_mov_epi8(spread, escape_at, _mm512_set1_epi8('^'));
  if (percents) {
    uint64_t before_percent = widest_equal(spread, '%') >> 1;
    spread = _mm512_mask_mov_epi8(spread, escape_at & before_percent, _mm512_set1_epi8('%'));
  }
  _mm512_storeu_si512(out, spread);
  return written;
}

// One block of the `rest` bytes left of the line at `at`, at most 64 of
// them: the same tests as escape_wide.  The bytes past the line and its
// terminator are not read; they count as zeros.  Returns the bytes taken.
WIDEST size_t escape_widest(const char* at, size_t rest, char* out, EscapeBlock* block,
                            uint64_t* openers) {
  size_t limit = rest < WIDEST_BYTES ? rest : WIDEST_BYTES;
  __m512i bytes;
  __m512i next;
  __m512i after;
  if (rest >= WIDEST_BYTES + 2) {
    bytes = _mm512_loadu_si512(at);
    next = _mm512_loadu_si512(at + 1);
    after = _mm512_loadu_si512(at + 2);
  } else {
    bytes = widest_load(at, limit);
    next = widest_load(at + 1, rest - 1);
    after = widest_load(at + 2, rest >= 2 ? rest - 2 : 0);
  }
  uint64_t less = widest_equal(bytes, '<');
  uint64_t greater = widest_equal(bytes, '>');
  __m512i first = _mm512_or_si512(next, _mm512_set1_epi8(0x20));
  __m512i second = _mm512_or_si512(after, _mm512_set1_epi8(0x20));
  uint64_t stops = 0;
  if (block->anchors_break)
    stops = less & widest_equal(first, 'a') & widest_equal(after, ' ');
  if (block->closer != '\0')
    stops |= less & widest_equal(next, '/') & widest_equal(second, block->closer);
  if (block->tags_break)
    stops |= less | greater;
  if (block->high_breaks)
    stops |= _mm512_movepi8_mask(bytes);
  uint64_t valid = limit < WIDEST_BYTES ? (uint64_t{1} << limit) - 1 : ~uint64_t{0};
  stops &= valid;
  size_t n = limit;
  if (stops != 0) {
    n = static_cast<size_t>(__builtin_ctzll(stops));
    valid = (uint64_t{1} << n) - 1;
  }
  if (n == 0)
    return 0;
  if (block->watch_openers) {
    uint64_t s = widest_equal(first, 's') & (widest_equal(second, 'c') | widest_equal(second, 't'));
    uint64_t pr = widest_equal(first, 'p') & widest_equal(second, 'r');
    uint64_t te = widest_equal(first, 't') & widest_equal(second, 'e');
    *openers |= less & (s | pr | te) & valid;
  }
  uint64_t carets = less | greater | widest_equal(bytes, '|') | widest_equal(bytes, '&') |
                    widest_equal(bytes, '^');
  uint64_t quotes = widest_equal(bytes, '"') & valid;
  uint64_t parity = running_parity_64(quotes);
  uint64_t inside = block->in_quotes ? ~parity : parity;
  uint64_t escapes = ((carets & ~inside) | widest_equal(bytes, '%')) & valid;
  size_t written = block->written;
  if (escapes == 0) {
    _mm512_storeu_si512(out + written, bytes);
    written += n;
  } else {
    size_t half = 2 * ESCAPE_BLOCK_BYTES;
    written += expand_half(bytes, escapes & 0xFFFFFFFFu, n < half ? n : half, out + written);
    if (n > half)
      written += expand_half(_mm512_maskz_alignr_epi64(0xFF, bytes, bytes, 4), escapes >> 32,
                             n - half, out + written);
  }
  block->written = written;
  if ((parity >> 63) & 1)
    block->in_quotes = !block->in_quotes;
  return n;
}

// Takes blocks of 64 bytes, the last one with the bytes that are left, for
// as long as the room holds one (128 bytes); escape_with_avx2 goes on from
// there.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2"))) size_t escape_with_avx512(
    const char* p, size_t available, char* out, size_t room, EscapeBlock* block) {
  size_t taken = 0;
  uint64_t openers = 0;
  block->written = 0;
  while (taken < available && block->written + ESCAPE_LINE_ROOM <= room) {
    size_t rest = available - taken;
    size_t n = escape_widest(p + taken, rest, out, block, &openers);
    taken += n;
    if (n < rest && n < WIDEST_BYTES) {
      block->openers = openers != 0;
      return taken;
    }
  }
  block->openers = openers != 0;
  if (taken == available)
    return taken;
  return escape_rest(escape_with_avx2, p, taken, available, out, room, block);
}

// Whole lines where they lie in the read block: the line's end found and
// its bytes checked, then escaped 64 at a time, anchor breaks and all.

// A mask of the first `count` bits.
WIDEST uint64_t first_bits(size_t count) {
  return count >= WIDEST_BYTES ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
}

// Finds the line feed that ends the line at `p` and sets line->taken and
// line->text.  False where the `count` bytes there hold none within
// DIRECT_LINE_MOST bytes of text, or where a byte before it needs the line
// reader (a NUL, a carriage return but one just before the line feed, a tab
// not read as a blank) or is a '!' that line->bang_refused sends back.
WIDEST bool find_line_end(const char* p, size_t count, DirectLine* line) {
  size_t most = count < DIRECT_LINE_MOST + 2 ? count : DIRECT_LINE_MOST + 2;
  bool return_before = false;  // the block before ended with a carriage return
  for (size_t at = 0; at < most; at += WIDEST_BYTES) {
    uint64_t valid = first_bits(most - at);
    __m512i bytes = _mm512_maskz_loadu_epi8(valid, p + at);
    uint64_t feeds = widest_equal(bytes, '\n') & valid;
    if (return_before && (feeds & 1) == 0)
      return false;
    // The bytes before the first line feed, and the last of them.
    uint64_t upto = feeds != 0 ? (feeds & (0 - feeds)) - 1 : valid;
    uint64_t last = feeds != 0 ? upto ^ (upto >> 1) : uint64_t{1} << 63;
    uint64_t returns = widest_equal(bytes, '\r') & upto;
    uint64_t odd = _mm512_testn_epi8_mask(bytes, bytes);
    if (!line->tabs_blank)
      odd |= widest_equal(bytes, '\t');
    if (line->bang_refused)
      odd |= widest_equal(bytes, '!');
    if (((odd & upto) | (returns & ~last)) != 0)
      return false;
    if (feeds != 0) {
      size_t end = at + static_cast<size_t>(__builtin_ctzll(feeds));
      bool return_last = (returns & last) != 0 || (return_before && end == at);
      line->taken = end + 1;
      line->text = return_last ? end - 1 : end;
      return line->text <= DIRECT_LINE_MOST;
    }
    return_before = (returns & last) != 0;
  }
  return false;
}

// Writes the first `n` (1 to 64) bytes of `bytes` with an escape before
// each that `escapes` marks, some of them '%' where `percents`; returns the
// bytes written.
WIDEST size_t put_escaped(__m512i bytes, uint64_t escapes, size_t n, char* out, bool percents) {
  if (escapes == 0) {
    _mm512_storeu_si512(out, bytes);
    return n;
  }
  size_t half = 2 * ESCAPE_BLOCK_BYTES;
  size_t written = expand_half(bytes, escapes & 0xFFFFFFFFu, n < half ? n : half, out, percents);
  if (n > half)
    written += expand_half(_mm512_maskz_alignr_epi64(0xFF, bytes, bytes, 4), escapes >> 32,
                           n - half, out + written, percents);
  return written;
}

const char ANCHOR_BREAK[] = "\r\necho ";

// Whether the `length` bytes at `p` are `word` (in capitals) in any case.
bool is_word(const char* p, size_t length, const char* word) {
  for (size_t i = 0; i < length; i++)
    if ((p[i] & ~0x20) != word[i])
      return false;
  return true;
}

// Whether `name` (in capitals) stands at `p`, with `left` bytes of text
// from there, in any case and followed by the text's end or a byte that
// ends a tag name.
bool is_tag_name(const char* p, size_t left, const char* name) {
  size_t length = strlen(name);
  if (length > left || !is_word(p, length, name))
    return false;
  char after = length < left ? p[length] : '\0';
  return after == '\0' || after == ' ' || after == '\t' || after == '\f' || after == '/' ||
         after == '>';
}

// Whether the tag at `tag`, with `left` bytes of text from its '<', opens a
// script, a style sheet, preformatted text or a text area.
bool opens_raw_element(const char* tag, size_t left) {
  static const char* const names[] = {"SCRIPT", "STYLE", "PRE", "TEXTAREA"};
  for (const char* name : names)
    if (is_tag_name(tag + 1, left - 1, name))
      return true;
  return false;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// Whether "echo " would read the `left` bytes of text at `text`, which
// begin with a byte that is not blank, as a request of its own: a help
// request, or the word ON or OFF alone before the text's end or a tag.
bool echo_may_misread(const char* text, size_t left) {
  if (left >= 2 && text[0] == '/' && text[1] == '?')
    return true;
  size_t i = 0;
  if (left >= 3 && is_word(text, 3, "OFF"))
    i = 3;
  else if (left >= 2 && is_word(text, 2, "ON"))
    i = 2;
  else
    return false;
  while (i < left && is_blank(text[i]))
    i++;
  return i == left || text[i] == '<';
}

// Escapes the `size` bytes of trimmed text at `p`, whose first `lead` are
// blanks, as escape_direct_line tells; false where a rule of the writer's
// own is needed: outside an element that takes no break, a tag that opens
// one or a script line past the wrap column; inside one, a tag that may
// end it.
WIDEST bool escape_text(const char* p, size_t size, size_t lead, char* out, DirectLine* line) {
  size_t written = 0;
  size_t column = 0;
  bool in_quotes = false;
  bool tabs_blank = line->tabs_blank;
  const char* inside = line->inside;
  char closer = inside != nullptr ? static_cast<char>(inside[0] | 0x20) : '\0';
  for (size_t at = 0; at < size; at += WIDEST_BYTES) {
    size_t rest = size - at;
    size_t limit = rest < WIDEST_BYTES ? rest : WIDEST_BYTES;
    // The text ends in zeros, as its terminator does.  A tab read as a
    // blank is one where it is written and where a blank ends "<a "; the
    // other tests look for letters.
    __m512i bytes = _mm512_maskz_loadu_epi8(first_bits(limit), p + at);
    __m512i next = _mm512_maskz_loadu_epi8(first_bits(rest - 1), p + at + 1);
    __m512i after = _mm512_maskz_loadu_epi8(first_bits(rest >= 2 ? rest - 2 : 0), p + at + 2);
    if (tabs_blank) {
      uint64_t tabs = widest_equal(bytes, '\t');
      if (tabs != 0)
        bytes = _mm512_mask_mov_epi8(bytes, tabs, _mm512_set1_epi8(' '));
    }
    uint64_t valid = first_bits(limit);
    uint64_t less = widest_equal(bytes, '<');
    __m512i first = _mm512_or_si512(next, _mm512_set1_epi8(0x20));
    __m512i second = _mm512_or_si512(after, _mm512_set1_epi8(0x20));
    uint64_t anchors = 0;
    if (inside != nullptr) {
      uint64_t ends = less & widest_equal(next, '/') & widest_equal(second, closer) & valid;
      for (; ends != 0; ends &= ends - 1) {
        size_t at_tag = at + static_cast<size_t>(__builtin_ctzll(ends));
        if (is_tag_name(p + at_tag + 2, size - at_tag - 2, inside))
          return false;
      }
    } else {
      uint64_t s =
          widest_equal(first, 's') & (widest_equal(second, 'c') | widest_equal(second, 't'));
      uint64_t pr = widest_equal(first, 'p') & widest_equal(second, 'r');
      uint64_t te = widest_equal(first, 't') & widest_equal(second, 'e');
      for (uint64_t tags = less & (s | pr | te) & valid; tags != 0; tags &= tags - 1) {
        size_t at_tag = at + static_cast<size_t>(__builtin_ctzll(tags));
        if (opens_raw_element(p + at_tag, size - at_tag))
          return false;
      }
      // "<a " starts a script line of its own, but where the line holds
      // only blanks before it.
      uint64_t blank_after = widest_equal(after, ' ');
      if (tabs_blank)
        blank_after |= widest_equal(after, '\t');
      anchors = less & widest_equal(first, 'a') & blank_after & valid;
      if (at == 0)
        anchors &= ~(uint64_t{1} << lead);
    }
    uint64_t carets = less | widest_equal(bytes, '>') | widest_equal(bytes, '|') |
                      widest_equal(bytes, '&') | widest_equal(bytes, '^');
    uint64_t quotes = widest_equal(bytes, '"') & valid;
    uint64_t percents = widest_equal(bytes, '%');
    size_t from = 0;
    for (;;) {
      size_t to = anchors != 0 ? static_cast<size_t>(__builtin_ctzll(anchors)) : limit;
      uint64_t piece = first_bits(to) & ~first_bits(from);
      uint64_t piece_quotes = quotes & piece;
      uint64_t parity = piece_quotes == 0 ? 0 : running_parity_64(piece_quotes);
      uint64_t inside = in_quotes ? ~parity : parity;
      uint64_t escapes = ((carets & ~inside) | percents) & piece;
      if (to > from) {
        __m512i run = from == 0 ? bytes : _mm512_maskz_compress_epi8(piece, bytes);
        size_t length =
            put_escaped(run, escapes >> from, to - from, out + written, (percents & piece) != 0);
        written += length;
        column += length;
        if (column > line->widest)
          return false;
      }
      if (__builtin_popcountll(piece_quotes) & 1)
        in_quotes = !in_quotes;
      if (anchors == 0)
        break;
      memcpy(out + written, ANCHOR_BREAK, sizeof ANCHOR_BREAK - 1);
      written += sizeof ANCHOR_BREAK - 1;
      column = 0;
      in_quotes = false;
      anchors &= anchors - 1;
      from = to;
    }
  }
  line->written = written;
  line->in_quotes = in_quotes;
  return true;
}

__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2"))) bool escape_line_with_avx512(
    const char* p, size_t count, char* out, DirectLine* line) {
  if (!find_line_end(p, count, line))
    return false;
  bool tabs_blank = line->tabs_blank;
  size_t size = line->text;
  while (size > 0 && (p[size - 1] == ' ' || (tabs_blank && p[size - 1] == '\t')))
    size--;
  line->trimmed = size;
  line->blank = size == 0;
  line->written = 0;
  if (size == 0)
    return true;
  size_t lead = 0;
  while (p[lead] == ' ' || (tabs_blank && p[lead] == '\t'))
    lead++;
  // Where "echo " would read the text as a request of its own, and where
  // the blanks before the text are many, the writer decides.
  if (lead >= WIDEST_BYTES || echo_may_misread(p + lead, size - lead))
    return false;
  return escape_text(p, size, lead, out, line);
}
#endif

bool processor_has(EscapeLevel level) {
  __builtin_cpu_init();
#if defined(QUILLFEN_ESCAPE_AVX512)
  if (level == ESCAPE_AVX512)
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
#else
  if (level == ESCAPE_AVX512)
    return false;
#endif
  if (level == ESCAPE_AVX2)
    return __builtin_cpu_supports("avx2");
  if (level == ESCAPE_SSSE3)
    return __builtin_cpu_supports("ssse3");
  return true;
}

EscapeLevel best_level() {
  if (processor_has(ESCAPE_AVX512))
    return ESCAPE_AVX512;
  if (processor_has(ESCAPE_AVX2))
    return ESCAPE_AVX2;
  if (processor_has(ESCAPE_SSSE3))
    return ESCAPE_SSSE3;
  return ESCAPE_BYTES;
}

// Asked of the processor on first use, so that it is settled whatever the
// order in which other files' globals are made.
bool level_known = false;
EscapeLevel level_in_use = ESCAPE_BYTES;

EscapeLevel current_level() {
  if (!level_known) {
    level_in_use = best_level();
    level_known = true;
  }
  return level_in_use;
}

}  // namespace

EscapeLevel escape_level() {
  return current_level();
}

void use_escape_level(EscapeLevel level) {
  EscapeLevel best = best_level();
  level_in_use = level < best ? level : best;
  level_known = true;
}

bool escape_blocks_available() {
  return best_level() != ESCAPE_BYTES;
}

void use_escape_blocks(bool on) {
  use_escape_level(on ? ESCAPE_AVX512 : ESCAPE_BYTES);
}

size_t escape_blocks(const char* p, size_t available, char* out, size_t room, EscapeBlock* block) {
  block->written = 0;
  if (available == 0)
    return 0;
  switch (current_level()) {
#if defined(QUILLFEN_ESCAPE_AVX512)
    case ESCAPE_AVX512:
      return escape_with_avx512(p, available, out, room, block);
#endif
    case ESCAPE_AVX2:
      return escape_with_avx2(p, available, out, room, block);
    case ESCAPE_SSSE3:
      return escape_with_ssse3(p, available, out, room, block);
    default:
      return 0;
  }
}

bool escape_direct_line(const char* p, size_t count, char* out, DirectLine* line) {
#if defined(QUILLFEN_ESCAPE_AVX512)
  if (current_level() == ESCAPE_AVX512)
    return escape_line_with_avx512(p, count, out, line);
#endif
  (void)p;
  (void)count;
  (void)out;
  (void)line;
  return false;
}

bool direct_escape_available() {
  return current_level() == ESCAPE_AVX512;
}

#else

bool escape_direct_line(const char*, size_t, char*, DirectLine*) {
  return false;
}

bool direct_escape_available() {
  return false;
}

EscapeLevel escape_level() {
  return ESCAPE_BYTES;
}

void use_escape_level(EscapeLevel) {}

bool escape_blocks_available() {
  return false;
}

void use_escape_blocks(bool) {}

size_t escape_blocks(const char*, size_t, char*, size_t, EscapeBlock* block) {
  block->written = 0;
  return 0;
}

#endif
