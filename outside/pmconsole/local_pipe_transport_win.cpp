// The local path over the messaging library: the request message is read back into a command
// that the console's node sends, and the node's reply is packed again for the caller.
#include "outside/pmconsole/local_pipe_transport_win.h"

#include <windows.h>

#include <cstdlib>

#include "shared/base/win_handles.h"
#include "shared/crypto/password_cipher.h"
#include "shared/node/service_node.h"

namespace pm::console {
namespace {

// A request whose completion (reply, time-out or refusal) sets an event.
class ConsoleCommand final : public Command {
public:
    ConsoleCommand() : Command(0), done_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    // The parameter blocks may hold a password (exec): wiped before the base frees them.
    ~ConsoleCommand() override {
        for (size_t i = 0; i < GetParamCount(); ++i)
            if (GetParam(i) != nullptr)
                exec::WipeBytes(const_cast<uint8_t*>(GetParam(i)), GetParamSize(i));
    }
    ConsoleCommand(const ConsoleCommand&) = delete;
    ConsoleCommand& operator=(const ConsoleCommand&) = delete;
    void OnComplete() override {
        completed_ = 1;
        // Completed inside SendCommand: the library refused the request. Completed after the
        // whole wait: the node timed it out. Anything else is the peer's reply.
        if (sending_ && GetCurrentThreadId() == sender_thread_)
            how_ = How::kRefused;
        else if (GetTickCount() - sent_at_ >= wait_ms_ && GetResultCount() == 0)
            how_ = How::kTimedOut;
        else
            how_ = How::kReplied;
        SetEvent(done_.get());
    }
    enum class How { kPending, kRefused, kTimedOut, kReplied };
    void Sending(bool on, DWORD wait_ms) {
        sending_ = on;
        sender_thread_ = GetCurrentThreadId();
        sent_at_ = GetTickCount();
        wait_ms_ = wait_ms;
    }
    [[nodiscard]] How Outcome() const { return how_; }
    bool WaitFor(DWORD ms) const { return WaitForSingleObject(done_.get(), ms) == WAIT_OBJECT_0; }
    [[nodiscard]] bool Completed() const { return completed_ != 0; }

private:
    win::unique_handle done_;
    volatile LONG completed_ = 0;
    volatile bool sending_ = false;
    DWORD sender_thread_ = 0;
    DWORD sent_at_ = 0;
    DWORD wait_ms_ = 0;
    How how_ = How::kPending;
};

class HeapMemory final : public MessageMemory {
public:
    void* Allocate(uint32_t size) override { return std::malloc(size ? size : 1); }
    void Free(void* message) override { std::free(message); }
};

} // namespace

std::string LocalNodeName() {
    return "pmconsole-" + std::to_string(GetCurrentProcessId());
}

WireReply LocalPipeTransport::Exchange(const WireRequest& request) {
    WireReply reply;
    reply.outcome = WireOutcome::kNotSent;
    MessagingLibrary& library = ProcessMessagingLibrary();
    if (!library.Bind()) {
        err_("pmconsole: the messaging library KAVIPC32.DLL is missing or incomplete\n");
        return reply;
    }
    if (!library.Functions().SvcNodeExists(request.node.c_str())) {
        reply.outcome = WireOutcome::kAbsentNode;
        return reply;
    }
    ConsoleCommand command;
    if (!command.ParseRequest(request.message.data(), request.message.size())) return reply;
    std::string name = LocalNodeName();
    ServiceNode node(name.c_str(), 0, library, SystemNodePlatform());
    if (!node.IsRegistered()) {
        err_("pmconsole: could not register the node " + name + "\n");
        return reply;
    }
    command.SetTargetAddr(request.node.c_str());
    command.timeout_ms = request.timeout_ms;
    command.Sending(true, request.timeout_ms);
    node.SendCommand(&command, Send::kNoWait);
    command.Sending(false, request.timeout_ms);

    // The node times the request out on the library's ticks; the extra wait only guards
    // against a library that stopped ticking.
    DWORD limit = request.timeout_ms > 0xFFFFFFFFu - 10000 ? INFINITE : request.timeout_ms + 10000;
    command.WaitFor(limit);
    // No callback runs once the node is gone, so the command can be read and dropped.
    node.Unregister();
    if (!command.Completed()) {
        reply.outcome = WireOutcome::kNoReply;
        return reply;
    }
    if (command.Outcome() == ConsoleCommand::How::kRefused) {
        // The library would not deliver it (a server of the wrong account, a full pipe...);
        // it says why on stderr. Not "no reply": nothing was sent.
        reply.outcome = WireOutcome::kNotSent;
        return reply;
    }
    if (command.Outcome() == ConsoleCommand::How::kTimedOut) {
        reply.outcome = WireOutcome::kNoReply;
        return reply;
    }
    // The node paired the reply with its own sequence number; the caller pairs it with the
    // one of the message it gave.
    command.seq_no = request.seq_no;
    HeapMemory memory;
    void* packed = command.BuildReply(memory);
    if (!packed) {
        reply.outcome = WireOutcome::kNoReply;
        return reply;
    }
    reply.outcome = WireOutcome::kReply;
    reply.message.assign(static_cast<const char*>(packed), msg::DeclaredLength(packed));
    memory.Free(packed);
    return reply;
}

} // namespace pm::console
