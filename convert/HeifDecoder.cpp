// HEIF as a decoder, through libheif: the HEIC of phones, the HEIF of
// cameras, AVIF. Only the primary picture is read; depth maps, gain maps,
// thumbnails and a sequence's frames are left alone.

#include "convert/Colour.h"
#include "convert/ConvertPicture.h"
#include "convert/Decoders.h"
#include "convert/Interleaved.h"

#include <libheif/heif.h>

#include <QFile>

#include <array>
#include <memory>
#include <vector>

namespace {

// The brands of the ISO base media file format that say "HEIF": still
// pictures (HEVC, AV1, any codec) and sequences of them.
constexpr std::array StillBrands{"heic", "heix", "heim", "heis", "mif1", "mif2", "avif"};
constexpr std::array SequenceBrands{"hevc", "hevx", "msf1", "avis"};

std::vector<heif_brand2> brandsOf(const QByteArray& head) {
  const auto* data = reinterpret_cast<const uint8_t*>(head.constData());
  const int length = int(head.size());
  if (length < 12 || head.mid(4, 4) != "ftyp") return {};
  std::vector<heif_brand2> brands{heif_read_main_brand(data, length)};
  heif_brand2* compatible = nullptr;
  int count = 0;
  if (heif_list_compatible_brands(data, length, &compatible, &count).code == heif_error_Ok) {
    brands.insert(brands.end(), compatible, compatible + count);
    heif_free_list_of_compatible_brands(compatible);
  }
  return brands;
}

template <size_t N>
bool hasAny(const std::vector<heif_brand2>& brands, const std::array<const char*, N>& wanted) {
  for (const heif_brand2 brand : brands)
    for (const char* name : wanted)
      if (brand == heif_fourcc_to_brand(name)) return true;
  return false;
}

struct ContextFree {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleRelease {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageRelease {
  void operator()(heif_image* image) const { heif_image_release(image); }
};
struct OptionsFree {
  void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};
using Context = std::unique_ptr<heif_context, ContextFree>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;

QByteArray head(const QByteArray& source, qint64 bytes) {
  QFile in;
  return freeimage::OpenFile(in, source) ? in.read(bytes) : QByteArray();
}

QString libraryMessage(const heif_error& error) {
  QString message = QString::fromUtf8(error.message ? error.message : "").trimmed();
  if (message.endsWith(u'.')) message.chop(1);
  return QStringLiteral("libheif: %1").arg(message);
}

// Why libheif cannot read the file, in the user's words.
Failure refused(const heif_error& error, const QByteArray& source) {
  if (error.code == heif_error_Memory_allocation_error) return Failure{reasons::tooMuchMemory()};
  const std::vector<heif_brand2> brands = brandsOf(head(source, 4096));
  // A file that says it holds a sequence and no still picture, or whose
  // still picture is missing: libheif reads only still pictures.
  const bool noStill = error.subcode == heif_suberror_No_meta_box || error.subcode == heif_suberror_No_pitm_box ||
                       error.subcode == heif_suberror_No_or_invalid_primary_item ||
                       !hasAny(brands, StillBrands);
  if (noStill && hasAny(brands, SequenceBrands))
    return Failure{QStringLiteral("Es una secuencia de imágenes HEIF sin imagen principal, y solo se convierten "
                                  "imágenes fijas (%1).")
                       .arg(libraryMessage(error))};
  if (error.code == heif_error_Unsupported_feature && error.subcode == heif_suberror_Unsupported_codec)
    return Failure{QStringLiteral("La imagen HEIF está comprimida con un códec que no se admite (%1).")
                       .arg(libraryMessage(error))};
  if (error.code == heif_error_Unsupported_feature || error.code == heif_error_Unsupported_filetype)
    return Failure{QStringLiteral("La imagen HEIF tiene estructuras que la versión %1 de libheif no sabe leer (%2).")
                       .arg(QString::fromLatin1(heif_get_version()), libraryMessage(error))};
  return Failure{reasons::damaged(libraryMessage(error))};
}

Result<Context> opened(const QByteArray& source) {
  Context context(heif_context_alloc());
  if (!context) return Failure{reasons::tooMuchMemory()};
  // There is a worker for each core already: the picture's tiles are
  // decoded one after another, in the worker's own thread.
  heif_context_set_max_decoding_threads(context.get(), 0);
  const heif_error read = heif_context_read_from_file(context.get(), source.constData(), nullptr);
  if (read.code != heif_error_Ok) return refused(read, source);
  return context;
}

Result<Handle> primaryOf(heif_context* context, const QByteArray& source) {
  heif_image_handle* handle = nullptr;
  const heif_error error = heif_context_get_primary_image_handle(context, &handle);
  if (error.code != heif_error_Ok || !handle) return refused(error, source);
  return Handle(handle);
}

// A cursor over the boxes of the ISO base media file format, which never
// reads past what it was given.
class Boxes {
 public:
  Boxes(const uint8_t* begin, const uint8_t* end) : at_(begin), end_(end) {}
  // The next box: its type and its contents; false at the end or on a box
  // that claims more than there is.
  bool next(uint32_t& type, const uint8_t*& contents, const uint8_t*& contentsEnd) {
    if (end_ - at_ < 8) return false;
    uint64_t size = read32(at_);
    type = read32(at_ + 4);
    const uint8_t* body = at_ + 8;
    if (size == 1) {
      if (end_ - at_ < 16) return false;
      size = uint64_t(read32(at_ + 8)) << 32 | read32(at_ + 12);
      body = at_ + 16;
    } else if (size == 0) {
      size = uint64_t(end_ - at_);
    }
    if (size < uint64_t(body - at_) || size > uint64_t(end_ - at_)) return false;
    contents = body;
    contentsEnd = at_ + size;
    at_ = contentsEnd;
    return true;
  }
  static uint32_t read32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
  static uint32_t fourcc(const char* name) { return read32(reinterpret_cast<const uint8_t*>(name)); }

