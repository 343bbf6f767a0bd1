#include "forms/controls.h"

#include <algorithm>
#include <stdexcept>

#include "forms/application.h"
#include "forms/backend.h"
#include "forms/log_commands.h"

namespace forms {

TPicture::TPicture(int width, int height, std::vector<std::uint32_t> argb)
    : width_(width), height_(height), pixels_(std::move(argb)) {
  if (width < 0 || height < 0 ||
      pixels_.size() != static_cast<std::size_t>(width) * static_cast<std::size_t>(height)) {
    throw std::invalid_argument("picture size does not match its pixels");
  }
}

// ---- TControl ---------------------------------------------------------------

TControl::TControl(TComponent *AOwner) : TComponent(AOwner) {}

TControl::~TControl() {
  peer_.reset();
  if (parent_ != nullptr) {
    auto &list = parent_->controls_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    parent_ = nullptr;
  }
}

void TControl::SetParent(TWinControl *parent) {
  if (parent == parent_) return;
  if (parent == this) throw std::invalid_argument("a control cannot be its own parent");
  if (handleCreated_) DestroyHandle();
  if (parent_ != nullptr) {
    auto &list = parent_->controls_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  parent_ = parent;
  if (parent_ != nullptr) {
    parent_->controls_.push_back(this);
    if (parent_->HandleAllocated()) CreateHandle();
  }
}

void TControl::SetBounds(int left, int top, int width, int height) {
  if (left == left_ && top == top_ && width == width_ && height == height_) return;
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Changed(TChange::Bounds);
}

void TControl::SetVisible(bool visible) {
  if (visible == visible_) return;
  visible_ = visible;
  Changed(TChange::Visible);
}

void TControl::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Changed(TChange::Enabled);
}

void TControl::SetText(const std::string &text) {
  if (text == text_) return;
  text_ = text;
  Changed(TChange::Text);
}

bool TControl::CanUserAct() const {
  for (const TControl *c = this; c != nullptr; c = c->parent_) {
    if (!c->enabled_) return false;
    // A form that is not shown yet still takes simulated input.
    if (!c->visible_ && dynamic_cast<const TForm *>(c) == nullptr) return false;
  }
  return true;
}

TForm *TControl::ParentForm() {
  for (TControl *c = this; c != nullptr; c = c->parent_) {
    if (auto *form = dynamic_cast<TForm *>(c)) return form;
  }
  return nullptr;
}

void TControl::HandleNeeded() {
  if (handleCreated_) return;
  TControl *root = this;
  while (root->parent_ != nullptr) root = root->parent_;
  // Widgets exist only for whole windows: a loose control waits for a form.
  if (dynamic_cast<TForm *>(root) == nullptr) return;
  root->CreateHandle();
}

void TControl::CreateHandle() {
  if (handleCreated_) return;
  handleCreated_ = true;
  peer_ = Application->Backend().CreatePeer(*this);
}

void TControl::DestroyHandle() {
  peer_.reset();
  handleCreated_ = false;
}

void TControl::Changed(TChange what) {
  if (peer_) peer_->Changed(what);
}

// ---- TWinControl ------------------------------------------------------------

TWinControl::TWinControl(TComponent *AOwner) : TControl(AOwner) {}

TWinControl::~TWinControl() {
  while (!controls_.empty()) {
    TControl *child = controls_.back();
    controls_.pop_back();
    child->parent_ = nullptr;
    delete child;
  }
}

void TWinControl::SetTabOrder(int order) {
  if (order == tabOrder_) return;
  tabOrder_ = order;
  Changed(TChange::TabOrder);
}

void TWinControl::CreateHandle() {
  if (HandleAllocated()) return;
  TControl::CreateHandle();
  for (TControl *child : controls_) child->CreateHandle();
  // Focus order needs every sibling's widget.
  Changed(TChange::TabOrder);
}

void TWinControl::DestroyHandle() {
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) (*it)->DestroyHandle();
  TControl::DestroyHandle();
}

// ---- simple controls ----------------------------------------------------------

