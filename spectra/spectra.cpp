/*
 * Spectra of a run: axis ranges, filling, amplitude lines and the summary.
 *
 * Mean and spread:  m = v0 + sum (v - v0) / N,  s = sqrt(sum (v - m)^2 / (N - 1)),
 *                   two passes around the first value v0 (the values sit far
 *                   from 0, e.g. a baseline of -28,000 with a spread of a few
 *                   units), on the values scaled by a power of two into
 *                   -1 .. 1 so that nothing overflows on the way.
 * Range quantile:   q(f) = v[k] + (v[k + 1] - v[k]) (f (N - 1) - k),
 *                   k = floor(f (N - 1)), v sorted; v[k] (1 - t) + v[k + 1] t
 *                   when the difference overflows.
 * Line position:    vertex of the parabola through the peak bin and its two
 *                   neighbours, x2 + s (y1 - y3) / (2 (y1 - 2 y2 + y3)) with
 *                   s the bin width, so that no square of a position is formed.
 *
 * Result files may hold any finite double. What cannot be represented (an
 * axis too wide for its bins, a difference of positions or a spread beyond the
 * largest double) is reported, and nothing is written.
 */
#include "spectra/spectra.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace {

// Time axis of an empty dt spectrum: the length of a trace either way.
constexpr double kDtFallback = kSamples;
// Lines reported per channel in the summary.
constexpr int kSummaryLines = 3;
// A line's bin holds at least kLineFloor counts and kLineContrast times the
// median of the interior bins (the continuum). The floor matters on a sparse
// spectrum, where the median is 0, 1 or 2 and a Poisson spike of 5 or 6
// counts is no line.
constexpr double kLineFloor = 10.0;
constexpr double kLineContrast = 5.0;
// A line's bin is the fullest within this many bins either side, so that
// the noisy top of one line is not two lines.
constexpr int kLineReach = 3;

double value_of(result_record const& r, int q)
{
    switch (q) {
    case quantity_amplitude: return r[kFieldAmplitude1];
    case quantity_position: return r[kFieldPosition1];
    case quantity_width: return r[kFieldWidth];
    case quantity_ssr: return r[kFieldSsr];
    default: return r[kFieldPosition2] - r[kFieldPosition1];
    }
}

double bin_centre(histogram1D const& h, int i)
{
    return (static_cast<double>(i) / (h.bins() - 1)) * (h.upper() - h.lower()) + h.lower();
}

// Range of quantity q: given on the command line, or from both channels.
axis_range range_of(result_pair const& data, spectra_options const& opt, int q)
{
    if (opt.range[q].given)
        return opt.range[q];
    std::vector<double> v = quantity_values(data, q, 0);
    std::vector<double> b = quantity_values(data, q, 1);
    v.insert(v.end(), b.begin(), b.end());
    return derived_range(std::move(v), opt.trim, -kDtFallback, kDtFallback);
}

struct moments {
    std::size_t n = 0;
    double mean = 0.0;
    double spread = 0.0;
};

moments moments_of(std::vector<double> const& v)
{
    moments m;
    m.n = v.size();
    if (m.n == 0)
        return m;
    // Scaling by 2^-e is exact, so every sum below rounds as it would on the
    // values themselves, but with the values in -1 .. 1 no difference and no
    // square can overflow (values of -1e308 and 1e308 have a mean of 0 and a
    // spread of 1.4e308, while their difference is beyond any double).
    double largest = 0.0;
    for (double x : v)
        largest = std::max(largest, std::fabs(x));
    int e = largest > 0.0 ? std::ilogb(largest) + 1 : 0;
    // Sums of the differences to the first value: a parameter held fixed
    // (the decay rate of the processing phase) then shows a spread of exactly
    // 0 instead of the rounding error of its mean.
    double ref = std::ldexp(v[0], -e);
    double sum = 0.0;
    for (double x : v)
        sum += std::ldexp(x, -e) - ref;
    double d = sum / m.n;
    m.mean = std::ldexp(ref + d, e);
    if (m.n > 1) {
        double ss = 0.0;
        for (double x : v) {
            double r = std::ldexp(x, -e) - ref - d;
            ss += r * r;
        }
        m.spread = std::ldexp(std::sqrt(ss / (m.n - 1)), e);
    }
    return m;
}

