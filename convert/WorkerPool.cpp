#include "convert/WorkerPool.h"

#include "convert/WorkerProtocol.h"

#include "app/AppError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

ConvertResult failure(const QString& reason) {
  ConvertResult result;
  result.outcome = ConvertResult::Outcome::NotRescaled;
  result.reason = reason;
  return result;
}

}  // namespace

QString WorkerPool::defaultProgram() {
  return QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("dimenzo-worker"));
}

WorkerPool::WorkerPool() : WorkerPool(Options()) {}

WorkerPool::WorkerPool(Options options) : options_(std::move(options)) {
  if (options_.program.isEmpty()) options_.program = defaultProgram();
  if (options_.workers <= 0) options_.workers = std::max(1, QThread::idealThreadCount());
  if (!QFileInfo(options_.program).isExecutable())
    throw AppError(QStringLiteral("No se encuentra el programa de conversión %1.").arg(options_.program));
  for (int i = 0; i < options_.workers; ++i) startWorker(workers_.emplace_back());
}

WorkerPool::~WorkerPool() {
  stopping_ = true;
  for (Worker& worker : workers_) {
    if (worker.job) discardOutput(worker.job->request.tempPath);
    if (!worker.process) continue;
    worker.process->disconnect(this);
    worker.process->kill();
    worker.process->waitForFinished(2000);
  }
  for (const Job& job : waiting_) discardOutput(job.request.tempPath);
  for (const ConvertResult& result : std::as_const(results_)) discardOutput(result.tempPath);
}

void WorkerPool::startWorker(Worker& worker) {
  if (worker.process) worker.process.release()->deleteLater();  // may be inside its own signal
  worker.received.clear();
  worker.process = std::make_unique<QProcess>();
  QProcess* process = worker.process.get();
  process->setProgram(options_.program);
  process->setStandardErrorFile(QProcess::nullDevice());
  connect(process, &QProcess::readyReadStandardOutput, this, [this, &worker] { onOutput(worker); });
  connect(process, &QProcess::finished, this, [this, &worker] {
    onDeath(worker, QStringLiteral("El proceso de conversión se ha detenido al leer la imagen."));
  });
  connect(process, &QProcess::errorOccurred, this, [this, &worker](QProcess::ProcessError error) {
    if (error == QProcess::FailedToStart)
      onDeath(worker, QStringLiteral("No se puede iniciar el programa de conversión %1.").arg(options_.program));
  });
  if (!worker.deadline) {
    worker.deadline = std::make_unique<QTimer>();
    worker.deadline->setSingleShot(true);
    connect(worker.deadline.get(), &QTimer::timeout, this, [this, &worker] {
      if (!worker.job) return;
      const Job job = *std::exchange(worker.job, std::nullopt);
      worker.process->disconnect(this);
      worker.process->kill();
      worker.process->waitForFinished(2000);
      discardOutput(job.request.tempPath);
      results_.insert(job.ticket, failure(QStringLiteral("La imagen ha tardado demasiado en leerse.")));
      startWorker(worker);
      dispatch();
    });
  }
  process->start();
}

void WorkerPool::submit(int ticket, const ConvertRequest& request) {
  Job job{ticket, request};
  if (job.request.tempPath.isEmpty()) {
    QString reason;
    job.request.tempPath = createOutputTemp(request.outputPath, &reason);
    if (job.request.tempPath.isEmpty()) {
      ConvertResult result;
      result.outcome = ConvertResult::Outcome::NotWritten;
      result.reason = reason;
      results_.insert(ticket, result);
      return;
    }
  }
  waiting_.push_back(std::move(job));
  dispatch();
}

ConvertResult WorkerPool::take(int ticket) { return results_.take(ticket); }

std::optional<ConvertResult> WorkerPool::nextInOrder(int ticket, int last,
                                                     const std::function<ConvertRequest(int)>& requestFor,
                                                     const std::function<bool()>& cancelled) {
  // Far enough ahead that no worker waits on the caller, near enough that
  // memory stays flat however long the queue.
  const int ahead = 2 * workerCount() + 2;
  for (; submitted_ <= last && submitted_ < ticket + ahead; ++submitted_) submit(submitted_, requestFor(submitted_));
  while (!hasResult(ticket)) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (cancelled && cancelled()) return std::nullopt;
  }
  return take(ticket);
}

QList<qint64> WorkerPool::workerPids() const {
  QList<qint64> pids;
  for (const Worker& worker : workers_)
    if (worker.process && worker.process->processId() > 0) pids.append(worker.process->processId());
  return pids;
}

void WorkerPool::dispatch() {
  if (!brokenReason_.isEmpty()) {
    // No worker can start: every picture waiting gets the reason at once.
    while (!waiting_.empty()) {
      const Job job = std::move(waiting_.front());
      waiting_.pop_front();
      discardOutput(job.request.tempPath);
      results_.insert(job.ticket, failure(brokenReason_));
    }
    return;
  }
  for (Worker& worker : workers_) {
    if (waiting_.empty()) return;
    if (worker.job || !worker.process || worker.process->state() == QProcess::NotRunning) continue;
    worker.job = std::move(waiting_.front());
    waiting_.pop_front();
    worker.process->write(worker::encodeRequest(worker.job->request));
    worker.deadline->start(options_.baseTimeLimitMs);
  }
}

void WorkerPool::onOutput(Worker& worker) {
  worker.received.append(worker.process->readAllStandardOutput());
  while (std::optional<worker::Reply> reply = worker::takeReply(worker.received)) {
    if (const auto* size = std::get_if<worker::SizeReport>(&*reply)) {
      const qint64 megapixels = qint64(size->size.width()) * size->size.height() / 1'000'000;
      if (worker.job)
        worker.deadline->start(int(options_.baseTimeLimitMs + megapixels * options_.msPerMegapixel));
    } else {
      finish(worker, std::get<ConvertResult>(*reply));
    }
  }
}

void WorkerPool::onDeath(Worker& worker, const QString& why) {
  if (stopping_) return;
  const bool couldNotStart = worker.process && worker.process->error() == QProcess::FailedToStart;
  if (worker.job) finish(worker, failure(why));
  if (couldNotStart) {
    brokenReason_ = why;
    dispatch();
    return;
  }
  startWorker(worker);
  dispatch();
}

void WorkerPool::finish(Worker& worker, ConvertResult result) {
  worker.deadline->stop();
  const Job job = *std::exchange(worker.job, std::nullopt);
  if (result.outcome != ConvertResult::Outcome::Written) discardOutput(job.request.tempPath);
  results_.insert(job.ticket, std::move(result));
  dispatch();
}
