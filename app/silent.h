// The answers of an unattended run (-silent): each box it would show is
// answered here, without being shown.  A new question gets its answer in
// this one place.
#pragma once

// The answer to the Yes/No question with this title: true for Yes.
bool silentAnswer(const char* title);
// Logs the text of a warning box that is not shown, on one line.
void silentWarning(const char* text);
