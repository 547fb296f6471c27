#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#elif defined(__linux__)
#  include <sys/resource.h>
#  include <sys/syscall.h>
#  include <unistd.h>
#endif

#include "vrc_mem.h"
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

// Result of a trylock from another thread; a granted lock is given back.
int trylock_elsewhere(vrc_mutex_t *mutex)
{
    int rc = 0;
    std::thread([&] {
        if ((rc = vrc_mutex_trylock(mutex)) == 0) vrc_mutex_unlock(mutex);
    }).join();
    return rc;
}

// The running thread's scheduling level: the platform priority on Windows,
// the nice value on Linux.
int own_priority()
{
#if defined(_WIN32)
    return GetThreadPriority(GetCurrentThread());
#elif defined(__linux__)
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
#else
    return 0;
#endif
}

// What started routines saw. Tests keep it static: the routines run on
// detached threads.
struct Runs {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
    std::thread::id thread;
    int priority = 0;

    bool reach(int n)
    {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, milliseconds(5000), [&] { return count >= n; });
    }
    int seen()
    {
        std::lock_guard<std::mutex> hold(lock);
        return count;
    }
};

uint32_t VRC_THREAD_CALL note_run(void *context)
{
    auto *runs = static_cast<Runs *>(context);
    std::lock_guard<std::mutex> hold(runs->lock);
    ++runs->count;
    runs->thread = std::this_thread::get_id();
    runs->priority = own_priority();
    runs->changed.notify_all();
    return 0;
}

}  // namespace

TEST(Memory, WrappersPassThroughToTheCAllocator)
{
    vrc_mem_global_init();
    auto *zeroed = static_cast<unsigned char *>(vrc_calloc(100, 3));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(zeroed[i], 0);
    std::free(zeroed);  // blocks cross freely between the wrappers and the C allocator
    vrc_free(std::malloc(16));
    vrc_free(nullptr);
    void *block = vrc_malloc(64);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(vrc_mem_all_freed(), 1);  // nothing is counted, even now
    vrc_free(block);
    char *copy = vrc_strdup("recording");
    EXPECT_STREQ(copy, "recording");
    std::free(copy);
    vrc_mem_debug();
    vrc_mem_global_free();
}

TEST(Mutex, NullAndZeroWordsAreRefusedAndFirstLockCreates)
{
    for (int (*op)(vrc_mutex_t *) :
         {vrc_mutex_init, vrc_mutex_destroy, vrc_mutex_lock, vrc_mutex_trylock, vrc_mutex_unlock})
        EXPECT_EQ(op(nullptr), -1);
    EXPECT_EQ(vrc_mutex_timedlock(nullptr, 10), -1);
    vrc_mutex_t m = nullptr;
    EXPECT_EQ(vrc_mutex_unlock(&m), -1);
    EXPECT_EQ(vrc_mutex_destroy(&m), -1);
    EXPECT_EQ(m, nullptr);  // neither creates a mutex

    for (int (*first_use)(vrc_mutex_t *) : {vrc_mutex_lock, vrc_mutex_trylock}) {
        ASSERT_EQ(first_use(&m), 0);
        EXPECT_NE(m, nullptr);
        EXPECT_EQ(vrc_mutex_unlock(&m), 0);
        EXPECT_EQ(vrc_mutex_destroy(&m), 0);
        EXPECT_EQ(m, nullptr);
    }
    ASSERT_EQ(vrc_mutex_timedlock(&m, 10), 0);
    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(vrc_mutex_destroy(&m), 0);
    ASSERT_EQ(vrc_mutex_init(&m), 0);
    EXPECT_EQ(trylock_elsewhere(&m), 0);  // created unowned
    EXPECT_EQ(vrc_mutex_destroy(&m), 0);
}

