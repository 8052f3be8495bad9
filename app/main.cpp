#include "app/FrmMain.h"
#include "shell/Dialogs.h"
#include "Version.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Dimenzo"));
  QApplication::setApplicationVersion(QString::fromLatin1(version::Full));
  QApplication::setDesktopFileName(QStringLiteral("dimenzo"));

  // The program speaks Spanish, and so must the standard dialogs and buttons.
  QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
  QTranslator qtTranslation;
  if (qtTranslation.load(QLocale(QLocale::Spanish), QStringLiteral("qtbase"), QStringLiteral("_"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtTranslation);

  QtDialogs dialogs;
  FrmMain window(dialogs);
  if (!window.started()) return 1;
  window.show();
  return QApplication::exec();
}
