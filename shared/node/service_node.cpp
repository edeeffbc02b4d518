// Portable: the node's message handling, reply pairing and time-outs. No OS code here; the
// messaging library and the OS pieces go through their seams.
#include "shared/node/service_node.h"

#include <cstring>
#include <new>
#include <utility>

#include "shared/node/message_layout.h"

namespace pm {

using namespace msg;

ServiceNode::ServiceNode(const char* name, int raw_mode, MessagingLibrary& library,
                         NodePlatform& platform, Registration when)
    : library_(library), platform_(platform), raw_mode_(raw_mode), queue_(platform.NewMutex()),
      dispatch_(platform.NewMutex()) {
    if (!library_.Bind() || !name) return;
    name_ = name;
    named_ = true;
    if (when == Registration::kNow) Register();
}

bool ServiceNode::Register() {
    if (IsRegistered()) return true;
    if (!named_ || !library_.IsBound()) return false;
    node_handle_ =
        library_.Functions().CreateSvcNode(name_.c_str(), this, &ServiceNode::MessageCallback);
    return IsRegistered();
}

ServiceNode::~ServiceNode() {
    if (IsRegistered()) library_.Functions().DeleteSvcNode(name_.c_str());
    {
        auto held = dispatch_.Lock();
        for (const HeldMessage& h : *held)
            library_.Free(h.message);
    }
    // Requests sent without waiting whose answer never came: the node owned them.
    auto queue = queue_.Lock();
    for (const PendingRequest& p : queue->pending)
        if (p.delete_when_done) delete p.command;
}

int ServiceNode::CommandReceived(Command&) {
    return 1;
}

void ServiceNode::OnRawMessage(void* message, uint32_t) {
    library_.Free(message);
}

void ServiceNode::PumpMessage(const WindowMessage& msg) {
    platform_.TranslateAndDispatch(msg);
}

int ServiceNode::Unregister() {
    if (!IsRegistered()) return 1;
    node_handle_ = 0;
    return library_.Functions().DeleteSvcNode(name_.c_str());
}

void ServiceNode::Run() {
    run_thread_ = platform_.CurrentThreadId();
    OnStart();
    WindowMessage m;
    // A failing GetMessageA (-1) ends the loop too, rather than spinning on the error.
    while (!quit_requested_.load() && platform_.NextMessage(m) > 0 && m.message != kWmQuit)
        PumpMessage(m);
    OnStop();
    run_thread_ = 0;
}

void ServiceNode::RequestQuit() {
    // The library calls handlers and pulses on its own thread: PostQuitMessage there would
    // end nobody's loop.
    quit_requested_ = true;
    uint32_t tid = run_thread_.load();
    if (tid != 0) platform_.PostToThread(tid, kWmQuit);
}

size_t ServiceNode::PendingCount() const {
    return queue_.Lock()->pending.size();
}

size_t ServiceNode::HeldCount() const {
    return dispatch_.Lock()->size();
}

int ServiceNode::Enqueue(void* message, bool use_enqueue2) {
    const MessagingFunctions& f = library_.Functions();
    if (use_enqueue2 && f.EnqueueMessage2) return f.EnqueueMessage2(message, 1);
    return f.EnqueueMessage(message);
}

void ServiceNode::NotSent(Command* command, bool delete_when_done) {
    command->status = kStatusNotSent;
    command->OnComplete();
    if (delete_when_done) delete command;
}

bool ServiceNode::Forget(uint64_t id) {
    auto queue = queue_.Lock();
    for (auto it = queue->pending.begin(); it != queue->pending.end(); ++it) {
        if (it->id == id) {
            queue->pending.erase(it);
            return true;
        }
    }
    return false;
}

int ServiceNode::SendCommand(Command* command, Send options, Event* event) {
    if (raw_mode_) return 0;
    const bool no_wait = Has(options, Send::kNoWait);
    const bool delete_when_done = Has(options, Send::kDeleteWhenDone);
    command->SetReturnAddr(Name());
    void* message = IsRegistered() ? command->BuildRequest(library_) : nullptr;
    if (!message) {
        NotSent(command, delete_when_done);
        return 1;
    }
    const MessagingFunctions& f = library_.Functions();
    if (f.GetGlobalTimeout)
        command->timeout_ms = f.GetGlobalTimeout(command->GetTargetAddr(), command->timeout_ms);

    std::shared_ptr<std::atomic<bool>> done;
    uint64_t id = 0;
    try {
        PendingRequest entry;
        entry.command = command;
        entry.delete_when_done = delete_when_done;
        entry.event = event;
        if (!no_wait) {
            done = std::make_shared<std::atomic<bool>>(false);
            entry.done = done;
            entry.thread_id = platform_.CurrentThreadId();
        }
        auto queue = queue_.Lock();
        id = entry.id = ++queue->last_id;
        queue->pending.push_front(std::move(entry));
        if (event) event->Reset();
    } catch (const std::bad_alloc&) {
        library_.Free(message);
        NotSent(command, delete_when_done);
        return 1;
    }

    if (!Enqueue(message, Has(options, Send::kUseEnqueue2))) {
        library_.Free(message);
        if (Forget(id)) {
            NotSent(command, delete_when_done);
            return 1;
        }
        // A tick timed the entry out meanwhile and completes it: wait for that as for a reply.
    }
    if (no_wait) return 1;

    if (event) {
        event->Wait();
    } else if (!done->load()) {
        WindowMessage m;
        while (platform_.NextMessage(m) > 0 && m.message != kWmQuit) {
            PumpMessage(m);
            if (done->load()) break;
        }
    }
    if (!done->load()) {
        // The loop ended without the reply: the program is going down.
        platform_.ExitProcess(1);
        // Only a test's stand-in returns: forget the entry.
        Forget(id);
        return 0;
    }
    return 1;
}

int ServiceNode::SendReply(Command* command) {
    if (raw_mode_) return 0;
    auto dispatch = dispatch_.Lock();
    if (!(command->flags & Command::kFlagDeferredReply)) return 0;
    command->SetReturnAddr(Name());
    void* reply = command->BuildReply(library_);
    if (!reply) return 0;
    // The items are in the message now: the command goes before the library takes the message,
    // so that a large reply is not held three times.
    delete command;
    if (!library_.Functions().EnqueueMessage(reply)) library_.Free(reply);
    return 1;
}

void ServiceNode::SetAccepting(int flag) {
    if (!flag) {
        accepting_ = 0;
        return;
    }
    accepting_ = 1;
    // Newest first; a handler may hold new ones meanwhile (the lock is re-entrant), so the
    // list is looked at afresh each time.
    auto held = dispatch_.Lock();
    while (!held->empty()) {
        HeldMessage h = held->back();
        held->pop_back();
        HandleMessage(h.message, h.elapsed_ms);
    }
}

void ServiceNode::SetPulseInterval(int ms) {
    auto queue = queue_.Lock();
    queue->pulse_interval_ms = ms;
    queue->pulse_remaining_ms = ms;
}

void ServiceNode::Complete(PendingRequest& entry) {
    Command* command = entry.command;
    command->OnComplete();
    if (entry.done) entry.done->store(true);
    if (entry.event) entry.event->Set();
    if (entry.thread_id) platform_.PostToThread(entry.thread_id, kWmReplyArrived);
    if (entry.delete_when_done) delete command;
}

int KAVIPC_API ServiceNode::MessageCallback(void* node, void* message, uint32_t elapsed_ms) {
    // Nothing may escape into the library's thread.
    try {
        static_cast<ServiceNode*>(node)->HandleMessage(message, elapsed_ms);
    } catch (...) {
    }
    return 0;
}

void ServiceNode::HandleMessage(void* message, uint32_t elapsed_ms) {
    if (raw_mode_) {
        if (message) OnRawMessage(message, elapsed_ms);
        return;
    }
    if (!message) {
        HandleTick(elapsed_ms);
        return;
    }
    // A delivered buffer is as long as its declared length; every field must fit inside it.
    // Checked once here; the view goes on to whatever reads the message.
    MessageView v;
    if (CheckHeader(message, DeclaredLength(message), AddresseeRule::kAnyString, &v) !=
        HeaderCheck::kOk) {
        library_.Free(message);
        return;
    }
    if (v.type == kTypeRequest) {
        if (accepting_) {
            HandleRequest(message, v);
        } else {
            try {
                dispatch_.Lock()->push_back(HeldMessage{message, elapsed_ms});
            } catch (const std::bad_alloc&) {
                library_.Free(message);
            }
        }
        return;
    }
    if (v.type & kReplyBit) {
        HandleReply(message, v);
        return;
    }
    if (v.type == kTypeAuthRequest || v.type == kTypeAckRequest) Acknowledge(v);
    library_.Free(message);
}

void ServiceNode::HandleTick(uint32_t elapsed_ms) {
    // Expired requests are taken out under the lock and completed after it, like replies:
    // a completion may send another request or reply on another node's behalf.
    std::list<PendingRequest> expired;
    bool pulse = false;
    {
        auto queue = queue_.Lock();
        for (auto it = queue->pending.begin(); it != queue->pending.end();) {
            auto next = std::next(it);
            if (it->command->timeout_ms >= elapsed_ms) {
                it->command->timeout_ms -= elapsed_ms;
            } else {
                it->command->status = kStatusTimedOut;
                expired.splice(expired.end(), queue->pending, it);
            }
            it = next;
        }
        if (queue->pulse_interval_ms) {
            if (static_cast<int64_t>(elapsed_ms) < queue->pulse_remaining_ms) {
                queue->pulse_remaining_ms -= static_cast<int>(elapsed_ms);
            } else {
                queue->pulse_remaining_ms = queue->pulse_interval_ms;
                pulse = true;
            }
        }
    }
    for (PendingRequest& e : expired)
        Complete(e);
    if (pulse && !Pulse()) RequestQuit();
}

void ServiceNode::HandleRequest(void* message, const MessageView& v) {
    std::unique_ptr<Command> command(new (std::nothrow) Command(0));
    int parsed = command ? command->ParseRequest(v) : 0;
    library_.Free(message);
    if (!parsed) return;
    int result;
    void* reply = nullptr;
    {
        auto dispatch = dispatch_.Lock();
        result = CommandReceived(*command);
        if (command->flags & Command::kFlagDeferredReply) {
            // The handler owns it now and ends it with SendReply.
            (void)command.release();
        } else {
            command->SetReturnAddr(Name());
            reply = command->BuildReply(library_);
            command.reset();
        }
    }
    if (reply && !library_.Functions().EnqueueMessage(reply)) library_.Free(reply);
    if (!result) RequestQuit();
}

namespace {
// Node names are case-insensitive: the library routes "procmgr" to "ProcMgr".
bool SameNode(const char* a, const char* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b) {
        auto x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return *a == *b;
}
} // namespace

void ServiceNode::HandleReply(void* message, const MessageView& v) {
    std::list<PendingRequest> found;
    {
        auto queue = queue_.Lock();
        // A reply belongs to the request with its sequence number that went to the node the
        // reply comes from: any peer can guess a sequence number.
        for (auto it = queue->pending.begin(); it != queue->pending.end(); ++it) {
            if (it->command->seq_no == v.seq_no &&
                SameNode(it->command->GetTargetAddr(), v.sender)) {
                found.splice(found.end(), queue->pending, it);
                break;
            }
        }
    }
    if (!found.empty()) {
        found.front().command->ParseReply(v);
        Complete(found.front());
    }
    library_.Free(message);
}

void* ServiceNode::BuildAcknowledgement(MessageMemory& memory, const MessageView& v) {
    // Sender and addressee swap places; no items, status 0. Both strings must end below the
    // 16-bit offset limit, or the offsets written would wrap.
    uint32_t size = kHeaderSize + v.sender_len + v.addressee_len;
    if (size >= kOffsetLimit) return nullptr;
    auto* ack = static_cast<uint8_t*>(memory.Allocate(size));
    if (!ack) return nullptr;
    std::memset(ack, 0, size);
    le::Store32(ack + kOffMsgLen, size);
    le::Store16(ack + kOffHdrLen, kHeaderSize);
    ack[kOffType] = static_cast<uint8_t>(v.type | kReplyBit);
    ack[kOffTag] = v.tag;
    le::Store16(ack + kOffSenderLen, v.addressee_len);
    le::Store16(ack + kOffSenderOff, kHeaderSize);
    le::Store16(ack + kOffAddresseeLen, v.sender_len);
    le::Store16(ack + kOffAddresseeOff, kHeaderSize + v.addressee_len);
    le::Store32(ack + kOffSeqNo, v.seq_no);
    std::memcpy(ack + kHeaderSize, v.addressee, v.addressee_len);
    std::memcpy(ack + kHeaderSize + v.addressee_len, v.sender, v.sender_len);
    return ack;
}

void ServiceNode::Acknowledge(const MessageView& v) {
    void* ack = BuildAcknowledgement(library_, v);
    if (ack && !library_.Functions().EnqueueMessage(ack)) library_.Free(ack);
}

} // namespace pm
