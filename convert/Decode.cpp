#include "convert/Decode.h"

#include "convert/Decoders.h"

#include <QFile>
#include <QImageReader>
#include <QLocale>

namespace {

Result<DecodedPicture> heldToTheBound(Result<DecodedPicture> decoded, bool sizeWasTold, const SizeListener& onSize) {
  if (!decoded || sizeWasTold) return decoded;
  const QSize size(int(FreeImage_GetWidth(decoded->pixels.get())), int(FreeImage_GetHeight(decoded->pixels.get())));
  if (qint64(size.width()) * size.height() > MaxPicturePixels) return Failure{reasons::tooManyPixels(size)};
  if (onSize) onSize(size);
  return decoded;
}

// Whether one of Qt's readers recognises the file.
bool qtReads(const QByteArray& source) {
  QFile in;
  return freeimage::OpenFile(in, source) && !QImageReader::imageFormat(&in).isEmpty();
}

}  // namespace

std::vector<const Decoder*> decodersFor(const QByteArray& source) {
  std::vector<const Decoder*> decoders;
  const FREE_IMAGE_FORMAT fif = freeimage::GetFileType(source, 0);
  if (fif == FIF_BMP) decoders.push_back(&pixbufDecoder());
  if (fif != FIF_UNKNOWN) decoders.push_back(&freeImageDecoder());
  if (qtReads(source)) decoders.push_back(&qtDecoder());
  return decoders;
}

Result<DecodedPicture> decodePicture(const DecodeRequest& request, int rank) {
  const std::vector<const Decoder*> decoders = decodersFor(request.source);
  if (rank < 0 || rank >= int(decoders.size())) return Failure{reasons::damaged()};
  const Decoder& decoder = *decoders[size_t(rank)];
  const std::optional<QSize> header = decoder.probeSize(request.source);
  if (header && qint64(header->width()) * header->height() > MaxPicturePixels)
    return Failure{reasons::tooManyPixels(*header)};
  if (request.onSize) request.onSize(header);
  Result<DecodedPicture> decoded = decoder.decode(request, header);
  if (decoded && (!decoded->pixels || !FreeImage_HasPixels(decoded->pixels.get()))) return Failure{reasons::damaged()};
  return heldToTheBound(std::move(decoded), header.has_value(), request.onSize);
}

namespace reasons {
QString damaged(const QString& libraryMessage) {
  const QString reason = QStringLiteral("El archivo está dañado o su formato no se admite");
  return libraryMessage.isEmpty() ? reason + u'.' : QStringLiteral("%1 (%2).").arg(reason, libraryMessage);
}
QString tooManyPixels(QSize size) {
  const QLocale spanish(QLocale::Spanish, QLocale::Spain);
  return QStringLiteral("La imagen mide %1 x %2 píxeles: más de los %3 píxeles que se admiten.")
      .arg(size.width())
      .arg(size.height())
      .arg(spanish.toString(MaxPicturePixels));
}
}  // namespace reasons
