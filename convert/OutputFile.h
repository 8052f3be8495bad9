#pragma once

#include "convert/Failure.h"

#include <QString>

// Outputs are written into a hidden temporary file beside their final name
// and moved over it in one step once complete, so a failed write never
// destroys a file that stood there.

// An empty file of a unique name beside the output, to write it into.
Result<QString> createOutputTemp(const QString& outputPath);

// Puts a finished temporary file in place of the output in one step. On
// failure the temporary is removed and whatever stood at outputPath stays.
Result<> commitOutput(const QString& tempPath, const QString& outputPath);

// Removes a temporary file that will not be committed.
void discardOutput(const QString& tempPath);

// Makes sure a finished temporary is on disk before it replaces a file, so
// that a crash cannot leave neither version.
void syncBeforeReplacing(const QString& tempPath, const QString& outputPath);

// Whether pictures can be written into this folder; the failure says why
// not ("no existe", "no es un directorio", ...).
Result<> checkWritableFolder(const QString& folder);
