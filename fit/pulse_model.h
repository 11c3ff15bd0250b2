// Pulse model of one channel trace and its analytic Jacobian.
//
// A trace of kFitPoints samples is modelled as up to two exponentially
// modified Gaussian pulses sharing one decay rate and one width, on a constant
// baseline, plus an exponential tail with the same decay rate:
//
//   model(x) = pulse_1(x) + pulse_2(x) + B + C exp(lambda x),
//   pulse_k(x) = A_k h_k c_k,  h_k = 0.5 exp(u_k),  c_k = 1 - erf(g_k / (sqrt2 sigma)),
//   u_k = (x - t_k) lambda + 0.5 lambda^2 sigma^2,  g_k = -lambda sigma^2 - (x - t_k).
//
// pulse_k is the convolution of A_k exp(lambda (x - t_k)) for x >= t_k (0
// before) with a unit-area Gaussian of standard deviation sigma.
//
// Parameter vector p (kFitParams doubles, always in this order):
//   0 A1 amplitude 1     1 lambda decay rate   2 B baseline   3 t1 position 1
//   4 sigma width        5 C tail amplitude    6 A2 amplitude 2  7 t2 position 2
//
// Data set: kFitPoints pairs (x, y). Jacobian: kFitPoints rows of kFitParams,
// J[i][j] = d model(x_i) / d p[j] (the model's, not the residual's). Residuals:
// r_i = y_i - model(x_i). The fit forms both row by row from the templates of
// pulse_terms.h and sums them into the normal equations at once
// (normal_pass.h). With parameters 6 and 7 both locked (free_params.h) the
// second pulse is left out: its terms are not evaluated and its columns are 0.
#ifndef ZORV_FIT_PULSE_MODEL_H
#define ZORV_FIT_PULSE_MODEL_H

constexpr int kFitPoints = 2500;  // samples per trace
constexpr int kFitParams = 8;     // entries of the parameter vector

// The fit library's functions live in a namespace of their own, so that a
// program may also link another model with the same names (the generator's
// single-pulse f, for one).
namespace zorv_fit {

// Positions in the parameter vector.
enum Parameter : int {
    kAmplitude1 = 0,
    kDecayRate = 1,
    kBaseline = 2,
    kPosition1 = 3,
    kWidth = 4,
    kTailAmplitude = 5,
    kAmplitude2 = 6,
    kPosition2 = 7,
};

// Model value at abscissa x with both pulses, whichever parameters a fit locks.
double f(double x, double* p);

}  // namespace zorv_fit

#endif