TPanel::TPanel(TComponent *AOwner) : TWinControl(AOwner) {}

void TPanel::SetBevelOuter(TBevelCut v) {
  if (v == bevelOuter_) return;
  bevelOuter_ = v;
  Changed(TChange::Other);
}

void TPanel::SetBevelInner(TBevelCut v) {
  if (v == bevelInner_) return;
  bevelInner_ = v;
  Changed(TChange::Other);
}

void TPanel::SetBorderWidth(int v) {
  if (v == borderWidth_) return;
  borderWidth_ = v;
  Changed(TChange::Other);
}

TGroupBox::TGroupBox(TComponent *AOwner) : TWinControl(AOwner) {}

TLabel::TLabel(TComponent *AOwner) : TControl(AOwner) {}

void TLabel::SetAutoSize(bool v) {
  if (v == autoSize_) return;
  autoSize_ = v;
  Changed(TChange::Bounds);
}

TImage::TImage(TComponent *AOwner) : TControl(AOwner) {}

void TImage::SetPicture(const TPicture &picture) {
  picture_ = picture;
  if (autoSize_ && !picture_.Empty()) SetBounds(Left(), Top(), picture_.Width(), picture_.Height());
  Changed(TChange::Picture);
}

void TImage::SetAutoSize(bool v) {
  autoSize_ = v;
  if (autoSize_ && !picture_.Empty()) SetBounds(Left(), Top(), picture_.Width(), picture_.Height());
}

void TImage::SetTransparent(bool v) {
  if (v == transparent_) return;
  transparent_ = v;
  Changed(TChange::Picture);
}

// ---- TButton / TCheckBox ------------------------------------------------------

TButton::TButton(TComponent *AOwner) : TWinControl(AOwner) {}

void TButton::Click() {
  if (OnClick) Application->DispatchEvent([this] { OnClick(this); });
}

bool TButton::UserClick() {
  if (!CanUserAct()) return false;
  Click();
  return true;
}

void TButton::SetDefault(bool v) {
  if (v == default_) return;
  default_ = v;
  Changed(TChange::Other);
}

TCheckBox::TCheckBox(TComponent *AOwner) : TWinControl(AOwner) {}

void TCheckBox::SetChecked(bool checked) {
  if (checked == checked_) return;
  checked_ = checked;
  Changed(TChange::Checked);
  if (OnClick) Application->DispatchEvent([this] { OnClick(this); });
}

bool TCheckBox::UserClick() {
  if (!CanUserAct()) return false;
  SetChecked(!checked_);
  return true;
}

// ---- TComboBox ----------------------------------------------------------------

TComboBox::TComboBox(TComponent *AOwner) : TWinControl(AOwner) {
  items_.OnChanged = [this] { ItemsChanged(); };
}

void TComboBox::SetItemIndex(int index) {
  if (index < -1 || index >= items_.Count()) index = -1;
  if (index == itemIndex_) return;
  itemIndex_ = index;
  SyncText();
  Changed(TChange::ItemIndex);
}

void TComboBox::SetText(const std::string &text) {
  const int index = items_.IndexOf(text);
  if (index >= 0) SetItemIndex(index);
}

bool TComboBox::UserSelect(int index) {
  if (!CanUserAct() || index < 0 || index >= items_.Count()) return false;
  SetItemIndex(index);
  if (OnChange) Application->DispatchEvent([this] { OnChange(this); });
  return true;
}

void TComboBox::ItemsChanged() {
  // Changing the list by code keeps the selection where it still exists.
  if (itemIndex_ >= items_.Count()) itemIndex_ = -1;
  SyncText();
  Changed(TChange::Items);
}

void TComboBox::SyncText() { text_ = itemIndex_ >= 0 ? items_.Get(itemIndex_) : std::string(); }

// ---- TCustomEdit --------------------------------------------------------------

TCustomEdit::TCustomEdit(TComponent *AOwner) : TWinControl(AOwner) {}

