#pragma once

#include "convert/Failure.h"

#include <QByteArray>

// Outputs are written into a hidden temporary file beside their final name
// and moved over it in one step once complete, so a failed write never
// destroys a file that stood there. A temporary's name tells which process
// made it, so that what a dead run left behind can be told from what a live
// one is still writing. Paths are the file system's bytes.

// An empty file of a unique name beside the output, to write it into.
Result<QByteArray> createOutputTemp(const QByteArray& outputPath);

// Writes the whole output into its temporary file.
Result<> writeOutput(const QByteArray& tempPath, const QByteArray& bytes);

// Puts a finished temporary file in place of the output in one step. On
// failure the temporary is removed and whatever stood at outputPath stays.
Result<> commitOutput(const QByteArray& tempPath, const QByteArray& outputPath);

// Removes a temporary file that will not be committed.
void discardOutput(const QByteArray& tempPath);

// Makes sure a finished temporary is on disk before it replaces a file, so
// that a crash cannot leave neither version.
void syncBeforeReplacing(const QByteArray& tempPath, const QByteArray& outputPath);

// Whether pictures can be written into this folder; the failure says why
// not ("no existe", "no es un directorio", ...).
Result<> checkWritableFolder(const QByteArray& folder);

// Removes the temporaries that runs which ended without cleaning up (killed,
// crashed, the machine restarted) left in the folder. Those of runs still
// alive, in this program or another, and those made on another machine,
// stay. Returns how many were removed.
int removeDeadTemporaries(const QByteArray& folder);

// The folder part of a path, without its last separator.
QByteArray folderOf(const QByteArray& path);
