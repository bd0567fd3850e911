// ThreadSanitizer builds only. Qt's QMutex locks and unlocks inside the
// uninstrumented Qt library (atomics and futexes), so TSan sees no order
// between two holders of one QMutex and would report every access it guards.
// These definitions take the place of Qt's for the test programs, call Qt's
// own, and tell TSan that an unlock releases and a lock acquires the mutex.
// Code that touches shared data without the mutex is still reported.
// QWaitCondition unlocks and relocks its mutex inside Qt too.
#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>
#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace
{
template <typename Fn> Fn qtOwn(const char* symbol)
{
    void* fn = dlvsym(RTLD_NEXT, symbol, "Qt_5");
    if (!fn)
        fn = dlsym(RTLD_NEXT, symbol);
    if (!fn)
        qFatal("tsan: %s not found", symbol);
    return reinterpret_cast<Fn>(fn);
}
} // namespace

void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<void (*)(QMutex*)>("_ZN6QMutex4lockEv");
    own(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto own = qtOwn<bool (*)(QMutex*, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = own(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto own = qtOwn<void (*)(QMutex*)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    own(this);
}

bool QWaitCondition::wait(QMutex* lockedMutex, QDeadlineTimer deadline)
{
    static const auto own = qtOwn<bool (*)(QWaitCondition*, QMutex*, QDeadlineTimer)>(
        "_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(lockedMutex);
    const bool woken = own(this, lockedMutex, deadline);
    __tsan_acquire(lockedMutex);
    return woken;
}

bool QWaitCondition::wait(QMutex* lockedMutex, unsigned long time)
{
    static const auto own = qtOwn<bool (*)(QWaitCondition*, QMutex*, unsigned long)>(
        "_ZN14QWaitCondition4waitEP6QMutexm");
    __tsan_release(lockedMutex);
    const bool woken = own(this, lockedMutex, time);
    __tsan_acquire(lockedMutex);
    return woken;
}
