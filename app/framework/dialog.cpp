#include "app/framework/dialog.h"

#include "app/framework/win_app.h"

namespace px {

void DDX_Control(CDataExchange* exchange, int id, CWnd& control) {
  if (control.m_hWnd == nullptr) control.Attach(exchange->m_pDlgWnd->GetDlgItem(id));
}

INT_PTR CDialog::DoModal() {
  HWND owner = parent_ != nullptr ? parent_->m_hWnd : nullptr;
  // Without a parent the box belongs to the main window, so that it stays on top of it and
  // disables it while open.
  if (owner == nullptr) {
    CWinApp* app = AfxGetApp();
    if (app != nullptr && app->m_pMainWnd != nullptr && app->m_pMainWnd != this) {
      owner = app->m_pMainWnd->m_hWnd;
    }
  }
  return ::DialogBoxParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(templateId_), owner,
                           &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

void CDialog::CenterWindow() {
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  RECT area = {};
  // The work area of the monitor that the owner (or the dialog) is on.
  MONITORINFO monitor = {};
  monitor.cbSize = sizeof(monitor);
  ::GetMonitorInfoA(
      ::MonitorFromWindow(owner != nullptr ? owner : m_hWnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
  if (owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    ::GetWindowRect(owner, &area);
  } else {
    area = monitor.rcWork;
  }
  RECT self = {};
  ::GetWindowRect(m_hWnd, &self);
  const int width = self.right - self.left;
  const int height = self.bottom - self.top;
  int x = (area.left + area.right - width) / 2;
  int y = (area.top + area.bottom - height) / 2;
  // Keep it on the monitor.
  const RECT& work = monitor.rcWork;
  if (x + width > work.right) x = work.right - width;
  if (y + height > work.bottom) y = work.bottom - height;
  if (x < work.left) x = work.left;
  if (y < work.top) y = work.top;
  ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
  CDataExchange exchange(this, saveAndValidate != FALSE);
  DoDataExchange(&exchange);
  return TRUE;
}

BOOL CDialog::OnInitDialog() {
  UpdateData(FALSE);
  return TRUE;
}

void CDialog::OnOK() {
  UpdateData(TRUE);
  EndDialog(IDOK);
}

void CDialog::OnCancel() {
  EndDialog(IDCANCEL);
}

bool CDialog::OnMessage(UINT message, WPARAM wParam, LPARAM /*lParam*/, LRESULT& /*result*/) {
  if (message != WM_COMMAND || HIWORD(wParam) != BN_CLICKED) return false;
  switch (LOWORD(wParam)) {
    case IDOK:
      OnOK();
      return true;
    case IDCANCEL:
      OnCancel();
      return true;
    default:
      return false;
  }
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDialog*>(lParam);
    ::SetWindowLongPtrA(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    self->m_hWnd = window;
    RECT before = {};
    ::GetWindowRect(window, &before);
    const BOOL result = self->OnInitDialog();
    // A dialog that its initialisation did not place opens centred over its owner.
    RECT after = {};
    ::GetWindowRect(window, &after);
    if (::EqualRect(&before, &after)) self->CenterWindow();
    return result;
  }
  auto* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(window, DWLP_USER));
  // Messages before WM_INITDIALOG (WM_SETFONT) have no object yet.
  if (self == nullptr) return FALSE;

  LRESULT result = 0;
  const bool handled = self->OnMessage(message, wParam, lParam, result);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrA(window, DWLP_USER, 0);
    self->m_hWnd = nullptr;
  }
  if (!handled) return FALSE;
  switch (message) {
    // These return their result directly instead of through DWLP_MSGRESULT.
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
      return static_cast<INT_PTR>(result);
    default:
      ::SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
      return TRUE;
  }
}

}  // namespace px
