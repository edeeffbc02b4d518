// Named-pipe transport. Every blocking pipe call of a receiver is overlapped and waits on the
// listener's stop event as well, so that deleting a node never hangs on a silent peer.
#include "outside/kavipc32/pipe_transport_win.h"

#include <cctype>
#include <cstring>

#include <sddl.h>

#include <cstdio>
#include <new>

#include "outside/kavipc32/limits.h"
#include "outside/kavipc32/message_block.h"
#include "shared/ipc/message_layout.h"
#include "outside/kavipc32/node_dispatcher.h"
#include "outside/kavipc32/pipe_naming.h"
#include "outside/kavipc32/pipe_policy.h"
#include "outside/kavipc32/pipe_security_win.h"
#include "outside/kavipc32/system_info_win.h"

namespace kavipc {

namespace {

// Room for a few whole chunks, so that the second chunk of a large message does not wait for
// the reader to take the first.
constexpr DWORD kPipeBufferSize = 256 * 1024;
constexpr DWORD kQuitAnswerWaitMs = 5000;

std::string Key(const std::string& name) {
    std::string k = name;
    for (char& c : k)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return k;
}

// "Global\kavipc32.node.<name in lower case>": kernel object names are case-sensitive, node
// names are not.
std::string ClaimName(const std::string& node) {
    return "Global\\kavipc32.node." + Key(node);
}

// False only on a system that truly lacks PIPE_REJECT_REMOTE_CLIENTS (found on first use).
std::atomic<bool> g_reject_remote{true};

// Said once, where an administrator looks: the debugger output and the standard error.
void TraceLoudly(const char* text) {
    OutputDebugStringA(text);
    std::fputs(text, stderr);
}

enum class Io { kDone, kMoreData, kFailed, kStopped };

// A time limit as a point on the monotonic clock (0: none, for INFINITE), and what is left of it.
uint64_t DeadlineAfter(DWORD timeout) {
    return timeout == INFINITE ? 0 : MonotonicMs() + timeout;
}
DWORD TimeLeft(uint64_t deadline) {
    if (deadline == 0) return INFINITE;
    const uint64_t now = MonotonicMs();
    return now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
}

// Finishes an overlapped operation that ReadFile/WriteFile/ConnectNamedPipe started (ok and
// err are what the call answered); waits for it or for `stop` (may be null: no stop).
Io Finish(HANDLE h, OVERLAPPED* ov, BOOL ok, DWORD err, HANDLE stop, DWORD* bytes,
          DWORD timeout = INFINITE) {
    *bytes = 0;
    if (!ok && err != ERROR_IO_PENDING && err != ERROR_MORE_DATA) return Io::kFailed;
    if (!ok && err == ERROR_IO_PENDING) {
        HANDLE events[2] = {ov->hEvent, stop};
        const uint64_t deadline = DeadlineAfter(timeout);
        for (;;) {
            DWORD w =
                WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, TimeLeft(deadline));
            if (w != WAIT_OBJECT_0) {
                CancelIo(h);
                GetOverlappedResult(h, ov, bytes, TRUE);
                return Io::kStopped;
            }
            // The event is a hint; the OVERLAPPED says whether this operation has ended.
            if (HasOverlappedIoCompleted(ov)) break;
            ResetEvent(ov->hEvent);
            if (HasOverlappedIoCompleted(ov)) break; // ended between the check and the reset
        }
    }
    if (GetOverlappedResult(h, ov, bytes, FALSE)) return Io::kDone;
    return GetLastError() == ERROR_MORE_DATA ? Io::kMoreData : Io::kFailed;
}

struct OverlappedOp {
    OVERLAPPED ov{};
    pm::win::unique_handle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    // ReadFile and WriteFile reset the event when they start, so a read or write needs no
    // ResetEvent of its own (it would cost a call to the system per operation). A signal that
    // is left over all the same only wakes a waiter, which then finds the OVERLAPPED still
    // pending (HasOverlappedIoCompleted) and waits again.
    OVERLAPPED* Next() {
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = event.get();
        return &ov;
    }
    // ConnectNamedPipe: reset explicitly; the accept path may also set the event by hand.
    OVERLAPPED* NextReset() {
        OVERLAPPED* o = Next();
        ResetEvent(o->hEvent);
        return o;
    }
};

// Ends an overlapped operation that may still be in progress: cancels it and waits up to
// `wait_ms`, then disconnects the pipe and waits as long again. False when it still has not
// ended (its OVERLAPPED and buffer must then stay allocated).
bool EndPending(HANDLE h, OverlappedOp& op, DWORD wait_ms) {
    if (HasOverlappedIoCompleted(&op.ov)) return true;
    CancelIo(h);
    if (WaitForSingleObject(op.event.get(), wait_ms) == WAIT_OBJECT_0) return true;
    DisconnectNamedPipe(h);
    return WaitForSingleObject(op.event.get(), wait_ms) == WAIT_OBJECT_0;
}

Io ReadChunk(HANDLE h, OverlappedOp& op, uint8_t* buf, DWORD size, HANDLE stop, DWORD* bytes,
             DWORD timeout = INFINITE) {
    OVERLAPPED* ov = op.Next();
    BOOL ok = ReadFile(h, buf, size, nullptr, ov);
    return Finish(h, ov, ok, ok ? 0 : GetLastError(), stop, bytes, timeout);
}

// A write that does not finish within `timeout` is cancelled: a peer that never reads must not
// hold the writer. Answers kStopped then.
Io WriteChunk(HANDLE h, OverlappedOp* op, const uint8_t* data, DWORD size, DWORD timeout) {
    DWORD written = 0;
    if (op == nullptr) {
        return WriteFile(h, data, size, &written, nullptr) && written == size ? Io::kDone
                                                                              : Io::kFailed;
    }
    OVERLAPPED* ov = op->Next();
    BOOL ok = WriteFile(h, data, size, nullptr, ov);
    Io r = Finish(h, ov, ok, ok ? 0 : GetLastError(), nullptr, &written, timeout);
    if (r == Io::kDone && written != size) return Io::kFailed;
    return r;
}

// The whole frame within `timeout` (each chunk gets the time still left).
Io WriteFrameTo(HANDLE h, OverlappedOp* op, FrameKind kind, const uint8_t* data, size_t size,
                DWORD timeout = INFINITE) {
    const uint64_t deadline = DeadlineAfter(timeout);
    Io result = Io::kDone;
    ForEachChunk(kind, data, size, [&](const uint8_t* chunk, size_t n) {
        result = WriteChunk(h, op, chunk, static_cast<DWORD>(n), TimeLeft(deadline));
        return result == Io::kDone;
    });
    return result;
}

uint32_t OsMajor() {
    OsVersion v;
    return ReadOsVersion(&v) ? v.major : 0;
}

pm::win::unique_hfile CreateInstance(const std::string& path, bool first, PipeSecurity& security) {
    // Never weaker than intended: without our descriptor there is no pipe.
    if (security.attributes() == nullptr) {
        SetLastError(ERROR_INVALID_SECURITY_DESCR);
        return pm::win::unique_hfile();
    }
    for (;;) {
        DWORD open_mode =
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        bool reject = g_reject_remote.load();
        DWORD pipe_mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                          (reject ? PIPE_REJECT_REMOTE_CLIENTS : 0);
        pm::win::unique_hfile h(CreateNamedPipeA(path.c_str(), open_mode, pipe_mode,
                                                 PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
                                                 kPipeBufferSize, 0, security.attributes()));
        if (h) return h;
        DWORD err = GetLastError();
        if (reject && MayDropRemoteClientFlag(err, OsMajor())) {
            if (g_reject_remote.exchange(false)) {
                TraceLoudly("KAVIPC32: this system has no PIPE_REJECT_REMOTE_CLIENTS; node pipes "
                            "rely on their security descriptor alone to keep remote callers "
                            "out\n");
            }
            continue;
        }
        SetLastError(err);
        return h;
    }
}

using GetServerPidFn = BOOL(WINAPI*)(HANDLE, PULONG);

// The process serving the pipe at the other end of `client`, where Windows can tell (0 else).
DWORD ServerProcessId(HANDLE client) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    auto fn = kernel ? reinterpret_cast<GetServerPidFn>(reinterpret_cast<void*>(
                           GetProcAddress(kernel, "GetNamedPipeServerProcessId")))
                     : nullptr;
    ULONG pid = 0;
    if (fn == nullptr || !fn(client, &pid)) return 0;
    return pid;
}

