#include "queue/Paths.h"

#include "convert/Failure.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

QString ExtractFilenameFormPath(const QString& File) {
  const qsizetype length = File.size();
  if (length > 32767)
    throw AppError(QStringLiteral("Desbordamiento: la ruta es demasiado larga."));
  const QChar separator = QDir::separator();
  for (qsizetype position = length - 1; position >= 1; --position) {
    if (File[position - 1] == separator) return File.mid(position);
  }
  return QString();
}

QString trimSpaces(const QString& text) {
  qsizetype first = 0;
  qsizetype last = text.size();
  while (first < last && text[first] == u' ') ++first;
  while (last > first && text[last - 1] == u' ') --last;
  return text.mid(first, last - first);
}

bool isRegularFile(const QString& path) {
  struct stat info {};
  return !path.isEmpty() && ::stat(QFile::encodeName(path).constData(), &info) == 0 &&
         S_ISREG(info.st_mode);
}
