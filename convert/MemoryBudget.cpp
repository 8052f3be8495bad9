#include "convert/MemoryBudget.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 Unlimited = std::numeric_limits<qint64>::max();

QByteArray contents(const QByteArray& path) {
  QFile file(QFile::decodeName(path));
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A number of bytes in a file of one line; Unlimited for "max", for the
// huge value cgroup v1 writes for no limit, and for a file that is not there.
qint64 bytesIn(const QByteArray& path) {
  const QByteArray text = contents(path).trimmed();
  bool ok = false;
  const qint64 value = text.toLongLong(&ok);
  return ok && value < (qint64(1) << 62) ? value : Unlimited;
}

qint64 memAvailable(const QByteArray& root) {
  for (const QByteArray& line : contents(root + "/proc/meminfo").split('\n'))
    if (line.startsWith("MemAvailable:")) return line.mid(13).trimmed().split(' ').value(0).toLongLong() * 1024;
  return Unlimited;
}

// What a cgroup and its parents, up to the hierarchy's root, still allow.
qint64 leftIn(const QByteArray& mount, QByteArray group, const char* limitFile, const char* usageFile) {
  qint64 left = Unlimited;
  for (;;) {
    const QByteArray folder = mount + group;
    const qint64 limit = bytesIn(folder + '/' + limitFile);
    if (limit != Unlimited) left = std::min(left, std::max<qint64>(0, limit - bytesIn(folder + '/' + usageFile)));
    if (group.isEmpty() || group == "/") return left;
    group = group.left(std::max<qsizetype>(0, group.lastIndexOf('/')));
  }
}

}  // namespace

qint64 availableMemory(const QByteArray& root) {
  qint64 available = memAvailable(root);
  // hierarchy-ID:controllers:path, one line per hierarchy.
  for (const QByteArray& line : contents(root + "/proc/self/cgroup").split('\n')) {
    const QList<QByteArray> fields = line.split(':');
    if (fields.size() < 3) continue;
    const QByteArray path = fields.mid(2).join(':');
    if (fields[0] == "0" && fields[1].isEmpty()) {
      // cgroup v2, mounted alone or beside v1 ("unified").
      for (const char* mount : {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"})
        available = std::min(available, leftIn(root + mount, path, "memory.max", "memory.current"));
    } else if (fields[1].split(',').contains("memory")) {
      available = std::min(available, leftIn(root + "/sys/fs/cgroup/memory", path, "memory.limit_in_bytes",
                                             "memory.usage_in_bytes"));
    }
  }
  return available == Unlimited ? 0 : available;
}

qint64 runBudget(qint64 available) {
  // The desktop keeps an eighth, at least 64 MB and at most 1 GB of it.
  const qint64 reserve = std::clamp<qint64>(available / 8, qint64(64) << 20, qint64(1) << 30);
  return std::max<qint64>(0, available - reserve);
}
