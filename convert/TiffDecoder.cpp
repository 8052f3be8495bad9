// libtiff as a decoder, for TIFFs: the pixels read as the file's tags say
// they are, by the library made for the format. Three ways through it:
// CMYK with a CMYK profile as the inks are stored, to go through that
// profile; grey of any depth, and colour of depths the library's RGBA
// interface does not take, sample by sample; everything else (palettes,
// YCbCr and JPEG, CMYK without a profile, CIE L*a*b*) through the RGBA
// interface. Floating-point, signed and logarithmic samples are refused,
// and the image library, next in line, reads them.
//
// Rows are handed over as stored, whatever the Orientation tag says: the
// tag goes on in the output's metadata, for viewers to apply.

#include "convert/Colour.h"
#include "convert/Decoders.h"

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

namespace {

using freeimage::Bitmap;
using Fourth = DecodedPicture::Fourth;

// What libtiff said about one file: the last error, for the reason given to
// the user. Warnings (unknown tags, odd but readable data) say nothing the
// user needs.
struct Messages {
  QString lastError;
};

int keepError(TIFF*, void* messages, const char*, const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  static_cast<Messages*>(messages)->lastError = QString::fromLocal8Bit(text);
  return 1;  // nothing on the standard error
}

int dropWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
  void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};
using Tiff = std::unique_ptr<TIFF, TiffCloser>;

// The first directory of the file; `messages` must outlive the handle.
Tiff open(const QByteArray& source, Messages& messages) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, &messages);
  TIFFOpenOptionsSetWarningHandlerExtR(options, dropWarning, nullptr);
  // Read, not mapped: a mapping would count the whole file against the
  // worker's address-space cap.
  Tiff tiff(TIFFOpenExt(source.constData(), "rm", options));
  TIFFOpenOptionsFree(options);
  return tiff;
}

Failure refused(const Messages& messages, const char* otherwise = nullptr) {
  const QString said = messages.lastError.isEmpty() && otherwise ? QString::fromLatin1(otherwise) : messages.lastError;
  return Failure{reasons::damaged(said)};
}

// What the tags say the stored samples are.
struct Layout {
  uint32_t width = 0, height = 0;
  uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, photometric = PHOTOMETRIC_MINISBLACK;
  uint16_t planar = PLANARCONFIG_CONTIG, inkSet = INKSET_CMYK;
  // What the first sample beyond the colour ones is, if there is one.
  uint16_t extras = 0, firstExtra = EXTRASAMPLE_UNSPECIFIED;
  bool tiled = false;
};

std::optional<Layout> layoutOf(TIFF* tiff) {
  Layout layout;
  if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height) ||
      layout.width == 0 || layout.height == 0)
    return std::nullopt;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout.bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &layout.format);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &layout.planar);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_INKSET, &layout.inkSet);
  // libtiff fills in a missing Photometric tag from the rest when it reads
  // the directory.
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &layout.photometric);
  uint16_t* extras = nullptr;
  if (TIFFGetFieldDefaulted(tiff, TIFFTAG_EXTRASAMPLES, &layout.extras, &extras) && layout.extras > 0 && extras)
    layout.firstExtra = extras[0];
  layout.tiled = TIFFIsTiled(tiff);
  return layout;
}

QByteArray profileOf(TIFF* tiff) {
  uint32_t size = 0;
  const void* data = nullptr;
  return TIFFGetField(tiff, TIFFTAG_ICCPROFILE, &size, &data) && data && size > 0
             ? QByteArray(static_cast<const char*>(data), qsizetype(size))
             : QByteArray();
}

// What a fourth channel means, as the ExtraSamples tag says: only a sample
// named as transparency is one.
Fourth meaningOf(uint16_t extra) {
  switch (extra) {
    case EXTRASAMPLE_ASSOCALPHA: return Fourth::PremultipliedAlpha;
    case EXTRASAMPLE_UNASSALPHA: return Fourth::Alpha;
    default: return Fourth::Padding;
  }
}

