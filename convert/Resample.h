#pragma once

#include "convert/FreeImage.h"

namespace freeimage {

// The library's B-spline rescale, byte for byte, in a fraction of its time.
//
// It is worked out the library's way: the same contributions per output
// pixel, summed in the same order in double precision, columns or rows
// first by the same rule, rounded to bytes between the two passes; the
// metadata and resolution are carried over as the library does. What
// differs is only the order of the loops: the library walks each column
// pixel by pixel and waits on every sum in turn, while here columns are
// filtered a whole row at a time and several row sums are in flight at
// once. Double additions in a fixed order give the same bits whatever the
// loops around them.
//
// 24-bit colour and 8-bit grey bitmaps are rescaled here; any other kind
// is handed to the library.
Bitmap RescaleBSpline(FIBITMAP* dib, int width, int height);

}  // namespace freeimage
