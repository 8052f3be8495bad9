#include "convert/FreeImage.h"

#include <QFile>

#include <memory>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Walks a JPEG's segments up to its image data, handing each one's marker
// and length to `visit`, which may read the segment (not past its length)
// and says whether to go on. False when the file is no JPEG, is cut short
// before its image data, or `visit` stopped.
template <class Visit>
bool walkJpeg(const QByteArray& file, Visit visit) {
  QFile in;
  if (!OpenFile(in, file)) return false;
  uchar marker[2];
  if (in.read(reinterpret_cast<char*>(marker), 2) != 2 || marker[0] != 0xFF || marker[1] != 0xD8) return false;
  for (;;) {
    uchar head[4];
    if (in.read(reinterpret_cast<char*>(head), 2) != 2) return false;
    if (head[0] != 0xFF) return false;
    const uchar type = head[1];
    if (type == 0xFF) {  // fill byte before a marker
      in.seek(in.pos() - 1);
      continue;
    }
    if (type == 0xD8 || type == 0x01 || (type >= 0xD0 && type <= 0xD7)) continue;  // no length
    if (type == 0xDA) return true;                                                   // the image data
    if (type == 0xD9) return false;
    if (in.read(reinterpret_cast<char*>(head + 2), 2) != 2) return false;
    const int length = (head[2] << 8) | head[3];
    if (length < 2) return false;
    const qint64 next = in.pos() + length - 2;
    if (!visit(type, length - 2, in) || !in.seek(next)) return false;
  }
}

bool isFrame(uchar type) { return type >= 0xC0 && type <= 0xCF && type != 0xC4 && type != 0xC8 && type != 0xCC; }

// The size in a JPEG's frame header. The library's header-only load of a
// progressive JPEG reads and decodes every scan, as long as a full load;
// the frame header is a few bytes from the start.
std::optional<QSize> jpegFrameSize(const QByteArray& file) {
  std::optional<QSize> size;
  walkJpeg(file, [&](uchar type, int length, QFile& in) {
    if (!isFrame(type)) return true;
    uchar sof[5];
    if (length >= 5 && in.read(reinterpret_cast<char*>(sof), 5) == 5)
      size = QSize((sof[3] << 8) | sof[4], (sof[1] << 8) | sof[2]);
    return false;
  });
  return size;
}

}  // namespace

bool OpenFile(QFile& in, const QByteArray& file) {
  const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0 && in.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) return true;
  if (fd >= 0) ::close(fd);
  return false;
}

void BitmapDeleter::operator()(FIBITMAP* dib) const noexcept {
  if (dib) FreeImage_Unload(dib);
}

QByteArray FileState(const QByteArray& file) {
  struct stat info {};
  if (::stat(file.constData(), &info) != 0) return QByteArray();
  QByteArray state(sizeof(quint64) * 5, '\0');
  const quint64 fields[] = {quint64(info.st_dev), quint64(info.st_ino), quint64(info.st_size),
                            quint64(info.st_mtim.tv_sec), quint64(info.st_mtim.tv_nsec)};
  std::memcpy(state.data(), fields, sizeof fields);
  return file + '\0' + state;
}

qint64 FileBytes(const QByteArray& file) {
  struct stat info {};
  return ::stat(file.constData(), &info) == 0 ? qint64(info.st_size) : 0;
}

FREE_IMAGE_FORMAT GetFileType(const QByteArray& file, int size) {
  prepare();
  thread_local QByteArray lastState;
  thread_local FREE_IMAGE_FORMAT lastFormat = FIF_UNKNOWN;
  const QByteArray state = FileState(file) + char(size);
  if (state.size() > 1 && state == lastState) return lastFormat;
  lastFormat = FreeImage_GetFileType(file.constData(), size);
  lastState = state;
  return lastFormat;
}

Bitmap Load(FREE_IMAGE_FORMAT fif, const QByteArray& file, int flags) {
  prepare();
  if (fif == FIF_UNKNOWN) return nullptr;
  return adopt(FreeImage_Load(fif, file.constData(), flags));
}

Bitmap Rescale(FIBITMAP* dib, int width, int height, FREE_IMAGE_FILTER filter) {
  prepare();
  if (!dib) return nullptr;
  return adopt(FreeImage_Rescale(dib, width, height, filter));
}

QByteArray EncodeJpeg(FIBITMAP* dib, int flags) {
  prepare();
  if (!dib) return QByteArray();
  const std::unique_ptr<FIMEMORY, decltype(&FreeImage_CloseMemory)> memory(FreeImage_OpenMemory(), FreeImage_CloseMemory);
  BYTE* data = nullptr;
  DWORD size = 0;
  if (!memory || !FreeImage_SaveToMemory(FIF_JPEG, dib, memory.get(), flags) ||
      !FreeImage_AcquireMemory(memory.get(), &data, &size))
    return QByteArray();
  return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

std::optional<QSize> ProbeSize(FREE_IMAGE_FORMAT fif, const QByteArray& file) {
  prepare();
  if (fif == FIF_JPEG) return jpegFrameSize(file);
  if (fif == FIF_UNKNOWN || !FreeImage_FIFSupportsNoPixels(fif)) return std::nullopt;
  Bitmap header = Load(fif, file, FIF_LOAD_NOPIXELS);
  if (!header) return std::nullopt;
  return QSize(int(FreeImage_GetWidth(header.get())), int(FreeImage_GetHeight(header.get())));
}

bool JpegHoldsNoMetadata(const QByteArray& file) {
  return walkJpeg(file, [](uchar type, int length, QFile& in) {
    switch (type) {
      case 0xE0:  // JFIF
      case 0xEE:  // Adobe's colour transform
      case 0xDB:  // quantisation tables
      case 0xC4:  // Huffman tables
      case 0xCC:  // arithmetic coding conditioning
      case 0xDD:  // restart interval
        return true;
      case 0xE2: {  // a colour profile, or something else in APP2
        char name[12];
        return length >= 12 && in.read(name, 12) == 12 && std::memcmp(name, "ICC_PROFILE", 12) == 0;
      }
      default:
        return isFrame(type);
    }
  });
}

QString LastMessage() { return lastMessage; }

}  // namespace freeimage
