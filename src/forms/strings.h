// String lists: the items of a drop-down list and the lines of a multi-line
// text box share one interface, as the window's handlers read both the same way.
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace forms {

// The line break of the model's text: CR LF, as the 8-bit text of the window
// holds it on every platform.
inline constexpr const char *sLineBreak = "\r\n";

class TStrings {
 public:
  TStrings() = default;
  TStrings(const TStrings &) = delete;
  TStrings &operator=(const TStrings &) = delete;
  virtual ~TStrings() = default;

  virtual int Count() const = 0;
  virtual std::string Get(int index) const = 0;  // throws std::out_of_range
  virtual void Insert(int index, const std::string &s) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;

  std::string operator[](int index) const { return Get(index); }
  // Adds a line (an item) at the end; returns its index.
  virtual int Add(const std::string &s);
  int IndexOf(const std::string &s) const;
  // Every line followed by CR LF.
  virtual std::string Text() const;
  // Splits at CR LF, lone CR and lone LF; a final line break ends the last
  // line rather than starting an empty one.
  virtual void SetText(const std::string &text);
  void Assign(std::initializer_list<std::string> items);
  void Assign(const std::vector<std::string> &items);
  std::vector<std::string> ToVector() const;

  static std::vector<std::string> SplitLines(const std::string &text);
};

// A plain list of strings; `OnChanged` (internal: the owning control listens)
// runs after every change.
class TStringList : public TStrings {
 public:
  int Count() const override { return static_cast<int>(items_.size()); }
  std::string Get(int index) const override;
  void Insert(int index, const std::string &s) override;
  void Delete(int index) override;
  void Clear() override;
  void SetText(const std::string &text) override;

  std::function<void()> OnChanged;

 private:
  void Changed();
  std::vector<std::string> items_;
};

}  // namespace forms
