// Shows the windows as the README pictures them; scripts/screenshots.sh
// runs this under Xvfb and takes the pictures.
//
//   shots main|about|question
//
// "question" converts into the pictures' own folder, so that the window
// asks before replacing them; the question is the platform's real one.

#include "app/FrmAbout.h"
#include "app/FrmMain.h"
#include "shell/ScriptedDialogs.h"

#include <FreeImage.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstring>
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
  const bool question = argc > 1 && qstrcmp(argv[1], "question") == 0;

  QTemporaryDir dir;
  ScriptedDialogs scripted;
  QtDialogs real;
  scripted.folderAnswers.append(QStringLiteral("/home/ana/Imágenes/web"));
  FrmMain window(question ? static_cast<Dialogs&>(real) : scripted);
  window.show();
  if (question)
    window.findChild<QLineEdit*>(QStringLiteral("TxtDirectorioDestino"))->setText(dir.path());
  else
    window.BtnDirectorioDestino_Click();
  FIBITMAP* dib = FreeImage_Allocate(16, 16, 24);
  QDir(dir.path()).mkpath(QStringLiteral("2023"));
  QDir(dir.path()).mkpath(QStringLiteral("2024"));
  for (const char* name : {"playa.jpg", "montaña.png", "atardecer.tif", "logo.gif", "2023/IMG_0001.jpg",
                           "2024/IMG_0001.jpg"}) {
    if (!question && std::strchr(name, '/')) continue;
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
  if (question) {
    QTimer::singleShot(100, &window, [&] { window.BtnConvertir_Click(); });
    QTimer::singleShot(600, [] { printGeometry(QApplication::activeModalWidget()); });
    QTimer::singleShot(8000, [] { QApplication::activeModalWidget()->close(); });
  } else {
    QTimer::singleShot(500, [&] { printGeometry(about ? static_cast<QWidget*>(aboutWindow.get()) : &window); });
  }
  QTimer::singleShot(8000, &app, &QApplication::quit);
  return app.exec();
}
