// A test-only driver for the real Orvelle.exe: it starts the program, finds its windows,
// presses buttons and tool bar commands, reads the result list and the layered alpha from
// outside the process, and saves what the screen shows of a window as a PNG file.
//
// Usage: ui_driver.exe STEP [ARG]...   The steps run in order; the first that fails ends the
// driver with exit status 1 (and ends the program if it still runs).
//   start CMDLINE     start the program (the whole command line, the program first)
//   main              wait for the program's visible main window; it becomes the current one
//   window CLASS      wait for a visible top-level window of that class; it becomes current
//   caption TEXT      wait until the current window's caption is TEXT
//   click TEXT        press the enabled button captioned TEXT of the current window
//   command TEXT      run the main window's enabled tool bar command captioned TEXT
//   button TEXT       wait for a visible, enabled button captioned TEXT in the current window
//   rows N            wait until the result list holds N rows
//   files A|B|...     the result list's file names are these, in any order
//   results A|B|...   the result list's result texts are these, in any order
//   states S F        wait until every row is finished, S of them with success, F with failure
//   alpha N           the current window is layered with the alpha value N
//   key               press a key in the current window
//   close             ask the current window to close
//   gone              wait until the current window no longer exists
//   exit SECONDS      wait that long at most for the program to end, with exit code 0
//   shot FILE         save the current window, as the screen shows it, as a PNG file
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32_util.h"
#include "ui/win32/win32_ui.h"

namespace {

using orvelle::win32::Narrow;

// Upper bound for every wait, far above what any step needs.
constexpr DWORD kWaitLimitMs = 30000;
constexpr DWORD kPollMs = 50;
constexpr UINT kSendLimitMs = 5000;
constexpr wchar_t kMainClass[] = L"OrvelleMain";

struct Failure : std::runtime_error {
  explicit Failure(const std::wstring& what) : std::runtime_error(Narrow(what)) {}
};

std::wstring WindowText(HWND hwnd) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(hwnd, buffer, 1024);
  return buffer;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t buffer[256] = {};
  GetClassNameW(hwnd, buffer, 256);
  return buffer;
}

// Polls `ready` until it holds; false after the wait limit.
bool WaitFor(const std::function<bool()>& ready, DWORD limit_ms = kWaitLimitMs) {
  const ULONGLONG end = GetTickCount64() + limit_ms;
  while (!ready()) {
    if (GetTickCount64() > end) return false;
    Sleep(kPollMs);
  }
  return true;
}

using WindowTest = std::function<bool(HWND)>;

BOOL CALLBACK FindProc(HWND hwnd, LPARAM lp) {
  auto* search = reinterpret_cast<std::pair<const WindowTest*, HWND>*>(lp);
  if (!(*search->first)(hwnd)) return TRUE;
  search->second = hwnd;
  return FALSE;
}

// The first top-level window (no parent) or descendant of `parent` that passes `test`.
HWND FindWindowWhere(HWND parent, const WindowTest& test) {
  std::pair<const WindowTest*, HWND> search{&test, nullptr};
  if (parent == nullptr) {
    EnumWindows(FindProc, reinterpret_cast<LPARAM>(&search));
  } else {
    EnumChildWindows(parent, FindProc, reinterpret_cast<LPARAM>(&search));
  }
  return search.second;
}

// Memory inside the program: the list view and tool bar answer into their own address space.
class Remote {
 public:
  Remote(HANDLE process, size_t size) : process_(process) {
    address_ = static_cast<char*>(
        VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (address_ == nullptr) throw Failure(L"cannot allocate memory in the program");
  }
  ~Remote() { VirtualFreeEx(process_, address_, 0, MEM_RELEASE); }
  Remote(const Remote&) = delete;
  Remote& operator=(const Remote&) = delete;

  char* At(size_t offset) const { return address_ + offset; }
  void Write(const void* data, size_t size, size_t offset = 0) {
    if (!WriteProcessMemory(process_, At(offset), data, size, nullptr)) {
      throw Failure(L"cannot write the program's memory");
    }
  }
  void Read(void* data, size_t size, size_t offset = 0) const {
    if (!ReadProcessMemory(process_, At(offset), data, size, nullptr)) {
      throw Failure(L"cannot read the program's memory");
    }
  }

 private:
  HANDLE process_;
  char* address_ = nullptr;
};

LRESULT Send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(hwnd, msg, wp, lp, SMTO_ABORTIFHUNG, kSendLimitMs, &result)) {
    throw Failure(L"the program does not answer message " + std::to_wstring(msg));
  }
  return static_cast<LRESULT>(result);
}

