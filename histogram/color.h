/*
 * False colours for histogram images: a palette of RGB entries and a smooth
 * blend between neighbouring entries.
 */
#ifndef ZORV_HISTOGRAM_COLOR_H
#define ZORV_HISTOGRAM_COLOR_H

#include <cstdint>

// One palette entry.
struct color {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
};

/*
 * Colour of x in [0, 1] on a palette of n entries: X = x (n - 1) falls
 * between the entries lo = floor(X) and hi = ceil(X) (both clamped to
 * 0 .. n - 1), which are blended with the weights cos^2((hi - X) pi/2) and
 * cos^2((X - lo) pi/2), renormalised by their sum and truncated. Values below
 * 0 give the first entry, values above 1 the last; a NaN gives the first
 * entry (black on the image palette) so that an undefined cell still gets a
 * defined colour. Outputs: *r, *g, *b.
 */
void interpolate(double x, int* r, int* g, int* b, color* palette, int n);

#endif
