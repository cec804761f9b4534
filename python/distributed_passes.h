// The coordinator's side of fenro._distributed: the workers as pipeline::RangePasses, reached
// through a Python driver object (fenro/distributed/_driver.py), and the placing of the ranges.
#ifndef FENRO_PYTHON_DISTRIBUTED_PASSES_H_
#define FENRO_PYTHON_DISTRIBUTED_PASSES_H_

#include <Python.h>

#include <span>
#include <vector>

#include "fenro/pipeline/sharded_round_data.h"

namespace fenro::python {

// The workers, through the driver's methods scans, sums, chained_sums, kernel, gram, mean_of,
// copy_of, point_weighted, point_chained_sums, point_slice, pair_tables and pair_chained_sums. Any exception the driver raises is kept, and the pass fails with SourceFailed;
// raise_round_error raises the kept exception once the round has returned.
class DriverPasses final : public pipeline::RangePasses {
 public:
  DriverPasses(PyObject* driver, size_t ranges) : driver_(driver), ranges_(ranges) {}
  ~DriverPasses() override;
  DriverPasses(const DriverPasses&) = delete;
  DriverPasses& operator=(const DriverPasses&) = delete;

  // Sets the kept exception again; false when there is none.
  bool restore();

  Result<std::vector<std::vector<update::RangeScan>>> scans(
      std::span<const size_t> updates) override;
  Result<std::vector<std::vector<double>>> sums(std::span<const size_t> updates,
                                                bool distances) override;
  Result<std::vector<double>> chained_sums(std::span<const size_t> updates,
                                           bool distances) override;
  Result<std::vector<std::optional<pipeline::RangeNonFinite>>> kernel(
      const pipeline::RangeKernel& k) override;
  Result<std::vector<std::vector<int64_t>>> gram(
      std::span<const size_t> updates,
      std::span<const aggregators::detail::BlockScale> scales) override;
  Status mean_of(std::span<const size_t> updates) override;
  Status copy_of(size_t update) override;
  Status point_weighted(size_t slot, std::span<const size_t> updates,
                        std::span<const double> coeffs, double divisor, bool step) override;
  Result<std::vector<double>> point_chained_sums(size_t slot,
                                                 std::span<const size_t> updates) override;
  Status point_slice(size_t slot, bool to_point) override;
  Result<std::vector<std::vector<double>>> pair_tables(std::span<const size_t> updates) override;
  Result<std::vector<double>> pair_chained_sums(
      std::span<const size_t> updates,
      std::span<const std::pair<uint32_t, uint32_t>> pairs) override;

 private:
  template <class... A>
  PyObject* call(const char* name, const char* format, A... args);
  bool doubles(PyObject* seq, size_t n, std::vector<double>* out);
  error::SourceFailed failed();

  PyObject* driver_;
  size_t ranges_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Hands every range of the updates that share update 0's shape to the driver:
// driver.place(range, lo, hi, buffers), one range at a time, so that the coordinator holds at
// most one range's copies at once. False with an exception set on failure.
bool place_ranges(PyObject* driver, std::span<const UpdateView> updates,
                  const std::vector<size_t>& cuts);

// Raises the error a failed round over `passes` ends with: the driver's own exception (a lost
// worker), RuntimeError for another failure of the source, else the round's ValueError.
// Returns nullptr.
PyObject* raise_round_error(DriverPasses& passes, const FenroError& error);

// Sequence helpers shared by the entry points: an item (new reference), a length that must be
// `n` (RuntimeError otherwise), exact numbers, and lists of indices.
PyObject* item_of(PyObject* seq, size_t i);
bool has_length(PyObject* seq, size_t n);
bool as_double(PyObject* obj, double* out);
bool as_u64(PyObject* obj, uint64_t* out);
// Appends the unsigned integers of a sequence (update positions, coordinate cuts) to `out`.
bool indices_of(PyObject* seq, std::vector<size_t>* out);

}  // namespace fenro::python

#endif  // FENRO_PYTHON_DISTRIBUTED_PASSES_H_
