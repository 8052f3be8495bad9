#pragma once

#include <QSize>
#include <QString>

// Small rules of the conversion run that need no window.

// The target size of the size list's entry at this index ("1024x768" first).
QSize presetSize(int sizeIndex);

// The JPEG save flags of the quality list's entry ("Buena", "Normal", "Baja").
int jpegFlagsForQuality(int qualityIndex);

// (position + 1) * 100 / count, computed wide and kept in single precision.
float progressPercent(int position, int count);

// A progress value as whole percent, halves to the even neighbour:
// 12.5 gives 12 and 37.5 gives 38.
long roundHalfEven(float value);

// The destination folder with the platform's separator at its end.
// Returns the text unchanged when its blank-trimmed form already ends in one.
QString withTrailingSeparator(const QString& destination);
