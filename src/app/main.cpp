// The program: one window on the Qt backend.
#include "app/main_form.h"
#include "forms/qt/qt_backend.h"

int main(int argc, char **argv) {
  forms::Application->Initialize();
  forms::qt::UseQt(argc, argv);
  forms::Application->SetIcon(app::TfrmMain::LogoPicture());
  forms::Application->CreateForm(app::frmMain);
  forms::Application->Run();
  // The window goes before the process: it ends its auto-send thread and
  // closes its port, whatever state the close left them in.
  forms::Application->DestroyForms();
  return 0;
}
