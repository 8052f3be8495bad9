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
// libheif: HEIC and HEIF, AVIF.
const Decoder& heifDecoder();
// libjxl: JPEG XL.
const Decoder& jxlDecoder();
// LibRaw: camera raw files, developed or by their embedded preview.
const Decoder& rawDecoder();

// From a file's first bytes, without decoding: a HEIF container (a still
// picture or a sequence), a JPEG XL, a raw file in the ISO base media
// format (Canon's CR3), which the image library does not recognise.
bool heifRecognises(const QByteArray& head);
bool jxlRecognises(const QByteArray& head);
bool isoRawRecognises(const QByteArray& head);
