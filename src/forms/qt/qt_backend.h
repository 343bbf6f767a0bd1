// The Qt 6 Widgets backend (Linux): each control becomes a QWidget at its exact
// position; user actions on the widgets come back as the model's events; the
// main loop wakes on the platform's main-thread message queue.
#pragma once

#include <QString>
#include <string>
#include <string_view>
#include <vector>

#include "forms/application.h"

class QEventLoop;
class QFont;
class QSocketNotifier;
class QTimer;
class QWidget;

namespace forms::qt {

// A message box as Qt showed it (read back from the QMessageBox itself).
struct TShownMessageBox {
  std::string Text;
  std::string Title;
  int Icon = 0;  // QMessageBox::Icon
  bool Modal = false;
  QWidget *Parent = nullptr;
  unsigned Flags = 0;
};

class TQtBackend;

// Installs the Qt backend in Application, creating the QApplication if there
// is none yet (argc and argv must outlive it). Setting the environment
// variable TESSAVO_AUTO_CLOSE_BOXES=1 turns on SetAutoCloseBoxes.
TQtBackend &UseQt(int &argc, char **argv);

class TQtBackend : public TBackend {
 public:
  TQtBackend();
  ~TQtBackend() override;

  std::unique_ptr<TControlPeer> CreatePeer(TControl &control) override;
  int MessageBox(TForm *owner, const std::string &text, const std::string &caption,
                 unsigned flags) override;
  void ProcessEvents() override;
  void Run() override;
  void Quit() override;
  bool SaveScreenshot(TForm &form, const std::string &path) override;
  bool ChooseSaveFile(TForm *owner, const std::string &title, std::string &path) override;

  // For tests and unattended runs: every box is still built and shown, then
  // recorded and closed with OK as soon as its modal loop starts.
  void SetAutoCloseBoxes(bool on) { autoClose_ = on; }
  bool AutoCloseBoxes() const { return autoClose_; }
  const std::vector<TShownMessageBox> &ShownBoxes() const { return shown_; }
  void ClearShownBoxes() { shown_.clear(); }

  // The font the layout's "MS Sans Serif" 8-pt text is drawn with.
  static QFont UiFont(const TFont &font);
  // The family chosen for it (a metric-compatible installed sans).
  static QString UiFontFamily();

 private:
  void WatchMessageQueue();
  void PumpMessageQueue();

  bool autoClose_ = false;
  std::vector<TShownMessageBox> shown_;
  QSocketNotifier *notifier_ = nullptr;
  QTimer *pollTimer_ = nullptr;  // only when the queue offers no descriptor
  QEventLoop *loop_ = nullptr;
  bool quit_ = false;
};

// The widget that shows `control` (its form's widgets are created first if
// they do not exist yet). Null when the Qt backend is not in use.
QWidget *WidgetOf(TControl *control);

// Model text (system 8-bit code page, CR LF) to Qt text ('\n') and back.
QString ToQt(std::string_view text);
std::string FromQt(const QString &text);

}  // namespace forms::qt
