#pragma once

#include "convert/FreeImage.h"
#include "convert/Pixels.h"

namespace freeimage {

// The library's B-spline rescale, within one level of its bytes in each
// channel, in a fraction of its time.
//
// The weights are the library's, worked out in double precision as it
// does; the passes go in its order, columns or rows first by the same
// rule, rounded to bytes between the two as it rounds. The sums are made
// in whole numbers over vector registers, rows two at a time, and each
// row goes through the second pass as soon as the first has made it; the
// weights, fifteen bits for the largest, move a sum by a few thousandths
// of a level, so that a byte differs from the library's only where its
// sum lies within that of a half. The metadata and resolution are carried
// over as the library does.
//
// 24-bit colour and 8-bit grey bitmaps are rescaled here; any other kind
// is handed to the library (and every kind, off x86-64), but for 32-bit
// ones: these come out 24-bit, exactly as if ToRgb24 had made them so with
// `fourth` first. When the picture shrinks, that is done a row at a time
// as the rows are read, and no 24-bit copy of the whole is ever held.
//
// `set` is the vector instructions the loops run on: the best the
// processor has (AVX2, where it has it), or SSE2 alone, which every x86-64
// has. The sums being exact, both make the same bytes.
enum class VectorSet { Best, Sse2 };
Bitmap RescaleBSpline(FIBITMAP* dib, int width, int height, FourthChannel fourth = FourthChannel::Alpha,
                      VectorSet set = VectorSet::Best);

}  // namespace freeimage
