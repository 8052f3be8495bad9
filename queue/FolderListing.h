#pragma once

#include "convert/Failure.h"

#include <QByteArray>
#include <QList>

#include <sys/types.h>

#include <compare>
#include <optional>

// What one folder holds, read straight from the file system, as its bytes.
struct FolderListing {
  QList<QByteArray> files;       // full paths of everything that is not a folder
  QList<QByteArray> subfolders;  // full paths of folders, links to folders included
};

// Entries in name order, so a scan adds pictures in an order the user can
// predict. Hidden entries are included.
Result<FolderListing> listFolder(const QByteArray& folder);

// What a folder is on disk, whatever path leads to it: tells a folder seen
// before through a link from a new one.
struct FolderId {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FolderId&) const = default;
};
std::optional<FolderId> folderId(const QByteArray& folder);
