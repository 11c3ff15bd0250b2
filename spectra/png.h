/*
 * A minimal PNG writer, so that a browser can show the false-colour maps
 * without any library: 8-bit RGB, no interlace, filter type 0 on every row,
 * and the zlib stream made of uncompressed ("stored") deflate blocks. The
 * files are about as large as the raw pixels (3 bytes per pixel), which is
 * small for maps of a few hundred cells a side.
 *
 * The PNG copy of a map is made from the plain PPM ("P3") file that the
 * histogram library writes, so both pictures have the same pixels.
 */
#ifndef ZORV_SPECTRA_PNG_H
#define ZORV_SPECTRA_PNG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// CRC-32 of PNG chunks (polynomial 0xEDB88320, reflected, inverted), continued
// from a previous value `crc` (0 to start).
std::uint32_t crc32_update(std::uint32_t crc, unsigned char const* data, std::size_t n);

// Adler-32 checksum of a zlib stream's uncompressed data (1 to start).
std::uint32_t adler32_update(std::uint32_t adler, unsigned char const* data, std::size_t n);

// An RGB picture: width x height pixels, rows from the top, 3 bytes each.
struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> pixels;
};

// The complete bytes of a PNG file of the picture.
std::vector<unsigned char> encode_png(rgb_image const& image);

// Writes the picture as a PNG file. Returns 0, or prints an "Error: " line
// and returns 1.
int write_png(std::string const& path, rgb_image const& image);

// Reads a plain PPM ("P3", maximum value 255) file. Returns 0, or prints an
// "Error: " line and returns 1.
int read_ppm(std::string const& path, rgb_image* image);

#endif
