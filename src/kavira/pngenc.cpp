#include "pngenc.hpp"

#include <algorithm>
#include <array>
#include <cstring>

// Two paths for the hot loops: GCC and clang vector extensions and SSE2
// intrinsics, or standard C++20 that any compiler (MSVC among them) takes.
// KAVIRA_PORTABLE (the CMake option of that name) forces the standard one,
// so that it is built and tested on this toolchain too. Both give the same
// bytes: only the speed differs.
#if !defined(KAVIRA_PORTABLE) && defined(__has_builtin)
#if __has_builtin(__builtin_convertvector)
#define PNGENC_VECTOR_LANES 1
#endif
#endif
#if !defined(KAVIRA_PORTABLE) && (defined(__SSE2__) || defined(_M_X64))
#define PNGENC_SSE2 1
#include <emmintrin.h>
#endif

namespace png {
namespace {

// Slicing by eight: eight table look-ups per eight bytes.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
  CrcTables t{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (std::size_t n = 0; n < 256; ++n)
    for (std::size_t k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  return t;
}
constexpr CrcTables crc_tables = make_crc_tables();

constexpr std::uint32_t kAdlerBase = 65521;
constexpr std::size_t kAdlerRun = 5552;  // the most bytes before the sums can overflow 32 bits

enum Filter : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
constexpr std::size_t kPixel = 4;

// |signed byte| of the low byte, of a number or of each lane.
template <class T>
inline T magnitude(T v) {
  v &= 0xFF;
  return v < 128 ? v : 256 - v;
}

// The Paeth prediction of a number or of each lane: the branches become
// selects in lanes.
template <class T>
inline T paeth(T a, T b, T c) {
  auto absolute = [](T v) -> T { return v < 0 ? -v : v; };
  const T pa = absolute(b - c), pb = absolute(a - c), pc = absolute(a + b - c - c);
  return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// Adds each filter's cost for byte x, with a to its left, b above and c
// above-left, to `sums`.
template <class T, class Sum>
inline void add_cost(Sum sums[5], T x, T a, T b, T c) {
  sums[kNone] += magnitude(x);
  sums[kSub] += magnitude(x - a);
  sums[kUp] += magnitude(x - b);
  sums[kAverage] += magnitude(x - ((a + b) >> 1));
  sums[kPaeth] += magnitude(x - paeth(a, b, c));
}

#if PNGENC_VECTOR_LANES
// Eight bytes at a time in 16-bit lanes, which compilers keep in vectors.
using Lanes = std::int16_t __attribute__((vector_size(16)));
using Bytes8 = std::uint8_t __attribute__((vector_size(8)));

inline Lanes load8(const std::uint8_t* p) {
  Bytes8 v;
  std::memcpy(&v, p, sizeof v);
  return __builtin_convertvector(v, Lanes);
}
inline void store8(std::uint8_t* p, Lanes v) {
  const Bytes8 low = __builtin_convertvector(v, Bytes8);  // each lane's low byte
  std::memcpy(p, &low, sizeof low);
}
#endif

// The cost of each filter, the sum of |signed byte| of its output (the usual
// estimate of how well a row deflates), over raw[from, to). from >= kPixel.
void add_costs(const std::uint8_t* raw, const std::uint8_t* up, std::size_t from, std::size_t to,
               std::uint32_t cost[5]) {
  std::size_t i = from;
#if PNGENC_VECTOR_LANES
  Lanes sums[5] = {};
  auto spill = [&] {
    for (int k = 0; k < 8; ++k) {
      cost[kNone] += static_cast<std::uint16_t>(sums[kNone][k]);
      cost[kSub] += static_cast<std::uint16_t>(sums[kSub][k]);
      cost[kUp] += static_cast<std::uint16_t>(sums[kUp][k]);
      cost[kAverage] += static_cast<std::uint16_t>(sums[kAverage][k]);
      cost[kPaeth] += static_cast<std::uint16_t>(sums[kPaeth][k]);
    }
    sums[kNone] = sums[kSub] = sums[kUp] = sums[kAverage] = sums[kPaeth] = Lanes{};
  };
  for (int steps = 0; i + 8 <= to; i += 8) {
    add_cost(sums, load8(raw + i), load8(raw + i - kPixel), load8(up + i), load8(up + i - kPixel));
    if (++steps == 128) {  // 128 * 128 fits a lane; spill before it could not
      steps = 0;
      spill();
    }
  }
  spill();
#endif
  for (; i < to; ++i) add_cost<int>(cost, raw[i], raw[i - kPixel], up[i], up[i - kPixel]);
}

// Estimates on a sample: every fourth run of 64 bytes of a wide row. Rows of
// photos change slowly along their length, and this keeps the choice to a
// fraction of the time that filtering the whole row takes.
constexpr std::size_t kSampleRun = 64, kSampleEvery = 4 * kSampleRun, kSampleAll = 4 * kSampleEvery;

std::uint8_t choose(const std::uint8_t* raw, const std::uint8_t* up, std::size_t n) {
  std::uint32_t cost[5] = {};
  if (n <= kSampleAll) {
    // The first pixel has no left neighbour: a and c are 0.
    for (std::size_t i = 0; i < kPixel && i < n; ++i) add_cost<int>(cost, raw[i], 0, up[i], 0);
    if (n > kPixel) add_costs(raw, up, kPixel, n, cost);
  } else {
    for (std::size_t at = kPixel; at + kSampleRun <= n; at += kSampleEvery)
      add_costs(raw, up, at, at + kSampleRun, cost);
  }
  return static_cast<std::uint8_t>(std::min_element(cost, cost + 5) - cost);  // the first of equal costs
}

// Each byte less its prediction from a (left), b (above) and c (above-left),
// which are 0 left of the first pixel.
template <class Predict>
void subtract(const std::uint8_t* raw, const std::uint8_t* up, std::size_t n, std::uint8_t* out, Predict predict) {
  std::size_t i = 0;
  for (; i < kPixel && i < n; ++i) out[i] = static_cast<std::uint8_t>(raw[i] - predict(0, int{up[i]}, 0));
#if PNGENC_VECTOR_LANES
  for (; i + 8 <= n; i += 8)
    store8(out + i, load8(raw + i) - predict(load8(raw + i - kPixel), load8(up + i), load8(up + i - kPixel)));
#endif
  for (; i < n; ++i)
    out[i] = static_cast<std::uint8_t>(raw[i] - predict(int{raw[i - kPixel]}, int{up[i]}, int{up[i - kPixel]}));
}

void apply(std::uint8_t filter, const std::uint8_t* raw, const std::uint8_t* up, std::size_t n, std::uint8_t* out) {
  switch (filter) {
    case kNone:
      std::memcpy(out, raw, n);
      return;
    case kSub:
      std::memcpy(out, raw, n < kPixel ? n : kPixel);  // the first pixel has no left neighbour
      for (std::size_t i = kPixel; i < n; ++i) out[i] = static_cast<std::uint8_t>(raw[i] - raw[i - kPixel]);
      return;
    case kUp:
      for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(raw[i] - up[i]);
      return;
    case kAverage:
      return subtract(raw, up, n, out, [](auto a, auto b, auto) { return (a + b) >> 1; });
    default:
      return subtract(raw, up, n, out, [](auto a, auto b, auto c) { return paeth(a, b, c); });
  }
}

void fill_pixels(const std::uint8_t fill[4], std::size_t count, std::uint8_t* out) {
  for (std::size_t i = 0; i < count; ++i, out += kPixel) std::memcpy(out, fill, kPixel);
}

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  const auto& t = crc_tables;
  crc = ~crc;
  while (size >= 8) {
    std::uint32_t lo = crc ^ (std::uint32_t{data[0]} | std::uint32_t{data[1]} << 8 | std::uint32_t{data[2]} << 16 |
                              std::uint32_t{data[3]} << 24);
    std::uint32_t hi = std::uint32_t{data[4]} | std::uint32_t{data[5]} << 8 | std::uint32_t{data[6]} << 16 |
                       std::uint32_t{data[7]} << 24;
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
          t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    data += 8;
    size -= 8;
  }
  while (size--) crc = t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) {
  std::uint64_t a = adler & 0xFFFF, b = adler >> 16;
  while (size > 0) {
    std::size_t run = size < kAdlerRun ? size : kAdlerRun;
    size -= run;
#if PNGENC_SSE2
    // Per 16 bytes, b gains 16 a and the bytes weighted 16 down to 1.
    const std::size_t blocks = run / 16;
    if (blocks) {
      const __m128i zero = _mm_setzero_si128();
      const __m128i high_weights = _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9);
      const __m128i low_weights = _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1);
      __m128i sums = zero, sums_before = zero, weighted = zero;
      for (std::size_t j = 0; j < blocks; ++j, data += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
        sums_before = _mm_add_epi32(sums_before, sums);
        sums = _mm_add_epi32(sums, _mm_sad_epu8(v, zero));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpacklo_epi8(v, zero), high_weights));
        weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_unpackhi_epi8(v, zero), low_weights));
      }
      alignas(16) std::uint32_t s[4], p[4], w[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(s), sums);
      _mm_store_si128(reinterpret_cast<__m128i*>(p), sums_before);
      _mm_store_si128(reinterpret_cast<__m128i*>(w), weighted);
      b += 16 * blocks * a + 16 * (std::uint64_t{p[0]} + p[2]) + w[0] + w[1] + w[2] + w[3];
      a += std::uint64_t{s[0]} + s[2];
      run -= blocks * 16;
    }
