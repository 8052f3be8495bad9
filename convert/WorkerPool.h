#pragma once

#include "convert/ConvertPicture.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>

class QProcess;
class QTimer;

// Converts pictures in helper processes, one per core, so that a picture
// that crashes or hangs the image library costs only itself, and the
// window never waits on one. Results are kept by ticket until taken.
class WorkerPool : public QObject {
  Q_OBJECT
 public:
  struct Options {
    QString program;         // the worker's executable
    int workers = 0;         // 0: one per core
    int baseTimeLimitMs = 10000;
    int msPerMegapixel = 200;  // more time for pictures that turn out large
  };

  // The worker beside the running program.
  static QString defaultProgram();

  // Throws AppError when the worker program is not there.
  WorkerPool();
  explicit WorkerPool(Options options);
  ~WorkerPool() override;  // stops the workers and removes untaken outputs

  // Starts converting a picture. Tickets are the caller's; each is used once.
  void submit(int ticket, const ConvertRequest& request);
  bool hasResult(int ticket) const { return results_.contains(ticket); }
  ConvertResult take(int ticket);
  int workerCount() const { return int(workers_.size()); }
  // Process ids of the running workers.
  QList<qint64> workerPids() const;

 signals:
  void resultReady(int ticket);

 private:
  struct Job {
    int ticket;
    ConvertRequest request;
  };
  struct Worker {
    std::unique_ptr<QProcess> process;
    std::unique_ptr<QTimer> deadline;
    QByteArray received;
    std::optional<Job> job;
  };

  void startWorker(Worker& worker);
  void dispatch();
  void onOutput(Worker& worker);
  void onDeath(Worker& worker, const QString& why);
  void finish(Worker& worker, ConvertResult result);

  Options options_;
  std::deque<Worker> workers_;
  std::deque<Job> waiting_;
  QHash<int, ConvertResult> results_;
  bool stopping_ = false;
  QString brokenReason_;  // why no worker can start, once that is known
};
