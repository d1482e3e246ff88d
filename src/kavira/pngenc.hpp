// PNG pieces that need no Python: row filtering, the two checksums and chunk
// framing. pngwriter feeds them bands of RGBA rows and deflates between.
#pragma once

#include <cstddef>
#include <cstdint>

namespace png {

inline constexpr std::size_t kSignatureSize = 8;
inline constexpr std::size_t kChunkOverhead = 12;  // length, type, CRC
inline constexpr std::size_t kHeaderChunkSize = kChunkOverhead + 13;

// CRC-32 as PNG chunks carry it; start from 0 and feed pieces in order.
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

// Adler-32 as a zlib stream ends with it; start from 1.
std::uint32_t adler32(std::uint32_t adler, const std::uint8_t* data, std::size_t size);
// The Adler-32 of A followed by B, from those of A and B and B's length.
std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second, std::uint64_t second_size);

// Filters `rows` rows of 8-bit RGBA, `width` pixels each, into `out`: each
// row becomes a filter-type byte and the filtered bytes, the type chosen per
// row by the least sum of absolute signed differences. `above` is the row
// before the first, zeros at the top of the image.
void filter_rgba_rows(const std::uint8_t* pixels, std::size_t width, std::size_t rows, const std::uint8_t* above,
                      std::uint8_t* out);

// One row of a canvas `width` pixels wide, every pixel `fill`, with
// `source_width` RGBA pixels of `source` (null: none) pasted from pixel `x`
// on under their own alpha, as Pillow's paste with an RGBA mask leaves it:
// each channel becomes (fill * (255 - alpha) + source * alpha) / 255,
// rounded as Pillow rounds.
void compose_rgba_row(const std::uint8_t fill[4], std::size_t width, const std::uint8_t* source, std::size_t x,
                      std::size_t source_width, std::uint8_t* out);

// Writes a big-endian 32-bit value.
inline std::uint8_t* put32(std::uint8_t* at, std::uint32_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 24);
  at[1] = static_cast<std::uint8_t>(v >> 16);
  at[2] = static_cast<std::uint8_t>(v >> 8);
  at[3] = static_cast<std::uint8_t>(v);
  return at + 4;
}

// The signature and an IHDR for 8-bit RGBA, non-interlaced: kSignatureSize +
// kHeaderChunkSize bytes.
std::uint8_t* put_signature_and_header(std::uint8_t* at, std::uint32_t width, std::uint32_t height);

// A whole chunk whose data is the concatenation of one or two pieces (iCCP's
// name and its compressed profile).
std::uint8_t* put_chunk(std::uint8_t* at, const char type[4], const std::uint8_t* a, std::size_t a_size,
                        const std::uint8_t* b = nullptr, std::size_t b_size = 0);

}  // namespace png
