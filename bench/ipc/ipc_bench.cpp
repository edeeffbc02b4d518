// Request/reply round trips between two processes through KAVIPC32, beside a raw named-pipe
// ping-pong of the same sizes in the same run, and the time to move one 16 MiB message.
//
//   ipc_bench.exe [--seconds N] [--only library|raw] [--size BYTES (one size, up to 1 MiB)]
//                                    parent: runs everything (or one side) and prints figures
//   ipc_bench.exe --child-echo NODE  (started by the parent) echoes through the library
//   ipc_bench.exe --child-raw PIPE   (started by the parent) echoes on a raw pipe
//   ipc_bench.exe --child-raw-overlapped PIPE   the same with overlapped I/O
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "shared/ipc/kavipc32_abi.h"
#include "shared/ipc/message_layout.h"

namespace {

namespace le = pm::le;

double NowUs() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1e6 / static_cast<double>(freq.QuadPart);
}

// A message from `from` to `to` with one item of `payload` bytes.
void* Build(const std::string& from, const std::string& to, uint32_t seq, size_t payload,
            uint8_t type) {
    size_t sl = from.size() + 1, al = to.size() + 1;
    size_t total = 32 + sl + al + 4 + payload;
    auto* m = static_cast<uint8_t*>(AllocateMessage(static_cast<uint32_t>(total)));
    if (m == nullptr) return nullptr;
    le::Store32(m, static_cast<uint32_t>(total));
    le::Store16(m + 4, 32);
    m[6] = type;
    le::Store16(m + 8, static_cast<uint16_t>(sl));
    le::Store16(m + 10, 32);
    le::Store16(m + 12, static_cast<uint16_t>(al));
    le::Store16(m + 14, static_cast<uint16_t>(32 + sl));
    le::Store16(m + 22, 1);
    le::Store16(m + 24, static_cast<uint16_t>(32 + sl + al));
    le::Store16(m + 26, static_cast<uint16_t>(32 + sl + al + 4));
    le::Store32(m + 28, seq);
    std::memcpy(m + 32, from.c_str(), sl);
    std::memcpy(m + 32 + sl, to.c_str(), al);
    le::Store32(m + 32 + sl + al, static_cast<uint32_t>(payload));
    // The payload stays as the library hands it out (zero-filled): the raw side does not fill
    // its buffer per round trip either.
    return m;
}

// --- child: echo through the library ---
std::string g_node;
int KAVIPC_API Echo(void*, void* message, uint32_t) {
    if (message == nullptr) return 0;
    auto* m = static_cast<uint8_t*>(message);
    // turn the request around in place: swap the two names (same lengths as sent by the
    // parent is not guaranteed, so rebuild when they differ)
    std::string sender(reinterpret_cast<char*>(m + le::Load16(m + 10)));
    uint32_t len = le::Load32(m);
    uint32_t seq = le::Load32(m + 28);
    size_t payload = len - le::Load16(m + 26);
    FreeMessage(message);
    void* reply = Build(g_node, sender, seq, payload, 1);
    if (reply != nullptr && !EnqueueMessage(reply)) FreeMessage(reply);
    return 0;
}

int ChildEcho(const char* node) {
    g_node = node;
    InitApplication();
    if (CreateSvcNode(node, nullptr, Echo) == 0) return 1;
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    }
    DeleteSvcNode(node);
    return 0;
}

// --- child: echo on a raw message-mode pipe ---
// Blocking reads and writes, or (`overlapped`) overlapped ones on a pipe made the way the
// library makes its own (buffers of 256 KiB, reads of up to 128 KiB): the second shows what
// Windows' overlapped path costs by itself, apart from the library.
int ChildRaw(const char* pipe_name, bool overlapped) {
    const DWORD buffer = overlapped ? 256 * 1024 : 65536;
    HANDLE h = CreateNamedPipeA(
        pipe_name, PIPE_ACCESS_DUPLEX | (overlapped ? FILE_FLAG_OVERLAPPED : 0),
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, buffer, buffer, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED* o = overlapped ? &ov : nullptr;
    DWORD n = 0, w = 0;
    // Done at once, or pending and then waited for.
    auto finish = [&](BOOL ok, DWORD* bytes) {
        if (o == nullptr || ok)
            return ok != FALSE && (o == nullptr || GetOverlappedResult(h, o, bytes, FALSE));
        return GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(h, o, bytes, TRUE);
    };
    if (!finish(ConnectNamedPipe(h, o), &n) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
    std::vector<char> buf(overlapped ? 128 * 1024 : 1 << 20);
    for (;;) {
        if (!finish(ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), o ? nullptr : &n, o),
                    &n))
            break;
        if (!finish(WriteFile(h, buf.data(), n, o ? nullptr : &w, o), &w)) break;
    }
    CloseHandle(ov.hEvent);
    CloseHandle(h);
    return 0;
}

