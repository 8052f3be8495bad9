#include "convert/OutputFile.h"

#include <QFile>
#include <QList>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Prefix[] = ".dimenzo-";

// Output files get the permissions any new file of the user gets.
mode_t newFileMode() {
  static const mode_t mode = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode_t(0666 & ~mask);
  }();
  return mode;
}

QByteArray firstLine(const char* file) {
  QFile in(QString::fromLatin1(file));
  return in.open(QIODevice::ReadOnly) ? in.readLine().trimmed() : QByteArray();
}

// When a process started, in clock ticks since boot: with its pid, it tells
// that process from a later one that got the same pid.
QByteArray startTimeOf(const QByteArray& pid) {
  const QByteArray stat = firstLine("/proc/" + pid + "/stat");
  return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(19);  // field 22
}

// This machine and this boot, eight hex digits each.
QByteArray machineAndBoot() {
  static const QByteArray tag = (firstLine("/etc/machine-id") + "00000000").left(8) +
                                (firstLine("/proc/sys/kernel/random/boot_id").replace('-', "") + "00000000").left(8);
  return tag;
}

// "<machine+boot>-<pid>-<start>": who made a temporary. Read once; it does
// not change while the process lives.
QByteArray ownerTag() {
  static const QByteArray tag = [] {
    const QByteArray pid = QByteArray::number(::getpid());
    return machineAndBoot() + '-' + pid + '-' + startTimeOf(pid);
  }();
  return tag;
}

// Whether the process that made a temporary of this name may still want it.
bool ownerMayBeAlive(const QByteArray& name) {
  const QList<QByteArray> parts = name.mid(int(sizeof Prefix) - 1).split('-');
  if (parts.size() != 4 || parts[0].size() != 16) return true;  // not ours to judge
  if (parts[0].left(8) != machineAndBoot().left(8)) return true;  // another machine's
  if (parts[0] != machineAndBoot()) return false;                  // from before a restart
  return startTimeOf(parts[1]) == parts[2];
}

// An empty file of a unique name in the folder, hidden from file managers.
Result<QByteArray> createTempIn(const QByteArray& folder) {
  QByteArray pattern = folder + '/' + Prefix + ownerTag() + "-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return Failure{systemErrorText(errno), errno};
  ::fchmod(fd, newFileMode());
  ::close(fd);
  return pattern;
}

}  // namespace

QByteArray folderOf(const QByteArray& path) {
  const qsizetype slash = path.lastIndexOf('/');
  return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

Result<QByteArray> createOutputTemp(const QByteArray& outputPath) { return createTempIn(folderOf(outputPath)); }

Result<> writeOutput(const QByteArray& tempPath, const QByteArray& bytes) {
  const int fd = ::open(tempPath.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return Failure{systemErrorText(errno), errno};
  for (qsizetype done = 0; done < bytes.size();) {
    const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      const int error = written < 0 ? errno : EIO;
      ::close(fd);
      return Failure{systemErrorText(error), error};
    }
    done += written;
  }
  if (::close(fd) != 0) return Failure{systemErrorText(errno), errno};
  return {};
}

Result<> commitOutput(const QByteArray& tempPath, const QByteArray& outputPath) {
  if (::rename(tempPath.constData(), outputPath.constData()) != 0) {
    const int error = errno;
    ::unlink(tempPath.constData());
    return Failure{systemErrorText(error), error};
  }
  return {};
}

void discardOutput(const QByteArray& tempPath) {
  if (!tempPath.isEmpty()) ::unlink(tempPath.constData());
}

void syncBeforeReplacing(const QByteArray& tempPath, const QByteArray& outputPath) {
  struct stat info {};
  if (::stat(outputPath.constData(), &info) != 0) return;
  const int fd = ::open(tempPath.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

Result<> checkWritableFolder(const QByteArray& folder) {
  struct stat info {};
  if (::stat(folder.constData(), &info) != 0) return Failure{QStringLiteral("no existe"), errno};
  if (!S_ISDIR(info.st_mode)) return Failure{QStringLiteral("no es un directorio"), ENOTDIR};
  Result<QByteArray> probe = createTempIn(folder);
  if (!probe)
    return Failure{QStringLiteral("no se puede escribir en él (%1)").arg(probe.reason().chopped(1)), probe.error()};
  discardOutput(*probe);
  return {};
}

int removeDeadTemporaries(const QByteArray& folder) {
  DIR* dir = ::opendir(folder.constData());
  if (!dir) return 0;
  QList<QByteArray> dead;
  while (const dirent* entry = ::readdir(dir))
    if (std::strncmp(entry->d_name, Prefix, sizeof Prefix - 1) == 0 && !ownerMayBeAlive(entry->d_name))
      dead.append(folder + '/' + entry->d_name);
  ::closedir(dir);
  for (const QByteArray& path : dead) ::unlink(path.constData());
  return int(dead.size());
}
