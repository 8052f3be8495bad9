#include "shell/Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

int QtDialogs::MsgBox(QWidget* owner, const QString& text, int style, const QString& title) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (style & 0x70) {
    case vbCritical: icon = QMessageBox::Critical; break;
    case vbQuestion: icon = QMessageBox::Question; break;
    case vbExclamation: icon = QMessageBox::Warning; break;
    case vbInformation: icon = QMessageBox::Information; break;
    default: break;
  }
  QMessageBox box(icon, title, text, QMessageBox::NoButton, owner);
  box.setTextFormat(Qt::PlainText);
  if (!asksYesNo(style)) {
    box.addButton(QMessageBox::Ok);
    box.exec();
    return vbOK;
  }
  // Named here, not left to Qt's translations, which may be missing.
  QPushButton* yes = box.addButton(QStringLiteral("&Sí"), QMessageBox::YesRole);
  QPushButton* no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
  box.setDefaultButton(defaultAnswer(style) == vbNo ? no : yes);
  box.exec();
  return box.clickedButton() == yes ? vbYes : vbNo;
}

QString QtDialogs::GetOpenFileName(QWidget* owner, const QString& title,
                                   const QString& directory, const QString& defaultSuffix) {
  QFileDialog dialog(owner, title, directory);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setDefaultSuffix(defaultSuffix);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().constFirst();
}

QString QtDialogs::GetFolder(QWidget* owner, const QString& title, const QString& preselected) {
  QFileDialog dialog(owner, title);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  if (!preselected.isEmpty()) dialog.setDirectory(preselected);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().constFirst();
}
