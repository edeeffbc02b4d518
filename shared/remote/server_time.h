// What the servers say of a pulled request's times, by their own clock: a machine's clock may
// be minutes wrong, so the gate judges a request's age by these where it has them. Portable:
// no OS code and no NATS here.
#pragma once

#include <cstdint>
#include <string>

namespace pm::remote {

// 0: not said.
struct ServerTimes {
    uint64_t stored_ms = 0;    // when the stream stored the request (ms since 1970, UTC)
    uint64_t delivered_ms = 0; // when the consumer delivered it
};

// A pulled message's ack subject,
// $JS.ACK.<stream>.<consumer>.<delivered>.<stream seq>.<consumer seq>.<stored, ns>.<pending>
// (or with a domain and an account hash before the stream, and tokens after the pending
// count): its stream sequence and stored time. False, both untouched, for any other subject.
bool ReadAckSubject(const std::string& reply, uint64_t& stream_seq, uint64_t& stored_ms);

// $JS.API.CONSUMER.INFO's answer: the last delivered message's stream sequence and its time
// (delivered.last_active). False, both untouched, when either is missing.
bool ReadLastDelivery(const std::string& answer, uint64_t& stream_seq, uint64_t& at_ms);

// An RFC 3339 time as the servers write it ("2026-12-08T08:34:15.528340502Z", or with an
// offset such as "+01:00") in ms since 1970; false for anything else or a time before 1970.
bool ParseUtcTime(const std::string& text, uint64_t& ms);

} // namespace pm::remote
