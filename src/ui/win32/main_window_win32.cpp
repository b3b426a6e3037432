// The main window: tool bar, the source and target rows, the result list and its menus.
#include "ui/win32/main_window_win32.h"

#include <shellapi.h>

#include <cwchar>

#include "platform/win32_util.h"
#include "product/exception_hook.h"
#include "ui/icons.h"

namespace orvelle::win32 {
namespace {

constexpr wchar_t kClass[] = L"OrvelleMain";
constexpr UINT_PTR kRepeatTimer = 1;
constexpr int kBevel = 1;

enum : int {
  kIdActionBase = 100,  // + the action's index: tool bar buttons
  kIdSource = 200,
  kIdSourceLabel,
  kIdBrowseSource,
  kIdSourceFile,
  kIdSubdir,
  kIdSearch,
  kIdTarget,
  kIdTargetLabel,
  kIdBrowseTarget,
  kIdView,
  kIdSearchConvert,
  kIdCreate,
  kIdList,
  kIdToolBar,
  kIdSourceDoubleClick,
  kIdTargetDoubleClick,
  kIdBrowseFiles1 = 300,
  kIdViewSource1,
  kIdOpenSource1,
  kIdViewOutput1,
  kIdExportList1,
  kIdRecentBase = 400,
  kIdHintSource = 900,
  kIdHintTarget,
};

int ActionId(TkxAction a) { return kIdActionBase + static_cast<int>(a); }

LRESULT CALLBACK MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(hwnd, msg, wp, lp);
  try {
    return self->Handle(hwnd, msg, wp, lp);
  } catch (...) {
    // The handler is abandoned; the program goes on.
    ReportEscapedException(std::current_exception());
    return 0;
  }
}

// Edits run a command of their parent on a double-click.
LRESULT CALLBACK EditProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id, DWORD_PTR cmd) {
  if (msg == WM_LBUTTONDBLCLK) {
    const LRESULT r = DefSubclassProc(hwnd, msg, wp, lp);
    PostMessageW(GetParent(hwnd), WM_COMMAND, MAKEWPARAM(static_cast<WORD>(cmd), 0), 0);
    return r;
  }
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(hwnd, EditProc, id);
  return DefSubclassProc(hwnd, msg, wp, lp);
}

std::wstring WindowText(HWND hwnd) {
  const int n = GetWindowTextLengthW(hwnd);
  std::wstring buffer(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(hwnd, &buffer[0], n + 1);
  buffer.resize(static_cast<size_t>(n));
  return buffer;
}

}  // namespace

MainWindow::MainWindow(TkxProject& project, TkxInfo* info)
    : texts_(TessolyMainTexts()),
      logic_(std::make_unique<TkxFrmTessolyMain>(*this, project, info)) {}

MainWindow::~MainWindow() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  if (imgList_ != nullptr) ImageList_Destroy(imgList_);
}

HWND MainWindow::Create() {
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kClass;
    RegisterClassExW(&wc);
    registered = true;
  }
  hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClass, L"", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                          kFormLeft, kFormTop, kFormWidth, kFormHeight, nullptr, nullptr,
                          GetModuleHandleW(nullptr), this);
  if (hwnd_ == nullptr) return nullptr;
  CreateComponents();
  Layout();
  logic_->FormCreate();
  DragAcceptFiles(hwnd_, TRUE);
  return hwnd_;
}