void TCustomEdit::SetText(const std::string &text) {
  selStart_ = text.size();
  selLength_ = 0;
  if (StoredEquals(text)) return;
  Store(text);
  Changed(TChange::Text);
  DoChange();
}

void TCustomEdit::SetReadOnly(bool v) {
  if (v == readOnly_) return;
  readOnly_ = v;
  Changed(TChange::ReadOnly);
}

void TCustomEdit::SetMaxLength(int v) {
  if (v < 0) v = 0;
  if (v == maxLength_) return;
  maxLength_ = v;
  Changed(TChange::MaxLength);
}

void TCustomEdit::SetSelStart(std::size_t pos) {
  selStart_ = std::min(pos, StoredSize());
  selLength_ = 0;
}

void TCustomEdit::SetSelLength(std::size_t len) {
  selLength_ = std::min(len, StoredSize() - selStart_);
}

void TCustomEdit::SelectAll() {
  selStart_ = 0;
  selLength_ = StoredSize();
}

bool TCustomEdit::KeyPress(char &key) {
  if (!OnKeyPress) return key != 0;
  // A handler that fails lets nothing through, as the key never reaches the box.
  if (!Application->DispatchEvent([this, &key] { OnKeyPress(this, key); })) return false;
  return key != 0;
}

bool TCustomEdit::FilterTypedCharacter(const std::string &typed, std::string &passed) {
  passed.clear();
  bool discarded = false;
  const bool ok = Application->UserInput([&] {
    for (char b : typed) {
      char key = b;
      if (!KeyPress(key)) {
        discarded = true;
        return;
      }
      passed.push_back(key);
    }
  });
  return ok && !discarded;
}

bool TCustomEdit::UserTypeKey(char ch) {
  if (!CanUserAct()) return false;
  char key = ch;
  // A one-line box leaves Enter and Esc to its form, as the dialog manager
  // of a real window does.
  if (!MultiLine() && (ch == 13 || ch == 27)) {
    if (TForm *form = ParentForm()) form->UserDialogKey(ch);
    return true;
  }
  if (!KeyPress(key)) return true;
  if (readOnly_) return true;
  const auto k = static_cast<unsigned char>(key);
  if (k == 8) {
    if (selLength_ == 0) {
      if (selStart_ == 0) return true;
      // Back over one whole character: a CR LF pair, or a UTF-8 sequence.
      std::size_t from = selStart_ - 1;
      if (from > 0 && StoredAt(from) == '\n' && StoredAt(from - 1) == '\r') {
        --from;
      } else {
        while (from > 0 && (static_cast<unsigned char>(StoredAt(from)) & 0xC0) == 0x80) --from;
      }
      selLength_ = selStart_ - from;
      selStart_ = from;
    }
    ReplaceSelection(std::string(), true);
    return true;
  }
  std::string insert;
  if (k == 13) {
    if (!MultiLine()) return true;
    insert = sLineBreak;
  } else if (k < 32) {
    return true;
  } else {
    insert.assign(1, key);
  }
  if (maxLength_ > 0 &&
      StoredSize() - selLength_ + insert.size() > static_cast<std::size_t>(maxLength_)) {
    return true;
  }
  ReplaceSelection(insert, true);
  return true;
}

bool TCustomEdit::UserTypeText(const std::string &text) {
  bool reached = true;
  for (char c : text) reached = UserTypeKey(c) && reached;
  return reached;
}

bool TCustomEdit::UserPaste(const std::string &text) {
  if (!CanUserAct()) return false;
  if (readOnly_) return true;
  std::string insert = text;
  if (!MultiLine()) {
    const std::size_t cut = insert.find_first_of("\r\n");
    if (cut != std::string::npos) insert.resize(cut);
  }
  if (maxLength_ > 0) {
    const std::size_t size = StoredSize();
    const std::size_t room = static_cast<std::size_t>(maxLength_) > size - selLength_
                                 ? static_cast<std::size_t>(maxLength_) - (size - selLength_)
                                 : 0;
    if (insert.size() > room) insert.resize(room);
  }
  ReplaceSelection(insert, true);
  return true;
}

