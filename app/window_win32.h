// The main window, its controls and the message pump.
#pragma once

#include <windows.h>

extern HINSTANCE appInstance;
extern int screenWidth;
extern int screenHeight;

extern HWND mainWindow;
extern HFONT uiFont;
extern HWND messageList;
extern HWND dirEdit;
extern HWND statusText;
extern HWND progressBar;
extern LONG progressStyle;

void createMainWindow();
LRESULT CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void pumpMessages();
