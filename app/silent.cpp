#include "app/silent.h"

#include <cstring>

#include "app/eventlog.h"
#include "app/globals.h"
#include "base/textbuf.h"
#include "setup/outcome.h"

bool silentAnswer(const char* title) {
    if (!title) return false;
    // A close request from outside (a shutdown, the deployment tool) stops
    // the work where it safely can, as a user's Yes does.
    if (strcmp(title, "Installation in Progress") == 0) {
        logMessage("silent run - close request: the work stops");
        noteOutcome(RunOutcome::GeneralFailure);
        return true;
    }
    // No reconnect: the run ends.
    if (strcmp(title, "Network") == 0) {
        logMessage("silent run - no reconnect");
        noteOutcome(RunOutcome::ServerUnreachable);
        return false;
    }
    // "Installation Completed", "Update Completed": a deployment never
    // starts the product.  Any other question: No.
    return false;
}

void silentWarning(const char* text) {
    char line[LOG_TEXT_CAP];
    copyText(line, sizeof line, text ? text : "");
    for (char* p = line; *p; ++p)
        if (*p == '\n' || *p == '\r') *p = ' ';
    logMessage("warning (not shown): %s", line);
}
