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
// r_i = y_i - model(x_i).
#ifndef ZORV_FIT_PULSE_MODEL_H
#define ZORV_FIT_PULSE_MODEL_H

constexpr int kFitPoints = 2500;  // samples per trace
constexpr int kFitParams = 8;     // entries of the parameter vector

// The fit library's functions live in a namespace of their own, so that a
// program may also link another model with the same names (the generator's
// single-pulse f, for one).
namespace zorv_fit {

// Evaluates residuals and Jacobian over the whole data set in one pass.
//
// data  (in)  kFitPoints pairs (x, y)
// p     (in)  parameter vector
// J     (out) kFitPoints x kFitParams Jacobian of the model, every entry written
// r     (out) kFitPoints residuals y - model(x), every entry written
// lock  (in)  lock mask; only entries 6 and 7 are read: both equal to 1 selects
//             the single-pulse model (second pulse left out, columns 6 and 7
//             zero), anything else the two-pulse model.
//
// No input is validated: a zero width or an overflowing exp gives NaN or
// infinity in the outputs, which the solver detects.
void initialize_J_rr(double (*data)[kFitPoints][2], double* p, double (*J)[kFitParams],
                     double* r, int const* lock);

// Model value at abscissa x with both pulses, whatever any lock mask says.
double f(double x, double* p);

}  // namespace zorv_fit

#endif
