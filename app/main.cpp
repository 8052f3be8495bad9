#include "app/FrmMain.h"
#include "app/Translations.h"
#include "shell/Dialogs.h"
#include "Version.h"

#include <QApplication>
#include <QTranslator>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Dimenzo"));
  QApplication::setApplicationVersion(QString::fromLatin1(version::Full));
  QApplication::setDesktopFileName(QStringLiteral("example.talvera.Dimenzo"));

  QTranslator qtSpanish;
  installQtSpanish(qtSpanish);

  QtDialogs dialogs;
  FrmMain window(dialogs);
  if (!window.started()) return 1;
  window.show();
  return QApplication::exec();
}
