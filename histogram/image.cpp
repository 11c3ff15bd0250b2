/*
 * False-colour images of a two-dimensional histogram, one plain PPM ("P3")
 * file per set.
 *
 * Scale:  linear       t = v;
 *         logarithmic  t = (ln v - shift) / (ln max - shift), shift = ln(min/2),
 *                      max and min the largest and the smallest positive value
 *                      of the interior (edge rows and columns collect
 *                      under- and overflow and would swamp the scale), so the
 *                      largest cell is 1 and the smallest positive one ln 2 /
 *                      (ln max - shift); empty cells are 0.
 * Colour: cosine-squared blend of the two palette entries around t, on a
 *         palette of 12 entries.
 * The picture's top row is the largest y and x grows to the right.
 */
#include "histogram/color.h"
#include "histogram/histogram2d.h"
#include "histogram/histogram_detail.h"

#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr double kPi = 3.141592653589793;

// Black through violet, blue, teal, green and yellow to red.
constexpr int kPaletteSize = 12;
constexpr color kImagePalette[kPaletteSize] = {
    {0, 0, 0},     {112, 10, 171}, {56, 20, 176}, {18, 64, 171},
    {0, 153, 153}, {0, 204, 0},    {158, 237, 0}, {255, 255, 0},
    {255, 212, 0}, {255, 171, 0},  {255, 115, 0}, {255, 0, 0},
};

// floor or ceil of X as a palette index in 0 .. n - 1; clamped before the
// conversion so that no value, however large, overflows the integer.
int clamp_index(double v, int n)
{
    if (v < 0.0)
        return 0;
    if (v > n - 1)
        return n - 1;
    return static_cast<int>(v);
}

} // namespace

void interpolate(double x, int* r, int* g, int* b, color* palette, int n)
{
    if (std::isnan(x)) {
        *r = palette[0].red;
        *g = palette[0].green;
        *b = palette[0].blue;
        return;
    }
    double X = x * (n - 1);
    int lo = clamp_index(std::floor(X), n);
    int hi = clamp_index(std::ceil(X), n);
    // On an entry, or off the palette at either end: that entry exactly.
    if (lo == hi) {
        *r = palette[lo].red;
        *g = palette[lo].green;
        *b = palette[lo].blue;
        return;
    }
    double chi = std::cos((hi - X) * kPi * 0.5);
    double clo = std::cos((X - lo) * kPi * 0.5);
    double whi = chi * chi;
    double wlo = clo * clo;
    *r = static_cast<int>((palette[hi].red * whi + palette[lo].red * wlo) / (whi + wlo));
    *g = static_cast<int>((palette[hi].green * whi + palette[lo].green * wlo) / (whi + wlo));
    *b = static_cast<int>((palette[hi].blue * whi + palette[lo].blue * wlo) / (whi + wlo));
}

int histogram2D::writeImage(char const* prefix, bool logarithmic)
{
    color palette[kPaletteSize];
    for (int k = 0; k < kPaletteSize; ++k)
        palette[k] = kImagePalette[k];

    for (int s = 0; s < nsets; ++s) {
        // Built as a string: a prefix of any length fits.
        std::string name = std::string(prefix) + std::to_string(s + 1) + ".ppm";
        std::FILE* f = std::fopen(name.c_str(), "w");
        if (f == nullptr)
            return detail::report_open_failure(name.c_str());
        std::fprintf(f, "P3\n");
        std::fprintf(f, "%d %d\n", nx, ny);
        std::fprintf(f, "%d\n", 255);

        double max = counts[1][1][s];
        double min = 1e32;
        for (int i = 1; i <= nx - 2; ++i) {
            for (int j = 1; j <= ny - 2; ++j) {
                double v = counts[i][j][s];
                if (v > max)
                    max = v;
                if (v > 0.0 && v < min)
                    min = v;
            }
        }
        double shift = 0.0;
        double normalization = 1.0;
        if (logarithmic && max > 0.0 && min > 0.0) {
            shift = std::log(0.5 * min);
            normalization = 1.0 / (std::log(max) - shift);
        }
        std::printf("Shift %g, normalization %g\n", shift, normalization);

        for (int j = ny - 1; j >= 0; --j) {
            for (int i = 0; i < nx; ++i) {
                double v = counts[i][j][s];
                double t;
                if (logarithmic)
                    t = v == 0.0 ? 0.0 : (std::log(v) - shift) * normalization;
                else
                    t = normalization * v;
                int r, g, b;
                interpolate(t, &r, &g, &b, palette, kPaletteSize);
                std::fprintf(f, "%d %d %d\n", r, g, b);
            }
        }
        if (detail::close_checked(f, name.c_str()) != 0)
            return 1;
    }
    return 0;
}
