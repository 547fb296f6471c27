#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <future>
#include <thread>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/resource.h>
#  include <sys/syscall.h>
#  include <unistd.h>
#endif

#include "vrc_mutex.h"
#include "vrc_thread.h"
#include "vrc_time.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int64_t ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

// Result of an operation on the mutex from another thread; a lock that a
// trylock gets is given back, one that a lock gets is kept.
int elsewhere(int (*op)(vrc_mutex_t *), vrc_mutex_t *mutex)
{
    int rc = 0;
    std::thread([&] {
        if ((rc = op(mutex)) == 0 && op == vrc_mutex_trylock) vrc_mutex_unlock(mutex);
    }).join();
    return rc;
}

// The running thread's platform priority on Windows, its nice value on Linux.
int own_priority()
{
#if defined(_WIN32)
    return GetThreadPriority(GetCurrentThread());
#else
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
#endif
}

// What started routines saw; static in each test, as routines run on detached threads.
struct Runs {
    std::atomic<int> priority{0};  // of the latest run
    std::atomic<int> count{0};
};

uint32_t VRC_THREAD_CALL note_run(void *context)
{
    auto *runs = static_cast<Runs *>(context);
    runs->priority = own_priority();
    ++runs->count;
    return 0;
}

// Whether n runs are seen in time.
bool reached(const Runs &runs, int n, milliseconds within = milliseconds(5000))
{
    const Clock::time_point start = Clock::now();
    while (runs.count < n && Clock::now() - start < within) std::this_thread::sleep_for(milliseconds(1));
    return runs.count >= n;
}

}  // namespace

TEST(Mutex, CreatedOnFirstLockOwnedReentrantTimedAndRecoveredWhenAbandoned)
{
    for (int (*op)(vrc_mutex_t *) :
         {vrc_mutex_init, vrc_mutex_destroy, vrc_mutex_lock, vrc_mutex_trylock, vrc_mutex_unlock})
        EXPECT_EQ(op(nullptr), -1);
    EXPECT_EQ(vrc_mutex_timedlock(nullptr, 10), -1);
    vrc_mutex_t m = nullptr;
    EXPECT_EQ(vrc_mutex_unlock(&m), -1);
    EXPECT_EQ(vrc_mutex_destroy(&m), -1);
    ASSERT_EQ(m, nullptr);  // neither creates a mutex
    ASSERT_EQ(vrc_mutex_trylock(&m), 0);
    ASSERT_EQ(vrc_mutex_lock(&m), 0);
    EXPECT_EQ(vrc_mutex_timedlock(&m, 0), 0);  // the owner is never refused
    EXPECT_EQ(elsewhere(vrc_mutex_trylock, &m), -1);
    EXPECT_EQ(elsewhere(vrc_mutex_unlock, &m), -1);

    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(elsewhere(vrc_mutex_trylock, &m), -1);  // one level still held
    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(elsewhere(vrc_mutex_trylock, &m), 0);
    EXPECT_EQ(vrc_mutex_unlock(&m), -1);  // not owned any more
    EXPECT_EQ(vrc_mutex_destroy(&m), 0);
    EXPECT_EQ(m, nullptr);

    // Timedlock waits as long as asked; an abandoned mutex recovers.
    ASSERT_EQ(vrc_mutex_init(&m), 0);
    std::promise<void> held;
    std::thread holder([&] {
        vrc_mutex_lock(&m);
        held.set_value();
        std::this_thread::sleep_for(milliseconds(600));
        vrc_mutex_unlock(&m);
    });
    held.get_future().wait();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(vrc_mutex_trylock(&m), -1);
    EXPECT_EQ(vrc_mutex_timedlock(&m, 0), -1);
    EXPECT_EQ(vrc_mutex_timedlock(&m, -1), -1);
    EXPECT_LT(ms_since(start), 40);
    start = Clock::now();
    EXPECT_EQ(vrc_mutex_timedlock(&m, 50), -1);
    EXPECT_GE(ms_since(start), 45);
    EXPECT_EQ(vrc_mutex_timedlock(&m, 20000), 0);  // granted at the release, long before the time-out
    EXPECT_LT(ms_since(start), 5000);
    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    holder.join();

    ASSERT_EQ(elsewhere(vrc_mutex_lock, &m), 0);  // ends holding it
    EXPECT_EQ(vrc_mutex_lock(&m), -1);
    EXPECT_EQ(elsewhere(vrc_mutex_trylock, &m), 0);  // repaired and released
    EXPECT_EQ(vrc_mutex_lock(&m), 0);
    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(vrc_mutex_destroy(&m), 0);
}

