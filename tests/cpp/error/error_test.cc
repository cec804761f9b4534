#include "fenro/error/error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace fenro {
namespace {

using namespace errors;

TEST(FenroError, RendersEveryTemplateExactly) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(FenroError(EmptyUpdates{}).message(), "Empty updates provided");
  EXPECT_EQ(FenroError(DimensionMismatch{}).message(), "Dimension mismatch in updates");
  EXPECT_EQ(FenroError(InvalidTrimFraction{0.6f}).message(),
            "Invalid trim fraction: 0.6 (must be 0.0-0.5)");
  EXPECT_EQ(FenroError(InvalidTrimFraction{-0.1f}).message(),
            "Invalid trim fraction: -0.1 (must be 0.0-0.5)");
  EXPECT_EQ(FenroError(InsufficientQuorum{5, 3}).message(), "Insufficient quorum: need 5, got 3");
  EXPECT_EQ(FenroError(NonFiniteValue{nan, 2, 0, 3}).message(),
            "Non-finite value NaN in update 2 at [0, 3]");
  EXPECT_EQ(FenroError(NonFiniteValue{-inf, 0, 2, 5}).message(),
            "Non-finite value -inf in update 0 at [2, 5]");
  EXPECT_EQ(FenroError(NonFiniteWeight{nan, 1}).message(), "Non-finite weight NaN at index 1");
  EXPECT_EQ(FenroError(ClientIdCountMismatch{3, 2}).message(),
            "Client ID count mismatch: 3 updates but 2 client IDs");
  EXPECT_EQ(FenroError(MultiKrumSelectionTooLarge{7, 1, 4, 3}).message(),
            "Multi-Krum selection m=4 exceeds the safe maximum 3 for 7 clients with f=1 "
            "(requires 1 <= m <= n - 2f - 2)");
  EXPECT_EQ(FenroError(AllUpdatesRejected{4}).message(), "all 4 submitted updates were rejected");
  EXPECT_EQ(FenroError(InvalidReputationScore{1.5f}).message(),
            "invalid reputation score 1.5; expected a finite value in [0, 1]");
  EXPECT_EQ(FenroError(InvalidReputationAdjustment{inf}).message(),
            "invalid reputation adjustment inf; expected a finite non-negative value");
  EXPECT_EQ(FenroError(InvalidDecayFactor{1.5f}).message(),
            "invalid reputation decay factor 1.5; expected a finite value in [0, 1]");
  EXPECT_EQ(FenroError(InvalidReputationThreshold{nan}).message(),
            "invalid reputation threshold NaN; expected a finite value in [0, 1]");
  EXPECT_EQ(FenroError(NonFiniteReputationDistance{std::numeric_limits<double>::infinity(),
                                                   "client-7"})
                .message(),
            "non-finite reputation distance inf for client client-7");
  EXPECT_EQ(FenroError(WeightsRequireFedAvg{"Krum(1)"}).message(),
            "weights are only supported by FedAvg, not Krum(1)");
  EXPECT_EQ(FenroError(NormBoundExceeded{10.0f, 15.0}).message(),
            "update norm 1.500000e1 exceeds bound 1.000000e1");
  EXPECT_EQ(FenroError(NormBoundExceeded{4.999f, 5.0}).message(),
            "update norm 5.000000e0 exceeds bound 4.999000e0");
  EXPECT_EQ(FenroError(ArrayShape{"bad"}).message(), "Array shape error: bad");
}

TEST(FenroError, InvalidNormBoundShowsEveryKindOfValue) {
  EXPECT_EQ(FenroError(InvalidNormBound{-1.0f}).message(),
            "Invalid norm bound: -1 (must be finite and > 0)");
  EXPECT_EQ(FenroError(InvalidNormBound{0.0f}).message(),
            "Invalid norm bound: 0 (must be finite and > 0)");
  EXPECT_EQ(FenroError(InvalidNormBound{-0.0f}).message(),
            "Invalid norm bound: -0 (must be finite and > 0)");
  EXPECT_EQ(FenroError(InvalidNormBound{std::nanf("")}).message(),
            "Invalid norm bound: NaN (must be finite and > 0)");
  EXPECT_EQ(FenroError(InvalidNormBound{std::numeric_limits<float>::infinity()}).message(),
            "Invalid norm bound: inf (must be finite and > 0)");
}

TEST(FenroError, KeepsTypedFields) {
  FenroError e = NormBoundExceeded{2.0f, 3.5};
  ASSERT_TRUE(e.is<NormBoundExceeded>());
  EXPECT_EQ(e.get_if<NormBoundExceeded>()->norm, 3.5);
  EXPECT_EQ(e.get_if<InvalidNormBound>(), nullptr);
}

}  // namespace
}  // namespace fenro