void append(std::string* s, char const* format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    *s += buf;
}

// Values of record field k in one channel; for the second pulse's fields only
// those of two-pulse channels (a single pulse leaves them at 0 and at
// kParkedPosition).
std::vector<double> field_values(result_pair const& data, int k, int channel)
{
    std::vector<double> v;
    bool second = k == kFieldAmplitude2 || k == kFieldPosition2;
    for (result_record const& r : data.channel[channel])
        if (!second || holds_two_pulses(r.data()))
            v.push_back(r[k]);
    return v;
}

} // namespace

double rms_residual(result_record const& r)
{
    return std::sqrt(r[kFieldSsr] / kSamples);
}

std::size_t leave_out_rough_fits(result_pair* data, double max_rms)
{
    std::vector<result_record>& a = data->channel[0];
    std::vector<result_record>& b = data->channel[1];
    std::size_t kept = 0;
    for (std::size_t i = 0; i < data->events(); ++i) {
        if (rms_residual(a[i]) > max_rms || rms_residual(b[i]) > max_rms)
            continue;
        a[kept] = a[i];
        b[kept] = b[i];
        ++kept;
    }
    std::size_t left_out = data->events() - kept;
    a.resize(kept);
    b.resize(kept);
    return left_out;
}

std::vector<double> quantity_values(result_pair const& data, int q, int channel)
{
    std::vector<double> v;
    v.reserve(data.channel[channel].size());
    for (result_record const& r : data.channel[channel])
        if (q != quantity_dt || holds_two_pulses(r.data()))
            v.push_back(value_of(r, q));
    return v;
}

double quantile(std::vector<double> const& sorted, double f)
{
    double pos = f * (sorted.size() - 1);
    std::size_t k = static_cast<std::size_t>(pos);
    if (k + 1 >= sorted.size())
        return sorted.back();
    double step = sorted[k + 1] - sorted[k];
    // Neighbours of opposite sign near the largest double: their difference
    // overflows, a weighted sum of the two cannot.
    if (!std::isfinite(step))
        return sorted[k] * (1.0 - (pos - k)) + sorted[k + 1] * (pos - k);
    return sorted[k] + step * (pos - k);
}

int axis_bins(spectra_options const& opt, int q)
{
    bool mapped = q == quantity_amplitude || q == quantity_position;
    return mapped ? std::max(opt.bins, opt.map_bins) : opt.bins;
}

bool check_axis(spectra_options const& opt, int q, axis_range const& r)
{
    int bins = axis_bins(opt, q);
    if (std::isfinite(r.lo) && std::isfinite(r.hi) && r.lo < r.hi &&
        std::isfinite((bins - 1) * (r.hi - r.lo)))
        return true;
    if (r.lo < r.hi)
        std::printf("Error: The %s axis from %g to %g is too wide for %d bins; "
                    "give a narrower range with --%s LO:HI\n", quantity_key(q), r.lo, r.hi, bins,
                    quantity_key(q));
    else
        std::printf("Error: The %s axis from %.17g to %.17g has no width; give a range with "
                    "--%s LO:HI\n", quantity_key(q), r.lo, r.hi, quantity_key(q));
    return false;
}

axis_range derived_range(std::vector<double> values, double trim, double fallback_lo, double fallback_hi)
{
    axis_range r;
    if (values.empty()) {
        r.lo = fallback_lo;
        r.hi = fallback_hi;
        return r;
    }
    std::sort(values.begin(), values.end());
    r.lo = quantile(values, trim / 100.0);
    r.hi = quantile(values, 1.0 - trim / 100.0);
    if (!(r.lo < r.hi)) {
        // 1 % of the value either side; around 0, or where 1 % of a value
        // as small as a subnormal rounds to nothing, half a unit.
        double centre = r.lo;
        double half = 0.01 * std::fabs(centre);
        if (!(centre - half < centre + half))
            half = 0.5;
        r.lo = centre - half;
        r.hi = centre + half;
    }
    return r;
}

