#pragma once
#include <string>

#include "app/framework/wnd.h"

namespace px {

// The application object: exactly one exists, as a global, and the process entry drives it.
class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Start-up. Returning false ends the process without a message loop.
  virtual BOOL InitInstance() { return TRUE; }
  // The message loop, run only when InitInstance returned true; returns the exit code.
  virtual int Run();
  virtual int ExitInstance() { return 0; }

  HICON LoadIcon(UINT id) const { return ::LoadIconA(m_hInstance, MAKEINTRESOURCEA(id)); }

  HINSTANCE m_hInstance = nullptr;
  // The executable's file name without its folder and extension.
  std::string m_pszAppName;
  CWnd* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
// The process entry's work, called from WinMain.
int AfxWinMain(HINSTANCE instance);

}  // namespace px
