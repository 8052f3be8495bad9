#pragma once

#include <QByteArray>
#include <QList>
#include <QListWidget>

// The queue's list: one row per queued picture, in order, and a target for
// files dropped from a file manager.
class ImageList : public QListWidget {
  Q_OBJECT
 public:
  explicit ImageList(QWidget* parent = nullptr);

 signals:
  // The local files of a drop, in the order the drop lists them, as the
  // file system's bytes.
  void filesDropped(const QList<QByteArray>& paths);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};
