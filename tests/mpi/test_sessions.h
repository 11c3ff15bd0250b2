// Raw files of known pulses for the end-to-end tests of zorv_mpi: events
// whose channels hold a single pulse, two pulses, a pulse too early to fit,
// or nothing, drawn with deterministic noise independent of the code under
// test, and the run folder's kernel and settings to analyse them.
#ifndef ZORV_TEST_SESSIONS_H
#define ZORV_TEST_SESSIONS_H

#include <cstdint>
#include <string>
#include <vector>

constexpr double kLambda = -0.0015;
constexpr double kBaseline = -28000.0;
constexpr int kEvents = 150;  // events per session

// Deterministic noise, independent of the code under test.
struct Noise {
    uint64_t s;
    double uniform();
    double normal();
};

struct Truth {
    int kind;  // 0 single, 1 double, 2 too early, 3 empty
    double a1, t1, width, a2, t2;
};

struct Session {
    std::vector<Truth> a, b;  // per event, channel A and B
};

// Writes kEvents events drawn from `seed` as the raw file `name` (a header
// of 12 bytes) and returns what they hold.
Session write_session(std::string const& name, uint64_t seed);

// Writes "win.txt" (the 101-point Nuttall kernel) and "zorv_mpi.ini" for
// sessions raw.1 (calibration) and raw.2 (processing) of kEvents events, with
// `extra` settings appended, in the working directory.
void write_setup(std::string const& extra = "");

#endif
