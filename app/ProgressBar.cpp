#include "app/ProgressBar.h"

#include <algorithm>

namespace {
// Steps of the underlying integer bar: fine enough that a long queue still
// moves the bar for every picture.
constexpr int Steps = 100000;
}

ProgressBar::ProgressBar(QWidget* parent) : QProgressBar(parent) {
  QProgressBar::setRange(0, Steps);
  setTextVisible(false);
  redraw();
}

void ProgressBar::setMin(float min) { min_ = min; redraw(); }
void ProgressBar::setMax(float max) { max_ = max; redraw(); }
void ProgressBar::setValue(float value) { value_ = value; redraw(); }

void ProgressBar::redraw() {
  const float span = max_ - min_;
  const float fraction = span > 0 ? std::clamp((value_ - min_) / span, 0.0f, 1.0f) : 0.0f;
  QProgressBar::setValue(int(fraction * Steps + 0.5f));
}
