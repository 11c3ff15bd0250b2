/*
 * PNG files through libpng's simplified interface, and the plain PPM reader
 * that feeds it.
 */
#include "spectra/png.h"

// By its directory: this folder's own "png.h" is on the include path first.
#include <libpng16/png.h>

#include <cstdio>
#include <cstring>

namespace {

// Next whitespace-separated integer of a PPM text, skipping "#" comments.
bool next_int(char const** p, char const* end, long* v)
{
    char const* s = *p;
    for (;;) {
        while (s < end && (*s == ' ' || *s == '\n' || *s == '\r' || *s == '\t'))
            ++s;
        if (s < end && *s == '#') {
            while (s < end && *s != '\n')
                ++s;
            continue;
        }
        break;
    }
    if (s == end || *s < '0' || *s > '9')
        return false;
    long x = 0;
    while (s < end && *s >= '0' && *s <= '9') {
        x = x * 10 + (*s - '0');
        if (x > 1000000000L)
            return false;
        ++s;
    }
    *p = s;
    *v = x;
    return true;
}

} // namespace

int write_png(std::string const& path, rgb_image const& image)
{
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    // Rows follow each other without padding: a stride of 3 bytes per pixel.
    // libpng removes the file again when it fails half-way.
    int ok = png_image_write_to_file(&png, path.c_str(), 0, image.pixels.data(), 0, nullptr);
    if (!ok) {
        std::printf("Error: Cannot write PNG file '%s': %s\n", path.c_str(), png.message);
        png_image_free(&png);
        return 1;
    }
    return 0;
}

int read_ppm(std::string const& path, rgb_image* image)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::printf("Error: Cannot open image '%s'\n", path.c_str());
        return 1;
    }
    std::vector<char> text;
    char buf[1 << 16];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.insert(text.end(), buf, buf + got);
    std::fclose(f);

    char const* p = text.data();
    char const* end = p + text.size();
    long w, h, maxval;
    bool ok = text.size() >= 2 && p[0] == 'P' && p[1] == '3';
    if (ok) {
        p += 2;
        ok = next_int(&p, end, &w) && next_int(&p, end, &h) && next_int(&p, end, &maxval) &&
             w > 0 && h > 0 && maxval == 255 && w * h <= 100000000L;
    }
    if (ok) {
        image->width = static_cast<int>(w);
        image->height = static_cast<int>(h);
        image->pixels.assign(3 * static_cast<std::size_t>(w) * h, 0);
        for (std::size_t i = 0; ok && i < image->pixels.size(); ++i) {
            long v;
            ok = next_int(&p, end, &v) && v <= 255;
            if (ok)
                image->pixels[i] = static_cast<unsigned char>(v);
        }
    }
    if (!ok) {
        std::printf("Error: '%s' is not a plain PPM image with 8-bit colours\n", path.c_str());
        return 1;
    }
    return 0;
}
