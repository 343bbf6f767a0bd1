// The component model the window is written against: controls that keep their
// state as plain data and raise events with the rules the window relies on.
// A backend (headless, Qt, Win32) mirrors the model into real widgets through
// a peer per control and feeds real user input back through the User* calls,
// so tests drive exactly the path a real click or key takes.
//
// Event rules:
// - TCheckBox::OnClick runs on every change of Checked, also one made by code.
// - TComboBox::OnChange runs only when the user picks (UserSelect), never
//   when code sets ItemIndex.
// - TEdit/TMemo::OnChange runs on every change of the text, also by code.
// - OnKeyPress sees a typed character before it is inserted; setting it to
//   0 discards it. Backspace is 8, Enter is 13.
// Every event runs through Application->DispatchEvent, so an exception that
// escapes a handler reaches TApplication::HandleException.
//
// Text is 8-bit in the system code page (UTF-8 on Linux); line breaks are
// CR LF.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "forms/log_stamps.h"
#include "forms/log_text.h"
#include "forms/strings.h"
#include "platform/rtl.h"
#include "platform/winapi.h"  // <windows.h> first on Windows, so its macros (MessageBox)
                              // rename our members the same way in every unit

namespace forms {

using platform::TComponent;
using platform::TNotifyEvent;
using platform::TObject;

class TControlPeer;
class TWinControl;

// ---- plain types --------------------------------------------------------

enum TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
enum TAlignment { taLeftJustify, taRightJustify, taCenter };
enum TBiDiMode { bdLeftToRight, bdRightToLeft };
enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
enum TScrollStyle { ssNone, ssHorizontal, ssVertical, ssBoth };
enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };
enum TPosition { poDesigned, poDefault, poScreenCenter, poDesktopCenter, poMainFormCenter };
enum TCloseAction { caNone, caHide, caFree, caMinimize };

enum TBorderIcon : unsigned { biSystemMenu = 1, biMinimize = 2, biMaximize = 4, biHelp = 8 };
using TBorderIcons = unsigned;  // a set of TBorderIcon bits

// System colours in the runtime's numbering (high byte 0xFF, low byte the
// system colour index); other values are 0x00BBGGRR.
using TColor = std::uint32_t;
inline constexpr TColor clWindow = 0xFF000005;
inline constexpr TColor clWindowText = 0xFF000008;
inline constexpr TColor clBtnFace = 0xFF00000F;

using TKeyPressEvent = std::function<void(TObject *Sender, char &Key)>;
using TCloseEvent = std::function<void(TObject *Sender, TCloseAction &Action)>;

// Height < 0 is the character height in pixels (-11 is 8 points at 96 dpi).
struct TFont {
  std::string Name = "MS Sans Serif";
  int Height = -11;
  bool operator==(const TFont &o) const { return Name == o.Name && Height == o.Height; }
};

// A picture as 32-bit pixels (0xAARRGGBB, rows from the top); backends turn
// it into their own image or icon type.
class TPicture {
 public:
  TPicture() = default;
  TPicture(int width, int height, std::vector<std::uint32_t> argb);
  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Empty() const { return pixels_.empty(); }
  const std::vector<std::uint32_t> &Pixels() const { return pixels_; }

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<std::uint32_t> pixels_;
};

// What a peer is told has changed in its control.
enum class TChange {
  Bounds,
  Visible,
  Enabled,
  Text,   // caption or text
  Items,  // combo box items
  ItemIndex,
  Checked,
  ReadOnly,
  MaxLength,
  Panels,  // status bar panels
  Picture,
  Font,
  TabOrder,
  Stamps,  // a memo's timestamps shown or hidden
  Other,   // anything else a backend may show (bevel, scroll bars, ...)
};

// ---- controls -----------------------------------------------------------

class TControl : public TComponent {
 public:
  explicit TControl(TComponent *AOwner);
  ~TControl() override;

  TWinControl *Parent() const { return parent_; }
  void SetParent(TWinControl *parent);

