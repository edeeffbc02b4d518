// The operating-system pieces a service node needs, behind one narrow interface: locks,
// events, the thread's window-message queue and the process exit. Win32 in the programs
// (node_platform_win.cpp), fakes in the tests. Portable.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace pm {

// An unnamed mutex, re-entrant for its owning thread. Lock waits without limit and answers
// true only when the wait succeeded.
class Mutex {
public:
    virtual ~Mutex() = default;
    virtual bool Lock() = 0;
    virtual void Unlock() = 0;
};

// An unnamed manual-reset event.
class Event {
public:
    virtual ~Event() = default;
    virtual void Set() = 0;
    virtual void Reset() = 0;
    virtual void Wait() = 0;
};

// Holds a Mutex for one scope; unlocks only when the lock was taken.
class MutexLock {
public:
    explicit MutexLock(Mutex& m) : mutex_(m), locked_(m.Lock()) {}
    ~MutexLock() {
        if (locked_) mutex_.Unlock();
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& mutex_;
    bool locked_;
};

// Data reached only with its lock held: the lock owns what it guards. Lock() answers a handle
// that holds the mutex for its lifetime and gives access to the data.
template <typename T> class Guarded {
public:
    explicit Guarded(std::unique_ptr<Mutex> mutex) : mutex_(std::move(mutex)) {}

    class Locked {
    public:
        Locked(Mutex& m, T& data) : lock_(m), data_(data) {}
        T* operator->() const { return &data_; }
        T& operator*() const { return data_; }

    private:
        MutexLock lock_;
        T& data_;
    };

    [[nodiscard]] Locked Lock() const { return Locked(*mutex_, data_); }

private:
    std::unique_ptr<Mutex> mutex_;
    mutable T data_{};
};

// A window message as GetMessageA fills it.
struct WindowMessage {
    uintptr_t hwnd = 0;
    uint32_t message = 0;
    uintptr_t wparam = 0;
    intptr_t lparam = 0;
    uint32_t time = 0;
    int32_t pt_x = 0;
    int32_t pt_y = 0;
};

constexpr uint32_t kWmQuit = 0x12;
// Posted to a thread waiting for a reply, to wake its GetMessageA.
constexpr uint32_t kWmReplyArrived = 0x4EA;

class NodePlatform {
public:
    virtual ~NodePlatform() = default;
    virtual std::unique_ptr<Mutex> NewMutex() = 0;
    virtual std::unique_ptr<Event> NewEvent() = 0;
    virtual uint32_t CurrentThreadId() = 0;
    // PostThreadMessageA(thread, message, 0, 0).
    virtual bool PostToThread(uint32_t thread_id, uint32_t message) = 0;
    // GetMessageA over all windows and messages: >0 a message, 0 WM_QUIT, -1 failure.
    virtual int NextMessage(WindowMessage& msg) = 0;
    virtual void TranslateAndDispatch(const WindowMessage& msg) = 0;
    virtual void PostQuitMessage(int code) = 0;
    // Ends the process; a fake records the code and returns.
    virtual void ExitProcess(unsigned code) = 0;
};

// The Win32 implementation (Windows builds only).
NodePlatform& SystemNodePlatform();

} // namespace pm
