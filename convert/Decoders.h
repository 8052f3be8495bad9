#pragma once

// The decoders of the decode step, for its own use and its tests'.

#include "convert/Decode.h"

// The image library, which reads nearly every format.
const Decoder& freeImageDecoder();
// Qt's image readers (and their plugins): BMP, GIF, PNG, JPEG, TIFF, WebP...
const Decoder& qtDecoder();
// libtiff, for TIFFs: first for them, the image library behind it.
const Decoder& tiffDecoder();
// gdk-pixbuf's reader, for BMP: every header and bit-field variant.
const Decoder& pixbufDecoder();
