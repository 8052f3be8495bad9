// The main window as the user finds it, and the queue it keeps.

#include "app/FrmMain.h"
#include "app/ProgressBar.h"
#include "app/Translations.h"
#include "support/Pictures.h"
#include "support/ScriptedDialogs.h"
#include "support/WindowDriver.h"

#include <QAccessible>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QTranslator>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class WindowTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir;
  QString picture;  // a small real picture

  QString path(const QString& name) const { return dir.filePath(name); }

 private slots:
  void initTestCase() {
    picture = path("playa.jpg");
    QVERIFY(pictures::make(picture, QSize(40, 30), FIF_JPEG));
  }

  void startsEmptyWithTheDefaults() {
    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;
    QVERIFY(window.started());
    QVERIFY(ui.rows().isEmpty());
    QCOMPARE(window.queue().ImageCount(), 0);
    const QStringList shownCaptions{ui.caption("CmbTamaño"), ui.caption("CmbCalidad"), ui.caption("TxtDirectorioDestino"),
                                    ui.caption("LblEstado"), ui.caption("FrameEstado")};
    QCOMPARE(shownCaptions, (QStringList{"640x480", "Normal", "", "Estado:", "Estado"}));
    QCOMPARE(ui.find<ProgressBar>("Barra")->Value(), 0.0f);
    for (const char* name : {"BtnAdd", "BtnBorrar", "BtnConvertir", "BtnDirectorioDestino",
                             "CmbTamaño", "CmbCalidad", "TxtDirectorioDestino", "LstImagenes", "BtnAbout"})
      QVERIFY2(ui.enabled(name), name);
    QVERIFY(dialogs.messages.isEmpty());
  }

  // A screen reader finds every control by its caption or by its label's.
  void everyControlHasAnAccessibleName() {
    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;
    const QList<QPair<const char*, const char*>> expected{
        {"LstImagenes", "Imagenes"},       {"BtnAdd", "Añadir"},
        {"BtnBorrar", "Borrar"},           {"CmbTamaño", "Tamaño"},
        {"CmbCalidad", "Calidad"},         {"TxtDirectorioDestino", "Directorio de destino"},
        {"BtnDirectorioDestino", "..."},   {"BtnAbout", "Acerca de Dimenzo"},
        {"BtnConvertir", "Convertir"},     {"Barra", "Estado"},
        {"LblEstado", "Estado:"}};
    for (const auto& [control, name] : expected) {
      QWidget* widget = ui.find(control);
      QVERIFY2(widget, control);
      QCOMPARE(widget->accessibleName(), QString::fromUtf8(name));
      QAccessibleInterface* a = QAccessible::queryAccessibleInterface(widget);
      // On this desktop a drop-down list tells its current entry as its
      // name and is named through the label that points at it.
      if (!qobject_cast<QComboBox*>(widget)) QCOMPARE(a->text(QAccessible::Name), QString::fromUtf8(name));
    }
    for (const auto& [combo, label] : {QPair{"CmbTamaño", "Label1"}, QPair{"CmbCalidad", "Label2"}}) {
      QAccessibleInterface* a = QAccessible::queryAccessibleInterface(ui.find(combo));
      bool labelled = false;
      for (const auto& relation : a->relations(QAccessible::Label))
        labelled |= relation.first->object() == ui.find(label);
      QVERIFY2(labelled, combo);
    }
    QCOMPARE(ui.find<QLabel>("Label3")->buddy(), ui.find("TxtDirectorioDestino"));

    // Tab walks the controls in design order.
    QStringList order;
    QWidget* w = ui.find("LstImagenes");
    for (int i = 0; i < 9; ++i, w = w->nextInFocusChain()) {
      while (!(w->focusPolicy() & Qt::TabFocus)) w = w->nextInFocusChain();
      order << w->objectName();
    }
    QCOMPARE(order, (QStringList{"LstImagenes", "BtnAdd", "BtnBorrar", "CmbTamaño", "CmbCalidad",
                                  "TxtDirectorioDestino", "BtnDirectorioDestino", "BtnAbout", "BtnConvertir"}));
  }

  void onlyPicturesJoinTheQueue() {
    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;

    const QString text = path("notas.txt");
    QFile notes(text);
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("no soy una imagen");
    notes.close();
    const QString fifo = path("tubería");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString folder = path("carpeta");
    QVERIFY(QDir().mkpath(folder));
    const QString accented = path("montaña ñandú.png");
    QVERIFY(pictures::make(accented, QSize(20, 20)));
    const QString link = path("enlace.jpg");
    QVERIFY(QFile::link(picture, link));

    for (const QString& refused : {text, fifo, folder, path("no-existe.jpg")}) {
      window.AddImage(refused, true);  // a folder scan says nothing
      QVERIFY(dialogs.messages.isEmpty());
      window.AddImage(refused, false);
      QCOMPARE(dialogs.messages.size(), 1);
      QCOMPARE(dialogs.messages[0].text,
               "El archivo " + refused + " no es una imagen o no tiene un formato adecuado");
      QCOMPARE(dialogs.messages[0].title, QString("Formato desconocido"));
      QCOMPARE(dialogs.messages[0].style, 48);
      dialogs.messages.clear();
    }
    QVERIFY(ui.rows().isEmpty());

    window.AddImage(picture, false);
    window.AddImage(accented, false);
    window.AddImage(picture, false);
    window.AddImage(link, false);
    QCOMPARE(ui.rows(), (QStringList{"playa.jpg", "montaña ñandú.png", "playa.jpg", "enlace.jpg"}));
    QCOMPARE(window.queue().ImagePaths(), (QStringList{picture, accented, picture, link}));
    QVERIFY(dialogs.messages.isEmpty());
  }

  void borrarRemovesTheSelectedRowOnly() {
    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;
    const QString a = path("a.png"), b = path("b.png"), c = path("c.png");
    for (const QString& p : {a, b, c}) QVERIFY(pictures::make(p, QSize(8, 8)));
    for (const QString& p : {a, b, c}) window.AddImage(p, false);

    ui.click("BtnBorrar");  // nothing selected: nothing happens
    QCOMPARE(ui.rows().size(), 3);

    ui.selectRow(0);
    ui.click("BtnBorrar");
    QCOMPARE(ui.rows(), (QStringList{"b.png", "c.png"}));
    QCOMPARE(window.queue().ImagePaths(), (QStringList{b, c}));
    ui.click("BtnBorrar");  // the removed row's selection does not carry over
    QCOMPARE(ui.rows().size(), 2);

    ui.selectRow(1);
    ui.click("BtnBorrar");
    ui.selectRow(0);
    ui.click("BtnBorrar");
    QVERIFY(ui.rows().isEmpty());
    QCOMPARE(window.queue().ImageCount(), 0);
    QVERIFY(dialogs.messages.isEmpty());
  }

  // The queue holds at most 32767 pictures; one more is refused with a
  // message and nothing already queued is lost.
  void aFullQueueRefusesMore() {
    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;
    for (int i = 0; i < 32767; ++i) window.AddImage(picture, true);
    QCOMPARE(window.queue().ImageCount(), 32767);

    ui.drop({picture});
    QCOMPARE(dialogs.messages.size(), 1);
    QCOMPARE(dialogs.messages[0].title, QString("Dimenzo Error"));
    QCOMPARE(dialogs.messages[0].style, 16);
    QVERIFY(dialogs.messages[0].text.contains("32767"));
    QCOMPARE(window.queue().ImageCount(), 32767);
    QCOMPARE(ui.find<QListWidget>("LstImagenes")->count(), 32767);
  }

  void standardButtonsSpeakSpanish() {
    QTranslator translator;
    QVERIFY(installQtSpanish(translator));
    QMessageBox box(QMessageBox::Warning, "Dimenzo", "texto", QMessageBox::Ok | QMessageBox::Cancel);
    QCOMPARE(box.button(QMessageBox::Ok)->text(), QString("Aceptar"));
    QCOMPARE(box.button(QMessageBox::Cancel)->text(), QString("Cancelar"));
    QCoreApplication::removeTranslator(&translator);
  }

  void enterStartsTheRunFromTheList() {
    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;
    ui.find("LstImagenes")->setFocus();
    QTest::keyClick(ui.find("LstImagenes"), Qt::Key_Return);
    QCOMPARE(dialogs.texts(), QStringList{"Debe indicar un directorio de destino"});
    QVERIFY(ui.find<QPushButton>("BtnConvertir")->isDefault());
  }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
