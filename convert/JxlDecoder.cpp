// JPEG XL as a decoder, through libjxl: the first frame, as stored, with
// the Orientation its header gives it.

#include "convert/Colour.h"
#include "convert/ConvertPicture.h"
#include "convert/Decoders.h"
#include "convert/Interleaved.h"

#include <jxl/decode.h>

#include <QFile>

#include <memory>
#include <vector>

namespace {

struct DecoderDestroy {
  void operator()(JxlDecoder* decoder) const { JxlDecoderDestroy(decoder); }
};
using Jxl = std::unique_ptr<JxlDecoder, DecoderDestroy>;

QByteArray contents(const QByteArray& source, qint64 most = -1) {
  QFile in;
  if (!freeimage::OpenFile(in, source)) return QByteArray();
  return most < 0 ? in.readAll() : in.read(most);
}

Failure damaged(const char* what) { return Failure{reasons::damaged(QStringLiteral("libjxl: %1").arg(QLatin1String(what)))}; }

// The basic information of a file, from as much of it as it takes; no
// pixels are decoded.
std::optional<JxlBasicInfo> basicInfo(const QByteArray& source) {
  for (const qint64 most : {qint64(64 * 1024), qint64(-1)}) {
    const QByteArray bytes = contents(source, most);
    const Jxl decoder(JxlDecoderCreate(nullptr));
    if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS) return std::nullopt;
    JxlDecoderSetInput(decoder.get(), reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
    if (most < 0 || bytes.size() < most) JxlDecoderCloseInput(decoder.get());
    const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
    JxlBasicInfo info;
    if (status == JXL_DEC_BASIC_INFO && JxlDecoderGetBasicInfo(decoder.get(), &info) == JXL_DEC_SUCCESS) return info;
    if (status != JXL_DEC_NEED_MORE_INPUT || most < 0 || bytes.size() < most) return std::nullopt;
  }
  return std::nullopt;
}

colour::CodedColour codedOf(const JxlColorEncoding& encoding) {
  colour::CodedColour coded;
  coded.grey = encoding.color_space == JXL_COLOR_SPACE_GRAY;
  for (int i = 0; i < 2; ++i) {
    coded.white[i] = encoding.white_point_xy[i];
    // A grey has none of its own: shown in colour, sRGB's.
    if (coded.grey) continue;
    coded.red[i] = encoding.primaries_red_xy[i];
    coded.green[i] = encoding.primaries_green_xy[i];
    coded.blue[i] = encoding.primaries_blue_xy[i];
  }
  coded.transfer = int(encoding.transfer_function);
  // The header's gamma is that of encoding, as PNG's gAMA.
  if (encoding.transfer_function == JXL_TRANSFER_FUNCTION_GAMMA && encoding.gamma > 0) coded.gamma = 1 / encoding.gamma;
  return coded;
}

class JxlPictureDecoder : public Decoder {
 public:
  std::optional<QSize> probeSize(const QByteArray& source) const override {
    const std::optional<JxlBasicInfo> info = basicInfo(source);
    if (!info) return std::nullopt;
    return QSize(int(std::min<uint32_t>(info->xsize, INT32_MAX)), int(std::min<uint32_t>(info->ysize, INT32_MAX)));
  }

  int decodedBytesPerPixel(const QByteArray& source) const override {
    const std::optional<JxlBasicInfo> info = basicInfo(source);
    const bool deep = !info || info->bits_per_sample > 8;
    // libjxl works in floats (three or four channels of four bytes), then
    // hands over its output buffer, which becomes the bitmap.
    return (info && info->alpha_bits == 0 ? 12 : 16) + (deep ? 16 : 8);
  }

