#include "shell/SHBrowseForFolder.h"

#include "shell/Dialogs.h"

QString FolderPicker::BrowseForFolder(QWidget* owner, const QString& title) {
  const QString chosen = dialogs_.GetFolder(owner, title, LastFolder_);
  if (!chosen.isEmpty()) LastFolder_ = chosen;
  return chosen;
}
