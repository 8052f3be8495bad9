// Metadata fit for the web: what the owner wrote, how the picture was taken
// and how to show it go on, from every format; whatever tells where it was
// taken or hides another picture is left out, and a part too big for its
// JPEG segment costs only itself. Each output is read back with Exiv2.

#include "convert/ConvertPicture.h"
#include "convert/Metadata.h"
#include "convert/OutputFile.h"
#include "support/Pictures.h"

#include <QtTest>

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // Exiv2 0.27's std::auto_ptr
#include <exiv2/exiv2.hpp>

namespace {

// Adobe RGB's primaries: a profile wider than sRGB, which must go on for
// the colours to look as they did.
QByteArray wideRgbProfile() { return pictures::rgbProfile({0.64, 0.33, 0.21, 0.71, 0.15, 0.06}); }

QByteArray jpegOf(QSize size) { return freeimage::EncodeJpeg(pictures::make(size).get(), 0); }

Exiv2::Image::AutoPtr opened(const QString& path) {
  auto image = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
  image->readMetadata();
  return image;
}

// Every entry in the output, EXIF, IPTC and XMP, with its value.
std::map<std::string, QByteArray> entriesOf(Exiv2::Image& image) {
  std::map<std::string, QByteArray> entries;
  const auto add = [&](const auto& data) {
    for (const auto& d : data) entries[d.key()] = QByteArray::fromStdString(d.toString());
  };
  add(image.exifData()), add(image.iptcData()), add(image.xmpData());
  return entries;
}

// The keys whose values in the output are not as expected, each with the
// value found, or "(none)".
QStringList differing(Exiv2::Image& image, const QList<std::pair<std::string, QByteArray>>& expected) {
  const auto entries = entriesOf(image);
  QStringList found;
  for (const auto& [key, value] : expected) {
    const QByteArray got = entries.count(key) ? entries.at(key) : "(none)";
    if (got != value) found << QString::fromStdString(key) + ": " + got;
  }
  return found;
}

// What in a key tells where, which camera body or lens, or how the file was
// edited, or belongs to a maker's note.
constexpr const char* Leaks[] = {"GPS", "Altitude", "Serial", "xmpMM", "DocumentAncestors", "MakerNote", "Nikon"};

}  // namespace

class MetadataTest : public QObject {
  Q_OBJECT
  QTemporaryDir dir;

  // A picture made here, with its metadata set by `fill` through Exiv2.
  QString source(const char* name, FREE_IMAGE_FORMAT format, const std::function<void(Exiv2::Image&)>& fill) {
    const QString path = dir.filePath(name);
    if (!pictures::make(path, QSize(300, 200), format)) return {};
    auto image = opened(path);
    fill(*image);
    image->writeMetadata();
    return path;
  }
  // The metadata written into a fresh 160x120 JPEG, read back.
  Exiv2::Image::AutoPtr written(const Metadata& metadata) {
    QByteArray jpeg = jpegOf(QSize(160, 120));
    if (!metadata.writeInto(jpeg, QSize(160, 120)) || !pictures::write(dir.filePath("salida.jpg"), jpeg))
      return Exiv2::Image::AutoPtr();
    return opened(dir.filePath("salida.jpg"));
  }

