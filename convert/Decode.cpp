#include "convert/Decode.h"

#include "convert/Decoders.h"

#include <QFile>
#include <QImageReader>
#include <QLocale>

namespace {

Result<DecodedPicture> heldToTheBound(Result<DecodedPicture> decoded, bool sizeWasTold, const SizeListener& onSize) {
  if (!decoded || sizeWasTold) return decoded;
  FIBITMAP* pixels = decoded->pixels.get();
  const QSize size(int(FreeImage_GetWidth(pixels)), int(FreeImage_GetHeight(pixels)));
  if (qint64(size.width()) * size.height() > MaxPicturePixels) return Failure{reasons::tooManyPixels(size)};
  if (onSize)
    if (Result<> heard = onSize(size, int((FreeImage_GetBPP(pixels) + 7) / 8)); !heard) return Failure{heard.reason()};
  return decoded;
}

// Whether one of Qt's readers recognises the file.
bool qtReads(const QByteArray& source) {
  QFile in;
  return freeimage::OpenFile(in, source) && !QImageReader::imageFormat(&in).isEmpty();
}

// A PNG whose pixels are palette indices. The image library corrects its
// samples for the file's gamma but copies the palette as it stands.
bool isPalettePng(const QByteArray& source) {
  QFile in;
  if (!freeimage::OpenFile(in, source)) return false;
  const QByteArray start = in.read(26);
  return start.size() == 26 && start.mid(12, 4) == "IHDR" && start[25] == 3;
}

// Enough of a file's start to hold the signature or the brand box of the
// formats recognised by their first bytes.
QByteArray head(const QByteArray& source) {
  QFile in;
  return freeimage::OpenFile(in, source) ? in.read(256) : QByteArray();
}

// The decoder that alone reads a format the image library does not know,
// or reads wrongly (a raw file as linear light, far too dark).
const Decoder* soleDecoderFor(const QByteArray& source, FREE_IMAGE_FORMAT fif) {
  const QByteArray start = head(source);
  if (heifRecognises(start)) return &heifDecoder();
  if (jxlRecognises(start)) return &jxlDecoder();
  if (isoRawRecognises(start) || fif == FIF_RAW) return &rawDecoder();
  return nullptr;
}

// The decoders that read the file, in the order they are tried.
std::vector<const Decoder*> findDecoders(const QByteArray& source) {
  std::vector<const Decoder*> decoders;
  const FREE_IMAGE_FORMAT fif = freeimage::GetFileType(source, 0);
  if (const Decoder* sole = soleDecoderFor(source, fif)) return {sole};
  // The image library reads some TIFFs and BMPs wrongly and is brought down
  // by others; it stays for what libtiff's and gdk-pixbuf's readings leave.
  if (fif == FIF_TIFF) decoders.push_back(&tiffDecoder());
  if (fif == FIF_BMP) decoders.push_back(&pixbufDecoder());
  if (fif != FIF_UNKNOWN) decoders.push_back(&freeImageDecoder());
  if (qtReads(source)) decoders.insert(fif == FIF_PNG && isPalettePng(source) ? decoders.begin() : decoders.end(), &qtDecoder());
  return decoders;
}

}  // namespace

bool isRecognisedPicture(const QByteArray& source) {
  if (freeimage::GetFileType(source, 0) != FIF_UNKNOWN) return true;
  const QByteArray start = head(source);
  return heifRecognises(start) || jxlRecognises(start) || isoRawRecognises(start);
}

std::vector<const Decoder*> decodersFor(const QByteArray& source) {
  // Each step of a picture's conversion asks; the file is looked at once.
  thread_local QByteArray lastState;
  thread_local std::vector<const Decoder*> lastDecoders;
  const QByteArray state = freeimage::FileState(source);
  if (!state.isEmpty() && state == lastState) return lastDecoders;
  lastDecoders = findDecoders(source);
  lastState = state;
  return lastDecoders;
}

Result<DecodedPicture> decodePicture(const DecodeRequest& request, int rank) {
  const std::vector<const Decoder*> decoders = decodersFor(request.source);
  if (rank < 0 || rank >= int(decoders.size())) return Failure{reasons::damaged()};
  const Decoder& decoder = *decoders[size_t(rank)];
  const std::optional<QSize> header = decoder.probeSize(request.source);
  if (header && qint64(header->width()) * header->height() > MaxPicturePixels)
    return Failure{reasons::tooManyPixels(*header)};
  if (request.onSize)
    if (Result<> heard = request.onSize(header, decoder.decodedBytesPerPixel(request.source)); !heard)
      return Failure{heard.reason()};
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
