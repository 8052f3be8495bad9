// Qt's image readers as a decoder: for pictures the image library reads
// wrongly or not at all.

#include "convert/Colour.h"
#include "convert/Decoders.h"

#include <QColorSpace>
#include <QImage>
#include <QImageReader>

#include <cstring>

namespace {

using freeimage::Bitmap;

// Qt's pixels as the library's: 32-bit pixels lie in memory alike (blue,
// green, red, alpha), and so do 24-bit ones once Qt writes them as BGR;
// Qt's rows run top-down, the library's bottom-up.
Bitmap toBitmap(QImage image) {
  int bpp = 24;
  if (image.isGrayscale() && !image.hasAlphaChannel()) {
    image.convertTo(QImage::Format_Grayscale8);
    bpp = 8;
  } else if (image.hasAlphaChannel()) {
    image.convertTo(QImage::Format_ARGB32);
    bpp = 32;
  } else {
    image.convertTo(QImage::Format_BGR888);
  }
  if (image.isNull()) return nullptr;
  Bitmap dib(FreeImage_Allocate(image.width(), image.height(), bpp));
  if (!dib) return nullptr;
  const size_t rowBytes = size_t(image.width()) * size_t(bpp / 8);
  for (int y = 0; y < image.height(); ++y)
    std::memcpy(FreeImage_GetScanLine(dib.get(), image.height() - 1 - y), image.constScanLine(y), rowBytes);
  return dib;
}

class QtDecoder : public Decoder {
 public:
  std::optional<QSize> probeSize(const QByteArray& source) const override {
    QFile in;
    if (!freeimage::OpenFile(in, source)) return std::nullopt;
    const QSize size = QImageReader(&in).size();
    return size.isValid() ? std::optional<QSize>(size) : std::nullopt;
  }

  Result<DecodedPicture> decode(const DecodeRequest& request, std::optional<QSize>) const override {
    QFile in;
    if (!freeimage::OpenFile(in, request.source)) return Failure{reasons::damaged()};
    QImageReader reader(&in);
    reader.setAllocationLimit(int(MaxPicturePixels * 4 / (1024 * 1024)) + 1);
    QImage image = reader.read();
    if (image.isNull()) return Failure{reasons::damaged(QStringLiteral("Qt: %1").arg(reader.errorString()))};
    DecodedPicture decoded;
    if (!request.iccProfile.isEmpty()) {
      decoded.iccProfile = request.iccProfile;
    } else if (image.colorSpace().isValid() && image.colorSpace() != QColorSpace(QColorSpace::SRgb)) {
      // A colour space told without a profile (a PNG's gamma and
      // chromaticities): the pixels are brought into sRGB, as a browser
      // shows them, rather than carried in a profile made up for them.
      image.convertTo(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
      image.convertToColorSpace(QColorSpace(QColorSpace::SRgb));
    }
    decoded.pixels = toBitmap(std::move(image));
    if (!decoded.pixels) return Failure{reasons::damaged()};
    return decoded;
  }
};

}  // namespace

const Decoder& qtDecoder() {
  static const QtDecoder decoder;
  return decoder;
}
