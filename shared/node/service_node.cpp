// Portable: the node's message handling, reply pairing and time-outs. No OS code here; the
// messaging library and the OS pieces go through their seams.
#include "shared/node/service_node.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "shared/node/message_layout.h"

namespace pm {

using namespace msg;

ServiceNode::ServiceNode(const char* name, int raw_mode, MessagingLibrary& library,
                         NodePlatform& platform, Registration when)
    : library_(library), platform_(platform), raw_mode_(raw_mode), queue_lock_(platform.NewMutex()),
      dispatch_lock_(platform.NewMutex()) {
    if (!library_.Bind() || !name) return;
    size_t n = std::strlen(name) + 1;
    name_ = static_cast<char*>(std::malloc(n));
    if (!name_) return;
    std::memcpy(name_, name, n);
    if (when == Registration::kNow) Register();
}

bool ServiceNode::Register() {
    if (IsRegistered()) return true;
    if (!name_ || !library_.IsBound()) return false;
    node_handle_ = library_.Functions().CreateSvcNode(name_, this, &ServiceNode::MessageCallback);
    return IsRegistered();
}

ServiceNode::~ServiceNode() {
    if (IsRegistered()) library_.Functions().DeleteSvcNode(name_);
    std::free(name_);
    while (held_) {
        HeldMessage* h = held_;
        held_ = h->next;
        library_.Free(h->message);
        delete h;
    }
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
    return library_.Functions().DeleteSvcNode(name_);
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
    MutexLock lock(*queue_lock_);
    size_t n = 0;
    for (PendingRequest* e = pending_; e; e = e->next)
        ++n;
    return n;
}

size_t ServiceNode::HeldCount() const {
    MutexLock lock(*dispatch_lock_);
    size_t n = 0;
    for (HeldMessage* h = held_; h; h = h->next)
        ++n;
    return n;
}

int ServiceNode::Enqueue(void* message, int use_enqueue2) {
    const MessagingFunctions& f = library_.Functions();
    if (use_enqueue2 && f.EnqueueMessage2) return f.EnqueueMessage2(message, 1);
    return f.EnqueueMessage(message);
}

void ServiceNode::NotSent(Command* command, int delete_when_done) {
    command->status = kStatusNotSent;
    command->OnComplete();
    if (delete_when_done) delete command;
}

int ServiceNode::SendCommand(Command* command, Event* event, int no_wait, int use_enqueue2,
                             int delete_when_done) {
    if (raw_mode_) return 0;
    command->SetReturnAddr(name_);
    void* message = IsRegistered() ? command->BuildRequest(library_) : nullptr;
    if (!message) {
        NotSent(command, delete_when_done);
        return 1;
    }
    const MessagingFunctions& f = library_.Functions();
    if (f.GetGlobalTimeout)
        command->timeout_ms = f.GetGlobalTimeout(command->GetTargetAddr(), command->timeout_ms);

    std::atomic<uint16_t> done{0};
    auto* entry = new (std::nothrow) PendingRequest;
    if (!entry) {
        library_.Free(message);
        NotSent(command, delete_when_done);
        return 1;
    }
    entry->command = command;
    entry->delete_when_done = delete_when_done;
    entry->event = event;
    if (!no_wait) {
        entry->done = &done;
        entry->thread_id = platform_.CurrentThreadId();
    }
    {
        MutexLock lock(*queue_lock_);
        entry->next = pending_;
        pending_ = entry;
        if (event) event->Reset();
    }

    if (!Enqueue(message, use_enqueue2)) {
        bool found = false;
        {
            MutexLock lock(*queue_lock_);
            for (PendingRequest** link = &pending_; *link; link = &(*link)->next) {
                if (*link == entry) {
                    *link = entry->next;
                    found = true;
                    break;
                }
            }
        }
        library_.Free(message);
        // A tick may have timed the entry out meanwhile; then the command is complete already.
        if (!found) return 1;
        delete entry;
        NotSent(command, delete_when_done);
        return 1;
    }
    if (no_wait) return 1;

    if (event) {
        event->Wait();
    } else if (!done.load()) {
        WindowMessage m;
        while (platform_.NextMessage(m) > 0 && m.message != kWmQuit) {
            PumpMessage(m);
            if (done.load()) break;
        }
    }
    if (!done.load()) {
        // The loop ended without the reply: the program is going down.
        platform_.ExitProcess(1);
        // Only a test's stand-in returns: forget the entry, which points into this frame.
        MutexLock lock(*queue_lock_);
        for (PendingRequest** link = &pending_; *link; link = &(*link)->next) {
            if (*link == entry) {
                *link = entry->next;
                delete entry;
                break;
            }
        }
        return 0;
    }
    return 1;
}

int ServiceNode::SendReply(Command* command) {
    if (raw_mode_) return 0;
    MutexLock lock(*dispatch_lock_);
    if (!(command->flags & Command::kFlagDeferredReply)) return 0;
    command->SetReturnAddr(name_);
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
    MutexLock lock(*dispatch_lock_);
    while (held_) {
        HeldMessage* h = held_;
        held_ = h->next;
        void* message = h->message;
        uint32_t elapsed = h->elapsed_ms;
        delete h;
        HandleMessage(message, elapsed);
    }
}

void ServiceNode::SetPulseInterval(int ms) {
    MutexLock lock(*queue_lock_);
    pulse_interval_ms_ = ms;
    pulse_remaining_ms_ = ms;
}

void ServiceNode::Complete(PendingRequest* entry) {
    Command* command = entry->command;
    command->OnComplete();
    if (entry->done) entry->done->store(1);
    if (entry->event) entry->event->Set();
    if (entry->thread_id) platform_.PostToThread(entry->thread_id, kWmReplyArrived);
    if (entry->delete_when_done) delete command;
    delete entry;
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
    if (!ValidateMessage(message, DeclaredLength(message), v)) {
        library_.Free(message);
        return;
    }
    if (v.type == kTypeRequest) {
        if (accepting_) {
            HandleRequest(message, v);
        } else {
            MutexLock lock(*dispatch_lock_);
            auto* h = new (std::nothrow) HeldMessage;
            if (!h) {
                library_.Free(message);
                return;
            }
            h->message = message;
            h->elapsed_ms = elapsed_ms;
            h->next = held_;
            held_ = h;
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
    int pulse_result = 1;
    {
        MutexLock lock(*queue_lock_);
        PendingRequest** link = &pending_;
        while (*link) {
            PendingRequest* e = *link;
            if (e->command->timeout_ms >= elapsed_ms) {
                e->command->timeout_ms -= elapsed_ms;
                link = &e->next;
            } else {
                *link = e->next;
                e->command->status = kStatusTimedOut;
                Complete(e);
            }
        }
        if (pulse_interval_ms_) {
            if (static_cast<int64_t>(elapsed_ms) < pulse_remaining_ms_) {
                pulse_remaining_ms_ -= static_cast<int>(elapsed_ms);
            } else {
                pulse_remaining_ms_ = pulse_interval_ms_;
                pulse_result = Pulse();
            }
        }
    }
    if (!pulse_result) RequestQuit();
}

void ServiceNode::HandleRequest(void* message, const MessageView& v) {
    std::unique_ptr<Command> command(new (std::nothrow) Command(0));
    int parsed = command ? command->ParseRequest(v) : 0;
    library_.Free(message);
    if (!parsed) return;
    int result;
    void* reply = nullptr;
    {
        MutexLock lock(*dispatch_lock_);
        result = CommandReceived(*command);
        if (command->flags & Command::kFlagDeferredReply) {
            // The handler owns it now and ends it with SendReply.
            (void)command.release();
        } else {
            command->SetReturnAddr(name_);
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
    PendingRequest* found = nullptr;
    {
        MutexLock lock(*queue_lock_);
        // A reply belongs to the request with its sequence number that went to the node the
        // reply comes from: any peer can guess a sequence number.
        for (PendingRequest** link = &pending_; *link; link = &(*link)->next) {
            Command* c = (*link)->command;
            if (c->seq_no == v.seq_no && SameNode(c->GetTargetAddr(), v.sender)) {
                found = *link;
                *link = found->next;
                break;
            }
        }
    }
    if (found) {
        found->command->ParseReply(v);
        Complete(found);
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
    Put32(ack + kMsgLen, size);
    Put16(ack + kHdrLen, kHeaderSize);
    ack[kType] = static_cast<uint8_t>(v.type | kReplyBit);
    ack[kTag] = v.tag;
    Put16(ack + kSenderLen, v.addressee_len);
    Put16(ack + kSenderOff, kHeaderSize);
    Put16(ack + kAddresseeLen, v.sender_len);
    Put16(ack + kAddresseeOff, kHeaderSize + v.addressee_len);
    Put32(ack + kSeqNo, v.seq_no);
    std::memcpy(ack + kHeaderSize, v.addressee, v.addressee_len);
    std::memcpy(ack + kHeaderSize + v.addressee_len, v.sender, v.sender_len);
    return ack;
}

void ServiceNode::Acknowledge(const MessageView& v) {
    void* ack = BuildAcknowledgement(library_, v);
    if (ack && !library_.Functions().EnqueueMessage(ack)) library_.Free(ack);
}

} // namespace pm
