#include <windows.h>

#include <vector>

#include "app/system_text.h"

namespace app {

std::string SystemText(const std::string &utf8) {
  if (utf8.empty()) return utf8;
  const int size = static_cast<int>(utf8.size());
  const int wide = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (wide <= 0) return utf8;
  std::vector<wchar_t> w(static_cast<std::size_t>(wide));
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, w.data(), wide);
  const int narrow = WideCharToMultiByte(CP_ACP, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  if (narrow <= 0) return utf8;
  std::string out(static_cast<std::size_t>(narrow), '\0');
  WideCharToMultiByte(CP_ACP, 0, w.data(), wide, out.data(), narrow, nullptr, nullptr);
  return out;
}

}  // namespace app
