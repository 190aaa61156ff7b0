#include "app/framework/win_app.h"

namespace px {
namespace {

CWinApp* theApplication = nullptr;

std::string ModuleBaseName(HINSTANCE instance) {
  char path[MAX_PATH] = {};
  const DWORD length = ::GetModuleFileNameA(instance, path, MAX_PATH);
  std::string name(path, length < MAX_PATH ? length : 0);
  const size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

}  // namespace

CWinApp::CWinApp() {
  theApplication = this;
}

CWinApp::~CWinApp() {
  if (theApplication == this) theApplication = nullptr;
}

int CWinApp::Run() {
  MSG message;
  while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageA(&message);
  }
  return ExitInstance();
}

CWinApp* AfxGetApp() {
  return theApplication;
}

HINSTANCE AfxGetInstanceHandle() {
  return theApplication != nullptr && theApplication->m_hInstance != nullptr
             ? theApplication->m_hInstance
             : ::GetModuleHandleA(nullptr);
}

int AfxWinMain(HINSTANCE instance) {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return -1;
  app->m_hInstance = instance;
  app->m_pszAppName = ModuleBaseName(instance);
  if (!app->InitInstance()) return app->ExitInstance();
  return app->Run();
}

}  // namespace px