void MainWindow::CreateComponents() {
  HINSTANCE inst = GetModuleHandleW(nullptr);
  ApplyFont(hwnd_, FormFont());
  imgList_ = MakeImageList();
  tips_ = CreateHintWindow(hwnd_);

  toolbar_ = CreateWindowExW(
      0, TOOLBARCLASSNAMEW, nullptr,
      WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | TBSTYLE_LIST | TBSTYLE_TOOLTIPS | CCS_TOP |
          CCS_NODIVIDER,
      0, 0, 0, 24, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kIdToolBar)), inst, nullptr);
  ApplyFont(toolbar_, FormFont());
  SendMessageW(toolbar_, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
  SendMessageW(toolbar_, TB_SETEXTENDEDSTYLE, 0, TBSTYLE_EX_DRAWDDARROWS);
  SendMessageW(toolbar_, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(imgList_));
  SendMessageW(toolbar_, TB_SETBUTTONWIDTH, 0, MAKELPARAM(101, 101));
  struct Tool {
    TkxAction action;
    TkxIcon icon;
    int separator_after;  // width of a separator after the button, 0 for none
  };
  const Tool tools[] = {
      {TkxAction::aOpen, TkxIcon::Open, 0},         {TkxAction::aNew, TkxIcon::New, 0},
      {TkxAction::aConfig, TkxIcon::Config, 0},     {TkxAction::aSave, TkxIcon::Save, 0},
      {TkxAction::aSaveAs, TkxIcon::SaveAs, 8},     {TkxAction::aUpdate, TkxIcon::Update, 6},
      {TkxAction::aHelp, TkxIcon::Help, 0},         {TkxAction::aHomePage, TkxIcon::HomePage, 0},
      {TkxAction::aSupports, TkxIcon::Supports, 0}, {TkxAction::aAbout, TkxIcon::About, 0},
  };
  tool_text_.reserve(std::size(tools));
  std::vector<TBBUTTON> buttons;
  for (const Tool& t : tools) {
    tool_text_.push_back(Widen(texts_.Caption(t.action)));
    TBBUTTON b{};
    b.iBitmap = static_cast<int>(t.icon);
    b.idCommand = ActionId(t.action);
    b.fsState = TBSTATE_ENABLED;
    b.fsStyle = static_cast<BYTE>(t.action == TkxAction::aOpen ? BTNS_DROPDOWN : BTNS_BUTTON);
    b.iString = reinterpret_cast<INT_PTR>(tool_text_.back().c_str());
    buttons.push_back(b);
    if (t.separator_after > 0) {
      TBBUTTON sep{};
      sep.iBitmap = t.separator_after;
      sep.fsStyle = BTNS_SEP;
      buttons.push_back(sep);
    }
  }
  SendMessageW(toolbar_, TB_ADDBUTTONSW, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));
  SendMessageW(toolbar_, TB_AUTOSIZE, 0, 0);

  auto child = [&](const wchar_t* cls, const std::wstring& text, DWORD style, DWORD ex, int id) {
    HWND h =
        CreateWindowExW(ex, cls, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, hwnd_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
    ApplyFont(h, FormFont());
    return h;
  };
  // Creation order is the tab order of each row.
  lSource_ = child(L"STATIC", Widen(texts_.eSourceLabel), SS_RIGHT, 0, kIdSourceLabel);
  eSource_ = child(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, kIdSource);
  bSource_ = child(L"BUTTON", Widen(texts_.bSourceCaption), WS_TABSTOP | BS_PUSHBUTTON, 0,
                   kIdBrowseSource);
  bSourceFile_ = child(L"BUTTON", Widen(texts_.bSourceFileCaption), WS_TABSTOP | BS_PUSHBUTTON, 0,
                       kIdSourceFile);
  cSubdir_ = child(L"BUTTON", Widen(texts_.cSubdirCaption),
                   WS_TABSTOP | BS_AUTOCHECKBOX | BS_LEFTTEXT, 0, kIdSubdir);
  bSearch_ = child(L"BUTTON", Widen(texts_.Caption(TkxAction::aSearch)), WS_TABSTOP | BS_PUSHBUTTON,
                   0, kIdSearch);
  lTarget_ = child(L"STATIC", Widen(texts_.eTargetLabel), SS_RIGHT, 0, kIdTargetLabel);
  eTarget_ = child(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, kIdTarget);
  bTarget_ = child(L"BUTTON", Widen(texts_.bTargetCaption), WS_TABSTOP | BS_PUSHBUTTON, 0,
                   kIdBrowseTarget);
  bSearchConvert_ = child(L"BUTTON", Widen(texts_.Caption(TkxAction::aSearchConvert)),
                          WS_TABSTOP | BS_PUSHBUTTON, 0, kIdSearchConvert);
  ShowWindow(bSearchConvert_, SW_HIDE);
  bCreate_ = child(L"BUTTON", Widen(texts_.Caption(TkxAction::aConvert)),
                   WS_TABSTOP | BS_PUSHBUTTON, 0, kIdCreate);
  bView_ = child(L"BUTTON", Widen(texts_.Caption(TkxAction::aView)),
                 WS_TABSTOP | BS_PUSHBUTTON | BS_MULTILINE, 0, kIdView);
  SetWindowSubclass(eSource_, EditProc, 1, kIdSourceDoubleClick);
  SetWindowSubclass(eTarget_, EditProc, 2, kIdTargetDoubleClick);

  lViewer_ = child(WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS,
                   WS_EX_CLIENTEDGE, kIdList);
  ListView_SetExtendedListViewStyle(lViewer_, LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER);
  ListView_SetImageList(lViewer_, imgList_, LVSIL_SMALL);
  for (int i = 0; i < 3; ++i) {
    std::wstring caption = Widen(texts_.ColumnCaption[static_cast<size_t>(i)]);
    LVCOLUMNW col{};
    col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    col.cx = texts_.ColumnWidth[static_cast<size_t>(i)];
    col.pszText = &caption[0];
    col.iSubItem = i;
    ListView_InsertColumn(lViewer_, i, &col);
  }

  SetControlHint(tips_, hwnd_, bSource_, texts_.bSourceHint);
  SetControlHint(tips_, hwnd_, bSourceFile_, texts_.bSourceFileHint);
  SetControlHint(tips_, hwnd_, bSearch_, texts_.Hint(TkxAction::aSearch));
  SetControlHint(tips_, hwnd_, bTarget_, texts_.bTargetHint);
  SetControlHint(tips_, hwnd_, bView_, texts_.bViewHint);
  SetControlHint(tips_, hwnd_, bCreate_, texts_.bCreateHint);
  SetControlHint(tips_, hwnd_, lViewer_, texts_.lViewerHint);
}