TEST(Mutex, OwnedByTheLockingThreadAndReentrant)
{
    vrc_mutex_t m = nullptr;
    ASSERT_EQ(vrc_mutex_lock(&m), 0);
    ASSERT_EQ(vrc_mutex_lock(&m), 0);
    EXPECT_EQ(vrc_mutex_trylock(&m), 0);  // the owner is never refused
    EXPECT_EQ(trylock_elsewhere(&m), -1);
    int other_unlock = 0;
    std::thread([&] { other_unlock = vrc_mutex_unlock(&m); }).join();
    EXPECT_EQ(other_unlock, -1);

    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(trylock_elsewhere(&m), -1);  // one level still held
    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(trylock_elsewhere(&m), 0);
    EXPECT_EQ(vrc_mutex_unlock(&m), -1);  // not owned any more
    EXPECT_EQ(vrc_mutex_destroy(&m), 0);
}

TEST(Mutex, TrylockAndTimedlockWaitAsLongAsAsked)
{
    vrc_mutex_t m = nullptr;
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
    EXPECT_EQ(vrc_mutex_destroy(&m), 0);
}

TEST(Mutex, AbandonedMutexFailsOnceThenWorks)
{
    vrc_mutex_t m = nullptr;
    ASSERT_EQ(vrc_mutex_init(&m), 0);
    std::thread([&] { vrc_mutex_lock(&m); }).join();  // ends holding it
    EXPECT_EQ(vrc_mutex_lock(&m), -1);
    EXPECT_EQ(trylock_elsewhere(&m), 0);  // repaired and released
    EXPECT_EQ(vrc_mutex_lock(&m), 0);
    EXPECT_EQ(vrc_mutex_unlock(&m), 0);
    EXPECT_EQ(vrc_mutex_destroy(&m), 0);
}

// Many threads meet a zero word at once: all must share one mutex, so never
// two of them are inside at the same time.
TEST(Mutex, ConcurrentFirstLockOfAZeroWordMakesOneMutex)
{
    constexpr int kThreads = 8;
    for (int round = 0; round < 150; ++round) {
        vrc_mutex_t word = nullptr;
        std::atomic<int> ready{0}, inside{0}, overlaps{0}, failures{0};
        std::atomic<bool> go{false};
        std::vector<void *> seen(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                ++ready;
                while (!go.load()) std::this_thread::yield();
                if (vrc_mutex_lock(&word) != 0) {
                    ++failures;
                    return;
                }
                if (inside.fetch_add(1) != 0) ++overlaps;
                seen[t] = word;
                std::this_thread::yield();
                inside.fetch_sub(1);
                vrc_mutex_unlock(&word);
            });
        while (ready.load() < kThreads) std::this_thread::yield();
        go = true;
        for (std::thread &thread : threads) thread.join();
        ASSERT_EQ(failures.load() + overlaps.load(), 0) << "round " << round;
        for (void *handle : seen) ASSERT_EQ(handle, word) << "round " << round;
        ASSERT_EQ(vrc_mutex_destroy(&word), 0);  // the loser's mutex is gone: nothing leaks
    }
}

TEST(Thread, PriorityIsMappedWrittenBackAndAppliedBeforeTheRoutineRuns)
{
    static Runs runs;
    const struct {
        int32_t priority, platform;
    } table[] = {{0, 0},  {1, 15},  {28, 15}, {29, 2},  {42, 2},  {43, 1},  {57, 1},
                 {58, 0}, {71, 0},  {72, -1}, {85, -1}, {86, -2}, {99, -2}, {100, -15}};
    const int base = own_priority();
    for (const auto &row : table) {
        SCOPED_TRACE(row.priority);
        vrc_thread_t thread = 0;
        vrc_thread_attr_t attr{1, row.priority, 0};
        const int before = runs.seen();
        const int rc = vrc_thread_create(&thread, &attr, note_run, &runs);
        EXPECT_EQ(attr.priority, row.platform);
        EXPECT_EQ(thread, 0u);  // nothing is stored in it
        if (row.platform <= 0) {
            EXPECT_EQ(rc, 0);  // normal and lower work for everyone
        }
        if (rc != 0) continue;  // more urgent steps may need privilege; then nothing runs
        ASSERT_TRUE(runs.reach(before + 1));
        std::lock_guard<std::mutex> hold(runs.lock);
        EXPECT_NE(runs.thread, std::this_thread::get_id());
#if defined(_WIN32)
        EXPECT_EQ(runs.priority, row.platform);
#elif defined(__linux__)
        // Nice steps relative to the creator, in the same order.
        const int nice_of_step[] = {-20, -10, -5, 0, 5, 10, 19};
        const int step = row.platform == 15 ? 0 : row.platform == -15 ? 6 : 3 - row.platform;
        EXPECT_EQ(runs.priority, std::min(19, std::max(-20, base + nice_of_step[step])));
#endif
    }
    (void)base;
}

