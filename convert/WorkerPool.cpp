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
#include <csignal>

namespace {

using Outcome = ConvertResult::Outcome;

// The wall-time backstop, as a multiple of the processor time allowed.
constexpr int WallTimeFactor = 6;

// Why a worker died with a picture in hand.
ConvertResult deathResult(const QProcess& process, bool writing, int limitMs) {
  const bool crashed = process.exitStatus() == QProcess::CrashExit;
  const QString reason = crashed && process.exitCode() == SIGXCPU ? reasons::tooSlow(limitMs)
                         : writing ? QStringLiteral("El proceso de conversión se ha detenido al escribirla.")
                                   : reasons::libraryCrashed();
  return ConvertResult::failed(writing ? Outcome::NotWritten : Outcome::NotRescaled, reason);
}

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
  if (options_.workers <= 0) options_.workers = std::max(1, QThread::idealThreadCount());
  if (!QFileInfo(options_.program).isExecutable())
    throw AppError(QStringLiteral("No se encuentra el programa de conversión %1.").arg(options_.program));
  for (int i = 0; i < options_.workers; ++i) startWorker(workers_.emplace_back());
}

WorkerPool::~WorkerPool() {
  stopping_ = true;
  for (Worker& worker : workers_) {
    worker.process->disconnect(this);
    worker.process->kill();
  }
  for (QProcess* dying : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) dying->kill();
  // Outputs go only once their workers are gone, or one could write its
  // file again and so create it anew.
  for (QProcess* dying : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) dying->waitForFinished(5000);
  for (Worker& worker : workers_) {
    worker.process->waitForFinished(5000);
    if (worker.job) discardOutput(worker.job->request.tempPath);
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
  process->setArguments({QString::number(QCoreApplication::applicationPid())});
  process->setStandardErrorFile(QProcess::nullDevice());
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

void WorkerPool::abandon(Worker& worker) {
  worker.deadline->stop();
  QProcess* process = worker.process.release();
  process->disconnect(this);
  process->setParent(this);
  const QByteArray temp = worker.job ? worker.job->request.tempPath : QByteArray();
  connect(process, &QProcess::finished, this, [process, temp] {
    discardOutput(temp);
    process->deleteLater();
  });
  process->kill();
}

void WorkerPool::submit(int ticket, const ConvertRequest& request) {
  Job job{ticket, request};
  job.request.timeLimitMs = options_.baseTimeLimitMs;
  job.limitMs = options_.baseTimeLimitMs;
  if (job.request.tempPath.isEmpty()) {
    Result<QByteArray> temp = createOutputTemp(request.outputPath);
    if (!temp) {
      results_.insert(ticket, ConvertResult::failed(Outcome::NotWritten, temp.reason(), temp.error()));
      return;
    }
    job.request.tempPath = *temp;
  }
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
    if (waiting_.empty()) return;
    if (worker.job || worker.process->state() == QProcess::NotRunning) continue;
    worker.job = std::move(waiting_.front());
    waiting_.pop_front();
    worker.process->write(worker::encodeRequest(worker.job->request));
    worker.deadline->start(WallTimeFactor * worker.job->limitMs);
  }
}

void WorkerPool::onOutput(Worker& worker) {
  worker.received.append(worker.process->readAllStandardOutput());
  while (std::optional<worker::Reply> reply = worker::takeReply(worker.received)) {
    if (!worker.job) continue;
    if (const auto* size = std::get_if<worker::SizeReport>(&*reply)) {
      worker.job->limitMs = timeLimitMs(options_.baseTimeLimitMs, size->size);
      worker.deadline->start(WallTimeFactor * worker.job->limitMs);
    } else if (std::holds_alternative<worker::WritingReport>(*reply)) {
      worker.job->writing = true;
    } else {
      finish(worker, std::get<ConvertResult>(*reply));
    }
  }
}

void WorkerPool::onDeath(Worker& worker) {
  if (stopping_) return;
  if (worker.process->error() == QProcess::FailedToStart) {
    brokenReason_ = QStringLiteral("No se puede iniciar el programa de conversión %1.").arg(options_.program);
    if (worker.job) finish(worker, ConvertResult::failed(Outcome::NotRescaled, brokenReason_));
    dispatch();
    return;
  }
  if (worker.job) finish(worker, deathResult(*worker.process, worker.job->writing, worker.job->limitMs));
  startWorker(worker);
  dispatch();
}

void WorkerPool::onTimeout(Worker& worker) {
  if (!worker.job) return;
  const Job job = *worker.job;
  abandon(worker);
  worker.job.reset();
  results_.insert(job.ticket, ConvertResult::failed(job.writing ? Outcome::NotWritten : Outcome::NotRescaled,
                                                     reasons::tooSlow(WallTimeFactor * job.limitMs)));
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