// Threads meeting a zero word at once must all get one mutex, so never two
// of them are inside at the same time.
TEST(Mutex, ConcurrentFirstLockOfAZeroWordMakesOneMutex)
{
    for (int round = 0; round < 150; ++round) {
        vrc_mutex_t word = nullptr;
        std::atomic<int> ready{0}, inside{0}, faults{0};
        std::vector<void *> seen(8);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < seen.size(); ++t)
            threads.emplace_back([&, t] {
                for (++ready; ready.load() < static_cast<int>(seen.size());) std::this_thread::yield();
                faults += vrc_mutex_lock(&word) != 0 ? 1 : 0;  // fails the round; the rest does no harm
                faults += inside.fetch_add(1);                  // another thread inside: a second mutex
                seen[t] = __atomic_load_n(&word, __ATOMIC_ACQUIRE);  // others may be publishing it
                std::this_thread::yield();
                --inside;
                vrc_mutex_unlock(&word);
            });
        for (std::thread &thread : threads) thread.join();
        ASSERT_EQ(faults.load(), 0) << "round " << round;
        for (void *handle : seen) ASSERT_EQ(handle, word) << "round " << round;
        ASSERT_EQ(vrc_mutex_destroy(&word), 0);  // the loser's mutex is gone: nothing leaks
    }
}

// Refused arguments start nothing, an unmapped priority leaves the record
// alone; an accepted routine runs once, at its mapped priority.
TEST(Thread, PriorityIsMappedWrittenBackAndAppliedBeforeTheRoutineRunsOnce)
{
    static Runs runs;
    vrc_thread_t thread = 0;
    for (vrc_thread_attr_t attr : {vrc_thread_attr_t{1, 101, 0}, {1, -1, 0}, {1, 0, -1}}) {
        const int32_t asked = attr.priority;
        EXPECT_EQ(vrc_thread_create(&thread, &attr, note_run, &runs), -1);
        EXPECT_EQ(attr.priority, asked);
    }
    EXPECT_EQ(vrc_thread_create(&thread, nullptr, nullptr, &runs), -1);
    EXPECT_EQ(vrc_thread_spawn(&thread, 0, 0, 0, note_run, &runs), -1);  // zero tag

    // The first priority of each step; nice: the step on Linux, relative to the creator
    const struct { int32_t priority, platform, nice; } table[] = {
        {0, 0, 0}, {1, 15, -20}, {29, 2, -10}, {43, 1, -5}, {58, 0, 0}, {72, -1, 5}, {86, -2, 10}, {100, -15, 19}};
    int started = 0;
    for (const auto &row : table) {
        SCOPED_TRACE(row.priority);
        vrc_thread_attr_t attr{1, row.priority, 0};
        const int rc = vrc_thread_create(&thread, &attr, note_run, &runs);
        EXPECT_EQ(attr.priority, row.platform);
        EXPECT_TRUE(rc == 0 || row.platform > 0);  // normal and lower work for everyone
        if (rc != 0) continue;  // more urgent steps may need privilege; then nothing runs
        ASSERT_TRUE(reached(runs, ++started));
#if defined(_WIN32)
        EXPECT_EQ(runs.priority, row.platform);
#else
        EXPECT_EQ(runs.priority, std::min(19, std::max(-20, own_priority() + row.nice)));
#endif
    }
    ASSERT_EQ(vrc_thread_create(&thread, nullptr, note_run, &runs), 0);
    ASSERT_TRUE(reached(runs, ++started));
    ASSERT_EQ(vrc_thread_spawn(&thread, 7, 60, 256 * 1024, note_run, &runs), 0);
    ASSERT_TRUE(reached(runs, ++started));
    EXPECT_EQ(vrc_thread_detach(thread), 0);
    EXPECT_FALSE(reached(runs, started + 1, milliseconds(50)));  // nor did a refused one
}

// A sleep longer than 2^32 ms (4294968 s) must not wrap to a short one (704
// ms): the sleeper must outlast the second this test sleeps. It is left
// behind; the process ends it.
TEST(Time, SleepsReallyWaitWithoutWrappingAndTheClocksAgreeWithTheSystem)
{
    static std::atomic<bool> woke{false};
    std::thread([] { vrc_sleep(4294968u); woke = true; }).detach();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(vrc_usleep(1500), 0);  // rounded up where the clock counts milliseconds
    EXPECT_GE(Clock::now() - start, std::chrono::microseconds(1400));
    EXPECT_LT(ms_since(start), 1000);
    start = Clock::now();
    const int64_t start_ms = vrc_clock_monotonic_get();
    EXPECT_EQ(vrc_sleep(1), 0);
    const int64_t waited = ms_since(start), clock_ms = vrc_clock_monotonic_get() - start_ms;
    EXPECT_GE(waited, 990);
    EXPECT_LT(waited, 2000);
    EXPECT_GE(clock_ms, 970);  // the tick may be coarse
    EXPECT_LE(clock_ms, waited + 20);
    vrc_timeval_t tv{-1, -1};
    ASSERT_EQ(vrc_gettimeofday(&tv), 0);
    EXPECT_EQ(vrc_gettimeofday(nullptr), -1);
    EXPECT_TRUE(tv.tv_usec >= 0 && tv.tv_usec < 1000000 && tv.tv_usec % 1000 == 0) << tv.tv_usec;
    for (int64_t seconds : {tv.tv_sec, vrc_utc_time(), vrc_clock_monotonic_get() / 1000})
        EXPECT_LE(std::llabs(seconds - static_cast<int64_t>(std::time(nullptr))), 1);
    EXPECT_FALSE(woke);
}
