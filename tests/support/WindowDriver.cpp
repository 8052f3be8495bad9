#include "support/WindowDriver.h"

#include "support/ScriptedDialogs.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QTimer>
#include <QUrl>

WindowDriver::WindowDriver(FrmMain& window, ScriptedDialogs& dialogs)
    : window_(window), dialogs_(dialogs) {}

void WindowDriver::click(const QString& button) {
  auto* b = find<QAbstractButton>(button);
  QVERIFY2(b, qPrintable(button));
  QTest::mouseClick(b, Qt::LeftButton);
}

QString WindowDriver::caption(const QString& control) const {
  QWidget* w = find(control);
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
  return QString();
}

bool WindowDriver::enabled(const QString& control) const {
  QWidget* w = find(control);
  return w && w->isEnabled();
}

QStringList WindowDriver::rows() const {
  QStringList texts;
  auto* list = find<QListWidget>(QStringLiteral("LstImagenes"));
  for (int i = 0; i < list->count(); ++i) texts.append(list->item(i)->text());
  return texts;
}

void WindowDriver::selectRow(int row) {
  auto* list = find<QListWidget>(QStringLiteral("LstImagenes"));
  const QRect rect = list->visualItemRect(list->item(row));
  QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

void WindowDriver::drop(const QStringList& paths) {
  auto* list = find<QListWidget>(QStringLiteral("LstImagenes"));
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& p : paths) urls.append(QUrl::fromLocalFile(p));
  data.setUrls(urls);
  const QPoint at = list->viewport()->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list->viewport(), &enter);
  if (!enter.isAccepted()) return;
  QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(list->viewport(), &dropped);
}

void WindowDriver::chooseDestination(const QString& folder) {
  dialogs_.folderAnswers.append(folder);
  click(QStringLiteral("BtnDirectorioDestino"));
}

void WindowDriver::pickMenuEntry(const QString& action) {
  click(QStringLiteral("BtnAdd"));
  QMenu* menu = window_.findChild<QMenu*>(QStringLiteral("mnAñadir"));
  QVERIFY(menu);
  QVERIFY(menu->isVisible());
  QAction* entry = menu->findChild<QAction*>(action);
  QVERIFY2(entry, qPrintable(action));
  menu->setActiveAction(entry);
  QTest::keyClick(menu, Qt::Key_Return);
  QCoreApplication::processEvents();  // the entry's handler runs once the menu has closed
}

void WindowDriver::whenShown(const QString& control, const QString& caption, std::function<void()> action) {
  // Looked at each time the window gets to process its events; the action
  // is posted, so it runs within that same round, as a click would.
  auto watch = std::make_shared<QMetaObject::Connection>();
  *watch = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake, &window_,
                            [this, watch, control, caption, action] {
                              if (this->caption(control) != caption) return;
                              QObject::disconnect(*watch);
                              QMetaObject::invokeMethod(&window_, action, Qt::QueuedConnection);
                            });
}

void WindowDriver::addFile(const QString& path) {
  dialogs_.openAnswers.append(path);
  pickMenuEntry(QStringLiteral("mnArchivo"));
}

void WindowDriver::addFolder(const QString& folder) {
  dialogs_.folderAnswers.append(folder);
  pickMenuEntry(QStringLiteral("mnDirectorio"));
}

CaptionLog::CaptionLog(WindowDriver& ui, ScriptedDialogs& dialogs) : ui_(ui), dialogs_(dialogs) {
  sample();
  wakeups_ = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                              [this] { sample(); });
  dialogs_.beforeMessage = [this] { sample(); };
}

CaptionLog::~CaptionLog() {
  QObject::disconnect(wakeups_);
  dialogs_.beforeMessage = nullptr;
}

void CaptionLog::sample() {
  auto keep = [](QStringList& seen, const QString& now) {
    if (seen.isEmpty() || seen.constLast() != now) seen.append(now);
  };
  keep(frame_, ui_.caption(QStringLiteral("FrameEstado")));
  keep(label_, ui_.caption(QStringLiteral("LblEstado")));
}

QStringList CaptionLog::of(const QString& control) const {
  return control == QStringLiteral("FrameEstado") ? frame_ : label_;
}
