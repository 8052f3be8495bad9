#pragma once

#include "convert/ConvertPicture.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <optional>

class QProcess;
class QTimer;

// Converts pictures in helper processes, one per core, so that a picture
// that crashes or hangs the image library costs only itself, and the
// caller never waits on one. Each picture is asked for under a ticket and
// its result taken under the same ticket, in whatever order the caller likes.
//
// A worker may spend a picture's time limit in processor time, which it
// enforces itself, so a busy machine never costs a valid picture; the pool
// keeps a far longer limit in wall time for a worker that uses no processor
// at all (a read that never returns).
//
// Memory is held to a budget, worked out when the pool starts. A worker
// tells what its picture needs once it has read the header, and decodes it
// only when that fits in what the pictures in hand leave of the budget, in
// the order the pictures were submitted; its cap follows that need. A
// picture that needs more than the whole budget is refused untried.
class WorkerPool : public QObject {
  Q_OBJECT
 public:
  struct Options {
    QString program;  // the worker's executable; "" for this program's own
    int workers = 0;  // 0: one per core, as many as the budget allows
    int baseTimeLimitMs = 10000;
    int wallTimeFactor = 6;  // the wall-time backstop, as a multiple of the processor time allowed
    qint64 memoryBudgetBytes = 0;  // 0: what the machine can give when the pool starts
    qint64 memoryCapBytes = 0;     // a ceiling on each worker's address space, for tests; 0 for none
  };

  // Where the worker is for a program in `programFolder`: beside it in a
  // build tree, in its libexec folder once installed.
  static QString programBeside(const QString& programFolder);

  // Throws AppError when the worker program is not there.
  WorkerPool();
  explicit WorkerPool(Options options);
  // Returns at once: idle workers are told to go, busy ones are killed, and
  // untaken outputs are removed, each once no worker can write it any more.
  ~WorkerPool() override;

  // Starts converting a picture. Results arrive while the application
  // processes its events.
  void submit(int ticket, const ConvertRequest& request);
  // The ticket's result, once it is there; the pool forgets it then.
  std::optional<ConvertResult> take(int ticket);

  // Hands the next free worker the largest picture waiting (by its file's
  // size) rather than the first: for the end of a run, so that its last
  // pictures end together rather than one large one long after the rest.
  void setLargestFirst(bool largestFirst) { largestFirst_ = largestFirst; }

  int workerCount() const { return int(workers_.size()); }
  qint64 budget() const { return budget_; }
  // The needs of the pictures granted memory and not yet done.
  qint64 memoryInUse() const { return inUse_; }

 private:
  struct Job {
    int ticket;
    ConvertRequest request;
    qint64 bytes = 0;       // the source file's size
    int limitMs = 0;        // the processor time the worker allows itself
    bool writing = false;   // the worker has begun to write the output
    bool fallback = false;  // another decoder may try it, should this one fail
    qint64 need = 0;        // the memory it takes, once told
    bool asking = false;    // its worker waits for leave to decode it
    bool granted = false;   // its need is counted in the budget's use
  };
  struct Worker {
    std::unique_ptr<QProcess> process;
    std::unique_ptr<QTimer> deadline;
    QByteArray received;
    std::optional<Job> job;
    bool retiring = false;  // it ends after its result: nothing more for it
  };

  void startWorker(Worker& worker);
  // Ends the worker without waiting for it, killed or, when idle, told to
  // go; its output is removed once it is gone, when it can no longer write
  // it again.
  void letGo(Worker& worker, bool kill);
  void dispatch();
  void onOutput(Worker& worker);
  void onDeath(Worker& worker);
  void onTimeout(Worker& worker);
  void finish(Worker& worker, ConvertResult result);
  // Gives the worker's picture to the next decoder that reads it, in
  // another process, ahead of every picture waiting.
  void retry(Worker& worker);
  // Lets the workers that wait for memory decode their pictures, in the
  // order of their tickets, as far as the budget goes.
  void admit();
  // The job's memory no longer counts in the budget's use.
  void release(Job& job);

  Options options_;
  std::deque<Worker> workers_;
  std::deque<Job> waiting_;
  QHash<int, ConvertResult> results_;
  QString brokenReason_;  // why no worker can start, once that is known
  qint64 budget_ = 0;
  qint64 inUse_ = 0;      // the needs of the pictures granted and not yet done
  bool largestFirst_ = false;
};