void TCustomEdit::UserEdited(const std::string &text, std::size_t caret) {
  selStart_ = std::min(caret, text.size());
  selLength_ = 0;
  if (StoredEquals(text)) return;
  Store(text);
  DoChange();
}

void TCustomEdit::ReplaceSelection(const std::string &text, bool user) {
  (void)user;
  const std::size_t size = StoredSize();
  const std::size_t start = std::min(selStart_, size);
  const std::size_t len = std::min(selLength_, size - start);
  if (len == text.size()) {
    // The same text over itself: the caret moves, the text does not change.
    std::size_t i = 0;
    while (i < len && StoredAt(start + i) == text[i]) ++i;
    if (i == len) {
      selStart_ = start + len;
      selLength_ = 0;
      return;
    }
  }
  StoredReplace(start, len, text);
  selStart_ = start + text.size();
  selLength_ = 0;
  Changed(TChange::Text);
  DoChange();
}

void TCustomEdit::DoChange() {
  if (OnChange) Application->DispatchEvent([this] { OnChange(this); });
}

TEdit::TEdit(TComponent *AOwner) : TCustomEdit(AOwner) {}

// ---- TMemo ----------------------------------------------------------------------

// Lines come from the memo's line index: counting them and reading one
// costs no more than that line, however long the memo is.

int TMemoLines::Count() const { return static_cast<int>(memo_.log_.LineCount()); }

std::string TMemoLines::Get(int index) const {
  const LogText &log = memo_.log_;
  if (index < 0 || static_cast<std::size_t>(index) >= log.LineCount()) {
    throw std::out_of_range("List index out of bounds");
  }
  const auto i = static_cast<std::size_t>(index);
  const std::size_t start = log.LineStart(i);
  return log.Substr(start, log.LineContentEnd(i) - start);
}

int TMemoLines::Add(const std::string &s) {
  const LogText &log = memo_.log_;
  const int index = Count();
  // A new line of its own: after the break that ends the text, or after a
  // break put in front when the last line is open.
  if (log.Empty() || log.EndsWithLineBreak()) {
    memo_.Append(s + sLineBreak);
  } else {
    memo_.Append(sLineBreak + s);
  }
  return index;
}

void TMemoLines::Insert(int index, const std::string &s) {
  const LogText &log = memo_.log_;
  if (index < 0 || static_cast<std::size_t>(index) > log.LineCount()) {
    throw std::out_of_range("List index out of bounds");
  }
  if (static_cast<std::size_t>(index) == log.LineCount()) {
    Add(s);
    return;
  }
  std::string updated = log.ToString();
  updated.insert(log.LineStart(static_cast<std::size_t>(index)), s + sLineBreak);
  memo_.SetText(updated);
}

void TMemoLines::Delete(int index) {
  const LogText &log = memo_.log_;
  if (index < 0 || static_cast<std::size_t>(index) >= log.LineCount()) {
    throw std::out_of_range("List index out of bounds");
  }
  const auto i = static_cast<std::size_t>(index);
  const std::size_t start = log.LineStart(i);
  std::string updated = log.ToString();
  updated.erase(start, log.LineNext(i) - start);
  memo_.SetText(updated);
}

void TMemoLines::Clear() { memo_.SetText(std::string()); }

void TMemoLines::SetText(const std::string &text) { memo_.SetText(text); }

TMemo::TMemo(TComponent *AOwner) : TCustomEdit(AOwner), lines_(*this) {}

TMemo::~TMemo() {
  // The view goes while the memo it shows is whole; then a save still
  // writing ends before the text it reads goes.
  DestroyHandle();
  commands_.reset();
}

TLogCommands &TMemo::Commands() {
  if (!commands_) commands_ = std::make_unique<TLogCommands>(*this);
  return *commands_;
}

void TMemo::Append(std::string_view text) { AppendMarked(text, false); }

