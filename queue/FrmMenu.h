#pragma once

#include "queue/Paths.h"

#include <QWidget>

#include <memory>
#include <set>

class Dialogs;
class FolderPicker;
class FrmMain;
class QAction;
class QMenu;

// The open-file dialog's state, kept from one use to the next: the next
// opening starts in the folder of the file chosen last.
struct OpenFileDialog {
  QString DialogTitle;
  QString DefaultExt;
  QString FileName;  // "" after a cancel

  void ShowOpen(Dialogs& dialogs, QWidget* owner);

 private:
  QString lastFolder_;
};

// A window that is never shown: it owns the "Añadir" pop-up menu and the
// open-file dialog, and scans folders for pictures.
class FrmMenu : public QWidget {
  Q_OBJECT
 public:
  FrmMenu(FrmMain& owner, Dialogs& dialogs, FolderPicker& picker);
  ~FrmMenu() override;

  QMenu* popupMenu() const { return mnAñadir.get(); }
  // Closes the menu; no scan goes on once the main window is gone.
  void Unload();

  void mnArchivo_Click();
  void mnDirectorio_Click();

 private:
  // Offers every file of the folder tree to the queue, depth first: a
  // folder's own files before its subfolders. A folder seen before (through
  // a link) is not walked again.
  void get_files(const QByteArray& tfolder, std::set<FileId>& visited);

  FrmMain& owner_;
  Dialogs& dialogs_;
  FolderPicker& picker_;
  std::unique_ptr<QMenu> mnAñadir;
  QAction* mnArchivo = nullptr;
  QAction* mnDirectorio = nullptr;
  OpenFileDialog CmbAbrir;
};
