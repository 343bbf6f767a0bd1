// A main window on the headless backend, with its port list from a source
// the test chooses. Every form is destroyed after each test.
#pragma once

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "app/main_form.h"
#include "forms/headless.h"

namespace app {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    forms::Application->Initialize();
    headless_ = &forms::UseHeadless();
  }
  void TearDown() override {
    forms::Application->DestroyForms();
    TfrmMain::SetPortSource(DefaultPortSource());
    forms::Application->SetApi(platform::DefaultOsApi());
  }

  TfrmMain &Create(PortSource source) {
    TfrmMain::SetPortSource(std::move(source));
    forms::Application->CreateForm(frmMain);
    return *frmMain;
  }

  const std::vector<forms::TMessageBoxRecord> &Boxes() const { return headless_->MessageBoxes(); }

  forms::THeadlessBackend *headless_ = nullptr;
};

}  // namespace app
