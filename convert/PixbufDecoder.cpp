// gdk-pixbuf's BMP reader as a decoder: of the libraries at hand the one
// that reads the most of the format's variants as their files say (bit
// fields of 4 bits and more, 32-bit pixels whose fourth byte pads them,
// every Windows header, pixels that an RLE stream skips left transparent).
// What it still refuses or misreads is brought to a form it reads before
// it sees the file, or mended after.

// Before any of Qt's headers, whose "signals" keyword GLib uses as a name.
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "convert/BmpHeader.h"
#include "convert/Decoders.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

namespace {

using freeimage::Bitmap;

struct GObjectUnref {
  void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
using Loader = std::unique_ptr<GdkPixbufLoader, GObjectUnref>;
struct ErrorFree {
  void operator()(GError* error) const noexcept { g_error_free(error); }
};

Failure refused(GError* error = nullptr) {
  const std::unique_ptr<GError, ErrorFree> owned(error);
  return Failure{reasons::damaged(error ? QStringLiteral("gdk-pixbuf: %1").arg(QString::fromUtf8(error->message)) : QString())};
}

bool isRle(const bmp::Header& header) {
  return header.compression == bmp::Rle8 || header.compression == bmp::Rle4;
}

// What the reader takes before the pixels, in the layout it expects: the
// headers, the colour masks that follow a 40-byte one, the palette, and
// the pixels right after them. It takes no notice of where the file says
// its pixels start, nor of a palette before pixels of more than 8 bits.
struct Start {
  QByteArray bytes;
  qint64 pixelsAt = 0;
  // Red, green, blue and alpha as the reader takes them from the pixels;
  // none for pixels that are not bit fields.
  std::array<uint32_t, 4> masks{};
};

std::optional<Start> readableStart(QFile& in, const QByteArray& first, const bmp::Header& header) {
  const qint64 infoEnd = 14 + qint64(header.infoSize);
  if (first.size() < infoEnd) return std::nullopt;
  Start start{first.left(infoEnd)};
  if (header.os2Second()) {
    // Huffman-coded and 24-bit RLE pixels, which no reader here decodes.
    if (header.compression == 3 || header.compression == 4) return std::nullopt;
    // The same fields under a Windows header of 40 bytes, those it lacks
    // zero; its palette entries already have Windows' four bytes.
    start.bytes = start.bytes.left(14) + start.bytes.mid(14, 40).leftJustified(40, '\0', true);
    qToLittleEndian(uint32_t(40), start.bytes.data() + 14);
  }
  char* info = start.bytes.data() + 14;
  // Run-length coding is only defined bottom-up. Read as if it were, the
  // rows come out upside down, which decoding turns back.
  if (header.height < 0 && isRle(header)) qToLittleEndian(-header.height, info + 8);
  // An alpha mask in a header that holds one makes transparency of the
  // fourth byte even without bit fields, where the reader would drop it;
  // the colour masks of such pixels are the standard ones.
  if (header.compression == bmp::BitFields) start.masks = header.masks;
  if (header.compression == bmp::Rgb && (header.bitsPerPixel == 32 || header.bitsPerPixel == 16) && header.namesAlpha()) {
    qToLittleEndian(uint32_t(bmp::BitFields), info + 16);
    start.masks = header.bitsPerPixel == 32 ? std::array<uint32_t, 4>{0x00FF0000, 0x0000FF00, 0x000000FF, header.masks[3]}
                                            : std::array<uint32_t, 4>{0x7C00, 0x03E0, 0x001F, header.masks[3]};
    for (int i = 0; i < 3; ++i) qToLittleEndian(start.masks[size_t(i)], info + 40 + 4 * i);
  }
  const qint64 masks = header.infoSize == 40 && header.compression == bmp::BitFields ? 12 : 0;
  qint64 palette = 0;
  if (header.bitsPerPixel <= 8) {
    // A palette longer than the pixels can index holds nothing they show.
    const uint32_t most = 1u << header.bitsPerPixel;
    const uint32_t colours = header.coloursUsed != 0 && header.coloursUsed < most ? header.coloursUsed : most;
    if (start.bytes.size() >= 14 + 40) qToLittleEndian(colours, info + 32);
    palette = qint64(colours) * (header.infoSize == 12 ? 3 : 4);
  }
  // Where the file says the pixels start, unless that is inside its
  // headers or past its end; a palette cut short by it ends in black.
  const bool toldStart = header.dataOffset >= infoEnd + masks && header.dataOffset < in.size();
  const qint64 paletteInFile = toldStart ? std::min(palette, header.dataOffset - infoEnd - masks) : palette;
  if (!in.seek(infoEnd)) return std::nullopt;
  QByteArray tables = in.read(masks + paletteInFile);
  tables.append(masks + palette - tables.size(), '\0');
  start.bytes += tables;
  qToLittleEndian(uint32_t(start.bytes.size()), start.bytes.data() + 10);
  start.pixelsAt = toldStart ? header.dataOffset : infoEnd + masks + palette;
  return start;
}

// Pixels the file never sets (an RLE stream that skips or ends early, a
// file cut short) are white or transparent, not what memory held.
void onAreaPrepared(GdkPixbufLoader* loader, gpointer) {
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  if (gdk_pixbuf_get_has_alpha(pixbuf))
    gdk_pixbuf_fill(pixbuf, 0xFFFFFF00);
  else  // the same white, several times faster than pixel by pixel
    std::memset(gdk_pixbuf_get_pixels(pixbuf), 0xFF, gdk_pixbuf_get_byte_length(pixbuf));
}

// The reader widens a channel of fewer than 4 bits by shifting it to the
// top of the byte, so that a 2-3-1 white comes out grey: its levels are
// spread over the whole range again. Wider channels it widens right.
using Levels = std::array<std::array<uint8_t, 256>, 4>;
Levels channelLevels(const std::array<uint32_t, 4>& masks) {
  Levels levels{};
  for (size_t c = 0; c < 4; ++c) {
    const int bits = std::popcount(masks[c]);
    for (int v = 0; v < 256; ++v)
      levels[c][size_t(v)] = bits >= 1 && bits <= 3 ? uint8_t((v >> (8 - bits)) * 255 / ((1 << bits) - 1)) : uint8_t(v);
  }
  return levels;
}

using Pixbuf = std::unique_ptr<GdkPixbuf, GObjectUnref>;

// The reader's picture of what `start` and the file from its pixels on hold.
Result<Pixbuf> load(QFile& in, const Start& start, QSize size) {
  if (!in.seek(start.pixelsAt)) return refused();
  GError* error = nullptr;
  const Loader loader(gdk_pixbuf_loader_new_with_type("bmp", &error));
  if (!loader) return refused(error);
  g_signal_connect(loader.get(), "area-prepared", G_CALLBACK(onAreaPrepared), nullptr);
  bool fed = gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(start.bytes.constData()),
                                     gsize(start.bytes.size()), &error);
  QByteArray chunk;
  while (fed && !(chunk = in.read(1 << 20)).isEmpty())
    fed = gdk_pixbuf_loader_write(loader.get(), reinterpret_cast<const guchar*>(chunk.constData()), gsize(chunk.size()),
                                  &error);
  // Closed in any case: a loader left open complains when it goes.
  GError* closing = nullptr;
  const bool closed = gdk_pixbuf_loader_close(loader.get(), fed ? &closing : nullptr);
  if (!fed) return refused(error);
  if (!closed) return refused(closing);
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader.get());
  if (!pixbuf || gdk_pixbuf_get_width(pixbuf) != size.width() || gdk_pixbuf_get_height(pixbuf) != size.height() ||
      gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || gdk_pixbuf_get_n_channels(pixbuf) < 3)
    return refused();
  return Pixbuf(GDK_PIXBUF(g_object_ref(pixbuf)));
}

