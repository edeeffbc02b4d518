// Named-pipe transport. Every blocking pipe call of a receiver is overlapped and waits on the
// listener's stop event as well, so that deleting a node never hangs on a silent peer.
#include "outside/kavipc32/pipe_transport_win.h"

#include <cctype>
#include <cstring>

#include "outside/kavipc32/message_block.h"
#include "outside/kavipc32/message_layout.h"
#include "outside/kavipc32/pipe_naming.h"
#include "outside/kavipc32/pipe_security_win.h"

namespace kavipc {

namespace {

constexpr DWORD kPipeBufferSize = 64 * 1024;
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

// What CreateNamedPipe accepts here; narrowed once when the system refuses a flag.
std::atomic<bool> g_reject_remote{true};
std::atomic<bool> g_use_dacl{true};

enum class Io { kDone, kMoreData, kFailed, kStopped };

// Finishes an overlapped operation that ReadFile/WriteFile/ConnectNamedPipe started (ok and
// err are what the call answered); waits for it or for `stop` (may be null: no stop).
Io Finish(HANDLE h, OVERLAPPED* ov, BOOL ok, DWORD err, HANDLE stop, DWORD* bytes,
          DWORD timeout = INFINITE) {
    *bytes = 0;
    if (!ok && err != ERROR_IO_PENDING && err != ERROR_MORE_DATA) return Io::kFailed;
    if (!ok && err == ERROR_IO_PENDING) {
        HANDLE events[2] = {ov->hEvent, stop};
        DWORD w = WaitForMultipleObjects(stop != nullptr ? 2 : 1, events, FALSE, timeout);
        if (w != WAIT_OBJECT_0) {
            CancelIo(h);
            GetOverlappedResult(h, ov, bytes, TRUE);
            return Io::kStopped;
        }
    }
    if (GetOverlappedResult(h, ov, bytes, FALSE)) return Io::kDone;
    return GetLastError() == ERROR_MORE_DATA ? Io::kMoreData : Io::kFailed;
}

struct OverlappedOp {
    OVERLAPPED ov{};
    pm::win::unique_handle event{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED* Next() {
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = event.get();
        ResetEvent(ov.hEvent);
        return &ov;
    }
};

Io ReadChunk(HANDLE h, OverlappedOp& op, uint8_t* buf, DWORD size, HANDLE stop, DWORD* bytes,
             DWORD timeout = INFINITE) {
    OVERLAPPED* ov = op.Next();
    BOOL ok = ReadFile(h, buf, size, nullptr, ov);
    return Finish(h, ov, ok, ok ? 0 : GetLastError(), stop, bytes, timeout);
}

bool WriteChunk(HANDLE h, OverlappedOp* op, const uint8_t* data, DWORD size) {
    DWORD written = 0;
    if (op == nullptr) return WriteFile(h, data, size, &written, nullptr) && written == size;
    OVERLAPPED* ov = op->Next();
    BOOL ok = WriteFile(h, data, size, nullptr, ov);
    return Finish(h, ov, ok, ok ? 0 : GetLastError(), nullptr, &written) == Io::kDone &&
           written == size;
}

bool WriteFrameTo(HANDLE h, OverlappedOp* op, FrameKind kind, const uint8_t* data, size_t size) {
    return ForEachChunk(kind, data, size, [&](const uint8_t* chunk, size_t n) {
        return WriteChunk(h, op, chunk, static_cast<DWORD>(n));
    });
}

pm::win::unique_hfile CreateInstance(const std::string& path, bool first, PipeSecurity& security) {
    for (;;) {
        DWORD open_mode =
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
        bool reject = g_reject_remote.load();
        bool dacl = g_use_dacl.load();
        DWORD pipe_mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT |
                          (reject ? PIPE_REJECT_REMOTE_CLIENTS : 0);
        pm::win::unique_hfile h(CreateNamedPipeA(
            path.c_str(), open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES, kPipeBufferSize,
            kPipeBufferSize, 0, dacl ? security.attributes() : nullptr));
        if (h) return h;
        DWORD err = GetLastError();
        // A system that does not know a flag or our descriptor: do without it from now on.
        if (err == ERROR_INVALID_PARAMETER && reject) {
            g_reject_remote = false;
            continue;
        }
        if ((err == ERROR_INVALID_PARAMETER || err == ERROR_INVALID_SECURITY_DESCR) && dacl &&
            security.attributes() != nullptr) {
            g_use_dacl = false;
            continue;
        }
        SetLastError(err);
        return h;
    }
}

} // namespace

struct PipeTransport::Listener {
    struct Reader {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    std::string node;
    std::string path;
    TransportSink* sink = nullptr;
    PipeSecurity security;
    pm::win::unique_handle claim; // the machine-wide claim on the name
    pm::win::unique_handle stop{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    std::thread accept;
    std::mutex mu;
    std::vector<Reader> readers;

    void AcceptLoop(HANDLE first);
    void ReadLoop(HANDLE pipe);
    void StartReader(HANDLE pipe);
    bool Stopping() const { return WaitForSingleObject(stop.get(), 0) == WAIT_OBJECT_0; }
    void Stop() {
        SetEvent(stop.get());
        if (accept.joinable()) accept.join();
        std::lock_guard<std::mutex> lock(mu);
        for (auto& r : readers)
            r.thread.join();
        readers.clear();
    }
};

void PipeTransport::Listener::StartReader(HANDLE pipe) {
    std::lock_guard<std::mutex> lock(mu);
    for (auto it = readers.begin(); it != readers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = readers.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    readers.push_back({std::thread([this, pipe, done] {
                           ReadLoop(pipe);
                           done->store(true);
                       }),
                       done});
}

void PipeTransport::Listener::AcceptLoop(HANDLE first) {
    pm::win::unique_hfile pipe(first);
    OverlappedOp op;
    while (!Stopping()) {
        if (!pipe) {
            pipe = CreateInstance(path, false, security);
            if (!pipe) {
                WaitForSingleObject(stop.get(), 50); // out of resources: try again shortly
                continue;
            }
        }
        OVERLAPPED* ov = op.Next();
        BOOL ok = ConnectNamedPipe(pipe.get(), ov);
        DWORD err = ok ? 0 : GetLastError();
        DWORD bytes = 0;
        bool connected = ok || err == ERROR_PIPE_CONNECTED;
        if (!connected && err == ERROR_IO_PENDING) {
            Io r = Finish(pipe.get(), ov, FALSE, err, stop.get(), &bytes);
            if (r == Io::kStopped) return;
            connected = r == Io::kDone;
        }
        if (!connected) {
            pipe.reset(); // the peer went away before we saw it: a fresh instance
            continue;
        }
        StartReader(pipe.release());
    }
}

void PipeTransport::Listener::ReadLoop(HANDLE raw) {
    pm::win::unique_hfile pipe(raw);
    std::vector<uint8_t> buf(kMaxChunk);
    FrameAssembler frames;
    OverlappedOp op;
    bool oversized = false;
    for (;;) {
        DWORD n = 0;
        Io r =
            ReadChunk(pipe.get(), op, buf.data(), static_cast<DWORD>(buf.size()), stop.get(), &n);
        if (r == Io::kStopped || r == Io::kFailed) break;
        if (r == Io::kMoreData) {
            oversized = true; // a pipe message longer than any chunk: not ours
            continue;
        }
        if (oversized) {
            oversized = false;
            frames.Feed(nullptr, 0); // its tail; also ends any frame in progress
            continue;
        }
        if (frames.Feed(buf.data(), n) != FrameAssembler::Result::kComplete) continue;
        FrameKind kind = frames.kind();
        size_t size = frames.payload_size();
        void* payload = frames.TakePayload();
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
            WriteFrameTo(pipe.get(), &wop, FrameKind::kQuitAnswer, &byte, 1);
        } else {
            FreeBlock(payload);
        }
    }
    DisconnectNamedPipe(pipe.get());
}

pm::win::unique_hfile ConnectToNode(const std::string& node, bool overlapped) {
    std::string path = PipePathForNode(node);
    DWORD flags =
        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
    for (int attempt = 0; attempt < 20; ++attempt) {
        pm::win::unique_hfile h(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, flags, nullptr));
        if (h) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(h.get(), &mode, nullptr, nullptr);
            return h;
        }
        DWORD err = GetLastError();
        if (err != ERROR_PIPE_BUSY) return h;
        // Every instance is taken for a moment; the node makes a new one right away.
        if (!WaitNamedPipeA(path.c_str(), 500) && GetLastError() == ERROR_FILE_NOT_FOUND) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return pm::win::unique_hfile();
        }
    }
    SetLastError(ERROR_PIPE_BUSY);
    return pm::win::unique_hfile();
}

bool WriteFrame(HANDLE pipe, FrameKind kind, const uint8_t* data, size_t size) {
    return WriteFrameTo(pipe, nullptr, kind, data, size);
}

PipeTransport::PipeTransport(TransportSink& sink) : sink_(sink) {}

PipeTransport::~PipeTransport() {
    Shutdown();
}

PipeCapabilities PipeTransport::capabilities() const {
    return {g_reject_remote.load(), g_use_dacl.load()};
}

bool PipeTransport::Listen(const std::string& node) {
    auto l = std::make_unique<Listener>();
    l->node = node;
    l->path = PipePathForNode(node);
    l->sink = &sink_;
    if (!l->stop) return false;
    // A named mutex claims the name on the machine: FILE_FLAG_FIRST_PIPE_INSTANCE alone is not
    // enforced everywhere (Wine lets a second process add instances to a foreign pipe).
    l->claim.reset(CreateMutexA(l->security.attributes(), FALSE, ClaimName(node).c_str()));
    if (!l->claim && l->security.attributes() != nullptr) {
        l->claim.reset(CreateMutexA(nullptr, FALSE, ClaimName(node).c_str()));
    }
    if (!l->claim || GetLastError() == ERROR_ALREADY_EXISTS) return false;
    // The first instance decides as well: if another process holds the pipe, this fails.
    pm::win::unique_hfile first = CreateInstance(l->path, true, l->security);
    if (!first) return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (listeners_.count(Key(node)) != 0) return false;
    Listener* raw = l.get();
    HANDLE h = first.release();
    raw->accept = std::thread([raw, h] { raw->AcceptLoop(h); });
    listeners_.emplace(Key(node), std::move(l));
    return true;
}

void PipeTransport::Unlisten(const std::string& node) {
    std::unique_ptr<Listener> l;
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

std::shared_ptr<PipeTransport::Connection> PipeTransport::ConnectionFor(const std::string& node) {
    std::lock_guard<std::mutex> lock(mu_);
    auto& c = connections_[Key(node)];
    if (!c) c = std::make_shared<Connection>();
    return c;
}

bool PipeTransport::Transmit(const std::string& node, const uint8_t* data, size_t size) {
    std::shared_ptr<Connection> c = ConnectionFor(node);
    std::lock_guard<std::mutex> lock(c->mu);
    // A cached connection may have broken since (the node's process restarted): one retry on a
    // fresh connection.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!c->pipe) {
            c->pipe = ConnectToNode(node, false);
            if (!c->pipe) return false;
        }
        if (WriteFrame(c->pipe.get(), FrameKind::kMessage, data, size)) return true;
        c->pipe.reset();
    }
    return false;
}

