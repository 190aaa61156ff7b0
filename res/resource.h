// Resource ids of PX550Updater.exe, shared by updater.rc and the program.
#pragma once

#define IDD_ABOUTBOX 100
#define IDD_PX550_UPDATER_DIALOG 103
#define IDR_MAINFRAME 228

#define IDC_PROGRESS 1002
#define IDC_VERSION_EDIT 1003
#define IDC_RESCAN 1004
#define IDC_PORT_COMBO 1007

// System menu command of the About entry.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

