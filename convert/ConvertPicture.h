#pragma once

#include "convert/Failure.h"
#include "convert/FreeImage.h"

#include <QSize>
#include <QString>

#include <functional>

// The work on one picture, from its file to a JPEG of the target size.
// Touches no window and no shared state, so it can run anywhere.

struct ConvertRequest {
  QString source;      // the picture to read
  QString outputPath;  // where the JPEG is to end up
  QString tempPath;    // an empty file beside outputPath to write into; "" to make one
  QSize size;          // exact width and height of the output
  int saveFlags = 0;   // the JPEG writer's quality flags
};

struct ConvertResult {
  enum class Outcome : quint8 {
    Written,      // the JPEG waits in tempPath, to be committed
    NotRescaled,  // the picture could not be read, decoded or rescaled
    NotWritten,   // the output could not be written
  };
  Outcome outcome = Outcome::NotRescaled;
  QString reason;    // why, in Spanish, when not Written
  QString tempPath;  // a finished JPEG beside outputPath, when Written

  static ConvertResult written(const QString& tempPath) { return {Outcome::Written, QString(), tempPath}; }
  static ConvertResult failed(Outcome outcome, const QString& reason) { return {outcome, reason, QString()}; }
};

// Pictures whose header claims more pixels than this are refused before
// any pixel is allocated.
inline constexpr qint64 MaxPicturePixels = 178'956'970;

// Reads and rescales the picture to exactly `size`, as 24-bit colour.
// A JPEG much larger than the target is decoded at a half, a quarter or an
// eighth of its size when `reducedDecode` is on, as long as the resampling
// still reduces it at least twice in each direction. `onSize` hears the
// picture's size as soon as its header is read.
Result<freeimage::Bitmap> rescalePicture(const QString& source, QSize size, bool reducedDecode = true,
                                         const std::function<void(QSize)>& onSize = {});

// Reads, rescales and encodes the picture into a temporary file beside the
// output. Nothing at outputPath is touched; on failure no temporary is left.
ConvertResult convertPicture(const ConvertRequest& request, const std::function<void(QSize)>& onSize = {});
