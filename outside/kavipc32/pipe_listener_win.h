// A node's listening side: the instances of its pipe, and the one thread that serves all of
// its connections with overlapped reads (a connection costs its read buffer and its frame in
// progress, never a thread, whatever the peer announces).
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "outside/kavipc32/frame.h"
#include "outside/kavipc32/limits.h"
#include "outside/kavipc32/pipe_overlapped_win.h"
#include "outside/kavipc32/pipe_security_win.h"
#include "outside/kavipc32/pipe_transport_win.h"
#include "shared/base/win_handles.h"

namespace kavipc {

// False only on a system that truly lacks PIPE_REJECT_REMOTE_CLIENTS (found on first use).
bool RejectsRemoteClients();

// A new instance of the pipe at `path` (`first`: the node's first, which fails when another
// process holds the pipe); invalid with GetLastError set. Never weaker than intended: without
// our security descriptor there is no pipe.
pm::win::unique_hfile CreateInstance(const std::string& path, bool first, PipeSecurity& security);

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

    // Serves the node until Stop(); `first` is the pipe's first instance, taken over.
    void IoLoop(HANDLE first);
    // Ends the thread and waits for it, unless called from one of its own callbacks.
    void Stop();

private:
    // Starts the next read; false when the peer is gone.
    static bool Arm(Peer& p);
    // Takes what a finished read brought; false when the peer is to be dropped.
    bool Take(Peer& p, uint64_t now);
    // Ends the peer's read in progress and disconnects it. The wait is bounded: a read that
    // does not end is left to its (then never freed) buffer rather than waited for forever.
    // A peer dropped for misbehaving is disconnected, which discards what it has not read yet;
    // at the end of the node (`keep_unread`) only the handle is closed, so that what was
    // written last, a quit answer say, can still be read.
    static void Drop(std::unique_ptr<Peer>& p, DWORD wait_ms = 1000, bool keep_unread = false);
    // With every slot taken, silence costs a slot that another client may be waiting for: the
    // peer silent longest, if not inside a frame, makes room once it has said nothing for
    // kCrowdedSilentMs. Its sender reconnects when it next has something to say.
    static void MakeRoom(std::vector<std::unique_ptr<Peer>>& peers, uint64_t now);
};

} // namespace kavipc
