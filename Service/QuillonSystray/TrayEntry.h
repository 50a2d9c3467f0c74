// The tray program's entry.
#pragma once

#include "platform/win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);