int fill_spectra(result_pair const& data, spectra_options const& opt, spectra_set* out)
{
    for (int c = 0; c < 2; ++c) {
        for (std::size_t i = 0; i < data.events(); ++i) {
            result_record const& r = data.channel[c][i];
            if (holds_two_pulses(r.data()) && !std::isfinite(value_of(r, quantity_dt))) {
                std::printf("Error: Result file '%s', record %zu (counted from 0): position 2 - "
                            "position 1 is beyond the largest double (%g - %g)\n",
                            data.path[c].c_str(), i, r[kFieldPosition2], r[kFieldPosition1]);
                return 1;
            }
        }
    }
    axis_range range[quantity_count];
    for (int q = 0; q < quantity_count; ++q) {
        range[q] = range_of(data, opt, q);
        if (!check_axis(opt, q, range[q]))
            return 1;
    }
    for (int q = 0; q < quantity_count; ++q)
        out->spectrum[q].reset(new histogram1D(opt.bins, 2, range[q].lo, range[q].hi));
    axis_range const& a = range[quantity_amplitude];
    axis_range const& p = range[quantity_position];
    int nm = opt.map_bins;
    out->amplitude_map.reset(new histogram2D(nm, nm, 1, a.lo, a.hi, a.lo, a.hi));
    out->position_map.reset(new histogram2D(nm, nm, 1, p.lo, p.hi, p.lo, p.hi));

    out->two_pulse[0] = out->two_pulse[1] = out->two_pulse_both = 0;
    for (std::size_t i = 0; i < data.events(); ++i) {
        result_record const& A = data.channel[0][i];
        result_record const& B = data.channel[1][i];
        for (int c = 0; c < 2; ++c) {
            result_record const& r = c == 0 ? A : B;
            for (int q = 0; q < quantity_count; ++q)
                if (q != quantity_dt || holds_two_pulses(r.data()))
                    out->spectrum[q]->add(value_of(r, q), c);
            if (holds_two_pulses(r.data()))
                ++out->two_pulse[c];
        }
        if (holds_two_pulses(A.data()) && holds_two_pulses(B.data()))
            ++out->two_pulse_both;
        out->amplitude_map->add(A[kFieldAmplitude1], B[kFieldAmplitude1], 0);
        out->position_map->add(A[kFieldPosition1], B[kFieldPosition1], 0);
    }
    return 0;
}

std::vector<amplitude_line> strongest_lines(histogram1D& h, int column, int max_lines)
{
    int n = h.bins();
    std::vector<amplitude_line> lines;
    if (n < 3)
        return lines;
    std::vector<double> d(n);
    for (int i = 0; i < n; ++i)
        d[i] = h.count(i, column);

    // Continuum level: median of the interior bins (the end bins hold what
    // lies off the axis).
    std::vector<double> interior(d.begin() + 1, d.end() - 1);
    std::nth_element(interior.begin(), interior.begin() + interior.size() / 2, interior.end());
    double threshold = std::max(kLineFloor, kLineContrast * interior[interior.size() / 2]);

    // The fullest interior bin within kLineReach bins either side, the first
    // of a flat top.
    std::vector<int> peaks;
    for (int i = 1; i <= n - 2; ++i) {
        if (d[i] < threshold)
            continue;
        bool top = true;
        for (int j = std::max(1, i - kLineReach); j <= std::min(n - 2, i + kLineReach); ++j)
            if (d[j] > d[i] || (j < i && d[j] == d[i]))
                top = false;
        if (top)
            peaks.push_back(i);
    }
    std::stable_sort(peaks.begin(), peaks.end(), [&d](int x, int y) { return d[x] > d[y]; });

    std::vector<int> chosen;
    for (int p : peaks) {
        if (static_cast<int>(chosen.size()) >= max_lines)
            break;
        bool separate = true;
        for (int c : chosen) {
            double low = d[p];
            for (int i = std::min(p, c); i <= std::max(p, c); ++i)
                low = std::min(low, d[i]);
            if (!(low < 0.5 * d[p]))
                separate = false;
        }
        if (!separate)
            continue;
        chosen.push_back(p);

        amplitude_line line;
        double x2 = bin_centre(h, p);
        double step = 0.5 * (bin_centre(h, p + 1) - bin_centre(h, p - 1));
        double y1 = d[p - 1], y2 = d[p], y3 = d[p + 1];
        // The vertex lies within half a bin of x2 (y2 is the highest of the
        // three), so the shift is formed in bin units; a flat top (den 0) has
        // no vertex, and the bin centre is the best guess.
        double den = y1 - 2.0 * y2 + y3;
        line.position = den != 0.0 ? x2 + step * ((y1 - y3) / (2.0 * den)) : x2;
        line.counts = d[p];
        line.fwhm = h.fwhm(x2, column);
        lines.push_back(line);
    }
    return lines;
}

