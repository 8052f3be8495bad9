#pragma once

// The windows are designed in twips; at 96 dpi a pixel is 15 of them. Qt's
// high-DPI scaling takes the pixels from there.

#include <QLabel>
#include <QRect>

inline QRect twips(int left, int top, int width, int height) {
  auto px = [](int t) { return (t >= 0 ? t + 7 : t - 7) / 15; };
  return QRect(px(left), px(top), px(width), px(height));
}

template <class W>
W* place(W* widget, const char* name, const QRect& geometry) {
  widget->setObjectName(QString::fromUtf8(name));
  widget->setGeometry(geometry);
  return widget;
}

// A label that screen readers announce by its text.
inline QLabel* label(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
  auto* l = place(new QLabel(text, parent), name, geometry);
  l->setAccessibleName(text);
  return l;
}
