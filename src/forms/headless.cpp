#include "forms/headless.h"

namespace forms {

std::unique_ptr<TControlPeer> THeadlessBackend::CreatePeer(TControl &control) {
  (void)control;
  return nullptr;
}

int THeadlessBackend::MessageBox(TForm *owner, const std::string &text, const std::string &caption,
                                 unsigned flags) {
  boxes_.push_back(TMessageBoxRecord{text, caption, flags, owner});
  return Answer ? Answer(boxes_.back()) : IDOK;
}

THeadlessBackend &UseHeadless() {
  auto backend = std::make_unique<THeadlessBackend>();
  THeadlessBackend &ref = *backend;
  Application->SetBackend(std::move(backend));
  return ref;
}

}  // namespace forms
