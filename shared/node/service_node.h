// A named endpoint of the messaging library: registers under its name, turns each arriving
// request into a Command for CommandReceived and sends the reply, sends requests of its own and
// pairs their replies by sequence number, times out requests that get no reply, and runs the
// thread's window-message loop. Portable: the library and the OS go through their seams.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "shared/ipc/kavipc32_abi.h"
#include "shared/node/command.h"
#include "shared/node/message_layout.h"
#include "shared/node/messaging_library.h"
#include "shared/node/node_platform.h"

namespace pm {

// Statuses a sender's command receives from the node itself.
constexpr int32_t kStatusNotSent = static_cast<int32_t>(0xFFFF0000u);
// The reply arrived but could not be copied (the heap is exhausted).
constexpr int32_t kStatusNoMemory = kStatusReplyNotCopied;
constexpr int32_t kStatusTimedOut = static_cast<int32_t>(0xFFFF0002u);

// When a node registers with the library. A derived class registers at the end of its own
// constructor (kLater, then Register()), so that no message reaches a node half built, and
// unregisters first thing in its destructor.
enum class Registration { kNow, kLater };

// How SendCommand sends; flags combine with |.
enum class Send : unsigned {
    kWait = 0,           // return once the reply or the time-out has completed the command
    kNoWait = 1,         // return once sent; the reply or the time-out completes it later
    kUseEnqueue2 = 2,    // hand the message to EnqueueMessage2 when the library has it
    kDeleteWhenDone = 4, // delete the command after completing it (and when it is not sent)
};
constexpr Send operator|(Send a, Send b) {
    return static_cast<Send>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool Has(Send options, Send flag) {
    return (static_cast<unsigned>(options) & static_cast<unsigned>(flag)) != 0;
}

class ServiceNode {
public:
    ServiceNode(const char* name, int raw_mode, MessagingLibrary& library, NodePlatform& platform,
                Registration when = Registration::kNow);
    ServiceNode(const ServiceNode&) = delete;
    ServiceNode& operator=(const ServiceNode&) = delete;

    // Slot 0: unregisters, releases held messages. Pending requests are not touched.
    virtual ~ServiceNode();
    // Slot 1: handles one request; answering 0 ends the message loop.
    virtual int CommandReceived(Command& command);
    // Slots 2 and 3: around the message loop.
    virtual void OnStart() {}
    virtual void OnStop() {}
    // Slot 4: every message in raw mode; the default releases it.
    virtual void OnRawMessage(void* message, uint32_t elapsed_ms);
    // Slot 5: the periodic pulse; answering 0 ends the message loop.
    virtual int Pulse() { return 1; }
    // Slot 6: one message of the loop.
    virtual void PumpMessage(const WindowMessage& msg);

    [[nodiscard]] bool IsRegistered() const { return node_handle_ != 0; }
    // Registers under the node's name; true when registered (also when it was already).
    bool Register();
    // Unregisters; once it returns, no callback of this node runs any more (the library waits
    // for one in progress unless called from it).
    int Unregister();
    // Serves until WM_QUIT arrives or GetMessageA answers 0.
    void Run();
    // Ends Run's loop from any thread: WM_QUIT goes to the thread that runs it (or, before
    // Run has begun, Run returns at once).
    void RequestQuit();

    // Sends a request; `event`, when given, is what a waiting send waits on instead of
    // pumping this thread's messages. Answers 1 once the command is sent or completed with a
    // status of the node's own, 0 in raw mode (and when the loop ends without the reply).
    int SendCommand(Command* command, Send options, Event* event = nullptr);
    // Synchronous, pumping this thread's messages until the reply or the time-out.
    int SendCommand(Command* command) { return SendCommand(command, Send::kWait); }
    // Synchronous, waiting on an event.
    int SendCommand(Command* command, Event* event) {
        return SendCommand(command, Send::kWait, event);
    }

    // Sends the reply of a command whose deferred-reply flag is set, and deletes it.
    int SendReply(Command* command);

    void SetAccepting(int flag);
    void SetPulseInterval(int ms);

    // The callback handed to CreateSvcNode; `node` is this object.
    static int KAVIPC_API MessageCallback(void* node, void* message, uint32_t elapsed_ms);
    // What MessageCallback does for one message or tick.
    void HandleMessage(void* message, uint32_t elapsed_ms);
    // Builds the acknowledgement of a checked type-2 or type-4 message: the addressee and
    // sender swapped, no items. Null when it cannot be represented (the strings would end
    // beyond the 16-bit offsets) or allocated.
    static void* BuildAcknowledgement(MessageMemory& memory, const msg::MessageView& v);

    [[nodiscard]] const char* Name() const { return named_ ? name_.c_str() : nullptr; }
    [[nodiscard]] size_t PendingCount() const;
    [[nodiscard]] size_t HeldCount() const;

protected:
    MessagingLibrary& library_;
    NodePlatform& platform_;

private:
    struct PendingRequest {
        uint64_t id = 0;
        Command* command = nullptr;
        bool delete_when_done = false;
        // A waiting sender's flag; shared, so that a completion that comes late never writes
        // into a sender that has gone.
        std::shared_ptr<std::atomic<bool>> done;
        uint32_t thread_id = 0;
        Event* event = nullptr;
    };
    struct HeldMessage {
        void* message = nullptr;
        uint32_t elapsed_ms = 0;
    };
    // What the queue lock guards.
    struct Queue {
        std::list<PendingRequest> pending; // newest first
        uint64_t last_id = 0;
        int pulse_interval_ms = 0;
        int pulse_remaining_ms = 0;
    };

    void HandleTick(uint32_t elapsed_ms);
    void HandleRequest(void* message, const msg::MessageView& v);
    void HandleReply(void* message, const msg::MessageView& v);
    void Acknowledge(const msg::MessageView& v);
    // Completes an entry already taken out of the queue; called without the queue lock.
    void Complete(PendingRequest& entry);
    void NotSent(Command* command, bool delete_when_done);
    int Enqueue(void* message, bool use_enqueue2);
    // Takes the entry out of the queue; false when a tick or a reply took it first.
    bool Forget(uint64_t id);

    std::string name_;
    bool named_ = false;
    uintptr_t node_handle_ = 0;
    int raw_mode_ = 0;
    std::atomic<int> accepting_{1};
    std::atomic<uint32_t> run_thread_{0};
    std::atomic<bool> quit_requested_{false};
    Guarded<Queue> queue_;
    // Held while a command is handled or a reply sent; guards the held requests (newest last).
    Guarded<std::vector<HeldMessage>> dispatch_;
};

} // namespace pm
