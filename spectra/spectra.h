/*
 * zorv_spectra: the first look at a zorv_mpi run. Reads the two result files
 * of a run together and writes, into one output folder,
 *
 *   amplitude.txt, position.txt, width.txt, ssr.txt, dt.txt
 *       one-dimensional spectra (histogram1D tables, column 1 channel A,
 *       column 2 channel B) of amplitude 1, position 1, width, residual sum of
 *       squares, and of the time between the pulses (position 2 - position 1)
 *       of the channels fitted with two pulses;
 *   amplitude_map.txt, .ppm, .png
 *       amplitude 1 of channel A (x) against channel B (y): histogram2D table
 *       and logarithmic false-colour image;
 *   position_map.txt, .ppm, .png
 *       the same for position 1;
 *   summary.txt
 *       the text summary, also printed on standard output.
 *
 * With --max-rms X the events whose fit left an RMS residual above X ADC
 * counts in either channel are left out of everything written, and the
 * summary says how many: one bad fit spoils the whole event, as the maps
 * pair the channels.
 *
 * Axes follow the histogram library: the given or derived range is the pair
 * of centres of the end bins, and the end bins also collect everything
 * outside. Ranges not given run between the trim and 100 - trim percentiles
 * of the values of both channels, so that a few wild fits do not squeeze the
 * spectrum into a handful of bins.
 *
 * Nothing is written unless the whole input has been read and checked, and
 * the files are made under temporary names in a hidden folder inside the
 * output folder and renamed into place only when all of them are complete.
 */
#ifndef ZORV_SPECTRA_SPECTRA_H
#define ZORV_SPECTRA_SPECTRA_H

#include "histogram/histogram1d.h"
#include "histogram/histogram2d.h"
#include "spectra/result_file.h"

#include <memory>
#include <string>
#include <vector>

// The quantities with a one-dimensional spectrum.
enum quantity {
    quantity_amplitude = 0, // amplitude 1
    quantity_position,      // position 1
    quantity_width,
    quantity_ssr,
    quantity_dt,            // position 2 - position 1, two-pulse channels only
    quantity_count
};

// Option name and table name of a quantity ("amplitude", "position", ...).
char const* quantity_key(int q);

struct axis_range {
    bool given = false;
    double lo = 0.0;
    double hi = 0.0;
};

struct spectra_options {
    std::string base;                      // result files <base>0.bin, <base>1.bin
    std::string output_dir = "spectra";
    int bins = 1000;                       // bins of the one-dimensional spectra
    int map_bins = 200;                    // bins per axis of the maps
    double trim = 0.5;                     // percent left out at each end of a derived range
    axis_range range[quantity_count];      // ranges given on the command line
    bool max_rms_given = false;            // --max-rms: leave out events fitted worse than
    double max_rms = 0.0;                  // this RMS residual (ADC counts) in either channel
};

/*
 * Command line into *opt. Returns 0 to run, 3 after printing the help text or
 * the version (the caller then exits with status 0), or 2 after an "Error: "
 * line about a bad option.
 */
int parse_arguments(int argc, char const* const* argv, spectra_options* opt);
void print_usage();

/*
 * RMS residual of a channel's fit, sqrt(ssr / 2500) in ADC counts: the
 * typical distance of a sample from the fitted curve, which the noise of the
 * trace sets for a good fit. A pile-up or a pulse the model does not
 * describe leaves a much larger one.
 */
double rms_residual(result_record const& r);

/*
 * Removes from *data every event whose RMS residual exceeds max_rms in
 * either channel (both channels' records go, so that record i of one still
 * belongs with record i of the other). Returns the number removed.
 */
std::size_t leave_out_rough_fits(result_pair* data, double max_rms);

// Bins of the axes that quantity q's range spans: the amplitude and position
// ranges are also the axes of the maps.
int axis_bins(spectra_options const& opt, int q);