#endif
    while (run--) b += a += *data++;
    a %= kAdlerBase;
    b %= kAdlerBase;
  }
  return static_cast<std::uint32_t>(b << 16 | a);
}

std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second, std::uint64_t second_size) {
  const std::uint64_t n = second_size % kAdlerBase;
  const std::uint64_t a1 = first & 0xFFFF, b1 = first >> 16, a2 = second & 0xFFFF, b2 = second >> 16;
  // a = a1 + a2 - 1; b = b1 + b2 + n * (a1 - 1), everything mod the base.
  std::uint64_t a = (a1 + a2 + kAdlerBase - 1) % kAdlerBase;
  std::uint64_t b = (b1 + b2 + n * ((a1 + kAdlerBase - 1) % kAdlerBase)) % kAdlerBase;
  return static_cast<std::uint32_t>(b << 16 | a);
}

void filter_rgba_rows(const std::uint8_t* pixels, std::size_t width, std::size_t rows, const std::uint8_t* above,
                      std::uint8_t* out) {
  const std::size_t n = width * kPixel;
  for (std::size_t y = 0; y < rows; ++y, above = pixels, pixels += n, out += n + 1) {
    out[0] = choose(pixels, above, n);
    apply(out[0], pixels, above, n, out + 1);
  }
}

