// The small runtime the engine and the window share: the object and component
// bases, the plain notify event, the base exception and integer conversions.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject &) = delete;
  TObject &operator=(const TObject &) = delete;
  virtual ~TObject() = default;
};

// An event slot: empty until assigned, called only when set.
using TNotifyEvent = std::function<void(TObject *Sender)>;

// A component has an owner and a name. An owner destroys the components it
// owns, last created first, when it is destroyed.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent *AOwner);
  ~TComponent() override;

  TComponent *Owner() const { return owner_; }
  const std::string &Name() const { return name_; }
  void SetName(const std::string &name) { name_ = name; }
  // True while the component is edited in a designer rather than running.
  bool Designing() const { return designing_; }
  void SetDesigning(bool designing) { designing_ = designing; }

 private:
  void Insert(TComponent *child);
  void Remove(TComponent *child);

  TComponent *owner_;
  std::string name_;
  bool designing_ = false;
  std::vector<TComponent *> components_;
};

// The runtime's base exception: carries a message text.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string &message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// A failed conversion, such as text that is not an integer.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// Decimal (or "$"-prefixed hexadecimal) text to a signed 32-bit integer;
// leading and trailing blanks are not allowed. Throws EConvertError with
// "'<text>' is not a valid integer value".
std::int32_t StrToInt(const std::string &text);
std::string IntToStr(std::int64_t value);

// Exceptions must never unwind through the platform's message dispatch. Window
// procedures of our own hidden windows catch everything and call
// HandleEscapedException() from inside the catch block; it hands the current
// exception to the handler the application installed (which shows it and
// goes on), or drops it when none is installed.
using EscapedExceptionHandler = std::function<void(std::exception_ptr)>;
void SetEscapedExceptionHandler(EscapedExceptionHandler handler);
void HandleEscapedException();

}  // namespace platform
