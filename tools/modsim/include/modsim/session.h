// One link between a host and a directly reachable module (or router): it
// takes bytes off a descriptor, answers synchronisation requests and route
// forcing, sends heartbeats and stream samples, hands everything else to the
// module or to a sub-module behind it, and writes the answers back.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "modsim/cobs.h"
#include "modsim/event_loop.h"
#include "modsim/outcome.h"
#include "modsim/packet.h"

namespace modsim {

class Endpoint;
class Module;

constexpr uint8_t kSyncAddress = 0xAD;
constexpr uint8_t kRouteAddress = 0xAF;

class Session : public std::enable_shared_from_this<Session> {
  public:
    enum class Framing { Raw, Cobs };

    // `persistent` links (a serial line, a pipe) are not closed when the
    // module drops its link: they are reset and stay silent until it is back.
    Session(EventLoop& loop, Endpoint& endpoint, int inFd, int outFd, Framing framing,
            bool persistent);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void start();
    // Drops the link (closes it, or resets a persistent one).
    void drop();
    void setMuted(bool muted);
    bool closed() const { return inFd_ < 0; }
    const LinkState& link() const { return link_; }

  private:
    void onEvents(short revents);
    void onBytes(const uint8_t* bytes, std::size_t count);
    void onPacket(const Packet& packet);
    void apply(Module& target, bool isSub, Outcome& out);
    void send(std::vector<Packet> packets);
    void emit(const std::vector<Packet>& packets, const std::vector<long>& corrupt);
    void flush();
    void closeFds();
    void resetLink();
    void afterPacket();
    void heartbeat();
    void streamTick();
    void cancelTimers();

    EventLoop& loop_;
    Endpoint& endpoint_;
    int inFd_;
    int outFd_;
    Framing framing_;
    bool persistent_;
    bool muted_ = false;
    PacketParser parser_;
    FrameDecoder frames_;
    LinkState link_;
    std::vector<uint8_t> outBuf_;
    uint64_t heartbeatTimer_ = 0;
    bool heartbeatPending_ = false;
    uint64_t streamTimer_ = 0;
    uint64_t loadReplyTimer_ = 0;
};

}  // namespace modsim
