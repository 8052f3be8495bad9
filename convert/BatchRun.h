#pragma once

#include "convert/WorkerPool.h"

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>

#include <functional>

namespace mod_code {
class ImageQueue;
}

// The "Convertir" run without a window: every queued picture rescaled and
// written as JPEG into the destination folder under its own file name,
// byte for byte. The workers read ahead; results are applied strictly in
// queue order, and an observer hears each step as it is applied.
class BatchRun {
 public:
  struct Settings {
    QByteArray destination;  // the folder, with its separator at the end
    QSize size;
    int saveFlags = 0;
    WorkerPool::Options pool;
  };
  // What the run tells, for picture `position` of the queue, in this order.
  struct Observer {
    std::function<void(int position, const QByteArray& source, const QString& reason)> notRescaled;
    // The percentage done, as the queue stands at this moment.
    std::function<void(int position, float percent)> progress;
    std::function<void(int position, const QByteArray& output, const QString& reason)> notWritten;
    // The destination itself failed (gone, read-only, full, ...) on this
    // picture: the run ends here, and nothing more is heard.
    std::function<void(int position, const QString& reason, int written)> destinationFailed;
    // Not heard when the run was stopped.
    std::function<void(int written, int total)> finished;
  };

  // Converts the pictures queued when it starts and those added to the
  // queue while it runs; the percentage is of the queue as it stands.
  BatchRun(const mod_code::ImageQueue& queue, Settings settings);

  // Runs to the end, or until stop(). First removes what dead runs left in
  // the destination. Processes the application's events while it waits for
  // a result and once after each picture.
  // Throws AppError when no worker can be started.
  void run(const Observer& observer);
  // Finishes the picture in hand and tells nothing more; the workers stop
  // and take their unfinished files with them.
  void stop() { stopped_ = true; }

  // Where picture `position` is written.
  QByteArray outputPath(int position) const;

  // What the run would destroy beyond the outputs of earlier runs, worked
  // out from the queue and the file system as they stand.
  struct Overwrites {
    // Outputs that would replace a queued picture's own file (the
    // destination is that picture's folder, whatever path leads there),
    // one position for each such file.
    QList<int> originals;
    // Pictures whose output has the name of another, different picture's
    // output: of each name only the last one converted remains.
    QList<int> sharedNames;
  };
  Overwrites overwrites() const;

 private:
  const mod_code::ImageQueue& queue_;
  Settings settings_;
  bool stopped_ = false;
};

// Whether a failed write says something about the destination folder as a
// whole, rather than about one picture's file.
bool isDestinationError(int error, const QByteArray& destination);