std::string SidText(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) return {};
    unique_local owner(text);
    return std::string(text);
}

// Opens a client end of the pipe at `path`, waiting up to `wait_ms` while every instance is
// busy; invalid with GetLastError set else (ERROR_PIPE_BUSY when it stayed busy).
pm::win::unique_hfile OpenPipe(const std::string& path, DWORD access, DWORD flags, DWORD wait_ms) {
    uint64_t deadline = MonotonicMs() + wait_ms;
    for (;;) {
        pm::win::unique_hfile h(
            CreateFileA(path.c_str(), access, 0, nullptr, OPEN_EXISTING, flags, nullptr));
        if (h || GetLastError() != ERROR_PIPE_BUSY) return h;
        // Every instance is taken (for a moment, or the node is at its connection cap).
        uint64_t now = MonotonicMs();
        if (now >= deadline) break;
        DWORD slice = static_cast<DWORD>(deadline - now < 500 ? deadline - now : 500);
        if (!WaitNamedPipeA(path.c_str(), slice) && GetLastError() == ERROR_FILE_NOT_FOUND) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return pm::win::unique_hfile();
        }
    }
    SetLastError(ERROR_PIPE_BUSY);
    return pm::win::unique_hfile();
}

} // namespace

ServerAccount ProcessAccount(DWORD pid) {
    ServerAccount a;
    if (pid == 0) return a;
    // From here on the process is known: any failure to read its account fails closed.
    a.known = ServerAccount::Known::kTokenUnreadable;
    pm::win::unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid));
    if (!process) process.reset(OpenProcess(0x1000 /* QUERY_LIMITED_INFORMATION */, FALSE, pid));
    pm::win::unique_handle token;
    if (!process || !OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) return a;
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return a;
    std::vector<unsigned char> user(size);
    if (!GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) return a;
    a.user_sid = SidText(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    if (a.user_sid.empty()) return a;
    a.known = ServerAccount::Known::kAccount;
    size = 0;
    GetTokenInformation(token.get(), TokenGroups, nullptr, 0, &size);
    std::vector<unsigned char> groups(size ? size : 1);
    if (size != 0 && GetTokenInformation(token.get(), TokenGroups, groups.data(), size, &size)) {
        auto* g = reinterpret_cast<TOKEN_GROUPS*>(groups.data());
        for (DWORD i = 0; i < g->GroupCount; ++i) {
            if ((g->Groups[i].Attributes & SE_GROUP_ENABLED) != 0 &&
                SidText(g->Groups[i].Sid) == "S-1-5-32-544") {
                a.administrators = true;
            }
        }
    }
    return a;
}

