#include "queue/mod_code.h"

#include "convert/Failure.h"
#include "convert/Decode.h"
#include "queue/Paths.h"

namespace mod_code {

void ImageQueue::append(const QByteArray& path) {
  if (ImageCount() >= MaxImages)
    throw AppError(QStringLiteral("Desbordamiento: la lista no admite más de %1 imágenes.")
                       .arg(MaxImages));
  ImagePaths_.append(path);
}

void ImageQueue::removeAt(int index) { ImagePaths_.removeAt(index); }

void ImageQueue::clear() {
  ImagePaths_.clear();
  ImagePaths_.squeeze();
}

}  // namespace mod_code

bool isPicture(const QByteArray& path) {
  return isRegularFile(path) && isRecognisedPicture(path);
}
