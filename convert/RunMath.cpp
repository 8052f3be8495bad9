#include "convert/RunMath.h"

#include "queue/Paths.h"

#include <FreeImage.h>

#include <QDir>

#include <array>
#include <cmath>

QSize presetSize(int sizeIndex) {
  static constexpr std::array<QSize, 5> presets{
      QSize(1024, 768), QSize(800, 600), QSize(640, 480), QSize(320, 240), QSize(160, 120)};
  if (sizeIndex < 0 || sizeIndex >= int(presets.size())) return presets[2];
  return presets[size_t(sizeIndex)];
}

int jpegFlagsForQuality(int qualityIndex) {
  switch (qualityIndex) {
    case 0: return JPEG_QUALITYGOOD;
    case 2: return JPEG_QUALITYAVERAGE;
    default: return JPEG_QUALITYNORMAL;
  }
}

float progressPercent(int position, int count) {
  if (count <= 0) return 100.0f;
  return float((double(position) + 1.0) * 100.0 / double(count));
}

long roundHalfEven(float value) {
  const double floor = std::floor(double(value));
  const double fraction = double(value) - floor;
  long whole = long(floor);
  if (fraction > 0.5 || (fraction == 0.5 && (whole % 2) != 0)) ++whole;
  return whole;
}

QString withTrailingSeparator(const QString& destination) {
  if (trimSpaces(destination).endsWith(QDir::separator())) return destination;
  return destination + QDir::separator();
}
