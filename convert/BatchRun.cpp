#include "convert/BatchRun.h"

#include "convert/OutputFile.h"
#include "convert/RunMath.h"
#include "queue/Paths.h"
#include "queue/mod_code.h"

#include <QCoreApplication>
#include <QHash>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <set>
#include <variant>

using Outcome = ConvertResult::Outcome;

bool isDestinationError(int error, const QByteArray& destination) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EROFS:
    case ENOSPC:
    case EDQUOT: return true;
    // Refused for one file alone (another user's, in a shared folder with
    // the sticky bit; an immutable one), or for the folder as a whole: only
    // the folder can tell.
    case EACCES:
    case EPERM: return !checkWritableFolder(destination);
    default: return false;
  }
}

BatchRun::BatchRun(const mod_code::ImageQueue& queue, Settings settings)
    : queue_(queue), settings_(std::move(settings)) {}

QByteArray BatchRun::outputPath(int position) const {
  return settings_.destination + ExtractFilenameFormPath(queue_.ImagePaths().at(position));
}

BatchRun::Overwrites BatchRun::overwrites() const {
  const QList<QByteArray>& sources = queue_.ImagePaths();
  Overwrites found;
  // Most runs write into a folder that holds none of their outputs yet, and
  // then cost one look-up per picture.
  QList<std::pair<int, FileId>> existing;
  QHash<QByteArray, QList<int>> byName;
  for (int i = 0; i < sources.size(); ++i) {
    // The commit renames over the output's own entry, whatever it is; the
    // kernel resolves the links and ".." on the way to it.
    if (const std::optional<FileId> id = fileId(outputPath(i), false)) existing.append({i, *id});
    byName[ExtractFilenameFormPath(sources[i])].append(i);
  }

  if (!existing.isEmpty()) {
    // A queued link is lost if its own entry is replaced, and its picture
    // if the file it leads to is.
    std::set<FileId> sourceFiles;
    for (const QByteArray& source : sources)
      for (bool throughLink : {false, true})
        if (const std::optional<FileId> id = fileId(source, throughLink)) sourceFiles.insert(*id);
    std::set<FileId> replaced;
    for (const auto& [i, id] : existing)
      if (sourceFiles.count(id) && replaced.insert(id).second) found.originals.append(i);
  }

  for (const QList<int>& positions : std::as_const(byName)) {
    if (positions.size() < 2) continue;
    // The same picture queued twice loses nothing: its outputs are alike.
    std::set<std::variant<FileId, QByteArray>> pictures;
    for (int i : positions) {
      const std::optional<FileId> id = fileId(sources[i], true);
      pictures.insert(id ? std::variant<FileId, QByteArray>(*id) : sources[i]);
    }
    if (pictures.size() > 1) found.sharedNames.append(positions);
  }
  std::sort(found.sharedNames.begin(), found.sharedNames.end());
  return found;
}

void BatchRun::run(const Observer& observer) {
  WorkerPool pool(settings_.pool);
  removeDeadTemporaries(settings_.destination);
  // Results are applied in queue order, so a worker that has finished the
  // pictures after a large one waits for more until that one is done: far
  // enough ahead that it rarely does, near enough that the finished but
  // unapplied outputs stay few however long the queue.
  const int ahead = 8 * pool.workerCount() + 8;
  int submitted = 0;
  int written = 0;
  // The queue is read afresh at every picture: pictures dropped on the list
  // during the run are converted when the run gets to them.
  for (int i = 0; i < queue_.ImageCount(); ++i) {
    for (; submitted < queue_.ImageCount() && submitted < i + ahead; ++submitted)
      pool.submit(submitted, {queue_.ImagePaths().at(submitted), outputPath(submitted), QByteArray(),
                              settings_.size, settings_.saveFlags});
    // Once the whole queue is in the pool, the order no longer keeps the
    // progress even: what counts is that the workers end together.
    pool.setLargestFirst(submitted == queue_.ImageCount());
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
      if (isDestinationError(result->error, settings_.destination))
        return observer.destinationFailed(i, result->reason, written);
      observer.notWritten(i, outputPath(i), result->reason);
    }

    QCoreApplication::processEvents();
    if (stopped_) return;
  }
  observer.finished(written, queue_.ImageCount());
}
