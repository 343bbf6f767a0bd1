#include "forms/qt/qt_backend.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QImage>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QStringDecoder>
#include <QStyle>
#include <QTextCursor>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdlib>
#include <functional>

#include "forms/qt/log_view.h"
#include "platform/posix/posix_api.h"

namespace forms::qt {

// ---- text -----------------------------------------------------------------------

QString ToQt(std::string_view text) {
  QString s = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
  if (s.contains(QLatin1Char('\r'))) {
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  }
  return s;
}

std::string FromQt(const QString &text) {
  QString s = text;
  s.replace(QChar(QChar::ParagraphSeparator), QLatin1Char('\n'));
  s.replace(QLatin1String("\n"), QLatin1String("\r\n"));
  return s.toLocal8Bit().toStdString();
}

namespace {

// ---- fonts ----------------------------------------------------------------------

// The layout was drawn with the 8-point "MS Sans Serif" bitmap font at 96 dpi.
// Wine's metric-compatible rendition of it (Debian's fonts-wine, which wine64
// brings) gives the same widths; fontconfig does not index it, so it is
// loaded from its file. Without it, Liberation Sans at 10 pixels is the
// closest installed face: every text is at most 3 pixels narrower than the
// layout expects, so nothing clips.
const char *const kLayoutFontFiles[] = {
    "/usr/share/wine/fonts/ms_sans_serif.ttf",
};

struct ChosenFont {
  QString family;
  int pixelSize;
};

const ChosenFont &LayoutFont() {
  static const ChosenFont chosen = [] {
    for (const char *path : kLayoutFontFiles) {
      if (!QFile::exists(QString::fromLatin1(path))) continue;
      const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(path));
      if (id < 0) continue;
      const QStringList families = QFontDatabase::applicationFontFamilies(id);
      if (!families.isEmpty()) return ChosenFont{families.first(), 11};
    }
    return ChosenFont{QStringLiteral("Liberation Sans"), 10};
  }();
  return chosen;
}

// The platform style with the native layout's check-box metrics: a 13-pixel
// box and a few pixels before the text, so captions laid out for them fit.
class LayoutStyle : public QProxyStyle {
 public:
  int pixelMetric(PixelMetric metric, const QStyleOption *option,
                  const QWidget *widget) const override {
    switch (metric) {
      case PM_IndicatorWidth:
      case PM_IndicatorHeight:
        return 13;
      case PM_CheckBoxLabelSpacing:
        return 4;
      default:
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
  }
};

QStyle *CheckBoxStyle() {
  static LayoutStyle *style = new LayoutStyle();  // lives as long as the widgets
  return style;
}

// ---- keys -----------------------------------------------------------------------

// What a key press types, as the Windows backend's controls are handed it:
// TranslateMessage makes one WM_CHAR per character, WM_SYSCHAR for an Alt
// chord, or nothing. Both backends then give a box the same characters.
struct TypedKey {
  enum Kind { None, SystemChord, Characters };
  Kind kind = None;
  QString chars;
};

TypedKey Translate(const QKeyEvent &key) {
  const Qt::KeyboardModifiers mods = key.modifiers();
  const int k = key.key();
  const QString text = key.text();
  const auto printable = [](const QString &s) {
    if (s.isEmpty()) return false;
    for (QChar c : s) {
      if (c.unicode() < 0x20 || c.unicode() == 0x7F) return false;
    }
    return true;
  };
  if (mods & (Qt::AltModifier | Qt::MetaModifier)) {
    // A character key: an accelerator, or nothing (Qt has tried its
    // shortcuts before the key reaches a widget). Alt+Down and the like
    // stay the widget's own.
    const bool character = printable(text) || (k >= Qt::Key_Space && k <= Qt::Key_AsciiTilde);
    return {character ? TypedKey::SystemChord : TypedKey::None, {}};
  }
  const bool ctrl = (mods & Qt::ControlModifier) != 0;
  switch (k) {
    case Qt::Key_Backspace:
      return {TypedKey::Characters, QString(QChar(ctrl ? 0x7F : 0x08))};
    case Qt::Key_Return:
    case Qt::Key_Enter:
      return {TypedKey::Characters, QString(QChar(ctrl ? 0x0A : 0x0D))};
    case Qt::Key_Escape:
      return {TypedKey::Characters, QString(QChar(0x1B))};
    default:
      break;
  }
  if (ctrl) {
    // A letter or one of [ \ ] ^ _ gives its control character (Ctrl+V is
    // 0x16); other Ctrl keys give none.
    if (k >= Qt::Key_A && k <= Qt::Key_Z) {
      return {TypedKey::Characters, QString(QChar(k - Qt::Key_A + 1))};
    }
    if (k >= Qt::Key_BracketLeft && k <= Qt::Key_Underscore) {
      return {TypedKey::Characters, QString(QChar(k - Qt::Key_BracketLeft + 0x1B))};
    }
    return {};
  }
  // Tab, Delete and the like type nothing (Tab moves the focus).
  if (!printable(text)) return {};
  return {TypedKey::Characters, text};
}

// Eats the Alt chords that no accelerator took, for every widget of a
// window: on Windows they never type, pick or press (Alt+Space would
// press a focused button here).
class SystemChordGuard : public QObject {
 public:
  static SystemChordGuard *Instance() {
    static SystemChordGuard *guard = new SystemChordGuard();  // lives as long as the widgets
    return guard;
  }

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override {
    (void)watched;
    return event->type() == QEvent::KeyPress &&
           Translate(*static_cast<QKeyEvent *>(event)).kind == TypedKey::SystemChord;
  }
};

// ---- peers ----------------------------------------------------------------------

class QtPeer;

QtPeer *PeerOf(const TControl *control);

class QtPeer : public TControlPeer {
 public:
  explicit QtPeer(TControl &control) : control_(control) {}
  ~QtPeer() override {
    if (widget_) {
      widget_->blockSignals(true);
      delete widget_.data();
    }
  }

