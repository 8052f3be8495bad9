// Camera raw files as a decoder, through LibRaw (the library the image
// library itself reads them with): the picture the camera would show, never
// the sensor's linear light. Its own full-size JPEG preview where that is
// large enough, for it is the camera's rendering and fast to read;
// otherwise the raw data developed with the camera's white balance into
// sRGB. Either way as stored, with the raw's Orientation.

#include "convert/ConvertPicture.h"
#include "convert/Decoders.h"
#include "convert/Interleaved.h"

// LibRaw and the image library each name a 64-bit integer type INT64, as
// different types.
#define INT64 libraw_INT64
#define UINT64 libraw_UINT64
#include <libraw/libraw.h>
#undef INT64
#undef UINT64
#include <omp.h>

#include <QFile>

#include <memory>

namespace {

struct RawClose {
  void operator()(libraw_data_t* raw) const { libraw_close(raw); }
};
using Raw = std::unique_ptr<libraw_data_t, RawClose>;
struct ProcessedFree {
  void operator()(libraw_processed_image_t* image) const { libraw_dcraw_clear_mem(image); }
};

QString libraryMessage(int error) { return QStringLiteral("LibRaw: %1").arg(QString::fromUtf8(libraw_strerror(error))); }

QString noPictureData(const QString& detail = QString()) {
  const QString reason = QStringLiteral("El archivo RAW no contiene los datos de la imagen, solo sus metadatos");
  return detail.isEmpty() ? reason + u'.' : QStringLiteral("%1 (%2).").arg(reason, detail);
}

Result<Raw> opened(const QByteArray& source) {
  Raw raw(libraw_init(LIBRAW_OPIONS_NO_DATAERR_CALLBACK));
  if (!raw) return Failure{reasons::tooMuchMemory()};
  const int error = libraw_open_file(raw.get(), source.constData());
  if (error == LIBRAW_FILE_UNSUPPORTED)
    return Failure{QStringLiteral("Es un archivo RAW de una cámara o un formato que no se admite (%1).").arg(libraryMessage(error))};
  if (error == LIBRAW_UNSUFFICIENT_MEMORY) return Failure{reasons::tooMuchMemory()};
  if (error != LIBRAW_SUCCESS) return Failure{reasons::damaged(libraryMessage(error))};
  return raw;
}

// LibRaw's flip, which turns the stored picture to show it, as an EXIF
// Orientation.
int orientationOf(int flip) {
  constexpr int ByFlip[8] = {1, 2, 4, 3, 5, 8, 6, 7};
  return flip >= 0 && flip < 8 ? ByFlip[flip] : 1;
}

bool atLeastTwice(QSize size, QSize target) {
  return size.width() >= 2 * target.width() && size.height() >= 2 * target.height();
}

// The embedded preview, when it is a JPEG at least twice the target each
// way; null otherwise.
freeimage::Bitmap largePreview(libraw_data_t* raw, QSize target) {
  const libraw_thumbnail_t& thumbnail = raw->thumbnail;
  if (thumbnail.tlength == 0 || !atLeastTwice(QSize(thumbnail.twidth, thumbnail.theight), target)) return nullptr;
  if (libraw_unpack_thumb(raw) != LIBRAW_SUCCESS || thumbnail.tformat != LIBRAW_THUMBNAIL_JPEG || !thumbnail.thumb)
    return nullptr;
  const std::unique_ptr<FIMEMORY, decltype(&FreeImage_CloseMemory)> memory(
      FreeImage_OpenMemory(reinterpret_cast<BYTE*>(thumbnail.thumb), DWORD(thumbnail.tlength)), FreeImage_CloseMemory);
  if (!memory || FreeImage_GetFileTypeFromMemory(memory.get(), 0) != FIF_JPEG) return nullptr;
  freeimage::Bitmap preview(FreeImage_LoadFromMemory(FIF_JPEG, memory.get(), 0));
  // The header's size may not be the JPEG's.
  if (!preview || FreeImage_GetBPP(preview.get()) != 24 ||
      !atLeastTwice(QSize(int(FreeImage_GetWidth(preview.get())), int(FreeImage_GetHeight(preview.get()))), target))
    return nullptr;
  return preview;
}

// A picture of one colour throughout: what developing raw data that is not
// there gives.
bool flat(FIBITMAP* dib) {
  const unsigned width = FreeImage_GetWidth(dib), height = FreeImage_GetHeight(dib);
  const BYTE first = *FreeImage_GetScanLine(dib, 0);
  for (unsigned y = 0; y < height; ++y) {
    const BYTE* line = FreeImage_GetScanLine(dib, int(y));
    for (unsigned i = 0; i < width * 3; ++i)
      if (line[i] != first) return false;
  }
  return true;
}

class RawDecoder : public Decoder {
 public:
  std::optional<QSize> probeSize(const QByteArray& source) const override {
    Result<Raw> raw = opened(source);
    if (!raw) return std::nullopt;
    return QSize((*raw)->sizes.width, (*raw)->sizes.height);
  }

