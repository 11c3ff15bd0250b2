// zorv_spectra's PNG writer: checksums, a decoder of our own that checks
// every chunk, block and checksum, and a map of a known pattern whose pixels
// must sit where the histogram puts them.
#include "png.h"
#include "spectra.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::uint32_t be32(unsigned char const* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

/*
 * Decodes what our writer produces (and fails on anything else): signature,
 * IHDR of 8-bit RGB, chunk CRCs, a zlib stream of stored blocks with LEN and
 * NLEN in agreement and a final block, the Adler-32, and rows of filter type
 * 0. Returns an empty picture with `error` set when something is wrong.
 */
rgb_image decode_png(std::vector<unsigned char> const& f, std::string* error)
{
    rgb_image img;
    static unsigned char const sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (f.size() < 8 || std::memcmp(f.data(), sig, 8) != 0) {
        *error = "signature";
        return img;
    }
    std::vector<unsigned char> z;
    bool ended = false;
    std::size_t p = 8;
    while (p + 12 <= f.size() && !ended) {
        std::uint32_t len = be32(&f[p]);
        std::string type(f.begin() + p + 4, f.begin() + p + 8);
        if (p + 12 + len > f.size()) {
            *error = "chunk length";
            return img;
        }
        if (crc32_update(0, &f[p + 4], 4 + len) != be32(&f[p + 8 + len])) {
            *error = "CRC of " + type;
            return rgb_image();
        }
        unsigned char const* d = &f[p + 8];
        if (type == "IHDR") {
            img.width = static_cast<int>(be32(d));
            img.height = static_cast<int>(be32(d + 4));
            if (len != 13 || d[8] != 8 || d[9] != 2 || d[10] || d[11] || d[12]) {
                *error = "IHDR";
                return rgb_image();
            }
        } else if (type == "IDAT") {
            z.insert(z.end(), d, d + len);
        } else if (type == "IEND") {
            ended = true;
        }
        p += 12 + len;
    }
    if (!ended || p != f.size()) {
        *error = "IEND";
        return rgb_image();
    }
    if (z.size() < 6 || z[0] != 0x78 || (z[0] * 256 + z[1]) % 31 != 0) {
        *error = "zlib header";
        return rgb_image();
    }
    std::vector<unsigned char> raw;
    std::size_t q = 2;
    for (bool last = false; !last;) {
        if (q + 5 > z.size() || (z[q] & 0x06) != 0) {
            *error = "not a stored block";
            return rgb_image();
        }
        last = z[q] & 1;
        unsigned len = z[q + 1] | (z[q + 2] << 8);
        unsigned nlen = z[q + 3] | (z[q + 4] << 8);
        if ((len ^ 0xffff) != nlen || q + 5 + len > z.size()) {
            *error = "LEN/NLEN";
            return rgb_image();
        }
        raw.insert(raw.end(), z.begin() + q + 5, z.begin() + q + 5 + len);
        q += 5 + len;
    }
    if (q + 4 != z.size() || adler32_update(1, raw.data(), raw.size()) != be32(&z[q])) {
        *error = "Adler-32";
        return rgb_image();
    }
    std::size_t row = 3 * static_cast<std::size_t>(img.width);
    if (raw.size() != (row + 1) * img.height) {
        *error = "data size";
        return rgb_image();
    }
    for (int y = 0; y < img.height; ++y) {
        if (raw[y * (row + 1)] != 0) {
            *error = "filter type";
            return rgb_image();
        }
        img.pixels.insert(img.pixels.end(), raw.begin() + y * (row + 1) + 1, raw.begin() + (y + 1) * (row + 1));
    }
    return img;
}

std::string pixel(rgb_image const& img, int x, int y)
{
    std::size_t k = 3 * (static_cast<std::size_t>(y) * img.width + x);
    return std::to_string(img.pixels[k]) + " " + std::to_string(img.pixels[k + 1]) + " " +
           std::to_string(img.pixels[k + 2]);
}

rgb_image gradient(int w, int h)
{
    rgb_image img;
    img.width = w;
    img.height = h;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            img.pixels.push_back(static_cast<unsigned char>(x));
            img.pixels.push_back(static_cast<unsigned char>(y));
            img.pixels.push_back(static_cast<unsigned char>(x ^ y));
        }
    return img;
}

void put_double(std::string* bytes, double x)
{
    std::uint64_t u;
    std::memcpy(&u, &x, 8);
    for (int b = 0; b < 8; ++b)
        bytes->push_back(static_cast<char>((u >> (8 * b)) & 0xff));
}

// Result files whose amplitudes 1 (A, B) are the given pairs.
void write_amplitudes(std::vector<std::pair<double, double>> const& pairs)
{
    std::string a, b;
    for (auto const& pr : pairs) {
        for (int c = 0; c < 2; ++c) {
            std::string* out = c == 0 ? &a : &b;
            double v[9] = {6e6, c == 0 ? pr.first : pr.second, -0.0015, -28000, 1250, 3, 5000, 0, 1500};
            for (double x : v)
                put_double(out, x);
        }
    }
    write_text("ab0.bin", a);
    write_text("ab1.bin", b);
}

} // namespace

