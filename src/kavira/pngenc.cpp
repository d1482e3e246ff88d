#include "pngenc.hpp"

#include <array>
#include <cstring>

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

inline std::uint8_t magnitude(std::uint8_t v) { return v < 128 ? v : static_cast<std::uint8_t>(256 - v); }

// Sum of |signed byte| over a row: the usual estimate of how well it deflates.
inline std::uint32_t cost(const std::uint8_t* row, std::size_t n) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += magnitude(row[i]);
  return sum;
}

enum Filter : std::uint8_t { kNone = 0, kSub = 1, kUp = 2, kAverage = 3, kPaeth = 4 };
constexpr std::size_t kPixel = 4;

inline std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
  int pa = b - c, pb = a - c;
  int pc = pa + pb;
  pa = pa < 0 ? -pa : pa;
  pb = pb < 0 ? -pb : pb;
  pc = pc < 0 ? -pc : pc;
  return (pa <= pb && pa <= pc) ? a : pb <= pc ? b : c;
}

// One row into each candidate buffer; the first pixel has no left neighbour.
void candidates(const std::uint8_t* raw, const std::uint8_t* up, std::size_t n, std::uint8_t* sub, std::uint8_t* upf,
                std::uint8_t* avg, std::uint8_t* pae) {
  for (std::size_t i = 0; i < kPixel && i < n; ++i) {
    sub[i] = raw[i];
    upf[i] = static_cast<std::uint8_t>(raw[i] - up[i]);
    avg[i] = static_cast<std::uint8_t>(raw[i] - (up[i] >> 1));
    pae[i] = static_cast<std::uint8_t>(raw[i] - up[i]);
  }
  for (std::size_t i = kPixel; i < n; ++i) sub[i] = static_cast<std::uint8_t>(raw[i] - raw[i - kPixel]);
  for (std::size_t i = kPixel; i < n; ++i) upf[i] = static_cast<std::uint8_t>(raw[i] - up[i]);
  for (std::size_t i = kPixel; i < n; ++i)
    avg[i] = static_cast<std::uint8_t>(raw[i] - ((raw[i - kPixel] + up[i]) >> 1));
  for (std::size_t i = kPixel; i < n; ++i)
    pae[i] = static_cast<std::uint8_t>(raw[i] - paeth(raw[i - kPixel], up[i], up[i - kPixel]));
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

namespace {
constexpr std::uint32_t kAdlerBase = 65521;
constexpr std::size_t kAdlerRun = 5552;  // the most bytes before the sums can overflow 32 bits
}  // namespace

std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size) {
  std::uint32_t a = adler & 0xFFFF, b = adler >> 16;
  while (size > 0) {
    std::size_t run = size < kAdlerRun ? size : kAdlerRun;
    size -= run;
    for (; run >= 16; run -= 16, data += 16)
      for (int k = 0; k < 16; ++k) b += a += data[k];
    while (run--) b += a += *data++;
    a %= kAdlerBase;
    b %= kAdlerBase;
  }
  return b << 16 | a;
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
                      std::uint8_t* out, std::uint8_t* scratch) {
  const std::size_t n = width * kPixel;
  std::uint8_t* candidate[5] = {nullptr, scratch, scratch + n, scratch + 2 * n, scratch + 3 * n};
  std::uint8_t* zeros = scratch + 4 * n;
  if (!above) {
    std::memset(zeros, 0, n);
    above = zeros;
  }
  for (std::size_t y = 0; y < rows; ++y, above = pixels, pixels += n, out += n + 1) {
    candidates(pixels, above, n, candidate[kSub], candidate[kUp], candidate[kAverage], candidate[kPaeth]);
    candidate[kNone] = const_cast<std::uint8_t*>(pixels);
    std::uint8_t best = kNone;
    std::uint32_t least = cost(pixels, n);
    for (std::uint8_t f = kSub; f <= kPaeth; ++f) {
      std::uint32_t c = cost(candidate[f], n);
      if (c < least) {
        least = c;
        best = f;
      }
    }
    out[0] = best;
    std::memcpy(out + 1, candidate[best], n);
  }
}

std::uint8_t* put_chunk(std::uint8_t* at, const char type[4], const std::uint8_t* a, std::size_t a_size,
                        const std::uint8_t* b, std::size_t b_size, const std::uint8_t* c, std::size_t c_size) {
  at = put32(at, static_cast<std::uint32_t>(a_size + b_size + c_size));
  std::uint8_t* start = at;
  std::memcpy(at, type, 4);
  at += 4;
  for (auto [data, size] : {std::pair{a, a_size}, std::pair{b, b_size}, std::pair{c, c_size}}) {
    if (size) std::memcpy(at, data, size);
    at += size;
  }
  return put32(at, crc32(0, start, static_cast<std::size_t>(at - start)));
}

std::uint8_t* put_signature_and_header(std::uint8_t* at, std::uint32_t width, std::uint32_t height) {
  static constexpr std::uint8_t signature[kSignatureSize] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::memcpy(at, signature, kSignatureSize);
  std::uint8_t header[13];
  put32(header, width);
  put32(header + 4, height);
  header[8] = 8;  // bits per sample
  header[9] = 6;  // truecolour with alpha
  header[10] = header[11] = header[12] = 0;
  return put_chunk(at + kSignatureSize, "IHDR", header, sizeof header);
}

}  // namespace png
