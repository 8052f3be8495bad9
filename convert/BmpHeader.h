#pragma once

// What a BMP's headers say, read from the file's first bytes: enough to
// know its size before decoding, what its fourth channel holds, and which
// of its variants needs bringing to a form the decoders read.

#include <QByteArray>
#include <QSize>

#include <array>
#include <cstdint>
#include <optional>

namespace bmp {

enum Compression : uint32_t { Rgb = 0, Rle8 = 1, Rle4 = 2, BitFields = 3 };

// File header and info header up to and with the colour masks.
inline constexpr int HeaderBytes = 14 + 124;

struct Header {
  uint32_t dataOffset = 0;
  uint32_t infoSize = 0;
  int32_t width = 0;
  // Negative for rows stored top-down.
  int32_t height = 0;
  uint16_t bitsPerPixel = 0;
  uint32_t compression = Rgb;
  uint32_t coloursUsed = 0;
  // Red, green, blue and alpha, where the file gives them: after a 40-byte
  // header for bit fields, or in the header from 52 (56 with alpha) bytes on.
  std::array<uint32_t, 4> masks{};

  QSize size() const;
  // OS/2's second header: 16 to 64 bytes, laid out as Windows' 40-byte one
  // as far as it goes, with its own meaning for compressions 3 and 4.
  bool os2Second() const;
  // Whether the fourth byte of a 32-bit pixel is transparency by the file's
  // own word: an alpha mask in a header that holds one. In a plain 40-byte
  // header it only pads the pixel.
  bool namesAlpha() const;
};

// Null when the bytes are not a BMP's headers.
std::optional<Header> parse(const QByteArray& firstBytes);

}  // namespace bmp
