#include "setup/package_check.h"

#include "archive/package_sign.h"

const uint8_t* installerPackageKey = nullptr;

bool packageTrusted(const char* path) { return !installerPackageKey || verifyPackage(path, installerPackageKey); }
