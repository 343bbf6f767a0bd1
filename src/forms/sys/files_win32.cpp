#include <windows.h>

#include <string>

#include "forms/sys/files.h"

namespace forms::sys {

void LocalTime(std::time_t t, std::tm &out) { localtime_s(&out, &t); }

namespace {

std::string ErrorText(DWORD error) {
  char *text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
  std::string s = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!s.empty() &&
         (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '.')) {
    s.pop_back();
  }
  if (s.empty()) s = "Error " + std::to_string(error);
  return s;
}

class Win32ReplacingFile : public ReplacingFile {
 public:
  Win32ReplacingFile(std::string target, std::string temp, HANDLE file)
      : target_(std::move(target)), temp_(std::move(temp)), file_(file) {}
  ~Win32ReplacingFile() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    if (!committed_) DeleteFileA(temp_.c_str());
  }

  bool Write(const char *data, std::size_t size) override {
    while (size > 0) {
      const DWORD part = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file_, data, part, &written, nullptr)) return Fail();
      data += written;
      size -= written;
    }
    return true;
  }

  bool Commit() override {
    HANDLE file = file_;
    file_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(file)) return Fail();
    if (!MoveFileExA(temp_.c_str(), target_.c_str(), MOVEFILE_REPLACE_EXISTING)) return Fail();
    committed_ = true;
    return true;
  }

  const std::string &Reason() const override { return reason_; }

 private:
  bool Fail() {
    reason_ = ErrorText(GetLastError());
    return false;
  }

  std::string target_, temp_;
  HANDLE file_;
  bool committed_ = false;
  std::string reason_;
};

}  // namespace

std::unique_ptr<ReplacingFile> CreateReplacingFile(const std::string &path, std::string &reason) {
  const std::size_t slash = path.find_last_of("\\/");
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  for (int attempt = 0;; ++attempt) {
    std::string temp = dir;
    temp += "~" + name + ".saving-";
    temp += std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      return std::make_unique<Win32ReplacingFile>(path, temp, file);
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS || attempt >= 100) {
      reason = ErrorText(error);
      return nullptr;
    }
  }
}

}  // namespace forms::sys
