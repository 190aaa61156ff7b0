#include "app/updater_app.h"

#include <commctrl.h>

#include <memory>
#include <string>

#include "app/instance_name.h"
#include "app/updater_dlg.h"
#include "engine/strings.h"

namespace px {
namespace {

CKv7UpdatorApp theApp;

// Takes the lowest number whose mutex this copy can create as new. A name held by an object of
// another kind makes CreateMutexA fail, and counts as taken.
int TakeInstanceNumber(HANDLE* mutex) {
  for (int number = 1; number <= kMaxPedals; ++number) {
    HANDLE handle = ::CreateMutexA(nullptr, TRUE, InstanceName(number).c_str());
    if (handle != nullptr && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      *mutex = handle;
      return number;
    }
    if (handle != nullptr) ::CloseHandle(handle);
  }
  *mutex = nullptr;
  return 0;
}

}  // namespace

CKv7UpdatorApp& TheApp() {
  return theApp;
}

BOOL CKv7UpdatorApp::InitInstance() {
  INITCOMMONCONTROLSEX controls = {};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_WIN95_CLASSES;
  ::InitCommonControlsEx(&controls);

  CWinApp::InitInstance();

  InstanceNumber = TakeInstanceNumber(&InstanceMutex);
  if (InstanceNumber == 0) {
    const std::string text = FillNumber(kTooManyInstances, kMaxPedals);
    ::MessageBoxA(nullptr, text.c_str(), m_pszAppName.c_str(), MB_OK | MB_ICONEXCLAMATION);
    return FALSE;
  }

  // The dialog lives until its window has gone and everything it started has ended.
  auto dialog = std::make_unique<CKv7UpdatorDlg>();
  m_pMainWnd = dialog.get();
  dialog->DoModal();
  m_pMainWnd = nullptr;
  dialog.reset();
  return FALSE;
}

}  // namespace px
