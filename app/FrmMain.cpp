#include "app/FrmMain.h"

#include "app/FrmAbout.h"
#include "app/ImageList.h"
#include "app/Layout.h"
#include "app/ProgressBar.h"
#include "convert/BatchRun.h"
#include "convert/Failure.h"
#include "queue/FrmMenu.h"
#include "shell/Dialogs.h"

#include <QAccessible>
#include <QComboBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <cstdlib>

namespace {

QPushButton* button(QWidget* parent, const char* name, const QString& text,
                    const QRect& geometry, const QString& accessibleName) {
  auto* b = place(new QPushButton(text, parent), name, geometry);
  b->setAccessibleName(accessibleName);
  return b;
}

}  // namespace

QIcon programIcon() {
  Q_INIT_RESOURCE(resources);
  QIcon icon;
  for (int size : {16, 32, 48}) icon.addFile(QStringLiteral(":/icons/dimenzo-%1.png").arg(size));
  return icon;
}

FrmMain::FrmMain(Dialogs& dialogs, WorkerPool::Options workers, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      dialogs_(dialogs),
      workers_(std::move(workers)),
      picker_(dialogs) {
  setObjectName(QStringLiteral("FrmMain"));
  setWindowTitle(QStringLiteral("Dimenzo by Talvera S.C."));
  setWindowIcon(programIcon());
  // The controls were sized for a narrow 8-point sans serif at 96 dpi; a
  // font of the same metrics keeps every caption inside its control.
  QFont designFont(QStringLiteral("Liberation Sans"));
  designFont.setStyleHint(QFont::SansSerif);
  designFont.setPixelSize(11);
  setFont(designFont);
  setFixedSize(494, 361);

  buildControls();
  started_ = Form_Load();

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
  }
}

FrmMain::~FrmMain() = default;

void FrmMain::buildControls() {
  Shape1 = place(new QWidget(this), "Shape1", twips(-30, -15, 7560, 990));
  Shape1->setBackgroundRole(QPalette::Base);
  Shape1->setAutoFillBackground(true);

  Image1 = place(new QLabel(this), "Image1", twips(135, 90, 720, 720));
  Image1->setPixmap(QPixmap(QStringLiteral(":/icons/dimenzo-48.png")));
  Image1->setAlignment(Qt::AlignCenter);

  Label4 = label(this, "Label4", QStringLiteral("Bienvenido a Dimenzo"), twips(1350, 165, 1905, 255));
  QFont bold = font();
  bold.setBold(true);
  Label4->setFont(bold);
  Label5 = label(this, "Label5",
                 QStringLiteral("Éste programa le ayudará a reescalar las imágenes para su web."),
                 twips(1575, 450, 5100, 225));

  Line1 = place(new QWidget(this), "Line1", QRect(-1, 930 / 15, 502, 1));
  Line1->setStyleSheet(QStringLiteral("background-color: rgb(192, 192, 192);"));

  Frame1 = place(new QGroupBox(QStringLiteral("Imagenes"), this), "Frame1", twips(135, 1140, 3000, 4155));
  LstImagenes = place(new ImageList(Frame1), "LstImagenes", twips(165, 300, 2625, 3180));
  LstImagenes->setAccessibleName(QStringLiteral("Imagenes"));
  BtnAdd = button(Frame1, "BtnAdd", QStringLiteral("&Añadir"), twips(150, 3570, 1530, 420),
                  QStringLiteral("Añadir"));
  BtnBorrar = button(Frame1, "BtnBorrar", QStringLiteral("&Borrar"), twips(1890, 3570, 900, 420),
                     QStringLiteral("Borrar"));

  Frame2 = place(new QGroupBox(QStringLiteral("Opciones"), this), "Frame2", twips(3210, 1140, 4035, 4155));
  Label1 = label(Frame2, "Label1", QStringLiteral("Tamaño:"), twips(240, 465, 690, 270));
  CmbTamaño = place(new QComboBox(Frame2), "CmbTamaño", twips(1050, 435, 1365, 315));
  CmbTamaño->addItems({QStringLiteral("1024x768"), QStringLiteral("800x600"),
                       QStringLiteral("640x480"), QStringLiteral("320x240"),
                       QStringLiteral("160x120")});
  CmbTamaño->setAccessibleName(QStringLiteral("Tamaño"));
  Label1->setBuddy(CmbTamaño);

  Label2 = label(Frame2, "Label2", QStringLiteral("Calidad:"), twips(240, 855, 690, 270));
  CmbCalidad = place(new QComboBox(Frame2), "CmbCalidad", twips(1050, 825, 1365, 315));
  CmbCalidad->addItems({QStringLiteral("Buena"), QStringLiteral("Normal"), QStringLiteral("Baja")});
  CmbCalidad->setAccessibleName(QStringLiteral("Calidad"));
  Label2->setBuddy(CmbCalidad);

  Label3 = label(Frame2, "Label3", QStringLiteral("Directorio de destino:"), twips(240, 1380, 1590, 210));
  TxtDirectorioDestino = place(new QLineEdit(Frame2), "TxtDirectorioDestino", twips(240, 1650, 3285, 285));
  TxtDirectorioDestino->setReadOnly(true);
  TxtDirectorioDestino->setAccessibleName(QStringLiteral("Directorio de destino"));
  Label3->setBuddy(TxtDirectorioDestino);
  BtnDirectorioDestino = button(Frame2, "BtnDirectorioDestino", QStringLiteral("..."),
                                twips(3585, 1605, 360, 345), QStringLiteral("..."));
  BtnDirectorioDestino->setToolTip(QStringLiteral("Elegir el directorio de destino"));

  FrameEstado = place(new QGroupBox(QStringLiteral("Estado"), Frame2), "FrameEstado", twips(240, 2145, 3690, 1110));
  LblEstado = label(FrameEstado, "LblEstado", QStringLiteral("Estado:"), twips(165, 315, 3285, 225));
  Barra = place(new ProgressBar(FrameEstado), "Barra", twips(165, 630, 3330, 330));
  Barra->setAccessibleName(QStringLiteral("Estado"));

  // Too long for one line at this width; the button is tall enough for two.
  BtnAbout = button(Frame2, "BtnAbout", QStringLiteral("Acerca de\nDimenzo"), twips(225, 3405, 1365, 510),
                    QStringLiteral("Acerca de Dimenzo"));
  BtnConvertir = button(Frame2, "BtnConvertir", QStringLiteral("&Convertir"), twips(2310, 3405, 1605, 510),
                        QStringLiteral("Convertir"));
  BtnConvertir->setDefault(true);

  for (QGroupBox* frame : {Frame1, Frame2, FrameEstado}) frame->setAccessibleName(frame->title());

  // Labels, frames and the bar never take the focus; the rest in design order.
  QWidget* order[] = {LstImagenes, BtnAdd, BtnBorrar, CmbTamaño, CmbCalidad,
                      TxtDirectorioDestino, BtnDirectorioDestino, BtnAbout, BtnConvertir};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  LstImagenes->setFocus();

  connect(BtnAdd, &QPushButton::clicked, this, [this] { guarded([this] { BtnAdd_Click(); }); });
  connect(BtnBorrar, &QPushButton::clicked, this, [this] { guarded([this] { BtnBorrar_Click(); }); });
  connect(BtnConvertir, &QPushButton::clicked, this, [this] { guarded([this] { BtnConvertir_Click(); }); });
  connect(BtnDirectorioDestino, &QPushButton::clicked, this,
          [this] { guarded([this] { BtnDirectorioDestino_Click(); }); });
  connect(BtnAbout, &QPushButton::clicked, this, [this] { guarded([this] { BtnAbout_Click(); }); });
  connect(LstImagenes, &ImageList::filesDropped, this,
          [this](const QList<QByteArray>& files) { guarded([&] { LstImagenes_OLEDragDrop(files); }); });
}