void TMemo::AppendReceived(std::string_view shown, bool hex, bool endsWithPause) {
  AppendMarked(shown, hex);
  pauseBefore_ = endsWithPause;
}

void TMemo::SetShowTimestamps(bool show) {
  if (show == shown_.Shown()) return;
  shown_.SetShown(show);
  Changed(TChange::Stamps);
}

void TMemo::AppendMarked(std::string_view text, bool hexChunk) {
  if (text.empty()) return;
  const bool caretAtEnd = selStart_ == log_.Size() && selLength_ == 0;
  const std::size_t from = log_.Size();
  const std::size_t linesBefore = log_.LineCount();
  log_.Append(text);
  // Every line that starts in the new text starts at the time it came; a
  // hex chunk after a pause starts anew as well.
  const std::int64_t now = clock_ ? clock_() : LogStamps::Now();
  const std::size_t lines = log_.LineCount();
  if (hexChunk && pauseBefore_ && (lines == linesBefore || log_.LineStart(linesBefore) != from)) {
    stamps_.Add(from, now);
  }
  for (std::size_t i = linesBefore; i < lines; ++i) stamps_.Add(log_.LineStart(i), now);
  if (joinedValid_) joined_.append(text.data(), text.size());
  if (caretAtEnd) selStart_ = log_.Size();
  scrolledToEnd_ = false;
  if (TControlPeer *peer = Peer()) peer->TextAppended(text);
  DoChange();
}

void TMemo::SetText(const std::string &text) {
  if (!log_.Equals(text)) scrolledToEnd_ = false;
  TCustomEdit::SetText(text);
}

const std::string &TMemo::TextValue() const {
  if (!joinedValid_) {
    joined_ = log_.ToString();
    joinedValid_ = true;
  }
  return joined_;
}

void TMemo::MarkAll() {
  stamps_.Clear();
  shown_.Forget();
  pauseBefore_ = true;
  const std::int64_t now = clock_ ? clock_() : LogStamps::Now();
  for (std::size_t i = 0; i < log_.LineCount(); ++i) stamps_.Add(log_.LineStart(i), now);
}

void TMemo::Store(const std::string &text) {
  log_.Assign(text);
  MarkAll();
  if (text.empty()) {
    // Emptied: the joined copy goes too, so a log that is cleared and
    // refilled does not carry a second copy of itself.
    joined_.clear();
    joined_.shrink_to_fit();
    joinedValid_ = false;
  } else if (joinedValid_) {
    joined_ = text;
  }
}

void TMemo::StoredReplace(std::size_t pos, std::size_t len, const std::string &with) {
  if (len == 0 && pos == log_.Size()) {
    const std::size_t linesBefore = log_.LineCount();
    log_.Append(with);
    if (joinedValid_) joined_.append(with);
    const std::int64_t now = clock_ ? clock_() : LogStamps::Now();
    for (std::size_t i = linesBefore; i < log_.LineCount(); ++i)
      stamps_.Add(log_.LineStart(i), now);
    return;
  }
  std::string updated = log_.ToString();
  updated.replace(pos, len, with);
  Store(updated);
}

void TMemo::SetScrollBars(TScrollStyle v) {
  if (v == scrollBars_) return;
  scrollBars_ = v;
  Changed(TChange::Other);
}

void TMemo::SetWordWrap(bool v) {
  if (v == wordWrap_) return;
  wordWrap_ = v;
  Changed(TChange::Other);
}

void TMemo::ScrollToEnd() {
  scrolledToEnd_ = true;
  if (TControlPeer *peer = Peer()) peer->ScrollToEnd();
}

// ---- TStatusBar ---------------------------------------------------------------

void TStatusPanel::SetText(const std::string &text) {
  if (text == text_) return;
  text_ = text;
  Changed();
}

void TStatusPanel::SetWidth(int width) {
  if (width == width_) return;
  width_ = width;
  Changed();
}

void TStatusPanel::SetAlignment(TAlignment a) {
  if (a == alignment_) return;
  alignment_ = a;
  Changed();
}