// A cached connection: the pipe and the overlapped state its writes reuse.
struct PipeConnection {
    pm::win::unique_hfile pipe;
    std::unique_ptr<OverlappedOp> op;
    explicit operator bool() const { return static_cast<bool>(pipe) && op != nullptr; }
};

DWORD NodeServerProcessId(const std::string& node) {
    // Busy for a moment right after another client came: wait a little, like a sender.
    pm::win::unique_hfile h =
        OpenPipe(PipePathForNode(node), GENERIC_READ,
                 SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, kWriteTimeoutMs);
    return h ? ServerProcessId(h.get()) : 0;
}

// One thread serves all of a node's connections with overlapped reads: a connection costs its
// read buffer and its frame in progress, never a thread, whatever the peer announces.
struct PipeTransport::Listener {
    // One connected peer.
    struct Peer {
        pm::win::unique_hfile pipe;
        OverlappedOp op;
        std::vector<uint8_t> buf = std::vector<uint8_t>(kMaxChunk);
        FrameAssembler frames;
        bool oversized = false;
        uint64_t last_heard = 0; // when its last bytes came (or it connected)
        bool Idle() const { return !frames.in_progress() && !oversized; }
        // A peer that sends nothing more by then is dropped: soon inside a frame, late between.
        uint64_t Deadline() const {
            return last_heard + (Idle() ? kSilentPeerMs : kStallTimeoutMs);
        }
    };