void compose_rgba_row(const std::uint8_t fill[4], std::size_t width, const std::uint8_t* source, std::size_t x,
                      std::size_t source_width, std::uint8_t* out) {
  const std::size_t pasted = source ? source_width : 0;
  fill_pixels(fill, x, out);
  std::uint8_t* at = out + x * kPixel;
  for (std::size_t i = 0; i < pasted; ++i, source += kPixel, at += kPixel) {
    const unsigned alpha = source[3];
    // Photos are mostly opaque; the blend gives the source itself at 255
    // and the fill at 0, exactly.
    if (alpha == 255) {
      std::memcpy(at, source, kPixel);
    } else if (alpha == 0) {
      std::memcpy(at, fill, kPixel);
    } else {
      for (std::size_t c = 0; c < kPixel; ++c) {
        const unsigned t = fill[c] * (255 - alpha) + source[c] * alpha + 128;
        at[c] = static_cast<std::uint8_t>(((t >> 8) + t) >> 8);
      }
    }
  }
  fill_pixels(fill, width - x - pasted, at);
}

std::uint8_t* put_chunk(std::uint8_t* at, const char type[4], const std::uint8_t* a, std::size_t a_size,
                        const std::uint8_t* b, std::size_t b_size) {
  at = put32(at, static_cast<std::uint32_t>(a_size + b_size));
  std::uint8_t* start = at;
  at = std::copy_n(type, 4, at);
  at = std::copy_n(a, a_size, at);  // copy_n, unlike memcpy, takes a null piece of no bytes
  at = std::copy_n(b, b_size, at);
  return put32(at, crc32(0, start, static_cast<std::size_t>(at - start)));
}

std::uint8_t* put_signature_and_header(std::uint8_t* at, std::uint32_t width, std::uint32_t height) {
  static constexpr std::uint8_t signature[kSignatureSize] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::memcpy(at, signature, kSignatureSize);
  std::uint8_t header[13] = {0, 0, 0, 0, 0, 0, 0, 0, 8, 6};  // 8 bits per sample, truecolour with alpha
  put32(header, width);
  put32(header + 4, height);
  return put_chunk(at + kSignatureSize, "IHDR", header, sizeof header);
}

}  // namespace png
