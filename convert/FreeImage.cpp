#include "convert/FreeImage.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace freeimage {
namespace {

thread_local QString lastMessage;

void onLibraryMessage(FREE_IMAGE_FORMAT, const char* message) {
  lastMessage = QString::fromLocal8Bit(message);
}

// The library reports through a process-wide callback; installing it once on
// first use keeps the layer free of start-up order.
void prepare() {
  static const bool installed = [] {
    FreeImage_SetOutputMessage(onLibraryMessage);
    return true;
  }();
  (void)installed;
  lastMessage.clear();
}

Bitmap adopt(FIBITMAP* dib) { return Bitmap(dib); }

unsigned DLL_CALLCONV readFile(void* buffer, unsigned size, unsigned count, fi_handle handle) {
  return unsigned(std::fread(buffer, size, count, static_cast<FILE*>(handle)));
}
unsigned DLL_CALLCONV writeFile(void* buffer, unsigned size, unsigned count, fi_handle handle) {
  return unsigned(std::fwrite(buffer, size, count, static_cast<FILE*>(handle)));
}
int DLL_CALLCONV seekFile(fi_handle handle, long offset, int origin) {
  return std::fseek(static_cast<FILE*>(handle), offset, origin);
}
long DLL_CALLCONV tellFile(fi_handle handle) { return std::ftell(static_cast<FILE*>(handle)); }

FreeImageIO fileIo() { return FreeImageIO{readFile, writeFile, seekFile, tellFile}; }

// The size in a JPEG's frame header. The library's header-only load of a
// progressive JPEG reads and decodes every scan, as long as a full load;
// the frame header is a few bytes from the start.
std::optional<QSize> jpegFrameSize(const QString& file) {
  QFile in(file);
  if (!in.open(QIODevice::ReadOnly)) return std::nullopt;
  uchar marker[2];
  if (in.read(reinterpret_cast<char*>(marker), 2) != 2 || marker[0] != 0xFF || marker[1] != 0xD8)
    return std::nullopt;
  for (;;) {
    uchar head[4];
    if (in.read(reinterpret_cast<char*>(head), 2) != 2) return std::nullopt;
    if (head[0] != 0xFF) return std::nullopt;
    const uchar type = head[1];
    if (type == 0xFF) {  // fill byte before a marker
      in.seek(in.pos() - 1);
      continue;
    }
    if (type == 0xD8 || type == 0x01 || (type >= 0xD0 && type <= 0xD7)) continue;  // no length
    if (in.read(reinterpret_cast<char*>(head + 2), 2) != 2) return std::nullopt;
    const int length = (head[2] << 8) | head[3];
    if (length < 2) return std::nullopt;
    const bool frame = type >= 0xC0 && type <= 0xCF && type != 0xC4 && type != 0xC8 && type != 0xCC;
    if (frame) {
      uchar sof[5];
      if (length < 7 || in.read(reinterpret_cast<char*>(sof), 5) != 5) return std::nullopt;
      return QSize((sof[3] << 8) | sof[4], (sof[1] << 8) | sof[2]);
    }
    if (type == 0xD9 || type == 0xDA) return std::nullopt;  // no frame before the data
    if (!in.seek(in.pos() + length - 2)) return std::nullopt;
  }
}

}  // namespace

void BitmapDeleter::operator()(FIBITMAP* dib) const noexcept {
  if (dib) FreeImage_Unload(dib);
}

FREE_IMAGE_FORMAT GetFileType(const QString& file, int size) {
  prepare();
  return FreeImage_GetFileType(QFile::encodeName(file).constData(), size);
}

Bitmap Load(FREE_IMAGE_FORMAT fif, const QString& file, int flags) {
  prepare();
  if (fif == FIF_UNKNOWN) return nullptr;
  return adopt(FreeImage_Load(fif, QFile::encodeName(file).constData(), flags));
}

Bitmap Rescale(FIBITMAP* dib, int width, int height, FREE_IMAGE_FILTER filter) {
  prepare();
  if (!dib) return nullptr;
  return adopt(FreeImage_Rescale(dib, width, height, filter));
}

bool Save(FREE_IMAGE_FORMAT fif, FIBITMAP* dib, const QString& file, int flags) {
  prepare();
  if (!dib) return false;
  // The library does not look at the result of closing the file, where a
  // full disk shows up; writing through our own handle lets us.
  FILE* stream = std::fopen(QFile::encodeName(file).constData(), "wb");
  if (!stream) {
    lastMessage = QString::fromLocal8Bit(std::strerror(errno));
    return false;
  }
  FreeImageIO io = fileIo();
  bool written = FreeImage_SaveToHandle(fif, dib, &io, stream, flags) != FALSE;
  if (std::fflush(stream) != 0 || std::ferror(stream)) {
    if (written) lastMessage = QString::fromLocal8Bit(std::strerror(errno));
    written = false;
  }
  if (std::fclose(stream) != 0) written = false;
  return written;
}

std::optional<QSize> ProbeSize(FREE_IMAGE_FORMAT fif, const QString& file) {
  prepare();
  if (fif == FIF_JPEG) return jpegFrameSize(file);
  if (fif == FIF_UNKNOWN || !FreeImage_FIFSupportsNoPixels(fif)) return std::nullopt;
  Bitmap header = Load(fif, file, FIF_LOAD_NOPIXELS);
  if (!header) return std::nullopt;
  return QSize(int(FreeImage_GetWidth(header.get())), int(FreeImage_GetHeight(header.get())));
}

QString LastMessage() { return lastMessage; }

}  // namespace freeimage
