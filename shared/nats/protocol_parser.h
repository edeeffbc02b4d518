// The server's side of the NATS client protocol, read byte by byte: INFO, MSG, HMSG, PING,
// PONG, +OK and -ERR. The parser owns no socket; it keeps its place across any split between
// reads (a control line cut anywhere, a payload over several reads) and hands whole events to
// a sink. Portable: no OS code here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace pm::nats {

struct Message {
    std::string subject;
    std::string sid;
    std::string reply;   // empty when the message has no reply subject
    std::string headers; // the header block of an HMSG ("NATS/1.0...\r\n\r\n"), else empty
    std::string payload;
};

class ProtocolSink {
public:
    virtual ~ProtocolSink() = default;
    virtual void OnInfo(const std::string& json) = 0;
    virtual void OnMessage(Message& message) = 0;
    virtual void OnPing() = 0;
    virtual void OnPong() = 0;
    virtual void OnOk() {}
    virtual void OnError(const std::string& text) = 0; // -ERR, quotes removed
};

class ProtocolParser {
public:
    // Longest control line (INFO with many connect_urls fits) and largest payload accepted.
    static constexpr size_t kMaxLine = 64 * 1024;
    static constexpr size_t kDefaultMaxPayload = 64 * 1024 * 1024;

    explicit ProtocolParser(size_t max_payload = kDefaultMaxPayload) : max_payload_(max_payload) {}

    // Feeds bytes; events go to `sink` as they complete. False once the stream broke the
    // protocol (then Error() says how, and every later call answers false until Reset).
    bool Feed(const uint8_t* data, size_t size, ProtocolSink& sink);
    void Reset();
    [[nodiscard]] const std::string& Error() const { return error_; }

private:
    enum class State { kLine, kPayload, kPayloadEnd, kBroken };
    bool Fail(const std::string& why);
    bool HandleLine(ProtocolSink& sink);

    size_t max_payload_;
    State state_ = State::kLine;
    std::string line_;
    Message pending_;
    size_t header_bytes_ = 0;
    size_t total_bytes_ = 0;
    std::string body_;
    int end_seen_ = 0; // of the "\r\n" after a payload
    std::string error_;
};

} // namespace pm::nats
