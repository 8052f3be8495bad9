#pragma once

// What the window and a conversion worker say to each other over the
// worker's standard input and output: length-prefixed frames, so that any
// file name, newlines included, goes through whole.

#include "convert/ConvertPicture.h"

#include <QByteArray>
#include <QSize>

#include <optional>
#include <variant>

namespace worker {

// The worker has read the picture's header: its size, so the window can
// give a large picture more time.
struct SizeReport {
  QSize size;
};

using Reply = std::variant<SizeReport, ConvertResult>;

QByteArray encodeRequest(const ConvertRequest& request);
QByteArray encodeReply(const Reply& reply);

// Takes one whole frame off the front of the buffer, if one is there.
std::optional<ConvertRequest> takeRequest(QByteArray& buffer);
std::optional<Reply> takeReply(QByteArray& buffer);

}  // namespace worker
