// The seam between a connection's logic and the system: a byte stream to one server, opened
// by a dialer, upgraded to TLS on demand. Windows: Winsock and Schannel (server_stream_win);
// Linux: plain loopback sockets for the native tests (server_stream_posix). Portable header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "shared/nats/server_url.h"

namespace pm::nats {

class ServerStream {
public:
    virtual ~ServerStream() = default;

    enum class Read {
        kData,   // bytes were appended
        kIdle,   // the wait ended (time or Wake) with nothing read
        kClosed, // the server closed the connection
        kBroken, // reading or decrypting failed
    };
    // Appends what can be read (decrypted), waiting at most `wait_ms` for the first byte or
    // until Wake(); `why` says how the stream ended for kClosed and kBroken.
    virtual Read ReadSome(std::string& into, uint32_t wait_ms, std::string& why) = 0;
    // Sends all of `bytes` (encrypted once TLS is on); false when the connection failed.
    virtual bool Write(const std::string& bytes) = 0;
    // Ends a ReadSome wait early; callable from any thread.
    virtual void Wake() = 0;
    // Runs the TLS handshake for `host` on the stream, trusting what the dialer was set up to
    // trust; false with one line, and `refused` set unless the link failed midway (closed, or
    // no answer in time: another try, or another server, may do).  Bytes read with the
    // handshake stay for the next ReadSome.
    virtual bool StartTls(const std::string& host, std::string& why, bool& refused) = 0;
};

class Dialer {
public:
    virtual ~Dialer() = default;
    // A connection to `url` within a few seconds, or null with one line in `why`. With
    // `loopback_only` set, an address off the loopback is never connected to, whatever the
    // name resolves to.
    virtual std::unique_ptr<ServerStream> Dial(const ServerUrl& url, bool loopback_only,
                                               std::string& why) = 0;
    // Milliseconds of a monotonic clock.
    virtual uint64_t NowMs() = 0;
};

} // namespace pm::nats