    std::string node;
    std::string path;
    TransportSink* sink = nullptr;
    PipeSecurity security;
    pm::win::unique_handle claim; // the machine-wide claim on the name
    pm::win::unique_handle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::thread io;
    std::atomic<bool> stopping{false};

    void IoLoop(HANDLE first);
    void Stop() {
        stopping = true;
        SetEvent(stop.get());
        if (!io.joinable()) return;
        // From a callback that this thread delivered: it ends on its own once that returns
        // (it holds the listener alive meanwhile).
        if (io.get_id() == std::this_thread::get_id()) {
            io.detach();
        } else {
            io.join();
        }
    }

private:
    // Starts the next read; false when the peer is gone.
    static bool Arm(Peer& p) {
        OVERLAPPED* ov = p.op.Next();
        BOOL ok =
            ReadFile(p.pipe.get(), p.buf.data(), static_cast<DWORD>(p.buf.size()), nullptr, ov);
        // Done at once or pending: either way the event tells.
        return ok || GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA;
    }
    // Takes what a finished read brought; false when the peer is to be dropped.
    bool Take(Peer& p, uint64_t now);
    // Ends the peer's read in progress and disconnects it. The wait is bounded: a read that
    // does not end is left to its (then never freed) buffer rather than waited for forever.
    // A peer dropped for misbehaving is disconnected, which discards what it has not read yet;
    // at the end of the node (`keep_unread`) only the handle is closed, so that what was
    // written last, a quit answer say, can still be read.
    static void Drop(std::unique_ptr<Peer>& p, DWORD wait_ms = 1000, bool keep_unread = false) {
        if (!EndPending(p->pipe.get(), p->op, wait_ms)) {
            (void)p.release(); // the system may still write into it
            return;
        }
        if (!keep_unread) DisconnectNamedPipe(p->pipe.get());
    }
    // With every slot taken, silence costs a slot that another client may be waiting for: the
    // peer silent longest, if not inside a frame, makes room once it has said nothing for
    // kCrowdedSilentMs. Its sender reconnects when it next has something to say.
    static void MakeRoom(std::vector<std::unique_ptr<Peer>>& peers, uint64_t now) {
        if (peers.size() < kMaxConnectionsPerNode) return;
        auto quietest = peers.end();
        for (auto it = peers.begin(); it != peers.end(); ++it) {
            if ((*it)->Idle() &&
                (quietest == peers.end() || (*it)->last_heard < (*quietest)->last_heard)) {
                quietest = it;
            }
        }
        if (quietest == peers.end() || now - (*quietest)->last_heard < kCrowdedSilentMs) return;
        Drop(*quietest);
        peers.erase(quietest);
    }
};

