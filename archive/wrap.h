// The packer: writes a folder tree as a package archive (format in
// wrp_format.h), taking the entries that the package mode selects.
#pragma once

#include <cstdint>
#include <cstdio>

// Which parts of a release folder one package takes.  Depth 0 is the
// entries directly inside the packed folder.
enum : uint16_t {
    PACK_ALL = 0,       // everything
    PACK_OSKE_EXE = 1,  // folder "OSKE" with only the files directly in it
    PACK_OSKE_ALL = 3,  // folder "OSKE" whole
    PACK_VELN_EXE = 4,  // folder "VELN": its files and its subfolder "BIN" whole
    PACK_VELN_ALL = 5,  // folder "VELN" whole
    PACK_KAVO_EXE = 6,  // folder "KAVO_data" whole
    PACK_UBRA_EXE = 7,  // folder "UBRA", all its folders, only files "UBRA.exe"
    PACK_UBRA_ALL = 8,  // folder "UBRA" whole
};

// True for the values of the table above.
bool isPackageMode(uint16_t packageMode);

// Packs sourceFolder into archivePath (created or overwritten).  False when a
// path is null or too long, when the archive cannot be created or written,
// and when any taken entry could not be packed whole; a failed archive is
// removed, so a published archive always matches its size fields.
bool wrapFolder(const char* sourceFolder, const char* archivePath, uint16_t packageMode);

// Writes the listing of one folder (folderPath ends with a separator) with
// its end record.  False when folderPath or the stream is null, or when an
// entry of this listing could not be packed.
bool wrapFolder_rec(const char* folderPath, FILE* dstFile, int depth);
