#pragma once

// Work handed to another thread through Qt (QThreadPool::start, QtConcurrent::run, a queued
// QMetaObject::invokeMethod or a posted event) crosses under QtCore's QMutex, a futex that
// ThreadSanitizer cannot see since Qt is not instrumented. These calls tell it of the hand-over:
// everything the handing thread did before handoffRelease(token) happens before whatever the
// taking thread does after handoffAcquire(token). Outside a -fsanitize=thread build they are
// nothing.

#include <type_traits>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define WL_TSAN_HANDOFF 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define WL_TSAN_HANDOFF 1
#endif
#endif

#if defined(WL_TSAN_HANDOFF)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace wl {

inline void handoffRelease(const void* token)
{
#if defined(WL_TSAN_HANDOFF)
    __tsan_release(const_cast<void*>(token));
#else
    (void)token;
#endif
}

inline void handoffAcquire(const void* token)
{
#if defined(WL_TSAN_HANDOFF)
    __tsan_acquire(const_cast<void*>(token));
#else
    (void)token;
#endif
}

#if defined(WL_TSAN_HANDOFF)
// A closure that releases each time a copy of it is made (the last one is the copy Qt keeps and
// runs) and acquires, on that same copy, when it is called; the end of the call releases again
// for its destruction, which Qt may do on either thread. The destruction then releases the token
// given, which the handing thread acquires once it knows the closure is gone (after
// QThreadPool::waitForDone, for one).
template <typename Fn> class Handoff {
public:
    Handoff(Fn fn, const void* doneToken) : m_done{doneToken}, m_fn(std::move(fn))
    {
        handoffRelease(this);
    }
    Handoff(const Handoff& other) : m_done{other.m_done.token}, m_fn(other.m_fn)
    {
        handoffRelease(this);
    }
    Handoff(Handoff&& other) noexcept(std::is_nothrow_move_constructible_v<Fn>)
        : m_done{other.m_done.token}, m_fn(std::move(other.m_fn))
    {
        handoffRelease(this);
    }
    Handoff& operator=(const Handoff&) = delete;
    Handoff& operator=(Handoff&&) = delete;
    ~Handoff() { handoffAcquire(this); }

    decltype(auto) operator()()
    {
        handoffAcquire(this);
        const CallEnd end{this};
        return m_fn();
    }

private:
    struct CallEnd {
        const void* token;
        ~CallEnd() { handoffRelease(token); }
    };
    // Declared first so that it goes last, after the closure's captures.
    struct DoneRelease {
        explicit DoneRelease(const void* t) : token(t) {}
        DoneRelease(const DoneRelease&) = delete;
        DoneRelease& operator=(const DoneRelease&) = delete;
        ~DoneRelease()
        {
            if (token)
                handoffRelease(token);
        }
        const void* token;
    };
    DoneRelease m_done;
    Fn m_fn;
};
#endif

// Wraps a closure handed to another thread through Qt. doneToken, if given, is released where
// the closure is destroyed.
template <typename Fn> auto tsanHandoff(Fn fn, const void* doneToken = nullptr)
{
#if defined(WL_TSAN_HANDOFF)
    return Handoff<Fn>(std::move(fn), doneToken);
#else
    (void)doneToken;
    return fn;
#endif
}

} // namespace wl
