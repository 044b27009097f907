// Window identifiers shared by the window, the sequences and the test driver.
#pragma once

#define MAIN_WINDOW_CLASS "wndClass_KAVO_installer"
#define MAIN_WINDOW_TITLE "KAVO Installer"

enum : int {
    CMD_SELECT_DIR = 8000,
    CMD_INSTALL = 8001,
    CMD_UPDATE = 8002,
    CMD_QUIT = 8003,
};

enum : unsigned {
    WM_SERVER_SOCKET = 21000,       // the one message the socket layer posts
    WM_SERVER_SOCKET_LAST = 21199,  // reserved range for the server link
    WM_SERVER_RESERVED = 22000,
};

enum : int {
    CLIENT_WIDTH = 400,
    CLIENT_HEIGHT = 250,
    PROGRESS_RANGE = 1000,
};
