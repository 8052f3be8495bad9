#pragma once

#include <QSize>
#include <QString>

// The work on one picture, from its file to a JPEG of the target size.
// Touches no window and no shared state, so it can run anywhere.

struct ConvertRequest {
  QString source;      // the picture to read
  QString outputPath;  // where the JPEG is to end up
  QSize size;          // exact width and height of the output
  int saveFlags = 0;   // the JPEG writer's quality flags
};

struct ConvertResult {
  enum class Outcome {
    Written,      // the JPEG waits in tempPath, to be committed
    NotRescaled,  // the picture could not be read, decoded or rescaled
    NotWritten,   // the output could not be written
  };
  Outcome outcome = Outcome::NotRescaled;
  QString reason;    // why, in Spanish, when not Written
  QString tempPath;  // a finished JPEG beside outputPath, when Written
};

// Pictures whose header claims more pixels than this are refused before
// any pixel is allocated.
inline constexpr qint64 MaxPicturePixels = 178'956'970;

// Reads, rescales and encodes the picture into a temporary file beside the
// output. Nothing at outputPath is touched; on failure no temporary is left.
ConvertResult convertPicture(const ConvertRequest& request);

// Puts a finished temporary file in place of the output in one step. On
// failure the temporary is removed and whatever stood at outputPath stays.
bool commitOutput(const QString& tempPath, const QString& outputPath, QString* reason);

// Removes a temporary file that will not be committed.
void discardOutput(const QString& tempPath);

// Whether pictures can be written into this folder; "" if so, else why.
QString checkWritableFolder(const QString& folder);
