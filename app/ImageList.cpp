#include "app/ImageList.h"

#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace {
// A file manager sends each name's bytes percent-encoded; decoded here they
// are the name itself, also where it is not text.
QList<QByteArray> localFiles(const QMimeData* data) {
  QList<QByteArray> paths;
  if (!data || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) paths.append(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
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
  const QList<QByteArray> paths = localFiles(event->mimeData());
  if (paths.isEmpty()) return event->ignore();
  event->acceptProposedAction();
  emit filesDropped(paths);
}
