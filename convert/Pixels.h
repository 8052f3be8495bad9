#pragma once

#include "convert/FreeImage.h"

namespace freeimage {

// Any bitmap the library can hold, as 24-bit RGB: transparency composited
// onto white, deep and floating-point pixels brought down to 8 bits per
// channel. A fourth channel that is not `alpha` is dropped. Null only when
// the library cannot convert it.
Bitmap ToRgb24(FIBITMAP* dib, bool alpha = true);

// The library's composite of a 32-bit bitmap onto white, byte for byte;
// the library builds it through a generic loop about ten times slower.
// Null for any other kind of bitmap.
Bitmap CompositeOnWhite(FIBITMAP* dib);

}  // namespace freeimage