 private slots:
  // Whichever format brought them, the colour profile and what the owner
  // wrote go on, orientation included, with the output's own size; the
  // embedded thumbnail does not. A profile alone goes on alone.
  void everyFormatKeepsWhatTheOwnerWrote_data() {
    QTest::addColumn<FREE_IMAGE_FORMAT>("format");
    QTest::addColumn<bool>("profileAlone");
    QTest::newRow("jpeg") << FIF_JPEG << false;
    QTest::newRow("jpeg, profile alone") << FIF_JPEG << true;
    QTest::newRow("tiff") << FIF_TIFF << false;
    QTest::newRow("webp") << FIF_WEBP << false;
  }
  void everyFormatKeepsWhatTheOwnerWrote() {
    QFETCH(FREE_IMAGE_FORMAT, format);
    QFETCH(bool, profileAlone);
    QByteArray profile = wideRgbProfile();
    const QString path = source(QTest::currentDataTag(), format, [&](Exiv2::Image& image) {
      Exiv2::DataBuf icc(reinterpret_cast<Exiv2::byte*>(profile.data()), long(profile.size()));
      if (format != FIF_WEBP) image.setIccProfile(icc);  // (Exiv2 cannot write one there)
      if (profileAlone) return;
      image.exifData()["Exif.Image.Orientation"] = uint16_t(6);
      const QByteArray thumb = jpegOf(QSize(16, 12));
      Exiv2::ExifThumb(image.exifData()).setJpegThumbnail(reinterpret_cast<const Exiv2::byte*>(thumb.constData()), long(thumb.size()));
      Exiv2::XmpData& xmp = image.xmpData();
      xmp["Xmp.dc.creator"] = "Ana";
      xmp["Xmp.exif.PixelXDimension"] = "300";
      xmp["Xmp.tiff.ImageLength"] = "200";
      image.iptcData()["Iptc.Application2.Caption"] = "Playa";
    });
    QVERIFY(!path.isEmpty());

    const QByteArray output = QFile::encodeName(dir.filePath("salida.jpg"));
    const ConvertResult result = convertPicture({QFile::encodeName(path), output, {}, QSize(160, 120), 512});
    QCOMPARE(result.outcome, ConvertResult::Outcome::Written);
    QVERIFY(commitOutput(result.tempPath, output));
    auto out = opened(QFile::decodeName(output));
    if (format != FIF_WEBP)
      QCOMPARE(QByteArray(reinterpret_cast<char*>(out->iccProfile()->pData_), out->iccProfile()->size_), profile);
    if (profileAlone) {
      QCOMPARE(entriesOf(*out).size(), size_t(0));
      return;
    }
    QCOMPARE(differing(*out, {{"Exif.Image.Orientation", "6"}, {"Exif.Photo.PixelXDimension", "160"}, {"Exif.Photo.PixelYDimension", "120"},
                              {"Xmp.exif.PixelXDimension", "160"}, {"Xmp.tiff.ImageLength", "120"}, {"Xmp.dc.creator", "Ana"},
                              {"Iptc.Application2.Caption", format == FIF_WEBP ? "(none)" : "Playa"}}),  // WebP has no place for IPTC
             QStringList());
    QCOMPARE(Exiv2::ExifThumbC(out->exifData()).copy().size_, 0L);
  }

  // Coordinates in the IPTC Extension's places and in a maker's namespace,
  // a maker note, serial numbers and editing history all stay behind; the
  // camera and the place's name go on.
  void whatTellsWhereOrWhoStaysBehind() {
    const QString path = source("fuente.jpg", FIF_JPEG, [&](Exiv2::Image& image) {
      Exiv2::ExifData& exif = image.exifData();
      exif["Exif.Image.Make"] = "NIKON CORPORATION";  // for Exiv2 to write the maker's note
      exif["Exif.Image.Model"] = "NIKON D70";
      exif["Exif.Photo.BodySerialNumber"] = "3001234";
      exif["Exif.Nikon3.Version"] = "0210";
      image.setXmpPacket(
          "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'>\n"
          "<rdf:Description rdf:about='' xmlns:Iptc4xmpExt='http://iptc.org/std/Iptc4xmpExt/2008-02-29/'\n"
          "  xmlns:exif='http://ns.adobe.com/exif/1.0/' xmlns:drone-dji='http://www.dji.com/drone-dji/1.0/'\n"
          "  xmlns:exifEX='http://cipa.jp/exif/1.0/' xmlns:xmpMM='http://ns.adobe.com/xap/1.0/mm/'\n"
          "  xmlns:photoshop='http://ns.adobe.com/photoshop/1.0/' drone-dji:AbsoluteAltitude='+667.5'\n"
          "  exifEX:LensSerialNumber='88021' xmpMM:DocumentID='xmp.did:0f1e2d'>\n"
          " <Iptc4xmpExt:LocationCreated><rdf:Bag><rdf:li rdf:parseType='Resource'>\n"
          "  <Iptc4xmpExt:City>Madrid</Iptc4xmpExt:City><exif:GPSLatitude>40,25.0N</exif:GPSLatitude>\n"
          " </rdf:li></rdf:Bag></Iptc4xmpExt:LocationCreated>\n"
          " <photoshop:DocumentAncestors><rdf:Bag><rdf:li>file:///home/ana/Fotos/original.nef</rdf:li></rdf:Bag></photoshop:DocumentAncestors>\n"
          "</rdf:Description></rdf:RDF></x:xmpmeta>");
      image.writeXmpFromPacket(true);
    });
    QVERIFY(!path.isEmpty());

    auto out = written(Metadata::read(QFile::encodeName(path)));
    QVERIFY(out.get());
    for (const auto& [key, value] : entriesOf(*out))
      for (const char* leak : Leaks)
        QVERIFY2(key.find(leak) == std::string::npos, key.c_str());
    QCOMPARE(differing(*out, {{"Exif.Image.Model", "NIKON D70"}, {"Xmp.iptcExt.LocationCreated[1]/Iptc4xmpExt:City", "Madrid"}}),
             QStringList());
  }