bool PipeTransport::Listener::Take(Peer& p, uint64_t now) {
    DWORD n = 0;
    BOOL ok = GetOverlappedResult(p.pipe.get(), &p.op.ov, &n, FALSE);
    p.last_heard = now;
    if (!ok && GetLastError() == ERROR_MORE_DATA) {
        p.oversized = true; // a pipe message longer than any chunk: not ours
        return Arm(p);
    }
    if (!ok) return false;
    if (p.oversized) {
        p.oversized = false;
        p.frames.Feed(nullptr, 0); // its tail; also ends any frame in progress
    } else if (p.frames.Feed(p.buf.data(), n) == FrameAssembler::Result::kComplete) {
        FrameKind kind = p.frames.kind();
        size_t size = p.frames.payload_size();
        void* payload = p.frames.TakePayload();
        if (kind == FrameKind::kMessage) {
            sink->OnIncomingMessage(payload);
        } else if (kind == FrameKind::kQuitRequest) {
            const char* text = static_cast<const char*>(payload);
            std::string name(text, strnlen(text, size));
            FreeBlock(payload);
            QuitAnswer answer = IsValidNodeName(name.c_str()) ? sink->OnIncomingQuit(name)
                                                              : QuitAnswer::kNoSuchNode;
            auto byte = static_cast<uint8_t>(answer);
            OverlappedOp wop;
            // One byte always fits the pipe's buffer; the limit guards against the rest. The
            // answer is in the pipe before the main thread is asked to quit, and stays readable
            // when this process ends right after. The quit goes ahead even if the asker left.
            bool sent = WriteFrameTo(p.pipe.get(), &wop, FrameKind::kQuitAnswer, &byte, 1,
                                     kWriteTimeoutMs) == Io::kDone;
            if (answer == QuitAnswer::kPosted) sink->CommitQuit();
            if (!sent) return false;
        } else {
            FreeBlock(payload);
        }
    }
    return Arm(p);
}

