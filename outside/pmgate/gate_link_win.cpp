// The gate's connection to the cluster.
#include "outside/pmgate/gate_link_win.h"

#include "shared/nats/server_link_win.h"
#include "shared/nats/server_pool.h"
#include "shared/remote/pieces.h"

namespace pm::gate {
namespace {

constexpr size_t kMaxQueued = 256u * 1024 * 1024;
constexpr DWORD kHandshakeMs = 5000;

uint64_t NowMs() {
    return GetTickCount64();
}

} // namespace

GateLink::GateLink(LinkSettings settings, TraceFn trace)
    : settings_(std::move(settings)), trace_(std::move(trace)), client_(nats::KeepAlive{5000, 2}),
      wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

GateLink::~GateLink() {
    if (wake_ != nullptr) CloseHandle(wake_);
}

void GateLink::Subscribe(const std::string& subject) {
    client_.Subscribe(subject);
}

void GateLink::Publish(std::string lines) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(out_lock_);
        if (out_.size() + lines.size() > kMaxQueued) return;
        // The link takes everything queued at once: one wake-up per batch, not per reply
        // (each is a trip to the system, which the link's reading shares under load).
        wake = out_.empty();
        out_ += lines;
    }
    if (wake) SetEvent(wake_);
}

void GateLink::Stop() {
    stop_ = true;
    SetEvent(wake_);
}

int GateLink::Run(const MessageFn& on_message, std::string& fatal) {
    nats::ServerPool pool(settings_.servers,
                          static_cast<uint32_t>(GetTickCount() ^ GetCurrentProcessId()));
    while (!stop_) {
        const nats::ServerPool::Pick pick = pool.Next(NowMs());
        if (pick.wait_ms > 0) {
            WaitForSingleObject(wake_,
                                static_cast<DWORD>(pick.wait_ms > 1000 ? 1000 : pick.wait_ms));
            continue;
        }
        const nats::ServerUrl url = pool.Url(pick.index);
        announced_.clear();
        const End end = Session(url, on_message, fatal);
        connected_ = false;
        if (!announced_.empty() && pool.AddAnnounced(announced_) > 0)
            trace_("--pool now holds " + std::to_string(pool.Size()) + " servers");
        if (end == End::kFatal) return 3;
        if (end == End::kStopped) break;
        if (end == End::kLost) pool.Succeeded(pick.index);
        pool.Failed(pick.index, NowMs());
    }
    return 0;
}

GateLink::End GateLink::Session(const nats::ServerUrl& url, const MessageFn& on_message,
                                std::string& fatal) {
    nats::ServerLink link;
    std::string why;
    switch (link.Start(url, settings_.ca_file, client_, settings_.connect, kHandshakeMs, why,
                       settings_.client_cert)) {
    case nats::ServerLink::Open::kOk:
        break;
    case nats::ServerLink::Open::kRefused:
        fatal = why;
        return End::kFatal;
    case nats::ServerLink::Open::kUnreachable:
        trace_("!!connect " + url.Text() + ": " + why);
        return End::kNeverConnected;
    }
    nats::LinkEvents& events = link.Events();
    piece_size_ = remote::PieceSize(events.info.max_payload);
    announced_ = events.info.connect_urls;
    events.new_info = false;
    if (!link.Send(client_.ResubscribeLines())) return End::kNeverConnected;
    if (greeting_ && !link.Send(greeting_())) return End::kNeverConnected;
    connected_ = true;
    trace_("--connected to " + url.Text() + " (" + events.info.server_name + "), max_payload " +
           std::to_string(events.info.max_payload));

    // Serving: the socket and the wake event, with a tick for the keep-alive.
    client_.Connected(NowMs());
    events.on_message = on_message;
    HANDLE waits[2] = {link.ReadEvent(), wake_};
    for (;;) {
        if (stop_) return End::kStopped;
        const DWORD w = WaitForMultipleObjects(2, waits, FALSE, 500);
        if (w == WAIT_OBJECT_0) {
            switch (link.ReadAvailable(why)) {
            case nats::ServerLink::Read::kOk:
                client_.HeardFromServer(NowMs());
                break;
            case nats::ServerLink::Read::kClosed:
            case nats::ServerLink::Read::kBroken:
                trace_("!!" + url.Text() + ": " + why);
                return End::kLost;
            }
        }
        for (; events.pongs > 0; --events.pongs)
            client_.PongReceived();
        std::string out;
        for (; events.pings > 0; --events.pings)
            out += "PONG\r\n";
        for (const std::string& e : events.errors) {
            trace_("!!server: " + e);
            if (nats::ServerLink::IsRefusal(e)) {
                fatal = url.Text() + ": the server refused the credentials (" + e + ")";
                return End::kFatal;
            }
        }
        events.errors.clear();
        if (events.new_info) {
            events.new_info = false;
            piece_size_ = remote::PieceSize(events.info.max_payload);
            announced_ = events.info.connect_urls;
        }
        switch (client_.OnTick(NowMs())) {
        case nats::ClientState::Tick::kSendPing:
            out += "PING\r\n";
            break;
        case nats::ClientState::Tick::kStale:
            trace_("!!" + url.Text() + ": no PONG to two PINGs");
            return End::kLost;
        case nats::ClientState::Tick::kNothing:
            break;
        }
        {
            std::lock_guard<std::mutex> hold(out_lock_);
            out += out_;
            out_.clear();
        }
        if (!link.Send(out)) {
            trace_("!!" + url.Text() + ": sending failed");
            return End::kLost;
        }
    }
}

} // namespace pm::gate
