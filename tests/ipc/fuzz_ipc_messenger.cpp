// Fuzzes a real Messenger with what peers can send: the input is split into chunks (a 2-byte
// length before each) and reassembled as the pipe reader does; each complete message frame is
// handed to the Messenger as from the transport, and each quit frame goes down the quit path.
// The Messenger has one node, whose callback checks and releases what it is given, and a
// transport that refuses everything (no other process is there).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "outside/kavipc32/frame.h"
#include "outside/kavipc32/message_block.h"
#include "shared/ipc/message_layout.h"
#include "outside/kavipc32/messenger.h"
#include "tests/ipc/fuzz_frames.h"

namespace {

using namespace kavipc;

class NoPeers final : public Transport {
public:
    bool Listen(const std::string&) override { return true; }
    void Unlisten(const std::string&) override {}
    bool Exists(const std::string&) override { return false; }
    bool Transmit(const std::string&, void*, size_t) override { return false; }
    QuitAnswer TransmitQuit(const std::string&) override { return QuitAnswer::kNoSuchNode; }
    void Shutdown() override {}
};

std::atomic<int> g_quits{0};

int KAVIPC_API Check(void*, void* message, uint32_t) {
    if (message == nullptr) return 0;
    size_t size = BlockSize(message);
    // Whatever reaches a node was checked whole and is a live block of its own length.
    if (size == 0 ||
        CheckHeader(message, size, AddresseeRule::kNodeName, nullptr) != HeaderCheck::kOk)
        std::abort();
    FreeBlock(message);
    return 0;
}

Messenger& TheMessenger() {
    static NoPeers* transport = new NoPeers();
    static Messenger* m = [] {
        auto* messenger = new Messenger(
            *transport, {[] { return true; }, [] { return ++g_quits, true; }}, 1000000);
        if (messenger->CreateNode("ProcMgr", nullptr, Check) == 0) std::abort();
        return messenger;
    }();
    return *m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Messenger& messenger = TheMessenger();
    FeedFrames(data, size, [&](FrameKind kind, void* p, size_t payload_size) {
        if (kind == FrameKind::kMessage) {
            messenger.OnIncomingMessage(p); // takes it over
        } else if (kind == FrameKind::kQuitRequest) {
            const char* text = static_cast<const char*>(p);
            std::string name(text, strnlen(text, payload_size));
            FreeBlock(p);
            QuitAnswer a = IsValidNodeName(name.c_str()) ? messenger.OnIncomingQuit(name)
                                                         : QuitAnswer::kNoSuchNode;
            if (a != QuitAnswer::kPosted && a != QuitAnswer::kNoSuchNode) std::abort();
            if (a == QuitAnswer::kPosted) messenger.CommitQuit();
        } else {
            FreeBlock(p);
        }
    });
    // The raw input as a message a caller of this process enqueues: taken over or refused.
    void* block = AllocateBlock(size);
    if (block != nullptr) {
        std::memcpy(block, data, size);
        if (messenger.Enqueue(block) == 0) FreeBlock(block);
    }
    return 0;
}