  QWidget *Widget() const { return widget_.data(); }
  TControl &Control() const { return control_; }

  void Changed(TChange what) override {
    if (!widget_) return;
    switch (what) {
      case TChange::Bounds:
        ApplyBounds();
        break;
      case TChange::Visible:
        widget_->setVisible(control_.Visible());
        break;
      case TChange::Enabled:
        widget_->setEnabled(control_.Enabled());
        break;
      case TChange::TabOrder:
        UpdateTabOrder();
        break;
      default:
        Apply(what);
        break;
    }
  }

  // Pushes the whole model state to a fresh widget.
  virtual void ApplyAll() {
    for (TChange what :
         {TChange::Text, TChange::Items, TChange::ItemIndex, TChange::Checked, TChange::ReadOnly,
          TChange::MaxLength, TChange::Panels, TChange::Picture, TChange::Font, TChange::Other}) {
      Apply(what);
    }
    ApplyBounds();
    widget_->setEnabled(control_.Enabled());
    // Top-level windows are shown by their own Visible change.
    if (control_.Parent() != nullptr) widget_->setVisible(control_.Visible());
  }

 protected:
  virtual void Apply(TChange what) { (void)what; }
  virtual void ApplyBounds() {
    widget_->setGeometry(control_.Left(), control_.Top(), control_.Width(), control_.Height());
  }

  QWidget *ParentWidget() const {
    QtPeer *parent = control_.Parent() != nullptr ? PeerOf(control_.Parent()) : nullptr;
    return parent != nullptr ? parent->Widget() : nullptr;
  }

  void SetWidget(QWidget *widget) {
    widget_ = widget;
    widget_->setObjectName(QString::fromStdString(control_.Name()));
    widget_->installEventFilter(SystemChordGuard::Instance());
  }

  // Runs a user action on the model as the outermost event.
  static void User(const std::function<void()> &action) { Application->UserInput(action); }

  void UpdateTabOrder();

