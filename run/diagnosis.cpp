// Warnings from a phase's outcomes.

#include "run/diagnosis.h"

#include <cstdio>

namespace {

// What usually makes a channel end that way, in the words of the settings.
char const* usual_cause(ChannelOutcome outcome)
{
    switch (outcome) {
    case ChannelOutcome::kNoPeak:
        return "bcg_est far below the baseline, or pulses under the threshold of 500";
    case ChannelOutcome::kTooManyPeaks:
        return "noise above the threshold, i.e. the baseline above bcg_est + 500";
    case ChannelOutcome::kPeaksTooClose:
        return "noise or ringing on the pulses, or the baseline near bcg_est + 500";
    case ChannelOutcome::kPeakTooEarly:
        return "a wrong data_offset or waveforms (records read out of step), or an early "
               "trigger";
    case ChannelOutcome::kFitNotFinite:
        return "decay_est unset (0), of the wrong sign or far from the channel's decay rate";
    case ChannelOutcome::kFitNotConverged:
        return "decay_est far from the channel's decay rate, or traces the pulse model does "
               "not describe";
    case ChannelOutcome::kNoResiduals:
        return "traces without noise, such as a constant or clipped signal";
    case ChannelOutcome::kFitted:
        break;
    }
    return "";
}

}  // namespace

std::vector<std::string> diagnose_phase(Phase phase, GoodFitCounts const& counts)
{
    std::vector<std::string> warnings;
    const int64_t n = counts.counter_all;
    if (n < kWarningMinEvents) return warnings;
    for (int c = 0; c < 2; ++c) {
        for (int o = 1; o < kOutcomes; ++o) {
            const int64_t k = counts.outcomes[c][o];
            if (static_cast<double>(k) < kWarningShare * static_cast<double>(n)) continue;
            char line[512];
            std::snprintf(line, sizeof line,
                          "Warning: %s phase, channel %c: %.1f%% of the events (%lld of %lld) "
                          "ended as %s; this is usually %s",
                          phase_name(phase), c == 0 ? 'A' : 'B',
                          100.0 * static_cast<double>(k) / static_cast<double>(n),
                          static_cast<long long>(k), static_cast<long long>(n),
                          kOutcomeKeys[o], usual_cause(static_cast<ChannelOutcome>(o)));
            warnings.emplace_back(line);
        }
    }
    return warnings;
}