/*
 * True when the range of quantity q can be an axis: finite ends in order, and
 * (bins - 1) times its width finite, the largest product the histograms form
 * when they place a value. Otherwise prints an "Error: " line naming the
 * quantity and its range and returns false.
 */
bool check_axis(spectra_options const& opt, int q, axis_range const& r);

// Values of quantity q in one channel, in event order; for quantity_dt only
// those of the events in which the channel holds two pulses.
std::vector<double> quantity_values(result_pair const& data, int q, int channel);

// Value below which a fraction f (0 .. 1) of `sorted` lies, interpolated
// linearly between neighbouring order statistics.
double quantile(std::vector<double> const& sorted, double f);

/*
 * Axis range of a spectrum from its values (both channels): the trim and
 * 100 - trim percentiles. A range of zero width (one value, or all equal) is
 * widened by 1 % of the value each side, or by 0.5 around 0; without values
 * the range is `fallback_lo` .. `fallback_hi`.
 */
axis_range derived_range(std::vector<double> values, double trim, double fallback_lo, double fallback_hi);

// The filled histograms of one run.
struct spectra_set {
    std::unique_ptr<histogram1D> spectrum[quantity_count];
    std::unique_ptr<histogram2D> amplitude_map;
    std::unique_ptr<histogram2D> position_map;
    std::size_t two_pulse[2] = {0, 0};     // channels with two pulses
    std::size_t two_pulse_both = 0;        // events with two pulses in both
    std::size_t left_out = 0;              // events left out by --max-rms
};

/*
 * Chooses the axes and fills every histogram from the checked data. Returns
 * 0, or prints an "Error: " line and returns 1 when a value of position 2 -
 * position 1 or an axis cannot be represented (see check_axis).
 */
int fill_spectra(result_pair const& data, spectra_options const& opt, spectra_set* out);

// One peak of an amplitude spectrum.
struct amplitude_line {
    double position; // vertex of the parabola through the peak bin and its neighbours
    double counts;   // content of the peak bin
    double fwhm;     // full width at half maximum, histogram1D::fwhm
};

/*
 * Up to max_lines lines of one column, strongest first: the one rule for
 * amplitude lines.
 *
 * - A candidate is an interior bin with at least 10 counts and at least 5
 *   times the median of the interior bins (the continuum; the end bins hold
 *   what lies off the axis), that is the fullest interior bin within 3 bins
 *   either side (the first of a flat top). The floor keeps Poisson spikes of
 *   a sparse spectrum out, the reach the noisy top of one line from counting
 *   twice.
 * - Going down from the tallest, a candidate is a line of its own only if
 *   the spectrum between it and every line already taken dips below half of
 *   its height; otherwise it is a shoulder of that line or part of a broad
 *   one.
 * - Position: the vertex of the parabola through the line's bin and its two
 *   neighbours; width: histogram1D::fwhm at the line's bin.
 *
 * The run report of the Python package (python/zorv/analysis.py, find_lines)
 * applies the same rule in the same order of operations to the same
 * histogram (default bins, trimmed axis); a test holds both to the same line
 * list.
 */
std::vector<amplitude_line> strongest_lines(histogram1D& h, int column, int max_lines);

/*
 * The summary text into *text: events (and those --max-rms left out),
 * two-pulse channels, mean and spread of every parameter per channel, axes,
 * and the strongest amplitude lines.
 * Returns 0, or prints an "Error: " line and returns 1 when a mean or spread
 * is beyond the largest double.
 */
int summary_text(result_pair const& data, spectra_set& s, spectra_options const& opt, std::string* text);

/*
 * Writes all tables, images and the summary into opt.output_dir (created if
 * need be), through a temporary folder. Returns 0, or prints an "Error: "
 * line, removes what it had written and returns 1.
 */
int write_outputs(spectra_set& s, std::string const& summary, std::string const& output_dir);

// The whole program after the command line: read, check, leave out the
// rough fits, fill, write, print.
// Returns the exit status, 0 or 1.
int run_spectra(spectra_options const& opt);

#endif