  TControl &control_;
  QPointer<QWidget> widget_;
};

QtPeer *PeerOf(const TControl *control) { return dynamic_cast<QtPeer *>(control->Peer()); }

// Focus moves through the window in the model's tab order: within each
// parent by TabOrder, a container's children right after the container.
void CollectTabChain(const TWinControl &parent, std::vector<QWidget *> &chain) {
  std::vector<const TWinControl *> children;
  for (int i = 0; i < parent.ControlCount(); ++i) {
    if (auto *w = dynamic_cast<const TWinControl *>(parent.Controls(i))) children.push_back(w);
  }
  std::stable_sort(
      children.begin(), children.end(),
      [](const TWinControl *a, const TWinControl *b) { return a->TabOrder() < b->TabOrder(); });
  for (const TWinControl *child : children) {
    QtPeer *peer = PeerOf(child);
    if (peer == nullptr || peer->Widget() == nullptr) continue;
    if (child->TabStop() && peer->Widget()->focusPolicy() != Qt::NoFocus) {
      chain.push_back(peer->Widget());
    }
    CollectTabChain(*child, chain);
  }
}

void QtPeer::UpdateTabOrder() {
  TForm *form = control_.ParentForm();
  if (form == nullptr) return;
  std::vector<QWidget *> chain;
  CollectTabChain(*form, chain);
  for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

// ---- form -----------------------------------------------------------------------

class FormWindow : public QWidget {
 public:
  explicit FormWindow(TForm &form) : QWidget(nullptr), form_(form) {}

 protected:
  // The model decides: OnClose runs, and the form hides itself when it
  // agrees, so the toolkit never closes the window on its own.
  void closeEvent(QCloseEvent *event) override {
    event->ignore();
    TForm *form = &form_;
    Application->UserInput([form] { form->UserClose(); });
  }

  // Enter and Esc that the focused widget left alone (a one-line box does,
  // as a Windows edit leaves them to the dialog manager) press the form's
  // default and cancel buttons.
  void keyPressEvent(QKeyEvent *event) override {
    const int k = event->key();
    const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (plain && (k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape)) {
      TForm *form = &form_;
      const char key = k == Qt::Key_Escape ? 27 : 13;
      bool taken = false;
      Application->UserInput([form, key, &taken] { taken = form->UserDialogKey(key); });
      if (taken) {
        event->accept();
        return;
      }
    }
    QWidget::keyPressEvent(event);
  }

 private:
  TForm &form_;
};

class FormPeer : public QtPeer {
 public:
  explicit FormPeer(TForm &form) : QtPeer(form), form_(form) {
    SetWidget(new FormWindow(form));
    widget_->setAttribute(Qt::WA_DeleteOnClose, false);
  }

  void Changed(TChange what) override {
    if (what == TChange::Visible && widget_) {
      if (form_.Visible()) {
        PlaceOnScreen();
        KeepAboveMainForm();
        widget_->show();
      } else {
        widget_->hide();
      }
      return;
    }
    QtPeer::Changed(what);
  }

 protected:
  void Apply(TChange what) override {
    switch (what) {
      case TChange::Text:
        widget_->setWindowTitle(ToQt(form_.Caption()));
        break;
      case TChange::Font:
        widget_->setFont(TQtBackend::UiFont(form_.Font()));
        break;
      case TChange::Other:
        ApplyFrame();
        break;
      default:
        break;
    }
  }

  void ApplyBounds() override {
    if (Fixed()) {
      widget_->setFixedSize(form_.ClientWidth(), form_.ClientHeight());
    } else {
      widget_->setMinimumSize(0, 0);
      widget_->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
      widget_->resize(form_.ClientWidth(), form_.ClientHeight());
    }
  }

 private:
  // The main form's window, for every other form; null for the main form.
  QWidget *OwnerWidget() const {
    TForm *main = Application->MainForm();
    return main != nullptr && main != &form_ ? WidgetOf(main) : nullptr;
  }

  // Every other form belongs to the main window, as a dialog does: the window
  // manager keeps it above it. A transient parent, not a Qt parent, so the
  // model alone decides when each widget goes.
  void KeepAboveMainForm() {
    QWidget *owner = OwnerWidget();
    if (owner == nullptr) return;
    QWindow *ownerWindow = owner->window()->windowHandle();
    if (ownerWindow == nullptr) return;  // never shown: nothing to stay above
    widget_->winId();                    // the native window must exist before it is shown
    if (widget_->windowHandle() != nullptr)
      widget_->windowHandle()->setTransientParent(ownerWindow);
  }

  bool Fixed() const {
    const TFormBorderStyle s = form_.BorderStyle();
    return s != bsSizeable && s != bsSizeToolWin;
  }

  void ApplyFrame() {
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
    const TBorderIcons icons = form_.BorderIcons();
    if (icons & biSystemMenu) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if ((icons & biMinimize) && (icons & biSystemMenu)) flags |= Qt::WindowMinimizeButtonHint;
    if ((icons & biMaximize) && (icons & biSystemMenu) && !Fixed()) {
      flags |= Qt::WindowMaximizeButtonHint;
    }
    if (widget_->windowFlags() != flags) {
      const bool shown = widget_->isVisible();
      widget_->setWindowFlags(flags);  // hides the window
      if (shown) widget_->show();
    }
    ApplyBounds();
    const TPicture &icon = Application->Icon();
    if (!icon.Empty()) {
      QImage image(reinterpret_cast<const uchar *>(icon.Pixels().data()), icon.Width(),
                   icon.Height(), QImage::Format_ARGB32);
      widget_->setWindowIcon(QIcon(QPixmap::fromImage(image.copy())));
    }
  }

  void PlaceOnScreen() {
    const TPosition pos = form_.Position();
    if (pos == poDesigned) {
      widget_->move(form_.Left(), form_.Top());
      return;
    }
    if (pos != poScreenCenter && pos != poDesktopCenter && pos != poMainFormCenter) return;
    QWidget *owner = pos == poMainFormCenter ? OwnerWidget() : nullptr;
    QRect over;
    if (owner != nullptr && owner->isVisible()) {
      over = owner->window()->geometry();
    } else if (QScreen *screen = QGuiApplication::primaryScreen()) {
      over = screen->availableGeometry();
    } else {
      return;
    }
    widget_->move(over.center() - QPoint(form_.ClientWidth() / 2, form_.ClientHeight() / 2));
  }

  TForm &form_;
};

// ---- containers -----------------------------------------------------------------

class PanelPeer : public QtPeer {
 public:
  explicit PanelPeer(TPanel &panel) : QtPeer(panel), panel_(panel) {
    auto *frame = new QFrame(ParentWidget());
    frame->setFocusPolicy(Qt::NoFocus);
    SetWidget(frame);
  }

 protected:
  void Apply(TChange what) override {
    if (what != TChange::Other) return;
    auto *frame = static_cast<QFrame *>(widget_.data());
    switch (panel_.BevelOuter()) {
      case bvLowered:
        frame->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        break;
      case bvRaised:
        frame->setFrameStyle(QFrame::Panel | QFrame::Raised);
        break;
      default:
        frame->setFrameStyle(QFrame::NoFrame);
        break;
    }
    frame->setLineWidth(1);
  }

 private:
  TPanel &panel_;
};

class GroupBoxPeer : public QtPeer {
 public:
  explicit GroupBoxPeer(TGroupBox &box) : QtPeer(box) {
    auto *group = new QGroupBox(ParentWidget());
    group->setFocusPolicy(Qt::NoFocus);
    SetWidget(group);
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Text) {
      static_cast<QGroupBox *>(widget_.data())->setTitle(ToQt(control_.Caption()));
    }
  }
};

class GenericPeer : public QtPeer {
 public:
  explicit GenericPeer(TControl &control) : QtPeer(control) {
    auto *w = new QWidget(ParentWidget());
    w->setFocusPolicy(Qt::NoFocus);
    SetWidget(w);
  }
};

// ---- label and image --------------------------------------------------------------

class LabelPeer : public QtPeer {
 public:
  explicit LabelPeer(TLabel &label) : QtPeer(label), label_(label) {
    auto *l = new QLabel(ParentWidget());
    l->setTextFormat(Qt::PlainText);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    l->setFocusPolicy(Qt::NoFocus);
    SetWidget(l);
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Text) {
      static_cast<QLabel *>(widget_.data())->setText(ToQt(label_.Caption()));
      ApplyBounds();
    } else if (what == TChange::Font) {
      ApplyBounds();
    }
  }

  // A label that sizes itself is never narrower than its text here, so a
  // font a little wider than the layout's still shows every letter.
  void ApplyBounds() override {
    int width = label_.Width();
    int height = label_.Height();
    if (label_.AutoSize()) {
      const QFontMetrics metrics(widget_->font());
      width = std::max(width, metrics.horizontalAdvance(ToQt(label_.Caption())));
      height = std::max(height, metrics.height());
    }
    widget_->setGeometry(label_.Left(), label_.Top(), width, height);
  }

 private:
  TLabel &label_;
};

class ImagePeer : public QtPeer {
 public:
  explicit ImagePeer(TImage &image) : QtPeer(image), image_(image) {
    auto *l = new QLabel(ParentWidget());
    l->setFocusPolicy(Qt::NoFocus);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetWidget(l);
  }

