// Audit data of one aggregation round: what happened to every submitted update, and the method
// parameters the round applied.
#ifndef FENRO_AUDIT_AUDIT_H_
#define FENRO_AUDIT_AUDIT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace fenro::audit {

// The client's score was strictly below the ban threshold (0.5 for an unknown client).
struct ExcludedByReputation {
  float score;
  float threshold;
};
// The update's L2 norm exceeded the norm bound.
struct RejectedByNormBound {
  float bound;
  double norm;
};
// Handed to the aggregation method (not necessarily selected by it).
struct Admitted {};

using AuditVerdict = std::variant<ExcludedByReputation, RejectedByNormBound, Admitted>;

struct AggregationAuditDecision {
  std::optional<std::string> client_id;  // copy of the update's id when ids were given
  AuditVerdict verdict = Admitted{};
  uint64_t index = 0;  // position in the submitted list
};

namespace record {
struct TrimmedMean {
  float configured_trim = 0.0f;
  std::optional<float> effective_trim;  // absent in a refused round
  bool adaptive = false;
};
struct Median {};
struct FedAvg {};
struct Krum {
  uint64_t f;
};
struct MultiKrum {
  uint64_t f;
  std::optional<uint64_t> requested_m;
  std::optional<uint64_t> selected_m;  // absent in a refused round
};
}  // namespace record

using RoundMethodRecord =
    std::variant<record::TrimmedMean, record::Median, record::FedAvg, record::Krum,
                 record::MultiKrum>;

// The audit of one round, a plain value the round fills only for a caller that asks for it.
struct RoundAudit {
  RoundMethodRecord method;
  std::vector<AggregationAuditDecision> decisions;  // one per submitted update, index order
};

}  // namespace fenro::audit

#endif  // FENRO_AUDIT_AUDIT_H_
