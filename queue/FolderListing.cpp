#include "queue/FolderListing.h"

#include "queue/Paths.h"

#include <algorithm>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>

namespace {

bool isFolder(const QByteArray& path, unsigned char type) {
  if (type == DT_DIR) return true;
  if (type != DT_LNK && type != DT_UNKNOWN) return false;
  struct stat info {};
  return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

// By name as the user reads it; names that read alike by their bytes.
void sortByName(QList<QByteArray>& paths) {
  std::sort(paths.begin(), paths.end(), [](const QByteArray& a, const QByteArray& b) {
    const int byLocale = QString::localeAwareCompare(displayPath(a), displayPath(b));
    return byLocale != 0 ? byLocale < 0 : a < b;
  });
}

}  // namespace

Result<FolderListing> listFolder(const QByteArray& folder) {
  auto failure = [&](int error) {
    return Failure{QStringLiteral("No se puede leer la carpeta %1: %2").arg(displayPath(folder), systemErrorText(error))};
  };
  DIR* dir = ::opendir(folder.constData());
  if (!dir) return failure(errno);
  const QByteArray prefix = folder.endsWith('/') ? folder : folder + '/';
  FolderListing listing;
  int readError = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (!entry) {
      readError = errno;
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    QByteArray path = prefix + name;
    (isFolder(path, entry->d_type) ? listing.subfolders : listing.files).append(std::move(path));
  }
  ::closedir(dir);
  if (readError != 0) return failure(readError);
  sortByName(listing.files);
  sortByName(listing.subfolders);
  return listing;
}
