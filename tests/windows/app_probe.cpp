// A test driver's eyes and hands inside Wine: reads one command a line on stdin and answers one
// line of JSON on stdout, so that one long-lived process serves a whole test.
//
//   windows                      visible top-level windows
//   controls HWND                child windows in template (z) order
//   combo HWND                   items and selection of a combo box
//   text HWND                    a window's text asked of the window itself (WM_GETTEXT)
//   send HWND MSG WPARAM LPARAM  SendMessage with plain numbers; the result
//   post HWND MSG WPARAM LPARAM  PostMessage with plain numbers
//   click HWND ID                posts the button's BN_CLICKED to its dialog
//   ping HWND MS                 whether the window's thread answers WM_NULL within MS
//   hold-event NAME              creates an event of that name and keeps it
//   release                      closes every object held
//   mutex-exists NAME            whether a mutex of that name exists now
//   quit
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Hex(const void* handle) {
  char text[32];
  std::snprintf(text, sizeof(text), "\"%llx\"",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
  return text;
}

HWND ParseWindow(const std::string& text) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(text.c_str(), nullptr, 16)));
}

std::string TextOf(HWND window) {
  char text[1024] = {};
  ::GetWindowTextA(window, text, sizeof(text));
  return text;
}

std::string ClassOf(HWND window) {
  char name[256] = {};
  ::GetClassNameA(window, name, sizeof(name));
  return name;
}

std::string RectOf(HWND window) {
  RECT r = {};
  ::GetWindowRect(window, &r);
  std::ostringstream out;
  out << "[" << r.left << "," << r.top << "," << r.right << "," << r.bottom << "]";
  return out.str();
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  return TRUE;
}

std::string Windows() {
  std::vector<HWND> all;
  ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&all));
  std::string out = "[";
  bool first = true;
  for (HWND w : all) {
    if (!::IsWindowVisible(w)) continue;
    DWORD pid = 0;
    ::GetWindowThreadProcessId(w, &pid);
    if (!first) out += ",";
    first = false;
    out += "{\"hwnd\":" + Hex(w) + ",\"title\":" + Quote(TextOf(w)) +
           ",\"class\":" + Quote(ClassOf(w)) + ",\"pid\":" + std::to_string(pid) +
           ",\"owner\":" + Hex(::GetWindow(w, GW_OWNER)) +
           ",\"enabled\":" + (::IsWindowEnabled(w) ? "true" : "false") + ",\"rect\":" + RectOf(w) +
           "}";
  }
  return out + "]";
}

std::string Controls(HWND dialog) {
  std::string out = "[";
  bool first = true;
  for (HWND w = ::GetWindow(dialog, GW_CHILD); w != nullptr; w = ::GetWindow(w, GW_HWNDNEXT)) {
    if (!first) out += ",";
    first = false;
    const LONG style = ::GetWindowLongA(w, GWL_STYLE);
    out += "{\"hwnd\":" + Hex(w) + ",\"id\":" + std::to_string(::GetDlgCtrlID(w)) +
           ",\"class\":" + Quote(ClassOf(w)) + ",\"text\":" + Quote(TextOf(w)) +
           ",\"enabled\":" + (::IsWindowEnabled(w) ? "true" : "false") +
           ",\"visible\":" + ((style & WS_VISIBLE) ? "true" : "false") +
           ",\"style\":" + std::to_string(static_cast<unsigned long>(style)) +
           ",\"rect\":" + RectOf(w) + "}";
  }
  return out + "]";
}

std::string Combo(HWND combo) {
  const LRESULT count = ::SendMessageA(combo, CB_GETCOUNT, 0, 0);
  std::string out = "{\"count\":" + std::to_string(count) +
                    ",\"selection\":" + std::to_string(::SendMessageA(combo, CB_GETCURSEL, 0, 0)) +
                    ",\"items\":[";
  for (LRESULT i = 0; i < count; ++i) {
    // Wine hands the text across processes as UTF-16 whatever the call, so ask for that.
    wchar_t wide[512] = {};
    ::SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wide));
    char text[1024] = {};
    ::WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), nullptr, nullptr);
    if (i > 0) out += ",";
    out += Quote(text);
  }
  return out + "]}";
}

std::vector<HANDLE> held;

std::string Run(const std::string& line) {
  std::istringstream in(line);
  std::string command;
  in >> command;
  std::string rest;
  std::getline(in >> std::ws, rest);
  std::istringstream args(rest);
  auto number = [&args]() {
    std::string word;
    args >> word;
    return static_cast<uintptr_t>(std::strtoull(word.c_str(), nullptr, 0));
  };
  if (command == "windows") return Windows();
  if (command == "controls") return Controls(ParseWindow(rest));
  if (command == "combo") return Combo(ParseWindow(rest));
  if (command == "text") {
    wchar_t wide[1024] = {};
    ::SendMessageW(ParseWindow(rest), WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(wide));
    char text[2048] = {};
    ::WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof(text), nullptr, nullptr);
    return Quote(text);
  }
  if (command == "send" || command == "post") {
    std::string window;
    args >> window;
    const HWND target = ParseWindow(window);
    const UINT message = static_cast<UINT>(number());
    const WPARAM wParam = number();
    const LPARAM lParam = static_cast<LPARAM>(number());
    if (command == "post") {
      return ::PostMessageA(target, message, wParam, lParam) ? "true" : "false";
    }
    return std::to_string(static_cast<long long>(::SendMessageA(target, message, wParam, lParam)));
  }
  if (command == "click") {
    std::string window;
    args >> window;
    const HWND dialog = ParseWindow(window);
    const int id = static_cast<int>(number());
    return ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                          reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)))
               ? "true"
               : "false";
  }
  if (command == "ping") {
    std::string window;
    args >> window;
    const UINT limit = static_cast<UINT>(number());
    DWORD_PTR result = 0;
    // A thread that does not take its messages is what Windows calls not responding.
    const LRESULT answered = ::SendMessageTimeoutA(ParseWindow(window), WM_NULL, 0, 0,
                                                   SMTO_ABORTIFHUNG | SMTO_BLOCK, limit, &result);
    return answered != 0 ? "true" : "false";
  }
  if (command == "hold-event") {
    HANDLE event = ::CreateEventA(nullptr, TRUE, FALSE, rest.c_str());
    if (event == nullptr) return "false";
    held.push_back(event);
    return "true";
  }
  if (command == "release") {
    for (HANDLE h : held) ::CloseHandle(h);
    held.clear();
    return "true";
  }
  if (command == "mutex-exists") {
    HANDLE mutex = ::OpenMutexA(SYNCHRONIZE, FALSE, rest.c_str());
    if (mutex == nullptr) return "false";
    ::CloseHandle(mutex);
    return "true";
  }
  return "{\"error\":" + Quote("unknown command " + command) + "}";
}

}  // namespace

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line == "quit") break;
    if (line.empty()) continue;
    const std::string answer = Run(line);
    std::fwrite(answer.data(), 1, answer.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
  }
  return 0;
}
