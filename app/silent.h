// The answers of an unattended run (-silent): each box it would show is
// answered here, without being shown.  A new question gets its answer in
// this one place.
#pragma once

// The answer to the Yes/No question with this title: true for Yes.
bool silentAnswer(const char* title);
// Logs the text of a box that is not shown, on one line, after `what`.
void silentNote(const char* text, const char* what);
// silentNote for a warning box.
void silentWarning(const char* text);
