#pragma once

#include "convert/FreeImage.h"

#include <cstdint>

namespace freeimage {

// What a fourth channel holds, as a decoder tells it.
enum class FourthChannel { Alpha, PremultipliedAlpha, Padding };

// Any bitmap the library can hold but floating-point colour (see
// colour::linearToSrgb), as 24-bit RGB: transparency composited onto white,
// deep pixels brought down to 8 bits per channel, a floating-point grey
// stretched over its range. Null only when the library cannot convert it.
Bitmap ToRgb24(FIBITMAP* dib, FourthChannel fourth = FourthChannel::Alpha);

// The library's composite of a 32-bit bitmap onto white, byte for byte;
// the library builds it through a generic loop about ten times slower.
// Colours already multiplied by their alpha get the white that shows
// through added. Null for any other kind of bitmap.
Bitmap CompositeOnWhite(FIBITMAP* dib, bool premultiplied = false);

// One row of `width` 32-bit pixels as ToRgb24 makes it, by what the
// fourth channel holds: composited onto white as CompositeOnWhite does, or
// (padding) dropped.
void RowToRgb24(const uint8_t* src, uint8_t* dst, unsigned width, FourthChannel fourth);

// True for a 32-bit bitmap whose alpha is 0 everywhere: a file that keeps
// no transparency in its fourth byte, whatever its header says, and which
// browsers and viewers show opaque.
bool AlphaIsZeroEverywhere(FIBITMAP* dib);

}  // namespace freeimage
