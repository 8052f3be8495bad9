#pragma once

// What the program and a conversion worker say to each other over the
// worker's standard input and output: length-prefixed frames, so that any
// file name, whatever its bytes, goes through whole. (The worker keeps its
// standard output for itself and points the one its libraries print on
// elsewhere.)

#include "convert/ConvertPicture.h"

#include <QByteArray>
#include <QSize>

#include <optional>
#include <variant>

namespace worker {

// The processor time the worker allows itself for the picture in hand, as
// it learns how large the picture is.
struct LimitReport {
  int limitMs = 0;
};
// The worker has begun to write the JPEG: if it dies now, the picture was
// read but not saved.
struct WritingReport {};
// The worker ends once it has sent the result that follows: it must not be
// given another picture.
struct RetiringReport {};
// Another decoder reads the picture in hand: should this worker die on it,
// the picture is to be tried once more with that one.
struct FallbackReport {};
// The memory the picture in hand will take, as its header tells (or, when
// its format does not tell its size, as its file could hold). The worker
// waits for a Grant before it decodes.
struct NeedReport {
  qint64 bytes = 0;
  bool sizeKnown = true;
};

using Reply = std::variant<LimitReport, WritingReport, RetiringReport, FallbackReport, NeedReport, ConvertResult>;

// The answer to a NeedReport: go on, taking at most `bytes` more; or, when
// `refusal` says why, do not.
struct Grant {
  qint64 bytes = 0;
  QString refusal;
};

using Message = std::variant<ConvertRequest, Grant>;

QByteArray encodeMessage(const Message& message);
QByteArray encodeReply(const Reply& reply);

// Takes one whole frame off the front of the buffer, if one is there.
std::optional<Message> takeMessage(QByteArray& buffer);
std::optional<Reply> takeReply(QByteArray& buffer);

}  // namespace worker