void TStatusPanel::SetBiDiMode(TBiDiMode m) {
  if (m == bidi_) return;
  bidi_ = m;
  Changed();
}

void TStatusPanel::Changed() { bar_->PanelsChanged(); }

TStatusPanel &TStatusPanels::Add() {
  panels_.push_back(std::unique_ptr<TStatusPanel>(new TStatusPanel(bar_)));
  bar_.PanelsChanged();
  return *panels_.back();
}

void TStatusPanels::Clear() {
  panels_.clear();
  bar_.PanelsChanged();
}

TStatusBar::TStatusBar(TComponent *AOwner) : TWinControl(AOwner), panels_(*this) {
  SetAlign(alBottom);
  SetTabStop(false);
}

int TStatusBar::PanelLeft(int index) const {
  int left = 0;
  for (int i = 0; i < index && i < panels_.Count(); ++i) left += panels_[i].Width();
  return left;
}

int TStatusBar::PanelShownWidth(int index) const {
  if (index < 0 || index >= panels_.Count()) return 0;
  if (index == panels_.Count() - 1) return std::max(0, Width() - PanelLeft(index));
  return panels_[index].Width();
}

// ---- TForm ----------------------------------------------------------------------

TForm::TForm(TComponent *AOwner) : TWinControl(AOwner) {
  // Forms start hidden; Show (or Application->Run for the main form) shows them.
  TControl::SetVisible(false);
  Application->FormConstructed(this);
}

TForm::~TForm() {
  Application->FormDestroying(this);
  // Children (and their widgets) go before the window itself.
  DestroyHandle();
}

void TForm::SetBorderStyle(TFormBorderStyle v) {
  if (v == borderStyle_) return;
  borderStyle_ = v;
  Changed(TChange::Other);
}

void TForm::SetBorderIcons(TBorderIcons v) {
  if (v == borderIcons_) return;
  borderIcons_ = v;
  Changed(TChange::Other);
}

void TForm::SetColor(TColor c) {
  if (c == color_) return;
  color_ = c;
  Changed(TChange::Other);
}

void TForm::SetFont(const TFont &font) {
  if (font == font_) return;
  font_ = font;
  Changed(TChange::Font);
}

void TForm::Show() { SetVisible(true); }

void TForm::SetVisible(bool visible) {
  if (visible) {
    HandleNeeded();
    closed_ = false;
  }
  TControl::SetVisible(visible);
}

void TForm::Close() {
  if (closing_) return;
  closing_ = true;
  struct Done {
    bool &closing;
    ~Done() { closing = false; }
  } done{closing_};
  TCloseAction action = caHide;
  if (OnClose) {
    // A handler that fails keeps the window open.
    if (!Application->DispatchEvent([this, &action] { OnClose(this, action); })) return;
  }
  if (action == caNone) return;
  closed_ = true;
  Hide();
  if (Application->MainForm() == this) Application->MainFormClosed();
}

namespace {

TButton *FindDialogButton(TWinControl &parent, bool wantDefault) {
  for (int i = 0; i < parent.ControlCount(); ++i) {
    TControl *c = parent.Controls(i);
    if (auto *button = dynamic_cast<TButton *>(c)) {
      if (wantDefault ? button->Default() : button->Cancel()) return button;
    } else if (auto *container = dynamic_cast<TWinControl *>(c)) {
      if (TButton *found = FindDialogButton(*container, wantDefault)) return found;
    }
  }
  return nullptr;
}

}  // namespace

bool TForm::UserDialogKey(char key) {
  if (key != 13 && key != 27) return false;
  TButton *button = FindDialogButton(*this, key == 13);
  return button != nullptr && button->UserClick();
}

bool TForm::UserClose() {
  if (!Enabled() || closing_ || closed_) return false;
  if (Application->HandlerRunning()) {
    Application->DeferClose(this);
    return true;
  }
  Close();
  return true;
}

void TForm::AfterConstruction() {
  if (OnCreate) Application->DispatchEvent([this] { OnCreate(this); });
}

}  // namespace forms
