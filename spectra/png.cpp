/*
 * PNG writer with stored deflate blocks.
 *
 * File:   8-byte signature, then chunks "length type data CRC-32(type data)":
 *         IHDR (width, height, depth 8, colour type 2 = RGB, compression 0,
 *         filter 0, interlace 0), one IDAT, IEND. Integers are big-endian.
 * IDAT:   zlib stream = header 0x78 0x01, deflate blocks, Adler-32 of the
 *         uncompressed data (big-endian).
 * Blocks: stored, at most 65,535 bytes each: a header byte (1 on the last
 *         block, else 0; the block type 00 sits in bits 1-2), then LEN and
 *         its one's complement NLEN (little-endian 16 bit), then LEN bytes.
 * Data:   per row a filter byte 0 (none) and the row's RGB bytes.
 */
#include "png.h"

#include <cstdio>
#include <cstring>

namespace {

void put32(std::vector<unsigned char>* out, std::uint32_t v)
{
    out->push_back(static_cast<unsigned char>(v >> 24));
    out->push_back(static_cast<unsigned char>(v >> 16));
    out->push_back(static_cast<unsigned char>(v >> 8));
    out->push_back(static_cast<unsigned char>(v));
}

// Appends one chunk with its length and CRC.
void put_chunk(std::vector<unsigned char>* out, char const* type, std::vector<unsigned char> const& data)
{
    put32(out, static_cast<std::uint32_t>(data.size()));
    std::size_t start = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data.begin(), data.end());
    put32(out, crc32_update(0, out->data() + start, out->size() - start));
}

// zlib stream of `raw` in stored deflate blocks.
std::vector<unsigned char> zlib_stored(std::vector<unsigned char> const& raw)
{
    std::vector<unsigned char> z;
    // CMF: deflate, 32K window; FLG: no dictionary, check bits making
    // 0x7801 a multiple of 31.
    z.push_back(0x78);
    z.push_back(0x01);
    std::size_t pos = 0;
    do {
        std::size_t len = raw.size() - pos;
        if (len > 65535)
            len = 65535;
        bool last = pos + len == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<unsigned char>(len & 0xff));
        z.push_back(static_cast<unsigned char>(len >> 8));
        z.push_back(static_cast<unsigned char>(~len & 0xff));
        z.push_back(static_cast<unsigned char>((~len >> 8) & 0xff));
        z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + len);
        pos += len;
    } while (pos < raw.size());
    put32(&z, adler32_update(1, raw.data(), raw.size()));
    return z;
}

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

std::uint32_t crc32_update(std::uint32_t crc, unsigned char const* data, std::size_t n)
{
    // Remainder of every byte value, computed once.
    struct crc_table {
        std::uint32_t v[256];
        crc_table()
        {
            for (std::uint32_t i = 0; i < 256; ++i) {
                std::uint32_t c = i;
                for (int k = 0; k < 8; ++k)
                    c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                v[i] = c;
            }
        }
    };
    static crc_table const table;
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i)
        crc = table.v[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return ~crc;
}

std::uint32_t adler32_update(std::uint32_t adler, unsigned char const* data, std::size_t n)
{
    const std::uint32_t mod = 65521;
    std::uint32_t a = adler & 0xffff;
    std::uint32_t b = adler >> 16;
    for (std::size_t i = 0; i < n; ++i) {
        a = (a + data[i]) % mod;
        b = (b + a) % mod;
    }
    return (b << 16) | a;
}

std::vector<unsigned char> encode_png(rgb_image const& image)
{
    static unsigned char const signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<unsigned char> out(signature, signature + 8);

    std::vector<unsigned char> ihdr;
    put32(&ihdr, static_cast<std::uint32_t>(image.width));
    put32(&ihdr, static_cast<std::uint32_t>(image.height));
    ihdr.push_back(8); // bits per sample
    ihdr.push_back(2); // RGB
    ihdr.push_back(0); // deflate
    ihdr.push_back(0); // adaptive filtering, filter type per row
    ihdr.push_back(0); // no interlace
    put_chunk(&out, "IHDR", ihdr);

    std::size_t row = 3 * static_cast<std::size_t>(image.width);
    std::vector<unsigned char> raw;
    raw.reserve((row + 1) * image.height);
    for (int y = 0; y < image.height; ++y) {
        raw.push_back(0); // filter: none
        raw.insert(raw.end(), image.pixels.begin() + y * row, image.pixels.begin() + (y + 1) * row);
    }
    put_chunk(&out, "IDAT", zlib_stored(raw));
    put_chunk(&out, "IEND", {});
    return out;
}

int write_png(std::string const& path, rgb_image const& image)
{
    std::vector<unsigned char> bytes = encode_png(image);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::printf("Error: Cannot open file '%s' for writing\n", path.c_str());
        return 1;
    }
    bool failed = std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size();
    if (std::fclose(f) != 0)
        failed = true;
    if (failed) {
        std::printf("Error: Cannot write file '%s'\n", path.c_str());
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