 private:
  const uint8_t* at_;
  const uint8_t* end_;
};

// How libheif turns the stored picture of `item` to show it: the rotation
// ("irot") and mirror ("imir") properties the file gives it, in their
// order, as libheif 1.15 applies them (its public interface does not tell
// them). 1 when the file's boxes cannot be followed.
int shownAs(const QByteArray& source, heif_item_id item) {
  QFile in;
  if (!freeimage::OpenFile(in, source)) return 1;
  // The item properties live in the "meta" box at the top level.
  QByteArray meta;
  for (qint64 at = 0; at + 8 <= in.size();) {
    in.seek(at);
    const QByteArray header = in.read(16);
    if (header.size() < 8) return 1;
    const auto* h = reinterpret_cast<const uint8_t*>(header.constData());
    uint64_t size = Boxes::read32(h);
    if (size == 1 && header.size() == 16) size = uint64_t(Boxes::read32(h + 8)) << 32 | Boxes::read32(h + 12);
    if (size == 0) size = uint64_t(in.size() - at);
    if (size < 8) return 1;
    if (Boxes::read32(h + 4) == Boxes::fourcc("meta")) {
      constexpr uint64_t Largest = 64 << 20;
      if (size > Largest) return 1;
      in.seek(at);
      meta = in.read(qint64(size));
      break;
    }
    at += qint64(size);
  }
  if (meta.isEmpty()) return 1;
  const auto* begin = reinterpret_cast<const uint8_t*>(meta.constData());
  uint32_t type = 0;
  const uint8_t *contents = nullptr, *contentsEnd = nullptr;
  Boxes top(begin, begin + meta.size());
  if (!top.next(type, contents, contentsEnd) || contentsEnd - contents < 4) return 1;
  std::vector<std::pair<uint32_t, uint8_t>> properties;  // type, first byte, by index from 1
  std::vector<uint32_t> associated;                        // indices, in order
  Boxes inMeta(contents + 4, contentsEnd);                 // after the full box's version and flags
  while (inMeta.next(type, contents, contentsEnd)) {
    if (type != Boxes::fourcc("iprp")) continue;
    Boxes inIprp(contents, contentsEnd);
    while (inIprp.next(type, contents, contentsEnd)) {
      if (type == Boxes::fourcc("ipco")) {
        Boxes inIpco(contents, contentsEnd);
        uint32_t propertyType = 0;
        const uint8_t *p = nullptr, *pEnd = nullptr;
        while (inIpco.next(propertyType, p, pEnd)) properties.emplace_back(propertyType, p < pEnd ? *p : 0);
      } else if (type == Boxes::fourcc("ipma")) {
        const uint8_t* p = contents;
        if (contentsEnd - p < 8) return 1;
        const uint8_t version = p[0];
        const bool wideIndex = p[3] & 1;
        uint32_t entries = Boxes::read32(p + 4);
        p += 8;
        for (; entries > 0; --entries) {
          const int idBytes = version < 1 ? 2 : 4;
          if (contentsEnd - p < idBytes + 1) return 1;
          const uint32_t id = version < 1 ? uint32_t(p[0]) << 8 | p[1] : Boxes::read32(p);
          p += idBytes;
          const int count = *p++;
          const int indexBytes = wideIndex ? 2 : 1;
          if (contentsEnd - p < count * indexBytes) return 1;
          for (int i = 0; i < count; ++i, p += indexBytes) {
            const uint32_t index = wideIndex ? (uint32_t(p[0]) << 8 | p[1]) & 0x7FFF : p[0] & 0x7Fu;
            if (id == item) associated.push_back(index);
          }
        }
      }
    }
  }
  int shown = 1;
  for (const uint32_t index : associated) {
    if (index == 0 || index > properties.size()) continue;
    const auto [propertyType, first] = properties[index - 1];
    if (propertyType == Boxes::fourcc("irot")) {
      for (int quarter = 0; quarter < (first & 3); ++quarter)
        shown = orientation::combined(shown, orientation::QuarterAnticlockwise);
    } else if (propertyType == Boxes::fourcc("imir")) {
      shown = orientation::combined(shown, first & 1 ? orientation::MirroredLeftRight : orientation::MirroredTopBottom);
    }
  }
  return shown;
}

// The picture's colours: its own profile, or one made from the numbers of
// its nclx box (or, without one, of its codec's own colour description).
// An HDR picture is brought into sRGB here, from its 16 bits.
Result<DecodedPicture> withColour(DecodedPicture decoded, heif_image_handle* handle, const heif_image* image) {
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
    QByteArray icc(qsizetype(heif_image_handle_get_raw_color_profile_size(handle)), '\0');
    if (!icc.isEmpty() && heif_image_handle_get_raw_color_profile(handle, icc.data()).code == heif_error_Ok)
      decoded.iccProfile = icc;
    return decoded;
  }
  heif_color_profile_nclx* nclx = nullptr;
  const heif_error told = type == heif_color_profile_type_nclx ? heif_image_handle_get_nclx_color_profile(handle, &nclx)
                                                               : heif_image_get_nclx_color_profile(image, &nclx);
  if (told.code != heif_error_Ok || !nclx) return decoded;
  colour::CodedColour coded;
  coded.white[0] = nclx->color_primary_white_x;
  coded.white[1] = nclx->color_primary_white_y;
  coded.red[0] = nclx->color_primary_red_x;
  coded.red[1] = nclx->color_primary_red_y;
  coded.green[0] = nclx->color_primary_green_x;
  coded.green[1] = nclx->color_primary_green_y;
  coded.blue[0] = nclx->color_primary_blue_x;
  coded.blue[1] = nclx->color_primary_blue_y;
  coded.transfer = int(nclx->transfer_characteristics);
  heif_nclx_color_profile_free(nclx);
  if (colour::isHdr(coded)) {
    freeimage::Bitmap srgb = colour::hdrToSrgb(decoded.pixels.get(), coded);
    if (!srgb) return Failure{reasons::damaged()};
    decoded.pixels = std::move(srgb);
  } else {
    decoded.iccProfile = colour::profileFor(coded);
  }
  return decoded;
}

class HeifDecoder : public Decoder {
 public:
  std::optional<QSize> probeSize(const QByteArray& source) const override {
    Result<Context> context = opened(source);
    if (!context) return std::nullopt;
    Result<Handle> handle = primaryOf(context->get(), source);
    if (!handle) return std::nullopt;
    const QSize size(heif_image_handle_get_width(handle->get()), heif_image_handle_get_height(handle->get()));
    return size.isValid() ? std::optional<QSize>(size) : std::nullopt;
  }

