#pragma once

#include <QByteArray>
#include <QString>

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
QByteArray pathOf(const QString& text);

// Leading and trailing blanks removed; tabs and other white space are kept,
// as they may be part of a file name.
QString trimSpaces(const QString& text);

// True when the path names a regular file, following links. Only such files
// may be handed to the image library: opening a FIFO or a device can block.
bool isRegularFile(const QByteArray& path);
