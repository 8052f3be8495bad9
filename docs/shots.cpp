// Shows the windows as the README pictures them; scripts/screenshots.sh
// runs this under Xvfb and takes the pictures.
//
//   shots main|about

#include "app/FrmAbout.h"
#include "app/FrmMain.h"
#include "shell/ScriptedDialogs.h"

#include <FreeImage.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {
void printGeometry(QWidget* w) {
  const QRect r = w->frameGeometry();
  std::printf("%dx%d+%d+%d\n", r.width(), r.height(), r.x(), r.y());
  std::fflush(stdout);
}
}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const bool about = argc > 1 && qstrcmp(argv[1], "about") == 0;

  QTemporaryDir dir;
  ScriptedDialogs dialogs;
  dialogs.folderAnswers.append(QStringLiteral("/home/ana/Imágenes/web"));
  FrmMain window(dialogs);
  window.show();
  window.BtnDirectorioDestino_Click();
  FIBITMAP* dib = FreeImage_Allocate(16, 16, 24);
  for (const char* name : {"playa.jpg", "montaña.png", "atardecer.tif", "logo.gif"}) {
    const QString path = QDir(dir.path()).filePath(QString::fromUtf8(name));
    FreeImage_Save(FIF_PNG, dib, QFile::encodeName(path).constData(), 0);
    window.AddImage(QFile::encodeName(path), false);
  }
  FreeImage_Unload(dib);

  std::unique_ptr<FrmAbout> aboutWindow;
  if (about) {
    aboutWindow = std::make_unique<FrmAbout>(&window);
    aboutWindow->show();
  }
  QTimer::singleShot(500, [&] { printGeometry(about ? static_cast<QWidget*>(aboutWindow.get()) : &window); });
  QTimer::singleShot(8000, &app, &QApplication::quit);
  return app.exec();
}
