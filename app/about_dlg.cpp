#include "app/about_dlg.h"

#include "engine/strings.h"
#include "res/resource.h"

namespace px {

CAboutDlg::CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

void CAboutDlg::DoDataExchange(CDataExchange* exchange) {
  CDialog::DoDataExchange(exchange);
  DDX_Control(exchange, IDC_VERSION_EDIT, VersionEdit);
}

BOOL CAboutDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  // Always the plain title: the copy's number belongs to the main window only.
  VersionEdit.SetWindowText(kProgramTitle);
  return TRUE;
}

}  // namespace px