TEST(Thread, RefusedArgumentsStartNothing)
{
    static Runs runs;
    vrc_thread_t thread = 0;
    for (int32_t priority : {101, -1, 1000}) {
        vrc_thread_attr_t attr{1, priority, 0};
        EXPECT_EQ(vrc_thread_create(&thread, &attr, note_run, &runs), -1);
        EXPECT_EQ(attr.priority, priority);  // an unmapped priority leaves the record alone
    }
    vrc_thread_attr_t attr{1, 0, -1};
    EXPECT_EQ(vrc_thread_create(&thread, &attr, note_run, &runs), -1);
    EXPECT_EQ(vrc_thread_create(nullptr, nullptr, note_run, &runs), -1);
    EXPECT_EQ(vrc_thread_create(&thread, nullptr, nullptr, &runs), -1);
    EXPECT_EQ(vrc_thread_spawn(&thread, 0, 0, 0, note_run, &runs), -1);  // zero tag
    EXPECT_EQ(vrc_thread_spawn(nullptr, 1, 0, 0, note_run, &runs), -1);
    EXPECT_EQ(vrc_thread_spawn(&thread, 1, 0, 0, nullptr, &runs), -1);
    EXPECT_EQ(vrc_thread_spawn(&thread, 1, 101, 0, note_run, &runs), -1);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(runs.seen(), 0);
}

TEST(Thread, RoutinesRunOnceWithTheirContext)
{
    static Runs runs;
    vrc_thread_t thread = 0;
    ASSERT_EQ(vrc_thread_create(&thread, nullptr, note_run, &runs), 0);
    ASSERT_TRUE(runs.reach(1));
    ASSERT_EQ(vrc_thread_spawn(&thread, 7, 60, 256 * 1024, note_run, &runs), 0);
    ASSERT_TRUE(runs.reach(2));
    EXPECT_EQ(vrc_thread_detach(thread), 0);
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(runs.seen(), 2);
}

TEST(Time, SleepsReallyWait)
{
    const struct {
        int (*sleep)(uint64_t);
        uint64_t arg;
        int64_t at_least_us;
    } cases[] = {{vrc_usleep, 0, 0},
                 {vrc_usleep, 1500, 1400},  // rounded up where the clock counts milliseconds
                 {vrc_usleep, 30000, 29000},
                 {[](uint64_t s) { return vrc_sleep(static_cast<uint32_t>(s)); }, 1, 990000}};
    for (const auto &c : cases) {
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(c.sleep(c.arg), 0);
        const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        EXPECT_GE(waited, c.at_least_us) << c.arg;
        EXPECT_LT(waited, c.at_least_us + 1000000) << c.arg;
    }
}

TEST(Time, WallClockReadingsAgreeWithTheSystemClock)
{
    EXPECT_EQ(vrc_gettimeofday(nullptr), -1);
    for (int i = 0; i < 20; ++i) {
        vrc_timeval_t tv{-1, -1};
        ASSERT_EQ(vrc_gettimeofday(&tv), 0);
        EXPECT_EQ(tv.tv_usec % 1000, 0);
        EXPECT_TRUE(tv.tv_usec >= 0 && tv.tv_usec < 1000000) << tv.tv_usec;
        EXPECT_LE(std::llabs(tv.tv_sec - static_cast<int64_t>(std::time(nullptr))), 1);
    }
    EXPECT_LE(std::llabs(vrc_utc_time() - static_cast<int64_t>(std::time(nullptr))), 1);
    const int64_t first = vrc_clock_monotonic_get();
    vrc_usleep(200000);
    const int64_t gap = vrc_clock_monotonic_get() - first;
    EXPECT_GE(gap, 190);
    EXPECT_LT(gap, 2000);
}
