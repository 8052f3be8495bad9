#pragma once

#include "convert/Failure.h"

#include <QByteArray>
#include <QList>

// What one folder holds, read straight from the file system, as its bytes.
struct FolderListing {
  QList<QByteArray> files;       // full paths of everything that is not a folder
  QList<QByteArray> subfolders;  // full paths of folders, links to folders included
};

// Entries in name order, so a scan adds pictures in an order the user can
// predict. Hidden entries are included.
Result<FolderListing> listFolder(const QByteArray& folder);
