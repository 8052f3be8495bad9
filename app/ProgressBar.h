#pragma once

#include <QProgressBar>

// A progress bar whose Min, Max and Value are floating values, as the run
// computes them; Value reads back exactly what was set.
class ProgressBar : public QProgressBar {
  Q_OBJECT
 public:
  explicit ProgressBar(QWidget* parent = nullptr);

  float Value() const { return value_; }
  void setMin(float min);
  void setMax(float max);
  void setValue(float value);

 private:
  void redraw();

  float min_ = 0;
  float max_ = 100;
  float value_ = 0;
};
