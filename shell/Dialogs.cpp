#include "shell/Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

void QtDialogs::MsgBox(QWidget* owner, const QString& text, int style, const QString& title) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (style) {
    case vbCritical: icon = QMessageBox::Critical; break;
    case vbExclamation: icon = QMessageBox::Warning; break;
    case vbInformation: icon = QMessageBox::Information; break;
    default: break;
  }
  QMessageBox box(icon, title, text, QMessageBox::Ok, owner);
  box.setTextFormat(Qt::PlainText);
  box.exec();
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
