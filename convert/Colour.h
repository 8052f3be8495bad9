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

// A colour space told by numbers rather than by a profile (ITU-T H.273's
// code points: a HEIF's nclx box, a JPEG XL header): the chromaticities of
// its white and primaries, and its transfer characteristics.
struct CodedColour {
  double white[2] = {0.3127, 0.3290};
  double red[2] = {0.64, 0.33}, green[2] = {0.30, 0.60}, blue[2] = {0.15, 0.06};
  int transfer = 13;   // H.273 numbering: 13 sRGB, 1 BT.709, 8 linear, 16 PQ, 18 HLG...
  double gamma = 0;    // for a plain power law (JPEG XL's "gamma" transfer), the exponent of decoding
  bool grey = false;
};
// Perceptual quantiser and hybrid log-gamma: light for HDR displays, which
// an 8-bit JPEG cannot keep as it is.
bool isHdr(const CodedColour& colour);
// The ICC profile of an SDR colour space told by numbers, to go into the
// output as a file's own would; empty for sRGB itself (or near enough),
// which needs none.
QByteArray profileFor(const CodedColour& colour);
// HDR pixels (16-bit RGB, RGBA or grey: FIT_RGB16, FIT_RGBA16, FIT_UINT16;
// or 8-bit BGR, BGRA or grey) as 24- or 32-bit sRGB: the light of the SDR reference white (203 cd/m²,
// as ITU-R BT.2408 places it) becomes white, brighter clips, as for
// floating-point light. Null when the pixels are of another kind.
freeimage::Bitmap hdrToSrgb(FIBITMAP* pixels, const CodedColour& colour);

}  // namespace colour
