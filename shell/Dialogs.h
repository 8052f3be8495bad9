#pragma once

#include <QString>

class QWidget;

// Message box styles, added together: the buttons (OK alone unless
// vbYesNo), the icon, and which button Enter presses (the first unless
// vbDefaultButton2).
inline constexpr int vbYesNo = 4;
inline constexpr int vbCritical = 16;
inline constexpr int vbQuestion = 32;
inline constexpr int vbExclamation = 48;
inline constexpr int vbInformation = 64;
inline constexpr int vbDefaultButton2 = 256;
// The button the user pressed.
inline constexpr int vbOK = 1;
inline constexpr int vbYes = 6;
inline constexpr int vbNo = 7;

// Whether a style asks "Sí" or "No", and what Enter answers there.
inline bool asksYesNo(int style) { return (style & 0x7) == vbYesNo; }
inline int defaultAnswer(int style) { return style & vbDefaultButton2 ? vbNo : vbYes; }

// The platform's modal pieces. The program talks to them only through this,
// so tests can answer in the user's place and read every message shown.
class Dialogs {
 public:
  virtual ~Dialogs() = default;

  // The button pressed; closing a question's box is "No".
  virtual int MsgBox(QWidget* owner, const QString& text, int style, const QString& title) = 0;

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
  int MsgBox(QWidget* owner, const QString& text, int style, const QString& title) override;
  QString GetOpenFileName(QWidget* owner, const QString& title, const QString& directory,
                          const QString& defaultSuffix) override;
  QString GetFolder(QWidget* owner, const QString& title, const QString& preselected) override;
};