QuitAnswer PipeTransport::TransmitQuit(const std::string& node) {
    pm::win::unique_hfile pipe = ConnectToNode(node, true);
    if (!pipe) {
        return GetLastError() == ERROR_FILE_NOT_FOUND ? QuitAnswer::kNoSuchNode
                                                      : QuitAnswer::kNoAnswer;
    }
    OverlappedOp op;
    std::string name = node;
    if (!WriteFrameTo(pipe.get(), &op, FrameKind::kQuitRequest,
                      reinterpret_cast<const uint8_t*>(name.c_str()), name.size() + 1)) {
        return QuitAnswer::kNoAnswer;
    }
    std::vector<uint8_t> buf(kMaxChunk);
    FrameAssembler frames;
    DWORD n = 0;
    if (ReadChunk(pipe.get(), op, buf.data(), static_cast<DWORD>(buf.size()), nullptr, &n,
                  kQuitAnswerWaitMs) != Io::kDone ||
        frames.Feed(buf.data(), n) != FrameAssembler::Result::kComplete ||
        frames.kind() != FrameKind::kQuitAnswer) {
        return QuitAnswer::kNoAnswer;
    }
    void* payload = frames.TakePayload();
    auto answer = static_cast<QuitAnswer>(*static_cast<uint8_t*>(payload));
    FreeBlock(payload);
    return answer <= QuitAnswer::kNoAnswer ? answer : QuitAnswer::kNoAnswer;
}

void PipeTransport::Shutdown() {
    std::map<std::string, std::unique_ptr<Listener>> listeners;
    {
        std::lock_guard<std::mutex> lock(mu_);
        listeners.swap(listeners_);
        connections_.clear();
    }
    for (auto& kv : listeners)
        kv.second->Stop();
}

} // namespace kavipc
