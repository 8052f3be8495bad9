// The destination button of the main window.

#include "app/FrmMain.h"

#include <QLineEdit>

void FrmMain::BtnDirectorioDestino_Click() {
  const QString chosen = picker_.BrowseForFolder(this, QStringLiteral("Selecione el directorio de destino"));
  // A cancel leaves the destination as it was.
  if (!chosen.isEmpty()) TxtDirectorioDestino->setText(chosen);
}
