#include "convert/Metadata.h"

#include "convert/FreeImage.h"

// Exiv2 0.27 still speaks of std::auto_ptr.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <algorithm>
#include <functional>
#include <set>
#include <unordered_set>

struct Metadata::Data {
  Exiv2::ExifData exif;
  Exiv2::IptcData iptc;
  Exiv2::XmpData xmp;
  QByteArray icc;
};

namespace {

// What goes on into a picture for the web; everything else is left out:
// coordinates in whatever namespace, maker notes, thumbnails and previews,
// serial numbers of bodies and lenses, editing history (whose document IDs
// and ancestors can name paths on the owner's disks), and anything this
// list does not know. EXIF by IFD0 ("Image"), Exif IFD ("Photo") and
// interoperability ("Iop") tag, never a maker's group; IPTC by dataset;
// XMP by namespace and property, a structure's field as "struct/field",
// array indices left out. A structure goes on only with fields named here:
// a place's names, never its coordinates.
constexpr const char* Kept[] = {
    // What the picture shows: title, description and caption, headline, keywords.
    "Exif.Image.ImageDescription", "Exif.Image.XPTitle", "Exif.Image.XPSubject", "Exif.Image.XPComment",
    "Exif.Image.XPKeywords", "Exif.Photo.UserComment",
    "Iptc.Application2.ObjectName", "Iptc.Application2.Headline", "Iptc.Application2.Caption",
    "Iptc.Application2.Keywords",
    "Xmp.dc.title", "Xmp.dc.description", "Xmp.dc.subject", "Xmp.photoshop.Headline", "Xmp.tiff.ImageDescription",
    "Xmp.exif.UserComment",

    // Who made it and how to reach them; credit, source, copyright and terms of use.
    "Exif.Image.Artist", "Exif.Image.XPAuthor", "Exif.Image.Copyright",
    "Iptc.Application2.Byline", "Iptc.Application2.BylineTitle", "Iptc.Application2.Contact",
    "Iptc.Application2.Credit", "Iptc.Application2.Source", "Iptc.Application2.Copyright",
    "Xmp.dc.creator", "Xmp.dc.rights", "Xmp.tiff.Artist", "Xmp.tiff.Copyright",
    "Xmp.photoshop.AuthorsPosition", "Xmp.photoshop.Credit", "Xmp.photoshop.Source",
    "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiAdrExtadr", "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiAdrCity",
    "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiAdrRegion", "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiAdrPcode",
    "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiAdrCtry", "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiTelWork",
    "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiEmailWork", "Xmp.iptc.CreatorContactInfo/Iptc4xmpCore:CiUrlWork",
    "Xmp.xmpRights.Marked", "Xmp.xmpRights.Owner", "Xmp.xmpRights.UsageTerms", "Xmp.xmpRights.WebStatement",
    "Xmp.plus.ImageCreator/plus:ImageCreatorName", "Xmp.plus.CopyrightOwner/plus:CopyrightOwnerName",

    // Where, in the owner's words: names of places, no coordinates.
    "Iptc.Application2.LocationName", "Iptc.Application2.SubLocation", "Iptc.Application2.City",
    "Iptc.Application2.ProvinceState", "Iptc.Application2.CountryCode", "Iptc.Application2.CountryName",
    "Xmp.iptc.Location", "Xmp.iptc.CountryCode", "Xmp.photoshop.City", "Xmp.photoshop.State", "Xmp.photoshop.Country",
    "Xmp.iptcExt.LocationCreated/Iptc4xmpExt:LocationName", "Xmp.iptcExt.LocationCreated/Iptc4xmpExt:Sublocation",
    "Xmp.iptcExt.LocationCreated/Iptc4xmpExt:City", "Xmp.iptcExt.LocationCreated/Iptc4xmpExt:ProvinceState",
    "Xmp.iptcExt.LocationCreated/Iptc4xmpExt:CountryName", "Xmp.iptcExt.LocationCreated/Iptc4xmpExt:CountryCode",
    "Xmp.iptcExt.LocationCreated/Iptc4xmpExt:WorldRegion",
    "Xmp.iptcExt.LocationShown/Iptc4xmpExt:LocationName", "Xmp.iptcExt.LocationShown/Iptc4xmpExt:Sublocation",
    "Xmp.iptcExt.LocationShown/Iptc4xmpExt:City", "Xmp.iptcExt.LocationShown/Iptc4xmpExt:ProvinceState",
    "Xmp.iptcExt.LocationShown/Iptc4xmpExt:CountryName", "Xmp.iptcExt.LocationShown/Iptc4xmpExt:CountryCode",
    "Xmp.iptcExt.LocationShown/Iptc4xmpExt:WorldRegion",

    // How it was taken: camera and lens, exposure, when (with its offset from UTC).
    "Exif.Image.Make", "Exif.Image.Model", "Exif.Photo.LensMake", "Exif.Photo.LensModel",
    "Exif.Photo.LensSpecification",
    "Exif.Photo.ExposureTime", "Exif.Photo.ShutterSpeedValue", "Exif.Photo.FNumber", "Exif.Photo.ApertureValue",
    "Exif.Photo.ISOSpeedRatings", "Exif.Photo.SensitivityType", "Exif.Photo.StandardOutputSensitivity",
    "Exif.Photo.RecommendedExposureIndex", "Exif.Photo.ISOSpeed",
    "Exif.Photo.FocalLength", "Exif.Photo.FocalLengthIn35mmFilm", "Exif.Photo.Flash", "Exif.Photo.WhiteBalance",
    "Exif.Photo.ExposureProgram", "Exif.Photo.ExposureBiasValue", "Exif.Photo.MeteringMode",
    "Exif.Photo.DateTimeOriginal", "Exif.Photo.SubSecTimeOriginal", "Exif.Photo.OffsetTimeOriginal",
    "Iptc.Application2.DateCreated", "Iptc.Application2.TimeCreated",
    "Xmp.tiff.Make", "Xmp.tiff.Model", "Xmp.exifEX.LensMake", "Xmp.exifEX.LensModel",
    "Xmp.exifEX.LensSpecification", "Xmp.aux.Lens",
    "Xmp.exif.ExposureTime", "Xmp.exif.ShutterSpeedValue", "Xmp.exif.FNumber", "Xmp.exif.ApertureValue",
    "Xmp.exif.ISOSpeedRatings", "Xmp.exifEX.PhotographicSensitivity",
    "Xmp.exif.FocalLength", "Xmp.exif.FocalLengthIn35mmFilm", "Xmp.exif.WhiteBalance",
    "Xmp.exif.Flash/exif:Fired", "Xmp.exif.Flash/exif:Return", "Xmp.exif.Flash/exif:Mode",
    "Xmp.exif.Flash/exif:Function", "Xmp.exif.Flash/exif:RedEyeMode",
    "Xmp.exif.ExposureProgram", "Xmp.exif.ExposureBiasValue", "Xmp.exif.MeteringMode",
    "Xmp.exif.DateTimeOriginal", "Xmp.photoshop.DateCreated",

    // How to show it: which way is up, in which colour space (the DCF index
    // says Adobe RGB where the tag can only say "not sRGB"), at which size
    // (the output's own, set below).
    "Exif.Image.Orientation", "Exif.Photo.ColorSpace", "Exif.Iop.InteroperabilityIndex",
    "Exif.Photo.PixelXDimension", "Exif.Photo.PixelYDimension",
    "Xmp.tiff.Orientation", "Xmp.exif.ColorSpace",
    "Xmp.exif.PixelXDimension", "Xmp.exif.PixelYDimension", "Xmp.tiff.ImageWidth", "Xmp.tiff.ImageLength",

    // How to read the rest.
    "Exif.Photo.ExifVersion", "Iptc.Envelope.CharacterSet", "Iptc.Application2.RecordVersion",
};

// Each key as Exiv2 spells it, so that a misspelt one fails every write
// (and every test) rather than drop a tag unnoticed.
const std::unordered_set<std::string>& keptKeys() {
  static const std::unordered_set<std::string> keys = [] {
    std::unordered_set<std::string> set;
    for (const std::string key : Kept) {
      if (key.rfind("Exif.", 0) == 0)
        set.insert(Exiv2::ExifKey(key).key());
      else if (key.rfind("Iptc.", 0) == 0)
        set.insert(Exiv2::IptcKey(key).key());
      else
        set.insert(Exiv2::XmpKey(key.substr(0, key.find('/'))).key() + key.substr(std::min(key.find('/'), key.size())));
    }
    return set;
  }();
  return keys;
}

bool isKept(const std::string& key) { return keptKeys().count(key) != 0; }

// "Xmp.iptcExt.LocationShown[2]/Iptc4xmpExt:City" as the list names it.
std::string withoutIndices(const std::string& key) {
  std::string path;
  for (size_t i = 0; i < key.size(); ++i) {
    if (key[i] == '[') {
      const size_t close = key.find(']', i);
      if (close != std::string::npos &&
          std::all_of(key.begin() + long(i) + 1, key.begin() + long(close), [](char c) { return c >= '0' && c <= '9'; })) {
        i = close;
        continue;
      }
    }
    path += key[i];
  }
  return path;
}

// Copies what stays, in its order: XMP and IPTC are vectors, from which
// erasing 20,000 entries one by one takes half a minute.
template <class Container, class Drop>
void dropWhere(Container& data, Drop drop) {
  Container kept;
  for (const auto& d : data)
    if (!drop(d)) kept.add(d);
  data = kept;
}

void keepOnlyListed(Exiv2::ExifData& exif, QSize size) {
  dropWhere(exif, [](const Exiv2::Exifdatum& d) { return !isKept(d.key()); });
  if (exif.empty()) return;
  exif["Exif.Photo.PixelXDimension"] = uint32_t(size.width());
  exif["Exif.Photo.PixelYDimension"] = uint32_t(size.height());
}

void keepOnlyListed(Exiv2::IptcData& iptc) {
  dropWhere(iptc, [](const Exiv2::Iptcdatum& d) { return !isKept(d.key()); });
}

// A structure or array is an entry of its own, before its fields and
// items; it stays while something in it does.
void keepOnlyListed(Exiv2::XmpData& xmp, QSize size) {
  std::set<std::string> kept;
  for (const Exiv2::Xmpdatum& d : xmp)
    if (isKept(withoutIndices(d.key()))) kept.insert(d.key());
  const auto holdsKept = [&kept](const std::string& key) {
    for (const char* step : {"/", "["}) {
      const auto next = kept.lower_bound(key + step);
      if (next != kept.end() && next->rfind(key + step, 0) == 0) return true;
    }
    return false;
  };
  dropWhere(xmp, [&](const Exiv2::Xmpdatum& d) { return kept.count(d.key()) == 0 && !holdsKept(d.key()); });
  for (const char* key : {"Xmp.exif.PixelXDimension", "Xmp.tiff.ImageWidth"})
    if (xmp.findKey(Exiv2::XmpKey(key)) != xmp.end()) xmp[key] = std::to_string(size.width());
  for (const char* key : {"Xmp.exif.PixelYDimension", "Xmp.tiff.ImageLength"})
    if (xmp.findKey(Exiv2::XmpKey(key)) != xmp.end()) xmp[key] = std::to_string(size.height());
}

// A JPEG segment holds 65,535 bytes, its length and its name included.
// IPTC may span several; Exif and XMP may not.
constexpr size_t ExifRoom = 0xFFFF - 2 - 6;   // "Exif\0\0"
constexpr size_t XmpRoom = 0xFFFF - 2 - 29;   // "http://ns.adobe.com/xap/1.0/\0"

// As Exiv2's JPEG writer encodes them.
size_t encodedSize(const Exiv2::ExifData& exif) {
  Exiv2::Blob blob;
  Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, exif);
  return blob.size();
}
size_t encodedSize(const Exiv2::XmpData& xmp) {
  std::string packet;
  Exiv2::XmpParser::encode(packet, xmp, Exiv2::XmpParser::useCompactFormat | Exiv2::XmpParser::omitAllFormatting);
  return packet.size();
}

