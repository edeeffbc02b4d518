// The library's limits against peers that misbehave or overload a node. Portable: values only.
// clang-format off
//
// | Limit                    | Value    | What happens beyond it                                   |
// |--------------------------|----------|----------------------------------------------------------|
// | connections per node     | 62       | no further pipe instance is offered until one ends:      |
// |                          |          | clients see the pipe busy and wait (WaitNamedPipe)       |
// | queued messages per node | 1024     | the message is refused (dropped by the receiver)         |
// | queued bytes per node    | 128 MiB  | the same                                                 |
// | write time limit         | 3000 ms  | the connection is dropped and its node is not written to |
// |                          |          | again for kPenaltyMs                                     |
// | stall in a message       | 5000 ms  | a peer that stops in the middle of a frame is dropped    |
// | silent peer              | 60000 ms | a connection that sends nothing is closed                |
// | silent peer at the cap   | 5000 ms  | with every slot taken, the peer silent longest (not in a |
// |                          |          | frame) is closed to make room                            |
// | cached connections       | 32       | the least recently used idle one is closed               |
// | idle cached connection   | 30000 ms | closed; also closed at once when its node has gone       |
// | kept message buffers     | 8, 4 MiB | released large buffers beyond these go back to the heap  |
//
// clang-format on
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavipc {

// One thread waits on all of a node's connections: the stop event, the listening instance and
// the peers must fit into one WaitForMultipleObjects (64 handles).
constexpr size_t kMaxConnectionsPerNode = 62;
constexpr size_t kMaxQueuedMessages = 1024;
constexpr size_t kMaxQueuedBytes = 128u * 1024 * 1024;
constexpr uint32_t kWriteTimeoutMs = 3000;
constexpr uint32_t kPenaltyMs = 10000;
constexpr uint32_t kConnectWaitMs = 20000;
constexpr uint32_t kStallTimeoutMs = 5000;
constexpr uint32_t kSilentPeerMs = 60000;
constexpr uint32_t kCrowdedSilentMs = 5000;
constexpr size_t kMaxCachedConnections = 32;
constexpr uint32_t kIdleConnectionMs = 30000;

} // namespace kavipc
