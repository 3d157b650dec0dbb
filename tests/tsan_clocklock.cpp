// Linked into the test programs of a thread-sanitizer build only. clang 14's
// thread sanitizer does not intercept pthread_mutex_clocklock, which
// std::timed_mutex uses for a wait on the steady clock, so it never sees the
// exchange lock taken and reports every release of it as an unlock of an
// unlocked mutex, and the data the lock guards as races. This stand-in turns
// the wait into pthread_mutex_timedlock, which the sanitizer does intercept,
// with the same remaining time measured against the wall clock.
#include <pthread.h>
#include <time.h>

extern "C" int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock,
                                       const struct timespec* deadline) noexcept {
    timespec now{};
    timespec wall{};
    clock_gettime(clock, &now);
    clock_gettime(CLOCK_REALTIME, &wall);
    long long left = (deadline->tv_sec - now.tv_sec) * 1000000000LL + (deadline->tv_nsec - now.tv_nsec);
    if (left < 0) left = 0;
    const long long at = wall.tv_nsec + left;
    const timespec until{wall.tv_sec + static_cast<time_t>(at / 1000000000LL), static_cast<long>(at % 1000000000LL)};
    return pthread_mutex_timedlock(mutex, &until);
}
