#include "app/updater_dlg.h"

#include <vector>

#include "app/about_dlg.h"
#include "app/instance_name.h"
#include "app/port_choice.h"
#include "app/updater_app.h"
#include "engine/strings.h"
#include "res/resource.h"
#include "serial/port_discovery.h"

namespace px {
namespace {

// Posted by the runner's worker thread.
constexpr UINT kProgressMessage = WM_APP + 1;  // wParam: position
constexpr UINT kControlsMessage = WM_APP + 2;  // wParam: 1 enable, 0 disable
constexpr UINT kShowBoxMessage = WM_APP + 3;   // the request is in the dialog

// How long the closing window waits for the worker to end, which a stopped worker does at once
// unless it is inside the system's open of a port; with what follows, the program is gone
// within 2 s of the close.
constexpr uint32_t kWorkerEndMs = 1500;

std::string ResourceText(int id) {
  char text[512] = {};
  const int length = ::LoadStringA(AfxGetInstanceHandle(), static_cast<UINT>(id), text,
                                   static_cast<int>(sizeof(text)));
  return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

}  // namespace

CKv7UpdatorDlg::CKv7UpdatorDlg()
    : CDialog(IDD_PX550_UPDATER_DIALOG),
      windowThread_(::GetCurrentThreadId()),
      runner_(std::make_unique<CSerialLink>(), *this) {
  controls_.AppIcon = TheApp().LoadIcon(IDR_MAINFRAME);
  // The icon's own 16-pixel images, rather than the big one scaled down.
  smallIcon_ = static_cast<HICON>(::LoadImageA(
      AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
      ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
}

CKv7UpdatorDlg::~CKv7UpdatorDlg() {
  // Normally done by the destroy handler already; then this returns at once.
  runner_.Shutdown();
  if (smallIcon_ != nullptr) ::DestroyIcon(smallIcon_);
}

void CKv7UpdatorDlg::DoDataExchange(CDataExchange* exchange) {
  CDialog::DoDataExchange(exchange);
  DDX_Control(exchange, IDC_PORT_COMBO, controls_.PortCombo);
  DDX_Control(exchange, IDC_PROGRESS, controls_.ProgressBar);
  DDX_Control(exchange, IDOK, controls_.ExecuteButton);
  DDX_Control(exchange, IDC_RESCAN, controls_.RescanButton);
}

BOOL CKv7UpdatorDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  HMENU systemMenu = ::GetSystemMenu(m_hWnd, FALSE);
  if (systemMenu != nullptr) {
    const std::string about = ResourceText(IDS_ABOUTBOX);
    if (!about.empty()) {
      ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }

  SetIcon(controls_.AppIcon, TRUE);
  SetIcon(smallIcon_ != nullptr ? smallIcon_ : controls_.AppIcon, FALSE);

  FillPortList();
  runner_.StartReplyThread();

  controls_.ProgressBar.SetRange32(0, 100);
  controls_.ProgressBar.SetPos(0);

  SetWindowText(InstanceName(TheApp().InstanceNumber).c_str());
  return TRUE;
}

bool CKv7UpdatorDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  switch (message) {
    case WM_SYSCOMMAND:
      return OnSysCommand(static_cast<UINT>(wParam));
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      result = reinterpret_cast<LRESULT>(OnQueryDragIcon());
      return true;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDOK) {
        OnExecute();
        return true;
      }
      if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_RESCAN) {
        FillPortList();
        return true;
      }
      break;
    case WM_DESTROY:
      OnDestroy();
      return false;  // and the system's own destroy handling
    case kProgressMessage:
      controls_.ProgressBar.SetPos(static_cast<int>(wParam));
      return true;
    case kControlsMessage:
      if (wParam != 0) {
        RestoreControls();
      } else {
        DisableControls();
      }
      return true;
    case kShowBoxMessage:
      OnShowBox();
      return true;
    default:
      break;
  }
  return CDialog::OnMessage(message, wParam, lParam, result);
}

bool CKv7UpdatorDlg::OnSysCommand(UINT id) {
  if ((id & 0xFFF0) != IDM_ABOUTBOX) return false;
  CAboutDlg about;
  about.DoModal();
  return true;
}

bool CKv7UpdatorDlg::OnPaint() {
  if (!IsIconic()) return false;
  PAINTSTRUCT paint;
  HDC dc = ::BeginPaint(m_hWnd, &paint);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  ::GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
  ::DrawIcon(dc, x, y, controls_.AppIcon);
  ::EndPaint(m_hWnd, &paint);
  return true;
}

void CKv7UpdatorDlg::FillPortList() {
  controls_.PortCombo.ResetContent();
  const std::vector<PortEntry> ports = ListPorts();
  for (const PortEntry& port : ports) controls_.PortCombo.AddString(EntryText(port).c_str());
  EnableExecute(controls_.PortCombo.GetCount() > 0);
  // -1 for an empty list selects nothing.
  controls_.PortCombo.SetCurSel(PreferredPortIndex(ports));
}

int CKv7UpdatorDlg::SelectedPortNumber() const {
  const int index = controls_.PortCombo.GetCurSel();
  if (index < 0) return -1;
  return PortNumberOfSelection(controls_.PortCombo.GetLBText(index));
}

void CKv7UpdatorDlg::EnableExecute(bool enable) {
  controls_.ExecuteButton.EnableWindow(enable);
}

void CKv7UpdatorDlg::RestoreControls() {
  controls_.PortCombo.EnableWindow(TRUE);
  controls_.ExecuteButton.EnableWindow(TRUE);
  controls_.RescanButton.EnableWindow(TRUE);
}

void CKv7UpdatorDlg::OnExecute() {
  runner_.OnExecute(SelectedPortNumber());
}

void CKv7UpdatorDlg::OnCancel() {
  if (runner_.UpdateInProgress()) {
    const std::string text = ResourceText(IDS_CONFIRM_EXIT);
    const std::string caption = ResourceText(IDS_APP_CAPTION);
    if (::MessageBoxA(m_hWnd, text.c_str(), caption.c_str(), MB_OKCANCEL | MB_ICONEXCLAMATION) ==
        IDCANCEL) {
      return;
    }
  }
  CDialog::OnCancel();
}

void CKv7UpdatorDlg::OnDestroy() {
  // The worker is woken with the stop signal and from now on neither sends nor shows anything;
  // a box it waits for is given up. Every wait of the runner returns at once on the stop, so
  // waiting for its threads here is short, and none of them outlives the members it uses; only
  // the system's open of a port can keep the worker longer.
  runner_.Abort();
  {
    std::lock_guard<std::mutex> lock(boxMutex_);
    closing_ = true;
  }
  boxAnswered_.notify_all();
  if (!runner_.StopWorker(kWorkerEndMs)) {
    // The worker is inside the system's open of a port that is still connecting (a Bluetooth
    // pedal that is off or out of range keeps CreateFileA for as long as the radio tries), and
    // the system would not cancel it. When that call returns, the worker goes on into the
    // runner and the link, so neither may be destroyed: the process ends here, at once,
    // without running the dialog's destructor, and the thread goes with it.
    runner_.AbandonWorker();
    ::ExitProcess(0);
  }
  runner_.Shutdown();
}

void CKv7UpdatorDlg::ShowError(const std::string& text) {
  ShowBox(text, IDS_ERROR_CAPTION, MB_OK | MB_ICONHAND);
}

void CKv7UpdatorDlg::ShowCompletion(const std::string& text) {
  ShowBox(text, IDS_APP_CAPTION, MB_OK, true);
}

void CKv7UpdatorDlg::ShowBox(const std::string& text, int captionId, UINT type, bool endsRun) {
  if (OnWindowThread()) {
    const std::string caption = ResourceText(captionId);
    ::MessageBoxA(m_hWnd, text.c_str(), caption.c_str(), type);
    if (endsRun) runner_.EndCompletedRun();
    return;
  }
  std::unique_lock<std::mutex> lock(boxMutex_);
  if (closing_) return;
  boxText_ = text;
  boxCaption_ = captionId;
  boxType_ = type;
  boxEndsRun_ = endsRun;
  const uint32_t ticket = ++boxAsked_;
  if (!PostMessage(kShowBoxMessage)) return;
  boxAnswered_.wait(lock, [&] { return closing_ || boxDone_ == ticket; });
}

void CKv7UpdatorDlg::OnShowBox() {
  std::string text;
  int captionId = 0;
  UINT type = 0;
  bool endsRun = false;
  uint32_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(boxMutex_);
    if (boxDone_ == boxAsked_) return;
    text = boxText_;
    captionId = boxCaption_;
    type = boxType_;
    endsRun = boxEndsRun_;
    ticket = boxAsked_;
  }
  const std::string caption = ResourceText(captionId);
  ::MessageBoxA(m_hWnd, text.c_str(), caption.c_str(), type);
  if (endsRun) runner_.EndCompletedRun();
  {
    std::lock_guard<std::mutex> lock(boxMutex_);
    boxDone_ = ticket;
  }
  boxAnswered_.notify_all();
}

void CKv7UpdatorDlg::SetProgressPosition(int percent) {
  if (OnWindowThread()) {
    controls_.ProgressBar.SetPos(percent);
  } else {
    PostMessage(kProgressMessage, static_cast<WPARAM>(percent));
  }
}

void CKv7UpdatorDlg::DisableControls() {
  if (!OnWindowThread()) {
    PostMessage(kControlsMessage, 0);
    return;
  }
  controls_.PortCombo.EnableWindow(FALSE);
  controls_.ExecuteButton.EnableWindow(FALSE);
  controls_.RescanButton.EnableWindow(FALSE);
}

void CKv7UpdatorDlg::EnableControls() {
  if (OnWindowThread()) {
    RestoreControls();
  } else {
    PostMessage(kControlsMessage, 1);
  }
}

}  // namespace px