 protected:
  void Apply(TChange what) override {
    if (what != TChange::Picture) return;
    auto *l = static_cast<QLabel *>(widget_.data());
    const TPicture &p = image_.Picture();
    if (p.Empty()) {
      l->clear();
      return;
    }
    QImage img(reinterpret_cast<const uchar *>(p.Pixels().data()), p.Width(), p.Height(),
               QImage::Format_ARGB32);
    l->setPixmap(QPixmap::fromImage(img.copy()));
  }

 private:
  TImage &image_;
};

// ---- buttons ----------------------------------------------------------------------

class ButtonPeer : public QtPeer {
 public:
  explicit ButtonPeer(TButton &button) : QtPeer(button) {
    auto *b = new QPushButton(ParentWidget());
    b->setAutoDefault(false);
    SetWidget(b);
    TButton *model = &button;
    QObject::connect(b, &QPushButton::clicked, b,
                     [model] { User([model] { model->UserClick(); }); });
  }

 protected:
  void Apply(TChange what) override {
    auto *b = static_cast<QPushButton *>(widget_.data());
    if (what == TChange::Text) {
      b->setText(ToQt(control_.Caption()));
    } else if (what == TChange::Other) {
      b->setDefault(static_cast<TButton &>(control_).Default());
    }
  }
};

class CheckBoxPeer : public QtPeer {
 public:
  explicit CheckBoxPeer(TCheckBox &box) : QtPeer(box), box_(box) {
    auto *c = new QCheckBox(ParentWidget());
    c->setStyle(CheckBoxStyle());
    SetWidget(c);
    TCheckBox *model = &box;
    QPointer<QCheckBox> widget(c);
    // `clicked` comes only from the user (setChecked never emits it).
    QObject::connect(c, &QCheckBox::clicked, c, [model, widget] {
      User([model] { model->UserClick(); });
      // The model has the last word (a handler may have changed it back).
      if (widget && widget->isChecked() != model->Checked()) {
        const QSignalBlocker block(widget);
        widget->setChecked(model->Checked());
      }
    });
  }

 protected:
  void Apply(TChange what) override {
    auto *c = static_cast<QCheckBox *>(widget_.data());
    if (what == TChange::Text) {
      c->setText(ToQt(box_.Caption()));
    } else if (what == TChange::Checked) {
      const QSignalBlocker block(c);
      c->setChecked(box_.Checked());
    }
  }

 private:
  TCheckBox &box_;
};

// ---- drop-down list ---------------------------------------------------------------

// The closed box keeps its place and size; its list opens as wide as its
// longest item, up to the screen's width, as a Windows list told
// CB_SETDROPPEDWIDTH does, so a long port path is never cut there.
class DropDownList : public QComboBox {
 public:
  using QComboBox::QComboBox;

  void showPopup() override {
    QAbstractItemView *list = view();
    const QRect screen = this->screen() != nullptr ? this->screen()->availableGeometry() : QRect();
    int wanted = std::max(width(), ItemsWidth());
    if (screen.isValid()) wanted = std::min(wanted, screen.width());
    list->setMinimumWidth(wanted);
    QComboBox::showPopup();
    // Kept on the screen when it opens wider than the room to its right.
    QWidget *popup = list->window();
    if (screen.isValid() && popup != nullptr && popup->geometry().right() > screen.right()) {
      popup->move(std::max(screen.left(), screen.right() + 1 - popup->width()), popup->y());
    }
  }

 private:
  // The widest item with the room the list draws around its text.
  int ItemsWidth() const {
    QAbstractItemView *list = view();
    const QFontMetrics metrics(list->font());
    int widest = 0;
    for (int i = 0; i < count(); ++i) {
      widest = std::max(widest, metrics.horizontalAdvance(itemText(i)));
    }
    const int textMargin =
        list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
    int width = widest + 2 * textMargin + 2 * list->frameWidth();
    if (count() > maxVisibleItems()) {
      width += list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list);
    }
    return width;
  }
};

class ComboBoxPeer : public QtPeer {
 public:
  explicit ComboBoxPeer(TComboBox &combo) : QtPeer(combo), combo_(combo) {
    auto *c = new DropDownList(ParentWidget());
    c->setEditable(false);
    SetWidget(c);
    TComboBox *model = &combo;
    QPointer<QComboBox> widget(c);
    // `activated` is the user's pick; setCurrentIndex does not raise it.
    QObject::connect(c, &QComboBox::activated, c, [model, widget](int index) {
      User([model, index] { model->UserSelect(index); });
      if (widget && widget->currentIndex() != model->ItemIndex()) {
        const QSignalBlocker block(widget);
        widget->setCurrentIndex(model->ItemIndex());
      }
    });
  }

 protected:
  void Apply(TChange what) override {
    auto *c = static_cast<QComboBox *>(widget_.data());
    const QSignalBlocker block(c);
    if (what == TChange::Items) {
      c->clear();
      const int n = combo_.Items().Count();
      for (int i = 0; i < n; ++i) {
        const QString item = ToQt(combo_.Items().Get(i));
        c->addItem(item);
        // The whole text on hover, however narrow the box.
        c->setItemData(i, item, Qt::ToolTipRole);
      }
      c->setCurrentIndex(combo_.ItemIndex());
      c->setToolTip(c->currentText());
    } else if (what == TChange::ItemIndex) {
      c->setCurrentIndex(combo_.ItemIndex());
      c->setToolTip(c->currentText());
    }
  }

 private:
  TComboBox &combo_;
};

// ---- text boxes -------------------------------------------------------------------

