#pragma once

#include <QByteArray>
#include <QtGlobal>

// How much memory a run may give its pictures, worked out when it starts:
// the smaller of what the machine has to give (MemAvailable, which counts
// the cache the kernel can reclaim) and what this program's memory cgroup
// and each of its parents with a limit still allow (cgroup v2's memory.max
// less memory.current; v1's memory.limit_in_bytes less memory.usage_in_bytes),
// less a reserve for the rest of the desktop. `root` is where /proc and /sys
// are found, "/" but for tests.
qint64 availableMemory(const QByteArray& root = "/");
qint64 runBudget(qint64 available);
