#include "convert/BatchRun.h"

#include "convert/OutputFile.h"
#include "convert/RunMath.h"
#include "queue/Paths.h"
#include "queue/mod_code.h"

#include <QCoreApplication>

using Outcome = ConvertResult::Outcome;

BatchRun::BatchRun(const mod_code::ImageQueue& queue, Settings settings)
    : queue_(queue), settings_(std::move(settings)) {}

QString BatchRun::outputPath(int position) const {
  return settings_.destination + ExtractFilenameFormPath(queue_.ImagePaths().at(position));
}

void BatchRun::run(const Observer& observer) {
  WorkerPool pool(settings_.pool);
  const int last = queue_.ImageCount() - 1;
  // Far enough ahead that no worker waits on us, near enough that memory
  // stays flat however long the queue.
  const int ahead = 2 * pool.workerCount() + 2;
  int submitted = 0;
  int written = 0;
  for (int i = 0; i <= last; ++i) {
    for (; submitted <= last && submitted < i + ahead; ++submitted)
      pool.submit(submitted, {queue_.ImagePaths().at(submitted), outputPath(submitted), QString(),
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
        *result = ConvertResult::failed(Outcome::NotWritten, committed.reason());
    }
    if (result->outcome == Outcome::NotWritten) observer.notWritten(i, outputPath(i), result->reason);

    QCoreApplication::processEvents();
    if (stopped_) return;
  }
  observer.finished(written, last + 1);
}
