#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "app/framework/dialog.h"
#include "engine/update_runner.h"
#include "serial/serial_link.h"

namespace px {

// The main window: the port list, Execute, Rescan, Exit and the progress bar. It owns the update
// runner (the link's reply thread for the window's life, and the worker that runs one update
// session per Execute) and shows what the runner tells.
//
// The runner tells from its worker thread. Those calls never touch a control and never wait
// for the window's thread with SendMessage: they post a message, and a box waits on a condition
// that the window's destruction also wakes. So the destroy handler can simply wait for the
// worker to end without any chance of a deadlock.
class CKv7UpdatorDlg : public CDialog, private IRunWatcher {
 public:
  CKv7UpdatorDlg();
  ~CKv7UpdatorDlg() override;

  // The COM port number of the selected entry; -1 when there is none.
  int SelectedPortNumber() const;
  // Enables the port list, Execute and Rescan (Execute whatever the list holds).
  void RestoreControls();
  void EnableExecute(bool enable);
  // Lists the ports afresh and preselects the first Bluetooth one, else the first.
  void FillPortList();

 protected:
  void DoDataExchange(CDataExchange* exchange) override;
  BOOL OnInitDialog() override;
  void OnCancel() override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  bool OnSysCommand(UINT id);
  bool OnPaint();
  HCURSOR OnQueryDragIcon() const { return controls_.AppIcon; }
  void OnExecute();
  void OnDestroy();
  void OnShowBox();

  // IRunWatcher: a failure is an error box, a completion the completion box, the position the
  // bar's; while a run holds the link, the port list, Execute and Rescan are disabled.
  void OnFailure(const UpdateFailure& failure) override { ShowError(failure.text); }
  void OnCompleted(const std::string& text) override { ShowCompletion(text); }
  void OnPosition(int percent) override { SetProgressPosition(percent); }
  void OnRunStarted() override { DisableControls(); }
  void OnRunReleased() override { EnableControls(); }

  void ShowError(const std::string& text);
  void ShowCompletion(const std::string& text);
  void SetProgressPosition(int percent);
  void DisableControls();
  void EnableControls();

  // Shows a box owned by this window and returns when it is dismissed, or at once from another
  // thread when the window is going. A box that ends the run ends it on the window's thread as
  // it closes, so an Exit pressed right after it never meets a run still active.
  void ShowBox(const std::string& text, int captionId, UINT type, bool endsRun = false);
  bool OnWindowThread() const { return ::GetCurrentThreadId() == windowThread_; }

  HICON smallIcon_ = nullptr;
  const DWORD windowThread_;

  // The one box request that the worker may have outstanding.
  std::mutex boxMutex_;
  std::condition_variable boxAnswered_;
  std::string boxText_;
  int boxCaption_ = 0;
  UINT boxType_ = 0;
  bool boxEndsRun_ = false;
  uint32_t boxAsked_ = 0;
  uint32_t boxDone_ = 0;
  bool closing_ = false;

  CUpdateRunner runner_;

  // The window's icon and controls, under the names the rest of the program knows them by.
  struct Controls {
    HICON AppIcon = nullptr;
    CComboBox PortCombo;
    CProgressCtrl ProgressBar;
    CButton ExecuteButton;
    CButton RescanButton;
  };
  Controls controls_;
};

}  // namespace px