// Leaves out the bulkiest entries, as few as make up the excess each round,
// until the rest fits: a long description goes before the author, the
// orientation or the copyright would.
template <class Container>
void shedBulkiest(Container& data, size_t room) {
  for (size_t size = encodedSize(data); size > room && !data.empty(); size = encodedSize(data)) {
    std::vector<size_t> sizes;
    for (const auto& d : data) sizes.push_back(size_t(d.size()));
    std::sort(sizes.begin(), sizes.end(), std::greater<>());
    size_t count = 0, freed = 0;
    while (count < sizes.size() && freed < size - room) freed += sizes[count++];
    const size_t smallest = sizes[count - 1];
    auto alsoSmallest = size_t(std::count(sizes.begin(), sizes.begin() + long(count), smallest));
    dropWhere(data, [&](const auto& d) {
      if (size_t(d.size()) != smallest) return size_t(d.size()) > smallest;
      if (alsoSmallest == 0) return false;
      --alsoSmallest;
      return true;
    });
  }
}

bool written(QByteArray& jpeg, const Exiv2::ExifData& exif, const Exiv2::IptcData& iptc, const Exiv2::XmpData& xmp) {
  try {
    auto image = Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte*>(jpeg.constData()), long(jpeg.size()));
    image->readMetadata();  // the colour profile the encoder wrote, to write back
    image->setExifData(exif);
    image->setIptcData(iptc);
    image->setXmpData(xmp);
    image->writeMetadata();
    Exiv2::BasicIo& io = image->io();
    io.open();
    const Exiv2::DataBuf bytes = io.read(long(io.size()));
    jpeg = QByteArray(reinterpret_cast<const char*>(bytes.pData_), bytes.size_);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void quietLibrary() {
  static const bool quiet = [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::enableBMFF();  // HEIF and AVIF
    return Exiv2::XmpParser::initialize();
  }();
  (void)quiet;
}

}  // namespace

