#pragma once

#include <windows.h>

#include <string>

INT_PTR CALLBACK SaveDialog(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// The folder the user picked, or an empty text when the picker was cancelled.
std::wstring browseForFolder(HWND owner);
