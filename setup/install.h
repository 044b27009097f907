// The installation sequence behind the INSTALL button.
#pragma once

// Runs the whole installation into installDir; true once it has reached
// "Installation Completed".
bool installKAVO();