// Hands over every stored row of the picture, top row first, strip by strip
// or tile by tile: the row's `y`, the first column `x` it covers, how many
// pixels `count`, which plane (always 0 when samples are interleaved) and
// its bytes, as decoded. False, with libtiff's error noted, when a strip or
// tile cannot be read.
using RowSink = std::function<void(uint32_t y, uint32_t x, uint32_t count, uint16_t plane, const uint8_t* bytes)>;

// Room past a row's end for the packed-sample reader, which takes three
// bytes at a time.
constexpr size_t Slack = 4;

bool forEachRow(TIFF* tiff, const Layout& layout, const RowSink& take) {
  const uint16_t planes = layout.planar == PLANARCONFIG_SEPARATE ? layout.samples : 1;
  if (layout.tiled) {
    uint32_t tileWidth = 0, tileHeight = 0;
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    const tmsize_t rowBytes = TIFFTileRowSize(tiff), tileBytes = TIFFTileSize(tiff);
    if (tileWidth == 0 || tileHeight == 0 || rowBytes <= 0 || tileBytes < rowBytes * tmsize_t(tileHeight)) return false;
    std::vector<uint8_t> tile(size_t(tileBytes) + Slack);
    for (uint16_t plane = 0; plane < planes; ++plane)
      for (uint32_t y = 0; y < layout.height; y += tileHeight)
        for (uint32_t x = 0; x < layout.width; x += tileWidth) {
          if (TIFFReadTile(tiff, tile.data(), x, y, 0, plane) < 0) return false;
          const uint32_t rows = std::min(tileHeight, layout.height - y), count = std::min(tileWidth, layout.width - x);
          for (uint32_t row = 0; row < rows; ++row) take(y + row, x, count, plane, tile.data() + row * size_t(rowBytes));
        }
    return true;
  }
  uint32_t rowsPerStrip = layout.height;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  rowsPerStrip = std::clamp<uint32_t>(rowsPerStrip, 1, layout.height);
  const tmsize_t rowBytes = TIFFScanlineSize(tiff);
  if (rowBytes <= 0) return false;
  std::vector<uint8_t> strip(size_t(rowBytes) * rowsPerStrip + Slack);
  for (uint16_t plane = 0; plane < planes; ++plane)
    for (uint32_t y = 0; y < layout.height; y += rowsPerStrip) {
      const uint32_t rows = std::min(rowsPerStrip, layout.height - y);
      const tmsize_t wanted = rowBytes * tmsize_t(rows);
      if (TIFFReadEncodedStrip(tiff, TIFFComputeStrip(tiff, y, plane), strip.data(), wanted) < wanted) return false;
      for (uint32_t row = 0; row < rows; ++row) take(y + row, 0, layout.width, plane, strip.data() + row * size_t(rowBytes));
    }
  return true;
}

// Sample `i` of a row: whole bytes, 16-bit words (which libtiff has put in
// this machine's order), or packed from the most significant bit on, which
// no byte order touches.
uint32_t sampleAt(const uint8_t* row, unsigned bits, size_t i) {
  if (bits == 8) return row[i];
  if (bits == 16) {
    uint16_t word;
    std::memcpy(&word, row + 2 * i, 2);
    return word;
  }
  const size_t bit = i * bits;
  const uint8_t* at = row + bit / 8;
  const uint32_t window = uint32_t(at[0]) << 16 | uint32_t(at[1]) << 8 | at[2];
  return (window >> (24 - bit % 8 - bits)) & ((1u << bits) - 1);
}

// Where each stored sample goes in a bitmap of 8- or 16-bit channels.
struct Placement {
  unsigned channelBytes = 1;  // 1 or 2
  unsigned channels = 1;      // per pixel
  // Channels of each stored sample (up to three, for grey spread over
  // red, green and blue); none for a sample left out.
  std::vector<std::vector<unsigned>> targets;
  // Stored samples whose values run the other way (grey where 0 is white).
  std::vector<bool> inverted;
};

