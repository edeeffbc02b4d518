// A named endpoint of the messaging library: registers under its name, turns each arriving
// request into a Command for CommandReceived and sends the reply, sends requests of its own and
// pairs their replies by sequence number, times out requests that get no reply, and runs the
// thread's window-message loop. Portable: the library and the OS go through their seams.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

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

    // The full form; the three below are the ones callers use.
    int SendCommand(Command* command, Event* event, int no_wait, int use_enqueue2,
                    int delete_when_done);
    // Asynchronous: the reply or the time-out completes the command later.
    int SendCommand(Command* command, int delete_when_done, int use_enqueue2) {
        return SendCommand(command, nullptr, 1, use_enqueue2, delete_when_done);
    }
    // Synchronous, pumping this thread's messages until the reply or the time-out.
    int SendCommand(Command* command) { return SendCommand(command, nullptr, 0, 0, 0); }
    // Synchronous, waiting on an event.
    int SendCommand(Command* command, Event* event) { return SendCommand(command, event, 0, 0, 0); }

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

    [[nodiscard]] const char* Name() const { return name_; }
    [[nodiscard]] size_t PendingCount() const;
    [[nodiscard]] size_t HeldCount() const;

protected:
    MessagingLibrary& library_;
    NodePlatform& platform_;

private:
    struct PendingRequest {
        Command* command = nullptr;
        PendingRequest* next = nullptr;
        int delete_when_done = 0;
        std::atomic<uint16_t>* done = nullptr;
        uint32_t thread_id = 0;
        Event* event = nullptr;
    };
    struct HeldMessage {
        void* message = nullptr;
        uint32_t elapsed_ms = 0;
        HeldMessage* next = nullptr;
    };

    void HandleTick(uint32_t elapsed_ms);
    void HandleRequest(void* message, const msg::MessageView& v);
    void HandleReply(void* message, const msg::MessageView& v);
    void Acknowledge(const msg::MessageView& v);
    void Complete(PendingRequest* entry);
    void NotSent(Command* command, int delete_when_done);
    int Enqueue(void* message, int use_enqueue2);

    char* name_ = nullptr;
    uintptr_t node_handle_ = 0;
    int raw_mode_ = 0;
    int accepting_ = 1;
    PendingRequest* pending_ = nullptr;
    HeldMessage* held_ = nullptr;
    int pulse_interval_ms_ = 0;
    int pulse_remaining_ms_ = 0;
    std::atomic<uint32_t> run_thread_{0};
    std::atomic<bool> quit_requested_{false};
    std::unique_ptr<Mutex> queue_lock_;
    std::unique_ptr<Mutex> dispatch_lock_;
};

} // namespace pm