  // An XMP packet or EXIF block too big for a JPEG segment loses its
  // bulkiest entries alone: the orientation, author, copyright and caption
  // still go on, in EXIF, IPTC and what of XMP fits. (Such sources are
  // TIFFs: a JPEG cannot hold them.)
  void anOversizedPartCostsOnlyItself_data() {
    QTest::addColumn<bool>("inXmp");
    QTest::newRow("a 70 KB xmp description") << true;
    QTest::newRow("four 17.5 KB exif texts") << false;  // each small enough for Exiv2 to keep
  }
  void anOversizedPartCostsOnlyItself() {
    QFETCH(bool, inXmp);
    const QString path = source("grande.tif", FIF_TIFF, [&](Exiv2::Image& image) {
      Exiv2::ExifData& exif = image.exifData();
      exif["Exif.Image.Orientation"] = uint16_t(6);
      exif["Exif.Image.Artist"] = "Ana";
      exif["Exif.Image.Copyright"] = "Ana 2024";
      image.iptcData()["Iptc.Application2.Caption"] = "Playa";
      image.xmpData()["Xmp.dc.creator"] = "Ana";
      if (inXmp) {
        image.xmpData()["Xmp.dc.description"] = std::string(70000, 'x');
        return;
      }
      const std::string text(17500, 'x');
      Exiv2::DataValue bytes(Exiv2::unsignedByte);
      bytes.read(reinterpret_cast<const Exiv2::byte*>(text.data()), long(text.size()), Exiv2::littleEndian);
      for (const char* tag : {"Exif.Image.XPComment", "Exif.Image.XPTitle", "Exif.Image.XPSubject", "Exif.Image.XPKeywords"})
        exif.add(Exiv2::ExifKey(tag), &bytes);
    });
    QVERIFY(!path.isEmpty());
    auto out = written(Metadata::read(QFile::encodeName(path)));
    QVERIFY(out.get());
    QCOMPARE(differing(*out, {{"Exif.Image.Orientation", "6"}, {"Exif.Image.Artist", "Ana"}, {"Exif.Image.Copyright", "Ana 2024"},
                              {"Iptc.Application2.Caption", "Playa"}, {"Xmp.dc.creator", "Ana"}}),
             QStringList());
  }

  // Blocks another library took out of its container go through the same
  // list: an Exif block behind "Exif\0\0", an XMP packet and a profile.
  void blocksFromAnotherContainer() {
    Exiv2::ExifData exif;
    exif["Exif.Image.Orientation"] = uint16_t(8);
    exif["Exif.GPSInfo.GPSLatitude"] = "40/1 25/1 0/1";
    Exiv2::Blob tiff;
    Exiv2::ExifParser::encode(tiff, Exiv2::bigEndian, exif);
    Exiv2::XmpData xmp;
    xmp["Xmp.dc.rights"] = "Ana 2024";
    xmp["Xmp.exif.GPSLatitude"] = "40,25.0N";
    std::string packet;
    QCOMPARE(Exiv2::XmpParser::encode(packet, xmp), 0);
    const QByteArray profile = wideRgbProfile();

    const Metadata metadata = Metadata::fromBlocks(
        QByteArray("Exif\0\0", 6) + QByteArray(reinterpret_cast<const char*>(tiff.data()), qsizetype(tiff.size())),
        QByteArray::fromStdString(packet), profile);
    QCOMPARE(metadata.iccProfile(), profile);
    auto out = written(metadata);
    QVERIFY(out.get());
    QCOMPARE(differing(*out, {{"Exif.Image.Orientation", "8"}, {"Xmp.dc.rights", "lang=\"x-default\" Ana 2024"}}), QStringList());
    for (const auto& [key, value] : entriesOf(*out)) QVERIFY2(key.find("GPS") == std::string::npos, key.c_str());
  }
};

QTEST_GUILESS_MAIN(MetadataTest)
#include "tst_metadata.moc"