bool FrmMain::Form_Load() {
  try {
    queue_.clear();
    CmbTamaño->setCurrentIndex(2);
    CmbCalidad->setCurrentIndex(1);
    Barra->setMin(0);
    Barra->setMax(100);
    Barra->setValue(0);
    LstImagenes->clear();
    return true;
  } catch (const std::exception& error) {
    dialogs_.MsgBox(isVisible() ? this : nullptr,
                    QStringLiteral("Ha ocurrido un error mientras se iniciaba el programa.\n%1\n"
                                   "Si el problema persiste, consulte con el proveedor del programa")
                        .arg(describeError(error)),
                    vbCritical, QStringLiteral("Dimenzo Error"));
    if (isVisible()) std::exit(EXIT_FAILURE);
    return false;
  }
}

void FrmMain::SetBusy(bool busy) {
  for (QWidget* w : std::initializer_list<QWidget*>{BtnAdd, BtnBorrar, BtnConvertir, BtnDirectorioDestino,
                                                    CmbTamaño, CmbCalidad, TxtDirectorioDestino})
    w->setEnabled(!busy);
}

void FrmMain::setFrameEstado(const QString& caption) {
  FrameEstado->setTitle(caption);
  FrameEstado->setAccessibleName(caption);
  QAccessibleEvent changed(FrameEstado, QAccessible::NameChanged);
  QAccessible::updateAccessibility(&changed);
}

void FrmMain::closeEvent(QCloseEvent* event) {
  Form_Unload();
  event->accept();
}

void FrmMain::Form_Unload() {
  unloaded_ = true;
  if (running_) running_->stop();
  // A scan may still be unwinding inside the menu window, so it is closed
  // here and destroyed with the main window.
  if (frmMenu_) frmMenu_->Unload();
}

void FrmMain::keyPressEvent(QKeyEvent* event) {
  // Enter presses the focused button, or else the default one.
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    if (auto* focused = qobject_cast<QPushButton*>(focusWidget())) {
      focused->click();
    } else if (BtnConvertir->isEnabled()) {
      BtnConvertir->click();
    }
    return event->accept();
  }
  QWidget::keyPressEvent(event);
}

void FrmMain::reportHandlerError(const std::exception& error) noexcept {
  try {
    dialogs_.MsgBox(this, describeError(error), vbCritical, QStringLiteral("Dimenzo Error"));
  } catch (...) {
    // Nothing more can be told; the program keeps going.
  }
}

void FrmMain::BtnAbout_Click() {
  FrmAbout about(this);
  about.exec();
}
