#pragma once
#include "app/framework/win_app.h"

namespace px {

class CKv7UpdatorApp : public CWinApp {
 public:
  CKv7UpdatorApp() = default;
  ~CKv7UpdatorApp() override = default;

  // Numbers this copy, runs the main dialog modally and returns false, so that the process ends
  // when the dialog closes.
  BOOL InitInstance() override;

  // Held until the process ends, when the system releases it.
  HANDLE InstanceMutex = nullptr;
  // 1 to 20 once start-up has numbered this copy; 0 before.
  int InstanceNumber = 0;
};

// The one application object.
CKv7UpdatorApp& TheApp();

}  // namespace px
