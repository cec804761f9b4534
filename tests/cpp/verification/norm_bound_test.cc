#include "fenro/verification/norm_bound.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "test_util.h"

namespace fenro::verification {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(NormBound, EqualToTheBoundPassesAboveItFails) {
  std::vector<float> v = {3.0f, 4.0f};
  const UpdateView u = UpdateView::dense(v.data(), 1, 2);
  auto ok = evaluate_norm_bound(u, 5.0f);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(*ok, 5.0);
  const auto err = evaluate_norm_bound(u, 4.999f);
  EXPECT_ERROR_MSG(err, "update norm 5.000000e0 exceeds bound 4.999000e0");
  const auto* e = err.error().get_if<error::NormBoundExceeded>();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->norm, 5.0);
  EXPECT_EQ(e->bound, 4.999f);
  // The bound is widened exactly: 0.1f is slightly above 0.1, and a norm of exactly 0.1f passes.
  std::vector<float> w = {0.1f};
  EXPECT_TRUE(evaluate_norm_bound(UpdateView::dense(w.data(), 1, 1), 0.1f).ok());
  std::vector<float> zeros(12, 0.0f);
  auto z = evaluate_norm_bound(UpdateView::dense(zeros.data(), 3, 4), 1e-30f);
  ASSERT_TRUE(z.ok());
  EXPECT_EQ(*z, 0.0);
}

TEST(NormBound, ChecksElementsThenBoundThenNorm) {
  std::vector<float> v = {1.0f, 2.0f, 3.0f, std::nanf(""), 5.0f, kInf};
  // Rows 3 apart, 2 wide: the NaN sits at row 1, column 0.
  const UpdateView u{v.data(), 2, 2, 3};
  EXPECT_ERROR_MSG(evaluate_norm_bound(u, -1.0f), "Non-finite value NaN in update 0 at [1, 0]");
  const UpdateView clean{v.data(), 1, 3, 3};
  const std::pair<float, const char*> bad[] = {
      {0.0f, "0"}, {-0.0f, "-0"}, {-1.0f, "-1"}, {kInf, "inf"}, {std::nanf(""), "NaN"}};
  for (const auto& [b, text] : bad) {
    EXPECT_ERROR_MSG(evaluate_norm_bound(clean, b),
                     std::string("Invalid norm bound: ") + text + " (must be finite and > 0)");
  }
  const UpdateView none{nullptr, 0, 0, 0};
  auto n = evaluate_norm_bound(none, 1.0f);
  ASSERT_TRUE(n.ok());
  EXPECT_TRUE(std::signbit(*n));
}

TEST(NormBound, HugeFiniteElementsReportTheirNorm) {
  std::vector<float> v(4, std::numeric_limits<float>::max());
  auto r =
      evaluate_norm_bound(UpdateView::dense(v.data(), 2, 2), std::numeric_limits<float>::max());
  EXPECT_ERROR_MSG(r, "update norm 6.805647e38 exceeds bound 3.402823e38");
}

}  // namespace
}  // namespace fenro::verification