// Every character a box is typed, by key or by an input method, passes the
// model's key filter before the widget sees it, one character at a time.
// A chord's control character that passes does what the widget does with
// the chord (Ctrl+V pastes); one that is discarded does nothing.
class KeyFilter : public QObject {
 public:
  // `insert` puts text at the caret, `erase` deletes back as Backspace
  // does; both for characters that the filter replaced.
  KeyFilter(TCustomEdit &edit, std::function<void(const QString &)> insert,
            std::function<void()> erase, QObject *parent)
      : QObject(parent), edit_(edit), insert_(std::move(insert)), erase_(std::move(erase)) {}

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override {
    (void)watched;
    if (event->type() == QEvent::KeyPress) return OnKey(*static_cast<QKeyEvent *>(event));
    if (event->type() == QEvent::InputMethod) {
      OnInputMethod(*static_cast<QInputMethodEvent *>(event));
    }
    return false;
  }

 private:
  bool OnKey(const QKeyEvent &key) {
    const TypedKey typed = Translate(key);
    if (typed.kind == TypedKey::SystemChord) return true;
    if (typed.kind == TypedKey::None) return false;
    // A one-line box never gets Enter or Esc as a character: on Windows the
    // dialog manager takes them for the default and cancel buttons.
    const bool multiLine = dynamic_cast<TMemo *>(&edit_) != nullptr;
    if (!multiLine && (key.key() == Qt::Key_Return || key.key() == Qt::Key_Enter ||
                       key.key() == Qt::Key_Escape)) {
      return false;
    }
    QString passed;
    if (Filter(typed.chars, passed)) return false;  // the widget handles the key as usual
    // Ctrl+A selects all whatever the filter says: a Windows edit control
    // selects on the key-down, not on the character.
    if (key.matches(QKeySequence::SelectAll)) return false;
    for (QChar c : passed) {
      if (c == QLatin1Char('\b')) {
        erase_();
      } else if (c == QLatin1Char('\r')) {
        if (multiLine) insert_(QStringLiteral("\n"));
      } else if (c.unicode() >= 0x20 && c.unicode() != 0x7F) {
        insert_(QString(c));
      }
    }
    return true;
  }

  // Composed text: what passes is committed instead.
  void OnInputMethod(QInputMethodEvent &ime) {
    QString passed;
    if (ime.commitString().isEmpty() || Filter(ime.commitString(), passed)) return;
    ime.setCommitString(passed, ime.replacementStart(), ime.replacementLength());
  }

  // Runs each character through the filter; true when all passed as they
  // were, otherwise `passed` holds what is left of them.
  bool Filter(const QString &chars, QString &passed) {
    bool same = true;
    for (char32_t cp : chars.toUcs4()) {
      const std::string typed = QString::fromUcs4(&cp, 1).toLocal8Bit().toStdString();
      std::string result;
      if (!edit_.FilterTypedCharacter(typed, result)) {
        same = false;
        continue;
      }
      if (result != typed) same = false;
      passed += QString::fromLocal8Bit(result.data(), static_cast<qsizetype>(result.size()));
    }
    return same;
  }

  TCustomEdit &edit_;
  std::function<void(const QString &)> insert_;
  std::function<void()> erase_;
};

// Byte offset of a widget's caret in the model's text.
std::size_t CaretBytes(const QString &text, int position) {
  return FromQt(text.left(position)).size();
}

class EditPeer : public QtPeer {
 public:
  explicit EditPeer(TEdit &edit) : QtPeer(edit), edit_(edit) {
    auto *e = new QLineEdit(ParentWidget());
    SetWidget(e);
    QPointer<QLineEdit> widget(e);
    e->installEventFilter(new KeyFilter(
        edit,
        [widget](const QString &s) {
          if (widget) widget->insert(s);
        },
        [widget] {
          if (widget) widget->backspace();
        },
        e));
    TEdit *model = &edit;
    // `textEdited` is the user's edit only (setText does not raise it).
    QObject::connect(e, &QLineEdit::textEdited, e, [model, widget](const QString &text) {
      const std::size_t caret = widget ? CaretBytes(text, widget->cursorPosition()) : 0;
      User([model, text, caret] { model->UserEdited(FromQt(text), caret); });
    });
  }

 protected:
  void Apply(TChange what) override {
    auto *e = static_cast<QLineEdit *>(widget_.data());
    const QSignalBlocker block(e);
    switch (what) {
      case TChange::Text:
        if (FromQt(e->text()) != edit_.Text()) e->setText(ToQt(edit_.Text()));
        break;
      case TChange::ReadOnly:
        e->setReadOnly(edit_.ReadOnly());
        break;
      case TChange::MaxLength:
        e->setMaxLength(edit_.MaxLength() > 0 ? edit_.MaxLength() : 32767);
        break;
      default:
        break;
    }
  }

 private:
  TEdit &edit_;
};

// A memo is a QPlainTextEdit while it can be edited (the send box) and a
// LogView while it is read-only (the log): the stock editor re-lays out a
// whole paragraph on every append, which a log that only grows cannot
// afford. A change of ReadOnly swaps the widget.
class MemoPeer : public QtPeer {
 public:
  explicit MemoPeer(TMemo &memo) : QtPeer(memo), memo_(memo) { Build(); }

  LogView *Log() const { return qobject_cast<LogView *>(widget_.data()); }

