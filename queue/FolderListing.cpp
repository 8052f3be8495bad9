#include "queue/FolderListing.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>

namespace {

QString describeErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return QStringLiteral("Permiso denegado.");
    case ENOENT: return QStringLiteral("La carpeta no existe.");
    case ENOTDIR: return QStringLiteral("No es una carpeta.");
    case EMFILE:
    case ENFILE: return QStringLiteral("Hay demasiados archivos abiertos.");
    case EIO: return QStringLiteral("Error de entrada/salida.");
    default: return QString::fromLocal8Bit(std::strerror(error));
  }
}

bool isFolder(const QByteArray& path, unsigned char type) {
  if (type == DT_DIR) return true;
  if (type != DT_LNK && type != DT_UNKNOWN) return false;
  struct stat info {};
  return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

Result<FolderListing> listFolder(const QString& folder) {
  auto failure = [&](int error) {
    return Failure{QStringLiteral("No se puede leer la carpeta %1: %2")
                       .arg(QDir::toNativeSeparators(folder), describeErrno(error))};
  };
  const QByteArray base = QFile::encodeName(folder);
  DIR* dir = ::opendir(base.constData());
  if (!dir) return failure(errno);
  const QByteArray prefix = base.endsWith('/') ? base : base + '/';
  QList<QByteArray> files;
  QList<QByteArray> folders;
  int readError = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      readError = errno;
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    QByteArray path = prefix + name;
    (isFolder(path, entry->d_type) ? folders : files).append(std::move(path));
  }
  ::closedir(dir);
  if (readError != 0) return failure(readError);
  auto toSortedPaths = [](const QList<QByteArray>& raw) {
    QStringList paths;
    paths.reserve(raw.size());
    for (const QByteArray& p : raw) paths.append(QFile::decodeName(p));
    std::sort(paths.begin(), paths.end(), [](const QString& a, const QString& b) {
      const int byLocale = QString::localeAwareCompare(a, b);
      return byLocale != 0 ? byLocale < 0 : a < b;
    });
    return paths;
  };
  return FolderListing{toSortedPaths(files), toSortedPaths(folders)};
}

std::optional<FolderId> folderId(const QString& folder) {
  struct stat info {};
  if (::stat(QFile::encodeName(folder).constData(), &info) != 0) return std::nullopt;
  return FolderId{info.st_dev, info.st_ino};
}