void PipeTransport::Listener::IoLoop(HANDLE first) {
    std::vector<std::unique_ptr<Peer>> peers;
    pm::win::unique_hfile listening(first);
    auto accept = std::make_unique<OverlappedOp>();
    bool accept_pending = false;
    bool accepted_at_once = false; // ConnectNamedPipe found the client there already
    size_t rotate = 0;
    // Puts an instance in the listening state while below the cap (`taken`: a connection about
    // to join the peers); at the cap further clients find the pipe busy. The pipe must never be
    // without an instance while the node lives: a client arriving then would find no such node.
    // So an instance whose client left before it was seen is disconnected and offered again,
    // never closed, and the next instance exists before a new connection can be dropped.
    auto offer = [&](size_t taken) {
        if (accept_pending || peers.size() + taken >= kMaxConnectionsPerNode) return;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!listening) listening = CreateInstance(path, false, security);
            if (!listening) return; // out of resources: tried again shortly
            OVERLAPPED* ov = accept->NextReset();
            BOOL ok = ConnectNamedPipe(listening.get(), ov);
            DWORD err = ok ? 0 : GetLastError();
            if (ok || err == ERROR_PIPE_CONNECTED) {
                SetEvent(accept->event.get()); // connected already: taken below
                accept_pending = true;
                accepted_at_once = true;
                return;
            }
            if (err == ERROR_IO_PENDING) {
                accept_pending = true;
                return;
            }
            if (err == ERROR_NO_DATA) {
                DisconnectNamedPipe(listening.get()); // the peer went away before we saw it
            } else {
                listening = CreateInstance(path, false, security); // made before the old goes
            }
        }
    };
    for (;;) {
        uint64_t now = MonotonicMs();
        offer(0);
        // Wait for the stop, a connection, or any read; no longer than the nearest deadline.
        std::vector<HANDLE> events;
        events.reserve(peers.size() + 2);
        events.push_back(stop.get());
        if (accept_pending) events.push_back(accept->event.get());
        const size_t first_peer = events.size();
        std::vector<Peer*> waited;
        waited.reserve(peers.size());
        uint64_t wake = now + 1000;
        for (size_t i = 0; i < peers.size() && events.size() < MAXIMUM_WAIT_OBJECTS; ++i) {
            Peer& p = *peers[(rotate + i) % peers.size()];
            events.push_back(p.op.event.get());
            waited.push_back(&p);
            if (p.Deadline() < wake) wake = p.Deadline();
            if (peers.size() >= kMaxConnectionsPerNode && p.Idle() &&
                p.last_heard + kCrowdedSilentMs < wake) {
                wake = p.last_heard + kCrowdedSilentMs;
            }
        }
        DWORD timeout = wake > now ? static_cast<DWORD>(wake - now) : 0;
        if (!accept_pending && peers.size() < kMaxConnectionsPerNode)
            timeout = timeout < 50 ? timeout : 50; // out of resources: try again shortly
        DWORD w = WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE,
                                         timeout);
        if (w == WAIT_OBJECT_0 || w == WAIT_FAILED) break;
        now = MonotonicMs();
        if (w >= WAIT_OBJECT_0 + first_peer && w < WAIT_OBJECT_0 + events.size()) {
            // A left-over signal with the read still pending would wake this loop at once,
            // again and again: clear it (the read's completion sets it anew).
            Peer* woke = waited[w - WAIT_OBJECT_0 - first_peer];
            if (!HasOverlappedIoCompleted(&woke->op.ov)) ResetEvent(woke->op.event.get());
        }
        if (accept_pending && (accepted_at_once || w == WAIT_OBJECT_0 + 1)) {
            accept_pending = false;
            DWORD n = 0;
            bool connected =
                accepted_at_once || GetOverlappedResult(listening.get(), &accept->ov, &n, FALSE);
            accepted_at_once = false;
            if (connected) {
                pm::win::unique_hfile taken = std::move(listening);
                offer(1);
                try {
                    auto p = std::make_unique<Peer>();
                    p->pipe = std::move(taken);
                    p->last_heard = now;
                    if (Arm(*p)) {
                        peers.push_back(std::move(p));
                    } else {
                        DisconnectNamedPipe(p->pipe.get()); // it came and went: no frame
                    }
                } catch (...) {
                    // No memory for this peer: it is refused, the node goes on.
                    if (taken) DisconnectNamedPipe(taken.get());
                }
            } else {
                DisconnectNamedPipe(listening.get()); // kept, and offered again at once
            }
        }
        // Every finished read, fairly: each round starts at another peer.
        rotate = peers.empty() ? 0 : (rotate + 1) % peers.size();
        for (auto it = peers.begin(); it != peers.end();) {
            // Each message may mean a callback: a stop request is not kept waiting behind all.
            if (stopping.load()) break;
            Peer& p = **it;
            bool keep = true;
            try {
                if (HasOverlappedIoCompleted(&p.op.ov)) {
                    // Reads that finish at once (the rest of a frame already there) are taken
                    // right away, a few at a time so that no peer keeps the others waiting.
                    keep = Take(p, now);
                    for (int more = 0; keep && more < 8 && HasOverlappedIoCompleted(&p.op.ov);
                         ++more)
                        keep = Take(p, now);
                } else if (now >= p.Deadline()) {
                    keep = false; // stalled in a frame, or silent for too long
                }
            } catch (...) {
                keep = false; // out of memory for this peer: its connection goes
            }
            if (keep) {
                ++it;
            } else {
                Drop(*it);
                it = peers.erase(it);
            }
        }
        if (!stopping.load()) MakeRoom(peers, now);
    }
    for (auto& p : peers)
        CancelIo(p->pipe.get()); // all at once, then each waited for briefly
    for (auto& p : peers)
        Drop(p, 200, true);
    if (accept_pending && !accepted_at_once && !EndPending(listening.get(), *accept, 1000)) {
        (void)accept.release(); // the system may still write into it
        (void)listening.release();
    }
}

pm::win::unique_hfile ConnectToNode(const std::string& node, bool overlapped, DWORD wait_ms) {
    std::string path = PipePathForNode(node);
    DWORD flags =
        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
    pm::win::unique_hfile h = OpenPipe(path, GENERIC_READ | GENERIC_WRITE, flags, wait_ms);
    if (!h) return h;
    // Whoever took the name first could be answering: talk only to a server running as
    // this account, SYSTEM or an administrator, where Windows can tell.
    DWORD pid = ServerProcessId(h.get());
    ServerAccount server = ProcessAccount(pid);
    ServerVerdict verdict = JudgeServerAccount(server, CurrentUserSid());
    if (verdict != ServerVerdict::kAccept) {
        char line[512];
        if (verdict == ServerVerdict::kRefuseUnreadable) {
            std::snprintf(line, sizeof line,
                          "KAVIPC32: refused to talk to node \"%s\": the account of "
                          "process %lu, which serves its pipe, cannot be read\n",
                          node.c_str(), static_cast<unsigned long>(pid));
        } else {
            std::snprintf(line, sizeof line,
                          "KAVIPC32: refused to talk to node \"%s\": its pipe is served "
                          "by process %lu running as %s, not as this account, SYSTEM or "
                          "an administrator (has another program taken the name?)\n",
                          node.c_str(), static_cast<unsigned long>(pid), server.user_sid.c_str());
        }
        TraceLoudly(line);
        SetLastError(ERROR_ACCESS_DENIED);
        return pm::win::unique_hfile();
    }
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(h.get(), &mode, nullptr, nullptr);
    return h;
}

