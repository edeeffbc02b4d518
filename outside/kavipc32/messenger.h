// The library's routing: the nodes of this process, their dispatchers, and where a message
// goes. A message for a node of this process is handed straight to its dispatcher; any other
// goes through the transport. Portable: the OS is reached only through Transport and the
// quit poster.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "shared/ipc/kavipc32_abi.h"
#include "outside/kavipc32/node_dispatcher.h"
#include "outside/kavipc32/tick_schedule.h"
#include "outside/kavipc32/transport.h"

namespace kavipc {

// How the process's main thread is asked to leave its loop.
struct QuitPoster {
    std::function<bool()> ready; // there is a main thread to ask
    std::function<bool()> post;  // asks it; false when that failed
};

class Messenger : public TransportSink {
public:
    Messenger(Transport& transport, QuitPoster quit, uint32_t tick_period_ms = kTickPeriodMs);
    ~Messenger() override; // Shutdown()

    // Registers a node; 0 when the name is unusable or taken anywhere on the machine.
    uintptr_t CreateNode(const char* name, void* node, KavMessageCallback callback);
    // Unregisters; waits for a callback in progress unless called from it. 1 done, 0 unknown.
    int DeleteNode(const char* name);
    // 1: taken over (and released once sent); 0: refused, still the caller's.
    int Enqueue(void* message);
    bool Exists(const char* name);
    QuitAnswer RequestQuit(const char* name);
    // Deletes every node and stops the transport's receivers.
    void Shutdown();

    void OnIncomingMessage(void* message) override;
    QuitAnswer OnIncomingQuit(const std::string& node) override;
    void CommitQuit() override;

    size_t NodeCount();

private:
    struct Node {
        uintptr_t handle;
        std::shared_ptr<NodeDispatcher> dispatcher; // shared with a delivery in progress
    };
    std::shared_ptr<NodeDispatcher> DispatcherOf(const std::string& addressee);
    enum class Delivery { kQueued, kNoSuchNode, kRefused };
    // Hands a checked message to a local node's queue.
    Delivery DeliverLocal(const std::string& addressee, void* message);
    static std::string Key(const std::string& name); // the pipe namespace ignores case

    Transport& transport_;
    QuitPoster quit_;
    uint32_t period_;
    std::mutex mu_;
    std::map<std::string, Node> nodes_;
    uintptr_t next_handle_ = 1;
};

} // namespace kavipc