void MainWindow::Layout() {
  RECT client{};
  GetClientRect(hwnd_, &client);
  SendMessageW(toolbar_, TB_AUTOSIZE, 0, 0);
  RECT tb{};
  GetWindowRect(toolbar_, &tb);
  const int top = tb.bottom - tb.top;
  pAction_ = RECT{0, top, client.right, top + 70};
  pSource_ = RECT{kBevel, top + kBevel, client.right - kBevel, top + kBevel + 32};
  pTarget_ = RECT{kBevel, pSource_.bottom, client.right - kBevel, pSource_.bottom + 30};
  pViewer_ = RECT{0, pAction_.bottom + 2, client.right, client.bottom};

  HDWP dwp = BeginDeferWindowPos(16);
  auto place = [&dwp](HWND h, const RECT& panel, int x, int y, int w, int hgt) {
    dwp = DeferWindowPos(dwp, h, nullptr, panel.left + x, panel.top + y, w, hgt,
                         SWP_NOZORDER | SWP_NOACTIVATE);
  };
  place(lSource_, pSource_, 0, 13, 46, 15);
  place(eSource_, pSource_, 50, 10, 500, 21);
  place(bSource_, pSource_, 550, 10, 38, 21);
  place(bSourceFile_, pSource_, 588, 10, 38, 21);
  place(cSubdir_, pSource_, 634, 12, 72, 17);
  place(bSearch_, pSource_, 710, 10, 76, 21);
  place(lTarget_, pTarget_, 0, 9, 46, 15);
  place(eTarget_, pTarget_, 50, 6, 500, 21);
  place(bTarget_, pTarget_, 550, 6, 38, 21);
  place(bView_, pTarget_, 588, 6, 38, 21);
  place(bSearchConvert_, pTarget_, 630, 6, 76, 21);
  place(bCreate_, pTarget_, 710, 6, 76, 21);
  place(lViewer_, pViewer_, 0, 0, pViewer_.right - pViewer_.left,
        std::max(0L, pViewer_.bottom - pViewer_.top));
  EndDeferWindowPos(dwp);
  SetAreaHint(tips_, hwnd_, kIdHintSource, pSource_, texts_.pSourceHint);
  SetAreaHint(tips_, hwnd_, kIdHintTarget, pTarget_, texts_.pTargetHint);
}

