// The About window.

#include "app/FrmAbout.h"
#include "app/FrmMain.h"
#include "support/Pictures.h"
#include "support/ScriptedDialogs.h"
#include "support/WindowDriver.h"

#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// Runs `inside` once the About window is up, then closes it with `close`.
void whileAboutIsOpen(std::function<void(FrmAbout*)> inside, std::function<void(FrmAbout*)> close) {
  QTimer::singleShot(0, [=] {
    auto* about = qobject_cast<FrmAbout*>(QApplication::activeModalWidget());
    QVERIFY(about);
    inside(about);
    close(about);
  });
}

QString frameCaption(FrmAbout* about) {
  return about->findChild<QGroupBox*>(QStringLiteral("Frame1"))->title();
}

}  // namespace

class AboutTest : public QObject {
  Q_OBJECT

 private slots:
  // Each opening builds the version text anew; Enter, the close box and
  // "Aceptar" all close the window.
  void opensAndClosesEveryWay() {
    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;
    QStringList captions;
    auto note = [&](FrmAbout* about) {
      captions << frameCaption(about);
      auto* web = about->findChild<QLabel*>("Label6");
      QVERIFY2(web->width() >= web->sizeHint().width(), "the web address fits");
    };
    whileAboutIsOpen(note, [](FrmAbout* about) { QTest::keyClick(about, Qt::Key_Return); });
    ui.click("BtnAbout");
    whileAboutIsOpen(note, [](FrmAbout* about) { about->close(); });
    ui.click("BtnAbout");
    whileAboutIsOpen(note, [](FrmAbout* about) {
      QTest::mouseClick(about->findChild<QPushButton*>("BtnAceptar"), Qt::LeftButton);
    });
    ui.click("BtnAbout");
    QCOMPARE(captions, QStringList(3, "Acerca de Dimenzo versión 1.0.11"));
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(dialogs.messages.isEmpty());
  }

  // During a run the About window holds the run where it lets the window
  // work; the run goes on once it closes.
  void holdsARunWhileOpen() {
    ShownWindow shown;
    auto& [dialogs, window, ui] = shown;
    QTemporaryDir sources, destination;
    QStringList queued;
    for (const char* name : {"a.png", "b.png", "c.png"}) {
      queued << QDir(sources.path()).filePath(name);
      QVERIFY(pictures::make(queued.last(), QSize(20, 20)));
    }
    ui.drop(queued);
    ui.chooseDestination(destination.path());
    QStringList writtenWhileOpen;
    ui.whenShown("LblEstado", "Estado: Conviertiendo a.png ...", [&] {
      whileAboutIsOpen([&](FrmAbout*) { writtenWhileOpen = QDir(destination.path()).entryList(QDir::Files); },
                       [](FrmAbout* about) { about->close(); });
      ui.click("BtnAbout");
    });
    ui.click("BtnConvertir");
    QCOMPARE(writtenWhileOpen, QStringList{"a.png"});
    QCOMPARE(dialogs.texts(), QStringList{"El proceso ha finalizado con éxito!"});
    QCOMPARE(QDir(destination.path()).entryList(QDir::Files).size(), 3);
  }
};

QTEST_MAIN(AboutTest)
#include "tst_about.moc"
