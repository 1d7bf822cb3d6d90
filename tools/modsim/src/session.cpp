#include "modsim/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "modsim/endpoint.h"
#include "modsim/module.h"

namespace modsim {

namespace {
constexpr std::size_t kMaxBuffered = 1 << 20;
constexpr long kLastByte = -2;
}  // namespace

Session::Session(EventLoop& loop, Endpoint& endpoint, int inFd, int outFd, Framing framing,
                 bool persistent)
    : loop_(loop),
      endpoint_(endpoint),
      inFd_(inFd),
      outFd_(outFd),
      framing_(framing),
      persistent_(persistent) {
    link_.chunk = framing == Framing::Cobs ? 23 : 24;  // a serial frame carries 27 data bytes
}

Session::~Session() {
    cancelTimers();
    closeFds();
}

void Session::start() {
    std::weak_ptr<Session> weak = shared_from_this();
    loop_.addFd(inFd_, POLLIN, [weak](short revents) {
        if (auto self = weak.lock())
            self->onEvents(revents);
    });
    endpoint_.module().counters().inc("connections");
    afterPacket();
}

void Session::closeFds() {
    if (inFd_ >= 0) {
        loop_.removeFd(inFd_);
        if (outFd_ != inFd_ && outFd_ >= 0) {
            loop_.removeFd(outFd_);
            close(outFd_);
        }
        close(inFd_);
    }
    inFd_ = outFd_ = -1;
}

void Session::cancelTimers() {
    for (uint64_t* t : {&heartbeatTimer_, &streamTimer_, &loadReplyTimer_}) {
        if (*t)
            loop_.cancelTimer(*t);
        *t = 0;
    }
    heartbeatPending_ = false;
}

void Session::resetLink() {
    cancelTimers();
    parser_.reset();
    frames_ = FrameDecoder();
    std::size_t chunk = link_.chunk;
    link_ = LinkState();
    link_.chunk = chunk;
    outBuf_.clear();
}

void Session::drop() {
    if (closed())
        return;
    endpoint_.module().counters().inc("links_dropped");
    if (persistent_) {
        resetLink();
        return;
    }
    cancelTimers();
    closeFds();
    endpoint_.sessionEnded();
}

void Session::setMuted(bool muted) {
    muted_ = muted;
    if (muted) {
        resetLink();
    } else {
        afterPacket();
    }
}

void Session::onEvents(short revents) {
    if (revents & POLLOUT)
        flush();
    if (closed())
        return;
    if (revents & (POLLIN | POLLHUP | POLLERR)) {
        uint8_t buffer[4096];
        ssize_t n = read(inFd_, buffer, sizeof buffer);
        if (n > 0) {
            auto keep = shared_from_this();
            onBytes(buffer, static_cast<std::size_t>(n));
            flush();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            // The host went away.
            cancelTimers();
            closeFds();
            endpoint_.sessionEnded();
        }
    }
}

void Session::onBytes(const uint8_t* bytes, std::size_t count) {
    if (muted_)
        return;
    for (std::size_t i = 0; i < count && !closed() && !muted_; ++i) {
        if (framing_ == Framing::Cobs) {
            auto r = frames_.feed(bytes[i]);
            if (r == FrameDecoder::Result::Bad)
                endpoint_.module().counters().inc("bad_frames");
            if (r == FrameDecoder::Result::Complete)
                onPacket(frames_.packet());
            continue;
        }
        auto r = parser_.feed(bytes[i]);
        if (r == PacketParser::Result::Error) {
            endpoint_.module().counters().inc("framing_errors");
            parser_.reset();
        } else if (r == PacketParser::Result::Complete) {
            Packet packet = parser_.packet();
            onPacket(packet);
        }
    }
}

void Session::onPacket(const Packet& packet) {
    Module& module = endpoint_.module();
    module.counters().inc("link_packets_in");
    if (module.faults().trigger(Fault::Kind::DropAfter)) {
        module.counters().inc("faults_fired");
        drop();
        return;
    }
    const auto& d = packet.data;
    if (packet.address == kSyncAddress && d.empty()) {
        module.counters().inc("sync_requests");
        send({Packet(module.address(), {})});
        if (module.bootLoader().pendingLoadReply) {
            // The loader announces its start once the host has settled on the
            // new link: after a quiet spell without synchronisation requests.
            if (loadReplyTimer_)
                loop_.cancelTimer(loadReplyTimer_);
            std::weak_ptr<Session> weak = shared_from_this();
            loadReplyTimer_ = loop_.addTimer(module.config().loadReplyQuietMs, [weak] {
                auto self = weak.lock();
                if (!self)
                    return;
                self->loadReplyTimer_ = 0;
                Module& m = self->endpoint_.module();
                if (!m.bootLoader().pendingLoadReply)
                    return;
                m.bootLoader().pendingLoadReply = false;
                m.counters().inc("late_load_replies");
                self->send({Packet(m.address(), {95, 2})});
                self->flush();
            });
        }
        return;
    }
    if (packet.address == kRouteAddress && d.size() == 1) {
        link_.routeForced = d[0] != 0;
        module.counters().inc(d[0] ? "route_forcing_on" : "route_forcing_off");
        return;
    }
    if (packet.address == module.address()) {
        if (d.size() == 2 && d[0] == 0) {  // heartbeat reply
            uint8_t expected = module.config().heartbeatDown ? 3 : 2;
            if (heartbeatPending_ && d[1] == expected) {
                heartbeatPending_ = false;
                module.counters().inc("heartbeat_replies");
            } else {
                module.counters().inc("heartbeat_bad_replies");
            }
            return;
        }
        Outcome out;
        module.handle(packet, link_, out);
        apply(module, false, out);
    } else if (Module* sub = link_.routing() ? module.subModuleAt(packet.address) : nullptr) {
        module.counters().inc("routed_packets");
        Outcome out;
        sub->handle(packet, link_, out);
        apply(*sub, true, out);
    } else {
        module.counters().inc("unaddressed_packets");
    }
    if (!closed())
        afterPacket();
}

void Session::apply(Module& target, bool isSub, Outcome& out) {
    if (!out.replies.empty())
        send(std::move(out.replies));
    switch (out.action) {
        case Outcome::Action::None:
            break;
        case Outcome::Action::DropLink:
            drop();
            break;
        case Outcome::Action::Restart:
            if (isSub) {
                // A sub-module restarts on its own; the router's link stays.
                target.goOffline(out.comeBackMs, out.applyImage);
            } else {
                flush();
                endpoint_.restart(out.comeBackMs, out.applyImage);
            }
            break;
    }
}

void Session::afterPacket() {
    if (closed() || muted_)
        return;
    Module& module = endpoint_.module();
    std::weak_ptr<Session> weak = shared_from_this();
    if (!heartbeatTimer_ && module.heartbeatMs() > 0) {
        heartbeatTimer_ = loop_.addTimer(module.heartbeatMs(), [weak] {
            if (auto self = weak.lock())
                self->heartbeat();
        });
    }
    if (!streamTimer_ && !link_.subscriptions.empty()) {
        streamTimer_ = loop_.addTimer(module.config().streamPeriodMs, [weak] {
            if (auto self = weak.lock())
                self->streamTick();
        });
    }
}

void Session::heartbeat() {
    heartbeatTimer_ = 0;
    Module& module = endpoint_.module();
    if (closed() || muted_ || module.heartbeatMs() <= 0)
        return;
    if (heartbeatPending_)
        module.counters().inc("heartbeats_missed");
    heartbeatPending_ = true;
    module.counters().inc("heartbeats_sent");
    send({Packet(module.address(),
                 {0, static_cast<uint8_t>(module.config().heartbeatDown ? 1 : 0)})});
    flush();
    afterPacket();
}

void Session::streamTick() {
    streamTimer_ = 0;
    if (closed() || muted_)
        return;
    Module& module = endpoint_.module();
    std::vector<Packet> samples;
    for (uint32_t key : link_.subscriptions) {
        uint8_t address = static_cast<uint8_t>(key >> 24);
        Module* source = address == module.address() ? &module
                         : link_.routing()           ? module.subModuleAt(address)
                                                     : nullptr;
        if (!source)
            continue;
        for (Packet& p : source->streamSamples(key, address))
            samples.push_back(std::move(p));
    }
    if (!samples.empty())
        send(std::move(samples));
    flush();
    afterPacket();
}

void Session::send(std::vector<Packet> packets) {
    if (closed() || muted_)
        return;
    Module& module = endpoint_.module();
    // Where to flip a byte of each packet's bytes on the line (-1: nowhere,
    // kLastByte: its last byte, or the last before a frame's delimiter).
    std::vector<long> corrupt(packets.size(), -1);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        if (Fault* f = module.faults().trigger(Fault::Kind::Corrupt)) {
            module.counters().inc("faults_fired");
            corrupt[i] = f->hasArg ? static_cast<long>(f->arg) : kLastByte;
        }
    }
    if (const Fault* delay = module.faults().find(Fault::Kind::Delay)) {
        std::weak_ptr<Session> weak = shared_from_this();
        loop_.addTimer(static_cast<int>(delay->arg), [weak, packets, corrupt] {
            auto self = weak.lock();
            if (!self || self->closed() || self->muted_)
                return;
            self->emit(packets, corrupt);
            self->flush();
        });
        return;
    }
    emit(packets, corrupt);
}