// Deflate with the fixed code table, whose matches only repeat the pixel to the left or the
// one above: that is what flat window areas are made of, and no compression library is needed.
class Deflater {
 public:
  static std::string Compress(const std::string& raw, size_t row_bytes) {
    Deflater d;
    d.Bits(1, 1);  // the last block
    d.Bits(1, 2);  // fixed codes
    for (size_t pos = 0; pos < raw.size();) {
      size_t best = 0, best_distance = 0;
      for (size_t distance : {size_t{3}, row_bytes}) {
        if (distance > pos || distance > 32768) continue;
        size_t n = 0;
        while (n < 258 && pos + n < raw.size() && raw[pos + n] == raw[pos + n - distance]) ++n;
        if (n > best) {
          best = n;
          best_distance = distance;
        }
      }
      if (best >= 3) {
        d.Match(static_cast<int>(best), static_cast<int>(best_distance));
        pos += best;
      } else {
        d.Symbol(static_cast<unsigned char>(raw[pos++]));
      }
    }
    d.Symbol(256);
    if (d.used_ > 0) d.out_ += static_cast<char>(d.pending_);
    return d.out_;
  }

 private:
  // Extra bits go least significant first.
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      pending_ |= ((value >> i) & 1u) << used_;
      if (++used_ == 8) {
        out_ += static_cast<char>(pending_);
        pending_ = 0;
        used_ = 0;
      }
    }
  }
  // Codes go most significant first.
  void Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) Bits((code >> i) & 1u, 1);
  }
  void Symbol(int v) {
    if (v < 144) return Code(0x30 + v, 8);
    if (v < 256) return Code(0x190 + v - 144, 9);
    if (v < 280) return Code(v - 256, 7);
    Code(0xC0 + v - 280, 8);
  }
  void Match(int length, int distance) {
    static const int kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                        15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                        67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                         2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const int kDistanceBase[30] = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static const int kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                           6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    int l = 28;
    while (kLengthBase[l] > length) --l;
    Symbol(257 + l);
    Bits(static_cast<uint32_t>(length - kLengthBase[l]), kLengthExtra[l]);
    int d = 29;
    while (kDistanceBase[d] > distance) --d;
    Code(static_cast<uint32_t>(d), 5);
    Bits(static_cast<uint32_t>(distance - kDistanceBase[d]), kDistanceExtra[d]);
  }

  std::string out_;
  uint32_t pending_ = 0;
  int used_ = 0;
};

// 8-bit RGB PNG, unfiltered rows.
class PngWriter {
 public:
  static void Save(const std::wstring& path, int width, int height,
                   const std::vector<uint32_t>& bgra) {
    std::string raw;
    raw.reserve(static_cast<size_t>(height) * (1 + 3 * static_cast<size_t>(width)));
    for (int y = 0; y < height; ++y) {
      raw += '\0';  // no filter
      for (int x = 0; x < width; ++x) {
        const uint32_t p =
            bgra[static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)];
        raw += static_cast<char>((p >> 16) & 0xFF);
        raw += static_cast<char>((p >> 8) & 0xFF);
        raw += static_cast<char>(p & 0xFF);
      }
    }
    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    Put32(header, static_cast<uint32_t>(width));
    Put32(header, static_cast<uint32_t>(height));
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", Zlib(raw, 1 + 3 * static_cast<size_t>(width)));
    Chunk(png, "IEND", std::string());
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool ok = h != INVALID_HANDLE_VALUE &&
                    WriteFile(h, png.data(), static_cast<DWORD>(png.size()), &written, nullptr) &&
                    written == png.size();
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (!ok) throw Failure(L"cannot write " + path);
  }

 private:
  static void Put32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
  }
  static uint32_t Crc(const std::string& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
      crc ^= c;
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
  }
  static void Chunk(std::string& png, const char* type, const std::string& data) {
    Put32(png, static_cast<uint32_t>(data.size()));
    const std::string body = std::string(type, 4) + data;
    png += body;
    Put32(png, Crc(body));
  }
  static std::string Zlib(const std::string& raw, size_t row_bytes) {
    std::string out("\x78\x01", 2);
    out += Deflater::Compress(raw, row_bytes);
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
      a = (a + c) % 65521;
      b = (b + a) % 65521;
    }
    Put32(out, (b << 16) | a);
    return out;
  }
};

