#include "platform/rtl.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <utility>

namespace platform {

TComponent::TComponent(TComponent *AOwner) : owner_(AOwner) {
  if (owner_ != nullptr) owner_->Insert(this);
}

TComponent::~TComponent() {
  // Owned components go first, the last created first.
  while (!components_.empty()) {
    TComponent *child = components_.back();
    components_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_ != nullptr) owner_->Remove(this);
}

void TComponent::Insert(TComponent *child) { components_.push_back(child); }

void TComponent::Remove(TComponent *child) {
  components_.erase(std::remove(components_.begin(), components_.end(), child), components_.end());
}

std::int32_t StrToInt(const std::string &text) {
  auto fail = [&]() -> std::int32_t {
    throw EConvertError("'" + text + "' is not a valid integer value");
  };
  std::size_t i = 0;
  const std::size_t n = text.size();
  bool negative = false;
  if (i < n && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < n && text[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= n) return fail();
  std::int64_t value = 0;
  const std::int64_t limit = hex ? 0xFFFFFFFFLL : (negative ? 2147483648LL : 2147483647LL);
  for (; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (hex && std::isxdigit(c)) {
      digit = std::tolower(c) - 'a' + 10;
    } else {
      return fail();
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > limit) return fail();
  }
  if (hex) {
    // Hexadecimal text is read as a 32-bit pattern, as the runtime does.
    auto bits = static_cast<std::uint32_t>(value);
    std::int32_t result = static_cast<std::int32_t>(bits);
    return negative ? -result : result;
  }
  return static_cast<std::int32_t>(negative ? -value : value);
}

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

namespace {
EscapedExceptionHandler &EscapedHandler() {
  static EscapedExceptionHandler handler;
  return handler;
}
}  // namespace

void SetEscapedExceptionHandler(EscapedExceptionHandler handler) {
  EscapedHandler() = std::move(handler);
}

void HandleEscapedException() {
  const std::exception_ptr error = std::current_exception();
  if (!error) return;
  if (EscapedHandler()) {
    try {
      EscapedHandler()(error);
    } catch (...) {
      // The handler itself must not take the dispatch down.
    }
  }
}

}  // namespace platform
