#include "sim_table_memory.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace zsim {
namespace {

// Process-wide: tables of every engine draw on it, from any thread.
struct Pool {
    std::mutex mu;
    std::vector<std::pair<size_t, void *>> free;  // (bytes, mapping)
    size_t bytes = 0;
};
Pool &pool() {
    static Pool *p = new Pool;  // never destroyed: tables may be freed by other statics' destructors
    return *p;
}

void *pool_take(size_t bytes) {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mu);
    for (size_t i = 0; i < p.free.size(); ++i)
        if (p.free[i].first == bytes) {
            void *m = p.free[i].second;
            p.free[i] = p.free.back();
            p.free.pop_back();
            p.bytes -= bytes;
            return m;
        }
    return nullptr;
}

bool pool_give(void *m, size_t bytes) {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mu);
    if (p.bytes + bytes > kPoolMaxBytes) return false;
    try {
        p.free.emplace_back(bytes, m);
    } catch (...) {
        return false;
    }
    p.bytes += bytes;
    return true;
}

// The table worker: one thread per process, making ready the chunks of
// the tables offered to it, oldest first. It holds a table's TablePrep
// (not its memory) until no chunk is left to claim; an owner that gives
// its table back cancels first, which leaves nothing to claim.
struct Worker {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::shared_ptr<TablePrep>> jobs;
    // The process the thread runs in (0: none started yet, -1: none could
    // be). A fork's child sees its parent's, and never uses the thread nor
    // the mutex (it may have been locked at the fork).
    std::atomic<pid_t> pid{0};
    pthread_t thread{};  // set before pid (release), read after it (acquire)

    void loop() {
        for (;;) {
            std::shared_ptr<TablePrep> job;
            {
                std::unique_lock<std::mutex> g(mu);
                cv.wait(g, [&] { return !jobs.empty(); });
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            while (job->claim()) {
            }
        }
    }
};
Worker &worker() {
    static Worker *w = new Worker;  // never destroyed: the thread outlives every static
    return *w;
}

bool worker_wanted() {
    static const bool wanted = [] {
        const char *e = std::getenv("ZSIM_TABLE_WORKER");
        return !(e && e[0] == '0' && e[1] == 0);
    }();
    return wanted;
}

// The worker of this process, started at the first call; nullptr when
// there is none (not wanted, not startable, or a forked child).
Worker *worker_here() {
    if (!worker_wanted()) return nullptr;
    Worker &w = worker();
    const pid_t self = getpid();
    pid_t seen = w.pid.load(std::memory_order_acquire);
    if (seen == 0) {
        std::lock_guard<std::mutex> g(w.mu);
        seen = w.pid.load(std::memory_order_relaxed);
        if (seen == 0) {
            try {
                std::thread t([&w] { w.loop(); });
                w.thread = t.native_handle();
                t.detach();
                seen = self;
            } catch (...) {  // no thread: the owners do it all
                seen = -1;
            }
            w.pid.store(seen, std::memory_order_release);
        }
    }
    return seen == self ? &w : nullptr;
}

// Keep the worker off the core the calling owner runs on, when it may
// run on another: the owner's calls then never wait out the worker's time
// slices (a 4 ms tick here), and with no other core free the worker
// shares one with something else (the owner's share keeps its table's
// pace meanwhile). The owner of the latest offer is steered from; an
// owner that the scheduler moves to the worker's core later shares it,
// as without steering.
void steer_away(Worker &w) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return;
    const int here = sched_getcpu();
    if (here < 0 || here >= CPU_SETSIZE || !CPU_ISSET(here, &set) || CPU_COUNT(&set) < 2) return;
    CPU_CLR(here, &set);
    (void)pthread_setaffinity_np(w.thread, sizeof set, &set);
}

// Offer a job to the worker. False when there is none (the owner then
// does every chunk itself).
bool worker_offer(const std::shared_ptr<TablePrep> &job) {
    Worker *w = worker_here();
    if (!w) return false;
    steer_away(*w);
    try {
        std::lock_guard<std::mutex> g(w->mu);
        w->jobs.push_back(job);
    } catch (...) {  // no memory for the queue
        return false;
    }
    w->cv.notify_one();
    return true;
}

}  // namespace

bool table_worker_running() { return worker_here() != nullptr; }

std::shared_ptr<TablePrep> TablePrep::start(void *p, size_t bytes, bool fresh) {
    std::shared_ptr<TablePrep> job;
    try {
        job = std::make_shared<TablePrep>(static_cast<unsigned char *>(p), bytes, fresh);
    } catch (...) {
        return nullptr;
    }
    (void)worker_offer(job);
    return job;
}

void TablePrep::make_ready(size_t chunk) {
    const size_t off = chunk * kChunk;
    table_ready(p_, off, std::min(kChunk, bytes_ - off), fresh_);
    done_.fetch_add(1, std::memory_order_release);
}

bool TablePrep::claim() {
    const size_t c = next_.fetch_add(1, std::memory_order_relaxed);
    if (c >= chunks_) return false;
    make_ready(c);
    return true;
}

bool TablePrep::help() {
    if (!ready()) (void)claim();
    return ready();
}

void TablePrep::wait_done(size_t n) const {
    while (done_.load(std::memory_order_acquire) < n) std::this_thread::yield();
}

void TablePrep::finish() {
    while (claim()) {
    }
    wait_done(chunks_);
}

void TablePrep::cancel() {
    // Every chunk not yet claimed becomes the owner's, which does not do
    // it; the ones claimed before are done, or in the worker's hands.
    const size_t claimed = std::min(next_.exchange(chunks_, std::memory_order_relaxed), chunks_);
    wait_done(claimed);
}

size_t TablePrep::bytes_ready() const {
    return std::min(bytes_, done_.load(std::memory_order_relaxed) * kChunk);
}

void *table_alloc(size_t bytes, bool *fresh) {
    *fresh = false;
    if (!table_mapped(bytes)) return std::calloc(1, bytes);
    if (void *m = pool_take(bytes)) return m;
    void *m = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    *fresh = true;
    return m;
}

void table_ready(void *p, size_t off, size_t len, bool fresh) {
    auto *b = static_cast<unsigned char *>(p) + off;
    if (!fresh) {
        std::memset(b, 0, len);
        return;
    }
    // A new mapping is zero already: a write to each page brings it in.
    // Page by page, not by MADV_POPULATE_WRITE: that holds the process's
    // mmap lock for the whole range, and an owner's mapping call (a next
    // table, the heap growing) would wait for it, for milliseconds where
    // the hypervisor has not backed the pages yet; a write fault takes
    // only the lock of the mapping it falls in, for one page.
    for (size_t i = 0; i < len; i += kPage) static_cast<volatile unsigned char *>(b)[i] = 0;
}

void table_free(void *p, size_t bytes) {
    if (!p) return;
    if (!table_mapped(bytes)) {
        std::free(p);
        return;
    }
    if (!pool_give(p, bytes)) munmap(p, bytes);
}

size_t table_pool_bytes() {
    Pool &p = pool();
    std::lock_guard<std::mutex> g(p.mu);
    return p.bytes;
}

}  // namespace zsim
