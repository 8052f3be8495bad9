#include "convert/FourthChannel.h"

#include "convert/BmpHeader.h"

#include <QtEndian>

#include <cstdint>

namespace freeimage {
namespace {

// Exactly `size` bytes, or fewer only where the file ends before them and
// that is allowed.
QByteArray readAt(const QByteArray& file, qint64 offset, qint64 size, bool upTo = false) {
  QFile in;
  if (!OpenFile(in, file) || !in.seek(offset)) return {};
  QByteArray bytes = in.read(size);
  return bytes.size() == size || upTo ? bytes : QByteArray();
}

// A TGA's image descriptor counts the bits of alpha in each pixel; with
// none, the fourth byte of a 32-bit pixel is only there to fill it.
bool tgaNamesAlpha(const QByteArray& file) {
  const QByteArray header = readAt(file, 0, 18);
  return !header.isEmpty() && (uchar(header[17]) & 0x0F) != 0;
}

// The AND mask of the icon the library read (the directory's first) laid
// into `dib`'s fourth byte: set bits are transparent. False when the icon
// is no 32-bit bitmap of that size, or its mask is missing or empty.
bool applyIconMask(const QByteArray& file, FIBITMAP* dib) {
  const QByteArray entry = readAt(file, 6, 16);
  if (entry.isEmpty()) return false;
  const uint32_t offset = qFromLittleEndian<uint32_t>(entry.constData() + 12);
  const QByteArray info = readAt(file, offset, 40);
  if (info.isEmpty()) return false;
  const uint32_t infoSize = qFromLittleEndian<uint32_t>(info.constData());
  const int32_t width = qFromLittleEndian<int32_t>(info.constData() + 4);
  const int32_t height = qFromLittleEndian<int32_t>(info.constData() + 8) / 2;  // colours and mask
  const uint16_t bits = qFromLittleEndian<uint16_t>(info.constData() + 14);
  const uint32_t colours = qFromLittleEndian<uint32_t>(info.constData() + 32);
  if (infoSize < 40 || infoSize > 1024 || colours > 256 || bits != 32 || width != int32_t(FreeImage_GetWidth(dib)) ||
      height != int32_t(FreeImage_GetHeight(dib)))
    return false;
  const qint64 rowBytes = (qint64(width) + 31) / 32 * 4;
  const qint64 maskOffset = qint64(offset) + infoSize + 4 * qint64(colours) + 4 * qint64(width) * height;
  const QByteArray mask = readAt(file, maskOffset, rowBytes * height);
  if (mask.isEmpty() || mask.count('\0') == mask.size()) return false;
  // Both run bottom-up.
  for (int y = 0; y < height; ++y) {
    const uchar* bitsOfRow = reinterpret_cast<const uchar*>(mask.constData()) + y * rowBytes;
    BYTE* pixel = FreeImage_GetScanLine(dib, y);
    for (int x = 0; x < width; ++x, pixel += 4)
      pixel[FI_RGBA_ALPHA] = bitsOfRow[x / 8] & (0x80 >> (x % 8)) ? 0 : 255;
  }
  return true;
}

}  // namespace

std::optional<FourthChannel> SettleFourthChannel(FREE_IMAGE_FORMAT fif, const QByteArray& file, FIBITMAP* dib) {
  if (!dib || FreeImage_GetImageType(dib) != FIT_BITMAP || FreeImage_GetBPP(dib) != 32) return std::nullopt;
  switch (fif) {
    case FIF_BMP: {
      const std::optional<bmp::Header> header = bmp::parse(readAt(file, 0, bmp::HeaderBytes, true));
      const bool alpha = header && header->namesAlpha();
      return alpha && !AlphaIsZeroEverywhere(dib) ? FourthChannel::Alpha : FourthChannel::Padding;
    }
    case FIF_TARGA:
      return tgaNamesAlpha(file) && !AlphaIsZeroEverywhere(dib) ? FourthChannel::Alpha : FourthChannel::Padding;
    case FIF_ICO:
      if (!AlphaIsZeroEverywhere(dib)) return FourthChannel::Alpha;
      return applyIconMask(file, dib) ? FourthChannel::Alpha : FourthChannel::Padding;
    default:
      return std::nullopt;
  }
}

}  // namespace freeimage
