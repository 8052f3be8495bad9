#include "convert/WorkerPool.h"

#include "convert/MemoryBudget.h"
#include "convert/OutputFile.h"
#include "convert/WorkerProtocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>

namespace {

using Outcome = ConvertResult::Outcome;


// Why a worker died with a picture in hand.
ConvertResult deathResult(const QProcess& process, bool writing, int limitMs) {
  const bool crashed = process.exitStatus() == QProcess::CrashExit;
  const QString reason = crashed && process.exitCode() == SIGXCPU ? reasons::tooSlow(limitMs)
                         : writing ? QStringLiteral("El proceso de conversión se ha detenido al escribirla.")
                                   : reasons::libraryCrashed();
  return ConvertResult::failed(writing ? Outcome::NotWritten : Outcome::NotRescaled, reason);
}

// Workers on their way out. Each is held until it has gone, and only then is
// its unfinished output removed (before, it could write the file again), all
// without anyone waiting for it: a worker that takes long to die, or to
// hand its memory back, holds up nobody.
class Reaper : public QObject {
 public:
  static Reaper& instance() {
    static QPointer<Reaper> reaper;
    if (!reaper) reaper = new Reaper(QCoreApplication::instance());
    return *reaper;
  }

  void take(QProcess* process, const QByteArray& temp) {
    process->setParent(this);
    temps_.insert(process, temp);
    connect(process, &QProcess::finished, this, [this, process] { bury(process); });
    if (process->state() == QProcess::NotRunning) return bury(process);
    // One told to go that does not is made to.
    QTimer::singleShot(GraceMs, process, [process] { process->kill(); });
  }

  ~Reaper() override {
    // The program is ending: what is left is waited for here.
    for (QProcess* process : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) {
      process->disconnect(this);
      process->kill();
      process->waitForFinished(2000);
      discardOutput(temps_.value(process));
    }
  }

 private:
  static constexpr int GraceMs = 5000;
  explicit Reaper(QObject* parent) : QObject(parent) {}

  void bury(QProcess* process) {
    discardOutput(temps_.take(process));
    process->disconnect(this);
    process->deleteLater();
  }

  QHash<QProcess*, QByteArray> temps_;
};

}  // namespace

QString WorkerPool::programBeside(const QString& programFolder) {
  const QDir folder(programFolder);
  const QString inBuildTree = folder.filePath(QStringLiteral("dimenzo-worker"));
  if (QFileInfo(inBuildTree).isExecutable()) return inBuildTree;
  return QDir::cleanPath(folder.filePath(QStringLiteral(DIMENZO_LIBEXEC_FROM_BIN "/dimenzo-worker")));
}

WorkerPool::WorkerPool() : WorkerPool(Options()) {}

WorkerPool::WorkerPool(Options options) : options_(std::move(options)) {
  if (options_.program.isEmpty()) options_.program = programBeside(QCoreApplication::applicationDirPath());
  const qint64 budget = options_.memoryBudgetBytes > 0 ? options_.memoryBudgetBytes : runBudget(availableMemory());
  // One per core, as long as each can have a typical photo's worth.
  constexpr qint64 TypicalNeed = qint64(256) << 20;
  if (options_.workers <= 0)
    options_.workers = int(std::clamp<qint64>(budget / TypicalNeed, 1, std::max(1, QThread::idealThreadCount())));
  // What the workers hold of their own, their libraries loaded and ready,
  // comes off what the pictures may take.
  constexpr qint64 WorkerAlone = qint64(32) << 20;
  budget_ = std::max<qint64>(budget - options_.workers * WorkerAlone, budget / 2);
  if (!QFileInfo(options_.program).isExecutable())
    throw AppError(QStringLiteral("No se encuentra el programa de conversión %1.").arg(options_.program));
  for (int i = 0; i < options_.workers; ++i) startWorker(workers_.emplace_back());
}

WorkerPool::~WorkerPool() {
  for (Worker& worker : workers_) letGo(worker, worker.job.has_value());
  for (const Job& job : waiting_) discardOutput(job.request.tempPath);
  for (const ConvertResult& result : std::as_const(results_)) discardOutput(result.tempPath);
}

