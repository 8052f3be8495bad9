#pragma once

#include "app/FrmMain.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class ScriptedDialogs;

// Works the main window the way a user does: clicks, drops, reads captions.
class WindowDriver {
 public:
  WindowDriver(FrmMain& window, ScriptedDialogs& dialogs);

  template <class T = QWidget>
  T* find(const QString& name) const {
    return window_.findChild<T*>(name);
  }

  void click(const QString& button);
  // The visible text of a label, frame, button, text box or list.
  QString caption(const QString& control) const;
  bool enabled(const QString& control) const;
  QStringList rows() const;
  void selectRow(int row);

  // Drags local files from a file manager onto the list and drops them.
  void drop(const QStringList& paths);
  // Chooses the destination folder through the "..." button.
  void chooseDestination(const QString& folder);
  // Queues pictures one by one through "Añadir" > "Archivo".
  void addFile(const QString& path);
  // Queues a folder tree through "Añadir" > "Directorio".
  void addFolder(const QString& folder);
  // Opens the "Añadir" menu and picks the entry with this object name.
  void pickMenuEntry(const QString& action);

 private:
  FrmMain& window_;
  ScriptedDialogs& dialogs_;
};

// What a screen reader is told as the status label and the status frame
// change: (control, new text) in order.
class CaptionLog {
 public:
  CaptionLog();
  ~CaptionLog();
  QList<QPair<QString, QString>> changes;
  QStringList of(const QString& control) const;
};
