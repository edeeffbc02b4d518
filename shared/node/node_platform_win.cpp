// The Win32 side of the service node: mutexes, events and the thread's message queue.
#include <windows.h>

#include "shared/node/node_platform.h"
#include "shared/node/trace_log.h"
#include "shared/base/win_handles.h"

namespace pm {
namespace {

class Win32Mutex final : public Mutex {
public:
    Win32Mutex() : handle_(CreateMutexA(nullptr, FALSE, nullptr)) {}
    bool Lock() override {
        if (!handle_) return false;
        DWORD r = WaitForSingleObject(handle_.get(), INFINITE);
        // A thread that ended holding the lock leaves it abandoned: the wait owns it all the
        // same, so the lock is taken (and released later) instead of blocking the program.
        if (r == WAIT_ABANDONED)
            Trace("!!Mutex::Lock(): lock abandoned by a thread that ended, taken\n");
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
    }
    void Unlock() override { ReleaseMutex(handle_.get()); }

private:
    win::unique_handle handle_;
};

class Win32Event final : public Event {
public:
    Win32Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    void Set() override { SetEvent(handle_.get()); }
    void Reset() override { ResetEvent(handle_.get()); }
    void Wait() override { WaitForSingleObject(handle_.get(), INFINITE); }

private:
    win::unique_handle handle_;
};

void ToMsg(const WindowMessage& in, MSG& out) {
    out.hwnd = reinterpret_cast<HWND>(in.hwnd);
    out.message = in.message;
    out.wParam = static_cast<WPARAM>(in.wparam);
    out.lParam = static_cast<LPARAM>(in.lparam);
    out.time = in.time;
    out.pt.x = in.pt_x;
    out.pt.y = in.pt_y;
}

class Win32NodePlatform final : public NodePlatform {
public:
    std::unique_ptr<Mutex> NewMutex() override { return std::make_unique<Win32Mutex>(); }
    std::unique_ptr<Event> NewEvent() override { return std::make_unique<Win32Event>(); }
    uint32_t CurrentThreadId() override { return GetCurrentThreadId(); }
    bool PostToThread(uint32_t thread_id, uint32_t message) override {
        return PostThreadMessageA(thread_id, message, 0, 0) != FALSE;
    }
    int NextMessage(WindowMessage& msg) override {
        MSG m{};
        BOOL r = GetMessageA(&m, nullptr, 0, 0);
        msg.hwnd = reinterpret_cast<uintptr_t>(m.hwnd);
        msg.message = m.message;
        msg.wparam = static_cast<uintptr_t>(m.wParam);
        msg.lparam = static_cast<intptr_t>(m.lParam);
        msg.time = m.time;
        msg.pt_x = m.pt.x;
        msg.pt_y = m.pt.y;
        return r == -1 ? -1 : (r ? 1 : 0);
    }
    void TranslateAndDispatch(const WindowMessage& msg) override {
        MSG m{};
        ToMsg(msg, m);
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    void PostQuitMessage(int code) override { ::PostQuitMessage(code); }
    void ExitProcess(unsigned code) override { ::ExitProcess(code); }
};

} // namespace

NodePlatform& SystemNodePlatform() {
    static Win32NodePlatform platform;
    return platform;
}

} // namespace pm
