#pragma once

#include "convert/WorkerPool.h"
#include "queue/mod_code.h"
#include "shell/SHBrowseForFolder.h"

#include <QWidget>

#include <memory>

class BatchRun;
class Dialogs;
class FrmMenu;
class ImageList;
class ProgressBar;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QIcon;

// The program's icon at 16, 32 and 48 pixels, for every window.
QIcon programIcon();

// The program's window: the queue on the left; size, quality, destination,
// status and the two actions on the right. Its handlers are spread over the
// subsystems they belong to (queue/, convert/, shell/); this file holds the
// layout, start-up, the busy state and shutdown.
class FrmMain : public QWidget {
  Q_OBJECT
 public:
  // `workers` says how runs start their conversion workers.
  explicit FrmMain(Dialogs& dialogs, WorkerPool::Options workers = {}, QWidget* parent = nullptr);
  ~FrmMain() override;

  // False when the load handler failed at start-up; the program must end.
  bool started() const { return started_; }
  // True once the window has been closed; long work stops when it sees it.
  bool unloaded() const { return unloaded_; }

  const mod_code::ImageQueue& queue() const { return queue_; }
  FrmMenu* menuWindow() const { return frmMenu_.get(); }

  // The queue's operations.
  void AddImage(const QByteArray& File, bool SkipTypeCheck);
  void BtnBorrar_Click();
  void BtnAdd_Click();
  void LstImagenes_OLEDragDrop(const QList<QByteArray>& Files);

  void BtnConvertir_Click();
  void BtnDirectorioDestino_Click();
  void BtnAbout_Click();

  // Runs a handler so that an error it raises is reported to the user and
  // does not end the program; whatever the handler did before stays done.
  template <class Handler>
  void guarded(Handler&& handler) noexcept;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void buildControls();
  // The load handler: empties the queue and restores the default
  // selections. Also the reset after every run.
  bool Form_Load();
  void Form_Unload();
  void SetBusy(bool busy);
  // The status frame's caption, also told to screen readers, which do not
  // hear of a frame's new caption by themselves.
  void setFrameEstado(const QString& caption);
  void reportHandlerError(const std::exception& error) noexcept;

  Dialogs& dialogs_;
  mod_code::ImageQueue queue_;
  WorkerPool::Options workers_;
  FolderPicker picker_;
  std::unique_ptr<FrmMenu> frmMenu_;
  bool started_ = false;
  bool unloaded_ = false;
  BatchRun* running_ = nullptr;  // the run in progress, if any

  QWidget* Shape1 = nullptr;
  QLabel* Image1 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QWidget* Line1 = nullptr;
  QGroupBox* Frame1 = nullptr;
  ImageList* LstImagenes = nullptr;
  QPushButton* BtnAdd = nullptr;
  QPushButton* BtnBorrar = nullptr;
  QGroupBox* Frame2 = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* CmbTamaño = nullptr;
  QLabel* Label2 = nullptr;
  QComboBox* CmbCalidad = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* TxtDirectorioDestino = nullptr;
  QPushButton* BtnDirectorioDestino = nullptr;
  QGroupBox* FrameEstado = nullptr;
  QLabel* LblEstado = nullptr;
  ProgressBar* Barra = nullptr;
  QPushButton* BtnAbout = nullptr;
  QPushButton* BtnConvertir = nullptr;
};

template <class Handler>
void FrmMain::guarded(Handler&& handler) noexcept {
  try {
    handler();
  } catch (const std::exception& error) {
    reportHandlerError(error);
  }
}
