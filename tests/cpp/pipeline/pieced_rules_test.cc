// Every rule on updates held in pieces against the same rule on the concatenated updates: the
// same bits, selections and data, on pieces of many shapes (an empty one, one with padded rows,
// ones that cut the Krum chunks at odd places) and on ties.
#include "fenro/pipeline/pieced_rules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "fenro/aggregators/bulyan.h"
#include "fenro/aggregators/centered_clipping.h"
#include "fenro/aggregators/geometric_median.h"
#include "fenro/aggregators/krum_rule.h"
#include "fenro/aggregators/median.h"
#include "fenro/aggregators/trimmed_mean.h"
#include "fenro/preaggregation/arc.h"
#include "fenro/preaggregation/clip.h"
#include "fenro/preaggregation/nnm.h"
#include "fenro/update/pieces.h"

namespace fenro::pipeline::pieced {
namespace {

// n updates held as pieces of the given shapes (each piece's rows `pad` elements apart beyond
// its columns), and the same updates concatenated, one row each.
struct Held {
  std::vector<std::vector<float>> storage;  // one block per (piece, update)
  std::vector<UpdateView> views;            // piece-major
  std::vector<std::vector<float>> whole;    // per update, concatenated
  std::vector<UpdateView> flat;
  size_t n;

  Held(size_t n_, const std::vector<std::pair<size_t, size_t>>& shapes, bool ties, size_t pad,
       uint32_t seed)
      : whole(n_), n(n_) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> real(-2.0f, 2.0f);
    std::uniform_int_distribution<int> small(-1, 1);
    for (auto [rows, cols] : shapes) {
      for (size_t i = 0; i < n; ++i) {
        std::vector<float> block(rows * (cols + pad) + 1, 7.0f);
        for (size_t r = 0; r < rows; ++r) {
          for (size_t c = 0; c < cols; ++c) {
            const float x = ties ? static_cast<float>(small(rng)) : real(rng) * static_cast<float>(1 + i % 3);
            block[r * (cols + pad) + c] = x;
            whole[i].push_back(x);
          }
        }
        storage.push_back(std::move(block));
      }
    }
    size_t k = 0;
    for (auto [rows, cols] : shapes) {
      for (size_t i = 0; i < n; ++i, ++k) {
        views.push_back({storage[k].data(), rows, cols, static_cast<std::ptrdiff_t>(cols + pad)});
      }
    }
    for (auto& w : whole) flat.push_back(UpdateView::dense(w.data(), 1, w.size()));
  }
  update::Pieces pieces() const { return update::Pieces(views, n); }
};

// The concatenation of piece results: stacks (one per piece) as update j's concatenation.
std::vector<float> joined(const std::vector<UpdateStack>& stacks, size_t j) {
  std::vector<float> out;
  for (const UpdateStack& s : stacks) {
    const float* p = s.update(j);
    out.insert(out.end(), p, p + s.update_size());
  }
  return out;
}

bool same_bits(const float* a, const float* b, size_t len) {
  return len == 0 || std::memcmp(a, b, len * sizeof(float)) == 0;
}

class PiecedRules : public ::testing::TestWithParam<bool> {};

TEST_P(PiecedRules, GiveTheBitsOfTheConcatenatedUpdates) {
  // Piece sizes around the Krum chunk lengths, an empty piece and single elements.
  const Held h(11, {{3, 4}, {0, 5}, {1, 1}, {17, 301}, {2, 4099}, {1, 9000}}, GetParam(), 3, 7);
  const update::Pieces p = h.pieces();
  const size_t n = h.n;

  auto krum = aggregators::krum_selection(p, 2);
  ASSERT_TRUE(krum.ok());
  EXPECT_EQ(*krum, aggregators::krum(h.flat, 2)->selected);
  auto multi = aggregators::multi_krum_selection(p, 2, 4);
  ASSERT_TRUE(multi.ok());
  EXPECT_EQ(*multi, aggregators::multi_krum(h.flat, 2, 4)->selected);

  // The coordinate-wise rules on every piece in one loop, and one result per piece.
  for (int rule = 0; rule < 2; ++rule) {
    auto parts = rule == 0 ? aggregators::median(p) : aggregators::trimmed_mean(p, 0.2f);
    auto whole = rule == 0 ? aggregators::median(h.flat) : aggregators::trimmed_mean(h.flat, 0.2f);
    ASSERT_TRUE(parts.ok() && whole.ok());
    std::vector<float> joined_parts;
    for (const Matrix& m : *parts) {
      joined_parts.insert(joined_parts.end(), m.data(), m.data() + m.size());
    }
    EXPECT_TRUE(same_bits(joined_parts.data(), whole->data(), p.size()));
  }

  auto clip = pieced::clip(p, 40.0);
  auto clip_flat = preaggregation::clip(h.flat, 40.0);
  ASSERT_TRUE(clip.ok() && clip_flat.ok());
  EXPECT_EQ(clip->factors, clip_flat->factors);
  auto arc = pieced::arc(p, 3);
  auto arc_flat = preaggregation::arc(h.flat, 3);
  ASSERT_TRUE(arc.ok() && arc_flat.ok());
  EXPECT_EQ(arc->clipped_indices, arc_flat->clipped_indices);
  auto nnm = pieced::nnm(p, 3);
  auto nnm_flat = preaggregation::nnm(h.flat, 3);
  ASSERT_TRUE(nnm.ok() && nnm_flat.ok());
  EXPECT_EQ(nnm->neighbours, nnm_flat->neighbours);
  for (size_t j = 0; j < n; ++j) {
    EXPECT_TRUE(same_bits(joined(clip->clipped, j).data(), clip_flat->clipped.update(j),
                          p.size()));
    EXPECT_TRUE(same_bits(joined(arc->clipped, j).data(), arc_flat->clipped.update(j), p.size()));
    EXPECT_TRUE(same_bits(joined(nnm->mixed, j).data(), nnm_flat->mixed.update(j), p.size()));
  }

  auto bulyan = pieced::bulyan(p, 2);
  auto bulyan_flat = aggregators::bulyan(h.flat, 2);
  ASSERT_TRUE(bulyan.ok() && bulyan_flat.ok());
  EXPECT_EQ(bulyan->selected, bulyan_flat->selected);
  std::vector<float> agg;
  for (const Matrix& m : bulyan->aggregate) agg.insert(agg.end(), m.data(), m.data() + m.size());
  EXPECT_TRUE(same_bits(agg.data(), bulyan_flat->aggregate.data(), p.size()));

  const std::vector<float> w = {0, 1, 2, 0.5f, 3, 1, 1, 0, 2, 1, 1};
  auto gm = aggregators::geometric_median(p, std::span<const float>(w), 1e-3, 1e-9, 30);
  auto gm_flat = aggregators::geometric_median(h.flat, std::span<const float>(w), 1e-3, 1e-9, 30);
  ASSERT_TRUE(gm.ok() && gm_flat.ok());
  EXPECT_EQ(gm->iterations, gm_flat->iterations);
  EXPECT_EQ(gm->objective, gm_flat->objective);
  EXPECT_TRUE(same_bits(gm->aggregate.data(), gm_flat->aggregate.data(), p.size()));
  auto cc = aggregators::centered_clipping(p, 3.0, 4, std::nullopt);
  auto cc_flat = aggregators::centered_clipping(h.flat, 3.0, 4, std::nullopt);
  ASSERT_TRUE(cc.ok() && cc_flat.ok());
  EXPECT_EQ(cc->distances, cc_flat->distances);
  EXPECT_TRUE(same_bits(cc->aggregate.data(), cc_flat->aggregate.data(), p.size()));
}

INSTANTIATE_TEST_SUITE_P(RandomAndTies, PiecedRules, ::testing::Bool());

TEST(PiecedRules, ReportTheConcatenatedUpdatesFirstFailure) {
  Held h(7, {{2, 3}, {1, 5}}, false, 0, 3);
  h.storage[1 * 7 + 2][4] = std::numeric_limits<float>::infinity();  // update 2, piece 1
  h.storage[0 * 7 + 5][1] = std::nanf("");                          // update 5, piece 0
  std::vector<float> max_abs(7);
  const Status s = update::validate_pieces(h.pieces(), max_abs.data());
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "Non-finite value inf in update 2 at [0, 10]");
  EXPECT_EQ(pieced::nnm(h.pieces(), 5).error().message(), s.error().message());
  EXPECT_EQ(aggregators::median(h.pieces()).error().message(), s.error().message());
  EXPECT_EQ(aggregators::trimmed_mean(h.pieces(), 0.7f).error().message(), s.error().message());
  const Held few(4, {{1, 3}}, false, 0, 1);
  EXPECT_EQ(aggregators::krum_selection(few.pieces(), 1).error().message(),
            "Insufficient quorum: need 5, got 4");
}

}  // namespace
}  // namespace fenro::pipeline::pieced
