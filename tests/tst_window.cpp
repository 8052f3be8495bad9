// What only the windows show: the checks and the question before a run, a
// run followed on screen with its captions and messages, the error path,
// closing mid-run, the About window, and the ways of adding pictures.

#include "app/FrmAbout.h"
#include "app/FrmMain.h"
#include "app/ProgressBar.h"
#include "app/Translations.h"
#include "queue/Paths.h"
#include "support/Pictures.h"
#include "shell/ScriptedDialogs.h"

#include <QtTest>
#include <QtWidgets>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QStringList SevenControls{"BtnAdd", "BtnBorrar", "BtnConvertir", "BtnDirectorioDestino",
                                "CmbTamaño", "CmbCalidad", "TxtDirectorioDestino"};
const QString Success = QStringLiteral("Dimenzo|64|El proceso ha finalizado con éxito!");

// The main window shown, with scripted dialogs, a folder of its own to make
// pictures in, and the ways a user works it: clicks, drops, captions.
struct Session {
  ScriptedDialogs dialogs;
  FrmMain window;
  QTemporaryDir root;

  explicit Session(WorkerPool::Options workers = {}) : window(dialogs, workers) { window.show(); }
  ~Session() { pictures::removeTree(root.path()); }

  template <class T = QWidget>
  T* find(const QString& name) const {
    return window.findChild<T*>(name);
  }
  QListWidget* list() const { return find<QListWidget>("LstImagenes"); }
  void click(const QString& button) { QTest::mouseClick(find<QAbstractButton>(button), Qt::LeftButton); }
  QString caption(const QString& control) const {
    for (const char* property : {"text", "title", "currentText"})
      if (const QVariant value = find(control)->property(property); value.isValid()) return value.toString();
    return QString();
  }
  QStringList rows() const {
    QStringList texts;
    for (int i = 0; i < list()->count(); ++i) texts.append(list()->item(i)->text());
    return texts;
  }
  void selectRow(int row) {
    QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, list()->visualItemRect(list()->item(row)).center());
  }
  // Drags local files from a file manager onto the list and drops them.
  // Names travel percent-encoded, as a file manager sends them, whatever
  // their bytes.
  void drop(const QList<QByteArray>& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const QByteArray& p : paths) urls.append(QUrl::fromEncoded("file://" + p.toPercentEncoding("/")));
    data.setUrls(urls);
    const QPoint at = list()->viewport()->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list()->viewport(), &enter);
    QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted()) QApplication::sendEvent(list()->viewport(), &dropped);
  }
  void chooseDestination(const QString& folder) {
    dialogs.folderAnswers.append(folder);
    click("BtnDirectorioDestino");
  }
  void addFile(const QString& path) {
    dialogs.openAnswers.append(path);
    pickMenuEntry("mnArchivo");
  }
  void addFolder(const QString& folder) {
    dialogs.folderAnswers.append(folder);
    pickMenuEntry("mnDirectorio");
  }
  void pickMenuEntry(const QString& entry) {
    click("BtnAdd");
    auto* menu = window.findChild<QMenu*>("mnAñadir");
    menu->setActiveAction(menu->findChild<QAction*>(entry));
    QTest::keyClick(menu, Qt::Key_Return);
    QCoreApplication::processEvents();  // the entry's handler runs once the menu has closed
  }
  QString path(const QString& relative) const { return QDir(root.path()).filePath(relative); }
  // A picture, or an empty file; its name need not be text.
  QByteArray file(const QByteArray& relative, bool picture = true) {
    const QByteArray path = QFile::encodeName(root.path()) + '/' + relative;
    QDir().mkpath(QFileInfo(QFile::decodeName(path)).absolutePath());
    if (picture ? !FreeImage_Save(FIF_PNG, pictures::make(QSize(40, 30)).get(), path.constData(), 0)
                : ::close(::creat(path.constData(), 0644)) != 0)
      qWarning("no file");
    return path;
  }
  QString folder(const QString& relative) {
    QDir().mkpath(path(relative));
    return path(relative);
  }
  // Every message shown, as "title|icon|text".
  QStringList shown() const {
    QStringList all;
    for (const auto& m : dialogs.messages) all << QString("%1|%2|%3").arg(m.title).arg(m.style).arg(m.text);
    return all;
  }
  QStringList enabledOf(const QStringList& names) const {
    QStringList enabled;
    for (const QString& name : names)
      if (find(name)->isEnabled()) enabled << name;
    return enabled;
  }
};

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  // A screen reader can name every control that takes the focus, and the
  // drop-down lists through the labels that point at them. The About window
  // shows the version, and Enter presses its "Aceptar".
  void controlsAreNamedAndAboutShowsTheVersion() {
    Session s;
    for (QWidget* w : s.window.findChildren<QWidget*>())
      if (w->focusPolicy() & Qt::TabFocus)
        QVERIFY2(!QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name).isEmpty(),
                 qPrintable(w->objectName()));
    for (QComboBox* combo : s.window.findChildren<QComboBox*>()) {
      bool labelled = false;
      for (const auto& relation : QAccessible::queryAccessibleInterface(combo)->relations(QAccessible::Label))
        labelled |= qobject_cast<QLabel*>(relation.first->object()) != nullptr;
      QVERIFY2(labelled, qPrintable(combo->objectName()));
    }
    QString caption;
    QTimer::singleShot(0, [&] {  // once it is up
      auto* about = qobject_cast<FrmAbout*>(QApplication::activeModalWidget());
      QVERIFY(about);
      QTest::keyClick(about, Qt::Key_Return);
      caption = about->findChild<QGroupBox*>("Frame1")->title() + (about->isVisible() ? " abierta" : "");
      about->reject();
    });
    s.click("BtnAbout");
    QCOMPARE(caption, "Acerca de Dimenzo versión 1.0.11");
  }

  // The checks before a run, each with its message; then an error that
  // stops the run is told, the controls work again and the queue is emptied.
  void checksComeBeforeARunAndErrorsEndIt() {
    WorkerPool::Options missing;
    missing.program = "/no/existe/dimenzo-worker";
    Session s(missing);
    s.chooseDestination("   ");
    s.click("BtnConvertir");
    QCOMPARE(s.caption("TxtDirectorioDestino"), QString("   "));
    // The separator goes on before the queue is looked at, and only once.
    s.chooseDestination(s.root.path());
    s.click("BtnConvertir");
    QTest::keyClick(s.find("LstImagenes"), Qt::Key_Return);  // Enter presses "Convertir"
    QCOMPARE(s.caption("TxtDirectorioDestino"), s.root.path() + "/");
    QCOMPARE(s.shown(), (QStringList{"Dimenzo|48|Debe indicar un directorio de destino",
                                     "Dimenzo|48|Debe añadir por lo menos una imagen para convertir",
                                     "Dimenzo|48|Debe añadir por lo menos una imagen para convertir"}));
    // A destination that is missing stops the run before it starts; the
    // queue stays, and the controls work, for the run after it.
    s.drop({s.file("playa.png")});
    s.chooseDestination(s.path("no-existe"));
    s.click("BtnConvertir");
    QCOMPARE(s.shown().constLast(), "Dimenzo|48|El directorio de destino " + s.path("no-existe") + "/ no existe.");

    s.chooseDestination(s.folder("destino"));
    s.click("BtnConvertir");
    QCOMPARE(s.shown().mid(4), QStringList{"Dimenzo Error|16|Ha ocurrido un error en el proceso:\nNo se encuentra el "
                                           "programa de conversión /no/existe/dimenzo-worker."});
    QCOMPARE(s.enabledOf(SevenControls), SevenControls);
    QVERIFY(s.rows().isEmpty());
  }

  // A picture that cannot be read and one that cannot be written, among
  // good ones: every caption and message as the user sees them, the busy
  // state meanwhile, and the window reset afterwards.
  void runShowsEveryStep() {
    Session s;
    const QString destination = s.folder("destino");
    s.folder("destino/mala.png");  // a folder where the output should go
    const QByteArray gone = s.file("borrada.png");
    s.drop({s.file("caf\xe9.png"), gone, s.file("mala.png")});
    ::unlink(gone);
    s.find<QComboBox>("CmbTamaño")->setCurrentIndex(0);
    s.find<QComboBox>("CmbCalidad")->setCurrentIndex(0);
    QList<QStringList> enabled;
    s.dialogs.onMessage = [&](const auto&) { enabled << s.enabledOf(SevenControls + QStringList{"LstImagenes", "BtnAbout"}); };
    // The status captions as the user sees them: sampled each time the
    // window processes its events and each time a message comes up.
    QStringList frame, label;
    auto sample = [&] {
      for (auto [seen, control] : {std::pair{&frame, "FrameEstado"}, std::pair{&label, "LblEstado"}})
        if (seen->isEmpty() || seen->constLast() != s.caption(control)) seen->append(s.caption(control));
    };
    sample();
    s.dialogs.beforeMessage = sample;
    QObject sampling;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &sampling, sample);
    s.chooseDestination(destination);
    s.click("BtnConvertir");

    QCOMPARE(s.shown().size(), 3);
    QCOMPARE(s.shown()[0], "Atención|48|No se ha podido reescalar la imagen " + gone +
                               "\nEl archivo está dañado o su formato no se admite.");
    QCOMPARE(s.shown()[1], "Atención|48|No se ha podido guardar la imagen " + destination + "/mala.png\nEs un directorio.");
    QCOMPARE(s.shown()[2], "Dimenzo|48|El proceso ha finalizado, pero sólo se han convertido 1 de 3 imágenes.");
    QCOMPARE(enabled[0], (QStringList{"LstImagenes", "BtnAbout"}));
    QCOMPARE(enabled[2].size(), 9);  // the controls come back before the last message
    QCOMPARE(frame, (QStringList{"Estado", "Estado (33%)", "Estado (67%)", "Estado (100%)", "Estado"}));
    QCOMPARE(label, (QStringList{"Estado:", "Estado: Conviertiendo caf\uFFFD.png ...",
                                     "Estado: Conviertiendo borrada.png ...", "Estado: Conviertiendo mala.png ..."}));
    const QByteArray output = QFile::encodeName(destination) + "/caf\xe9.png";  // the source's name, byte for byte
    QCOMPARE(FreeImage_GetWidth(freeimage::Load(FIF_JPEG, output).get()), 1024u);
    QCOMPARE(pictures::entries(destination), (QStringList{"caf\uFFFD.png", "mala.png"}));

    QVERIFY(s.rows().isEmpty() && s.window.queue().ImageCount() == 0);
    QCOMPARE(s.caption("CmbTamaño") + s.caption("CmbCalidad"), QString("640x480Normal"));
    QCOMPARE(s.find<ProgressBar>("Barra")->Value(), 0.0f);
    QCOMPARE(s.caption("TxtDirectorioDestino"), destination + "/");
  }

  // A run that would replace its own sources, or write two pictures under
  // one name, asks once first. "No" leaves everything as it was; "Sí" runs
  // as ever.
  void askedBeforeOriginalsAreLost() {
    Session s;
    const QString fotos = s.folder("fotos");
    s.drop({s.file("fotos/playa.png"), s.file("fotos/sol.png"), s.file("2023/IMG.png"), s.file("2024/IMG.png")});
    QFile playa(s.path("fotos/playa.png"));
    QVERIFY(playa.open(QIODevice::ReadOnly));
    const QByteArray original = playa.readAll();
    s.find<QComboBox>("CmbTamaño")->setCurrentIndex(4);
    s.find<QComboBox>("CmbCalidad")->setCurrentIndex(0);
    s.chooseDestination(fotos);
    s.dialogs.questionAnswers = {vbNo};
    s.click("BtnConvertir");
    const QString question =
        "Dimenzo|292|La conversión reemplazará 2 imágenes originales de la carpeta " + fotos +
        "/ por sus versiones reescaladas, y los originales se perderán.\n\n2 imágenes de la lista tienen el mismo "
        "nombre de archivo que otra, y de cada nombre sólo quedará la última que se convierta.\n\n¿Desea continuar?";
    QCOMPARE(s.shown(), QStringList{question});
    QVERIFY(playa.seek(0) && playa.readAll() == original);
    // The queue and the controls as they were; "Sí" below needs both.
    QCOMPARE(s.caption("CmbTamaño") + s.caption("CmbCalidad") + s.caption("TxtDirectorioDestino"),
             "160x120Buena" + fotos + "/");

    s.dialogs.questionAnswers = {vbYes};
    s.click("BtnConvertir");
    QCOMPARE(s.shown(), (QStringList{question, question, Success}));
    QCOMPARE(QImageReader(playa.fileName()).format() + QByteArray::number(QImageReader(playa.fileName()).size().width()),
             "jpeg160");

    // One original.
    s.drop({s.file("uno/mar.png")});
    s.chooseDestination(s.path("uno"));
    s.click("BtnConvertir");
    QCOMPARE(s.shown().constLast(), "Dimenzo|292|La conversión reemplazará 1 imagen original de la carpeta " +
                                        s.path("uno") + "/ por su versión reescalada, y el original se "
                                                        "perderá.\n\n¿Desea continuar?");
  }

  // The question as the platform shows it: "Sí" and "No", "No" pressed by
  // Enter and Escape (the close box goes where Escape does); the other
  // boxes' buttons in Spanish too.
  void messageBoxesSpeakSpanish() {
    QTranslator translator;
    QVERIFY(installQtSpanish(translator));
    QMessageBox box(QMessageBox::Warning, "Dimenzo", "texto", QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.button(QMessageBox::Ok)->text() + box.button(QMessageBox::Cancel)->text(), QString("AceptarCancelar"));
    QtDialogs dialogs;
    QStringList seen;
    auto answer = [&](std::function<void(QMessageBox*)> act) {
      QTimer::singleShot(0, [&seen, act] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box);
        for (QAbstractButton* button : box->buttons()) seen << button->text();
        seen << QString::number(box->icon()) << box->defaultButton()->text();
        act(box);
      });
      return dialogs.MsgBox(nullptr, "¿Seguro?", vbYesNo | vbQuestion | vbDefaultButton2, "Dimenzo");
    };
    QCOMPARE(answer([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); }), vbNo);
    QCOMPARE(seen, (QStringList{"&Sí", "&No", QString::number(QMessageBox::Question), "&No"}));
    QCOMPARE(answer([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }), vbNo);
    QCOMPARE(answer([](QMessageBox* box) { box->buttons().constFirst()->click(); }), vbYes);
  }

  // Closing the window mid-run finishes the picture in hand and stops
  // there, without another word.
  void closingStopsTheRun() {
    Session s;
    const QByteArray a = s.file("a.png");
    QVERIFY(pictures::make(QFile::decodeName(a), QSize(2000, 1500)));  // the others are done by the time it is
    s.drop({a, s.file("b.png"), s.file("c.png")});
    // Once the first picture shows on the bar, posted as a click would be.
    QObject::connect(s.find<ProgressBar>("Barra"), &QProgressBar::valueChanged, &s.window, [&] { s.window.close(); },
                     Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    s.chooseDestination(s.folder("destino"));
    s.click("BtnConvertir");
    QVERIFY(s.window.unloaded() && s.shown().isEmpty());
    QTRY_COMPARE(pictures::entries(s.path("destino")), QStringList{"a.png"});
  }

  // A scan walks the tree depth first in name order, offering every file
  // quietly; a link back up the tree is not walked again, and a subfolder
  // that cannot be listed is told once.
  void folderScanAddsPicturesDepthFirst() {
    Session s;
    for (const char* name : {"árbol/b.png", "árbol/a.png", "árbol/sub/c.png", "árbol/zeta/d.png"}) s.file(name);
    s.file("árbol/vacía/notas.txt", false);
    QVERIFY(QFile::link(s.path("árbol"), s.path("árbol/sub/vuelta")));
    const QByteArray latin = s.file("árbol/caf\xe9.png");
    s.folder("árbol/quitada");
    QObject::connect(s.list()->model(), &QAbstractItemModel::rowsInserted, &s.window,
                     [&] { QDir(s.path("árbol/quitada")).removeRecursively(); }, Qt::SingleShotConnection);
    s.chooseDestination(s.path("destino"));
    s.addFolder(QString());  // a cancel: no scan
    s.addFolder(s.path("árbol"));
    s.chooseDestination(QString());  // a cancel keeps the destination; the scanned folder is the last chosen
    QCOMPARE(s.caption("TxtDirectorioDestino"), s.path("destino"));
    const auto& asked = s.dialogs.folderRequests;
    QCOMPARE(asked[1].start + "|" + asked[2].start + "|" + asked[3].start,
             s.path("destino") + "|" + s.path("destino") + "|" + s.path("árbol"));
    QCOMPARE(asked[0].title + "|" + asked[2].title, "Selecione el directorio de destino|Selecione el directorio de las imágenes");
    QCOMPARE(s.rows(), (QStringList{"a.png", "b.png", "caf\uFFFD.png", "c.png", "d.png"}));
    QCOMPARE(s.window.queue().ImagePaths()[2], latin);
    QCOMPARE(s.shown().size(), 1);
    QVERIFY(s.shown()[0].startsWith("Error|16|Error al procesar el archivo: \nNo se puede leer la carpeta " +
                                    s.path("árbol/quitada")));
  }

  // The open-file dialog and the drop add what is a picture and name what
  // is not, up to a full queue; "Borrar" takes out the selected row only.
  void filesAndDropsAndBorrar() {
    Session s;
    const QByteArray a = s.file("fotos/a.png"), notes = s.file("otros/notas.txt", false);
    s.addFile(a);
    s.addFile(notes);
    s.addFile(QString());  // cancel
    s.drop({a, QFile::encodeName(s.folder("carpeta"))});
    QCOMPARE(s.rows(), (QStringList{"a.png", "a.png"}));
    QCOMPARE(s.shown(), (QStringList{
                            "Formato desconocido|48|El archivo " + notes + " no es una imagen o no tiene un formato adecuado",
                            "Formato desconocido|48|El archivo " + s.path("carpeta") +
                                " no es una imagen o no tiene un formato adecuado"}));
    const auto& asked = s.dialogs.openRequests;
    QCOMPARE(asked[0].title + asked[0].suffix + asked[2].start, "Selecione el archivo de imagenjpg" + s.path("otros"));

    const QByteArray b = s.file("b.png");
    s.drop({b});
    s.click("BtnBorrar");  // nothing selected: nothing happens
    s.selectRow(0);
    s.click("BtnBorrar");
    s.click("BtnBorrar");  // the removed row's selection does not carry over
    QCOMPARE(s.rows(), (QStringList{"a.png", "b.png"}));
    QCOMPARE(s.window.queue().ImagePaths(), (QList<QByteArray>{a, b}));

    // One more than 32767 is refused; nothing queued is lost and the list stays in step.
    for (int i = 2; i < 32767; ++i) s.window.AddImage(a, true);
    s.drop({a});
    QCOMPARE(s.shown().mid(2), QStringList{"Dimenzo Error|16|Desbordamiento: la lista no admite más de 32767 imágenes."});
    QCOMPARE(s.window.queue().ImageCount(), 32767);
    QCOMPARE(s.rows().size(), 32767);
  }

  // Names that are not text reach the dialogs as U+FFFD and come back as
  // the names themselves: a file chosen in the open-file dialog, a folder
  // chosen to scan and the destination chosen with "...".
  void namesFromDialogsKeepTheirBytes() {
    Session s;
    const QByteArray folder = QFile::encodeName(s.root.path()) + "/d\xed" "as";
    QCOMPARE(::mkdir(folder.constData(), 0755), 0);
    const QByteArray picture = folder + "/caf\xe9.png";
    QVERIFY(FreeImage_Save(FIF_PNG, pictures::make(QSize(40, 30)).get(), picture.constData(), 0));
    const QString shown = displayPath(picture);
    QVERIFY(shown.contains(QChar::ReplacementCharacter));
    s.addFile(shown);
    s.addFolder(displayPath(folder));
    QCOMPARE(s.window.queue().ImagePaths(), (QList<QByteArray>{picture, picture}));
    const QByteArray destination = QFile::encodeName(s.root.path()) + "/sal\xed" "da";
    QCOMPARE(::mkdir(destination.constData(), 0755), 0);
    s.chooseDestination(displayPath(destination));
    s.click("BtnConvertir");
    QCOMPARE(s.shown(), QStringList{Success});
    QCOMPARE(::access((destination + "/caf\xe9.png").constData(), F_OK), 0);
  }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
