#include "convert/BatchRun.h"

#include "convert/OutputFile.h"
#include "convert/RunMath.h"
#include "queue/Paths.h"
#include "queue/mod_code.h"

#include <QCoreApplication>

#include <cerrno>

using Outcome = ConvertResult::Outcome;

bool isDestinationError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EROFS:
    case ENOSPC:
    case EDQUOT:
    case EACCES:
    case EPERM: return true;
    default: return false;
  }
}

BatchRun::BatchRun(const mod_code::ImageQueue& queue, Settings settings)
    : queue_(queue), settings_(std::move(settings)) {}

QByteArray BatchRun::outputPath(int position) const {
  return settings_.destination + ExtractFilenameFormPath(queue_.ImagePaths().at(position));
}

void BatchRun::run(const Observer& observer) {
  WorkerPool pool(settings_.pool);
  removeDeadTemporaries(settings_.destination);
  const int last = queue_.ImageCount() - 1;
  // Far enough ahead that no worker waits on us, near enough that memory
  // stays flat however long the queue.
  const int ahead = 2 * pool.workerCount() + 2;
  int submitted = 0;
  int written = 0;
  for (int i = 0; i <= last; ++i) {
    for (; submitted <= last && submitted < i + ahead; ++submitted)
      pool.submit(submitted, {queue_.ImagePaths().at(submitted), outputPath(submitted), QByteArray(),
                              settings_.size, settings_.saveFlags});
    std::optional<ConvertResult> result;
    while (!(result = pool.take(i))) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      if (stopped_) return;
    }

    if (result->outcome == Outcome::NotRescaled)
      observer.notRescaled(i, queue_.ImagePaths().at(i), result->reason);
    observer.progress(i, progressPercent(i, queue_.ImageCount()));
    if (result->outcome == Outcome::Written) {
      const Result<> committed = commitOutput(result->tempPath, outputPath(i));
      if (committed)
        ++written;
      else
        *result = ConvertResult::failed(Outcome::NotWritten, committed.reason(), committed.error());
    }
    if (result->outcome == Outcome::NotWritten) {
      if (isDestinationError(result->error)) return observer.destinationFailed(i, result->reason, written);
      observer.notWritten(i, outputPath(i), result->reason);
    }

    QCoreApplication::processEvents();
    if (stopped_) return;
  }
  observer.finished(written, last + 1);
}
