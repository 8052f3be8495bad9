#include "convert/OutputFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Output files get the permissions any new file of the user gets.
mode_t newFileMode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode_t(0666 & ~mask);
  }();
  return mode;
}

// An empty file of a unique name in the folder, hidden from file managers.
QString createTempIn(const QString& folder, int* error) {
  QByteArray pattern = QFile::encodeName(QDir(folder).filePath(QStringLiteral(".dimenzo-XXXXXX")));
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    *error = errno;
    return QString();
  }
  ::fchmod(fd, newFileMode());
  ::close(fd);
  return QFile::decodeName(pattern);
}

}  // namespace

Result<QString> createOutputTemp(const QString& outputPath) {
  int error = 0;
  const QString folder = QFileInfo(outputPath).absolutePath();
  const QString temp = createTempIn(folder, &error);
  if (temp.isEmpty())
    return Failure{QStringLiteral("No se puede crear un archivo en %1: %2").arg(folder, errnoText(error))};
  return temp;
}

Result<> commitOutput(const QString& tempPath, const QString& outputPath) {
  const QByteArray temp = QFile::encodeName(tempPath);
  if (::rename(temp.constData(), QFile::encodeName(outputPath).constData()) != 0) {
    const int error = errno;
    ::unlink(temp.constData());
    return Failure{errnoText(error)};
  }
  return {};
}

void discardOutput(const QString& tempPath) {
  if (!tempPath.isEmpty()) ::unlink(QFile::encodeName(tempPath).constData());
}

void syncBeforeReplacing(const QString& tempPath, const QString& outputPath) {
  if (!QFileInfo::exists(outputPath)) return;
  const int fd = ::open(QFile::encodeName(tempPath).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

Result<> checkWritableFolder(const QString& folder) {
  const QFileInfo info(folder);
  if (!info.exists()) return Failure{QStringLiteral("no existe")};
  if (!info.isDir()) return Failure{QStringLiteral("no es un directorio")};
  int error = 0;
  const QString probe = createTempIn(folder, &error);
  if (probe.isEmpty()) return Failure{QStringLiteral("no se puede escribir en él (%1)").arg(errnoText(error))};
  discardOutput(probe);
  return {};
}
