// boxdriver: plays the user of a Windows program that talks through message
// boxes, for the end-to-end tests under Wine. Test-only; never shipped.
//
//   boxdriver play TRANSCRIPT ANSWERS SECONDS SHOTDIR PROGRAM [ARGS...]
//     Starts PROGRAM in the current folder and answers each of its message
//     boxes with the next word of ANSWERS (comma-separated ok, cancel, yes,
//     no; "-" for none), pressing the box's first button once the words have
//     run out. Every box becomes one JSON line of TRANSCRIPT (UTF-8): caption,
//     text, buttons left to right, icon (stop, question, information,
//     exclamation, none or unknown), whether it has an owner window, its
//     screen rectangle, the button pressed and the milliseconds since the
//     start. The last line holds the program's exit code (and the time), or
//     says that it ran past SECONDS and was ended.
//     Unless SHOTDIR is "-", a picture of each box is saved there as
//     box-N.bmp. Exit code 0 when the program ended in time.
//
//   boxdriver hold mutex|event NAME
//     Plays the running game: creates the named object (an event, so that
//     creating a mutex of that name fails), writes "held" on standard output
//     and keeps the object until standard input has a line or ends.
//
//   boxdriver acp
//     Writes the ANSI code page (932 where the tests expect it).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr,
                              nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::string Json(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20) {
      char b[8];
      snprintf(b, sizeof b, "\\u%04x", c);
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The text of a window of another process: asked with WM_GETTEXT, since
// GetWindowText does not read other processes' controls.
std::wstring TextOf(HWND h) {
  DWORD_PTR len = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &len)) return {};
  std::wstring s(len + 1, L'\0');
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(h, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(s.data()),
                           SMTO_ABORTIFHUNG, 2000, &got)) {
    return {};
  }
  s.resize(std::min<size_t>(got, len));
  return s;
}

std::wstring ClassOf(HWND h) {
  wchar_t name[64] = {};
  GetClassNameW(h, name, 64);
  return name;
}

// --- Finding a box ---------------------------------------------------------

