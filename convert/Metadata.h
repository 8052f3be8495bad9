#pragma once

// What a picture says about itself, read with Exiv2 from the source and
// written into the output JPEG: EXIF, IPTC and XMP, orientation included,
// with the pixel dimensions made the output's. A picture for the web does
// not publish where it was taken: the GPS data and the embedded thumbnail
// (which may show what the owner cropped away) are left out.

#include <QByteArray>
#include <QSize>

#include <memory>

class Metadata {
 public:
  // Never fails: a source whose metadata cannot be read has none.
  static Metadata read(const QByteArray& path);

  // The source's ICC profile, wherever its format keeps it; empty if none.
  QByteArray iccProfile() const;

  // Writes the metadata into an encoded JPEG of `size`. False, and the JPEG
  // untouched, when that cannot be done.
  bool writeInto(QByteArray& jpeg, QSize size) const;

 private:
  struct Data;
  std::shared_ptr<const Data> data_;
};