  int Left() const { return left_; }
  int Top() const { return top_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
  void SetTop(int v) { SetBounds(left_, v, width_, height_); }
  void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
  void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
  virtual void SetBounds(int left, int top, int width, int height);

  bool Visible() const { return visible_; }
  virtual void SetVisible(bool visible);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  // Caption and Text are one value, as in the runtime: a button's caption,
  // an edit box's text.
  const std::string &Caption() const { return TextValue(); }
  void SetCaption(const std::string &caption) { SetText(caption); }
  const std::string &Text() const { return TextValue(); }
  virtual void SetText(const std::string &text);

  TAlign Align() const { return align_; }  // kept as data; positions are explicit
  void SetAlign(TAlign align) { align_ = align; }

  // True when user input can reach the control: it and every parent are
  // visible and enabled (the form itself need not be shown).
  bool CanUserAct() const;

  // The form this control sits on (itself for a form), or null.
  class TForm *ParentForm();

  // ---- for backends -----------------------------------------------------
  TControlPeer *Peer() const { return peer_.get(); }
  // Creates this control's peer (and its children's) when its form has one.
  void HandleNeeded();
  bool HandleAllocated() const { return handleCreated_; }
  // Drops the peers of this control and its children (before reparenting or
  // when a backend is replaced).
  virtual void DestroyHandle();

 protected:
  void Changed(TChange what);
  virtual void CreateHandle();
  // The whole text as one string (a memo keeps its text elsewhere).
  virtual const std::string &TextValue() const { return text_; }

  std::string text_;

 private:
  friend class TWinControl;
  TWinControl *parent_ = nullptr;
  int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
  bool visible_ = true;
  bool enabled_ = true;
  TAlign align_ = alNone;
  bool handleCreated_ = false;
  std::unique_ptr<TControlPeer> peer_;
};

class TWinControl : public TControl {
 public:
  explicit TWinControl(TComponent *AOwner);
  // Destroys the child controls that are still on it.
  ~TWinControl() override;

  int ControlCount() const { return static_cast<int>(controls_.size()); }
  TControl *Controls(int index) const { return controls_.at(static_cast<std::size_t>(index)); }

  int TabOrder() const { return tabOrder_; }  // kept as data; backends order focus by it
  void SetTabOrder(int order);
  bool TabStop() const { return tabStop_; }
  void SetTabStop(bool v) { tabStop_ = v; }
  bool DoubleBuffered() const { return doubleBuffered_; }
  void SetDoubleBuffered(bool v) { doubleBuffered_ = v; }

  void DestroyHandle() override;

 protected:
  void CreateHandle() override;

 private:
  friend class TControl;
  std::vector<TControl *> controls_;
  int tabOrder_ = -1;
  bool tabStop_ = true;
  bool doubleBuffered_ = false;
};

class TPanel : public TWinControl {
 public:
  explicit TPanel(TComponent *AOwner);
  TBevelCut BevelOuter() const { return bevelOuter_; }
  void SetBevelOuter(TBevelCut v);
  TBevelCut BevelInner() const { return bevelInner_; }
  void SetBevelInner(TBevelCut v);
  int BorderWidth() const { return borderWidth_; }
  void SetBorderWidth(int v);

 private:
  TBevelCut bevelOuter_ = bvRaised;
  TBevelCut bevelInner_ = bvNone;
  int borderWidth_ = 0;
};

class TGroupBox : public TWinControl {
 public:
  explicit TGroupBox(TComponent *AOwner);
};

class TLabel : public TControl {
 public:
  explicit TLabel(TComponent *AOwner);
  // With AutoSize a backend may widen the shown label so its text is never
  // clipped; the model keeps the stored size.
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool v);

 private:
  bool autoSize_ = true;
};

class TImage : public TControl {
 public:
  explicit TImage(TComponent *AOwner);
  const TPicture &Picture() const { return picture_; }
  // With AutoSize the control takes the picture's size.
  void SetPicture(const TPicture &picture);
  bool AutoSize() const { return autoSize_; }
  void SetAutoSize(bool v);
  bool Transparent() const { return transparent_; }
  void SetTransparent(bool v);

 private:
  TPicture picture_;
  bool autoSize_ = false;
  bool transparent_ = false;
};

class TButton : public TWinControl {
 public:
  explicit TButton(TComponent *AOwner);
  // Runs OnClick, as code may do at any time (also when disabled).
  void Click();
  // A user's click: runs OnClick only when the button can take input.
  bool UserClick();

