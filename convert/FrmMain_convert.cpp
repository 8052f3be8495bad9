// The "Convertir" button: the checks before a run, then a BatchRun that
// the window follows with its captions, progress bar and messages.

#include "app/FrmMain.h"
#include "app/ImageList.h"
#include "app/ProgressBar.h"
#include "convert/BatchRun.h"
#include "convert/OutputFile.h"
#include "convert/RunMath.h"
#include "queue/Paths.h"
#include "shell/Dialogs.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QScopedValueRollback>

namespace {

// Asks before the run replaces what cannot be had back; "" when nothing is
// at stake.
QString overwriteQuestion(const BatchRun::Overwrites& at, const QString& folder) {
  QStringList paragraphs;
  if (const qsizetype n = at.originals.size(); n == 1)
    paragraphs << QStringLiteral("La conversión reemplazará 1 imagen original de la carpeta %1 por su versión "
                                 "reescalada, y el original se perderá.")
                      .arg(folder);
  else if (n > 1)
    paragraphs << QStringLiteral("La conversión reemplazará %1 imágenes originales de la carpeta %2 por sus "
                                 "versiones reescaladas, y los originales se perderán.")
                      .arg(n)
                      .arg(folder);
  if (!at.sharedNames.isEmpty())
    paragraphs << QStringLiteral("%1 imágenes de la lista tienen el mismo nombre de archivo que otra, y de cada "
                                 "nombre sólo quedará la última que se convierta.")
                      .arg(at.sharedNames.size());
  if (paragraphs.isEmpty()) return QString();
  return paragraphs.join(QStringLiteral("\n\n")) + QStringLiteral("\n\n¿Desea continuar?");
}

}  // namespace

void FrmMain::BtnConvertir_Click() {
  const QString title = QStringLiteral("Dimenzo");
  try {
    if (trimSpaces(TxtDirectorioDestino->text()).isEmpty()) {
      dialogs_.MsgBox(this, QStringLiteral("Debe indicar un directorio de destino"), vbExclamation, title);
      return;
    }
    TxtDirectorioDestino->setText(withTrailingSeparator(TxtDirectorioDestino->text()));
    if (LstImagenes->count() == 0) {
      dialogs_.MsgBox(this, QStringLiteral("Debe añadir por lo menos una imagen para convertir"),
                      vbExclamation, title);
      return;
    }
    const QSize size = presetSize(CmbTamaño->currentIndex());
    const int saveFlags = jpegFlagsForQuality(CmbCalidad->currentIndex());
    const QString folder = trimSpaces(TxtDirectorioDestino->text());
    if (const Result<> writable = checkWritableFolder(pathOf(folder)); !writable) {
      dialogs_.MsgBox(this, QStringLiteral("El directorio de destino %1 %2.").arg(folder, writable.reason()),
                      vbExclamation, title);
      return;
    }

    BatchRun run(queue_, {pathOf(folder), size, saveFlags, workers_});
    if (const QString question = overwriteQuestion(run.overwrites(), folder);
        !question.isEmpty() &&
        dialogs_.MsgBox(this, question, vbYesNo | vbQuestion | vbDefaultButton2, title) != vbYes)
      return;

    SetBusy(true);
    const QScopedValueRollback<BatchRun*> running(running_, &run);
    bool destinationFailed = false;
    run.run({
        .notRescaled =
            [&](int, const QByteArray& source, const QString& reason) {
              dialogs_.MsgBox(this, QStringLiteral("No se ha podido reescalar la imagen ") + displayPath(source) +
                                        u'\n' + reason,
                              vbExclamation, QStringLiteral("Atención"));
            },
        .progress =
            [&](int position, float percent) {
              const QString row = LstImagenes->item(position)->text();
              LblEstado->setText(QStringLiteral("Convirtiendo: ") + row);
              Barra->setValue(percent);
              setFrameEstado(QStringLiteral("Estado (%1%)").arg(roundHalfEven(Barra->Value())));
              LblEstado->setText(QStringLiteral("Estado: Conviertiendo ") + row + QStringLiteral(" ..."));
            },
        .notWritten =
            [&](int, const QByteArray& output, const QString& reason) {
              dialogs_.MsgBox(this,
                              QStringLiteral("No se ha podido guardar la imagen ") + displayPath(output) +
                                  (reason.isEmpty() ? QString() : u'\n' + reason),
                              vbExclamation, QStringLiteral("Atención"));
            },
        // The user can mend the folder and press "Convertir" again for the
        // pictures still queued; those before this one are done with.
        .destinationFailed =
            [&](int position, const QString& reason, int written) {
              destinationFailed = true;
              const int queued = queue_.ImageCount();
              for (int i = 0; i < position; ++i) {
                queue_.removeAt(0);
                delete LstImagenes->takeItem(0);
              }
              setFrameEstado(QStringLiteral("Estado"));
              Barra->setValue(0);
              SetBusy(false);
              dialogs_.MsgBox(this,
                              QStringLiteral("No se puede escribir en el directorio de destino %1\n%2\n"
                                             "Se han convertido %3 de %4 imágenes; las demás siguen en la lista.")
                                  .arg(folder, reason)
                                  .arg(written)
                                  .arg(queued),
                              vbExclamation, title);
            },
        .finished =
            [&](int written, int total) {
              setFrameEstado(QStringLiteral("Estado"));
              SetBusy(false);
              if (written == total)
                dialogs_.MsgBox(this, QStringLiteral("El proceso ha finalizado con éxito!"), vbInformation, title);
              else
                dialogs_.MsgBox(this,
                                QStringLiteral("El proceso ha finalizado, pero sólo se han convertido %1 de %2 "
                                               "imágenes.")
                                    .arg(written)
                                    .arg(total),
                                vbExclamation, title);
            },
    });
    // Closed mid-run: the picture in hand is finished and nothing more is said.
    if (unloaded_ || destinationFailed) return;
    Form_Load();
  } catch (const std::exception& error) {
    SetBusy(false);
    dialogs_.MsgBox(this, QStringLiteral("Ha ocurrido un error en el proceso:\n") + describeError(error),
                    vbCritical, QStringLiteral("Dimenzo Error"));
    Form_Load();
  }
}
