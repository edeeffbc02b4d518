// Named-pipe transport: one message-mode pipe per node, "\\.\pipe\kavipc32\<node>". The node's
// process keeps one instance listening and one reader thread per connected peer; senders keep
// one cached connection per addressee. Local callers only: remote clients are rejected and the
// pipe's DACL names SYSTEM, Administrators and the creating account.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outside/kavipc32/connection_cache.h"
#include "outside/kavipc32/limits.h"
#include "outside/kavipc32/pipe_policy.h"
#include "outside/kavipc32/transport.h"
#include "shared/base/win_handles.h"

namespace kavipc {

struct PipeConnection; // the pipe and its overlapped state (pipe_transport_win.cpp)

// What CreateNamedPipe accepted on this system, found on first use (Wine refuses some of it).
struct PipeCapabilities {
    bool reject_remote = true; // PIPE_REJECT_REMOTE_CLIENTS (false only where it does not exist)
    bool dacl = true;          // our own security descriptor: always, or no pipe
};

class PipeTransport : public Transport {
public:
    explicit PipeTransport(TransportSink& sink);
    ~PipeTransport() override;

    bool Listen(const std::string& node) override;
    void Unlisten(const std::string& node) override;
    bool Exists(const std::string& node) override;
    bool Transmit(const std::string& node, void* message, size_t size) override;
    QuitAnswer TransmitQuit(const std::string& node) override;
    void Shutdown() override;
    void Maintain() override;

    PipeCapabilities capabilities() const;
    size_t CachedConnections() const;

    struct Listener;

private:
    using Cache = ConnectionCache<PipeConnection>;

    TransportSink& sink_;
    std::mutex mu_;
    std::map<std::string, std::shared_ptr<Listener>> listeners_;
    Cache connections_{kMaxCachedConnections, kIdleConnectionMs, kPenaltyMs};
    std::atomic<uint64_t> last_sweep_{0};
};

// Opens a client end of the node's pipe in message read mode, waiting up to `wait_ms` while
// every instance is busy; invalid with GetLastError set when the node is absent
// (ERROR_FILE_NOT_FOUND), stayed busy (ERROR_PIPE_BUSY), is served by an account not trusted
// (ERROR_ACCESS_DENIED) or cannot be reached.
pm::win::unique_hfile ConnectToNode(const std::string& node, bool overlapped, DWORD wait_ms);
// Writes a whole frame as chunks; false when the pipe broke.
bool WriteFrame(HANDLE pipe, FrameKind kind, const uint8_t* data, size_t size);
// The process serving the node's pipe, where Windows can tell; 0 else (or no such pipe).
DWORD NodeServerProcessId(const std::string& node);

} // namespace kavipc
