#pragma once
#include "app/framework/dialog.h"

namespace px {

// The About box: the program's icon and its plain title.
class CAboutDlg : public CDialog {
 public:
  CAboutDlg();
  ~CAboutDlg() override = default;

 protected:
  void DoDataExchange(CDataExchange* exchange) override;
  BOOL OnInitDialog() override;

 private:
  CEdit VersionEdit;
};

}  // namespace px