  Result<DecodedPicture> decode(const DecodeRequest& request, std::optional<QSize>) const override {
    const QByteArray bytes = contents(request.source);
    if (bytes.isEmpty()) return Failure{reasons::damaged()};
    const Jxl decoder(JxlDecoderCreate(nullptr));
    if (!decoder) return Failure{reasons::tooMuchMemory()};
    // No parallel runner: the worker decodes in its own thread, one worker
    // to a core. The pixels come as stored; the header's Orientation goes
    // into the output, as for a camera's JPEG. Alpha comes unmultiplied.
    if (JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS ||
        JxlDecoderSetKeepOrientation(decoder.get(), JXL_TRUE) != JXL_DEC_SUCCESS ||
        JxlDecoderSetUnpremultiplyAlpha(decoder.get(), JXL_TRUE) != JXL_DEC_SUCCESS)
      return damaged("decoder refused its settings");
    JxlDecoderSetInput(decoder.get(), reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
    JxlDecoderCloseInput(decoder.get());

    JxlBasicInfo info{};
    JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    std::vector<uint8_t> buffer;
    DecodedPicture decoded;
    std::optional<colour::CodedColour> hdr;
    for (;;) {
      const JxlDecoderStatus status = JxlDecoderProcessInput(decoder.get());
      if (status == JXL_DEC_ERROR) return damaged("the stream is not valid");
      if (status == JXL_DEC_NEED_MORE_INPUT) return damaged("the file ends too soon");
      if (status == JXL_DEC_SUCCESS) return damaged("no picture in the file");
      if (status == JXL_DEC_BASIC_INFO) {
        if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS) return damaged("no header");
        const bool alpha = info.alpha_bits > 0;
        format.num_channels = info.num_color_channels == 1 && !alpha ? 1 : alpha ? 4 : 3;
        format.data_type = info.bits_per_sample > 8 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8;
        decoded.orientation = int(info.orientation);
      } else if (status == JXL_DEC_COLOR_ENCODING) {
        JxlColorEncoding encoding;
        if (JxlDecoderGetColorAsEncodedProfile(decoder.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) ==
                JXL_DEC_SUCCESS &&
            colour::isHdr(codedOf(encoding))) {
          hdr = codedOf(encoding);
          hdr->grey = format.num_channels == 1;
          // Brought into sRGB from all the bits there are.
          format.data_type = JXL_TYPE_UINT16;
          continue;
        }
        size_t size = 0;
        if (JxlDecoderGetICCProfileSize(decoder.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) == JXL_DEC_SUCCESS &&
            size > 0) {
          QByteArray icc(qsizetype(size), '\0');
          if (JxlDecoderGetColorAsICCProfile(decoder.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                             reinterpret_cast<uint8_t*>(icc.data()), size) == JXL_DEC_SUCCESS)
            decoded.iccProfile = icc;
        }
        // Plain sRGB needs no profile in the output.
        JxlColorEncoding plain;
        if (JxlDecoderGetColorAsEncodedProfile(decoder.get(), nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &plain) ==
                JXL_DEC_SUCCESS &&
            colour::profileFor(codedOf(plain)).isEmpty())
          decoded.iccProfile.clear();
      } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
        size_t size = 0;
        if (JxlDecoderImageOutBufferSize(decoder.get(), &format, &size) != JXL_DEC_SUCCESS) return damaged("no room");
        try {
          buffer.resize(size);
        } catch (const std::bad_alloc&) {
          return Failure{reasons::tooMuchMemory()};
        }
        if (JxlDecoderSetImageOutBuffer(decoder.get(), &format, buffer.data(), buffer.size()) != JXL_DEC_SUCCESS)
          return damaged("no room");
      } else if (status == JXL_DEC_FULL_IMAGE) {
        break;  // the first frame; an animation's others are not shown
      }
    }
    InterleavedPixels pixels;
    pixels.data = buffer.data();
    pixels.width = int(info.xsize);
    pixels.height = int(info.ysize);
    pixels.channels = int(format.num_channels);
    pixels.bytesPerSample = format.data_type == JXL_TYPE_UINT16 ? 2 : 1;
    pixels.maxValue = format.data_type == JXL_TYPE_UINT16 ? 65535 : 255;
    pixels.stride = size_t(pixels.width) * size_t(pixels.channels * pixels.bytesPerSample);
    if (buffer.size() < pixels.stride * size_t(pixels.height)) return damaged("short picture");
    decoded.pixels = toBitmap(pixels);
    buffer = std::vector<uint8_t>();
    if (!decoded.pixels) return Failure{reasons::tooMuchMemory()};
    if (hdr) {
      freeimage::Bitmap srgb = colour::hdrToSrgb(decoded.pixels.get(), *hdr);
      if (!srgb) return damaged("HDR colours");
      decoded.pixels = std::move(srgb);
      decoded.iccProfile.clear();
    }
    return decoded;
  }
};

}  // namespace

bool jxlRecognises(const QByteArray& head) {
  const JxlSignature signature = JxlSignatureCheck(reinterpret_cast<const uint8_t*>(head.constData()), size_t(head.size()));
  return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}

const Decoder& jxlDecoder() {
  static const JxlPictureDecoder decoder;
  return decoder;
}
