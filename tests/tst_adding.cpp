// The three ways of adding pictures, and the folder picker they share with
// the destination button.

#include "app/FrmMain.h"
#include "queue/FrmMenu.h"
#include "support/Pictures.h"
#include "support/ScriptedDialogs.h"
#include "support/WindowDriver.h"

#include <QDir>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

namespace {

struct Session : ShownWindow {
  QTemporaryDir root;

  QString path(const QString& relative) const { return QDir(root.path()).filePath(relative); }
  QString picture(const QString& relative) {
    const QString p = path(relative);
    QDir().mkpath(QFileInfo(p).absolutePath());
    pictures::make(p, QSize(12, 9), relative.endsWith(".gif") ? FIF_GIF : FIF_PNG,
                   relative.endsWith(".gif") ? pictures::Kind::Palette8 : pictures::Kind::Rgb24);
    return p;
  }
  QString textFile(const QString& relative) {
    const QString p = path(relative);
    QDir().mkpath(QFileInfo(p).absolutePath());
    QFile f(p);
    f.open(QIODevice::WriteOnly);
    f.write("texto");
    return p;
  }
  QString folder(const QString& relative) {
    QDir().mkpath(path(relative));
    return path(relative);
  }
  // Runs the action once, when the first row has been added.
  void onFirstRow(std::function<void()> action) {
    auto* model = ui.find<QListWidget>("LstImagenes")->model();
    auto fired = std::make_shared<bool>(false);
    QObject::connect(model, &QAbstractItemModel::rowsInserted, &window, [fired, action] {
      if (std::exchange(*fired, true)) return;
      action();
    });
  }
};

}  // namespace

class AddingTest : public QObject {
  Q_OBJECT

 private slots:
  void folderScanAddsPicturesDepthFirst() {
    Session s;
    s.picture("fotos/playa.jpg");
    s.textFile("fotos/notas.txt");
    s.picture("fotos/sol.png");
    s.picture("fotos/noche/luna.gif");
    s.picture("fotos/a-primero.png");  // sorts before the subfolder's files
    s.ui.addFolder(s.path("fotos"));
    QCOMPARE(s.ui.rows(), (QStringList{"a-primero.png", "playa.jpg", "sol.png", "luna.gif"}));
    QVERIFY(!s.window.menuWindow()->popupMenu()->isVisible());
    QCOMPARE(s.window.queue().ImagePaths().at(3), s.path("fotos/noche/luna.gif"));
    QVERIFY(s.dialogs.messages.isEmpty());
    QCOMPARE(s.dialogs.folderRequests.size(), 1);
    QCOMPARE(s.dialogs.folderRequests[0].title, QString("Selecione el directorio de las imágenes"));

    s.ui.addFolder(s.folder("vacía"));
    s.textFile("textos/uno.txt");
    s.ui.addFolder(s.path("textos"));
    QCOMPARE(s.ui.rows().size(), 4);
    QVERIFY(s.dialogs.messages.isEmpty());
  }

  // A FIFO is never opened and a link back up the tree is not followed
  // round again; a subfolder that cannot be listed is told once and the
  // scan goes on with the next one.
  void awkwardTreesEnd() {
    Session s;
    s.picture("árbol/0.png");
    s.picture("árbol/a/1.png");
    s.picture("árbol/b/2.png");
    s.picture("árbol/c/3.png");
    QCOMPARE(::mkfifo(QFile::encodeName(s.path("árbol/a/tubería")).constData(), 0600), 0);
    QVERIFY(QFile::link(s.path("árbol"), s.path("árbol/c/vuelta")));
    s.onFirstRow([&] { QDir(s.path("árbol/b")).removeRecursively(); });
    s.ui.addFolder(s.path("árbol"));

    QCOMPARE(s.ui.rows(), (QStringList{"0.png", "1.png", "3.png"}));
    QCOMPARE(s.dialogs.messages.size(), 1);
    QCOMPARE(s.dialogs.messages[0].title, QString("Error"));
    QCOMPARE(s.dialogs.messages[0].style, 16);
    QVERIFY2(s.dialogs.messages[0].text.startsWith("Error al procesar el archivo: \n"),
             qPrintable(s.dialogs.messages[0].text));
    QVERIFY(s.dialogs.messages[0].text.contains(s.path("árbol/b")));
  }

  void vanishedFolderIsTold() {
    Session s;
    s.ui.addFolder(s.path("no-existe"));
    QCOMPARE(s.dialogs.messages.size(), 1);
    QCOMPARE(s.dialogs.messages[0].title, QString("Dimenzo Error"));
    QVERIFY(s.ui.rows().isEmpty());
  }

