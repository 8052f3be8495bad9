#pragma once

#include <QString>

// The file-name part of a path: what follows its last separator. The last
// character is never looked at, so "/fotos/" gives "fotos/" and a path
// without a separator before its last character gives "".
QString ExtractFilenameFormPath(const QString& File);

// Leading and trailing blanks removed; tabs and other white space are kept,
// as they may be part of a file name.
QString trimSpaces(const QString& text);

// True when the path names a regular file, following links. Only such files
// may be handed to the image library: opening a FIFO or a device can block.
bool isRegularFile(const QString& path);
