#pragma once

#include <QString>

class Dialogs;
class QWidget;

// The folder picker both the destination button and the folder scan use.
// It remembers the folder last chosen through either of them for the whole
// run of the program and opens on it.
class FolderPicker {
 public:
  explicit FolderPicker(Dialogs& dialogs) : dialogs_(dialogs) {}

  // The chosen folder, or "" when the user cancels; a cancel leaves
  // LastFolder as it was.
  QString BrowseForFolder(QWidget* owner, const QString& title);

 private:
  Dialogs& dialogs_;
  QString LastFolder_;
};
