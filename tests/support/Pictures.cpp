#include "support/Pictures.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>
#include <jxl/encode.h>
#include <lcms2.h>
#include <libheif/heif.h>

#include <memory>

#include <dirent.h>
#include <ftw.h>

namespace pictures {
namespace {

BYTE ramp(int at, int length) { return BYTE(length > 1 ? at * 255 / (length - 1) : 0); }

template <class Pixel, class Fill>
freeimage::Bitmap filled(QSize size, int bpp, Fill fill) {
  freeimage::Bitmap dib(FreeImage_Allocate(size.width(), size.height(), bpp));
  for (int y = 0; y < size.height(); ++y) {
    auto* line = reinterpret_cast<Pixel*>(FreeImage_GetScanLine(dib.get(), y));
    for (int x = 0; x < size.width(); ++x) fill(line[x], x, y);
  }
  return dib;
}

struct Bgra {
  BYTE b, g, r, a;
};

// A profile's bytes, as a file holds them; the profile is closed.
QByteArray bytesOf(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  QByteArray bytes(qsizetype(size), 0);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  return bytes;
}

}  // namespace

freeimage::Bitmap make(QSize size, Kind kind) {
  const int w = size.width(), h = size.height();
  if (kind == Kind::Rgba32)
    return filled<Bgra>(size, 32, [&](Bgra& p, int x, int) { p = x < w / 2 ? Bgra{0, 0, 255, 255} : Bgra{0, 255, 0, 0}; });
  if (kind == Kind::Palette8) {
    freeimage::Bitmap dib = filled<BYTE>(size, 8, [&](BYTE& p, int x, int) { p = x < w / 2; });
    FreeImage_GetPalette(dib.get())[1] = {0, 0, 255, 0};
    BYTE transparent[1] = {0};
    FreeImage_SetTransparencyTable(dib.get(), transparent, 1);
    return dib;
  }
  const freeimage::Bitmap rgb = filled<RGBTRIPLE>(size, 24, [&](RGBTRIPLE& p, int x, int y) {
    p = {128, ramp(y, h), ramp(x, w)};
  });
  return freeimage::Bitmap(kind == Kind::Rgb48 ? FreeImage_ConvertToType(rgb.get(), FIT_RGB16) : FreeImage_Clone(rgb.get()));
}

bool make(const QString& path, QSize size, FREE_IMAGE_FORMAT format, Kind kind) {
  freeimage::Bitmap dib = make(size, kind);
  return dib && FreeImage_Save(format, dib.get(), QFile::encodeName(path).constData(), 0);
}

freeimage::Bitmap noise(QSize size, int bpp, quint32 seed) {
  freeimage::Bitmap dib(FreeImage_Allocate(size.width(), size.height(), bpp));
  QRandomGenerator random(seed);
  for (int y = 0; y < size.height(); ++y)
    for (unsigned i = 0; i < FreeImage_GetLine(dib.get()); ++i) FreeImage_GetScanLine(dib.get(), y)[i] = BYTE(random.bounded(256));
  return dib;
}

QByteArray rgbProfile(const std::array<double, 6>& p) {
  const cmsCIExyY white{0.3127, 0.3290, 1};
  const cmsCIExyYTRIPLE primaries{{p[0], p[1], 1}, {p[2], p[3], 1}, {p[4], p[5], 1}};
  cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
  cmsToneCurve* curves[3] = {gamma, gamma, gamma};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(gamma);
  return bytesOf(profile);
}

QByteArray cmykProfile() {
  cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
  cmsSetDeviceClass(profile, cmsSigInputClass);
  cmsSetColorSpace(profile, cmsSigCmykData);
  cmsSetPCS(profile, cmsSigLabData);
  cmsStage* clut = cmsStageAllocCLut16bit(nullptr, 9, 4, 3, nullptr);
  cmsStageSampleCLut16bit(clut, [](const cmsUInt16Number in[], cmsUInt16Number out[], void*) {
    const double c = in[0] / 65535.0, m = in[1] / 65535.0, y = in[2] / 65535.0, k = in[3] / 65535.0;
    const cmsCIELab lab{100 * (1 - k) * (1 - (c + m + y) / 4), 70 * (m - c / 2), 70 * (y - (c + m) / 2)};
    cmsFloat2LabEncoded(out, &lab);
    return TRUE;
  }, nullptr, 0);
  cmsPipeline* lut = cmsPipelineAlloc(nullptr, 4, 3);
  cmsPipelineInsertStage(lut, cmsAT_BEGIN, clut);
  cmsWriteTag(profile, cmsSigAToB0Tag, lut);
  cmsPipelineFree(lut);
  return bytesOf(profile);
}

namespace {

// Samples of one row as the file holds them: whole bytes, 16-bit words in
// this machine's order (libtiff puts them in the file's), or packed from the
// most significant bit on.
std::vector<uint8_t> packed(const Tiff& wanted, int y, int x0, int columns) {
  const int samples = wanted.colours + int(wanted.extras.size());
  std::vector<uint8_t> row((size_t(columns) * samples * wanted.bits + 7) / 8);
  for (int i = 0; i < columns * samples; ++i) {
    const quint32 value = wanted.sample(x0 + i / samples, y, i % samples);
    if (wanted.bits == 16) {
      const uint16_t word = uint16_t(value);
      memcpy(row.data() + 2 * i, &word, 2);
      continue;
    }
    for (int b = 0; b < wanted.bits; ++b)
      if (value >> (wanted.bits - 1 - b) & 1) {
        const size_t bit = size_t(i) * wanted.bits + b;
        row[bit / 8] |= uint8_t(0x80 >> bit % 8);
      }
  }
  return row;
}

}  // namespace

bool make(const QString& path, const Tiff& wanted) {
  TIFF* tiff = TIFFOpen(QFile::encodeName(path).constData(), wanted.bigEndian ? "wb" : "wl");
  if (!tiff) return false;
  const int w = wanted.size.width(), h = wanted.size.height(), tile = 16;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, uint32_t(w));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, uint32_t(h));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(wanted.bits));
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(wanted.colours + wanted.extras.size()));
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, uint16_t(wanted.photometric));
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, uint16_t(PLANARCONFIG_CONTIG));
  if (!wanted.extras.empty())
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(wanted.extras.size()), wanted.extras.data());
  if (wanted.tiled) {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, uint32_t(tile));
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, uint32_t(tile));
  } else {
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, uint32_t(7));
  }
  if (wanted.exif) TIFFSetField(tiff, TIFFTAG_EXIFIFD, uint64_t(0));  // where it goes, once written
  wanted.tags(tiff);
  bool written = true;
  if (wanted.tiled) {
    std::vector<uint8_t> pixels(size_t(TIFFTileSize(tiff)));
    const size_t rowBytes = size_t(TIFFTileRowSize(tiff));
    for (int y = 0; y < h; y += tile)
      for (int x = 0; x < w; x += tile) {
        for (int r = 0; r < tile; ++r) {
          const std::vector<uint8_t> row = packed(wanted, std::min(y + r, h - 1), x, tile);
          memcpy(pixels.data() + r * rowBytes, row.data(), std::min(row.size(), rowBytes));
        }
        written = written && TIFFWriteTile(tiff, pixels.data(), uint32_t(x), uint32_t(y), 0, 0) >= 0;
      }
  } else {
    for (int y = 0; y < h; ++y) {
      std::vector<uint8_t> row = packed(wanted, y, 0, w);
      written = written && TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) >= 0;
    }
  }
  written = written && TIFFWriteDirectory(tiff);
  if (written && wanted.exif) {
    uint64_t offset = 0;
    written = TIFFCreateEXIFDirectory(tiff) == 0;
    wanted.exif(tiff);
    written = written && TIFFWriteCustomDirectory(tiff, &offset) && TIFFSetDirectory(tiff, 0) &&
              TIFFSetField(tiff, TIFFTAG_EXIFIFD, offset) && TIFFRewriteDirectory(tiff);
  }
  TIFFClose(tiff);
  return written;
}

