// The "Convertir" run: every queued picture rescaled to the chosen size and
// written as JPEG into the destination folder, in queue order.

#include "app/AppError.h"
#include "app/FrmMain.h"
#include "app/ImageList.h"
#include "app/ProgressBar.h"
#include "convert/ConvertPicture.h"
#include "convert/RunMath.h"
#include "convert/WorkerPool.h"
#include "queue/Paths.h"
#include "shell/Dialogs.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>

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
    if (const QString why = checkWritableFolder(folder); !why.isEmpty()) {
      dialogs_.MsgBox(this, QStringLiteral("El directorio de destino %1 %2.").arg(folder, why),
                      vbExclamation, title);
      return;
    }

    SetBusy(true);
    // Pictures dropped during the run join the queue but wait for the next run.
    const int last = queue_.ImageCount() - 1;
    auto requestFor = [&](int i) {
      if (i >= queue_.ImageCount() || i >= LstImagenes->count())
        throw AppError(QStringLiteral("La posición %1 está fuera de la lista.").arg(i));
      return ConvertRequest{queue_.ImagePaths().at(i), folder + LstImagenes->item(i)->text(), QString(),
                            size, saveFlags};
    };
    // The workers read ahead of the window; the window takes their results
    // strictly in queue order.
    WorkerPool workers;
    int written = 0;
    for (int i = 0; i <= last; ++i) {
      std::optional<ConvertResult> next = workers.nextInOrder(i, last, requestFor, [this] { return unloaded_; });
      if (!next) return;
      ConvertResult result = std::move(*next);
      const QString path = queue_.ImagePaths().at(i);
      const QString row = LstImagenes->item(i)->text();
      const QString output = folder + row;

      if (result.outcome == ConvertResult::Outcome::NotRescaled)
        dialogs_.MsgBox(this, QStringLiteral("No se ha podido reescalar la imagen ") + path,
                        vbExclamation, QStringLiteral("Atención"));

      LblEstado->setText(QStringLiteral("Convirtiendo: ") + row);
      Barra->setValue(progressPercent(i, queue_.ImageCount()));
      setFrameEstado(QStringLiteral("Estado (%1%)").arg(roundHalfEven(Barra->Value())));
      LblEstado->setText(QStringLiteral("Estado: Conviertiendo ") + row + QStringLiteral(" ..."));

      if (result.outcome == ConvertResult::Outcome::Written) {
        if (commitOutput(result.tempPath, output, &result.reason))
          ++written;
        else
          result.outcome = ConvertResult::Outcome::NotWritten;
      }
      if (result.outcome == ConvertResult::Outcome::NotWritten)
        dialogs_.MsgBox(this,
                        QStringLiteral("No se ha podido guardar la imagen ") + output +
                            (result.reason.isEmpty() ? QString() : u'\n' + result.reason),
                        vbExclamation, QStringLiteral("Atención"));

      QCoreApplication::processEvents();
      // The window was closed: the picture in hand is finished, say nothing
      // more; the workers stop and take their unfinished files with them.
      if (unloaded_) return;
    }

    setFrameEstado(QStringLiteral("Estado"));
    SetBusy(false);
    const int total = last + 1;
    if (written == total)
      dialogs_.MsgBox(this, QStringLiteral("El proceso ha finalizado con éxito!"), vbInformation, title);
    else
      dialogs_.MsgBox(this,
                      QStringLiteral("El proceso ha finalizado, pero sólo se han convertido %1 de %2 "
                                     "imágenes.")
                          .arg(written)
                          .arg(total),
                      vbExclamation, title);
    Form_Load();
  } catch (const std::exception& error) {
    SetBusy(false);
    dialogs_.MsgBox(this, QStringLiteral("Ha ocurrido un error en el proceso:\n") + describeError(error),
                    vbCritical, QStringLiteral("Dimenzo Error"));
    Form_Load();
  }
}
