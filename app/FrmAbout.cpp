#include "app/FrmAbout.h"

#include "app/FrmMain.h"
#include "app/Layout.h"
#include "Version.h"

#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

namespace {

QLabel* wrapped(QLabel* l) {
  l->setWordWrap(true);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return l;
}

void paintBlue(QLabel* l) {
  QPalette palette = l->palette();
  palette.setColor(QPalette::WindowText, QColor(0, 0, 255));
  l->setPalette(palette);
}

}  // namespace

FrmAbout::FrmAbout(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  setObjectName(QStringLiteral("FrmAbout"));
  setWindowTitle(QStringLiteral("Dimenzo by Talvera S.C."));
  setWindowIcon(programIcon());
  if (parent) setFont(parent->font());
  setFixedSize(476, 306);

  auto* Image1 = new QLabel(this);
  Image1->setObjectName(QStringLiteral("Image1"));
  Image1->setGeometry(twips(75, 150, 720, 720));
  Image1->setPixmap(QPixmap(QStringLiteral(":/icons/dimenzo-48.png")));

  Frame1 = new QGroupBox(QStringLiteral("Acerca de Dimenzo"), this);
  Frame1->setObjectName(QStringLiteral("Frame1"));
  Frame1->setGeometry(twips(885, 90, 6105, 3930));

  wrapped(label(Frame1, "Label1",
        QStringLiteral("Dimenzo es un programa de reescalado de imágenes para web. Facilita la "
                       "conversión de practicamente todos los formatos de imagen al tamaño adecuado "
                       "para su web, sin usar un editor de imágenes complejo."),
        twips(300, 420, 5610, 690)));
  wrapped(label(Frame1, "Label2",
        QStringLiteral("Éste programa usa la librería open source FreeImage, visite "
                       "freeimage.sourceforge.io"
                       "  para más información sobre dicha libería. FreeImage es usada bajo la "
                       "licencia FIPL (FreeImage Public Licence) en su versión 1.0. Podrá encontrar "
                       "una cópia junto a éste programa."),
        twips(300, 1230, 5610, 870)));
  wrapped(label(Frame1, "Label3",
        QStringLiteral("Dimenzo es un programa gratuito. Sus preguntas y sugerencias serán bien "
                       "recibidas en la dirección siguiente:"),
        twips(300, 2235, 5610, 690)));
  QLabel* Label4 = wrapped(label(Frame1, "Label4", QStringLiteral("contacto@talvera.example"),
                         twips(300, 2940, 5640, 225)));
  Label4->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  paintBlue(Label4);
  QLabel* Label5 = wrapped(label(Frame1, "Label5", QStringLiteral("Visite el sítio oficial de Talvera S.C. en: "),
                         twips(300, 3360, 2865, 255)));
  QLabel* Label6 = wrapped(label(Frame1, "Label6", QStringLiteral("www.talvera.example"),
                         twips(3120, 3360, 1335, 255)));
  // The address follows the sentence's closing blank and gets the width it
  // needs, which is more than the space drawn for it.
  const int after = Label5->x() + Label5->fontMetrics().horizontalAdvance(Label5->text());
  Label6->setGeometry(std::max(Label6->x(), after), Label6->y(),
                      std::max(Label6->width(), Label6->sizeHint().width()), Label6->height());
  paintBlue(Label6);

  BtnAceptar = new QPushButton(QStringLiteral("&Aceptar"), this);
  BtnAceptar->setObjectName(QStringLiteral("BtnAceptar"));
  BtnAceptar->setGeometry(twips(5625, 4080, 1365, 450));
  BtnAceptar->setAccessibleName(QStringLiteral("Aceptar"));
  BtnAceptar->setDefault(true);
  BtnAceptar->setAutoDefault(true);
  BtnAceptar->setFocus();
  connect(BtnAceptar, &QPushButton::clicked, this, &QDialog::accept);

  Form_Load();
}

QString FrmAbout::versionText() {
  return QStringLiteral("Acerca de Dimenzo versión %1.%2.%3")
      .arg(version::Major)
      .arg(version::Minor)
      .arg(version::Revision);
}

void FrmAbout::Form_Load() {
  Frame1->setTitle(versionText());
  Frame1->setAccessibleName(Frame1->title());
}