QRgb pixel(FIBITMAP* dib, int x, int y) {
  RGBQUAD value{};
  FreeImage_GetPixelColor(dib, unsigned(x), FreeImage_GetHeight(dib) - 1 - unsigned(y), &value);
  return qRgb(value.rgbRed, value.rgbGreen, value.rgbBlue);
}

QList<qint64> workerPids() {
  QList<qint64> pids;
  const QByteArray self = QByteArray::number(QCoreApplication::applicationPid());
  for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    // pid (comm) state ppid ...
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (line.contains("(dimenzo-worker)") && fields.size() > 1 && fields[1] == self && fields[0] != "Z")
      pids.append(pid.toLongLong());
  }
  return pids;
}

QStringList entries(const QString& folder) {
  QStringList names;
  if (DIR* dir = ::opendir(QFile::encodeName(folder).constData())) {
    while (const dirent* entry = ::readdir(dir))
      if (qstrcmp(entry->d_name, ".") != 0 && qstrcmp(entry->d_name, "..") != 0) names << QFile::decodeName(entry->d_name);
    ::closedir(dir);
  }
  names.sort();
  return names;
}

void removeTree(const QString& root) {
  ::nftw(QFile::encodeName(root).constData(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); },
         16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace pictures

namespace pictures {
namespace {

heif_error appendTo(heif_context*, const void* data, size_t size, void* userdata) {
  static_cast<QByteArray*>(userdata)->append(static_cast<const char*>(data), qsizetype(size));
  return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
}

QByteArray heif(FIBITMAP* stored, bool av1, const Encoding& encoding) {
  const std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), heif_context_free);
  heif_encoder* encoder = nullptr;
  if (heif_context_get_encoder_for_format(context.get(), av1 ? heif_compression_AV1 : heif_compression_HEVC, &encoder)
          .code != heif_error_Ok)
    return QByteArray();
  heif_encoder_set_lossy_quality(encoder, 95);
  const int width = int(FreeImage_GetWidth(stored)), height = int(FreeImage_GetHeight(stored));
  const bool deep = encoding.bits > 8;
  heif_image* image = nullptr;
  heif_image_create(width, height, heif_colorspace_RGB,
                    deep ? heif_chroma_interleaved_RRGGBB_LE : heif_chroma_interleaved_RGB, &image);
  heif_image_add_plane(image, heif_channel_interleaved, width, height, encoding.bits);
  int stride = 0;
  uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
  const unsigned most = (1u << encoding.bits) - 1, sampleBytes = deep ? 2 : 1;
  for (int y = 0; y < height; ++y) {
    const BYTE* from = FreeImage_GetScanLine(stored, height - 1 - y);
    for (int i = 0; i < 3 * width; ++i) {  // red, green and blue, from the bitmap's blue, green and red
      const quint16 sample = quint16((from[i + 2 - 2 * (i % 3)] * most + 127) / 255);
      memcpy(plane + y * stride + sampleBytes * i, &sample, sampleBytes);  // little-endian, as asked
    }
  }
  if (!encoding.icc.isEmpty()) {
    heif_image_set_raw_color_profile(image, "prof", encoding.icc.constData(), size_t(encoding.icc.size()));
  } else {
    heif_color_profile_nclx* nclx = heif_nclx_color_profile_alloc();
    heif_nclx_color_profile_set_color_primaries(nclx, uint16_t(encoding.primaries));
    heif_nclx_color_profile_set_transfer_characteristics(nclx, uint16_t(encoding.transfer));
    heif_nclx_color_profile_set_matrix_coefficients(nclx, 6);
    nclx->full_range_flag = 1;
    heif_image_set_nclx_color_profile(image, nclx);
    heif_nclx_color_profile_free(nclx);
  }
  heif_encoding_options* options = heif_encoding_options_alloc();
  options->image_orientation = heif_orientation(encoding.orientation);
  // The colour numbers in a box of their own, not only in the HEVC stream.
  options->macOS_compatibility_workaround_no_nclx_profile = 0;
  heif_image_handle* handle = nullptr;
  const heif_error error = heif_context_encode_image(context.get(), image, encoder, options, &handle);
  heif_encoding_options_free(options);
  heif_image_release(image);
  heif_encoder_release(encoder);
  if (error.code != heif_error_Ok) return QByteArray();
  if (!encoding.exif.isEmpty()) {
    // A HEIF's EXIF item starts with the offset of its TIFF header.
    const QByteArray item = QByteArray(4, '\0') + encoding.exif;
    heif_context_add_exif_metadata(context.get(), handle, item.constData(), int(item.size()));
  }
  heif_image_handle_release(handle);
  QByteArray bytes;
  heif_writer writer{1, appendTo};
  if (heif_context_write(context.get(), &writer, &bytes).code != heif_error_Ok) return QByteArray();
  return bytes;
}

QByteArray jxl(FIBITMAP* stored, const Encoding& encoding) {
  const std::unique_ptr<JxlEncoder, decltype(&JxlEncoderDestroy)> encoder(JxlEncoderCreate(nullptr), JxlEncoderDestroy);
  const int width = int(FreeImage_GetWidth(stored)), height = int(FreeImage_GetHeight(stored));
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = uint32_t(width);
  info.ysize = uint32_t(height);
  info.bits_per_sample = 8;
  info.uses_original_profile = JXL_TRUE;
  info.orientation = JxlOrientation(encoding.orientation);
  if (!encoding.exif.isEmpty()) {
    JxlEncoderUseContainer(encoder.get(), JXL_TRUE);
    JxlEncoderUseBoxes(encoder.get());
  }
  if (JxlEncoderSetBasicInfo(encoder.get(), &info) != JXL_ENC_SUCCESS) return QByteArray();
  JxlColorEncoding colour;
  JxlColorEncodingSetToSRGB(&colour, JXL_FALSE);
  colour.transfer_function = JxlTransferFunction(encoding.transfer);
  if (encoding.primaries == 9) colour.primaries = JXL_PRIMARIES_2100;
  JxlEncoderSetColorEncoding(encoder.get(), &colour);
  if (!encoding.exif.isEmpty()) {
    const QByteArray box = QByteArray(4, '\0') + encoding.exif;
    JxlEncoderAddBox(encoder.get(), "Exif", reinterpret_cast<const uint8_t*>(box.constData()), size_t(box.size()), JXL_FALSE);
    JxlEncoderCloseBoxes(encoder.get());
  }
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
  JxlEncoderSetFrameLossless(settings, JXL_TRUE);
  QByteArray rgb;
  for (int y = 0; y < height; ++y) {
    const BYTE* from = FreeImage_GetScanLine(stored, height - 1 - y);
    for (int x = 0; x < width; ++x)
      for (const int c : {FI_RGBA_RED, FI_RGBA_GREEN, FI_RGBA_BLUE}) rgb += char(from[3 * x + c]);
  }
  const JxlPixelFormat format{3, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  if (JxlEncoderAddImageFrame(settings, &format, rgb.constData(), size_t(rgb.size())) != JXL_ENC_SUCCESS) return QByteArray();
  JxlEncoderCloseInput(encoder.get());
  // Room for all of it: lossless noise takes no more than its pixels and a margin.
  QByteArray bytes(rgb.size() + 65536, '\0');
  uint8_t* next = reinterpret_cast<uint8_t*>(bytes.data());
  size_t room = size_t(bytes.size());
  if (JxlEncoderProcessOutput(encoder.get(), &next, &room) != JXL_ENC_SUCCESS) return QByteArray();
  bytes.resize(next - reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes;
}

}  // namespace

QByteArray encoded(FIBITMAP* stored, Codec codec, const Encoding& encoding) {
  if (!stored || FreeImage_GetBPP(stored) != 24) return QByteArray();
  return codec == Codec::Jxl ? jxl(stored, encoding) : heif(stored, codec == Codec::Av1, encoding);
}

freeimage::Bitmap quarters(QSize size) {
  const int w = size.width(), h = size.height();
  // (Rows are stored bottom-up.)
  return filled<RGBTRIPLE>(size, 24, [&](RGBTRIPLE& p, int x, int y) {
    const bool right = x >= w / 2, top = y >= h / 2;
    p = top ? (right ? RGBTRIPLE{0, 255, 0} : RGBTRIPLE{0, 0, 255}) : (right ? RGBTRIPLE{255, 255, 255} : RGBTRIPLE{255, 0, 0});
  });
}

bool write(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  return !bytes.isEmpty() && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace pictures
