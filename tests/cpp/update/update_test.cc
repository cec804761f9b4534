#include "fenro/update/validation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "test_util.h"

namespace fenro {
namespace {

TEST(ValidateUpdates, ReportsTheFirstFailureInOrder) {
  EXPECT_ERROR_MSG(update::validate_updates({}), "Empty updates provided");

  testing::Updates u(3, 3, 6);
  EXPECT_TRUE(update::validate_updates(u.views).ok());

  // Update 0 is checked completely (values included) before update 1's shape.
  u.at(0, 1, 2) = std::nanf("");
  u.views[1].cols = 5;
  EXPECT_ERROR_MSG(update::validate_updates(u.views), "Non-finite value NaN in update 0 at [1, 2]");
  u.at(0, 1, 2) = 0.0f;
  u.at(2, 0, 0) = std::nanf("");
  EXPECT_ERROR_MSG(update::validate_updates(u.views), "Dimension mismatch in updates");
  u.refresh();
  // Row-major order: row 0 column 5 comes before row 2 column 0.
  u.at(2, 0, 0) = 0.0f;
  u.at(2, 2, 0) = std::nanf("");
  u.at(2, 0, 5) = -std::numeric_limits<float>::infinity();
  EXPECT_ERROR_MSG(update::validate_updates(u.views), "Non-finite value -inf in update 2 at [0, 5]");
}

TEST(ValidateUpdates, AcceptsExtremeFiniteValuesAndStridedViews) {
  std::vector<float> buf(4 * 10, std::nanf(""));
  // A 4 x 3 view whose rows are 10 elements apart: the NaN padding must never be read.
  for (size_t r = 0; r < 4; ++r)
    for (size_t c = 0; c < 3; ++c) buf[r * 10 + c] = r == 3 ? -std::numeric_limits<float>::max()
                                                            : std::numeric_limits<float>::denorm_min();
  UpdateView v{buf.data(), 4, 3, 10};
  EXPECT_TRUE(update::validate_updates({&v, 1}).ok());
  // A negative stride walks the rows bottom-up.
  UpdateView rev{buf.data() + 30, 4, 3, -10};
  EXPECT_EQ(rev.at(0, 0), -std::numeric_limits<float>::max());
  EXPECT_TRUE(update::validate_updates({&rev, 1}).ok());
  buf[1 * 10 + 2] = std::numeric_limits<float>::infinity();
  EXPECT_ERROR_MSG(update::validate_updates({&rev, 1}), "Non-finite value inf in update 0 at [2, 2]");
}

TEST(Matrix, ReleasedBufferIsNeverNull) {
  Matrix m(0, 5);
  float* p = m.release();
  ASSERT_NE(p, nullptr);
  update::free_matrix_buffer(p);
  Matrix z = Matrix::zeros(3, 4);
  for (size_t i = 0; i < z.size(); ++i) EXPECT_EQ(testing::bits_of(z.data()[i]), 0u);
}

}  // namespace
}  // namespace fenro
