#include "queue/Paths.h"

#include "convert/Failure.h"

#include <QFile>
#include <QStringList>

#include <dirent.h>
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

namespace {

bool exists(const QByteArray& path) {
  struct stat info {};
  return ::lstat(path.constData(), &info) == 0;
}

// The entry of `folder` that reads as `name`; empty when none does.
QByteArray entryReadAs(const QByteArray& folder, const QString& name) {
  QByteArray found;
  DIR* dir = ::opendir(folder.isEmpty() ? "/" : folder.constData());
  if (!dir) return found;
  while (const dirent* entry = ::readdir(dir)) {
    const QByteArray bytes(entry->d_name);
    // Of names that read alike, the first by its bytes, so the choice does
    // not change with the order of the listing.
    if (QFile::decodeName(bytes) == name && (found.isEmpty() || bytes < found)) found = bytes;
  }
  ::closedir(dir);
  return found;
}

}  // namespace

QByteArray pathOf(const QString& text) {
  const QByteArray encoded = QFile::encodeName(text);
  // Only a name that was not text reads with a replacement character; its
  // bytes are found again in its folder's listing, one level at a time.
  if (!text.contains(QChar::ReplacementCharacter) || !text.startsWith(u'/') || exists(encoded)) return encoded;
  QByteArray resolved;
  for (const QString& part : text.split(u'/', Qt::SkipEmptyParts)) {
    QByteArray entry = QFile::encodeName(part);
    if (part.contains(QChar::ReplacementCharacter) && !exists(resolved + '/' + entry)) entry = entryReadAs(resolved, part);
    if (entry.isEmpty()) return encoded;
    resolved += '/' + entry;
  }
  return text.endsWith(u'/') ? resolved + '/' : resolved;
}

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

bool isDirectory(const QByteArray& path) {
  struct stat info {};
  return !path.contains('\0') && ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::optional<FileId> fileId(const QByteArray& path, bool throughLink) {
  struct stat info {};
  if ((throughLink ? ::stat(path.constData(), &info) : ::lstat(path.constData(), &info)) != 0) return std::nullopt;
  return FileId{info.st_dev, info.st_ino};
}
