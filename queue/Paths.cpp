#include "queue/Paths.h"

#include "convert/Failure.h"

#include <QFile>

#include <sys/stat.h>

QByteArray ExtractFilenameFormPath(const QByteArray& File) {
  const qsizetype length = File.size();
  if (length > 32767) throw AppError(QStringLiteral("Desbordamiento: la ruta es demasiado larga."));
  for (qsizetype position = length - 1; position >= 1; --position) {
    if (File[position - 1] == '/') return File.mid(position);
  }
  return QByteArray();
}

QString displayPath(const QByteArray& path) { return QFile::decodeName(path); }

QByteArray pathOf(const QString& text) { return QFile::encodeName(text); }

QString trimSpaces(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text[first] == u' ') ++first;
  while (last > first && text[last - 1] == u' ') --last;
  return text.mid(first, last - first);
}

bool isRegularFile(const QByteArray& path) {
  struct stat info {};
  // The system reads a name only up to a NUL byte: a dropped "a.png%00.txt"
  // would pass for "a.png" and be written under that name.
  return !path.isEmpty() && !path.contains('\0') && ::stat(path.constData(), &info) == 0 &&
         S_ISREG(info.st_mode);
}

std::optional<FileId> fileId(const QByteArray& path, bool throughLink) {
  struct stat info {};
  if ((throughLink ? ::stat(path.constData(), &info) : ::lstat(path.constData(), &info)) != 0) return std::nullopt;
  return FileId{info.st_dev, info.st_ino};
}