class Driver {
 public:
  ~Driver() {
    if (process_.hProcess != nullptr) {
      // A failed step must not leave the program waiting for a person.
      if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.hProcess, 1);
      }
      CloseHandle(process_.hProcess);
      CloseHandle(process_.hThread);
    }
  }

  // Runs the step at args[i]; returns the index of the next step.
  int Step(int argc, wchar_t** args, int i) {
    using Args = std::vector<std::wstring>;
    struct Kind {
      const wchar_t* name;
      int arity;
      void (*run)(Driver& d, const Args& a);
    };
    static const Kind kinds[] = {
        {L"start", 1, [](Driver& d, const Args& a) { d.Start(a[0]); }},
        {L"main", 0,
         [](Driver& d, const Args&) { d.current_ = d.main_ = d.WaitWindow(kMainClass); }},
        {L"window", 1, [](Driver& d, const Args& a) { d.current_ = d.WaitWindow(a[0]); }},
        {L"caption", 1, [](Driver& d, const Args& a) { d.Caption(a[0]); }},
        {L"click", 1, [](Driver& d, const Args& a) { d.Click(a[0]); }},
        {L"command", 1, [](Driver& d, const Args& a) { d.Command(a[0]); }},
        {L"button", 1, [](Driver& d, const Args& a) { d.WaitButton(a[0]); }},
        {L"rows", 1, [](Driver& d, const Args& a) { d.Rows(std::stoi(a[0])); }},
        {L"files", 1, [](Driver& d, const Args& a) { d.Column(1, a[0]); }},
        {L"results", 1, [](Driver& d, const Args& a) { d.Column(2, a[0]); }},
        {L"states", 2,
         [](Driver& d, const Args& a) { d.States(std::stoi(a[0]), std::stoi(a[1])); }},
        {L"alpha", 1, [](Driver& d, const Args& a) { d.Alpha(std::stoi(a[0])); }},
        {L"key", 0, [](Driver& d, const Args&) { d.Post(WM_KEYDOWN, VK_SPACE, 1); }},
        {L"close", 0, [](Driver& d, const Args&) { d.Post(WM_CLOSE, 0, 0); }},
        {L"gone", 0, [](Driver& d, const Args&) { d.Gone(); }},
        {L"exit", 1, [](Driver& d, const Args& a) { d.Exit(static_cast<DWORD>(std::stoi(a[0]))); }},
        {L"shot", 1, [](Driver& d, const Args& a) { d.Shot(a[0]); }},
    };
    for (const Kind& kind : kinds) {
      if (args[i] != std::wstring(kind.name)) continue;
      if (i + kind.arity >= argc) throw Failure(kind.name + std::wstring(L": missing argument"));
      kind.run(*this, Args(args + i + 1, args + i + 1 + kind.arity));
      return i + 1 + kind.arity;
    }
    throw Failure(L"unknown step " + std::wstring(args[i]));
  }

 private:
  void Start(std::wstring command_line) {
    // The pointer rests off every window, so no hint pops up in a screenshot.
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &process_)) {
      throw Failure(L"cannot start " + command_line);
    }
  }

  HANDLE Process() const {
    if (process_.hProcess == nullptr) throw Failure(L"no program started");
    return process_.hProcess;
  }

  HWND Current() const {
    if (current_ == nullptr) throw Failure(L"no current window");
    return current_;
  }

  HWND FindTopLevel(const std::wstring& cls) const {
    const DWORD program = process_.dwProcessId;
    return FindWindowWhere(nullptr, [&](HWND hwnd) {
      DWORD pid = 0;
      GetWindowThreadProcessId(hwnd, &pid);
      return pid == program && IsWindowVisible(hwnd) && ClassOf(hwnd) == cls;
    });
  }

  HWND WaitWindow(const std::wstring& cls) {
    Process();
    HWND found = nullptr;
    if (!WaitFor([&] { return (found = FindTopLevel(cls)) != nullptr; })) {
      throw Failure(L"no visible window of class " + cls);
    }
    return found;
  }

  HWND Child(const std::wstring& cls, const std::wstring& text = std::wstring()) const {
    return FindWindowWhere(Current(), [&](HWND hwnd) {
      return lstrcmpiW(ClassOf(hwnd).c_str(), cls.c_str()) == 0 &&
             (text.empty() || WindowText(hwnd) == text);
    });
  }

  HWND UsableButton(const std::wstring& text) const {
    HWND b = Child(L"Button", text);
    return b != nullptr && IsWindowVisible(b) && IsWindowEnabled(b) ? b : nullptr;
  }

  void Caption(const std::wstring& want) const {
    std::wstring got;
    if (!WaitFor([&] { return (got = WindowText(Current())) == want; })) {
      throw Failure(L"caption is \"" + got + L"\", expected \"" + want + L"\"");
    }
  }

  void Click(const std::wstring& text) const {
    HWND b = UsableButton(text);
    if (b == nullptr) throw Failure(L"no visible, enabled button \"" + text + L"\"");
    // Posted: a click that opens a modal window returns only when that window closes.
    PostMessageW(b, BM_CLICK, 0, 0);
  }

  void WaitButton(const std::wstring& text) const {
    if (!WaitFor([&] { return UsableButton(text) != nullptr; })) {
      throw Failure(L"button \"" + text + L"\" did not become visible and enabled");
    }
  }

  void Command(const std::wstring& text) const {
    HWND toolbar = Child(TOOLBARCLASSNAMEW);
    if (toolbar == nullptr) throw Failure(L"no tool bar");
    Remote mem(Process(), 4096);
    const int count = static_cast<int>(Send(toolbar, TB_BUTTONCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
      TBBUTTON button{};
      if (!Send(toolbar, TB_GETBUTTON, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(mem.At(0))))
        continue;
      mem.Read(&button, sizeof(button));
      if (button.fsStyle & BTNS_SEP) continue;
      wchar_t caption[256] = {};
      mem.Write(caption, sizeof(caption), 1024);
      Send(toolbar, TB_GETBUTTONTEXTW, static_cast<WPARAM>(button.idCommand),
           reinterpret_cast<LPARAM>(mem.At(1024)));
      mem.Read(caption, sizeof(caption) - sizeof(wchar_t), 1024);
      if (caption != text) continue;
      if (!Send(toolbar, TB_ISBUTTONENABLED, static_cast<WPARAM>(button.idCommand), 0)) {
        throw Failure(L"tool bar command \"" + text + L"\" is disabled");
      }
      PostMessageW(GetParent(toolbar), WM_COMMAND,
                   MAKEWPARAM(static_cast<WORD>(button.idCommand), BN_CLICKED),
                   reinterpret_cast<LPARAM>(toolbar));
      return;
    }
    throw Failure(L"no tool bar command \"" + text + L"\"");
  }

  HWND List() const {
    if (main_ == nullptr) throw Failure(L"no main window");
    HWND list = FindWindowWhere(main_, [](HWND hwnd) { return ClassOf(hwnd) == WC_LISTVIEWW; });
    if (list == nullptr) throw Failure(L"no result list");
    return list;
  }

  int RowCount() const { return static_cast<int>(Send(List(), LVM_GETITEMCOUNT, 0, 0)); }

  void Rows(int want) const {
    int got = -1;
    if (!WaitFor([&] { return (got = RowCount()) == want; })) {
      throw Failure(L"the list holds " + std::to_wstring(got) + L" rows, expected " +
                    std::to_wstring(want));
    }
  }

  // One column of every row, through the program's own list view.
  std::vector<std::wstring> Texts(int column) const {
    HWND list = List();
    Remote mem(Process(), 8192);
    std::vector<std::wstring> names;
    const int count = RowCount();
    for (int row = 0; row < count; ++row) {
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = reinterpret_cast<wchar_t*>(mem.At(1024));
      item.cchTextMax = 2048;
      mem.Write(&item, sizeof(item));
      const int n = static_cast<int>(Send(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                                          reinterpret_cast<LPARAM>(mem.At(0))));
      std::wstring text(static_cast<size_t>(std::max(n, 0)), L'\0');
      if (n > 0) mem.Read(&text[0], static_cast<size_t>(n) * sizeof(wchar_t), 1024);
      names.push_back(text);
    }
    return names;
  }

  void Column(int column, const std::wstring& joined) const {
    std::vector<std::wstring> want;
    for (size_t pos = 0;;) {
      const size_t bar = joined.find(L'|', pos);
      want.push_back(joined.substr(pos, bar - pos));
      if (bar == std::wstring::npos) break;
      pos = bar + 1;
    }
    std::vector<std::wstring> got = Texts(column);
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    if (got != want) {
      std::wstring listed;
      for (const auto& g : got) listed += L"\n  " + g;
      throw Failure(L"column " + std::to_wstring(column + 1) + L" of the list shows:" + listed);
    }
  }

  std::vector<int> Images() const {
    HWND list = List();
    Remote mem(Process(), 1024);
    std::vector<int> images;
    const int count = RowCount();
    for (int row = 0; row < count; ++row) {
      LVITEMW item{};
      item.mask = LVIF_IMAGE;
      item.iItem = row;
      item.iImage = -1;
      mem.Write(&item, sizeof(item));
      Send(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(mem.At(0)));
      mem.Read(&item, sizeof(item));
      images.push_back(item.iImage);
    }
    return images;
  }

  void States(int successes, int failures) const {
    std::vector<int> images;
    auto finished = [&] {
      images = Images();
      return !images.empty() &&
             std::none_of(images.begin(), images.end(), [](int image) { return image == 0; });
    };
    if (!WaitFor(finished)) throw Failure(L"rows still running after the wait");
    const auto ok = std::count(images.begin(), images.end(), 1);
    const auto failed = std::count(images.begin(), images.end(), 2);
    if (ok != successes || failed != failures || ok + failed != static_cast<long>(images.size())) {
      throw Failure(L"row states: " + std::to_wstring(ok) + L" success, " +
                    std::to_wstring(failed) + L" failure, of " + std::to_wstring(images.size()) +
                    L" rows");
    }
  }

  void Alpha(int want) const {
    HWND hwnd = Current();
    if (!(GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_LAYERED)) {
      throw Failure(L"the window is not layered");
    }
    BYTE alpha = 0;
    DWORD flags = 0;
    if (!GetLayeredWindowAttributes(hwnd, nullptr, &alpha, &flags) || !(flags & LWA_ALPHA) ||
        alpha != want) {
      throw Failure(L"layered alpha is " + std::to_wstring(alpha) + L" (flags " +
                    std::to_wstring(flags) + L"), expected " + std::to_wstring(want));
    }
  }

  void Post(UINT msg, WPARAM wp, LPARAM lp) const { PostMessageW(Current(), msg, wp, lp); }

  void Gone() {
    HWND hwnd = Current();
    if (!WaitFor([hwnd] { return !IsWindow(hwnd); })) throw Failure(L"the window stays open");
    if (hwnd == main_) main_ = nullptr;
    current_ = main_;
  }

  void Exit(DWORD seconds) const {
    if (WaitForSingleObject(Process(), seconds * 1000) != WAIT_OBJECT_0) {
      throw Failure(L"the program still runs after " + std::to_wstring(seconds) + L" s");
    }
    DWORD code = 1;
    GetExitCodeProcess(process_.hProcess, &code);
    if (code != 0) throw Failure(L"the program ended with exit code " + std::to_wstring(code));
  }

  static std::vector<uint32_t> Capture(const RECT& r) {
    const int w = r.right - r.left, h = r.bottom - r.top;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP dib = orvelle::win32::MakeDib(w, h, &bits);
    std::vector<uint32_t> pixels;
    if (dib != nullptr && bits != nullptr) {
      HGDIOBJ old = SelectObject(mem, dib);
      BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
      GdiFlush();
      const auto* p = static_cast<const uint32_t*>(bits);
      pixels.assign(p, p + static_cast<size_t>(w) * static_cast<size_t>(h));
      SelectObject(mem, old);
      DeleteObject(dib);
    }
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return pixels;
  }

  void Shot(const std::wstring& path) const {
    HWND hwnd = Current();
    RedrawWindow(hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    RECT r{};
    GetWindowRect(hwnd, &r);
    // The screen catches up with the program's painting: take it once two captures agree.
    std::vector<uint32_t> last, now = Capture(r);
    for (int tries = 0; tries < 40 && now != last; ++tries) {
      Sleep(100);
      last = now;
      now = Capture(r);
    }
    if (now.empty()) throw Failure(L"cannot capture the screen");
    if (std::all_of(now.begin(), now.end(), [&](uint32_t p) { return p == now.front(); })) {
      throw Failure(L"the screen shows nothing of the window");
    }
    PngWriter::Save(path, r.right - r.left, r.bottom - r.top, now);
  }

  PROCESS_INFORMATION process_{};
  HWND main_ = nullptr;
  HWND current_ = nullptr;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Driver driver;
  int i = 1;
  try {
    while (i < argc) {
      const int next = driver.Step(argc, argv, i);
      std::fprintf(stdout, "ui_driver: %s ok\n", Narrow(argv[i]).c_str());
      i = next;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ui_driver: step %s failed: %s\n", i < argc ? Narrow(argv[i]).c_str() : "",
                 e.what());
    return 1;
  }
  return 0;
}
