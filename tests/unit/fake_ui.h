// A recording stand-in for the window's UI verbs, shared by all unit tests.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct FakeUi {
    std::vector<std::string> list;        // on-screen list entries
    std::vector<std::string> warnings;    // texts of warning boxes
    struct Question {
        std::string text, title;
        bool warningIcon;
    };
    std::vector<Question> questions;      // Yes/No boxes asked
    std::vector<Question> informs;        // OK boxes shown
    std::vector<Question> retries;        // Retry/Cancel boxes asked
    std::vector<bool> retryAnswers;       // scripted: Retry (true) or Cancel; Cancel when empty
    std::vector<bool> answers;            // scripted answers, taken in order; No when empty
    std::vector<int> progress;            // every position sent to the bar
    std::vector<std::string> statuses;    // every status text set
    struct SocketReads {
        bool on;
        bool duringDownload;              // downloadActive at the switch
    };
    std::vector<SocketReads> socketReads; // read notifications switched
    std::string status;
    bool progressShown = false;
    int quitCount = 0;
    int pumpCount = 0;
    std::function<void()> onPump;         // runs inside every pump
    std::function<void()> onProgress;     // runs inside every bar position set
    int shortcuts = 0;                    // desktop shortcuts made
    std::vector<std::string> started;     // folders the product was started from
    std::vector<std::string> shortcutsRemoved;  // folders whose shortcuts were removed

    void reset();
};

extern FakeUi fakeUi;

// Resets the fake UI and the application globals, and points the log file
// into the current folder's "KAVO_install_log.txt".
void resetAppState();
