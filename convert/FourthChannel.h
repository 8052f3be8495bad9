#pragma once

// What the fourth byte of a 32-bit picture holds, by its file's own word,
// for the formats the image library reads as 32-bit whatever that byte
// holds: BMP, TGA and ICO.

#include "convert/FreeImage.h"
#include "convert/Pixels.h"

#include <QByteArray>

#include <optional>

namespace freeimage {

// Padding where the file says the byte is none of transparency's business,
// or keeps 0 in it everywhere (browsers and viewers show such a picture
// opaque). An icon of that kind takes its transparency from its AND mask,
// written into `dib`'s fourth byte, as the system that made icons shows it.
// Nothing for other formats and other kinds of bitmap.
std::optional<FourthChannel> SettleFourthChannel(FREE_IMAGE_FORMAT fif, const QByteArray& file, FIBITMAP* dib);

}  // namespace freeimage
