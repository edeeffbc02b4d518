// Bus messages as protocol lines. Portable.
#include "outside/pmgate/gate_bus.h"

#include "shared/nats/client_state.h"
#include "shared/nats/headers.h"

namespace pm::gate {

std::string BusLines(const BusMessage& m) {
    if (m.headers.empty()) return nats::ClientState::PubLines(m.subject, m.reply, m.payload);
    return nats::ClientState::HPubLines(m.subject, m.reply, nats::BuildHeaderBlock(m.headers),
                                        m.payload);
}

} // namespace pm::gate
