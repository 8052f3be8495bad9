// How fast a folder scan fills the queue, and how long the window goes
// without processing its events meanwhile.
//
//   QT_QPA_PLATFORM=offscreen build/bin/scan_bench [files] [pictures]
//
// Builds a tree of `files` files (default 20000), `pictures` of them small
// pictures (default 400), in 100 folders, then scans it through the
// window's "Añadir" > "Directorio" and reports files per second for each
// quarter of the scan and the longest pause of the event loop. It exits 1,
// saying why, when the scan did not queue exactly the tree's pictures: a
// figure for a scan that did not happen is worse than none.

#include "app/FrmMain.h"
#include "queue/FrmMenu.h"
#include "shell/ScriptedDialogs.h"

#include <FreeImage.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

// Returns how many pictures it made.
int buildTree(const QString& root, int files, int pictures) {
  std::unique_ptr<FIBITMAP, decltype(&FreeImage_Unload)> dib(FreeImage_Allocate(32, 24, 24), FreeImage_Unload);
  const int folders = 100;
  const int pictureEvery = files / pictures;
  int made = 0;
  for (int i = 0; i < files; ++i) {
    const QString folder = QStringLiteral("%1/carpeta-%2/sub").arg(root).arg(i % folders, 3, 10, QLatin1Char('0'));
    if (i < folders) QDir().mkpath(folder);
    const QString path = QStringLiteral("%1/archivo-%2").arg(folder).arg(i, 5, 10, QLatin1Char('0'));
    if (i % pictureEvery == 0 && i / pictureEvery < pictures) {
      made += FreeImage_Save(FIF_PNG, dib.get(), QFile::encodeName(path + ".png").constData(), 0) ? 1 : 0;
    } else {
      QFile f(path + ".txt");
      f.open(QIODevice::WriteOnly);
      f.write(QByteArray(512, 'x'));
    }
  }
  return made;
}

}  // namespace

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  const int files = argc > 1 ? std::atoi(argv[1]) : 20000;
  const int pictures = argc > 2 ? std::atoi(argv[2]) : 400;
  if (files < 4 || pictures < 1 || pictures > files / 2) {
    std::fprintf(stderr, "usage: scan_bench [files (at least 4)] [pictures (1 to half the files)]\n");
    return 2;
  }

  QTemporaryDir root;
  if (buildTree(root.path(), files, pictures) != pictures) {
    std::fprintf(stderr, "scan_bench: could not make the tree's pictures in %s\n", qPrintable(root.path()));
    return 1;
  }

  ScriptedDialogs dialogs;
  dialogs.folderAnswers.append(root.path());
  FrmMain window(dialogs);
  window.show();
  window.BtnAdd_Click();
  window.menuWindow()->popupMenu()->close();

  QElapsedTimer clock;
  qint64 lastWake = 0;
  qint64 longestPause = 0;
  QList<qint64> quarterEnds;
  int offered = 0;
  QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, [&] {
    const qint64 now = clock.nsecsElapsed();
    longestPause = std::max(longestPause, now - lastWake);
    lastWake = now;
    // One wake-up per file offered.
    if (++offered % (files / 4) == 0) quarterEnds.append(now);
  });
  clock.start();
  // The menu entry's own handler, which returns when the scan is over; the
  // entry itself only queues it for after the menu has closed.
  window.menuWindow()->mnDirectorio_Click();
  const qint64 end = clock.nsecsElapsed();
  // The stretch after the last wake-up is a pause too; were the scan never
  // to let the loop run, it would be the whole scan.
  longestPause = std::max(longestPause, end - lastWake);
  const double seconds = end / 1e9;

  std::printf("files: %d, pictures queued: %d, messages: %d\n", files, window.queue().ImageCount(),
              int(dialogs.messages.size()));
  std::printf("scan: %.2f s, %.0f files/s\n", seconds, files / seconds);
  qint64 previous = 0;
  for (int q = 0; q < quarterEnds.size(); ++q) {
    std::printf("  quarter %d: %.0f files/s\n", q + 1, (files / 4) / ((quarterEnds[q] - previous) / 1e9));
    previous = quarterEnds[q];
  }
  std::printf("longest event-loop pause: %.2f ms\n", longestPause / 1e6);
  if (window.queue().ImageCount() != pictures) {
    std::fprintf(stderr, "scan_bench: the scan queued %d pictures of the %d in the tree\n",
                 window.queue().ImageCount(), pictures);
    return 1;
  }
  if (!dialogs.messages.isEmpty()) {
    std::fprintf(stderr, "scan_bench: the scan showed a message: %s\n",
                 qPrintable(dialogs.messages.constFirst().text));
    return 1;
  }
  return 0;
}