  // Enter in the button's form clicks its default button, Esc its cancel
  // button (when the focused control does not take the key itself).
  bool Default() const { return default_; }
  void SetDefault(bool v);
  bool Cancel() const { return cancel_; }
  void SetCancel(bool v) { cancel_ = v; }

  TNotifyEvent OnClick;

 private:
  bool default_ = false;
  bool cancel_ = false;
};

class TCheckBox : public TWinControl {
 public:
  explicit TCheckBox(TComponent *AOwner);
  bool Checked() const { return checked_; }
  // A change runs OnClick, whoever makes it.
  void SetChecked(bool checked);
  // A user's click toggles Checked (and so runs OnClick).
  bool UserClick();

  TNotifyEvent OnClick;

 private:
  bool checked_ = false;
};

// A drop-down list: the user picks, never types. Text is the selected item.
class TComboBox : public TWinControl {
 public:
  explicit TComboBox(TComponent *AOwner);
  TStrings &Items() { return items_; }
  const TStrings &Items() const { return items_; }
  int ItemIndex() const { return itemIndex_; }
  // Selects by code: never runs OnChange. Out-of-range values select nothing.
  void SetItemIndex(int index);
  // Selects the item with this text, if there is one (never runs OnChange).
  void SetText(const std::string &text) override;
  // A user's pick: selects and runs OnChange, also when the same item is
  // picked again.
  bool UserSelect(int index);

  TNotifyEvent OnChange;

 private:
  void ItemsChanged();
  void SyncText();
  TStringList items_;
  int itemIndex_ = -1;
};

// One-line and multi-line text boxes share editing and the key filter.
class TCustomEdit : public TWinControl {
 public:
  explicit TCustomEdit(TComponent *AOwner);

  // Stores the text and runs OnChange when it differs; the caret goes to
  // the end.
  void SetText(const std::string &text) override;
  void Clear() { SetText(std::string()); }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool v);
  int MaxLength() const { return maxLength_; }  // 0: no limit; limits typing and pasting only
  void SetMaxLength(int v);

  // Caret and selection, in bytes of Text().
  std::size_t SelStart() const { return selStart_; }
  std::size_t SelLength() const { return selLength_; }
  void SetSelStart(std::size_t pos);
  void SetSelLength(std::size_t len);
  void SelectAll();

  // Runs OnKeyPress on `key`; returns false when the key was discarded.
  // Backends call this before letting a widget insert a typed character.
  bool KeyPress(char &key);
  // A character a real widget received, as user input: each of its bytes
  // passes OnKeyPress in turn (a character of several bytes passes only when
  // every byte does). Returns false when it is discarded; otherwise `passed`
  // holds the bytes to insert, as the filter left them.
  bool FilterTypedCharacter(const std::string &typed, std::string &passed);
  // A typed character: OnKeyPress first, then the edit the box makes of it
  // at the caret (8 deletes back, 13 breaks the line in a multi-line box,
  // other control characters insert nothing). Returns true when the key
  // reached the box (it may still have been discarded by the filter).
  bool UserTypeKey(char ch);
  // Types each byte of `text` in turn.
  bool UserTypeText(const std::string &text);
  // Pasted text: no key filter; replaces the selection.
  bool UserPaste(const std::string &text);
  // Text a backend's widget now holds after the user edited it: stored
  // without pushing it back, OnChange when it differs.
  void UserEdited(const std::string &text, std::size_t caret);

  TNotifyEvent OnChange;
  TKeyPressEvent OnKeyPress;

 protected:
  virtual bool MultiLine() const { return false; }
  void ReplaceSelection(const std::string &text, bool user);
  void DoChange();

  // Where the text is kept: in text_ here, in pieces in a memo.
  virtual std::size_t StoredSize() const { return text_.size(); }
  virtual char StoredAt(std::size_t pos) const { return text_[pos]; }
  virtual bool StoredEquals(const std::string &text) const { return text == text_; }
  virtual void Store(const std::string &text) { text_ = text; }
  virtual void StoredReplace(std::size_t pos, std::size_t len, const std::string &with) {
    text_.replace(pos, len, with);
  }

  std::size_t selStart_ = 0;
  std::size_t selLength_ = 0;
  bool readOnly_ = false;
  int maxLength_ = 0;
};

