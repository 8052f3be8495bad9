#pragma once

#include "convert/Failure.h"
#include "convert/FreeImage.h"

#include <QByteArray>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

// The work on one picture, from its file to a JPEG of the target size.
// Touches no window and no shared state, so it can run anywhere. Paths are
// the file system's bytes.

struct ConvertRequest {
  QByteArray source;      // the picture to read
  QByteArray outputPath;  // where the JPEG is to end up
  QByteArray tempPath;    // an empty file beside outputPath to write into; "" to make one
  QSize size;             // exact width and height of the output
  int saveFlags = 0;      // the JPEG writer's quality flags
  int timeLimitMs = 0;    // processor time allowed before the picture's size is known
};

struct ConvertResult {
  enum class Outcome : quint8 {
    Written,      // the JPEG waits in tempPath, to be committed
    NotRescaled,  // the picture could not be read, decoded or rescaled
    NotWritten,   // the output could not be written
  };
  Outcome outcome = Outcome::NotRescaled;
  QString reason;       // why, in Spanish, when not Written
  QByteArray tempPath;  // a finished JPEG beside outputPath, when Written
  int error = 0;        // the system's errno, when a write failed on one

  static ConvertResult written(const QByteArray& tempPath) { return {Outcome::Written, QString(), tempPath, 0}; }
  static ConvertResult failed(Outcome outcome, const QString& reason, int error = 0) {
    return {outcome, reason, QByteArray(), error};
  }
};

// Pictures whose header claims more pixels than this are refused before
// any pixel is allocated.
inline constexpr qint64 MaxPicturePixels = 178'956'970;

// The processor time a picture may take: `baseMs`, more for a large file
// (which is all that a format that tells its size only once decoded, such
// as GIF, JPEG 2000 or DDS, gives to go by), and more once its size shows
// it to be large; the larger of the two.
int timeLimitMs(int baseMs, const QByteArray& file);
int timeLimitMs(int baseMs, QSize size);

// Hears a picture's size as soon as its header is read; nullopt when its
// format does not tell it before decoding, and then its size once decoded.
using SizeListener = std::function<void(std::optional<QSize>)>;

// Why a picture could not be read, in the user's words.
namespace reasons {
QString damaged(const QString& libraryMessage = QString());
QString tooManyPixels(QSize size);
QString tooSlow(int limitMs);
QString tooMuchMemory();
QString libraryCrashed();
}  // namespace reasons

// Reads and rescales the picture to exactly `size`, as 24-bit colour.
// A JPEG much larger than the target is decoded at a half, a quarter or an
// eighth of its size when `reducedDecode` is on, as long as the resampling
// still reduces it at least twice in each direction. Pictures of more than
// MaxPicturePixels are refused before anything is allocated for them beyond
// their decoding, which, for formats that hide their size, comes first.
//
// Colour: an RGB picture keeps its ICC profile (`profile`, as Exiv2 read
// it, or else the library's); CMYK and grey
// pictures with a profile are turned into sRGB through it; floating-point
// pictures are tone-mapped into sRGB. The result carries no other metadata.
Result<freeimage::Bitmap> rescalePicture(const QByteArray& source, QSize size, bool reducedDecode = true,
                                         const SizeListener& onSize = {},
                                         const QByteArray& profile = QByteArray());

// Reads, rescales and encodes the picture into a temporary file beside the
// output, with the source's metadata fit for the web. Nothing at outputPath
// is touched; on failure no temporary is left.
// `onWriting` hears when the encoding into the file begins.
ConvertResult convertPicture(const ConvertRequest& request, const SizeListener& onSize = {},
                             const std::function<void()>& onWriting = {});
