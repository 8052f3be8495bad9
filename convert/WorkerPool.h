#pragma once

#include "convert/ConvertPicture.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class QProcess;
class QTimer;

// Converts pictures in helper processes, one per core, so that a picture
// that crashes or hangs the image library costs only itself, and the
// window never waits on one. Results come back in the order asked for.
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

  // The result for tickets 0, 1, 2 ... asked for in that order: keeps the
  // workers a few pictures ahead (up to `last`, with requests from
  // `requestFor`) and processes the application's events while it waits.
  // Empty when `cancelled` turns true meanwhile.
  std::optional<ConvertResult> nextInOrder(int ticket, int last,
                                           const std::function<ConvertRequest(int)>& requestFor,
                                           const std::function<bool()>& cancelled = {});
  int workerCount() const { return int(workers_.size()); }
  // Process ids of the running workers.
  QList<qint64> workerPids() const;

 private:
  // Starts converting a picture under its ticket.
  void submit(int ticket, const ConvertRequest& request);
  bool hasResult(int ticket) const { return results_.contains(ticket); }
  ConvertResult take(int ticket);

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
  int submitted_ = 0;  // tickets handed out by nextInOrder
  QString brokenReason_;  // why no worker can start, once that is known
};