struct BoxSearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindBox(HWND h, LPARAM param) {
  auto* search = reinterpret_cast<BoxSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(h, &pid);
  if (pid == search->pid && IsWindowVisible(h) && ClassOf(h) == L"#32770") {
    search->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND VisibleBoxOf(DWORD pid) {
  BoxSearch search{pid, nullptr};
  EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// --- Reading a box ---------------------------------------------------------

struct Button {
  int id;
  LONG left;
  HWND hwnd;
};

struct Parts {
  std::vector<Button> buttons;
  HWND text = nullptr;
  HWND icon = nullptr;
};

const char* ButtonName(int id) {
  switch (id) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    case IDTRYAGAIN:
      return "TryAgain";
    case IDCONTINUE:
      return "Continue";
    default:
      return "?";
  }
}

BOOL CALLBACK CollectPart(HWND h, LPARAM param) {
  auto* parts = reinterpret_cast<Parts*>(param);
  if (!IsWindowVisible(h)) return TRUE;
  int id = GetDlgCtrlID(h);
  std::wstring cls = ClassOf(h);
  if (_wcsicmp(cls.c_str(), L"Button") == 0 && std::strcmp(ButtonName(id), "?") != 0) {
    RECT r;
    GetWindowRect(h, &r);
    parts->buttons.push_back({id, r.left, h});
  } else if (_wcsicmp(cls.c_str(), L"Static") == 0) {
    if ((GetWindowLongW(h, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      parts->icon = h;
    } else if (id == 0xFFFF) {
      parts->text = h;
    }
  }
  return TRUE;
}

// 32-bit pixels (0x00RRGGBB), top row first.
using Pixels = std::vector<uint32_t>;

class Canvas {
 public:
  Canvas(int w, int h) : w_(w), h_(h) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = -h;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    dc_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits_, nullptr, 0);
    old_ = SelectObject(dc_, bitmap_);
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  HDC dc() const { return dc_; }
  Pixels Read() const {
    GdiFlush();
    const auto* p = static_cast<const uint32_t*>(bits_);
    Pixels out(p, p + static_cast<size_t>(w_) * static_cast<size_t>(h_));
    for (auto& px : out) px &= 0xFFFFFF;
    return out;
  }

 private:
  int w_, h_;
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
  void* bits_ = nullptr;
};

Pixels GrabScreen(const RECT& r) {
  int w = r.right - r.left, h = r.bottom - r.top;
  Canvas canvas(w, h);
  HDC screen = GetDC(nullptr);
  BitBlt(canvas.dc(), 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  ReleaseDC(nullptr, screen);
  return canvas.Read();
}

Pixels RenderIcon(HICON icon, int w, int h, COLORREF background) {
  Canvas canvas(w, h);
  HBRUSH brush = CreateSolidBrush(background);
  RECT all = {0, 0, w, h};
  FillRect(canvas.dc(), &all, brush);
  DeleteObject(brush);
  DrawIconEx(canvas.dc(), 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
  return canvas.Read();
}

bool Close(uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 24; shift += 8) {
    int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
    if (d > 24 || d < -24) return false;
  }
  return true;
}

// Icon handles can't be compared across processes, so the icon is told by
// its pixels on the screen: each system icon is drawn here at the control's
// size and compared on the pixels it covers (those that come out the same on
// a black and on a white background).
const char* IdentifyIcon(HWND control) {
  if (control == nullptr) return "none";
  RECT r;
  GetWindowRect(control, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return "none";
  Pixels screen = GrabScreen(r);
  struct Candidate {
    const char* name;
    LPCWSTR id;
  };
  const Candidate candidates[] = {{"stop", MAKEINTRESOURCEW(32513)},
                                  {"question", MAKEINTRESOURCEW(32514)},
                                  {"exclamation", MAKEINTRESOURCEW(32515)},
                                  {"information", MAKEINTRESOURCEW(32516)}};
  const char* best = "unknown";
  double bestScore = 0.95;  // anything less is not painted yet, or no system icon
  for (const Candidate& c : candidates) {
    HICON icon = LoadIconW(nullptr, c.id);
    Pixels onBlack = RenderIcon(icon, w, h, RGB(0, 0, 0));
    Pixels onWhite = RenderIcon(icon, w, h, RGB(255, 255, 255));
    size_t covered = 0, same = 0;
    for (size_t i = 0; i < screen.size(); ++i) {
      if (onBlack[i] != onWhite[i]) continue;
      ++covered;
      if (Close(onBlack[i], screen[i])) ++same;
    }
    if (covered < 16) continue;
    double score = static_cast<double>(same) / static_cast<double>(covered);
    if (score > bestScore) {
      bestScore = score;
      best = c.name;
    }
  }
  return best;
}

// Saves a screen area as a 24-bit BMP file.
bool SaveBmp(const RECT& r, const std::wstring& path) {
  int w = r.right - r.left, h = r.bottom - r.top;
  if (w <= 0 || h <= 0) return false;
  Pixels px = GrabScreen(r);
  size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~static_cast<size_t>(3);
  std::vector<unsigned char> rows(stride * static_cast<size_t>(h));
  for (int y = 0; y < h; ++y) {
    unsigned char* row = &rows[stride * static_cast<size_t>(h - 1 - y)];
    for (int x = 0; x < w; ++x) {
      uint32_t p = px[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)];
      row[x * 3] = static_cast<unsigned char>(p);
      row[x * 3 + 1] = static_cast<unsigned char>(p >> 8);
      row[x * 3 + 2] = static_cast<unsigned char>(p >> 16);
    }
  }
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = w;
  info.biHeight = h;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  info.biSizeImage = static_cast<DWORD>(rows.size());
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + info.biSizeImage;
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (f == nullptr) return false;
  bool ok = fwrite(&file, sizeof file, 1, f) == 1 && fwrite(&info, sizeof info, 1, f) == 1 &&
            fwrite(rows.data(), rows.size(), 1, f) == 1;
  return fclose(f) == 0 && ok;
}

// --- Playing ---------------------------------------------------------------

int AnswerId(const std::wstring& word) {
  if (word == L"ok") return IDOK;
  if (word == L"cancel") return IDCANCEL;
  if (word == L"yes") return IDYES;
  if (word == L"no") return IDNO;
  return 0;
}

std::vector<int> ParseAnswers(const std::wstring& list) {
  std::vector<int> out;
  if (list == L"-") return out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(L',', start);
    if (comma == std::wstring::npos) comma = list.size();
    out.push_back(AnswerId(list.substr(start, comma - start)));
    start = comma + 1;
  }
  return out;
}

std::wstring Quote(const std::wstring& arg) {
  std::wstring out = L"\"";
  for (wchar_t c : arg) {
    if (c == L'"') out += L'\\';
    out += c;
  }
  return out + L"\"";
}

class Transcript {
 public:
  explicit Transcript(const std::wstring& path) : f_(_wfopen(path.c_str(), L"wb")) {}
  ~Transcript() {
    if (f_ != nullptr) fclose(f_);
  }
  Transcript(const Transcript&) = delete;
  Transcript& operator=(const Transcript&) = delete;
  bool ok() const { return f_ != nullptr; }
  void Line(const std::string& s) {
    fputs(s.c_str(), f_);
    fputc('\n', f_);
    fflush(f_);
  }

 private:
  FILE* f_;
};

// Reads a shown box, waiting until its icon is painted; presses `answer` (or
// the first button when the box has no such button or `answer` is 0).
std::string PlayBox(HWND box, int answer, int number, const std::wstring& shots) {
  Parts parts;
  const char* icon = "unknown";
  for (int attempt = 0; attempt < 60; ++attempt) {
    Sleep(attempt == 0 ? 150 : 100);
    parts = Parts();
    EnumChildWindows(box, CollectPart, reinterpret_cast<LPARAM>(&parts));
    icon = IdentifyIcon(parts.icon);
    if (std::strcmp(icon, "unknown") != 0 && !parts.buttons.empty()) break;
  }
  std::sort(parts.buttons.begin(), parts.buttons.end(),
            [](const Button& a, const Button& b) { return a.left < b.left; });
  RECT rect;
  GetWindowRect(box, &rect);
  if (shots != L"-") {
    Sleep(200);  // the text and buttons are painted after the icon
    GetWindowRect(box, &rect);
    SaveBmp(rect, shots + L"\\box-" + std::to_wstring(number) + L".bmp");
  }

  const Button* press = parts.buttons.empty() ? nullptr : &parts.buttons.front();
  for (const Button& b : parts.buttons) {
    if (b.id == answer) press = &b;
  }
  std::string line = "{\"caption\": " + Json(Utf8(TextOf(box))) +
                     ", \"text\": " + Json(Utf8(parts.text ? TextOf(parts.text) : L"")) +
                     ", \"buttons\": [";
  for (size_t i = 0; i < parts.buttons.size(); ++i) {
    line += (i ? ", \"" : "\"") + std::string(ButtonName(parts.buttons[i].id)) + "\"";
  }
  char rest[200];
  snprintf(rest, sizeof rest,
           "], \"icon\": \"%s\", \"owned\": %s, \"rect\": [%ld, %ld, %ld, %ld], "
           "\"pressed\": \"%s\"}",
           icon, GetWindow(box, GW_OWNER) ? "true" : "false", rect.left, rect.top, rect.right,
           rect.bottom, press ? ButtonName(press->id) : "");
  line += rest;

  if (press != nullptr) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(press->id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(press->hwnd));
  } else {
    PostMessageW(box, WM_CLOSE, 0, 0);
  }
  return line;
}

int Play(int argc, wchar_t** argv) {
  Transcript transcript(argv[2]);
  if (!transcript.ok()) {
    fwprintf(stderr, L"boxdriver: can't write %ls\n", argv[2]);
    return 2;
  }
  std::vector<int> answers = ParseAnswers(argv[3]);
  DWORD limit = static_cast<DWORD>(_wtoi(argv[4])) * 1000;
  std::wstring shots = argv[5];
  std::wstring command;
  for (int i = 6; i < argc; ++i) command += (i > 6 ? L" " : L"") + Quote(argv[i]);

  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                      &pi)) {
    transcript.Line("{\"error\": \"can't start the program\", \"code\": " +
                    std::to_string(GetLastError()) + "}");
    return 4;
  }
  CloseHandle(pi.hThread);

