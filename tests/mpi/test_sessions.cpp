// Raw files of known pulses for the end-to-end tests.

#include "test_sessions.h"

#include <cmath>
#include <cstdio>

#include "fit/pulse_model.h"
#include "test_util.h"

using zorv_fit::f;

double Noise::uniform()
{
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return (static_cast<double>(s >> 11) + 0.5) / 9007199254740992.0;
}

double Noise::normal()
{
    double u1 = uniform(), u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
}

namespace {

Truth draw_truth(Noise& rng)
{
    Truth t{3, 0, 0, 0, 0, 0};
    double u = rng.uniform();
    t.kind = u < 0.6 ? 0 : u < 0.75 ? 1 : u < 0.85 ? 2 : 3;
    t.a1 = 15000.0 + 25000.0 * rng.uniform();
    t.width = 1.0 + 4.0 * rng.uniform();
    t.t1 = t.kind == 2 ? 50.0 + 90.0 * rng.uniform() : 300.0 + 1200.0 * rng.uniform();
    if (t.kind == 1) {
        t.t2 = t.t1 + 300.0 + 400.0 * rng.uniform();
        t.a2 = 15000.0 + 25000.0 * rng.uniform();
    }
    return t;
}

std::vector<int16_t> samples_of(Truth const& t, double tail, Noise& rng)
{
    double p[8] = {t.a1,    kLambda, kBaseline, t.t1,
                   t.width, tail,    t.a2,      t.kind == 1 ? t.t2 : 1500.0};
    if (t.kind == 3) p[0] = 0.0;
    std::vector<int16_t> s(2500);
    for (int k = 0; k < 2500; ++k)
        s[k] = static_cast<int16_t>(std::lround(f(k, p) + 20.0 * rng.normal()));
    return s;
}

}  // namespace

Session write_session(std::string const& name, uint64_t seed)
{
    Noise rng{seed};
    Session s;
    std::vector<std::vector<int16_t>> records;
    for (int e = 0; e < kEvents; ++e) {
        Truth ta = draw_truth(rng), tb = draw_truth(rng);
        auto sa = samples_of(ta, 2000.0 * rng.uniform(), rng);
        auto sb = samples_of(tb, 2000.0 * rng.uniform(), rng);
        std::vector<int16_t> rec(5000);
        for (int k = 0; k < 2500; ++k) {
            rec[2 * k] = sa[k];
            rec[2 * k + 1] = sb[k];
        }
        records.push_back(rec);
        s.a.push_back(ta);
        s.b.push_back(tb);
    }
    write_raw_file(name, 12, records);
    return s;
}

void write_setup(std::string const& extra)
{
    std::string kernel;
    for (int i = 0; i < 101; ++i) {
        double x = 6.283185307179586 * i / 100.0;
        char line[64];
        std::snprintf(line, sizeof line, "%d %.17g\n", i,
                      0.355768 - 0.487396 * std::cos(x) + 0.144232 * std::cos(2 * x) -
                          0.012604 * std::cos(3 * x));
        kernel += line;
    }
    write_text("win.txt", kernel);
    write_text("zorv_mpi.ini",
               "infile_path = \"raw\"\n"
               "abfile_path = \"ab\"\n"
               "waveforms = 150\n"
               "data_offset = 12\n"
               "hist_overflow = 0.05\n"
               "refresh_interval = 5\n"
               "cal_sessions = 1 1\n"
               "sessions = 2 2\n"
               "decay_est = -0.0013 -0.0017\n"
               "bcg_est = -28000 -28000\n" +
                   extra);
}