  // The sensor's data, LibRaw's four 16-bit channels a pixel, its 8-bit
  // picture and the bitmap made of that (less when developed at half size
  // or read from the preview; this is the most).
  int decodedBytesPerPixel(const QByteArray&) const override { return 16; }

  Result<DecodedPicture> decode(const DecodeRequest& request, std::optional<QSize>) const override {
    Result<Raw> raw = opened(request.source);
    if (!raw) return Failure{raw.reason()};
    DecodedPicture decoded;
    decoded.orientation = orientationOf((*raw)->sizes.flip);
    if (freeimage::Bitmap preview = largePreview(raw->get(), request.target)) {
      if (FIICCPROFILE* icc = FreeImage_GetICCProfile(preview.get()); icc && icc->data && icc->size > 0)
        decoded.iccProfile = QByteArray(static_cast<const char*>(icc->data), icc->size);
      decoded.pixels = std::move(preview);
      return decoded;
    }
    // After a look at its preview, the file is read afresh for its data.
    raw = opened(request.source);
    if (!raw) return Failure{raw.reason()};
    libraw_data_t* r = raw->get();
    // Even packed as tightly as any camera packs it, the raw data of this
    // many pixels could not fit in so few bytes: the file has been pruned
    // to its metadata (as samples of metadata are), and developing what is
    // left gives a picture of one colour.
    constexpr qint64 LeastBitsPerPixel = 1;
    if (freeimage::FileBytes(request.source) * 8 < qint64(r->sizes.raw_width) * r->sizes.raw_height * LeastBitsPerPixel)
      return Failure{noPictureData()};
    libraw_output_params_t& params = r->params;
    params.use_camera_wb = 1;
    params.output_color = 1;  // sRGB
    params.output_bps = 8;
    params.gamm[0] = 1 / 2.4;
    params.gamm[1] = 12.92;
    params.user_flip = 0;  // as stored
    // Half the size develops four times as fast, and is taken while the
    // rescale still halves the picture or more each way.
    params.half_size = request.reducedDecode && atLeastTwice(QSize(r->sizes.width / 2, r->sizes.height / 2), request.target);
    // LibRaw develops on as many threads as there are cores; there is a
    // worker for each core already.
    omp_set_num_threads(1);
    if (const int error = libraw_unpack(r); error != LIBRAW_SUCCESS)
      return Failure{error == LIBRAW_UNSUFFICIENT_MEMORY ? reasons::tooMuchMemory() : noPictureData(libraryMessage(error))};
    if (const int error = libraw_dcraw_process(r); error != LIBRAW_SUCCESS)
      return Failure{error == LIBRAW_UNSUFFICIENT_MEMORY ? reasons::tooMuchMemory() : reasons::damaged(libraryMessage(error))};
    int error = LIBRAW_SUCCESS;
    const std::unique_ptr<libraw_processed_image_t, ProcessedFree> image(libraw_dcraw_make_mem_image(r, &error));
    if (!image) return Failure{error == LIBRAW_UNSUFFICIENT_MEMORY ? reasons::tooMuchMemory() : reasons::damaged(libraryMessage(error))};
    if (image->type != LIBRAW_IMAGE_BITMAP || image->colors != 3 || image->bits != 8)
      return Failure{reasons::damaged(QStringLiteral("LibRaw"))};
    InterleavedPixels pixels;
    pixels.data = image->data;
    pixels.width = image->width;
    pixels.height = image->height;
    pixels.stride = size_t(image->width) * 3;
    decoded.pixels = toBitmap(pixels);
    if (!decoded.pixels) return Failure{reasons::tooMuchMemory()};
    if (flat(decoded.pixels.get())) return Failure{noPictureData()};
    return decoded;
  }
};

}  // namespace

bool isoRawRecognises(const QByteArray& head) { return head.size() >= 12 && head.mid(4, 8) == "ftypcrx "; }

const Decoder& rawDecoder() {
  static const RawDecoder decoder;
  return decoder;
}
