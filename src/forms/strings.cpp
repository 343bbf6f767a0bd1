#include "forms/strings.h"

#include <stdexcept>

namespace forms {

int TStrings::Add(const std::string &s) {
  const int index = Count();
  Insert(index, s);
  return index;
}

int TStrings::IndexOf(const std::string &s) const {
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    if (Get(i) == s) return i;
  }
  return -1;
}

std::string TStrings::Text() const {
  std::string out;
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    out += Get(i);
    out += sLineBreak;
  }
  return out;
}

void TStrings::SetText(const std::string &text) {
  Clear();
  for (const std::string &line : SplitLines(text)) Add(line);
}

void TStrings::Assign(std::initializer_list<std::string> items) {
  Assign(std::vector<std::string>(items));
}

void TStrings::Assign(const std::vector<std::string> &items) {
  Clear();
  for (const std::string &s : items) Add(s);
}

std::vector<std::string> TStrings::ToVector() const {
  std::vector<std::string> out;
  const int n = Count();
  out.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) out.push_back(Get(i));
  return out;
}

std::vector<std::string> TStrings::SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (c == '\r' && i + 1 < n && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < n) lines.push_back(text.substr(start));
  return lines;
}

// ---- TStringList ------------------------------------------------------------

std::string TStringList::Get(int index) const {
  if (index < 0 || index >= Count()) throw std::out_of_range("List index out of bounds");
  return items_[static_cast<std::size_t>(index)];
}

void TStringList::Insert(int index, const std::string &s) {
  if (index < 0 || index > Count()) throw std::out_of_range("List index out of bounds");
  items_.insert(items_.begin() + index, s);
  Changed();
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) throw std::out_of_range("List index out of bounds");
  items_.erase(items_.begin() + index);
  Changed();
}

void TStringList::Clear() {
  if (items_.empty()) return;
  items_.clear();
  Changed();
}

void TStringList::SetText(const std::string &text) {
  items_ = SplitLines(text);
  Changed();
}

void TStringList::Changed() {
  if (OnChanged) OnChanged();
}

}  // namespace forms
