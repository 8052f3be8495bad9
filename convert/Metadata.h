#pragma once

// What a picture says about itself, read with Exiv2 from the source and
// written into the output JPEG: EXIF, IPTC and XMP. Only what is named in
// Metadata.cpp's list goes on: what the owner wrote to describe, credit and
// protect the picture, how it was taken, and how to show it. Where it was
// taken, maker notes, thumbnails and previews, serial numbers and editing
// history are left out, and so is whatever that list does not know.

#include <QByteArray>
#include <QSize>

#include <memory>
#include <optional>

class Metadata {
 public:
  // Never fails: a source whose metadata cannot be read has none.
  static Metadata read(const QByteArray& path);
  // The same, from blocks another library took out of a container Exiv2
  // does not read: `exif` from its TIFF header on (an "Exif\0\0" before it
  // is skipped), `xmp` an XMP packet, `icc` a colour profile; any may be empty.
  static Metadata fromBlocks(const QByteArray& exif, const QByteArray& xmp, const QByteArray& icc = {});

  // The source's ICC profile, wherever its format keeps it; empty if none.
  QByteArray iccProfile() const;

  // Writes what is kept into an encoded JPEG of `size`, whose colour
  // profile stays. What would not fit in its JPEG segment is left out,
  // bulkiest first, never the rest with it. `orientation`, where given,
  // is the Orientation the output carries instead of the source's (1, or
  // none, shows the pixels as they are). False, and the JPEG untouched,
  // when nothing can be written.
  bool writeInto(QByteArray& jpeg, QSize size, std::optional<int> orientation = std::nullopt) const;

 private:
  struct Data;
  std::shared_ptr<const Data> data_;
};
