#include "convert/WorkerPool.h"

#include "convert/OutputFile.h"
#include "convert/WorkerProtocol.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace {

using Outcome = ConvertResult::Outcome;

// Large pictures get more time, once the worker has read their size.
constexpr int MsPerMegapixel = 200;

}  // namespace

WorkerPool::WorkerPool() : WorkerPool(Options()) {}

WorkerPool::WorkerPool(Options options) : options_(std::move(options)) {
  if (options_.program.isEmpty())
    options_.program = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("dimenzo-worker"));
  if (options_.workers <= 0) options_.workers = std::max(1, QThread::idealThreadCount());
  if (!QFileInfo(options_.program).isExecutable())
    throw AppError(QStringLiteral("No se encuentra el programa de conversión %1.").arg(options_.program));
  for (int i = 0; i < options_.workers; ++i) startWorker(workers_.emplace_back());
}

WorkerPool::~WorkerPool() {
  stopping_ = true;
  for (Worker& worker : workers_) stopWorker(worker);
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
    connect(worker.deadline.get(), &QTimer::timeout, this, [this, &worker] { onTimeout(worker); });
  }
  process->start();
}

void WorkerPool::stopWorker(Worker& worker) {
  worker.deadline->stop();
  worker.process->disconnect(this);
  worker.process->kill();
  worker.process->waitForFinished(2000);
  // Only now: a worker still alive could open its file again and so
  // create it anew.
  if (worker.job) discardOutput(std::exchange(worker.job, std::nullopt)->request.tempPath);
}

void WorkerPool::submit(int ticket, const ConvertRequest& request) {
  Job job{ticket, request};
  if (job.request.tempPath.isEmpty()) {
    Result<QString> temp = createOutputTemp(request.outputPath);
    if (!temp) {
      results_.insert(ticket, ConvertResult::failed(Outcome::NotWritten, temp.reason()));
      return;
    }
    job.request.tempPath = *temp;
  }
  waiting_.push_back(std::move(job));
  dispatch();
}

std::optional<ConvertResult> WorkerPool::take(int ticket) {
  const auto found = results_.constFind(ticket);
  if (found == results_.cend()) return std::nullopt;
  ConvertResult result = *found;
  results_.erase(found);
  return result;
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
    if (waiting_.empty()) return;
    if (worker.job || worker.process->state() == QProcess::NotRunning) continue;
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
      if (worker.job) worker.deadline->start(int(options_.baseTimeLimitMs + megapixels * MsPerMegapixel));
    } else if (worker.job) {
      finish(worker, std::get<ConvertResult>(*reply));
    }
  }
}

void WorkerPool::onDeath(Worker& worker, const QString& why) {
  if (stopping_) return;
  const bool couldNotStart = worker.process->error() == QProcess::FailedToStart;
  if (worker.job) finish(worker, ConvertResult::failed(Outcome::NotRescaled, why));
  if (couldNotStart) {
    brokenReason_ = why;
    dispatch();
    return;
  }
  startWorker(worker);
  dispatch();
}

void WorkerPool::onTimeout(Worker& worker) {
  if (!worker.job) return;
  const int ticket = worker.job->ticket;
  stopWorker(worker);
  results_.insert(ticket, ConvertResult::failed(Outcome::NotRescaled,
                                                QStringLiteral("La imagen ha tardado demasiado en leerse.")));
  startWorker(worker);
  dispatch();
}

void WorkerPool::finish(Worker& worker, ConvertResult result) {
  worker.deadline->stop();
  const Job job = *std::exchange(worker.job, std::nullopt);
  if (result.outcome != Outcome::Written) discardOutput(job.request.tempPath);
  results_.insert(job.ticket, std::move(result));
  dispatch();
}