class TEdit : public TCustomEdit {
 public:
  explicit TEdit(TComponent *AOwner);
};

class TMemo;
class TLogCommands;

// The lines of a memo, read from and written to its text.
class TMemoLines : public TStrings {
 public:
  explicit TMemoLines(TMemo &memo) : memo_(memo) {}
  int Count() const override;
  std::string Get(int index) const override;
  void Insert(int index, const std::string &s) override;
  void Delete(int index) override;
  void Clear() override;
  // At the end: a new line after the last one, costing only the added text.
  int Add(const std::string &s) override;
  void SetText(const std::string &text) override;

 private:
  TMemo &memo_;
};

// A multi-line text box. Its text is kept in pieces (LogText), so a log
// that only grows appends in time proportional to what is appended and
// never needs a second copy of itself; Text() joins the pieces on demand
// (a cost in the text's size, kept until the next Clear).
class TMemo : public TCustomEdit {
 public:
  explicit TMemo(TComponent *AOwner);

  TStrings &Lines() { return lines_; }
  const TStrings &Lines() const { return lines_; }
  ~TMemo() override;

  // Appends `text` at the very end, as it is (no line break added), in
  // time proportional to its length. Runs OnChange when it is not empty.
  void Append(std::string_view text);
  // Appends a chunk of received data as the log shows it (its bytes, or
  // their hex text). `endsWithPause`: the line went quiet after this chunk
  // for longer than the read interval, so the next chunk starts anew.
  void AppendReceived(std::string_view shown, bool hex, bool endsWithPause);
  std::size_t TextLength() const { return log_.Size(); }
  // The stored text, for views that read it piece by piece.
  const LogText &Log() const { return log_; }

  // When each line came in: a mark at the first byte of every line, and in
  // hex display at the first byte of every chunk that follows a pause. They
  // are kept whether shown or not, and go with the text on Clear.
  const LogStamps &Stamps() const { return stamps_; }
  // The text as shown: with "[HH:MM:SS.mmm] " before each mark while
  // ShowTimestamps is on.
  const StampedLog &Shown() const { return shown_; }
  bool ShowTimestamps() const { return shown_.Shown(); }
  void SetShowTimestamps(bool show);
  // The clock marks are taken from (milliseconds since the epoch); tests
  // set their own.
  void SetClock(std::function<std::int64_t()> clock) { clock_ = std::move(clock); }

  // The log's context menu and keys (copy, find, save, timestamps), made
  // on first use.
  TLogCommands &Commands();
  // The commands if they were made, else null (never makes them).
  TLogCommands *ExistingCommands() const { return commands_.get(); }

  TScrollStyle ScrollBars() const { return scrollBars_; }
  void SetScrollBars(TScrollStyle v);
  bool WordWrap() const { return wordWrap_; }
  void SetWordWrap(bool v);

  // Asks the view to show the end of the text.
  void ScrollToEnd();
  // True when the end was asked for and nothing was added since.
  bool IsScrolledToEnd() const { return scrolledToEnd_; }

  void SetText(const std::string &text) override;

 protected:
  bool MultiLine() const override { return true; }
  const std::string &TextValue() const override;
  std::size_t StoredSize() const override { return log_.Size(); }
  char StoredAt(std::size_t pos) const override { return log_.At(pos); }
  bool StoredEquals(const std::string &text) const override { return log_.Equals(text); }
  void Store(const std::string &text) override;
  void StoredReplace(std::size_t pos, std::size_t len, const std::string &with) override;

 private:
  friend class TMemoLines;
  void AppendMarked(std::string_view text, bool hexChunk);
  void MarkAll();

  LogText log_;
  LogStamps stamps_;
  StampedLog shown_{log_, stamps_};
  std::function<std::int64_t()> clock_;
  bool pauseBefore_ = true;  // the next received chunk follows a pause
  std::unique_ptr<TLogCommands> commands_;
  // Text() as one string, once asked for; kept in step with log_ until the
  // memo is cleared, so a reference to it stays valid and current.
  mutable std::string joined_;
  mutable bool joinedValid_ = false;
  TMemoLines lines_;
  TScrollStyle scrollBars_ = ssNone;
  bool wordWrap_ = true;
  bool scrolledToEnd_ = false;
};