  void TextAppended(std::string_view added) override {
    if (!widget_) return;
    if (LogView *log = Log()) {
      log->TextAppended();
      return;
    }
    auto *e = static_cast<QPlainTextEdit *>(widget_.data());
    // A character split between two appends stays whole: the decoder keeps
    // the bytes of an unfinished sequence until the rest arrives.
    const QString text =
        Shown(decoder_.decode(QByteArrayView(added.data(), static_cast<qsizetype>(added.size()))));
    if (text.isEmpty()) return;
    pushing_ = true;
    QTextCursor cursor(e->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    pushing_ = false;
  }

  void ScrollToEnd() override {
    if (!widget_) return;
    if (LogView *log = Log()) {
      log->ScrollToEnd();
      return;
    }
    QScrollBar *bar = static_cast<QPlainTextEdit *>(widget_.data())->verticalScrollBar();
    bar->setValue(bar->maximum());
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::ReadOnly && memo_.ReadOnly() != (Log() != nullptr)) {
      Rebuild();
      return;
    }
    if (LogView *log = Log()) {
      ApplyToLog(log, what);
    } else {
      ApplyToEditor(static_cast<QPlainTextEdit *>(widget_.data()), what);
    }
  }

 private:
  void Build() {
    if (memo_.ReadOnly()) {
      SetWidget(new LogView(memo_, ParentWidget()));
    } else {
      BuildEditor();
    }
  }

  void Rebuild() {
    if (widget_) {
      widget_->blockSignals(true);
      delete widget_.data();
    }
    Build();
    ApplyAll();
    UpdateTabOrder();
  }

  void BuildEditor() {
    auto *e = new QPlainTextEdit(ParentWidget());
    e->setTabChangesFocus(true);
    SetWidget(e);
    decoder_ = QStringDecoder(QStringDecoder::System);
    lastWasCr_ = false;
    QPointer<QPlainTextEdit> widget(e);
    e->installEventFilter(new KeyFilter(
        memo_,
        [widget](const QString &s) {
          if (widget) widget->insertPlainText(s);
        },
        [widget] {
          if (widget) widget->textCursor().deletePreviousChar();
        },
        e));
    TMemo *model = &memo_;
    QObject::connect(e, &QPlainTextEdit::textChanged, e, [this, model, widget] {
      if (pushing_ || !widget) return;
      const QString text = widget->toPlainText();
      const std::size_t caret = CaretBytes(text, widget->textCursor().position());
      User([model, text, caret] { model->UserEdited(FromQt(text), caret); });
    });
  }

  void ApplyToLog(LogView *log, TChange what) {
    if (what == TChange::Text) {
      log->TextReset();
    } else if (what == TChange::Stamps) {
      log->StampsChanged();
    } else if (what == TChange::Other) {
      const TScrollStyle s = memo_.ScrollBars();
      log->setVerticalScrollBarPolicy(s == ssVertical || s == ssBoth ? Qt::ScrollBarAlwaysOn
                                                                     : Qt::ScrollBarAlwaysOff);
    }
  }

  void ApplyToEditor(QPlainTextEdit *e, TChange what) {
    switch (what) {
      case TChange::Text: {
        if (!Reflects(e)) {
          decoder_ = QStringDecoder(QStringDecoder::System);
          lastWasCr_ = false;
          pushing_ = true;
          const std::string &text = memo_.Text();
          e->setPlainText(Shown(
              decoder_.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())))));
          e->moveCursor(QTextCursor::End);
          pushing_ = false;
        }
        break;
      }
      case TChange::ReadOnly:
        e->setReadOnly(memo_.ReadOnly());
        break;
      case TChange::Other: {
        const TScrollStyle s = memo_.ScrollBars();
        e->setVerticalScrollBarPolicy(s == ssVertical || s == ssBoth ? Qt::ScrollBarAlwaysOn
                                                                     : Qt::ScrollBarAlwaysOff);
        const bool horizontal = (s == ssHorizontal || s == ssBoth) && !memo_.WordWrap();
        e->setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAlwaysOn
                                                   : Qt::ScrollBarAlwaysOff);
        e->setLineWrapMode(memo_.WordWrap() ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
        break;
      }
      default:
        break;
    }
  }

  // A user edit already in the widget need not be pushed back.
  bool Reflects(QPlainTextEdit *e) const {
    return memo_.TextLength() < 65536 && FromQt(e->toPlainText()) == memo_.Text();
  }

  // Line breaks as the model counts them (CR LF, lone CR, lone LF) become
  // one '\n'.
  QString Shown(const QString &decoded) {
    QString out;
    out.reserve(decoded.size());
    for (QChar c : decoded) {
      if (c == QLatin1Char('\n')) {
        if (!lastWasCr_) out += QLatin1Char('\n');
        lastWasCr_ = false;
        continue;
      }
      lastWasCr_ = c == QLatin1Char('\r');
      out += lastWasCr_ ? QChar(QLatin1Char('\n')) : c;
    }
    return out;
  }

  TMemo &memo_;
  QStringDecoder decoder_{QStringDecoder::System};
  bool lastWasCr_ = false;
  bool pushing_ = false;
};

// ---- status bar -------------------------------------------------------------------

// One label per panel, so each panel's text is exact and readable by
// assistive technology as the label's name.
class StatusBarPeer : public QtPeer {
 public:
  explicit StatusBarPeer(TStatusBar &bar) : QtPeer(bar), bar_(bar) {
    auto *f = new QFrame(ParentWidget());
    f->setFocusPolicy(Qt::NoFocus);
    SetWidget(f);
    clock_.start();
    frame_ = new QTimer(f);
    frame_->setSingleShot(true);
    QObject::connect(frame_, &QTimer::timeout, f, [this] { PaintHeld(); });
  }

  QLabel *PanelLabel(int index) const {
    return index >= 0 && index < static_cast<int>(labels_.size()) ? labels_[index].data() : nullptr;
  }

 protected:
  void Apply(TChange what) override {
    if (what == TChange::Panels) Layout();
  }
  void ApplyBounds() override {
    QtPeer::ApplyBounds();
    Layout();
  }

