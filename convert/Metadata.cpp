#include "convert/Metadata.h"

// Exiv2 0.27 still speaks of std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <algorithm>

struct Metadata::Data {
  Exiv2::ExifData exif;
  Exiv2::IptcData iptc;
  Exiv2::XmpData xmp;
  QByteArray icc;
};

namespace {

// Tags that describe how a TIFF stores its own pixels, or carry what is
// written elsewhere; in a JPEG they would lie.
constexpr const char* TiffStructure[] = {
    "ImageWidth",     "ImageLength",       "BitsPerSample", "Compression",     "PhotometricInterpretation",
    "StripOffsets",   "SamplesPerPixel",   "RowsPerStrip",  "StripByteCounts", "PlanarConfiguration",
    "TileWidth",      "TileLength",        "TileOffsets",   "TileByteCounts",  "ExtraSamples",
    "SampleFormat",   "Predictor",         "InterColorProfile", "XMLPacket",   "IPTCNAA",
    "ImageResources", "NewSubfileType",    "SubIFDs",       "JPEGInterchangeFormat", "JPEGInterchangeFormatLength"};

template <class Container, class Drop>
void dropWhere(Container& data, Drop drop) {
  for (auto i = data.begin(); i != data.end();) i = drop(*i) ? data.erase(i) : std::next(i);
}

void prepare(Exiv2::ExifData& exif, QSize size) {
  Exiv2::ExifThumb(exif).erase();
  dropWhere(exif, [](const Exiv2::Exifdatum& d) {
    if (d.groupName() == "GPSInfo" || d.key() == "Exif.Image.GPSTag") return true;
    return d.groupName() == "Image" &&
           std::find(std::begin(TiffStructure), std::end(TiffStructure), d.tagName()) != std::end(TiffStructure);
  });
  if (exif.empty()) return;
  exif["Exif.Photo.PixelXDimension"] = uint32_t(size.width());
  exif["Exif.Photo.PixelYDimension"] = uint32_t(size.height());
}

void prepare(Exiv2::XmpData& xmp, QSize size) {
  dropWhere(xmp, [](const Exiv2::Xmpdatum& d) {
    return d.key().rfind("Xmp.exif.GPS", 0) == 0 || d.key().rfind("Xmp.xmp.Thumbnails", 0) == 0;
  });
  for (const char* key : {"Xmp.exif.PixelXDimension", "Xmp.tiff.ImageWidth"})
    if (xmp.findKey(Exiv2::XmpKey(key)) != xmp.end()) xmp[key] = std::to_string(size.width());
  for (const char* key : {"Xmp.exif.PixelYDimension", "Xmp.tiff.ImageLength"})
    if (xmp.findKey(Exiv2::XmpKey(key)) != xmp.end()) xmp[key] = std::to_string(size.height());
}

void quietLibrary() {
  static const bool quiet = [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    return Exiv2::XmpParser::initialize();
  }();
  (void)quiet;
}

}  // namespace

Metadata Metadata::read(const QByteArray& path) {
  quietLibrary();
  Metadata metadata;
  try {
    auto image = Exiv2::ImageFactory::open(path.toStdString());
    image->readMetadata();
    auto data = std::make_shared<Data>();
    data->exif = image->exifData();
    data->iptc = image->iptcData();
    data->xmp = image->xmpData();
    if (image->iccProfileDefined())
      data->icc = QByteArray(reinterpret_cast<const char*>(image->iccProfile()->pData_), image->iccProfile()->size_);
    metadata.data_ = std::move(data);
  } catch (const std::exception&) {
    // Unreadable or unknown to Exiv2: the picture goes without metadata.
  }
  return metadata;
}

QByteArray Metadata::iccProfile() const { return data_ ? data_->icc : QByteArray(); }

bool Metadata::writeInto(QByteArray& jpeg, QSize size) const {
  if (!data_ || (data_->exif.empty() && data_->iptc.empty() && data_->xmp.empty())) return true;
  try {
    Exiv2::ExifData exif = data_->exif;
    Exiv2::XmpData xmp = data_->xmp;
    prepare(exif, size);
    prepare(xmp, size);
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(jpeg.constData()), long(jpeg.size()));
    image->readMetadata();  // the colour profile the JPEG carries, to write back
    image->setExifData(exif);
    image->setIptcData(data_->iptc);
    image->setXmpData(xmp);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.open();
    const Exiv2::DataBuf written = io.read(long(io.size()));
    jpeg = QByteArray(reinterpret_cast<const char*>(written.pData_), written.size_);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
