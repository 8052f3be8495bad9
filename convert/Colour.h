#pragma once

// Colour profiles, through LittleCMS: what a profile describes, and the
// pixels of a model the output cannot keep turned into sRGB.

#include "convert/FreeImage.h"
#include "convert/Pixels.h"

#include <QByteArray>

namespace colour {

enum class Model { Rgb, Grey, Cmyk, Other };
// The colour model an ICC profile describes; Other for one that is not a
// profile at all.
Model modelOf(const QByteArray& profile);

// A 32-bit CMYK bitmap (C, M, Y, K bytes) as 24-bit sRGB, through its
// profile. Null when the profile cannot be used.
freeimage::Bitmap cmykToSrgb(FIBITMAP* cmyk, const QByteArray& profile);

// A 24-bit bitmap of grey pixels, whose grey is described by a grey
// profile, as 24-bit sRGB. Null when the profile cannot be used.
freeimage::Bitmap greyToSrgb(FIBITMAP* grey, const QByteArray& profile);

// A floating-point RGB bitmap (FIT_RGBF, FIT_RGBAF) of linear light with
// sRGB primaries, as OpenEXR and Radiance HDR files hold it, as 24-bit sRGB
// the way viewers show it at its own exposure: brighter than white clips.
// Alpha, multiplied into the colours or not, lets white show through,
// mixed in linear light.
freeimage::Bitmap linearToSrgb(FIBITMAP* linear, freeimage::FourthChannel fourth);

}  // namespace colour
