// The "Convertir" run, driven from the window.

#include "app/FrmMain.h"
#include "app/ProgressBar.h"
#include "support/DiskFull.h"
#include "support/Pictures.h"
#include "support/ScriptedDialogs.h"
#include "support/WindowDriver.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>


namespace {

const QString Success = QStringLiteral("El proceso ha finalizado con éxito!");

QString notRescaled(const QString& path) { return "No se ha podido reescalar la imagen " + path; }

QStringList allEntries(const QString& folder) {
  return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
}

// A window, its scripted dialogs and a driver, with a source and a
// destination folder of their own.
struct Session : ShownWindow {
  QTemporaryDir sources;
  QTemporaryDir destination;

  QString source(const QString& name, QSize size = QSize(64, 48), FREE_IMAGE_FORMAT format = FIF_PNG,
                 pictures::Kind kind = pictures::Kind::Rgb24) {
    const QString path = QDir(sources.path()).filePath(name);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!pictures::make(path, size, format, kind)) qWarning("could not make %s", qPrintable(path));
    return path;
  }
  QString output(const QString& name) const { return QDir(destination.path()).filePath(name); }
  void queue(const QStringList& paths) { ui.drop(paths); }
  void convertTo(const QString& folder) {
    ui.chooseDestination(folder);
    ui.click("BtnConvertir");
  }
  void convert() { convertTo(destination.path()); }
};

}  // namespace

class ConvertTest : public QObject {
  Q_OBJECT

 private slots:
  void checksComeFirst() {
    Session s;
    s.ui.chooseDestination("   ");
    s.ui.click("BtnConvertir");
    QCOMPARE(s.dialogs.messages.size(), 1);
    QCOMPARE(s.dialogs.messages[0].text, QString("Debe indicar un directorio de destino"));
    QCOMPARE(s.dialogs.messages[0].title, QString("Dimenzo"));
    QCOMPARE(s.dialogs.messages[0].style, 48);
    QCOMPARE(s.ui.caption("TxtDirectorioDestino"), QString("   "));

    // The separator goes on before the queue is looked at, and only once.
    s.dialogs.messages.clear();
    s.convertTo(s.destination.path());
    s.ui.click("BtnConvertir");
    QCOMPARE(s.ui.caption("TxtDirectorioDestino"), s.destination.path() + "/");
    QCOMPARE(s.dialogs.texts(), QStringList(2, "Debe añadir por lo menos una imagen para convertir"));
    s.convertTo("/");
    QCOMPARE(s.ui.caption("TxtDirectorioDestino"), QString("/"));

    // A destination that is missing or cannot be written stops the run
    // before it starts, and the queue stays.
    const QString picture = s.source("playa.png");
    s.queue({picture});
    for (const QString& bad : {QDir(s.destination.path()).filePath("no-existe"), QString("/proc")}) {
      s.dialogs.messages.clear();
      s.convertTo(bad);
      QCOMPARE(s.dialogs.messages.size(), 1);
      QVERIFY2(s.dialogs.messages[0].text.startsWith("El directorio de destino " + bad + "/"),
               qPrintable(s.dialogs.messages[0].text));
      QCOMPARE(s.dialogs.messages[0].style, 48);
      QCOMPARE(s.ui.rows(), QStringList{"playa.png"});
      QVERIFY(s.ui.enabled("BtnConvertir"));
    }
  }

