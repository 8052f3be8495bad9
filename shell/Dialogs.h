#pragma once

#include <QString>

class QWidget;

// Message box styles: the value selects the icon; the box always has OK alone.
inline constexpr int vbCritical = 16;
inline constexpr int vbExclamation = 48;
inline constexpr int vbInformation = 64;

// The platform's modal pieces. The program talks to them only through this,
// so tests can answer in the user's place and read every message shown.
class Dialogs {
 public:
  virtual ~Dialogs() = default;

  virtual void MsgBox(QWidget* owner, const QString& text, int style, const QString& title) = 0;

  // The chosen file, or "" when the user cancels. A name typed without an
  // extension gets defaultSuffix.
  virtual QString GetOpenFileName(QWidget* owner, const QString& title,
                                  const QString& directory, const QString& defaultSuffix) = 0;

  // The chosen folder, or "" when the user cancels. Opens on preselected.
  virtual QString GetFolder(QWidget* owner, const QString& title, const QString& preselected) = 0;
};

// The real thing: QMessageBox and QFileDialog.
class QtDialogs : public Dialogs {
 public:
  void MsgBox(QWidget* owner, const QString& text, int style, const QString& title) override;
  QString GetOpenFileName(QWidget* owner, const QString& title, const QString& directory,
                          const QString& defaultSuffix) override;
  QString GetFolder(QWidget* owner, const QString& title, const QString& preselected) override;
};