// --- parent ---
struct Waiter {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<uint32_t> seq{0};
};
Waiter g_wait;

// A chain of requests sent from the parent node's own callback: each reply's callback sends
// the next request, as a node that forwards or answers does. Touched only by the callback
// while a chain runs; the main thread waits for `done`.
struct Chain {
    std::atomic<bool> running{false};
    std::string me, peer;
    size_t size = 0;
    uint32_t seq = 0;
    double t0 = 0, end = 0;
    std::vector<double> lat;
    HANDLE done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
};
Chain g_chain;

// Sends the chain's next request; false when the library refused it.
bool ChainNext() {
    void* m = Build(g_chain.me, g_chain.peer, ++g_chain.seq, g_chain.size, 0);
    g_chain.t0 = NowUs();
    if (m != nullptr && EnqueueMessage(m)) return true;
    if (m != nullptr) FreeMessage(m);
    return false;
}

int KAVIPC_API Collect(void*, void* message, uint32_t) {
    if (message == nullptr) return 0;
    uint32_t seq = le::Load32(static_cast<uint8_t*>(message) + 28);
    FreeMessage(message);
    if (g_chain.running.load()) {
        if (seq != g_chain.seq) return 0;
        double now = NowUs();
        g_chain.lat.push_back(now - g_chain.t0);
        if (now >= g_chain.end || !ChainNext()) {
            g_chain.running = false;
            SetEvent(g_chain.done);
        }
        return 0;
    }
    g_wait.seq = seq;
    SetEvent(g_wait.event);
    return 0;
}

struct Stats {
    double per_second = 0;
    double p50 = 0, p90 = 0, p99 = 0;
    size_t count = 0;
};

// Round trips of one kind, gathered over several slices of time.
struct Series {
    std::vector<double> lat;
    double us = 0;
};

Stats Summarise(const Series& series) {
    Stats s;
    std::vector<double> lat = series.lat;
    s.count = lat.size();
    if (lat.empty() || series.us <= 0) return s;
    std::sort(lat.begin(), lat.end());
    auto at = [&](double q) {
        return lat[std::min(lat.size() - 1, static_cast<size_t>(q * lat.size()))];
    };
    s.p50 = at(0.50);
    s.p90 = at(0.90);
    s.p99 = at(0.99);
    s.per_second = static_cast<double>(lat.size()) * 1e6 / series.us;
    return s;
}

