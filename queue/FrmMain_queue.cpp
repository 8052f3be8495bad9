// The main window's handlers that change the image queue.

#include "app/FrmMain.h"
#include "app/ImageList.h"
#include "queue/FrmMenu.h"
#include "queue/Paths.h"
#include "shell/Dialogs.h"

#include <QCursor>
#include <QMenu>

void FrmMain::AddImage(const QByteArray& File, bool SkipTypeCheck) {
  if (isPicture(File)) {
    const QString row = displayPath(ExtractFilenameFormPath(File));
    queue_.append(File);
    LstImagenes->addItem(row);
  } else if (!SkipTypeCheck) {
    dialogs_.MsgBox(this,
                    QStringLiteral("El archivo ") + displayPath(File) +
                        QStringLiteral(" no es una imagen o no tiene un formato adecuado"),
                    vbExclamation, QStringLiteral("Formato desconocido"));
  }
}

void FrmMain::BtnBorrar_Click() {
  const int selected = LstImagenes->currentRow();
  if (selected < 0 || !LstImagenes->item(selected)->isSelected()) return;
  queue_.removeAt(selected);
  delete LstImagenes->takeItem(selected);
  // Nothing is selected afterwards, so a second click removes nothing more.
  LstImagenes->setCurrentRow(-1);
  LstImagenes->clearSelection();
}

void FrmMain::BtnAdd_Click() {
  if (!frmMenu_) frmMenu_ = std::make_unique<FrmMenu>(*this, dialogs_, picker_);
  frmMenu_->popupMenu()->popup(QCursor::pos());
}

void FrmMain::LstImagenes_OLEDragDrop(const QList<QByteArray>& Files) {
  for (const QByteArray& file : Files) AddImage(file, false);
}
