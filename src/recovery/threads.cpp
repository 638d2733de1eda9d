#include "recovery/threads.hpp"

#include "common/errdesc.hpp"
#include "common/logging.hpp"
#include "common/spawn.hpp"
#include "controller/controller.hpp"
#include "controller/registry.hpp"
#include "recovery/recovery_cookie.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>

evict_thr_t evict_thr_state;
controller_thr_t controller_thr_state;

namespace
{

template <typename State>
void record_start(thr_record_t<State> *rec, void *(*body)(void *), const char *name)
{
    memset(rec, 0, sizeof(*rec));
    rec->magic = THR_MAGIC;
    rec->version = THR_VERSION;
    rec->state = static_cast<State>(1); // STARTING
    pthread_cond_init(&rec->cond, nullptr);
    pthread_mutex_init(&rec->mutex, nullptr);
    if (int rc = pthread_create(&rec->thr, nullptr, body, nullptr)) {
        fprintf(stderr, "recovery_fs: cannot start the %s thread: %s\n", name, strerror(rc));
        exit(1);
    }
}

template <typename State> void record_ask_stop(thr_record_t<State> *rec)
{
    if (rec->magic != THR_MAGIC)
        return;
    pthread_mutex_lock(&rec->mutex);
    if (rec->state != static_cast<State>(4)) // STOPPED
        rec->state = static_cast<State>(3);  // STOPPING
    pthread_cond_signal(&rec->cond);
    pthread_mutex_unlock(&rec->mutex);
}

template <typename State> bool record_join(thr_record_t<State> *rec, int seconds, const char *name)
{
    if (rec->magic != THR_MAGIC)
        return true;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    if (int rc = pthread_timedjoin_np(rec->thr, nullptr, &deadline)) {
        ts_printf("the %s thread has not ended within %d s (%s); going on without it\n", name,
                  seconds, strerror(rc));
        return false;
    }
    pthread_cond_destroy(&rec->cond);
    pthread_mutex_destroy(&rec->mutex);
    rec->magic = 0;
    return true;
}

// Waits on the record's condition until `seconds` from now on the real-time
// clock or a signal; the caller holds the mutex.
template <typename State>
void timed_wait(thr_record_t<State> *rec, int seconds)
{
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    while (rec->state == static_cast<State>(2)) { // RUNNING
        int rc = pthread_cond_timedwait(&rec->cond, &rec->mutex, &deadline);
        if (rc == ETIMEDOUT)
            return;
    }
}

int period_from(const char *text, int index, int fallback)
{
    int values[3];
    if (!text || sscanf(text, "%d,%d,%d", &values[0], &values[1], &values[2]) != 3)
        return fallback;
    return values[index] > 0 ? values[index] : fallback;
}

} // namespace

thr_periods_t thr_periods()
{
    const char *text = getenv("RFS_TEST_THREAD_PERIODS");
    thr_periods_t p;
    p.evict = period_from(text, 0, p.evict);
    p.controller_poll = period_from(text, 1, p.controller_poll);
    p.controller_refresh = period_from(text, 2, p.controller_refresh);
    return p;
}

void *evict_thr(void *)
{
    evict_thr_t *rec = &evict_thr_state;
    int period = thr_periods().evict;
    pthread_mutex_lock(&rec->mutex);
    if (rec->state == EVICT_THR_STARTING)
        rec->state = EVICT_THR_RUNNING;
    while (rec->state == EVICT_THR_RUNNING) {
        timed_wait(rec, period);
        if (rec->state != EVICT_THR_RUNNING)
            break;
        pthread_mutex_unlock(&rec->mutex);
        try {
            recovery_evict(); // nothing to evict (EMFILE) is the usual answer
        } catch (const std::exception &e) {
            // Must not end the process: the next period tries again.
            ts_printf("ERROR: evict_thr: %s\n", e.what());
        }
        pthread_mutex_lock(&rec->mutex);
    }
    rec->state = EVICT_THR_STOPPED;
    pthread_mutex_unlock(&rec->mutex);
    return nullptr;
}

void *controller_thr(void *)
{
    controller_thr_t *rec = &controller_thr_state;
    thr_periods_t periods = thr_periods();
    pthread_mutex_lock(&rec->mutex);
    if (rec->state == CONTROLLER_THR_STARTING)
        rec->state = CONTROLLER_THR_RUNNING;
    // Scripts and requests run without the lock, so that shutdown never
    // waits for them to ask the thread to stop. The wait between questions is
    // a timed wait on the condition rather than a sleep, so that shutdown
    // ends it at once.
    while (rec->state == CONTROLLER_THR_RUNNING) {
        pthread_mutex_unlock(&rec->mutex);
        const bool running = tolcontroller_is_running();
        pthread_mutex_lock(&rec->mutex);
        if (running)
            break;
        timed_wait(rec, periods.controller_poll);
    }
    while (rec->state == CONTROLLER_THR_RUNNING) {
        pthread_mutex_unlock(&rec->mutex);
        try {
            if (errdesc_t *err = registry_settings_update())
                errdesc_log(err, TOL_PRIO_WARNING);
        } catch (const std::exception &e) {
            // Must not end the process: the next period tries again.
            ts_printf("ERROR: controller_thr: %s\n", e.what());
        }
        pthread_mutex_lock(&rec->mutex);
        timed_wait(rec, periods.controller_refresh);
    }
    rec->state = CONTROLLER_THR_STOPPED;
    pthread_mutex_unlock(&rec->mutex);
    return nullptr;
}

void evict_thr_start()
{
    record_start(&evict_thr_state, evict_thr, "eviction");
}

void controller_thr_start()
{
    record_start(&controller_thr_state, controller_thr, "controller");
}

void recovery_begin_shutdown()
{
    spawn_shutdown_begin();
    controller_abort_requests();
    record_ask_stop(&evict_thr_state);
    record_ask_stop(&controller_thr_state);
}

bool evict_thr_shutdown(int seconds)
{
    recovery_begin_shutdown();
    return record_join(&evict_thr_state, seconds, "eviction");
}

bool controller_thr_shutdown(int seconds)
{
    recovery_begin_shutdown();
    return record_join(&controller_thr_state, seconds, "controller");
}
