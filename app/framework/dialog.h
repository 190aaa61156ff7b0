#pragma once
#include "app/framework/wnd.h"

namespace px {

// Carries the direction of one data exchange between a dialog and its members.
class CDataExchange {
 public:
  CDataExchange(CWnd* dialog, bool saveAndValidate)
      : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}
  CWnd* m_pDlgWnd;
  bool m_bSaveAndValidate;
};

// Binds a member control to the dialog's child window with that id.
void DDX_Control(CDataExchange* exchange, int id, CWnd& control);

// A modal dialog built from a template resource. Window messages reach the object through one
// static dialog procedure, which finds the object in the window's user slot and dispatches to
// the virtual handlers below.
class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr)
      : templateId_(templateId), parent_(parent) {}
  ~CDialog() override = default;

  // Runs the dialog until EndDialog; returns its result, or -1 when it could not be created.
  INT_PTR DoModal();
  void EndDialog(int result) { ::EndDialog(m_hWnd, result); }
  BOOL UpdateData(BOOL saveAndValidate = TRUE);
  // Centres the dialog over its owner, or on the work area when it has none.
  void CenterWindow();

 protected:
  virtual void DoDataExchange(CDataExchange* /*exchange*/) {}
  // Binds the members; true lets the system give focus to the first tab stop.
  virtual BOOL OnInitDialog();
  virtual void OnOK();
  virtual void OnCancel();
  // Handles one message; returns true when handled, with the message's result in result.
  // Unhandled messages get the system's default dialog handling.
  virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  UINT templateId_;
  CWnd* parent_;
};

}  // namespace px
