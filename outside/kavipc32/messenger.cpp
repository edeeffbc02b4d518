// Routing between the nodes of this process and the transport. Portable: no OS code here.
#include "outside/kavipc32/messenger.h"

#include <cctype>
#include <vector>

#include "outside/kavipc32/message_block.h"
#include "shared/ipc/message_layout.h"

namespace kavipc {

Messenger::Messenger(Transport& transport, QuitPoster quit, uint32_t tick_period_ms)
    : transport_(transport), quit_(std::move(quit)), period_(tick_period_ms) {
    if (!quit_.ready || !quit_.post) quit_ = QuitPoster{}; // half a poster is none
}

Messenger::~Messenger() {
    Shutdown();
}

std::string Messenger::Key(const std::string& name) {
    std::string k = name;
    for (char& c : k)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return k;
}

uintptr_t Messenger::CreateNode(const char* name, void* node, KavMessageCallback callback) {
    if (!IsValidNodeName(name) || callback == nullptr) return 0;
    std::string key = Key(name);
    std::lock_guard<std::mutex> lock(mu_);
    if (nodes_.count(key) != 0) return 0;
    if (!transport_.Listen(name)) return 0;
    Transport* transport = &transport_;
    auto deliver = [node, callback, transport](void* message, uint32_t elapsed) {
        callback(node, message, elapsed);
        if (message == nullptr) transport->Maintain(); // a tick: close idle connections
    };
    std::shared_ptr<NodeDispatcher> dispatcher;
    try {
        dispatcher = std::make_shared<NodeDispatcher>(deliver, FreeBlock, period_);
    } catch (...) {
        transport_.Unlisten(name); // no thread for it: the node is refused
        return 0;
    }
    Node n{next_handle_++, std::move(dispatcher)};
    uintptr_t handle = n.handle;
    nodes_.emplace(key, std::move(n));
    return handle;
}

int Messenger::DeleteNode(const char* name) {
    if (!IsValidNodeName(name)) return 0;
    std::shared_ptr<NodeDispatcher> dispatcher;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = nodes_.find(Key(name));
        if (it == nodes_.end()) return 0;
        dispatcher = std::move(it->second.dispatcher);
        nodes_.erase(it);
    }
    transport_.Unlisten(name);
    dispatcher->Stop();
    return 1;
}

Messenger::Delivery Messenger::DeliverLocal(const std::string& addressee, void* message) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = nodes_.find(Key(addressee));
    if (it == nodes_.end()) return Delivery::kNoSuchNode;
    return it->second.dispatcher->Post(message, BlockSize(message)) ? Delivery::kQueued
                                                                    : Delivery::kRefused;
}

int Messenger::Enqueue(void* message) {
    size_t size = BlockSize(message);
    if (size == 0) return 0;
    MessageView v;
    if (CheckHeader(message, size, AddresseeRule::kNodeName, &v) != HeaderCheck::kOk) return 0;
    // A copy: once the message is queued, it is no longer ours to read.
    const std::string addressee(v.addressee);
    switch (DeliverLocal(addressee, message)) {
    case Delivery::kQueued:
        return 1;
    case Delivery::kRefused:
        return 0; // the node's queue is full: the caller keeps its message
    case Delivery::kNoSuchNode:
        break;
    }
    if (!transport_.Transmit(addressee, message, v.msg_len)) return 0;
    FreeBlock(message);
    return 1;
}

bool Messenger::Exists(const char* name) {
    if (!IsValidNodeName(name)) return false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (nodes_.count(Key(name)) != 0) return true;
    }
    return transport_.Exists(name);
}

QuitAnswer Messenger::RequestQuit(const char* name) {
    if (!IsValidNodeName(name)) return QuitAnswer::kNoSuchNode;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (nodes_.count(Key(name)) != 0) {
            return quit_.ready && quit_.ready() && quit_.post() ? QuitAnswer::kPosted
                                                                : QuitAnswer::kNoMainThread;
        }
    }
    return transport_.TransmitQuit(name);
}

std::shared_ptr<NodeDispatcher> Messenger::DispatcherOf(const std::string& addressee) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = nodes_.find(Key(addressee));
    return it == nodes_.end() ? nullptr : it->second.dispatcher;
}

void Messenger::OnIncomingMessage(void* message) {
    MessageView v;
    size_t size = BlockSize(message);
    std::shared_ptr<NodeDispatcher> d;
    if (CheckHeader(message, size, AddresseeRule::kNodeName, &v) == HeaderCheck::kOk)
        d = DispatcherOf(v.addressee);
    // The receiving thread hands an idle node its message itself: one thread switch less.
    if (d && (d->TryDeliverHere(message) || d->Post(message, size))) return;
    FreeBlock(message); // for no node of ours, or its queue is full: dropped
}

QuitAnswer Messenger::OnIncomingQuit(const std::string& node) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (nodes_.count(Key(node)) == 0) return QuitAnswer::kNoSuchNode;
    }
    return quit_.ready && quit_.ready() ? QuitAnswer::kPosted : QuitAnswer::kNoMainThread;
}

void Messenger::CommitQuit() {
    if (quit_.post) quit_.post();
}

void Messenger::Shutdown() {
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (auto& kv : nodes_)
            names.push_back(kv.first);
    }
    for (auto& n : names)
        DeleteNode(n.c_str());
    transport_.Shutdown();
}

size_t Messenger::NodeCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return nodes_.size();
}

} // namespace kavipc