bool WriteFrame(HANDLE pipe, FrameKind kind, const uint8_t* data, size_t size) {
    return WriteFrameTo(pipe, nullptr, kind, data, size) == Io::kDone;
}

PipeTransport::PipeTransport(TransportSink& sink) : sink_(sink) {}

PipeTransport::~PipeTransport() {
    Shutdown();
}

PipeCapabilities PipeTransport::capabilities() const {
    return {g_reject_remote.load(), true};
}

bool PipeTransport::Listen(const std::string& node) {
    auto l = std::make_shared<Listener>();
    l->node = node;
    l->path = PipePathForNode(node);
    l->sink = &sink_;
    if (!l->stop) return false;
    // A named mutex claims the name on the machine: FILE_FLAG_FIRST_PIPE_INSTANCE alone is not
    // enforced everywhere (Wine lets a second process add instances to a foreign pipe).
    // Never with a weaker descriptor than the pipe's: without ours the name is not claimed.
    if (l->security.attributes() == nullptr) return false;
    l->claim.reset(CreateMutexA(l->security.attributes(), FALSE, ClaimName(node).c_str()));
    if (!l->claim || GetLastError() == ERROR_ALREADY_EXISTS) return false;
    // The first instance decides as well: if another process holds the pipe, this fails.
    pm::win::unique_hfile first = CreateInstance(l->path, true, l->security);
    if (!first) return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (listeners_.count(Key(node)) != 0) return false;
    HANDLE h = first.get();
    try {
        listeners_.emplace(Key(node), l);
        l->io = std::thread([l, h] { l->IoLoop(h); });
    } catch (...) {
        listeners_.erase(Key(node)); // no thread: the node is refused
        return false;
    }
    (void)first.release();
    return true;
}

void PipeTransport::Unlisten(const std::string& node) {
    std::shared_ptr<Listener> l;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = listeners_.find(Key(node));
        if (it == listeners_.end()) return;
        l = std::move(it->second);
        listeners_.erase(it);
    }
    l->Stop();
}

bool PipeTransport::Exists(const std::string& node) {
    std::string path = PipePathForNode(node);
    if (WaitNamedPipeA(path.c_str(), 1)) return true;
    DWORD err = GetLastError();
    // A timeout or a busy pipe still means that someone holds the name.
    return err != ERROR_FILE_NOT_FOUND && err != ERROR_BAD_PATHNAME && err != ERROR_INVALID_NAME &&
           err != ERROR_PATH_NOT_FOUND;
}

namespace {

// A message that fits one chunk goes out with its chunk header in the block's headroom: one
// write and no copy of the message (a copy, and the heap traffic for it, cost more than the
// write on a busy heap).
Io WriteMessageTo(HANDLE h, OverlappedOp* op, void* message, size_t size, DWORD timeout) {
    uint8_t* room = BlockHeadroom(message);
    if (room == nullptr || size > kMaxChunkPayload || size > BlockSize(message)) {
        return WriteFrameTo(h, op, FrameKind::kMessage, static_cast<const uint8_t*>(message), size,
                            timeout);
    }
    static_assert(kBlockHeadroom == kChunkHeaderSize, "the chunk header fills the headroom");
    WriteChunkHeader(room, {FrameKind::kMessage, static_cast<uint32_t>(size), 0});
    return WriteChunk(h, op, room, static_cast<DWORD>(kChunkHeaderSize + size), timeout);
}

} // namespace