  // Every picture comes out as a JPEG of exactly the preset's size under its
  // own name, whatever its kind and shape; the window then starts afresh.
  void runConvertsEveryPicture() {
    Session s;
    const QString upright = s.source("retrato.jpg", QSize(600, 800), FIF_JPEG);
    const QString tiny = s.source("dibujo.png", QSize(100, 100), FIF_PNG, pictures::Kind::Rgba32);
    const QString deep = s.source("profundo.png", QSize(300, 200), FIF_PNG, pictures::Kind::Grey16);
    s.queue({upright, tiny, deep});
    s.ui.find<QComboBox>("CmbTamaño")->setCurrentIndex(0);
    s.ui.find<QComboBox>("CmbCalidad")->setCurrentIndex(0);
    CaptionLog log(s.ui, s.dialogs);
    s.convert();

    QCOMPARE(s.dialogs.texts(), QStringList{Success});
    QCOMPARE(s.dialogs.messages[0].style, 64);
    for (const char* name : {"retrato.jpg", "dibujo.png", "profundo.png"}) {
      const pictures::Info info = pictures::inspect(s.output(QString::fromUtf8(name)));
      QCOMPARE(info.format, FIF_JPEG);
      QCOMPARE(info.size, QSize(1024, 768));
    }
    QCOMPARE(allEntries(s.destination.path()).size(), 3);

    QCOMPARE(log.of("FrameEstado"),
             (QStringList{"Estado", "Estado (33%)", "Estado (67%)", "Estado (100%)", "Estado"}));
    QCOMPARE(log.of("LblEstado"),
             (QStringList{"Estado:", "Estado: Conviertiendo retrato.jpg ...", "Estado: Conviertiendo dibujo.png ...",
                          "Estado: Conviertiendo profundo.png ..."}));

    // The reset: empty queue and defaults, but the texts the user may want stay.
    QVERIFY(s.ui.rows().isEmpty());
    QCOMPARE(s.window.queue().ImageCount(), 0);
    QCOMPARE(s.ui.caption("CmbTamaño"), QString("640x480"));
    QCOMPARE(s.ui.caption("CmbCalidad"), QString("Normal"));
    QCOMPARE(s.ui.find<ProgressBar>("Barra")->Value(), 0.0f);
    QCOMPARE(s.ui.caption("FrameEstado"), QString("Estado"));
    QCOMPARE(s.ui.caption("LblEstado"), QString("Estado: Conviertiendo profundo.png ..."));
    QCOMPARE(s.ui.caption("TxtDirectorioDestino"), s.destination.path() + "/");
    QVERIFY(s.ui.enabled("BtnConvertir"));
  }

  void eightPicturesShowHalvesRoundedToEven() {
    Session s;
    QStringList queued;
    for (int i = 0; i < 8; ++i) queued << s.source(QStringLiteral("f%1.png").arg(i), QSize(10, 10));
    s.queue(queued);
    CaptionLog log(s.ui, s.dialogs);
    s.convert();
    QCOMPARE(log.of("FrameEstado"),
             (QStringList{"Estado", "Estado (12%)", "Estado (25%)", "Estado (38%)", "Estado (50%)", "Estado (62%)",
                          "Estado (75%)", "Estado (88%)", "Estado (100%)", "Estado"}));
  }

  // Many more pictures than the workers hold at once, applied in order.
  void longQueueRunsToTheEnd() {
    Session s;
    QStringList queued;
    for (int i = 0; i < 400; ++i) queued << s.source(QStringLiteral("f%1.png").arg(i, 3, 10, QLatin1Char('0')), QSize(8, 8));
    s.queue(queued);
    CaptionLog log(s.ui, s.dialogs);
    s.convert();
    QCOMPARE(s.dialogs.texts(), QStringList{Success});
    QCOMPARE(allEntries(s.destination.path()).size(), 400);
    QCOMPARE(log.of("LblEstado").constLast(), QString("Estado: Conviertiendo f399.png ..."));
  }

  // A picture that cannot be read is told about and skipped; during the
  // run only the list and the About button take input, and a drop joins
  // the queue without being converted.
  void unreadablePictureIsToldAndTheRunGoesOn() {
    Session s;
    const QString gone = s.source("borrada.png");
    const QString kept = s.source("queda.png");
    const QString late = s.source("tarde.png");
    s.queue({gone, kept});
    QVERIFY(QFile::remove(gone));
    QStringList disabled, enabled;
    s.dialogs.onMessage = [&](const ScriptedDialogs::Message& m) {
      if (m.title != "Atención") return;
      for (const char* name : {"BtnAdd", "BtnBorrar", "BtnConvertir", "BtnDirectorioDestino", "CmbTamaño",
                               "CmbCalidad", "TxtDirectorioDestino", "LstImagenes", "BtnAbout"})
        (s.ui.enabled(name) ? enabled : disabled) << name;
      // Dropped while the run lets the window work, after this picture.
      QTimer::singleShot(0, &s.window, [&] { s.queue({late}); });
    };
    CaptionLog log(s.ui, s.dialogs);
    s.convert();

    QCOMPARE(s.dialogs.messages.size(), 2);
    QCOMPARE(s.dialogs.messages[0].text, notRescaled(gone));
    QCOMPARE(s.dialogs.messages[0].style, 48);
    QCOMPARE(s.dialogs.messages[1].text,
             QString("El proceso ha finalizado, pero sólo se han convertido 1 de 2 imágenes."));
    QCOMPARE(s.dialogs.messages[1].style, 48);
    QCOMPARE(enabled, (QStringList{"LstImagenes", "BtnAbout"}));
    QCOMPARE(disabled.size(), 7);
    QCOMPARE(allEntries(s.destination.path()), QStringList{"queda.png"});
    // The late picture counts in the divisor from the next picture on.
    QCOMPARE(log.of("FrameEstado"), (QStringList{"Estado", "Estado (50%)", "Estado (67%)", "Estado"}));
    QVERIFY(s.ui.rows().isEmpty());
  }

