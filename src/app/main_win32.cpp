// The Windows program: one window on the native Win32 backend.
#include "app/main_form.h"
#include "forms/win32/win32_backend.h"

int main() {
  forms::Application->Initialize();
  forms::win32::UseWin32();
  forms::Application->SetIcon(app::TfrmMain::LogoPicture());
  forms::Application->CreateForm(app::frmMain);
  forms::Application->Run();
  // The window goes before the process, so nothing of it runs while the
  // runtime shuts down.
  forms::Application->DestroyForms();
  return 0;
}
