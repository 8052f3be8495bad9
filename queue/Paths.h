#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <compare>
#include <optional>

// Paths are carried as the bytes the file system gave: a Linux file name
// need not be text (old archives carry Latin-1 names), and only its own
// bytes still name the file. Text is made of them only to show them.

// The file-name part of a path: what follows its last separator. The last
// byte is never looked at, so "/fotos/" gives "fotos/" and a path without a
// separator before its last byte gives "".
QByteArray ExtractFilenameFormPath(const QByteArray& File);

// A path as the user reads it; bytes that are not text show as U+FFFD.
QString displayPath(const QByteArray& path);

// The bytes of a path typed, chosen in a dialog or shown in a text box.
// The dialogs show a name that is not text with U+FFFD in place of its odd
// bytes; such a name is looked up in its folder and comes back as the name
// itself, as long as it exists.
QByteArray pathOf(const QString& text);

// Leading and trailing blanks removed; tabs and other white space are kept,
// as they may be part of a file name.
QString trimSpaces(const QString& text);

// What a file or folder is on disk, whatever path leads to it: tells one
// seen before, through a link or "..", from a new one.
struct FileId {
  dev_t device;
  ino_t inode;
  auto operator<=>(const FileId&) const = default;
};
// The file a path leads to; with `throughLink` false, a link itself.
std::optional<FileId> fileId(const QByteArray& path, bool throughLink = true);

// True when the path names a regular file, following links. Only such files
// may be handed to the image library: opening a FIFO or a device can block.
bool isRegularFile(const QByteArray& path);
// True when the path names a folder, following links.
bool isDirectory(const QByteArray& path);
