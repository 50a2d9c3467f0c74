// Resource ids of the tray program, shared by QuillonSystray.rc and the tray code.
#pragma once

#define IDI_QUILLON_TRAY 103
