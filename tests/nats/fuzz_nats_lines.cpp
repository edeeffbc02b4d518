// Server lines under libFuzzer: any bytes, fed whole, then split at every byte (the first
// 512 bytes' worth of split points), must give the same events or break at the same place;
// every INFO and header block seen goes through its reader too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shared/nats/headers.h"
#include "shared/nats/protocol_parser.h"
#include "shared/nats/server_info.h"

namespace {

class Sink final : public pm::nats::ProtocolSink {
public:
    void OnInfo(const std::string& json) override {
        pm::nats::ServerInfo info;
        pm::nats::ParseServerInfo(json, info);
        log += "I" + json + "\n";
    }
    void OnMessage(pm::nats::Message& m) override {
        if (!m.headers.empty()) {
            pm::nats::HeaderBlock h;
            pm::nats::ParseHeaderBlock(m.headers, h);
        }
        log += "M" + m.subject + "|" + m.sid + "|" + m.reply + "|" + m.headers + "|" + m.payload;
    }
    void OnPing() override { log += "P"; }
    void OnPong() override { log += "O"; }
    void OnOk() override { log += "K"; }
    void OnError(const std::string& t) override { log += "E" + t; }
    std::string log;
};

std::string Run(const uint8_t* data, size_t size, size_t cut) {
    pm::nats::ProtocolParser parser(1 << 16);
    Sink sink;
    bool ok = parser.Feed(data, cut, sink);
    if (ok) ok = parser.Feed(data + cut, size - cut, sink);
    return sink.log + (ok ? "" : "!" + parser.Error());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string whole = Run(data, size, size);
    const size_t cuts = size < 512 ? size : 512;
    for (size_t cut = 0; cut < cuts; ++cut)
        if (Run(data, size, cut) != whole) std::abort();
    return 0;
}
