#include "convert/WorkerProtocol.h"

#include <QDataStream>
#include <QIODevice>
#include <QtEndian>

namespace worker {
namespace {

enum class ReplyKind : quint8 { Limit = 1, Result = 2, Writing = 3, Retiring = 4, Fallback = 5, Need = 6 };
enum class MessageKind : quint8 { Request = 1, Grant = 2 };

// A frame: the payload's length as 4 bytes, big-endian, then the payload.
QByteArray frame(const QByteArray& payload) {
  QByteArray out(4, '\0');
  qToBigEndian<quint32>(quint32(payload.size()), out.data());
  return out + payload;
}

std::optional<QByteArray> takeFrame(QByteArray& buffer) {
  if (buffer.size() < 4) return std::nullopt;
  const quint32 length = qFromBigEndian<quint32>(buffer.constData());
  if (quint64(buffer.size()) < 4ull + length) return std::nullopt;
  QByteArray payload = buffer.mid(4, qsizetype(length));
  buffer.remove(0, qsizetype(4 + length));
  return payload;
}

}  // namespace

QByteArray encodeMessage(const Message& message) {
  QByteArray payload;
  QDataStream out(&payload, QIODevice::WriteOnly);
  if (const auto* request = std::get_if<ConvertRequest>(&message)) {
    out << quint8(MessageKind::Request) << request->source << request->outputPath << request->tempPath
        << request->size << qint32(request->saveFlags) << qint32(request->timeLimitMs) << qint32(request->decoder);
  } else {
    const auto& grant = std::get<Grant>(message);
    out << quint8(MessageKind::Grant) << qint64(grant.bytes) << grant.refusal;
  }
  return frame(payload);
}

std::optional<Message> takeMessage(QByteArray& buffer) {
  const std::optional<QByteArray> payload = takeFrame(buffer);
  if (!payload) return std::nullopt;
  QDataStream in(*payload);
  quint8 kind = 0;
  in >> kind;
  if (MessageKind(kind) == MessageKind::Grant) {
    Grant grant;
    qint64 bytes = 0;
    in >> bytes >> grant.refusal;
    grant.bytes = bytes;
    return grant;
  }
  ConvertRequest request;
  qint32 saveFlags = 0, timeLimit = 0, decoder = 0;
  in >> request.source >> request.outputPath >> request.tempPath >> request.size >> saveFlags >> timeLimit >> decoder;
  request.saveFlags = saveFlags;
  request.timeLimitMs = timeLimit;
  request.decoder = decoder;
  return request;
}

QByteArray encodeReply(const Reply& reply) {
  QByteArray payload;
  QDataStream out(&payload, QIODevice::WriteOnly);
  if (const auto* limit = std::get_if<LimitReport>(&reply)) {
    out << quint8(ReplyKind::Limit) << qint32(limit->limitMs);
  } else if (std::holds_alternative<WritingReport>(reply)) {
    out << quint8(ReplyKind::Writing);
  } else if (std::holds_alternative<RetiringReport>(reply)) {
    out << quint8(ReplyKind::Retiring);
  } else if (std::holds_alternative<FallbackReport>(reply)) {
    out << quint8(ReplyKind::Fallback);
  } else if (const auto* need = std::get_if<NeedReport>(&reply)) {
    out << quint8(ReplyKind::Need) << qint64(need->bytes) << need->sizeKnown;
  } else {
    const auto& result = std::get<ConvertResult>(reply);
    out << quint8(ReplyKind::Result) << quint8(result.outcome) << result.reason << result.tempPath
        << qint32(result.error) << result.retry;
  }
  return frame(payload);
}

std::optional<Reply> takeReply(QByteArray& buffer) {
  const std::optional<QByteArray> payload = takeFrame(buffer);
  if (!payload) return std::nullopt;
  QDataStream in(*payload);
  quint8 kind = 0;
  in >> kind;
  if (ReplyKind(kind) == ReplyKind::Limit) {
    qint32 limitMs = 0;
    in >> limitMs;
    return LimitReport{limitMs};
  }
  if (ReplyKind(kind) == ReplyKind::Writing) return WritingReport{};
  if (ReplyKind(kind) == ReplyKind::Retiring) return RetiringReport{};
  if (ReplyKind(kind) == ReplyKind::Fallback) return FallbackReport{};
  if (ReplyKind(kind) == ReplyKind::Need) {
    NeedReport need;
    qint64 bytes = 0;
    in >> bytes >> need.sizeKnown;
    need.bytes = bytes;
    return need;
  }
  ConvertResult result;
  quint8 outcome = 0;
  qint32 error = 0;
  in >> outcome >> result.reason >> result.tempPath >> error >> result.retry;
  result.error = error;
  result.outcome = outcome <= quint8(ConvertResult::Outcome::NotWritten) ? ConvertResult::Outcome(outcome)
                                                                         : ConvertResult::Outcome::NotRescaled;
  return result;
}

}  // namespace worker
