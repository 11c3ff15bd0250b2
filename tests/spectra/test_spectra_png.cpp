// zorv_spectra's PNG files: written through libpng, read back with libpng
// pixel for pixel, compressed, and a map of a known pattern whose pixels must
// sit where the histogram puts them.
#include "spectra/png.h"
#include "formats/record_format.h"
#include "spectra/spectra.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <libpng16/png.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Decodes a PNG file with libpng into 8-bit RGB; an empty picture with
// `error` set when libpng refuses it.
rgb_image decode_png(std::string const& path, std::string* error)
{
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    rgb_image img;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        *error = png.message;
        return img;
    }
    // The file itself must be 8-bit RGB: no palette, alpha or grey was chosen
    // behind our back.
    if (png.format != PNG_FORMAT_RGB) {
        *error = "format " + std::to_string(png.format);
        png_image_free(&png);
        return img;
    }
    img.width = static_cast<int>(png.width);
    img.height = static_cast<int>(png.height);
    img.pixels.resize(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, img.pixels.data(), 0, nullptr)) {
        *error = png.message;
        return rgb_image();
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
            double v[kBlockDoubles] = {6e6, c == 0 ? pr.first : pr.second, -0.0015, -28000, 1250, 3,
                                       5000, 0, kParkedPosition};
            for (double x : v)
                put_double(out, x);
        }
    }
    write_text("ab0.bin", a);
    write_text("ab1.bin", b);
}

} // namespace

// A small picture comes back pixel for pixel.
TEST(SpectraPng, SmallRoundTrip)
{
    TempDir dir;
    rgb_image img = gradient(5, 3);
    ASSERT_EQ(write_png("small.png", img), 0);
    std::string error;
    rgb_image back = decode_png("small.png", &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(back.width, 5);
    EXPECT_EQ(back.height, 3);
    EXPECT_EQ(back.pixels, img.pixels);
}

// A map-like picture, mostly black, is compressed far below its 150,000 raw
// bytes and still comes back whole.
TEST(SpectraPng, Compressed)
{
    TempDir dir;
    rgb_image img = gradient(250, 200);
    for (std::size_t k = 0; k < img.pixels.size(); ++k)
        if ((k / 3) % 250 > 20)
            img.pixels[k] = 0;
    ASSERT_EQ(write_png("map.png", img), 0);
    EXPECT_LT(file_size("map.png"), 15000);
    std::string error;
    rgb_image back = decode_png("map.png", &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(back.pixels, img.pixels);
}

// A file that cannot be created: one "Error: " line, status 1, no file.
TEST(SpectraPng, WriteFailure)
{
    TempDir dir;
    int status = 0;
    std::string out = capture_stdout([&] { status = write_png("missing/m.png", gradient(2, 2)); });
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out.rfind("Error: Cannot write PNG file 'missing/m.png': ", 0), 0u) << out;
    EXPECT_EQ(split_lines(out).size(), 1u) << out;
    EXPECT_FALSE(file_exists("missing/m.png"));
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
    rgb_image img = decode_png("out/amplitude_map.png", &error);
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