  DWORD start = GetTickCount();
  size_t next = 0;
  int number = 0;
  int result = 0;
  for (;;) {
    if (GetTickCount() - start > limit) {
      TerminateProcess(pi.hProcess, 1);
      transcript.Line("{\"timeout\": true}");
      result = 3;
      break;
    }
    HWND box = VisibleBoxOf(pi.dwProcessId);
    if (box == nullptr) {
      if (WaitForSingleObject(pi.hProcess, 50) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        transcript.Line("{\"exit\": " + std::to_string(code) +
                        ", \"ms\": " + std::to_string(GetTickCount() - start) + "}");
        break;
      }
      continue;
    }
    int answer = next < answers.size() ? answers[next] : 0;
    ++next;
    std::string line = PlayBox(box, answer, ++number, shots);
    line.insert(line.size() - 1, ", \"ms\": " + std::to_string(GetTickCount() - start));
    transcript.Line(line);
    // The next box is looked for only once this one is gone.
    while (IsWindow(box) && IsWindowVisible(box) && GetTickCount() - start <= limit) Sleep(20);
  }
  CloseHandle(pi.hProcess);
  return result;
}

int Hold(const std::wstring& kind, const wchar_t* name) {
  HANDLE object = kind == L"mutex" ? CreateMutexW(nullptr, TRUE, name)
                                   : CreateEventW(nullptr, TRUE, FALSE, name);
  if (object == nullptr) {
    printf("failed %lu\n", GetLastError());
    fflush(stdout);
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[64];
  DWORD got = 0;
  while (ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0) {
    if (std::memchr(buf, '\n', got) != nullptr) break;
  }
  CloseHandle(object);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"acp" && argc == 2) {
    printf("%u\n", GetACP());
    return 0;
  }
  if (mode == L"play" && argc >= 7) return Play(argc, argv);
  if (mode == L"hold" && argc == 4 &&
      (std::wstring(argv[2]) == L"mutex" || std::wstring(argv[2]) == L"event")) {
    return Hold(argv[2], argv[3]);
  }
  fputs(
      "usage: boxdriver play TRANSCRIPT ANSWERS SECONDS SHOTDIR PROGRAM [ARGS...]\n"
      "       boxdriver hold mutex|event NAME\n"
      "       boxdriver acp\n",
      stderr);
  return 2;
}
