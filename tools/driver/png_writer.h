// Minimal PNG writer (24-bit RGB, uncompressed deflate blocks) for the
// driver's screenshots; keeps the driver free of image libraries.
#pragma once

#include <cstdint>
#include <vector>

// rgb holds width * height * 3 bytes, rows top to bottom.
bool writePng(const char* path, int width, int height, const std::vector<uint8_t>& rgb);
