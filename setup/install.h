// The installation sequence behind the INSTALL button.
#pragma once

// The longest installation folder for which every path built from it fits
// its 260-byte buffer (the product start's command line is the longest).
int maxInstallDirLength();

// Runs the whole installation into installDir; true once it has reached
// "Installation Completed".
bool installKAVO();