int summary_text(result_pair const& data, spectra_set& s, spectra_options const& opt, std::string* text)
{
    std::string& t = *text;
    t.clear();
    append(&t, "zorv_spectra: %s (channel A) and %s (channel B)\n", data.path[0].c_str(), data.path[1].c_str());
    append(&t, "Events: %zu\n", data.events());
    if (opt.max_rms_given)
        append(&t,
               "Left out %zu of %zu events with an RMS residual above %g ADC counts in either "
               "channel (--max-rms)\n",
               s.left_out, s.left_out + data.events(), opt.max_rms);
    append(&t, "Channels with two pulses: A %zu, B %zu, both in %zu events\n\n", s.two_pulse[0],
           s.two_pulse[1], s.two_pulse_both);

    append(&t, "%-25s %12s %12s %12s %12s\n", "", "channel A", "", "channel B", "");
    append(&t, "%-25s %12s %12s %12s %12s\n", "parameter", "mean", "spread", "mean", "spread");
    for (int k = 0; k <= kBlockDoubles; ++k) {
        bool dt = k == kBlockDoubles;
        bool second = dt || k == kFieldAmplitude2 || k == kFieldPosition2;
        std::string name = dt ? "position 2 - position 1" : field_name(k);
        if (second)
            name += " *";
        append(&t, "%-25s", name.c_str());
        for (int c = 0; c < 2; ++c) {
            moments m = moments_of(dt ? quantity_values(data, quantity_dt, c) : field_values(data, k, c));
            if (!std::isfinite(m.mean) || !std::isfinite(m.spread)) {
                std::printf("Error: The mean or spread of %s in channel %c is beyond the largest "
                            "double\n", dt ? "position 2 - position 1" : field_name(k), "AB"[c]);
                return 1;
            }
            if (m.n == 0)
                append(&t, " %12s %12s", "-", "-");
            else
                append(&t, " %12.6g %12.4g", m.mean, m.spread);
        }
        append(&t, "\n");
    }
    append(&t, "* channels with two pulses only; spread = standard deviation\n\n");

    append(&t, "Axes (centres of the end bins; the end bins also hold what lies outside):\n");
    for (int q = 0; q < quantity_count; ++q) {
        histogram1D const& h = *s.spectrum[q];
        append(&t, "  %-10s %12.6g .. %-12.6g %d bins%s\n", quantity_key(q), h.lower(), h.upper(), h.bins(),
               opt.range[q].given ? "" : " (from the data)");
    }
    append(&t, "  maps       %d x %d bins\n\n", opt.map_bins, opt.map_bins);

    append(&t, "Strongest amplitude lines (amplitude 1):\n");
    append(&t, "  %-8s %12s %10s %12s %9s\n", "channel", "position", "peak bin", "fwhm", "fwhm/pos");
    for (int c = 0; c < 2; ++c) {
        std::vector<amplitude_line> lines =
            strongest_lines(*s.spectrum[quantity_amplitude], c, kSummaryLines);
        if (lines.empty())
            append(&t, "  %-8s none stands out of the continuum\n", c == 0 ? "A" : "B");
        for (amplitude_line const& l : lines) {
            append(&t, "  %-8s %12.6g %10.0f %12.4g", c == 0 ? "A" : "B", l.position, l.counts, l.fwhm);
            // No ratio for a line at 0 (or so near it that the ratio overflows).
            double percent = 100.0 * (l.fwhm / std::fabs(l.position));
            if (std::isfinite(percent))
                append(&t, " %8.3f%%", percent);
            append(&t, "\n");
        }
    }
    return 0;
}
