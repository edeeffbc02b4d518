// The gate's connection to the cluster.
#include "outside/pmgate/gate_link_win.h"

#include "shared/remote/pieces.h"

namespace pm::gate {

nats::ConnectionSettings GateLink::Settings(const LinkSettings& s) {
    nats::ConnectionSettings c;
    c.servers = s.servers;
    c.connect = s.connect;
    c.keep_alive = nats::KeepAlive{5000, 2};
    c.seed = static_cast<uint32_t>(GetTickCount() ^ GetCurrentProcessId());
    c.keep_queued_on_loss = true; // a reply still finds its console through another server
    return c;
}

GateLink::GateLink(LinkSettings settings, TraceFn trace)
    : dialer_(settings.ca_file, settings.client_cert),
      conn_(Settings(settings), dialer_, std::move(trace)) {}

void GateLink::Subscribe(const std::string& subject) {
    conn_.Subscribe(subject, [this](nats::Message& m) {
        if (const MessageFn* f = on_message_.load()) (*f)(m);
    });
}

size_t GateLink::PieceSize() const {
    return remote::PieceSize(conn_.MaxPayload());
}

int GateLink::Run(const MessageFn& on_message, std::string& fatal) {
    on_message_ = &on_message;
    std::string why;
    conn_.Open(why); // unreachable servers are tried again until Stop
    conn_.WaitEnded();
    on_message_ = nullptr;
    fatal = conn_.Fatal();
    return fatal.empty() ? 0 : 3;
}

} // namespace pm::gate
