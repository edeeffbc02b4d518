// Named-pipe transport: the sending side (cached connections, one write per message) and the
// nodes' claims on their names. The listening side is pipe_listener_win.cpp.
#include "outside/kavipc32/pipe_transport_win.h"

#include <cctype>

#include "outside/kavipc32/limits.h"
#include "outside/kavipc32/message_block.h"
#include "outside/kavipc32/node_dispatcher.h"
#include "outside/kavipc32/pipe_listener_win.h"
#include "outside/kavipc32/pipe_naming.h"
#include "outside/kavipc32/pipe_overlapped_win.h"
#include "outside/kavipc32/pipe_peer_identity_win.h"

namespace kavipc {

namespace {

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

pm::win::unique_hfile ConnectToNode(const std::string& node, bool overlapped, DWORD wait_ms) {
    std::string path = PipePathForNode(node);
    DWORD flags =
        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
    pm::win::unique_hfile h = OpenPipe(path, GENERIC_READ | GENERIC_WRITE, flags, wait_ms);
    if (!h) return h;
    // Whoever took the name first could be answering: talk only to a server running as
    // this account, SYSTEM or an administrator, where Windows can tell.
    if (!MayTalkToServer(h.get(), node)) return pm::win::unique_hfile();
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(h.get(), &mode, nullptr, nullptr);
    return h;
}

bool WriteFrame(HANDLE pipe, FrameKind kind, const uint8_t* data, size_t size) {
    return WriteFrameTo(pipe, nullptr, kind, data, size) == PipeIo::kDone;
}

PipeTransport::PipeTransport(TransportSink& sink) : sink_(sink) {}

PipeTransport::~PipeTransport() {
    Shutdown();
}

PipeCapabilities PipeTransport::capabilities() const {
    return {RejectsRemoteClients(), true};
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
PipeIo WriteMessageTo(HANDLE h, OverlappedOp* op, void* message, size_t size, DWORD timeout) {
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
        PipeIo r =
            WriteMessageTo(c->conn.pipe.get(), c->conn.op.get(), message, size, kWriteTimeoutMs);
        if (r == PipeIo::kDone) {
            connections_.Done(key, c, MonotonicMs(), true);
            return true;
        }
        c->conn = PipeConnection();
        if (r == PipeIo::kStopped) {
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
                     kWriteTimeoutMs) != PipeIo::kDone) {
        return QuitAnswer::kNoAnswer;
    }
    std::vector<uint8_t> buf(kMaxChunk);
    FrameAssembler frames;
    DWORD n = 0;
    if (ReadChunk(pipe.get(), op, buf.data(), static_cast<DWORD>(buf.size()), nullptr, &n,
                  kQuitAnswerWaitMs) != PipeIo::kDone) {
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