void WorkerPool::startWorker(Worker& worker) {
  if (worker.process) worker.process.release()->deleteLater();  // may be inside its own signal
  worker.received.clear();
  worker.retiring = false;
  worker.process = std::make_unique<QProcess>();
  QProcess* process = worker.process.get();
  process->setProgram(options_.program);
  QStringList arguments{QString::number(QCoreApplication::applicationPid())};
  if (options_.memoryCapBytes > 0) arguments << QString::number(options_.memoryCapBytes);
  process->setArguments(arguments);
  process->setStandardErrorFile(QProcess::nullDevice());
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("GLIBC_TUNABLES"),
                     QString::fromLocal8Bit(allocatorTunables(qgetenv("GLIBC_TUNABLES"))));
  process->setProcessEnvironment(environment);
  connect(process, &QProcess::readyReadStandardOutput, this, [this, &worker] { onOutput(worker); });
  connect(process, &QProcess::finished, this, [this, &worker] { onDeath(worker); });
  connect(process, &QProcess::errorOccurred, this, [this, &worker](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart) onDeath(worker);
  });
  if (!worker.deadline) {
    worker.deadline = std::make_unique<QTimer>();
    worker.deadline->setSingleShot(true);
    connect(worker.deadline.get(), &QTimer::timeout, this, [this, &worker] { onTimeout(worker); });
  }
  process->start();
}

void WorkerPool::letGo(Worker& worker, bool kill) {
  worker.deadline->stop();
  QProcess* process = worker.process.release();
  process->disconnect(this);
  if (kill)
    process->kill();
  else
    process->closeWriteChannel();  // a worker ends when its input does
  Reaper::instance().take(process, worker.job ? worker.job->request.tempPath : QByteArray());
}

void WorkerPool::submit(int ticket, const ConvertRequest& request) {
  Job job{ticket, request};
  job.request.timeLimitMs = options_.baseTimeLimitMs;
  // As the worker will reckon it before it knows the picture's size.
  job.limitMs = timeLimitMs(options_.baseTimeLimitMs, request.source);
  job.bytes = freeimage::FileBytes(request.source);
  waiting_.push_back(std::move(job));
  dispatch();
}

std::optional<ConvertResult> WorkerPool::take(int ticket) {
  if (!results_.contains(ticket)) return std::nullopt;
  return results_.take(ticket);
}

void WorkerPool::dispatch() {
  if (!brokenReason_.isEmpty()) {
    // No worker can start: every picture waiting gets the reason at once.
    for (; !waiting_.empty(); waiting_.pop_front()) {
      discardOutput(waiting_.front().request.tempPath);
      results_.insert(waiting_.front().ticket, ConvertResult::failed(Outcome::NotRescaled, brokenReason_));
    }
    return;
  }
  for (Worker& worker : workers_) {
    if (worker.job || worker.retiring || worker.process->state() == QProcess::NotRunning) continue;
    std::deque<Job>::iterator next;
    for (;;) {
      if (waiting_.empty()) return;
      // A picture that goes to another decoder stays ahead of the rest.
      next = !largestFirst_ || waiting_.front().request.decoder > 0 ? waiting_.begin()
                            : std::max_element(waiting_.begin(), waiting_.end(),
                                               [](const Job& a, const Job& b) { return a.bytes < b.bytes; });
      if (!next->request.tempPath.isEmpty()) break;
      // The output's temporary is made only now, so that pictures waiting
      // their turn, however many, leave nothing in the destination.
      Result<QByteArray> temp = createOutputTemp(next->request.outputPath);
      if (temp) {
        next->request.tempPath = *temp;
        break;
      }
      results_.insert(next->ticket, ConvertResult::failed(Outcome::NotWritten, temp.reason(), temp.error()));
      waiting_.erase(next);
    }
    worker.job = std::move(*next);
    waiting_.erase(next);
    worker.process->write(worker::encodeMessage(worker.job->request));
    worker.deadline->start(options_.wallTimeFactor * worker.job->limitMs);
  }
}

