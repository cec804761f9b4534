// The reputation policy of the configured aggregator: every constant with which a round, or a
// caller's default, moves trust. Each is a float32 (or a double where it is compared with a
// double distance) and part of the behaviour callers rely on; the values in the method
// documentation and the Python signatures are these.
//
// Constants that define other layers stay there: the score of an unknown client (0.5) and the
// influence cap (0.8) in reputation/store.h, the adaptive trim's ceiling (0.49) in
// aggregators/adaptive.h.
#ifndef FENRO_PIPELINE_POLICY_H_
#define FENRO_PIPELINE_POLICY_H_

namespace fenro::pipeline {

// After a round, a survivor whose update lies strictly closer than this L2 distance to the
// aggregate is rewarded...
inline constexpr double kCloseDistance = 1.0;
// ...by this amount (the float32 nearest 0.02), saturating at 1.
inline constexpr float kCloseReward = 0.02f;
// A survivor strictly farther than this distance is penalised...
inline constexpr double kFarDistance = 10.0;
// ...by this amount (the float32 nearest 0.08), saturating at 0. Distances from kCloseDistance
// to kFarDistance, both included, leave the score alone. Rewards are a quarter of penalties.
inline constexpr float kFarPenalty = 0.08f;

// The adaptive trim counts the clients scoring strictly below this as low...
inline constexpr float kAdaptiveLowScore = 0.4f;
// ...and trims their share plus this margin.
inline constexpr float kAdaptiveMargin = 0.05f;

// Defaults of the Python constructors and methods:
// ByzantineAggregator(ban_threshold=...): nobody is excluded.
inline constexpr float kDefaultBanThreshold = 0.0f;
// ByzantineAggregator(adaptive_trim=...): the configured trim fraction is used as it is.
inline constexpr bool kDefaultAdaptiveTrim = false;
// ReputationManager(ban_threshold=...) and its from_json.
inline constexpr float kManagerBanThreshold = 0.2f;
// decay_reputations(rate=...) and ReputationManager.decay(rate=...): the share of the way back
// to 0.5 that every score moves per call.
inline constexpr float kDefaultDecayRate = 0.02f;

}  // namespace fenro::pipeline

#endif  // FENRO_PIPELINE_POLICY_H_
