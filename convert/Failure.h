#pragma once

// How the program says that something could not be done: a value that
// carries the reason, for one picture or one step on its way; an exception
// only for what ends a handler, where the window's error trap reports it.

#include <QString>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

// Why something could not be done, in Spanish, ready to be shown; for a
// failed file operation also the system's errno.
struct Failure {
  QString reason;
  int error = 0;
};

// A value, or the reason why there is none. Result<> is a step that gives
// nothing back but may fail.
template <class T = std::monostate>
class [[nodiscard]] Result {
 public:
  Result() requires std::is_same_v<T, std::monostate> = default;
  Result(T value) : state_(std::move(value)) {}
  Result(Failure failure) : state_(std::move(failure)) {}

  explicit operator bool() const { return std::holds_alternative<T>(state_); }
  T& operator*() { return std::get<T>(state_); }
  T* operator->() { return &std::get<T>(state_); }
  // Empty when the step worked.
  QString reason() const {
    const Failure* failure = std::get_if<Failure>(&state_);
    return failure ? failure->reason : QString();
  }
  int error() const {
    const Failure* failure = std::get_if<Failure>(&state_);
    return failure ? failure->error : 0;
  }

 private:
  std::variant<T, Failure> state_;
};

// The system's reason for a failed file operation, in Spanish where the
// user is likely to meet it; anything rarer as the system says it.
inline QString systemErrorText(int error) {
  switch (error) {
    case ENOSPC: return QStringLiteral("No queda espacio en el disco.");
    case EDQUOT: return QStringLiteral("Se ha superado la cuota de disco.");
    case EACCES:
    case EPERM: return QStringLiteral("Permiso denegado.");
    case EROFS: return QStringLiteral("El sistema de archivos es de solo lectura.");
    case ENOENT: return QStringLiteral("No existe el archivo o el directorio.");
    case ENOTDIR: return QStringLiteral("No es un directorio.");
    case EISDIR: return QStringLiteral("Es un directorio.");
    case ENAMETOOLONG: return QStringLiteral("El nombre es demasiado largo.");
    case EIO: return QStringLiteral("Error de entrada/salida.");
    case EFBIG: return QStringLiteral("El archivo es demasiado grande.");
    case EMFILE:
    case ENFILE: return QStringLiteral("Hay demasiados archivos abiertos.");
    default: return QString::fromLocal8Bit(std::strerror(error));
  }
}

// An error that ends a handler: it carries its description in Spanish,
// ready for the message box.
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
