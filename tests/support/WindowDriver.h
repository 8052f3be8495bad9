#pragma once

#include "app/FrmMain.h"

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

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
  // Acts once, as a user watching the window, when the control shows this
  // caption and the window is taking input.
  void whenShown(const QString& control, const QString& caption, std::function<void()> action);

 private:
  FrmMain& window_;
  ScriptedDialogs& dialogs_;
};

// The status captions as the user sees them: sampled each time the window
// gets to process its events and each time a message comes up, keeping
// only changes. Starts with what is shown when the log is made.
class CaptionLog {
 public:
  CaptionLog(WindowDriver& ui, ScriptedDialogs& dialogs);
  ~CaptionLog();
  QStringList of(const QString& control) const;

 private:
  void sample();

  WindowDriver& ui_;
  ScriptedDialogs& dialogs_;
  QMetaObject::Connection wakeups_;
  QStringList frame_;
  QStringList label_;
};

#include "support/ScriptedDialogs.h"

// The main window shown, with scripted dialogs and a driver to work it.
struct ShownWindow {
  ScriptedDialogs dialogs;
  FrmMain window{dialogs};
  WindowDriver ui{window, dialogs};

  ShownWindow() { window.show(); }
};