 private:
  void Layout() {
    const TStatusPanels &panels = bar_.Panels();
    while (static_cast<int>(labels_.size()) > panels.Count()) {
      delete labels_.back().data();
      labels_.pop_back();
      shownTexts_.pop_back();
    }
    while (static_cast<int>(labels_.size()) < panels.Count()) {
      auto *l = new QLabel(widget_);
      l->setTextFormat(Qt::PlainText);
      l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      l->setLineWidth(1);
      l->show();
      labels_.emplace_back(l);
      shownTexts_.emplace_back();
    }
    // A counter's panel changes with every received chunk: only what changed
    // is set, and each label has a fixed size, so a new text repaints its
    // label and lays out nothing.
    const int height = bar_.Height();
    for (int i = 0; i < panels.Count(); ++i) {
      QLabel *l = labels_[static_cast<std::size_t>(i)];
      if (l == nullptr) continue;
      const TStatusPanel &p = panels[i];
      Qt::Alignment h = Qt::AlignLeft;
      if (p.Alignment() == taCenter) h = Qt::AlignHCenter;
      if (p.Alignment() == taRightJustify) h = Qt::AlignRight;
      const Qt::LayoutDirection direction =
          p.BiDiMode() == bdRightToLeft ? Qt::RightToLeft : Qt::LeftToRight;
      if (l->layoutDirection() != direction) l->setLayoutDirection(direction);
      if (l->alignment() != (h | Qt::AlignVCenter)) l->setAlignment(h | Qt::AlignVCenter);
      // A 2-pixel gap between panels, as the native bar draws them.
      const int w = bar_.PanelShownWidth(i);
      const bool last = i == panels.Count() - 1;
      const QRect cell(bar_.PanelLeft(i), 2, std::max(0, last ? w : w - 2),
                       std::max(0, height - 2));
      if (l->geometry() != cell) {
        l->setFixedSize(cell.size());
        l->move(cell.topLeft());
      }
      // Compared as the model holds it: no conversion for panels unchanged.
      std::string &shown = shownTexts_[static_cast<std::size_t>(i)];
      if (shown != p.Text()) {
        shown = p.Text();
        SetText(l, ToQt(shown));
      }
    }
  }

  // The text is there at once (for readers and assistive technology); the
  // label is painted at most once a frame, as the log is: each paint costs
  // a flush to the display.
  void SetText(QLabel *l, const QString &text) {
    const qint64 since = clock_.elapsed() - lastPaintMs_;
    if (since >= kFrameMs && !frame_->isActive()) {
      l->setText(text);
      lastPaintMs_ = clock_.elapsed();
      return;
    }
    if (l->updatesEnabled()) {
      l->setUpdatesEnabled(false);
      held_.emplace_back(l);
    }
    l->setText(text);
    if (!frame_->isActive()) frame_->start(static_cast<int>(std::max<qint64>(0, kFrameMs - since)));
  }
  void PaintHeld() {
    lastPaintMs_ = clock_.elapsed();
    for (const QPointer<QLabel> &l : held_) {
      if (l != nullptr) l->setUpdatesEnabled(true);  // and repaints
    }
    held_.clear();
  }

  static constexpr qint64 kFrameMs = 15;

  TStatusBar &bar_;
  std::vector<QPointer<QLabel>> labels_;
  std::vector<std::string> shownTexts_;  // each label's text as last set
  QElapsedTimer clock_;
  qint64 lastPaintMs_ = -kFrameMs;
  QTimer *frame_ = nullptr;
  std::vector<QPointer<QLabel>> held_;  // text set, painting held to the frame
};

std::unique_ptr<QtPeer> MakePeer(TControl &control) {
  if (auto *c = dynamic_cast<TForm *>(&control)) return std::make_unique<FormPeer>(*c);
  if (auto *c = dynamic_cast<TStatusBar *>(&control)) return std::make_unique<StatusBarPeer>(*c);
  if (auto *c = dynamic_cast<TMemo *>(&control)) return std::make_unique<MemoPeer>(*c);
  if (auto *c = dynamic_cast<TEdit *>(&control)) return std::make_unique<EditPeer>(*c);
  if (auto *c = dynamic_cast<TComboBox *>(&control)) return std::make_unique<ComboBoxPeer>(*c);
  if (auto *c = dynamic_cast<TCheckBox *>(&control)) return std::make_unique<CheckBoxPeer>(*c);
  if (auto *c = dynamic_cast<TButton *>(&control)) return std::make_unique<ButtonPeer>(*c);
  if (auto *c = dynamic_cast<TGroupBox *>(&control)) return std::make_unique<GroupBoxPeer>(*c);
  if (auto *c = dynamic_cast<TPanel *>(&control)) return std::make_unique<PanelPeer>(*c);
  if (auto *c = dynamic_cast<TLabel *>(&control)) return std::make_unique<LabelPeer>(*c);
  if (auto *c = dynamic_cast<TImage *>(&control)) return std::make_unique<ImagePeer>(*c);
  return std::make_unique<GenericPeer>(control);
}

}  // namespace

// ---- backend ----------------------------------------------------------------------

TQtBackend::TQtBackend() {
  if (const char *env = std::getenv("TESSAVO_AUTO_CLOSE_BOXES")) {
    autoClose_ = env[0] != '\0' && env[0] != '0';
  }
  if (auto *app = qobject_cast<QApplication *>(QCoreApplication::instance())) {
    // The model ends the loop when the main form closes, not the toolkit.
    app->setQuitOnLastWindowClosed(false);
  }
  WatchMessageQueue();
}

TQtBackend::~TQtBackend() {
  delete notifier_;
  delete pollTimer_;
}

