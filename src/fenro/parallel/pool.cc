#include "fenro/parallel/pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace fenro::parallel {
namespace {

// Unsigned decimal with an optional leading '+'; false on anything else or on overflow.
bool parse_count(const char* s, size_t* out) {
  if (s == nullptr) return false;
  if (*s == '+') ++s;
  if (*s == '\0') return false;
  uint64_t v = 0;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
    const uint64_t d = static_cast<uint64_t>(*s - '0');
    if (v > (UINT64_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  if (v > SIZE_MAX) return false;
  *out = static_cast<size_t>(v);
  return true;
}

struct Job {
  Job(RangeFn b, size_t n_, size_t g, size_t c) : body(b), n(n_), grain(g), chunks(c) {}
  RangeFn body;
  size_t n;
  size_t grain;
  size_t chunks;
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;  // first exception, guarded by the pool mutex
};

thread_local bool t_inside_loop = false;

class Pool {
 public:
  explicit Pool(size_t size, size_t spawn_limit) {
    // The caller is one of the `size` threads; start size-1 workers, and carry on with as many
    // as the system lets us start.
    const size_t wanted = size > 0 ? size - 1 : 0;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, size_t{1} << 20);
    workers_.reserve(std::min<size_t>(wanted, 1024));
    for (size_t i = 0; i < wanted && i < spawn_limit; ++i) {
      auto w = std::make_unique<Worker>();
      w->pool = this;
      if (pthread_create(&w->thread, &attr, &Pool::worker_main, w.get()) != 0) break;
      workers_.push_back(std::move(w));
    }
    pthread_attr_destroy(&attr);
  }

  // Only for tests: stops and joins the workers. Production pools are never destroyed, since a
  // process exit must not wait for (or terminate on) worker threads.
  void shutdown() {
    {
      std::lock_guard<std::mutex> lk(m_);
      stop_ = true;
      for (auto& w : workers_) w->wake.notify_all();
    }
    for (auto& w : workers_) pthread_join(w->thread, nullptr);
    workers_.clear();
  }

  size_t threads() const { return workers_.size() + 1; }
  size_t wakeups() {
    std::lock_guard<std::mutex> lk(m_);
    return wakeups_;
  }

  void run(Job& job) {
    std::lock_guard<std::mutex> serial(run_mutex_);  // one loop at a time
    size_t helpers = 0;
    {
      std::lock_guard<std::mutex> lk(m_);
      // Only as many workers as the loop has chunks for; the others sleep on. A worker not
      // back in the idle list yet (one just started) is simply not asked.
      helpers = std::min(idle_.size(), job.chunks - 1);
      if (helpers > 0) job_ = &job;
      active_ = helpers;
      for (size_t h = 0; h < helpers; ++h) {
        Worker* w = idle_.back();  // the most recently busy worker first: its cache is warm
        idle_.pop_back();
        w->go = true;
        // Each worker has its own condition variable and flag: a wake-up is never lost to
        // another waiter, and no other worker stirs.
        w->wake.notify_all();
      }
    }
    work_on(job);
    if (helpers > 0) {
      std::unique_lock<std::mutex> lk(m_);
      cv_done_.wait(lk, [&] { return active_ == 0; });
      job_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
  }

 private:
  struct Worker {
    Pool* pool = nullptr;
    pthread_t thread{};
    std::condition_variable wake;
    bool go = false;  // guarded by m_: set when a loop hands this worker its job
  };

  static void* worker_main(void* arg) {
    Worker* w = static_cast<Worker*>(arg);
    w->pool->worker_loop(*w);
    return nullptr;
  }

  void worker_loop(Worker& w) {
    t_inside_loop = true;
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
      idle_.push_back(&w);
      w.wake.wait(lk, [&] { return stop_ || w.go; });
      if (stop_) return;
      w.go = false;
      ++wakeups_;
      Job* job = job_;
      lk.unlock();
      work_on(*job);
      lk.lock();
      if (--active_ == 0) cv_done_.notify_all();
    }
  }

  void work_on(Job& job) {
    for (;;) {
      if (job.failed.load(std::memory_order_relaxed)) return;
      const size_t c = job.next.fetch_add(1, std::memory_order_relaxed);
      if (c >= job.chunks) return;
      const size_t b = c * job.grain;
      const size_t e = std::min(job.n, b + job.grain);
      try {
        job.body(b, e);
      } catch (...) {
        std::lock_guard<std::mutex> lk(m_);
        if (!job.error) job.error = std::current_exception();
        job.failed.store(true, std::memory_order_relaxed);
      }
    }
  }

  std::vector<std::unique_ptr<Worker>> workers_;
  std::mutex run_mutex_;
  std::mutex m_;
  std::condition_variable cv_done_;
  std::vector<Worker*> idle_;  // workers waiting for a job, guarded by m_
  Job* job_ = nullptr;
  size_t active_ = 0;
  size_t wakeups_ = 0;
  bool stop_ = false;
};

// The pool and the mutex guarding its creation live on the heap and are never destroyed. A
// fork()ed child inherits the pool object but none of its threads: the child handler abandons
// both (never touching their possibly-locked mutexes) so the next loop builds a fresh pool.
Pool* g_pool = nullptr;
std::mutex* g_create_mutex = new std::mutex;
size_t g_spawn_limit = SIZE_MAX;

void after_fork_in_child() {
  g_pool = nullptr;
  g_create_mutex = new std::mutex;
}

// Builds a pool; the caller holds the creation mutex.
Pool* new_pool(size_t size) {
  static const bool registered = [] {
    pthread_atfork(nullptr, nullptr, &after_fork_in_child);
    return true;
  }();
  (void)registered;
  return new Pool(size, g_spawn_limit);
}

Pool& pool() {
  std::lock_guard<std::mutex> lk(*g_create_mutex);
  if (g_pool == nullptr) {
    const size_t size = pool_size_from(
        std::getenv("FENRO_NUM_THREADS"), std::getenv("RAYON_NUM_THREADS"),
        std::getenv("RAYON_RS_NUM_CPUS"), std::thread::hardware_concurrency());
    g_pool = new_pool(size);
  }
  return *g_pool;
}

}  // namespace

size_t pool_size_from(const char* fenro_num_threads, const char* num_threads,
                      const char* rs_num_cpus, unsigned hardware) {
  const size_t fallback = hardware == 0 ? 1 : hardware;
  size_t v = 0;
  if (parse_count(fenro_num_threads, &v) || parse_count(num_threads, &v) ||
      (parse_count(rs_num_cpus, &v) && v > 0)) {
    return v == 0 ? fallback : std::min(v, kMaxThreadsPerCpu * fallback);
  }
  return fallback;
}

size_t thread_count() { return pool().threads(); }

void parallel_for(size_t n, size_t grain, RangeFn body) {
  if (n == 0) return;
  if (grain == 0) grain = 1;
  const size_t chunks = (n - 1) / grain + 1;
  if (chunks == 1 || t_inside_loop) {
    body(0, n);
    return;
  }
  Pool& p = pool();
  if (p.threads() == 1) {
    body(0, n);
    return;
  }
  Job job(body, n, grain, chunks);
  t_inside_loop = true;
  struct Reset {
    ~Reset() { t_inside_loop = false; }
  } reset;
  p.run(job);
}

size_t worker_wakeups_for_testing() { return pool().wakeups(); }

void reset_pool_for_testing(size_t size, size_t spawn_limit) {
  std::lock_guard<std::mutex> lk(*g_create_mutex);
  if (g_pool != nullptr) {
    g_pool->shutdown();
    delete g_pool;
  }
  g_spawn_limit = spawn_limit;
  g_pool = new_pool(size);
}

}  // namespace fenro::parallel