  // With the destination the source folder, each picture is replaced by its
  // rescaled copy.
  void sourceFolderAsDestination() {
    Session s;
    const QString a = s.source("foto.png", QSize(200, 100), FIF_PNG, pictures::Kind::Rgba32);
    const QString b = s.source("otra.bmp", QSize(90, 90), FIF_BMP);
    s.queue({a, b});
    s.ui.find<QComboBox>("CmbTamaño")->setCurrentIndex(4);
    s.convertTo(s.sources.path());
    QCOMPARE(s.dialogs.texts(), QStringList{Success});
    QCOMPARE(allEntries(s.sources.path()), (QStringList{"foto.png", "otra.bmp"}));
    for (const QString& p : {a, b}) {
      QCOMPARE(pictures::inspect(p).format, FIF_JPEG);
      QCOMPARE(pictures::inspect(p).size, QSize(160, 120));
    }
  }

  // Of two pictures of one name, the later one's output stays.
  void laterPictureOfOneNameWins() {
    Session s;
    const QString first = s.source("uno/foto.png", QSize(200, 100), FIF_PNG, pictures::Kind::Rgba32);
    const QString second = s.source("dos/foto.png", QSize(50, 80));
    s.queue({first, second});
    s.convert();
    QCOMPARE(allEntries(s.destination.path()), QStringList{"foto.png"});
    // The later picture's ramp, not the earlier one's red.
    QVERIFY(qRed(pictures::pixel(s.output("foto.png"), 2, 60)) < 100);
  }

  // A write that fails (here the disk fills up) is told, naming the
  // output, the file that stood there stays whole, and no temporary is left.
  void failedWriteIsToldAndHarmsNothing() {
    Session s;
    const QString picture = s.source("grande.png", QSize(1024, 768));
    QFile old(s.output("grande.png"));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("la foto de antes");
    old.close();
    s.queue({picture});
    s.ui.find<QComboBox>("CmbTamaño")->setCurrentIndex(0);

    {
      DiskFull full;
      s.convert();
    }

    QCOMPARE(s.dialogs.messages.size(), 2);
    QVERIFY2(s.dialogs.messages[0].text.startsWith("No se ha podido guardar la imagen " + s.output("grande.png")),
             qPrintable(s.dialogs.messages[0].text));
    QCOMPARE(s.dialogs.messages[0].title, QString("Atención"));
    QCOMPARE(s.dialogs.messages[1].text,
             QString("El proceso ha finalizado, pero sólo se han convertido 0 de 1 imágenes."));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("la foto de antes"));
    QCOMPARE(allEntries(s.destination.path()), QStringList{"grande.png"});
  }

  // Closing the window mid-run finishes the picture in hand and stops there,
  // without another word.
  void closingStopsTheRun() {
    Session s;
    s.queue({s.source("a.png"), s.source("b.png"), s.source("c.png")});
    s.ui.whenShown("LblEstado", "Estado: Conviertiendo a.png ...", [&] { s.window.close(); });
    s.convert();
    QVERIFY(s.window.unloaded());
    QVERIFY(s.dialogs.messages.isEmpty());
    // What the workers had made of the other pictures is gone with them.
    QCOMPARE(allEntries(s.destination.path()), QStringList{"a.png"});
    QCOMPARE(pictures::runningWorkers(), 0);
  }
};

QTEST_MAIN(ConvertTest)
#include "tst_convert.moc"