void MainWindow::Paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd_, &ps);
  RECT action = pAction_;
  DrawEdge(dc, &action, BDR_SUNKENOUTER, BF_RECT);
  EndPaint(hwnd_, &ps);
}

LRESULT MainWindow::Handle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SIZE:
      if (toolbar_ != nullptr) Layout();
      return 0;
    case WM_PAINT:
      Paint();
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wp));
      return 0;
    case WM_NOTIFY:
      return OnNotify(reinterpret_cast<NMHDR*>(lp));
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wp) == lViewer_) {
        OnListMenu(static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp)));
        return 0;
      }
      break;
    case WM_DROPFILES:
      OnDropFiles(reinterpret_cast<HDROP>(wp));
      return 0;
    case WM_TIMER:
      if (wp == kRepeatTimer) logic_->OnRepeatTimer();
      return 0;
    case WM_CLOSE:
      if (logic_->FormCloseQuery()) DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      DragAcceptFiles(hwnd, FALSE);
      logic_->FormDestroy();
      hwnd_ = nullptr;
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

void MainWindow::OnCommand(int id) {
  if (id >= kIdActionBase && id < kIdActionBase + kActionCount) {
    logic_->Execute(static_cast<TkxAction>(id - kIdActionBase));
    return;
  }
  switch (id) {
    case kIdBrowseSource:
      logic_->bSourceClick();
      break;
    case kIdSourceFile:
    case kIdSourceDoubleClick:
    case kIdBrowseFiles1:
      logic_->bSourceFileClick();
      break;
    case kIdBrowseTarget:
    case kIdTargetDoubleClick:
      logic_->bTargetClick();
      break;
    case kIdSearch:
      logic_->Execute(TkxAction::aSearch);
      break;
    case kIdView:
    case kIdViewOutput1:
      logic_->Execute(TkxAction::aView);
      break;
    case kIdCreate:
      logic_->Execute(logic_->ButtonAction(TkxButton::bCreate));
      break;
    case kIdSearchConvert:
      logic_->Execute(logic_->ButtonAction(TkxButton::bSearchConvert));
      break;
    case kIdViewSource1:
      logic_->ViewSource1Click();
      break;
    case kIdOpenSource1:
      logic_->OpenSource1Click();
      break;
    case kIdExportList1:
      logic_->ExportList1Click();
      break;
  }
}

LRESULT MainWindow::OnNotify(NMHDR* header) {
  if (header->hwndFrom == toolbar_ && header->code == TBN_DROPDOWN) {
    if (reinterpret_cast<NMTOOLBARW*>(header)->iItem == ActionId(TkxAction::aOpen)) {
      OnRecentMenu();
    }
    return TBDDRET_DEFAULT;
  }
  if (header->code == TTN_GETDISPINFOW &&
      header->hwndFrom == reinterpret_cast<HWND>(SendMessageW(toolbar_, TB_GETTOOLTIPS, 0, 0))) {
    auto* info = reinterpret_cast<NMTTDISPINFOW*>(header);
    const int id = static_cast<int>(header->idFrom);
    static std::wstring hint;
    hint.clear();
    if (id >= kIdActionBase && id < kIdActionBase + kActionCount) {
      hint = Widen(texts_.Hint(static_cast<TkxAction>(id - kIdActionBase)));
    }
    info->lpszText = &hint[0];
    return 0;
  }
  if (header->hwndFrom == lViewer_ && header->code == LVN_GETDISPINFOW) {
    LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
    if (item.iItem < 0 || item.iItem >= logic_->RowCount()) return 0;
    const TkxRow& row = logic_->Row(item.iItem);
    if ((item.mask & LVIF_IMAGE) && item.iSubItem == 0) item.iImage = row.Image;
    if ((item.mask & LVIF_TEXT) && item.cchTextMax > 0) {
      std::wstring text;
      if (item.iSubItem == 1) text = Widen(row.Path);
      if (item.iSubItem == 2) text = Widen(row.Result);
      wcsncpy(item.pszText, text.c_str(), static_cast<size_t>(item.cchTextMax) - 1);
      item.pszText[item.cchTextMax - 1] = L'\0';
    }
    return 0;
  }
  // The state column keeps its width.
  if (header->code == HDN_BEGINTRACKW || header->code == HDN_BEGINTRACKA ||
      header->code == HDN_DIVIDERDBLCLICKW || header->code == HDN_DIVIDERDBLCLICKA) {
    if (reinterpret_cast<NMHEADERW*>(header)->iItem == 0) return TRUE;
  }
  return 0;
}