bool PipeTransport::Transmit(const std::string& node, void* message, size_t size) {
    std::string key = Key(node);
    std::shared_ptr<Cache::Entry> c = connections_.Acquire(key, MonotonicMs());
    if (!c) return false; // dropped for not reading a moment ago
    std::lock_guard<std::mutex> lock(c->mu);
    // A cached connection may have broken since (the node's process restarted): one retry on a
    // fresh connection.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!c->conn) {
            // From a node's callback (a reply) the wait is short: the node serves no one else
            // meanwhile. A sender of its own thread may wait its turn at a busy node.
            bool in_callback = InsideCallback();
            c->conn.pipe =
                ConnectToNode(node, true, in_callback ? kWriteTimeoutMs : kConnectWaitMs);
            if (c->conn.pipe) c->conn.op = std::make_unique<OverlappedOp>();
            if (!c->conn) {
                bool busy = GetLastError() == ERROR_PIPE_BUSY;
                connections_.Done(key, c, MonotonicMs(), false, busy && in_callback);
                return false;
            }
        }
        Io r = WriteMessageTo(c->conn.pipe.get(), c->conn.op.get(), message, size, kWriteTimeoutMs);
        if (r == Io::kDone) {
            connections_.Done(key, c, MonotonicMs(), true);
            return true;
        }
        c->conn = PipeConnection();
        if (r == Io::kStopped) {
            // The peer does not read: drop it and leave it alone for a while.
            connections_.Done(key, c, MonotonicMs(), false, true);
            return false;
        }
    }
    connections_.Done(key, c, MonotonicMs(), false);
    return false;
}

void PipeTransport::Maintain() {
    uint64_t now = MonotonicMs();
    uint64_t last = last_sweep_.load();
    if (now - last < 1000 || !last_sweep_.compare_exchange_strong(last, now)) return;
    // A connection whose server end has gone fails PeekNamedPipe.
    connections_.Sweep(now, [](PipeConnection& c) {
        return PeekNamedPipe(c.pipe.get(), nullptr, 0, nullptr, nullptr, nullptr) != FALSE;
    });
}

size_t PipeTransport::CachedConnections() const {
    return connections_.size();
}

QuitAnswer PipeTransport::TransmitQuit(const std::string& node) {
    pm::win::unique_hfile pipe = ConnectToNode(node, true, kConnectWaitMs);
    if (!pipe) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? QuitAnswer::kNoSuchNode
                                                      : QuitAnswer::kNoAnswer;
    }
    OverlappedOp op;
    std::string name = node;
    if (WriteFrameTo(pipe.get(), &op, FrameKind::kQuitRequest,
                     reinterpret_cast<const uint8_t*>(name.c_str()), name.size() + 1,
                     kWriteTimeoutMs) != Io::kDone) {
        return QuitAnswer::kNoAnswer;
    }
    std::vector<uint8_t> buf(kMaxChunk);
    FrameAssembler frames;
    DWORD n = 0;
    if (ReadChunk(pipe.get(), op, buf.data(), static_cast<DWORD>(buf.size()), nullptr, &n,
                  kQuitAnswerWaitMs) != Io::kDone) {
        return QuitAnswer::kNoAnswer;
    }
    if (frames.Feed(buf.data(), n) != FrameAssembler::Result::kComplete ||
        frames.kind() != FrameKind::kQuitAnswer) {
        return QuitAnswer::kNoAnswer;
    }
    void* payload = frames.TakePayload();
    auto answer = static_cast<QuitAnswer>(*static_cast<uint8_t*>(payload));
    FreeBlock(payload);
    return answer <= QuitAnswer::kNoAnswer ? answer : QuitAnswer::kNoAnswer;
}

void PipeTransport::Shutdown() {
    std::map<std::string, std::shared_ptr<Listener>> listeners;
    {
        std::lock_guard<std::mutex> lock(mu_);
        listeners.swap(listeners_);
    }
    connections_.Clear();
    for (auto& kv : listeners)
        kv.second->Stop();
}

} // namespace kavipc