void Session::emit(const std::vector<Packet>& packets, const std::vector<long>& corrupt) {
    Module& module = endpoint_.module();
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const Packet& p = packets[i];
        std::vector<uint8_t> bytes = framing_ == Framing::Cobs ? encodeFrame(p) : p.wire();
        long at = corrupt[i];
        if (at == kLastByte)
            at = static_cast<long>(bytes.size()) - (framing_ == Framing::Cobs ? 2 : 1);
        if (at >= 0 && static_cast<std::size_t>(at) < bytes.size())
            bytes[at] ^= 0xFF;
        outBuf_.insert(outBuf_.end(), bytes.begin(), bytes.end());
        module.counters().inc("packets_out");
    }
    if (outBuf_.size() > kMaxBuffered) {
        // The host stopped reading; a real module would lose these too.
        module.counters().inc("output_overflows");
        outBuf_.clear();
    }
}

void Session::flush() {
    if (closed())
        return;
    while (!outBuf_.empty()) {
        // No SIGPIPE from a socket whose host has gone.
        ssize_t n = ::send(outFd_, outBuf_.data(), outBuf_.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = write(outFd_, outBuf_.data(), outBuf_.size());
        if (n > 0) {
            outBuf_.erase(outBuf_.begin(), outBuf_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        outBuf_.clear();  // the host is gone; the read side notices
        break;
    }
    short events = POLLIN | (outBuf_.empty() ? 0 : POLLOUT);
    if (outFd_ == inFd_) {
        loop_.setEvents(inFd_, events);
    } else if (!outBuf_.empty()) {
        std::weak_ptr<Session> weak = shared_from_this();
        loop_.addFd(outFd_, POLLOUT, [weak](short) {
            if (auto self = weak.lock())
                self->flush();
        });
    } else {
        loop_.removeFd(outFd_);
    }
}

}  // namespace modsim
