#pragma once

// What the program and a conversion worker say to each other over the
// worker's standard input and output: length-prefixed frames, so that any
// file name, whatever its bytes, goes through whole.

#include "convert/ConvertPicture.h"

#include <QByteArray>
#include <QSize>

#include <optional>
#include <variant>

namespace worker {

// The worker has read the picture's header: its size, which gives a large
// picture more time.
struct SizeReport {
  QSize size;
};
// The worker has begun to write the JPEG: if it dies now, the picture was
// read but not saved.
struct WritingReport {};

using Reply = std::variant<SizeReport, WritingReport, ConvertResult>;

QByteArray encodeRequest(const ConvertRequest& request);
QByteArray encodeReply(const Reply& reply);

// Takes one whole frame off the front of the buffer, if one is there.
std::optional<ConvertRequest> takeRequest(QByteArray& buffer);
std::optional<Reply> takeReply(QByteArray& buffer);

}  // namespace worker
