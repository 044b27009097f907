// Application-wide settings and run state: plain process globals with static
// lifetime, read and written directly by the subsystems (one thread only).
//
// This header and the event log (eventlog.h) are the only parts of app/ that
// the lower layers (archive/, net/, setup/) include: they are the installer's
// shared state and its one way of reporting, which every subsystem reads and
// writes directly.  Nothing else below app/ reaches up into it.
#pragma once

#include <cstdint>

#ifndef DEFAULT_SERVER_ADDRESS
#define DEFAULT_SERVER_ADDRESS "127.0.0.1"
#endif
#ifndef SUPPORT_CONTACT
#define SUPPORT_CONTACT "support@kavo.example"
#endif

enum : int {
    WORKING_DIR_CAP = 260,
    INSTALL_DIR_CAP = 500,
    SERVER_ADDRESS_CAP = 20,
    PATH_CAP = 260,
    STATUS_CAP = 100,
    LOG_TEXT_CAP = 2560,
};

enum : int {
    VERSION_MAJOR = 1,
    VERSION_MINOR = 3,
    VERSION_BUILD = 8,
};

extern char workingDir[WORKING_DIR_CAP];
extern char installDir[INSTALL_DIR_CAP];
extern char serverAddress[SERVER_ADDRESS_CAP];
extern bool testEdition;
extern bool consoleMode;
// Unattended run (-silent): no window or box is shown, every question gets
// its safe answer, and the exit code tells the outcome.
extern bool silentMode;
extern bool keepRunning;
extern bool workInProgress;
extern bool abortRequested;