class TStatusBar;

class TStatusPanel {
 public:
  const std::string &Text() const { return text_; }
  void SetText(const std::string &text);
  int Width() const { return width_; }
  void SetWidth(int width);
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment a);
  TBiDiMode BiDiMode() const { return bidi_; }
  void SetBiDiMode(TBiDiMode m);

 private:
  friend class TStatusPanels;
  explicit TStatusPanel(TStatusBar &bar) : bar_(&bar) {}
  void Changed();
  TStatusBar *bar_;
  std::string text_;
  int width_ = 50;
  TAlignment alignment_ = taLeftJustify;
  TBiDiMode bidi_ = bdLeftToRight;
};

class TStatusPanels {
 public:
  explicit TStatusPanels(TStatusBar &bar) : bar_(bar) {}
  TStatusPanel &Add();
  int Count() const { return static_cast<int>(panels_.size()); }
  TStatusPanel &operator[](int index) { return *panels_.at(static_cast<std::size_t>(index)); }
  const TStatusPanel &operator[](int index) const {
    return *panels_.at(static_cast<std::size_t>(index));
  }
  void Clear();

 private:
  TStatusBar &bar_;
  std::vector<std::unique_ptr<TStatusPanel>> panels_;
};

class TStatusBar : public TWinControl {
 public:
  explicit TStatusBar(TComponent *AOwner);
  TStatusPanels &Panels() { return panels_; }
  const TStatusPanels &Panels() const { return panels_; }
  // Where panel `index` is drawn: it starts where the ones before it end;
  // the last one reaches the right end of the bar whatever its width.
  int PanelLeft(int index) const;
  int PanelShownWidth(int index) const;

 private:
  friend class TStatusPanel;
  friend class TStatusPanels;
  void PanelsChanged() { Changed(TChange::Panels); }
  TStatusPanels panels_;
};

class TForm : public TWinControl {
 public:
  explicit TForm(TComponent *AOwner);
  ~TForm() override;

  int ClientWidth() const { return Width(); }
  int ClientHeight() const { return Height(); }
  void SetClientWidth(int v) { SetWidth(v); }
  void SetClientHeight(int v) { SetHeight(v); }

  TFormBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TFormBorderStyle v);
  TBorderIcons BorderIcons() const { return borderIcons_; }
  void SetBorderIcons(TBorderIcons v);
  TPosition Position() const { return position_; }
  void SetPosition(TPosition v) { position_ = v; }
  TColor Color() const { return color_; }
  void SetColor(TColor c);
  const TFont &Font() const { return font_; }
  void SetFont(const TFont &font);

  // Shows the form, creating its widgets on the backend first.
  void Show();
  void Hide() { SetVisible(false); }
  void SetVisible(bool visible) override;
  // Runs OnClose; unless it answers caNone the form hides, and closing the
  // main form ends the application's message loop. Does nothing while the
  // form's close is already under way.
  void Close();
  // The user asked to close the window (close box, system menu, Alt+F4).
  // Arriving while an event handler runs (its message pump let it in), the
  // close waits until the handlers have returned (TApplication::DeferClose).
  // Ignored while a close is under way and once the form has closed, so a
  // close is honoured exactly once. True when the close was taken.
  bool UserClose();
  // Enter (13) or Esc (27) that the focused control left to the form: clicks
  // the form's default or cancel button. False when there is none to click.
  bool UserDialogKey(char key);

  // Runs OnCreate; TApplication::CreateForm calls it once construction ends.
  void AfterConstruction();

  TNotifyEvent OnCreate;
  TCloseEvent OnClose;

 private:
  TFormBorderStyle borderStyle_ = bsSizeable;
  TBorderIcons borderIcons_ = biSystemMenu | biMinimize | biMaximize;
  TPosition position_ = poDesigned;
  TColor color_ = clBtnFace;
  TFont font_;
  bool closing_ = false;  // OnClose is running
  bool closed_ = false;   // closed and not shown since
};

}  // namespace forms