void WorkerPool::onOutput(Worker& worker) {
  worker.received.append(worker.process->readAllStandardOutput());
  while (std::optional<worker::Reply> reply = worker::takeReply(worker.received)) {
    if (!worker.job) continue;
    if (const auto* limit = std::get_if<worker::LimitReport>(&*reply)) {
      worker.job->limitMs = limit->limitMs;
      worker.deadline->start(options_.wallTimeFactor * worker.job->limitMs);
    } else if (std::holds_alternative<worker::WritingReport>(*reply)) {
      worker.job->writing = true;
    } else if (std::holds_alternative<worker::RetiringReport>(*reply)) {
      worker.retiring = true;
    } else if (std::holds_alternative<worker::FallbackReport>(*reply)) {
      worker.job->fallback = true;
    } else if (const auto* need = std::get_if<worker::NeedReport>(&*reply)) {
      // A guess from a file's size is held to what there is; a size the
      // header told is not.
      worker.job->need = need->sizeKnown ? need->bytes : std::min(need->bytes, budget_);
      worker.job->asking = true;
      worker.deadline->stop();  // waiting is no work
      admit();
    } else if (std::get<ConvertResult>(*reply).retry && worker.job->fallback) {
      retry(worker);
    } else {
      finish(worker, std::get<ConvertResult>(*reply));
    }
  }
}

void WorkerPool::onDeath(Worker& worker) {
  if (worker.process->error() == QProcess::FailedToStart) {
    brokenReason_ = QStringLiteral("No se puede iniciar el programa de conversión %1.").arg(options_.program);
    if (worker.job) finish(worker, ConvertResult::failed(Outcome::NotRescaled, brokenReason_));
    dispatch();
    return;
  }
  if (worker.job) {
    const bool slow = worker.process->exitStatus() == QProcess::CrashExit && worker.process->exitCode() == SIGXCPU;
    if (worker.job->fallback && !worker.job->writing && !slow)
      retry(worker);
    else
      finish(worker, deathResult(*worker.process, worker.job->writing, worker.job->limitMs));
  }
  startWorker(worker);
  dispatch();
}

void WorkerPool::onTimeout(Worker& worker) {
  if (!worker.job) return;
  release(*worker.job);
  const Job job = *worker.job;
  letGo(worker, true);
  worker.job.reset();
  results_.insert(job.ticket, ConvertResult::failed(job.writing ? Outcome::NotWritten : Outcome::NotRescaled,
                                                     reasons::tooSlow(options_.wallTimeFactor * job.limitMs)));
  startWorker(worker);
  dispatch();
  admit();
}

void WorkerPool::admit() {
  std::vector<Worker*> asking;
  for (Worker& worker : workers_)
    if (worker.job && worker.job->asking) asking.push_back(&worker);
  std::sort(asking.begin(), asking.end(), [](Worker* a, Worker* b) { return a->job->ticket < b->job->ticket; });
  for (Worker* worker : asking) {
    Job& job = *worker->job;
    worker::Grant grant;
    if (job.need > budget_) {
      grant.refusal = reasons::needsMoreMemory(job.need, budget_);
    } else if (inUse_ > 0 && inUse_ + job.need > budget_) {
      return;  // it waits for pictures in hand to finish, and the later ones with it
    } else {
      inUse_ += job.need;
      job.granted = true;
      // Room above the estimate, so that a picture a little off it still
      // converts, and address space that holds no memory (the stacks and
      // heaps a library's threads reserve); the budget counts the estimate.
      grant.bytes = job.need + job.need / 2 + (qint64(128) << 20);
    }
    job.asking = false;
    worker->process->write(worker::encodeMessage(grant));
    worker->deadline->start(options_.wallTimeFactor * job.limitMs);
  }
}

void WorkerPool::release(Job& job) {
  if (std::exchange(job.granted, false)) inUse_ -= job.need;
}

void WorkerPool::retry(Worker& worker) {
  worker.deadline->stop();
  release(*worker.job);
  Job job = *std::exchange(worker.job, std::nullopt);
  // The first try may have removed its file, or left it half written: the
  // next gets a new one.
  discardOutput(std::exchange(job.request.tempPath, QByteArray()));
  ++job.request.decoder;
  job.limitMs = timeLimitMs(options_.baseTimeLimitMs, job.request.source);
  job.fallback = false;
  job.need = 0;
  waiting_.push_front(std::move(job));
  dispatch();
  admit();
}

void WorkerPool::finish(Worker& worker, ConvertResult result) {
  worker.deadline->stop();
  release(*worker.job);
  const Job job = *std::exchange(worker.job, std::nullopt);
  if (result.outcome != Outcome::Written) discardOutput(job.request.tempPath);
  results_.insert(job.ticket, std::move(result));
  dispatch();
  admit();
}