Metadata Metadata::read(const QByteArray& path) {
  // Nothing here for Exiv2 to find but the colour profile, which the
  // decoder reads from the same segments: most of what a small photo
  // exported for the web costs besides its pixels.
  if (freeimage::JpegHoldsNoMetadata(path)) return Metadata();
  quietLibrary();
  Metadata metadata;
  try {
    auto image = Exiv2::ImageFactory::open(path.toStdString());
    image->readMetadata();
    auto data = std::make_shared<Data>();
    // Taken from the image, which goes with this call, rather than copied
    // entry by entry.
    data->exif = std::move(image->exifData());
    data->iptc = std::move(image->iptcData());
    data->xmp = std::move(image->xmpData());
    if (image->iccProfileDefined())
      data->icc = QByteArray(reinterpret_cast<const char*>(image->iccProfile()->pData_), image->iccProfile()->size_);
    metadata.data_ = std::move(data);
  } catch (const std::exception&) {
    // Unreadable or unknown to Exiv2: the picture goes without metadata.
  }
  return metadata;
}

Metadata Metadata::fromBlocks(const QByteArray& exif, const QByteArray& xmp, const QByteArray& icc) {
  quietLibrary();
  auto data = std::make_shared<Data>();
  const QByteArray tiff = exif.startsWith(QByteArray("Exif\0\0", 6)) ? exif.mid(6) : exif;
  try {
    if (!tiff.isEmpty())
      Exiv2::ExifParser::decode(data->exif, reinterpret_cast<const Exiv2::byte*>(tiff.constData()), uint32_t(tiff.size()));
  } catch (const std::exception&) {
    data->exif.clear();
  }
  try {
    if (!xmp.isEmpty() && Exiv2::XmpParser::decode(data->xmp, xmp.toStdString()) != 0) data->xmp.clear();
  } catch (const std::exception&) {
    data->xmp.clear();
  }
  data->icc = icc;
  Metadata metadata;
  metadata.data_ = std::move(data);
  return metadata;
}

