// Decay-constant calibration.
//
// Between the two phases rank 0 turns the decay rates fitted freely in the
// calibration phase into one fixed decay rate per channel: the most probable
// value of the channel's decay list "decay%d.txt", found as the fullest bin
// of a 250-bin histogram over the trimmed range of the list and refined by a
// parabola through that bin and its two neighbours. The histogram is written
// to "decay_hist%d.txt" for inspection.
#ifndef ZORV_CALIBRATE_H
#define ZORV_CALIBRATE_H

// Number of bins of the decay histogram.
constexpr int kDecayBins = 250;

// Replaces decay_est[0] and decay_est[1] by the calibrated values. A channel
// whose list gives no estimate keeps its value and sets run_error.
void calibrate();

// Sorts a[lo .. hi] ascending in place; nothing happens when lo >= hi.
// A NaN among the values leaves the order arbitrary (it compares with
// nothing) but never makes the sort read or write outside a[lo .. hi].
void quick_sort(double* a, int lo, int hi);

// One Hoare partition step of a[lo .. hi], lo < hi, around the pivot a[lo]
// (the value quick_sort passes). Returns p with lo <= p < hi and every
// element of a[lo .. p] <= every element of a[p + 1 .. hi]. Another pivot
// value of a[lo .. hi] keeps the ordering but may give p == hi.
int partition(double* a, int lo, int hi, double pivot);

#endif
