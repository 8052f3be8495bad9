#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QPushButton;

// Names the program, its version, the image library and its licence, and
// how to reach the maker. Built afresh each time it is opened.
class FrmAbout : public QDialog {
  Q_OBJECT
 public:
  explicit FrmAbout(QWidget* parent = nullptr);

  // "Acerca de Dimenzo versión 1.0.11", from the program's own version.
  static QString versionText();

 private:
  void Form_Load();

  QGroupBox* Frame1 = nullptr;
  QPushButton* BtnAceptar = nullptr;
};
