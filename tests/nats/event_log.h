// A protocol sink that writes every event as one line, so two feeds can be compared.
#pragma once

#include <string>

#include "shared/nats/protocol_parser.h"

namespace pm::test {

class EventLog : public nats::ProtocolSink {
public:
    void OnInfo(const std::string& json) override { log += "INFO " + json + "\n"; }
    void OnMessage(nats::Message& m) override {
        log += "MSG " + m.subject + "|" + m.sid + "|" + m.reply + "|" + m.headers + "|" +
               m.payload + "\n";
    }
    void OnPing() override { log += "PING\n"; }
    void OnPong() override { log += "PONG\n"; }
    void OnOk() override { log += "OK\n"; }
    void OnError(const std::string& text) override { log += "ERR " + text + "\n"; }
    std::string log;
};

// Feeds `bytes` in the pieces that `cuts` (ascending offsets) mark into a `Sink` (an EventLog);
// the log, "!" and the parser's error appended when it broke.
template <typename Sink = EventLog, typename Cuts>
std::string FeedInPieces(const std::string& bytes, const Cuts& cuts,
                         size_t max_payload = nats::ProtocolParser::kDefaultMaxPayload) {
    nats::ProtocolParser parser(max_payload);
    Sink sink;
    size_t at = 0;
    auto feed = [&](size_t end) {
        const bool ok =
            parser.Feed(reinterpret_cast<const uint8_t*>(bytes.data()) + at, end - at, sink);
        at = end;
        return ok;
    };
    for (size_t cut : cuts)
        if (!feed(cut)) return sink.log + "!" + parser.Error();
    if (!feed(bytes.size())) return sink.log + "!" + parser.Error();
    return sink.log;
}

} // namespace pm::test
