/*
 * The false-colour maps as PNG files, so that a browser can show them.
 *
 * The PNG copy of a map is made from the plain PPM ("P3") file that the
 * histogram library writes, so both pictures have the same pixels. libpng
 * writes it: 8-bit RGB, no interlace, deflate-compressed (a map of mostly
 * empty black cells shrinks to a small fraction of its raw pixels).
 */
#ifndef ZORV_SPECTRA_PNG_H
#define ZORV_SPECTRA_PNG_H

#include <string>
#include <vector>

// An RGB picture: width x height pixels, rows from the top, 3 bytes each.
struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;
};

// Writes the picture as a PNG file. Returns 0, or prints an "Error: " line
// and returns 1 (no partial file is left behind).
int write_png(std::string const& path, rgb_image const& image);

// Reads a plain PPM ("P3", maximum value 255) file. Returns 0, or prints an
// "Error: " line and returns 1.
int read_ppm(std::string const& path, rgb_image* image);

#endif
