#include "convert/BmpHeader.h"

#include <QtEndian>

#include <cstdlib>

namespace bmp {
namespace {

template <typename T>
T at(const QByteArray& bytes, int offset) {
  return qFromLittleEndian<T>(bytes.constData() + offset);
}

bool isWindowsSize(uint32_t infoSize) {
  return infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 108 || infoSize == 124;
}

}  // namespace

QSize Header::size() const { return QSize(width, int(std::abs(int64_t(height)))); }

bool Header::os2Second() const { return infoSize >= 16 && infoSize <= 64 && !isWindowsSize(infoSize); }

bool Header::namesAlpha() const {
  return infoSize >= 56 && !os2Second() && (compression == Rgb || compression == BitFields) && masks[3] != 0;
}

std::optional<Header> parse(const QByteArray& bytes) {
  if (bytes.size() < 14 + 12 || !bytes.startsWith("BM")) return std::nullopt;
  Header header;
  header.dataOffset = at<uint32_t>(bytes, 10);
  header.infoSize = at<uint32_t>(bytes, 14);
  if (header.infoSize == 12) {  // OS/2's first header: sizes of 16 bits
    header.width = at<uint16_t>(bytes, 18);
    header.height = at<uint16_t>(bytes, 20);
    header.bitsPerPixel = at<uint16_t>(bytes, 24);
    return header;
  }
  if (header.infoSize < 16 || header.infoSize > 124 || bytes.size() < 14 + int(std::min(header.infoSize, 40u)))
    return std::nullopt;
  header.width = at<int32_t>(bytes, 18);
  header.height = at<int32_t>(bytes, 22);
  header.bitsPerPixel = at<uint16_t>(bytes, 28);
  // A header of 16 bytes ends before the compression, which is then none.
  if (header.infoSize >= 20) header.compression = at<uint32_t>(bytes, 30);
  if (header.infoSize >= 36) header.coloursUsed = at<uint32_t>(bytes, 46);
  if (header.width <= 0 || header.height == 0 || header.height == INT32_MIN) return std::nullopt;
  if (header.os2Second()) return header;
  const int masks = header.infoSize >= 56 ? 4 : header.infoSize >= 52 || header.compression == BitFields ? 3 : 0;
  if (bytes.size() < 54 + 4 * masks) return std::nullopt;
  for (int i = 0; i < masks; ++i) header.masks[size_t(i)] = at<uint32_t>(bytes, 54 + 4 * i);
  return header;
}

}  // namespace bmp
