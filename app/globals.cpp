#include "app/globals.h"

char workingDir[WORKING_DIR_CAP];
char installDir[INSTALL_DIR_CAP] = "C:\\KAVO";
char serverAddress[SERVER_ADDRESS_CAP] = DEFAULT_SERVER_ADDRESS;
bool testEdition = false;
bool consoleMode = false;
bool silentMode = false;
bool keepRunning = true;
bool workInProgress = false;
bool abortRequested = false;

static_assert(sizeof(DEFAULT_SERVER_ADDRESS) <= SERVER_ADDRESS_CAP,
              "DEFAULT_SERVER_ADDRESS must fit the 20-byte server address");
