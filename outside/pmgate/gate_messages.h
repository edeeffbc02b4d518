// What the gate publishes for one reply: a status without payload ("Pm-Status"), or the node's
// reply in numbered pieces ("Pm-Piece: i/n", "Pm-Size"); and one alert for the stream.
// Portable.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "outside/pmgate/gate_bus.h"
#include "shared/remote/alerts.h"
#include "shared/remote/statuses.h"

namespace pm::gate {

// A gate status without payload.
BusMessage StatusMessage(const std::string& reply_subject, remote::GateStatus status);

// The node's reply in pieces of at most `piece_size` bytes, in order.
std::vector<BusMessage> ReplyPieces(const std::string& reply_subject, const std::string& reply,
                                    size_t piece_size);

// One alert for the stream: to procmgr.<machine>.alerts with "Nats-Msg-Id" `message_id` (as
// AlertIds tags it), stored only while the subject's last sequence is `expect`, the stream's
// answer asked to `reply_subject`.
BusMessage AlertMessage(const remote::AlertRecord& alert, const std::string& message_id,
                        uint64_t expect, const std::string& reply_subject);

// The prefix of a runner's own answer subjects, "procmgr.<machine>.acks.<kind><random hex>-":
// the random part keeps a message someone else publishes there (the operator may publish on a
// machine's subjects) from being taken for an answer.
std::string AnswerPrefix(const std::string& machine, char kind);

} // namespace pm::gate