void TQtBackend::WatchMessageQueue() {
  const DWORD thread = Application->Api().GetCurrentThreadId();
  const int fd = platform::posix::MessageQueueFd(thread);
  if (fd >= 0) {
    notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(notifier_, &QSocketNotifier::activated, notifier_,
                     [this] { PumpMessageQueue(); });
  } else {
    // No descriptor to wait on: look at the queue often instead.
    pollTimer_ = new QTimer();
    pollTimer_->setInterval(5);
    QObject::connect(pollTimer_, &QTimer::timeout, pollTimer_, [this] { PumpMessageQueue(); });
    pollTimer_->start();
  }
}

void TQtBackend::PumpMessageQueue() {
  // A bounded batch: the notifier fires again while messages remain, and
  // painting and input get their turn in between.
  Application->DispatchQueuedMessages(256);
}

std::unique_ptr<TControlPeer> TQtBackend::CreatePeer(TControl &control) {
  std::unique_ptr<QtPeer> peer = MakePeer(control);
  peer->ApplyAll();
  return peer;
}

int TQtBackend::MessageBox(TForm *owner, const std::string &text, const std::string &caption,
                           unsigned flags) {
  QWidget *parent = owner != nullptr ? WidgetOf(owner) : nullptr;
  QMessageBox box(parent);
  box.setWindowTitle(ToQt(caption));
  box.setTextFormat(Qt::PlainText);
  box.setText(ToQt(text));
  if (owner != nullptr) box.setFont(UiFont(owner->Font()));
  switch (flags & 0xF0u) {
    case 0x10u:
      box.setIcon(QMessageBox::Critical);
      break;
    case 0x20u:
      box.setIcon(QMessageBox::Question);
      break;
    case 0x30u:
      box.setIcon(QMessageBox::Warning);
      break;
    case 0x40u:
      box.setIcon(QMessageBox::Information);
      break;
    default:
      box.setIcon(QMessageBox::NoIcon);
      break;
  }
  switch (flags & 0x0Fu) {
    case 1u:
      box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
      break;
    case 3u:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
    case 4u:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
      break;
    default:
      box.setStandardButtons(QMessageBox::Ok);
      break;
  }
  box.setModal(true);
  if (autoClose_) {
    // Record the box as shown, then press its default button from inside
    // its own modal loop.
    QTimer::singleShot(0, &box, [this, &box, flags] {
      shown_.push_back(TShownMessageBox{FromQt(box.text()), FromQt(box.windowTitle()),
                                        static_cast<int>(box.icon()), box.isModal(),
                                        box.parentWidget(), flags});
      QAbstractButton *button = box.button(QMessageBox::Ok);
      if (button == nullptr) button = box.button(QMessageBox::Yes);
      if (button != nullptr) button->click();
    });
  }
  switch (box.exec()) {
    case QMessageBox::Cancel:
      return 2;  // IDCANCEL
    case QMessageBox::Yes:
      return 6;  // IDYES
    case QMessageBox::No:
      return 7;  // IDNO
    default:
      return 1;  // IDOK
  }
}

void TQtBackend::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TQtBackend::Run() {
  quit_ = false;
  QEventLoop loop;
  loop_ = &loop;
  // Messages that arrived before the loop started.
  PumpMessageQueue();
  if (!quit_ && !Application->Terminated()) loop.exec();
  loop_ = nullptr;
}

void TQtBackend::Quit() {
  quit_ = true;
  if (loop_ != nullptr) loop_->quit();
}

bool TQtBackend::ChooseSaveFile(TForm *owner, const std::string &title, std::string &path) {
  QWidget *parent = owner != nullptr ? WidgetOf(owner) : nullptr;
  // The platform's own dialog where it has one; it asks before replacing a file.
  const QString chosen = QFileDialog::getSaveFileName(
      parent, ToQt(title), QString(), QStringLiteral("Text files (*.txt);;All files (*)"));
  if (chosen.isEmpty()) return false;
  path = QFile::encodeName(chosen).toStdString();
  return true;
}

bool TQtBackend::SaveScreenshot(TForm &form, const std::string &path) {
  QWidget *w = WidgetOf(&form);
  if (w == nullptr) return false;
  w->ensurePolished();
  return w->grab().save(QString::fromLocal8Bit(path.c_str()), "PNG");
}

QFont TQtBackend::UiFont(const TFont &font) {
  if (font.Name == "MS Sans Serif" || font.Name.empty()) {
    const ChosenFont &chosen = LayoutFont();
    QFont f(chosen.family);
    // The chosen size stands for the layout's -11; other heights scale.
    f.setPixelSize(std::max(1, chosen.pixelSize * std::abs(font.Height) / 11));
    return f;
  }
  QFont f(QString::fromStdString(font.Name));
  if (font.Height < 0)
    f.setPixelSize(-font.Height);
  else if (font.Height > 0)
    f.setPixelSize(font.Height * 3 / 4);
  return f;
}

QString TQtBackend::UiFontFamily() { return LayoutFont().family; }

QWidget *WidgetOf(TControl *control) {
  if (control == nullptr) return nullptr;
  control->HandleNeeded();
  auto *peer = dynamic_cast<QtPeer *>(control->Peer());
  return peer != nullptr ? peer->Widget() : nullptr;
}

TQtBackend &UseQt(int &argc, char **argv) {
  if (QCoreApplication::instance() == nullptr) {
    // Lives to the end of the process, like the application object.
    new QApplication(argc, argv);
  }
  auto backend = std::make_unique<TQtBackend>();
  TQtBackend &ref = *backend;
  Application->SetBackend(std::move(backend));
  return ref;
}

}  // namespace forms::qt

namespace forms {

void UseNativeBackend(int &argc, char **argv) { qt::UseQt(argc, argv); }

}  // namespace forms
