#pragma once

#include "tone/ThreadSafety.h"

#include <pthread.h>

namespace quindle {

// A mutex with priority inheritance: the audio thread runs at real-time priority where allowed,
// and a UI thread preempted while holding a lock the audio thread waits for is lifted until it
// lets go, instead of letting the stream run dry.
class CAPABILITY("mutex") PiMutex {
public:
    PiMutex()
    {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
        pthread_mutex_init(&m_mutex, &attr);
        pthread_mutexattr_destroy(&attr);
    }
    ~PiMutex() { pthread_mutex_destroy(&m_mutex); }
    PiMutex(const PiMutex&) = delete;
    PiMutex& operator=(const PiMutex&) = delete;
    void lock() ACQUIRE() { pthread_mutex_lock(&m_mutex); }
    void unlock() RELEASE() { pthread_mutex_unlock(&m_mutex); }
    bool try_lock() TRY_ACQUIRE(true) { return pthread_mutex_trylock(&m_mutex) == 0; }

private:
    pthread_mutex_t m_mutex;
};

// Holds a PiMutex for its lifetime. unlock() and lock() let it go for a while, as a condition
// variable's wait does.
class SCOPED_CAPABILITY PiLock {
public:
    explicit PiLock(PiMutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~PiLock() RELEASE()
    {
        if (m_locked)
            m_mutex.unlock();
    }
    PiLock(const PiLock&) = delete;
    PiLock& operator=(const PiLock&) = delete;
    void lock() ACQUIRE()
    {
        m_mutex.lock();
        m_locked = true;
    }
    void unlock() RELEASE()
    {
        m_locked = false;
        m_mutex.unlock();
    }

private:
    PiMutex& m_mutex;
    bool m_locked = true;
};

} // namespace quindle
