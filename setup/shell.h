// The two steps of the install and update sequences that only the product's
// platform can do: the desktop shortcut and the start of the product.
#pragma once

// Puts "KAVO.lnk" ("KAVO_TEST.lnk" in the TEST edition) on the desktop,
// pointing at installDir + "\KAVO.exe" with installDir as working folder,
// and logs "shortcut \"%s\"" once the desktop folder is known.
void makeDesktopShortcut();

// Removes the desktop shortcuts of both editions that point into `folder`
// (a shortcut of another installation stays), logging "delete \"%s\"".
void removeDesktopShortcuts(const char* folder);

// Copies the running installer to `target`, replacing a file there.
bool copyRunningInstaller(const char* target);

// Starts dir + "\KAVO_data\KAVO_interface.exe -launcher" with dir as the
// current folder; true when the process was created.
bool startKAVO(const char* dir);
