// The process-wide worker pool and the parallel index map.
//
// Contract of every loop: the body reads shared, unchanging inputs and writes only the outputs
// of the indices it is given, so a loop's result never depends on the number of threads or on
// scheduling. The calling thread takes part in the loop and returns only when every index is
// done. Worker threads never touch Python objects.
#ifndef FENRO_PARALLEL_POOL_H_
#define FENRO_PARALLEL_POOL_H_

#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

namespace fenro::parallel {

// Threads per logical CPU a pool may have at most. More threads than CPUs never speed a loop
// up; a few times more costs little, while tens of thousands exhaust the process's memory maps
// and make every loop slow.
inline constexpr size_t kMaxThreadsPerCpu = 4;

// The pool size rule, as a pure function of the three environment values (nullptr when a
// variable is absent) and the CPU count reported by the system:
//  - "FENRO_NUM_THREADS" holding an unsigned decimal (optional leading '+', digits only,
//    overflow counts as not a number): 1 or more is the size; 0 means the default, and then no
//    other variable is read;
//  - otherwise "RAYON_NUM_THREADS", read the same way: 1 or more is the size; 0 means the
//    default, and then the last variable is not read;
//  - otherwise "RAYON_RS_NUM_CPUS", read the same way: 1 or more is the size, anything else the
//    default;
//  - the default is `hardware`, with 0 read as 1.
// A size above kMaxThreadsPerCpu x the default is lowered to that.
size_t pool_size_from(const char* fenro_num_threads, const char* num_threads,
                      const char* rs_num_cpus, unsigned hardware);

// The number of threads a loop runs on, the caller included. Creates the pool on first use
// (reading the environment then, never at import). May be smaller than the size asked for when
// the system refused to start some threads.
size_t thread_count();

// Non-owning reference to a callable `void(size_t begin, size_t end)`.
class RangeFn {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RangeFn>>>
  RangeFn(F&& f)  // NOLINT: implicit by design
      : obj_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, size_t b, size_t e) { (*static_cast<std::remove_reference_t<F>*>(o))(b, e); }) {}
  void operator()(size_t b, size_t e) const { call_(obj_, b, e); }

 private:
  void* obj_;
  void (*call_)(void*, size_t, size_t);
};

// Runs body(begin, end) over [0, n) in chunks of `grain` indices (the last may be shorter).
// An exception thrown by the body is rethrown on the caller after the loop has stopped. A call
// made from inside a running loop runs serially on that thread.
void parallel_for(size_t n, size_t grain, RangeFn body);

// Runs f(i) for every i in [0, n) and returns the results in index order.
template <class F>
auto parallel_map(size_t n, F&& f) -> std::vector<decltype(f(size_t{}))> {
  std::vector<decltype(f(size_t{}))> out(n);
  parallel_for(n, 1, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) out[i] = f(i);
  });
  return out;
}

// Test hooks. Replaces the pool by one of `size` threads (joining the old workers; no loop may
// be running), and makes thread creation fail after `spawn_limit` started workers
// (SIZE_MAX: never). The size is taken as given, without the cap of pool_size_from.
void reset_pool_for_testing(size_t size, size_t spawn_limit = static_cast<size_t>(-1));
// How many times, since the pool was made, a worker woke up for a loop (whether or not the loop
// still had work for it). A loop of c chunks wakes at most c - 1 workers.
size_t worker_wakeups_for_testing();

}  // namespace fenro::parallel

#endif  // FENRO_PARALLEL_POOL_H_