PROCESS_INFORMATION StartChild(const std::string& args) {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string cmd = "\"" + std::string(self) + "\" " + args;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::vector<char> c(cmd.begin(), cmd.end());
    c.push_back('\0');
    CreateProcessA(nullptr, c.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    return pi;
}

// The requester sends, then waits on its own thread for the callback to say the reply came
// (what the console does). False when a reply was lost.
bool LibrarySlice(Series& out, const std::string& me, const std::string& peer, size_t size,
                  double seconds) {
    static uint32_t seq = 0; // never repeats, so no reply of an earlier slice counts
    double start = NowUs(), end = start + seconds * 1e6;
    bool ok = true;
    while (ok && NowUs() < end) {
        void* m = Build(me, peer, ++seq, size, 0);
        double t0 = NowUs();
        if (!EnqueueMessage(m)) {
            FreeMessage(m);
            ok = false;
            break;
        }
        while (ok && g_wait.seq != seq)
            ok = WaitForSingleObject(g_wait.event, 10000) == WAIT_OBJECT_0;
        if (ok) out.lat.push_back(NowUs() - t0);
    }
    out.us += NowUs() - start;
    return ok;
}

// The same round trips, each request sent by the callback that took the previous reply: the
// library's own cost, without the requester's hop from the callback thread to a waiting one.
bool ChainedSlice(Series& out, const std::string& me, const std::string& peer, size_t size,
                  double seconds) {
    g_chain.me = me;
    g_chain.peer = peer;
    g_chain.size = size;
    g_chain.lat.clear();
    g_chain.lat.reserve(static_cast<size_t>(seconds * 20000) + 16);
    double start = NowUs();
    g_chain.end = start + seconds * 1e6;
    g_chain.running = true;
    if (!ChainNext()) {
        g_chain.running = false;
        return false;
    }
    if (WaitForSingleObject(g_chain.done, static_cast<DWORD>(seconds * 1000) + 10000) !=
        WAIT_OBJECT_0) {
        g_chain.running = false; // a lost reply: no figures
        return false;
    }
    out.us += NowUs() - start;
    out.lat.insert(out.lat.end(), g_chain.lat.begin(), g_chain.lat.end());
    return true;
}

// A raw peer: the pipe to it, and whether its handle is overlapped.
struct RawPeer {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    bool overlapped = false;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

// One write or read on the raw pipe, waited for when it is overlapped.
bool RawIo(RawPeer& peer, bool write, char* data, DWORD size, DWORD* done) {
    if (!peer.overlapped) {
        return write ? WriteFile(peer.pipe, data, size, done, nullptr) != FALSE
                     : ReadFile(peer.pipe, data, size, done, nullptr) != FALSE;
    }
    OVERLAPPED ov{};
    ov.hEvent = peer.event;
    BOOL ok = write ? WriteFile(peer.pipe, data, size, nullptr, &ov)
                    : ReadFile(peer.pipe, data, size, nullptr, &ov);
    if (!ok && GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(peer.pipe, &ov, done, TRUE) != FALSE;
}

bool RawSlice(Series& out, RawPeer& peer, size_t size, double seconds) {
    std::vector<char> buf(size + 64, 0x5A), in(size + 64);
    double start = NowUs(), end = start + seconds * 1e6;
    bool ok = true;
    while (ok && NowUs() < end) {
        double t0 = NowUs();
        DWORD w = 0, n = 0;
        // the same bytes the library would carry: header, names, size table, payload
        ok = RawIo(peer, true, buf.data(), static_cast<DWORD>(buf.size()), &w) &&
             RawIo(peer, false, in.data(), static_cast<DWORD>(in.size()), &n);
        if (ok) out.lat.push_back(NowUs() - t0);
    }
    out.us += NowUs() - start;
    return ok;
}

// Opens the raw child's pipe in message mode, waiting for the child to make it.
bool OpenRaw(RawPeer& peer, const std::string& path) {
    for (int i = 0; i < 500 && peer.pipe == INVALID_HANDLE_VALUE; ++i) {
        peer.pipe = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, peer.overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (peer.pipe == INVALID_HANDLE_VALUE) Sleep(20);
    }
    if (peer.pipe == INVALID_HANDLE_VALUE) return false;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(peer.pipe, &mode, nullptr, nullptr);
    return true;
}

// Threads of a process, counted from outside.
size_t ThreadsOf(DWORD pid) {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    size_t n = 0;
    for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
        if (te.th32OwnerProcessID == pid) ++n;
    CloseHandle(snap);
    return n;
}

void Print(const char* what, size_t size, const Stats& s) {
    std::printf(
        "%-30s %8zu B  %9.0f round trips/s  p50 %8.1f us  p90 %8.1f us  p99 %8.1f us  (n=%zu)\n",
        what, size, s.per_second, s.p50, s.p90, s.p99, s.count);
}

int Parent(double seconds, const std::string& only, size_t only_size) {
    InitApplication();
    std::string tag = std::to_string(GetCurrentProcessId());
    std::string me = "BenchParent_" + tag, peer = "BenchEcho_" + tag;
    std::string raw_pipe = "\\\\.\\pipe\\kavipc_bench_raw_" + tag;
    std::string ov_pipe = "\\\\.\\pipe\\kavipc_bench_rawov_" + tag;
    if (CreateSvcNode(me.c_str(), nullptr, Collect) == 0) return 1;
    PROCESS_INFORMATION echo = StartChild("--child-echo " + peer);
    PROCESS_INFORMATION raw = StartChild("--child-raw " + raw_pipe);
    PROCESS_INFORMATION rawov = StartChild("--child-raw-overlapped " + ov_pipe);
    for (int i = 0; i < 500 && !SvcNodeExists(peer.c_str()); ++i)
        Sleep(20);
    RawPeer plain, overlapped;
    overlapped.overlapped = true;
    if (!OpenRaw(plain, raw_pipe) || !OpenRaw(overlapped, ov_pipe) ||
        !SvcNodeExists(peer.c_str())) {
        std::fprintf(stderr, "children did not start\n");
        return 1;
    }

    std::printf("request/reply between two processes, %.1f s of each kind per size, in slices\n",
                seconds);
    std::vector<size_t> sizes = {64, 1024, 65536};
    if (only_size != 0) sizes = {only_size};
    // The three kinds take turns in short slices, so that a machine that gets busier or
    // quieter during the run weighs on all of them alike.
    constexpr int kSlices = 10;
    bool failed = false;
    const double slice = seconds / kSlices;
    for (size_t size : sizes) {
        Series warm;
        LibrarySlice(warm, me, peer, size, 0.1); // connections and caches
        Series lib, chained, rawst, rawov;
        bool ok = true;
        for (int i = 0; ok && i < kSlices; ++i) {
            if (only != "raw") {
                ok = LibrarySlice(lib, me, peer, size, slice) &&
                     ChainedSlice(chained, me, peer, size, slice);
            }
            if (ok && only != "library") {
                ok =
                    RawSlice(rawst, plain, size, slice) && RawSlice(rawov, overlapped, size, slice);
            }
        }
        if (!ok) {
            std::fprintf(stderr, "a round trip of %zu bytes failed\n", size);
            failed = true;
            break;
        }
        Stats l = Summarise(lib), c = Summarise(chained), r = Summarise(rawst),
              ro = Summarise(rawov);
        if (only != "raw") {
            Print("kavipc32", size, l);
            Print("kavipc32 callback-to-callback", size, c);
        }
        if (only != "library") {
            Print("raw pipe", size, r);
            Print("raw pipe, overlapped", size, ro);
        }
        if (l.per_second > 0 && r.per_second > 0) {
            std::printf("         library/raw: %.0f%% (requester waits on its own thread), "
                        "%.0f%% (callback to callback)\n",
                        100.0 * l.per_second / r.per_second, 100.0 * c.per_second / r.per_second);
            std::printf("         library/overlapped raw: %.0f%%, %.0f%%\n",
                        100.0 * l.per_second / ro.per_second, 100.0 * c.per_second / ro.per_second);
        }
    }
    // Main thread plus the library's: per node one dispatcher and one pipe thread.
    std::printf("threads: this process %zu, echo process %zu (each: main, node dispatcher, pipe "
                "reader)\n",
                ThreadsOf(GetCurrentProcessId()), ThreadsOf(echo.dwProcessId));
    const size_t big = 16u * 1024 * 1024;
    const uint32_t big_seq = 0xB1600000; // beyond any sequence number of the slices
    void* m = failed ? nullptr : Build(me, peer, big_seq, big, 0);
    double t0 = NowUs();
    if (m != nullptr && EnqueueMessage(m)) {
        bool got = true;
        while (got && g_wait.seq != big_seq)
            got = WaitForSingleObject(g_wait.event, 30000) == WAIT_OBJECT_0;
        double rt = NowUs() - t0;
        if (got) {
            std::printf("16 MiB message: round trip %.1f ms (about %.1f ms one way, %.0f MiB/s)\n",
                        rt / 1000, rt / 2000, 32.0 / (rt / 1e6));
        } else {
            std::fprintf(stderr, "the 16 MiB message got no reply within 30 s\n");
            failed = true;
        }
    } else if (m != nullptr) {
        FreeMessage(m);
    }

    CloseHandle(plain.pipe);
    CloseHandle(overlapped.pipe);
    RequestNodeQuit(peer.c_str());
    WaitForSingleObject(echo.hProcess, 10000);
    WaitForSingleObject(raw.hProcess, 10000);
    WaitForSingleObject(rawov.hProcess, 10000);
    DeleteSvcNode(me.c_str());
    TermApplication();
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--child-echo") == 0) return ChildEcho(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--child-raw") == 0) return ChildRaw(argv[2], false);
    if (argc == 3 && std::strcmp(argv[1], "--child-raw-overlapped") == 0)
        return ChildRaw(argv[2], true);
    double seconds = 2.0;
    std::string only;     // "library" or "raw": one side alone (to count its calls, say)
    size_t only_size = 0; // one of the three sizes alone
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--only") == 0) only = argv[i + 1];
        if (std::strcmp(argv[i], "--size") == 0) only_size = std::strtoul(argv[i + 1], nullptr, 10);
    }
    if (only_size > (1u << 20) - 64) {
        std::fprintf(stderr, "--size: at most %u bytes\n", (1u << 20) - 64);
        return 2;
    }
    if (seconds <= 0) seconds = 2.0;
    return Parent(seconds, only, only_size);
}