// Check values of the two checksums on their standard test strings.
TEST(SpectraPng, Checksums)
{
    std::string s = "123456789";
    auto u = reinterpret_cast<unsigned char const*>(s.data());
    EXPECT_EQ(crc32_update(0, u, s.size()), 0xCBF43926u);
    // Continued in two pieces, the same.
    EXPECT_EQ(crc32_update(crc32_update(0, u, 4), u + 4, 5), 0xCBF43926u);
    std::string w = "Wikipedia";
    EXPECT_EQ(adler32_update(1, reinterpret_cast<unsigned char const*>(w.data()), w.size()), 0x11E60398u);
    EXPECT_EQ(adler32_update(1, nullptr, 0), 1u);
}

// A small picture comes back pixel for pixel.
TEST(SpectraPng, SmallRoundTrip)
{
    rgb_image img = gradient(5, 3);
    std::string error;
    rgb_image back = decode_png(encode_png(img), &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(back.width, 5);
    EXPECT_EQ(back.height, 3);
    EXPECT_EQ(back.pixels, img.pixels);
}

// Over 65,535 bytes of rows need several stored blocks.
TEST(SpectraPng, SeveralBlocks)
{
    rgb_image img = gradient(250, 200); // 200 rows of 751 bytes
    std::vector<unsigned char> f = encode_png(img);
    std::string error;
    rgb_image back = decode_png(f, &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(back.pixels, img.pixels);
    // Three blocks of 5 header bytes each around 150,200 bytes of rows.
    EXPECT_EQ(f.size(), 8u + 25u + (12u + 2u + 150200u + 3u * 5u + 4u) + 12u);
}

// The decoder is no rubber stamp: a flipped pixel byte breaks the checks.
TEST(SpectraPng, DecoderNoticesDamage)
{
    std::vector<unsigned char> f = encode_png(gradient(4, 4));
    f[f.size() - 30] ^= 1;
    std::string error;
    decode_png(f, &error);
    EXPECT_EQ(error, "CRC of IDAT");
}

// Plain PPM in, with comments and any white space; bad files refused.
TEST(SpectraPng, ReadPpm)
{
    TempDir dir;
    write_text("a.ppm", "P3\n# made by hand\n2 1\n255\n1 2 3\n  255 0 9\n");
    rgb_image img;
    ASSERT_EQ(read_ppm("a.ppm", &img), 0);
    EXPECT_EQ(img.width, 2);
    EXPECT_EQ(img.height, 1);
    EXPECT_EQ(img.pixels, (std::vector<unsigned char>{1, 2, 3, 255, 0, 9}));
    write_text("b.ppm", "P3\n2 1\n255\n1 2 3\n");
    std::string out = capture_stdout([&] { EXPECT_EQ(read_ppm("b.ppm", &img), 1); });
    EXPECT_EQ(out, "Error: 'b.ppm' is not a plain PPM image with 8-bit colours\n");
}

// A map of a known pattern: amplitude axis 0 .. 40 in 5 bins on both axes.
// Two events at (10, 30) fill cell (1, 3), one at (20, 10) cell (2, 1). On
// the logarithmic scale the fuller cell is the maximum (red) and the other
// lies half-way, ln 2 / ln 4 (palette between entries 5 and 6: 79 220 0);
// everything else is empty (black). The top row of the picture is the
// largest y, so cell (i, j) is pixel (i, 4 - j).
TEST(SpectraPng, MapPixelsWhereTheyBelong)
{
    TempDir dir;
    write_amplitudes({{10.0, 30.0}, {10.0, 30.0}, {20.0, 10.0}});
    std::vector<char const*> argv = {"zorv_spectra", "ab", "-o", "out", "-m", "5", "--amplitude", "0:40"};
    spectra_options opt;
    ASSERT_EQ(parse_arguments(static_cast<int>(argv.size()), argv.data(), &opt), 0);
    std::string out = capture_stdout([&] { EXPECT_EQ(run_spectra(opt), 0); });
    EXPECT_NE(out.find("amplitude_map.ppm: Shift -0.693147, normalization 0.721348\n"), std::string::npos)
        << out;

    std::string error;
    rgb_image img = decode_png(read_bytes("out/amplitude_map.png"), &error);
    ASSERT_EQ(error, "");
    ASSERT_EQ(img.width, 5);
    ASSERT_EQ(img.height, 5);
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 5; ++x) {
            std::string want = "0 0 0";
            if (x == 1 && y == 1)
                want = "255 0 0";
            if (x == 2 && y == 3)
                want = "79 220 0";
            EXPECT_EQ(pixel(img, x, y), want) << "pixel " << x << ", " << y;
        }
    }
    // The PNG holds the very pixels of the library's PPM.
    rgb_image ppm;
    ASSERT_EQ(read_ppm("out/amplitude_map.ppm", &ppm), 0);
    EXPECT_EQ(ppm.pixels, img.pixels);
}
