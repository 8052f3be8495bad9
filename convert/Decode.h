#pragma once

// Reading a picture file into pixels: one step, several decoders. Whoever
// read the file, the rest of the conversion gets the same thing: pixels,
// what their channels mean, and the colour profile they are in.

#include "convert/Failure.h"
#include "convert/FreeImage.h"
#include "convert/Pixels.h"

#include <QByteArray>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

// Hears a picture's size as soon as its header is read, with the bytes a
// pixel takes once decoded; nullopt when its format does not tell the size
// before decoding, and then its size once decoded. A failure it returns
// stops the picture there, with its reason.
using SizeListener = std::function<Result<>(std::optional<QSize> size, int bytesPerPixel)>;

// Pictures of more pixels than this are refused before anything is
// allocated for them beyond their decoding, which, for formats that hide
// their size, comes first.
inline constexpr qint64 MaxPicturePixels = 178'956'970;

struct DecodedPicture {
  // Any kind of bitmap the image library holds: palettes, grey, colour,
  // 16 bits per channel, floating point.
  freeimage::Bitmap pixels;
  // What the fourth channel of four-channel pixels holds: transparency,
  // transparency by which the colours are already multiplied (a TIFF's
  // associated alpha), or bytes that only pad the pixel (a 32-bit BMP
  // without an alpha mask, a TIFF's unspecified extra sample), which must
  // not be taken for transparency.
  using Fourth = freeimage::FourthChannel;
  Fourth fourth = Fourth::Alpha;
  // Four-channel 8-bit pixels that are cyan, magenta, yellow and black, to
  // be turned into colour through `iccProfile`, a CMYK profile. A decoder
  // that has no such profile delivers colour itself.
  bool cmyk = false;
  // The profile the pixels are described by (RGB, grey or CMYK); empty when
  // the file names none.
  QByteArray iccProfile;
  // How the stored pixels are to be shown (an EXIF Orientation, 1 to 8),
  // when the decoder knows it better than the file's EXIF does: a HEIF's
  // rotation and mirror boxes, a JPEG XL's header, a camera's raw. The
  // output carries this one; nullopt leaves the file's own.
  std::optional<int> orientation;
};

struct DecodeRequest {
  QByteArray source;
  // The size the picture is to be rescaled to: a decoder may deliver it
  // smaller than stored (a JPEG's reduced decoding), as long as it stays at
  // least twice this size each way.
  QSize target;
  bool reducedDecode = true;
  // The file's colour profile as the metadata reader found it; a decoder
  // takes it over its own reading, which can be wrong.
  QByteArray iccProfile;
  SizeListener onSize;
};

// Reads the formats it knows. A decoder never throws; what it cannot read
// it refuses with a reason for the user.
class Decoder {
 public:
  virtual ~Decoder() = default;
  // The stored size from the header alone, without allocating pixels;
  // nullopt when the format tells it only once decoded.
  virtual std::optional<QSize> probeSize(const QByteArray& source) const = 0;
  // What a pixel takes in the bitmap decode() will make, as far as the
  // header tells: 8-bit colour with alpha unless the decoder knows better.
  virtual int decodedBytesPerPixel(const QByteArray& source) const {
    (void)source;
    return 4;
  }
  // `header` is what probeSize() told.
  virtual Result<DecodedPicture> decode(const DecodeRequest& request, std::optional<QSize> header) const = 0;
};

// Whether some decoder recognises the file as a picture, from its first
// bytes and the image library's recognition, without decoding it: the rule
// by which files join the queue.
bool isRecognisedPicture(const QByteArray& source);

// The decoders that read this file, in the order they are tried; empty when
// none recognises it. The image library first, except for the formats where
// another decoder reads what files hold more faithfully; HEIF, JPEG XL and
// camera raw files by their own library alone.
std::vector<const Decoder*> decodersFor(const QByteArray& source);

// Reads the picture with the decoder of that rank for it, with the size
// listener told and the pixel bound held whichever decoder it is.
Result<DecodedPicture> decodePicture(const DecodeRequest& request, int rank = 0);

namespace reasons {
QString damaged(const QString& libraryMessage = QString());
QString tooManyPixels(QSize size);
}  // namespace reasons