// The reader's RGB(A) rows, top-down, as the library's BGR(A) ones,
// bottom-up; rows already upside down stay in their order. Alpha comes
// from the reader's, or from the red of `alpha`'s.
Bitmap toBitmap(GdkPixbuf* pixbuf, GdkPixbuf* alpha, bool upsideDown, const std::array<uint32_t, 4>& masks) {
  const int width = gdk_pixbuf_get_width(pixbuf), height = gdk_pixbuf_get_height(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf), stride = gdk_pixbuf_get_rowstride(pixbuf);
  const int bytes = alpha || channels == 4 ? 4 : 3;
  Bitmap dib(FreeImage_Allocate(width, height, 8 * bytes, FI_RGBA_RED_MASK, FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK));
  if (!dib) return nullptr;
  const Levels levels = channelLevels(masks);
  const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
  const guchar* alphas = alpha ? gdk_pixbuf_read_pixels(alpha) : pixels + 3;
  const int alphaStride = alpha ? gdk_pixbuf_get_rowstride(alpha) : stride;
  const int alphaStep = alpha ? gdk_pixbuf_get_n_channels(alpha) : channels;
  for (int y = 0; y < height; ++y) {
    const guchar* src = pixels + size_t(y) * size_t(stride);
    const guchar* a = alphas + size_t(y) * size_t(alphaStride);
    BYTE* dst = FreeImage_GetScanLine(dib.get(), upsideDown ? y : height - 1 - y);
    for (int x = 0; x < width; ++x, src += channels, a += alphaStep, dst += bytes) {
      dst[FI_RGBA_RED] = levels[0][src[0]];
      dst[FI_RGBA_GREEN] = levels[1][src[1]];
      dst[FI_RGBA_BLUE] = levels[2][src[2]];
      if (bytes == 4) dst[FI_RGBA_ALPHA] = levels[3][*a];
    }
  }
  return dib;
}