// Reads the samples one by one into a new bitmap of `type` and `bpp`,
// widened to the bitmap's channels: a 12-bit sample's 4095 is 65535.
Result<Bitmap> readSamples(TIFF* tiff, const Layout& layout, const Messages& messages, FREE_IMAGE_TYPE type,
                           unsigned bpp, const Placement& placement) {
  Bitmap dib(FreeImage_AllocateT(type, int(layout.width), int(layout.height), int(bpp)));
  if (!dib) return Failure{reasons::damaged()};
  if (type == FIT_BITMAP && bpp == 8) {
    RGBQUAD* palette = FreeImage_GetPalette(dib.get());
    for (unsigned i = 0; i < 256; ++i) palette[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
  }
  const uint32_t storedMax = (1u << layout.bits) - 1, bitmapMax = placement.channelBytes == 1 ? 255 : 65535;
  const unsigned perPlane = layout.planar == PLANARCONFIG_SEPARATE ? 1 : layout.samples;
  const bool asStored = layout.bits == 8 && layout.samples == 1 && placement.channels == 1 && !placement.inverted[0];
  const bool done = forEachRow(tiff, layout, [&](uint32_t y, uint32_t x, uint32_t count, uint16_t plane, const uint8_t* bytes) {
    uint8_t* line = FreeImage_GetScanLine(dib.get(), int(layout.height - 1 - y));  // bottom-up
    if (asStored) {  // plain 8-bit grey, the commonest
      std::memcpy(line + x, bytes, count);
      return;
    }
    for (uint32_t i = 0; i < count; ++i)
      for (unsigned s = 0; s < perPlane; ++s) {
        const unsigned sample = perPlane == 1 ? plane : s;
        if (placement.targets[sample].empty()) continue;
        uint32_t value = sampleAt(bytes, layout.bits, size_t(i) * perPlane + s);
        if (placement.inverted[sample]) value = storedMax - value;
        if (storedMax != bitmapMax) value = (value * bitmapMax + storedMax / 2) / storedMax;
        const size_t pixel = size_t(x + i) * placement.channels;
        for (unsigned channel : placement.targets[sample]) {
          if (placement.channelBytes == 1) {
            line[pixel + channel] = uint8_t(value);
          } else {
            const uint16_t word = uint16_t(value);
            std::memcpy(line + 2 * (pixel + channel), &word, 2);
          }
        }
      }
  });
  if (!done) return refused(messages, "unreadable strip or tile");
  return dib;
}

// Grey, and colour of depths the RGBA interface refuses (10, 12, 14 bits),
// with transparency where the tags name it: 8-bit channels up to 8 bits
// stored, 16-bit ones above.
Result<DecodedPicture> sampleBySample(TIFF* tiff, const Layout& layout, const Messages& messages) {
  const bool grey = layout.photometric == PHOTOMETRIC_MINISBLACK || layout.photometric == PHOTOMETRIC_MINISWHITE;
  const unsigned colours = grey ? 1 : 3;
  if (layout.samples < colours) return refused(messages, "too few samples per pixel");
  DecodedPicture decoded;
  decoded.fourth = layout.samples > colours ? meaningOf(layout.firstExtra) : Fourth::Padding;
  const bool alpha = decoded.fourth != Fourth::Padding;
  const bool wide = layout.bits > 8;

  Placement placement;
  placement.channelBytes = wide ? 2 : 1;
  placement.channels = grey && !alpha ? 1 : alpha ? 4 : 3;
  placement.targets.resize(layout.samples);
  placement.inverted.assign(layout.samples, false);
  // The library's 8-bit pixels are blue, green, red (and alpha); its 16-bit
  // ones red, green, blue (and alpha).
  const std::array<unsigned, 4> order = wide ? std::array<unsigned, 4>{0, 1, 2, 3}
                                             : std::array<unsigned, 4>{FI_RGBA_RED, FI_RGBA_GREEN, FI_RGBA_BLUE, FI_RGBA_ALPHA};
  if (grey) {
    placement.targets[0] = placement.channels == 1 ? std::vector<unsigned>{0} : std::vector<unsigned>{order[0], order[1], order[2]};
    placement.inverted[0] = layout.photometric == PHOTOMETRIC_MINISWHITE;
  } else {
    for (unsigned c = 0; c < 3; ++c) placement.targets[c] = {order[c]};
  }
  if (alpha) placement.targets[colours] = {order[3]};

  FREE_IMAGE_TYPE type = FIT_BITMAP;
  if (wide) type = placement.channels == 1 ? FIT_UINT16 : alpha ? FIT_RGBA16 : FIT_RGB16;
  Result<Bitmap> pixels = readSamples(tiff, layout, messages, type, placement.channels * placement.channelBytes * 8, placement);
  if (!pixels) return Failure{pixels.reason()};
  decoded.pixels = std::move(*pixels);
  return decoded;
}

// CMYK as the inks are stored, for the profile to turn into colour.
Result<DecodedPicture> inks(TIFF* tiff, const Layout& layout, const Messages& messages) {
  Placement placement;
  placement.channels = 4;
  placement.targets = {{0}, {1}, {2}, {3}};
  placement.inverted.assign(4, false);
  Result<Bitmap> pixels = readSamples(tiff, layout, messages, FIT_BITMAP, 32, placement);
  if (!pixels) return Failure{pixels.reason()};
  DecodedPicture decoded;
  decoded.pixels = std::move(*pixels);
  decoded.cmyk = true;
  return decoded;
}

struct RgbaImageEnd {
  void operator()(TIFFRGBAImage* image) const noexcept { TIFFRGBAImageEnd(image); }
};

// libtiff's RGBA interface: 8-bit colour from whatever it knows, band by
// band of whole strips or tiles, so that only one band is held at a time.
Result<DecodedPicture> throughRgba(TIFF* tiff, const Layout& layout, const Messages& messages) {
  char message[1024] = "";
  TIFFRGBAImage image{};
  if (!TIFFRGBAImageOK(tiff, message) || !TIFFRGBAImageBegin(&image, tiff, 1, message))
    return Failure{reasons::damaged(QString::fromLocal8Bit(message))};
  const std::unique_ptr<TIFFRGBAImage, RgbaImageEnd> end(&image);
  // Asked for the orientation it is stored in, it turns nothing.
  image.req_orientation = image.orientation;

  DecodedPicture decoded;
  // The interface multiplies unassociated alpha into the colours itself,
  // and takes an extra sample of unspecified meaning for associated alpha,
  // handing it over untouched: that one is only padding.
  decoded.fourth = image.alpha != 0 && meaningOf(layout.firstExtra) != Fourth::Padding ? Fourth::PremultipliedAlpha
                                                                                        : Fourth::Padding;
  const unsigned bytes = decoded.fourth == Fourth::Padding ? 3 : 4;
  decoded.pixels.reset(FreeImage_Allocate(int(layout.width), int(layout.height), int(bytes * 8)));
  if (!decoded.pixels) return Failure{reasons::damaged()};

  uint32_t unit = layout.height;
  TIFFGetFieldDefaulted(tiff, layout.tiled ? TIFFTAG_TILELENGTH : TIFFTAG_ROWSPERSTRIP, &unit);
  unit = std::clamp<uint32_t>(unit, 1, layout.height);
  const uint32_t band = std::min(layout.height, unit * std::max<uint32_t>(1, 256 / unit));
  std::vector<uint32_t> raster(size_t(layout.width) * band);
  for (uint32_t top = 0; top < layout.height; top += band) {
    const uint32_t rows = std::min(band, layout.height - top);
    image.row_offset = int(top);
    image.col_offset = 0;
    if (!TIFFRGBAImageGet(&image, raster.data(), layout.width, rows)) return refused(messages, "unreadable strip or tile");
    for (uint32_t row = 0; row < rows; ++row) {
      const uint32_t* from = raster.data() + size_t(row) * layout.width;
      uint8_t* line = FreeImage_GetScanLine(decoded.pixels.get(), int(layout.height - 1 - (top + row)));
      for (uint32_t x = 0; x < layout.width; ++x, line += bytes) {
        line[FI_RGBA_RED] = uint8_t(TIFFGetR(from[x]));
        line[FI_RGBA_GREEN] = uint8_t(TIFFGetG(from[x]));
        line[FI_RGBA_BLUE] = uint8_t(TIFFGetB(from[x]));
        if (bytes == 4) line[FI_RGBA_ALPHA] = uint8_t(TIFFGetA(from[x]));
      }
    }
  }
  return decoded;
}

// The profile, where it describes the pixels as delivered.
QByteArray fitting(const QByteArray& profile, bool cmyk, bool grey) {
  const colour::Model model = colour::modelOf(profile);
  const bool fits = cmyk ? model == colour::Model::Cmyk
                         : model == colour::Model::Rgb || (grey && model == colour::Model::Grey);
  return fits ? profile : QByteArray();
}

Result<DecodedPicture> read(TIFF* tiff, const Layout& layout, const Messages& messages, const QByteArray& profile) {
  if (layout.format != SAMPLEFORMAT_UINT && layout.format != SAMPLEFORMAT_VOID)
    return Failure{reasons::damaged(QStringLiteral("floating-point or signed samples"))};
  if (layout.photometric == PHOTOMETRIC_LOGLUV || layout.photometric == PHOTOMETRIC_LOGL)
    return Failure{reasons::damaged(QStringLiteral("logarithmic samples"))};
  if (layout.bits == 0 || layout.bits > 16) return Failure{reasons::damaged(QStringLiteral("more than 16 bits a sample"))};

  const bool grey = layout.photometric == PHOTOMETRIC_MINISBLACK || layout.photometric == PHOTOMETRIC_MINISWHITE;
  Result<DecodedPicture> decoded = Failure{};
  if (layout.photometric == PHOTOMETRIC_SEPARATED && layout.inkSet == INKSET_CMYK && layout.samples == 4 &&
      layout.bits == 8 && colour::modelOf(profile) == colour::Model::Cmyk)
    decoded = inks(tiff, layout, messages);
  else if (grey || (layout.photometric == PHOTOMETRIC_RGB && layout.bits != 8 && layout.bits != 16))
    decoded = sampleBySample(tiff, layout, messages);
  else
    decoded = throughRgba(tiff, layout, messages);
  if (decoded) decoded->iccProfile = fitting(profile, decoded->cmyk, grey);
  return decoded;
}

class TiffDecoder : public Decoder {
 public:
  std::optional<QSize> probeSize(const QByteArray& source) const override {
    Messages messages;
    const Tiff tiff = open(source, messages);
    const std::optional<Layout> layout = tiff ? layoutOf(tiff.get()) : std::nullopt;
    if (!layout) return std::nullopt;
    // Beyond what a size holds is beyond the bound all the same.
    return QSize(int(std::min<uint32_t>(layout->width, INT_MAX)), int(std::min<uint32_t>(layout->height, INT_MAX)));
  }

  // The decode step has held probeSize()'s answer to the pixel bound.
  Result<DecodedPicture> decode(const DecodeRequest& request, std::optional<QSize>) const override {
    Messages messages;
    const Tiff tiff = open(request.source, messages);
    if (!tiff) return refused(messages);
    const std::optional<Layout> layout = layoutOf(tiff.get());
    if (!layout) return refused(messages, "no picture size");
    // The metadata reader's profile first, as for every decoder.
    const QByteArray profile =
        colour::modelOf(request.iccProfile) != colour::Model::Other ? request.iccProfile : profileOf(tiff.get());
    try {
      return read(tiff.get(), *layout, messages, profile);
    } catch (const std::bad_alloc&) {
      return Failure{reasons::damaged(QStringLiteral("out of memory"))};
    }
  }
};

}  // namespace

const Decoder& tiffDecoder() {
  static const TiffDecoder decoder;
  return decoder;
}
