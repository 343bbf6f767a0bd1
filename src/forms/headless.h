// The headless backend: no widgets and no display. Message boxes are recorded
// and answered at once, so window tests run in milliseconds.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "forms/application.h"

namespace forms {

struct TMessageBoxRecord {
  std::string Text;
  std::string Caption;
  unsigned Flags = 0;
  TForm *Owner = nullptr;
};

class THeadlessBackend : public TBackend {
 public:
  std::unique_ptr<TControlPeer> CreatePeer(TControl &control) override;
  int MessageBox(TForm *owner, const std::string &text, const std::string &caption,
                 unsigned flags) override;
  void ProcessEvents() override {}

  const std::vector<TMessageBoxRecord> &MessageBoxes() const { return boxes_; }
  void ClearMessageBoxes() { boxes_.clear(); }

  // Answers each box; unset, every box answers IDOK.
  std::function<int(const TMessageBoxRecord &)> Answer;

  // Answers the save dialog: the path picked, or false for Cancel.
  bool ChooseSaveFile(TForm *owner, const std::string &title, std::string &path) override {
    (void)owner;
    (void)title;
    return SaveFileAnswer && SaveFileAnswer(path);
  }
  std::function<bool(std::string &)> SaveFileAnswer;

 private:
  std::vector<TMessageBoxRecord> boxes_;
};

// Installs a fresh headless backend in Application and returns it.
THeadlessBackend &UseHeadless();

}  // namespace forms
