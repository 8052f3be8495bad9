#pragma once

// The one door to the image library. Everything that decodes, resamples or
// encodes pictures goes through here, so that bitmaps always have an owner.
// File names are the file system's own bytes.

#include <FreeImage.h>

#include <QByteArray>
#include <QFile>
#include <QSize>
#include <QString>

#include <memory>
#include <optional>

namespace freeimage {

struct BitmapDeleter {
  void operator()(FIBITMAP* dib) const noexcept;
};
// A bitmap has exactly one owner; it is released when the owner goes.
using Bitmap = std::unique_ptr<FIBITMAP, BitmapDeleter>;

// The library's format detection; FIF_UNKNOWN for missing, unreadable or
// unrecognised files. Asked again of the same file, unchanged, it answers
// from memory: the steps of one picture's conversion all ask.
FREE_IMAGE_FORMAT GetFileType(const QByteArray& file, int size = 0);

// What tells one state of a file from another: the file, its size and
// when it last changed. Empty for a file that cannot be looked at.
QByteArray FileState(const QByteArray& file);

// The file's size in bytes; 0 for a file that cannot be looked at.
qint64 FileBytes(const QByteArray& file);

// Null when the format is unknown or the file cannot be decoded.
Bitmap Load(FREE_IMAGE_FORMAT fif, const QByteArray& file, int flags = 0);

// A new bitmap of exactly width x height; null for a null source or one the
// library cannot resample. The source stays with its owner.
Bitmap Rescale(FIBITMAP* dib, int width, int height,
               FREE_IMAGE_FILTER filter = FILTER_BSPLINE);

// The bitmap encoded as a JPEG with these flags; empty when the library
// cannot encode it.
QByteArray EncodeJpeg(FIBITMAP* dib, int flags);

// Width and height from the header alone, without allocating pixels.
// Empty when the format cannot tell them without decoding, or the file
// cannot be read.
std::optional<QSize> ProbeSize(FREE_IMAGE_FORMAT fif, const QByteArray& file);

// True for a JPEG whose segments before its image data are only those a
// JPEG needs (JFIF, Adobe's, tables, the frame) and a colour profile, which
// the decoder reads: no EXIF, XMP, IPTC, comment or maker's segment.
bool JpegHoldsNoMetadata(const QByteArray& file);

// Opens a file by its bytes for reading; QFile's own open takes a name as
// text, and a name that is not text would be lost on the way.
bool OpenFile(QFile& in, const QByteArray& file);

// The library's last diagnostic on this thread, cleared by each call above.
QString LastMessage();

}  // namespace freeimage
