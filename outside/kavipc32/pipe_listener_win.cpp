// A node's listening side: its pipe's instances and its I/O thread.
#include "outside/kavipc32/pipe_listener_win.h"

#include <cstring>

#include "outside/kavipc32/message_block.h"
#include "outside/kavipc32/node_dispatcher.h"
#include "outside/kavipc32/pipe_policy.h"
#include "outside/kavipc32/system_info_win.h"
#include "shared/ipc/message_layout.h"

namespace kavipc {
namespace {

// Room for a few whole chunks, so that the second chunk of a large message does not wait for
// the reader to take the first.
constexpr DWORD kPipeBufferSize = 256 * 1024;

// False only on a system that truly lacks PIPE_REJECT_REMOTE_CLIENTS (found on first use).
std::atomic<bool> g_reject_remote{true};

uint32_t OsMajor() {
    OsVersion v;
    return ReadOsVersion(&v) ? v.major : 0;
}

} // namespace

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

bool RejectsRemoteClients() {
    return g_reject_remote.load();
}

void PipeTransport::Listener::Stop() {
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

bool PipeTransport::Listener::Arm(Peer& p) {
    OVERLAPPED* ov = p.op.Next();
    BOOL ok = ReadFile(p.pipe.get(), p.buf.data(), static_cast<DWORD>(p.buf.size()), nullptr, ov);
    // Done at once or pending: either way the event tells.
    return ok || GetLastError() == ERROR_IO_PENDING || GetLastError() == ERROR_MORE_DATA;
}

void PipeTransport::Listener::Drop(std::unique_ptr<Peer>& p, DWORD wait_ms, bool keep_unread) {
    if (!EndPending(p->pipe.get(), p->op, wait_ms)) {
        (void)p.release(); // the system may still write into it
        return;
    }
    if (!keep_unread) DisconnectNamedPipe(p->pipe.get());
}

void PipeTransport::Listener::MakeRoom(std::vector<std::unique_ptr<Peer>>& peers, uint64_t now) {
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
                                     kWriteTimeoutMs) == PipeIo::kDone;
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

} // namespace kavipc
