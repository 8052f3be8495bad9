#include "queue/FrmMenu.h"

#include "app/FrmMain.h"
#include "convert/Failure.h"
#include "queue/FolderListing.h"
#include "queue/Paths.h"
#include "shell/Dialogs.h"
#include "shell/SHBrowseForFolder.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMenu>

void OpenFileDialog::ShowOpen(Dialogs& dialogs, QWidget* owner) {
  FileName = dialogs.GetOpenFileName(owner, DialogTitle, lastFolder_, DefaultExt);
  if (!FileName.isEmpty()) lastFolder_ = QFileInfo(FileName).absolutePath();
}

FrmMenu::FrmMenu(FrmMain& owner, Dialogs& dialogs, FolderPicker& picker)
    : owner_(owner), dialogs_(dialogs), picker_(picker) {
  setObjectName(QStringLiteral("FrmMenu"));
  setWindowTitle(QStringLiteral("menu"));
  // The menu pops up over the main window, so it belongs to it on screen.
  mnAñadir = std::make_unique<QMenu>(QStringLiteral("Añadir"), &owner);
  mnAñadir->setObjectName(QStringLiteral("mnAñadir"));
  mnArchivo = mnAñadir->addAction(QStringLiteral("&Archivo"));
  mnArchivo->setObjectName(QStringLiteral("mnArchivo"));
  mnDirectorio = mnAñadir->addAction(QStringLiteral("&Directorio"));
  mnDirectorio->setObjectName(QStringLiteral("mnDirectorio"));
  // Queued, so the menu has closed on screen before a dialog or a long scan
  // starts; otherwise it can stay drawn over the window meanwhile.
  connect(mnArchivo, &QAction::triggered, this,
          [this] { owner_.guarded([this] { mnArchivo_Click(); }); }, Qt::QueuedConnection);
  connect(mnDirectorio, &QAction::triggered, this,
          [this] { owner_.guarded([this] { mnDirectorio_Click(); }); }, Qt::QueuedConnection);
}

FrmMenu::~FrmMenu() = default;

void FrmMenu::Unload() { mnAñadir->close(); }

void FrmMenu::mnArchivo_Click() {
  CmbAbrir.DialogTitle = QStringLiteral("Selecione el archivo de imagen");
  CmbAbrir.DefaultExt = QStringLiteral("jpg");
  CmbAbrir.ShowOpen(dialogs_, &owner_);
  if (trimSpaces(CmbAbrir.FileName).isEmpty()) return;
  owner_.AddImage(pathOf(CmbAbrir.FileName), false);
}

void FrmMenu::mnDirectorio_Click() {
  const QString folder =
      trimSpaces(picker_.BrowseForFolder(&owner_, QStringLiteral("Selecione el directorio de las imágenes")));
  if (folder.isEmpty()) return;
  const QByteArray root = pathOf(folder);
  const std::optional<FileId> id = fileId(root);
  if (!id || !isDirectory(root)) throw AppError(QStringLiteral("No se encuentra la carpeta %1").arg(folder));
  std::set<FileId> visited{*id};
  get_files(root, visited);
}

void FrmMenu::get_files(const QByteArray& tfolder, std::set<FileId>& visited) {
  try {
    if (tfolder.isEmpty()) return;
    Result<FolderListing> listing = listFolder(tfolder);
    if (!listing) throw AppError(listing.reason());
    for (const QByteArray& file : listing->files) {
      owner_.AddImage(file, true);
      // Keeps the window alive during a long scan; the user may close it.
      QCoreApplication::processEvents();
      if (owner_.unloaded()) return;
    }
    for (const QByteArray& subfolder : listing->subfolders) {
      const std::optional<FileId> id = fileId(subfolder);
      if (id && !visited.insert(*id).second) continue;
      get_files(subfolder, visited);
      if (owner_.unloaded()) return;
    }
  } catch (const std::exception& error) {
    if (owner_.unloaded()) return;
    dialogs_.MsgBox(&owner_, QStringLiteral("Error al procesar el archivo: \n") + describeError(error),
                    vbCritical, QStringLiteral("Error"));
  }
}