QByteArray Metadata::iccProfile() const { return data_ ? data_->icc : QByteArray(); }

bool Metadata::writeInto(QByteArray& jpeg, QSize size, std::optional<int> orientation) const {
  if (!data_ && (!orientation || *orientation == 1)) return true;
  quietLibrary();
  Exiv2::ExifData exif = data_ ? data_->exif : Exiv2::ExifData();
  Exiv2::IptcData iptc = data_ ? data_->iptc : Exiv2::IptcData();
  Exiv2::XmpData xmp = data_ ? data_->xmp : Exiv2::XmpData();
  try {
    if (orientation) {
      // The decoder's word over the file's: its pixels are as stored, and
      // this is how they are to be shown.
      const Exiv2::ExifKey exifKey("Exif.Image.Orientation");
      for (auto it = exif.findKey(exifKey); it != exif.end(); it = exif.findKey(exifKey)) exif.erase(it);
      const Exiv2::XmpKey xmpKey("Xmp.tiff.Orientation");
      const bool inXmp = xmp.findKey(xmpKey) != xmp.end();
      if (inXmp) xmp.erase(xmp.findKey(xmpKey));
      if (*orientation != 1) {
        exif["Exif.Image.Orientation"] = uint16_t(*orientation);
        if (inXmp) xmp["Xmp.tiff.Orientation"] = std::to_string(*orientation);
      }
    }
    keepOnlyListed(exif, size);
    keepOnlyListed(iptc);
    keepOnlyListed(xmp, size);
  } catch (const std::exception&) {
    return false;
  }
  if (exif.empty() && iptc.empty() && xmp.empty()) return true;
  try {
    shedBulkiest(exif, ExifRoom);
    shedBulkiest(xmp, XmpRoom);
  } catch (const std::exception&) {
    // What cannot be measured, the write itself judges.
  }
  if (written(jpeg, exif, iptc, xmp)) return true;
  // Whatever else Exiv2 refuses in XMP costs XMP alone.
  return !xmp.empty() && written(jpeg, exif, iptc, Exiv2::XmpData());
}
