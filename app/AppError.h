#pragma once

#include <QString>

#include <stdexcept>

// An error a handler reports to the user: it carries its description in
// Spanish, ready for the message box.
class AppError : public std::runtime_error {
 public:
  explicit AppError(const QString& description)
      : std::runtime_error(description.toStdString()), description_(description) {}
  const QString& description() const noexcept { return description_; }

 private:
  QString description_;
};

// The Spanish description of any error that reaches a handler.
inline QString describeError(const std::exception& e) {
  if (auto* own = dynamic_cast<const AppError*>(&e)) return own->description();
  if (dynamic_cast<const std::bad_alloc*>(&e)) return QStringLiteral("No hay memoria suficiente.");
  return QStringLiteral("Error inesperado: %1").arg(QString::fromLocal8Bit(e.what()));
}
