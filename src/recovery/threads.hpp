#pragma once
// The two background threads: the eviction thread releases one idle cookie
// every 15 seconds; the controller thread waits until the controller service
// runs, then refreshes the settings every 180 seconds.

#include <cstdint>
#include <pthread.h>

inline constexpr uint32_t THR_MAGIC = 0xabababab;
inline constexpr uint32_t THR_VERSION = 1;
inline constexpr int EVICT_THR_INTERVAL = 15;
inline constexpr int CONTROLLER_THR_POLL = 15;
inline constexpr int CONTROLLER_THR_INTERVAL = 180;

enum evict_thr_state_t : int {
    EVICT_THR_UNKNOWN = 0,
    EVICT_THR_STARTING = 1,
    EVICT_THR_RUNNING = 2,
    EVICT_THR_STOPPING = 3,
    EVICT_THR_STOPPED = 4,
};

enum controller_thr_state_t : int {
    CONTROLLER_THR_UNKNOWN = 0,
    CONTROLLER_THR_STARTING = 1,
    CONTROLLER_THR_RUNNING = 2,
    CONTROLLER_THR_STOPPING = 3,
    CONTROLLER_THR_STOPPED = 4,
};

// One background thread's record. The mutex guards the state and the waits.
template <typename State>
struct thr_record_t {
    uint32_t magic;
    uint32_t version;
    pthread_cond_t cond;
    pthread_mutex_t mutex;
    pthread_t thr;
    State state;
};

using evict_thr_t = thr_record_t<evict_thr_state_t>;
using controller_thr_t = thr_record_t<controller_thr_state_t>;

extern evict_thr_t evict_thr_state;
extern controller_thr_t controller_thr_state;

// Start a thread; a thread that cannot be started ends the program with a
// message, since the file system must not run without it.
void evict_thr_start();
void controller_thr_start();
// Shutdown begins: programs get only their short grace from now on (see
// spawn_shutdown_begin), controller requests are aborted, and both threads
// are asked to stop. Any thread may call it, as often as it likes; the
// threads' own shutdown below calls it first.
void recovery_begin_shutdown();
// Ask the thread to stop, wake it and wait up to `seconds` until it has
// ended; false when it did not end in time (it is then left running, its
// record untouched). A thread that was never started counts as ended.
// Joining the eviction thread before the final release of every cookie keeps
// the two from overlapping.
bool evict_thr_shutdown(int seconds);
bool controller_thr_shutdown(int seconds);

void *evict_thr(void *);
void *controller_thr(void *);

// The periods in seconds, shortened by tests (RFS_TEST_THREAD_PERIODS="e,p,r",
// eviction, controller poll, refresh). Never set on an appliance.
struct thr_periods_t {
    int evict = EVICT_THR_INTERVAL;
    int controller_poll = CONTROLLER_THR_POLL;
    int controller_refresh = CONTROLLER_THR_INTERVAL;
};
thr_periods_t thr_periods();
