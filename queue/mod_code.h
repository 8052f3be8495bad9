#pragma once

#include <QByteArray>
#include <QList>

namespace mod_code {

// The files the next run will convert, in the order they were accepted,
// each as the file system's bytes. The same path may stand any number of
// times.
class ImageQueue {
 public:
  static constexpr int MaxImages = 32767;

  int ImageCount() const { return int(ImagePaths_.size()); }
  const QList<QByteArray>& ImagePaths() const { return ImagePaths_; }

  // Throws AppError when the queue already holds MaxImages, before changing
  // anything.
  void append(const QByteArray& path);
  void removeAt(int index);
  void clear();

 private:
  QList<QByteArray> ImagePaths_;
};

}  // namespace mod_code

// Whether a file may join the queue: a regular file (links followed) whose
// contents a decoder recognises as a picture (the image library's
// recognition, or the first bytes of HEIF, AVIF, JPEG XL and CR3 files).
// Names and extensions play no part.
bool isPicture(const QByteArray& path);