  void dropsAddEachItem() {
    Session s;
    const QString a = s.picture("a.png");
    const QString b = s.picture("b.png");
    const QString folder = s.folder("carpeta");
    s.ui.drop({a, folder, b});
    QCOMPARE(s.ui.rows(), (QStringList{"a.png", "b.png"}));
    QCOMPARE(s.dialogs.texts(),
             QStringList{"El archivo " + folder + " no es una imagen o no tiene un formato adecuado"});

    s.ui.drop({a});
    QCOMPARE(s.ui.rows(), (QStringList{"a.png", "b.png", "a.png"}));

    // Dragged text or a web address carries no local file: ignored.
    auto* list = s.ui.find<QListWidget>("LstImagenes");
    QMimeData text;
    text.setText("hola");
    text.setUrls({QUrl("https://talvera.example/foto.png")});
    QDropEvent drop(QPointF(list->viewport()->rect().center()), Qt::CopyAction, &text, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &drop);
    QCOMPARE(s.ui.rows().size(), 3);
    QCOMPARE(s.dialogs.messages.size(), 1);
  }

  void openFileDialogAddsOneFile() {
    Session s;
    const QString picture = s.picture("fotos/playa.png");
    const QString text = s.textFile("otros/notas.txt");
    s.ui.addFile(picture);
    s.ui.addFile(text);
    s.ui.addFile(QString());  // cancel
    s.ui.addFile("   ");
    QCOMPARE(s.ui.rows(), QStringList{"playa.png"});
    QCOMPARE(s.dialogs.texts(),
             QStringList{"El archivo " + text + " no es una imagen o no tiene un formato adecuado"});
    QCOMPARE(s.dialogs.openRequests.size(), 4);
    QCOMPARE(s.dialogs.openRequests[0].title, QString("Selecione el archivo de imagen"));
    QCOMPARE(s.dialogs.openRequests[0].suffix, QString("jpg"));
    // The dialog opens where the last file was chosen, also after a cancel.
    QCOMPARE(s.dialogs.openRequests[1].start, s.path("fotos"));
    QCOMPARE(s.dialogs.openRequests[3].start, s.path("otros"));
    // One hidden menu window, made on first use.
    FrmMenu* menuWindow = s.window.menuWindow();
    QVERIFY(menuWindow && !menuWindow->isVisible());
    s.ui.click("BtnAdd");
    QCOMPARE(s.window.menuWindow(), menuWindow);
    menuWindow->popupMenu()->close();
  }

  // A cancel changes nothing; the folder chosen last through either dialog
  // is where both open next.
  void cancelChangesNothing() {
    Session s;
    const QString destination = s.folder("destino");
    const QString scanned = s.folder("fuente");
    s.picture("fuente/uno.png");

    s.ui.chooseDestination(QString());
    QCOMPARE(s.ui.caption("TxtDirectorioDestino"), QString());
    QCOMPARE(s.dialogs.folderRequests.last().title, QString("Selecione el directorio de destino"));

    s.ui.chooseDestination(destination);
    QCOMPARE(s.ui.caption("TxtDirectorioDestino"), destination);
    s.ui.addFolder(QString());
    QCOMPARE(s.dialogs.folderRequests.last().start, destination);
    QVERIFY(s.ui.rows().isEmpty());

    s.ui.addFolder(scanned);
    QCOMPARE(s.ui.rows(), QStringList{"uno.png"});
    s.ui.addFolder(QString());
    QCOMPARE(s.ui.rows(), QStringList{"uno.png"});  // no second scan

    s.ui.chooseDestination(QString());
    QCOMPARE(s.dialogs.folderRequests.last().start, scanned);
    QCOMPARE(s.ui.caption("TxtDirectorioDestino"), destination);
  }

  // A run started during a scan finishes with what was queued so far; the
  // scan then goes on into the emptied queue.
  void runInsideAScan() {
    Session s;
    for (const char* name : {"a.png", "b.png", "c.png"}) s.picture(QStringLiteral("fuente/") + name);
    const QString destination = s.folder("destino");
    s.ui.chooseDestination(destination);
    s.onFirstRow([&] { QTimer::singleShot(0, &s.window, [&] { s.ui.click("BtnConvertir"); }); });
    s.ui.addFolder(s.path("fuente"));
    QCOMPARE(s.dialogs.texts(), QStringList{"El proceso ha finalizado con éxito!"});
    QCOMPARE(QDir(destination).entryList(QDir::Files), QStringList{"a.png"});
    QCOMPARE(s.ui.rows(), (QStringList{"b.png", "c.png"}));
  }

  void closingStopsAScan() {
    Session s;
    for (const char* name : {"a.png", "b.png", "sub/c.png"}) s.picture(QStringLiteral("fuente/") + name);
    s.onFirstRow([&] { QTimer::singleShot(0, &s.window, [&] { s.window.close(); }); });
    s.ui.addFolder(s.path("fuente"));
    QVERIFY(s.window.unloaded());
    QCOMPARE(s.ui.rows(), QStringList{"a.png"});
    QVERIFY(s.dialogs.messages.isEmpty());
  }
};

QTEST_MAIN(AddingTest)
#include "tst_adding.moc"