void MainWindow::OnDropFiles(HDROP drop) {
  POINT pt{};
  DragQueryPoint(drop, &pt);
  HWND under = ChildWindowFromPointEx(hwnd_, pt, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
  TkxDropTarget target = TkxDropTarget::None;
  if (under == lViewer_) target = TkxDropTarget::lViewer;
  if (under == eSource_) target = TkxDropTarget::eSource;
  if (under == eTarget_) target = TkxDropTarget::eTarget;
  std::vector<std::string> paths;
  if (target != TkxDropTarget::None) {
    const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
      wchar_t buffer[1024] = {};
      if (DragQueryFileW(drop, i, buffer, 1024) > 0) paths.push_back(Narrow(buffer));
    }
  }
  DragFinish(drop);
  if (target != TkxDropTarget::None) logic_->DropFiles(target, paths);
}

void MainWindow::OnListMenu(int x, int y) {
  if (x == -1 && y == -1) {
    RECT r{};
    GetWindowRect(lViewer_, &r);
    x = r.left + 8;
    y = r.top + 24;
  }
  const TkxListMenu state = logic_->pm1Popup();
  HMENU menu = CreatePopupMenu();
  auto add = [&](int id, const std::string& caption, bool enabled) {
    AppendMenuW(menu, MF_STRING | (enabled ? MF_ENABLED : MF_GRAYED), static_cast<UINT_PTR>(id),
                Widen(caption).c_str());
  };
  add(kIdBrowseFiles1, texts_.BrowseFiles1, state.BrowseFiles);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  add(kIdViewSource1, texts_.ViewSource1, state.ViewSource);
  add(kIdOpenSource1, texts_.OpenSource1, state.OpenSource);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  add(kIdViewOutput1, texts_.ViewOutput1, state.ViewOutput);
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  add(kIdExportList1, texts_.ExportList1, state.ExportList);
  const int chosen = TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, x, y, 0, hwnd_, nullptr);
  DestroyMenu(menu);
  if (chosen != 0) OnCommand(chosen);
}

void MainWindow::OnRecentMenu() {
  const std::vector<TkxMenuItem> items = logic_->pm2Popup();
  HMENU menu = CreatePopupMenu();
  for (size_t i = 0; i < items.size(); ++i) {
    AppendMenuW(menu, MF_STRING | (items[i].Enabled ? MF_ENABLED : MF_GRAYED),
                static_cast<UINT_PTR>(kIdRecentBase + static_cast<int>(i)),
                LiteralText(items[i].Caption).c_str());
  }
  RECT r{};
  SendMessageW(toolbar_, TB_GETRECT, ActionId(TkxAction::aOpen), reinterpret_cast<LPARAM>(&r));
  MapWindowPoints(toolbar_, nullptr, reinterpret_cast<POINT*>(&r), 2);
  const int chosen =
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_LEFTALIGN, r.left, r.bottom, 0, hwnd_, nullptr);
  DestroyMenu(menu);
  const int index = chosen - kIdRecentBase;
  if (chosen != 0 && index >= 0 && index < static_cast<int>(items.size())) {
    logic_->RecentProjectClick(items[static_cast<size_t>(index)].Caption);
  }
}

HWND MainWindow::Control(const std::string& name) const {
  const std::pair<const char*, HWND> controls[] = {
      {"ToolBar", toolbar_},   {"eSource", eSource_},
      {"bSource", bSource_},   {"bSourceFile", bSourceFile_},
      {"cSubdir", cSubdir_},   {"bSearch", bSearch_},
      {"eTarget", eTarget_},   {"bTarget", bTarget_},
      {"bView", bView_},       {"bSearchConvert", bSearchConvert_},
      {"bCreate", bCreate_},   {"lViewer", lViewer_},
      {"lblSource", lSource_}, {"lblTarget", lTarget_}};
  for (const auto& [n, h] : controls) {
    if (name == n) return h;
  }
  return nullptr;
}