class PixbufDecoder : public Decoder {
 public:
  std::optional<QSize> probeSize(const QByteArray& source) const override {
    QFile in;
    if (!freeimage::OpenFile(in, source)) return std::nullopt;
    const std::optional<bmp::Header> header = bmp::parse(in.read(bmp::HeaderBytes));
    return header ? std::optional<QSize>(header->size()) : std::nullopt;
  }

  Result<DecodedPicture> decode(const DecodeRequest& request, std::optional<QSize> size) const override {
    QFile in;
    if (!size || !freeimage::OpenFile(in, request.source)) return refused();
    const QByteArray first = in.read(bmp::HeaderBytes);
    const std::optional<bmp::Header> header = bmp::parse(first);
    if (!header || header->size() != *size) return refused();
    std::optional<Start> start = readableStart(in, first, *header);
    if (!start) return refused();
    Result<Pixbuf> pixbuf = load(in, *start, *size);
    if (!pixbuf) return Failure{pixbuf.reason()};
    // The reader drops the alpha of 16-bit pixels: read once more with
    // their alpha mask for colour, it gives it.
    Pixbuf alpha;
    if (header->bitsPerPixel == 16 && header->namesAlpha()) {
      for (int i = 0; i < 3; ++i) qToLittleEndian(start->masks[3], start->bytes.data() + 14 + 40 + 4 * i);
      Result<Pixbuf> alphaRead = load(in, *start, *size);
      if (!alphaRead) return Failure{alphaRead.reason()};
      alpha = std::move(*alphaRead);
    }

    DecodedPicture decoded;
    decoded.pixels = toBitmap(pixbuf->get(), alpha.get(), header->height < 0 && isRle(*header), start->masks);
    if (!decoded.pixels) return refused();
    // Transparent where a run-length stream sets nothing; elsewhere the
    // fourth byte is transparency only by the file's word, and alpha that
    // is 0 everywhere is a file that keeps none, shown opaque as browsers
    // show it.
    if (FreeImage_GetBPP(decoded.pixels.get()) == 32 && !isRle(*header) &&
        (!header->namesAlpha() || freeimage::AlphaIsZeroEverywhere(decoded.pixels.get())))
      decoded.fourth = DecodedPicture::Fourth::Padding;
    decoded.iccProfile = request.iccProfile;
    return decoded;
  }
};

}  // namespace

const Decoder& pixbufDecoder() {
  static const PixbufDecoder decoder;
  return decoder;
}
