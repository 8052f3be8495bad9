#pragma once

#include "convert/Decode.h"
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
  int decoder = 0;        // which of the decoders that read the picture to use, the first 0
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
  bool retry = false;   // NotRescaled by the first decoder, and another reads the format

  static ConvertResult written(const QByteArray& tempPath) { return {Outcome::Written, QString(), tempPath, 0, false}; }
  static ConvertResult failed(Outcome outcome, const QString& reason, int error = 0) {
    return {outcome, reason, QByteArray(), error, false};
  }
};

// The processor time a picture may take: `baseMs`, more for a large file
// (which is all that a format that tells its size only once decoded, such
// as GIF, JPEG 2000 or DDS, gives to go by), and more once its size shows
// it to be large; the larger of the two.
int timeLimitMs(int baseMs, const QByteArray& file);
int timeLimitMs(int baseMs, QSize size);


// The memory a picture takes at its most while it is converted to `target`:
// its decoded pixels (`bytesPerPixel` each), their 24-bit copy, the output
// and what the libraries take besides. For a format that tells its size
// only once decoded, as much as a file of its size can hold.
qint64 memoryNeed(std::optional<QSize> stored, int bytesPerPixel, const QByteArray& file, QSize target);

// Sets this process's allocator as a process that converts picture after
// picture wants it: large buffers kept for the next picture, one heap.
void keepLargeBuffersBetweenPictures();

// The allocator's start-up settings (GLIBC_TUNABLES) for a process that
// converts pictures, given those it would inherit: its heap in pages of
// 2 MB where the system allows. A picture's buffers are tens of megabytes
// of fresh memory, and each 4 KB page costs a fault on first touch: on a
// virtual machine, as much time as decoding the pixels in it.
QByteArray allocatorTunables(const QByteArray& inherited);

// Why a picture could not be read, in the user's words.
namespace reasons {
QString tooSlow(int limitMs);
QString tooMuchMemory();
QString libraryCrashed();
QString needsMoreMemory(qint64 need, qint64 budget);
}  // namespace reasons

// Reads the picture with the decoder of rank `decoder` for it and rescales
// it to exactly the request's target, as 24-bit colour. A JPEG much larger
// than the target is decoded at a half, a quarter or an eighth of its size
// when the request allows it, as long as the resampling still reduces it at
// least twice in each direction.
//
// Colour: an RGB picture keeps its ICC profile; CMYK and grey pictures with
// a profile are turned into sRGB through it; floating-point pictures are
// tone-mapped into sRGB. The result carries no other metadata.
// `orientation`, where given, hears the Orientation the decoder says the
// output must carry (see DecodedPicture).
Result<freeimage::Bitmap> rescalePicture(const DecodeRequest& request, int decoder = 0,
                                         std::optional<int>* orientation = nullptr);
inline Result<freeimage::Bitmap> rescalePicture(const QByteArray& source, QSize size, bool reducedDecode = true) {
  return rescalePicture(DecodeRequest{source, size, reducedDecode, {}, {}});
}

// Reads, rescales and encodes the picture into a temporary file beside the
// output, with the source's metadata fit for the web. Nothing at outputPath
// is touched; on failure no temporary is left.
// `onWriting` hears when the encoding into the file begins.
ConvertResult convertPicture(const ConvertRequest& request, const SizeListener& onSize = {},
                             const std::function<void()>& onWriting = {});