// --- TkxMainView ---

HWND MainWindow::FieldWindow(TkxField field) const {
  return field == TkxField::eSource ? eSource_ : eTarget_;
}

HWND MainWindow::ButtonWindow(TkxButton button) const {
  return button == TkxButton::bCreate ? bCreate_ : bSearchConvert_;
}

std::string MainWindow::FieldText(TkxField field) const {
  return Narrow(WindowText(FieldWindow(field)));
}

void MainWindow::SetFieldText(TkxField field, const std::string& text) {
  SetWindowTextW(FieldWindow(field), Widen(text).c_str());
}

bool MainWindow::SubdirChecked() const {
  return SendMessageW(cSubdir_, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void MainWindow::SetSubdirChecked(bool checked) {
  SendMessageW(cSubdir_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void MainWindow::FocusField(TkxField field) { SetFocus(FieldWindow(field)); }

void MainWindow::SetCaption(const std::string& caption) {
  SetWindowTextW(hwnd_, Widen(caption).c_str());
}

void MainWindow::SetActionEnabled(TkxAction action, bool enabled) {
  const int index = static_cast<int>(action);
  if (action <= TkxAction::aAbout) {
    SendMessageW(toolbar_, TB_ENABLEBUTTON, kIdActionBase + index, MAKELPARAM(enabled, 0));
  }
  if (action == TkxAction::aSearch) EnableWindow(bSearch_, enabled);
  if (action == TkxAction::aView) EnableWindow(bView_, enabled);
  for (TkxButton b : {TkxButton::bCreate, TkxButton::bSearchConvert}) {
    if (logic_->ButtonAction(b) == action) EnableWindow(ButtonWindow(b), enabled);
  }
}

void MainWindow::SetButtonAction(TkxButton button, TkxAction action) { RefreshButton(button); }

void MainWindow::RefreshButton(TkxButton button) {
  const TkxAction action = logic_->ButtonAction(button);
  HWND h = ButtonWindow(button);
  SetWindowTextW(h, Widen(texts_.Caption(action)).c_str());
  EnableWindow(h, logic_->ActionEnabled(action));
  const bool create = button == TkxButton::bCreate;
  std::string hint = texts_.Hint(action);
  if (create && action == TkxAction::aConvert) hint = texts_.bCreateHint;
  SetControlHint(tips_, hwnd_, h, hint);
  // The second button hides while it follows the invisible Start action.
  if (!create) ShowWindow(h, action == TkxAction::aSearchConvert ? SW_HIDE : SW_SHOW);
}

void MainWindow::RowsChanged(int count) {
  ListView_SetItemCountEx(lViewer_, count, LVSICF_NOSCROLL);
  InvalidateRect(lViewer_, nullptr, FALSE);
}

void MainWindow::RowChanged(int row) { ListView_RedrawItems(lViewer_, row, row); }

std::vector<int> MainWindow::SelectedRows() const {
  std::vector<int> rows;
  int i = -1;
  while ((i = ListView_GetNextItem(lViewer_, i, LVNI_SELECTED)) >= 0) rows.push_back(i);
  return rows;
}

void MainWindow::ShowConfig(TkxFrmCfg& cfg) { ShowConfigDialog(hwnd_, cfg); }

void MainWindow::ShowAbout() {
  if (OnAbout) OnAbout();
}

void MainWindow::StartRepeatTimer(int milliseconds) {
  SetTimer(hwnd_, kRepeatTimer, static_cast<UINT>(milliseconds), nullptr);
}

void MainWindow::StopRepeatTimer() {
  if (hwnd_ != nullptr) KillTimer(hwnd_, kRepeatTimer);
}

void MainWindow::Close() {
  if (hwnd_ != nullptr) PostMessageW(hwnd_, WM_CLOSE, 0, 0);
}

}  // namespace orvelle::win32
