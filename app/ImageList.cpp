#include "app/ImageList.h"

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace {
QStringList localFiles(const QMimeData* data) {
  QStringList paths;
  if (!data || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) paths.append(url.toLocalFile());
  }
  return paths;
}
}  // namespace

ImageList::ImageList(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSortingEnabled(false);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

// An enter event is a move event too.
void ImageList::dragEnterEvent(QDragEnterEvent* event) { dragMoveEvent(event); }

void ImageList::dragMoveEvent(QDragMoveEvent* event) {
  if (localFiles(event->mimeData()).isEmpty()) return event->ignore();
  event->acceptProposedAction();
}

void ImageList::dropEvent(QDropEvent* event) {
  const QStringList paths = localFiles(event->mimeData());
  if (paths.isEmpty()) return event->ignore();
  event->acceptProposedAction();
  emit filesDropped(paths);
}