  int decodedBytesPerPixel(const QByteArray& source) const override {
    Result<Context> context = opened(source);
    Result<Handle> handle = context ? primaryOf(context->get(), source) : Result<Handle>(Failure{});
    const bool deep = !handle || heif_image_handle_get_luma_bits_per_pixel(handle->get()) > 8;
    const bool alpha = !handle || heif_image_handle_has_alpha_channel(handle->get());
    // The codec's frame (YUV, 16-bit samples when deep), libheif's RGB of
    // it and the bitmap made of that.
    return deep ? (alpha ? 20 : 15) : (alpha ? 11 : 8);
  }

  Result<DecodedPicture> decode(const DecodeRequest& request, std::optional<QSize>) const override {
    Result<Context> context = opened(request.source);
    if (!context) return Failure{context.reason()};
    Result<Handle> handle = primaryOf(context->get(), request.source);
    if (!handle) return Failure{handle.reason()};
    const bool alpha = heif_image_handle_has_alpha_channel(handle->get());
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(handle->get()) > 8;
    const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                    : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    // The file's own rotation, mirror and crop are applied, as every
    // viewer applies them; the rotation and mirror are then undone, so that
    // the pixels are rescaled as stored and the output's Orientation shows
    // them turned, as a camera's JPEG is. The file's EXIF Orientation is
    // only a note, and may disagree.
    const std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    heif_image* decodedImage = nullptr;
    const heif_error error =
        heif_decode_image(handle->get(), &decodedImage, heif_colorspace_RGB, chroma, options.get());
    const std::unique_ptr<heif_image, ImageRelease> image(decodedImage);
    if (error.code != heif_error_Ok || !image) return refused(error, request.source);
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int bits = heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved);
    if (!plane || stride <= 0 || bits <= 0 || bits > 16) return Failure{reasons::damaged()};
    heif_item_id item = 0;
    heif_context_get_primary_image_ID(context->get(), &item);
    const int shown = shownAs(request.source, item);

    InterleavedPixels pixels;
    pixels.data = plane;
    pixels.stride = size_t(stride);
    pixels.width = heif_image_get_width(image.get(), heif_channel_interleaved);
    pixels.height = heif_image_get_height(image.get(), heif_channel_interleaved);
    pixels.channels = alpha ? 4 : 3;
    pixels.bytesPerSample = bits > 8 ? 2 : 1;
    pixels.maxValue = (1u << bits) - 1;
    DecodedPicture decoded;
    decoded.pixels = toBitmap(pixels, shown);
    if (!decoded.pixels) return Failure{reasons::tooMuchMemory()};
    decoded.orientation = shown;
    if (alpha && heif_image_handle_is_premultiplied_alpha(handle->get()))
      decoded.fourth = DecodedPicture::Fourth::PremultipliedAlpha;
    return withColour(std::move(decoded), handle->get(), image.get());
  }
};

}  // namespace

bool heifRecognises(const QByteArray& head) {
  const std::vector<heif_brand2> brands = brandsOf(head);
  return hasAny(brands, StillBrands) || hasAny(brands, SequenceBrands);
}

const Decoder& heifDecoder() {
  static const HeifDecoder decoder;
  return decoder;
}
