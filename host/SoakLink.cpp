#include "host/SoakLink.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <random>
#include <set>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace host::soak {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

constexpr std::size_t kPiece = 16 * 1024;
// What a direction holds between the two sides before it stops reading: a slow link holds
// little, so that the client's own socket has to take the body at the link's pace.
constexpr std::size_t kHeld = 1024 * 1024;
constexpr std::size_t kHeldSlow = 8 * 1024;
constexpr std::size_t kPieceSlow = 2 * 1024;

struct Conditions {
    bool cut = false;
    bool stalled = false;
    int rate = 0;  // bytes per second client to server; 0: full speed
    int lateMs = 0;
    int jitterMs = 0;
};

}  // namespace

struct SoakLink::Impl {
    class Connection;

    Impl(std::string client, Timeline& timeline) : who(std::move(client)), timeline(timeline) {}

    void say(const std::string& text) { timeline.add(who, Side::Link, text); }
    // The delay a piece takes now, with its jitter.
    Clock::duration delay() {
        if (conditions.lateMs <= 0)
            return {};
        std::uniform_int_distribution<int> jitter(-conditions.jitterMs, conditions.jitterMs);
        return std::chrono::milliseconds(std::max(0, conditions.lateMs + jitter(random)));
    }
    void accept(tcp::acceptor& acceptor, tcp::endpoint backend, const char* kind);
    template <class F>
    void each(F f) {
        const auto all = live;  // f may end a connection, which leaves the set
        for (const auto& c : all)
            f(*c);
    }

    std::string who;
    Timeline& timeline;
    asio::io_context ioc;
    asio::executor_work_guard<asio::io_context::executor_type> work{ioc.get_executor()};
    tcp::acceptor wsAcceptor{ioc};
    tcp::acceptor uploadAcceptor{ioc};
    int wsPort = 0;
    int uploadPort = 0;
    Conditions conditions;
    std::set<std::shared_ptr<Connection>> live;
    int lastId = 0;
    std::mt19937 random{12345};
    std::thread thread;
};

// One connection through the link: the client's side, the backend's, and a pump each way.
class SoakLink::Impl::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Impl& link, int id, const char* kind, tcp::socket client)
        : link_(link),
          name_(std::string(kind) + "#" + std::to_string(id)),
          client_(std::move(client)),
          server_(link.ioc),
          up_(client_, server_, true, link.ioc),
          down_(server_, client_, false, link.ioc) {}

    const std::string& name() const { return name_; }
    bool dead() const { return dead_; }

    // Reaches the backend, unless the link is cut (then it is dead from the start).
    void begin(tcp::endpoint backend) {
        if (link_.conditions.cut) {
            dead_ = true;
            return;
        }
        server_.async_connect(backend, [self = shared_from_this()](const error_code& ec) {
            if (self->ended_ || self->dead_)
                return;
            if (ec) {
                // As a refused connection shows: at once, and hard.
                self->link_.say(self->name_ + " the backend refused (" + ec.message() + ")");
                self->reset();
                return;
            }
            self->connected_ = true;
            self->pump();
        });
        read(up_);
    }

    // Everything moves again as far as the conditions let it.
    void pump() {
        for (Pump* p : {&up_, &down_}) {
            read(*p);
            write(*p);
        }
    }

    // The flow is forgotten: the backend's side is dropped, the client's kept open and unread.
    void cut() {
        dead_ = true;
        error_code ignored;
        server_.close(ignored);
        for (Pump* p : {&up_, &down_}) {
            p->timer.cancel();
            p->queue.clear();
            p->held = 0;
        }
    }

    // An RST to the client and the backend's side closed.
    void reset() {
        error_code ignored;
        client_.set_option(asio::socket_base::linger(true, 0), ignored);
        end("reset");
    }

    // Closes both sides, once.
    void end(const std::string& why) {
        if (ended_)
            return;
        ended_ = true;
        error_code ignored;
        client_.close(ignored);
        server_.close(ignored);
        up_.timer.cancel();
        down_.timer.cancel();
        link_.say(name_ + " closed (" + why + "; " + std::to_string(up_.total) + " bytes up, " +
                  std::to_string(down_.total) + " down)");
        link_.live.erase(shared_from_this());
    }

private:
    struct Chunk {
        std::string bytes;
        Clock::time_point at;  // not to be written before
    };
    struct Pump {
        Pump(tcp::socket& from, tcp::socket& to, bool up, asio::io_context& ioc)
            : from(from), to(to), up(up), timer(ioc) {}
        tcp::socket& from;
        tcp::socket& to;
        const bool up;  // client to server
        asio::steady_timer timer;
        std::array<char, kPiece> buffer{};
        std::deque<Chunk> queue;
        std::size_t held = 0;
        std::uint64_t total = 0;
        bool reading = false;
        bool writing = false;  // a write, or the wait before one, is under way
        bool over = false;     // the side it reads from has ended
        Clock::time_point lastAt{};
        Clock::time_point nextWriteAt{};
    };

    bool slowed(const Pump& p) const { return p.up && link_.conditions.rate > 0; }

    void read(Pump& p) {
        if (p.reading || p.over || ended_ || dead_ || p.held >= (slowed(p) ? kHeldSlow : kHeld))
            return;
        if (!p.up && !connected_)
            return;
        p.reading = true;
        const std::size_t want = slowed(p) ? kPieceSlow : kPiece;
        p.from.async_read_some(
            asio::buffer(p.buffer.data(), want),
            [self = shared_from_this(), &p](const error_code& ec, std::size_t n) {
                p.reading = false;
                if (self->ended_ || self->dead_)
                    return;
                if (ec) {
                    p.over = true;
                    self->drained(p);
                    return;
                }
                const auto at = std::max(p.lastAt, Clock::now() + self->link_.delay());
                p.lastAt = at;
                p.queue.push_back({std::string(p.buffer.data(), n), at});
                p.held += n;
                self->write(p);
                self->read(p);
            });
    }

    void write(Pump& p) {
        if (p.writing || p.queue.empty() || ended_ || dead_ || !connected_ ||
            link_.conditions.stalled)
            return;
        const auto at =
            std::max(p.queue.front().at, slowed(p) ? p.nextWriteAt : Clock::time_point{});
        p.writing = true;
        if (Clock::now() < at) {
            p.timer.expires_at(at);
            p.timer.async_wait([self = shared_from_this(), &p](const error_code& ec) {
                p.writing = false;
                if (!ec)
                    self->write(p);
            });
            return;
        }
        asio::async_write(p.to, asio::buffer(p.queue.front().bytes),
                          [self = shared_from_this(), &p](const error_code& ec, std::size_t n) {
                              p.writing = false;
                              if (self->ended_ || self->dead_)
                                  return;
                              if (ec)
                                  return self->end("write failed: " + ec.message());
                              p.queue.pop_front();
                              p.held -= n;
                              p.total += n;
                              if (self->slowed(p))
                                  p.nextWriteAt = Clock::now() +
                                                  std::chrono::microseconds(
                                                      n * 1'000'000 / self->link_.conditions.rate);
                              self->write(p);
                              self->read(p);
                              self->drained(p);
                          });
    }

    // A side that ended closes the connection once what it sent has been passed on.
    void drained(Pump& p) {
        if (p.over && p.queue.empty() && !p.writing)
            end(p.up ? "by the client" : "by the backend");
    }

    Impl& link_;
    std::string name_;
    tcp::socket client_;
    tcp::socket server_;
    Pump up_;
    Pump down_;
    bool connected_ = false;
    bool dead_ = false;
    bool ended_ = false;
};

void SoakLink::Impl::accept(tcp::acceptor& acceptor, tcp::endpoint backend, const char* kind) {
    acceptor.async_accept([this, &acceptor, backend, kind](const error_code& ec, tcp::socket s) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!ec) {
            auto c = std::make_shared<Connection>(*this, ++lastId, kind, std::move(s));
            live.insert(c);
            say(c->name() + " open" + (conditions.cut ? " (cut: left unanswered)" : ""));
            c->begin(backend);
        }
        accept(acceptor, backend, kind);
    });
}

SoakLink::SoakLink(std::string client, Timeline& timeline)
    : impl_(std::make_unique<Impl>(std::move(client), timeline)) {}

SoakLink::~SoakLink() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        error_code ignored;
        impl->wsAcceptor.close(ignored);
        impl->uploadAcceptor.close(ignored);
        impl->each([](auto& c) { c.end("the evening is over"); });
        impl->work.reset();
    });
    if (impl_->thread.joinable())
        impl_->thread.join();
}

bool SoakLink::start(int backendWsPort, int backendUploadPort) {
    const auto loopback = asio::ip::address_v4::loopback();
    try {
        for (auto* acceptor : {&impl_->wsAcceptor, &impl_->uploadAcceptor}) {
            acceptor->open(tcp::v4());
            acceptor->set_option(tcp::acceptor::reuse_address(true));
            acceptor->bind(tcp::endpoint(loopback, 0));
            acceptor->listen();
        }
        impl_->wsPort = impl_->wsAcceptor.local_endpoint().port();
        impl_->uploadPort = impl_->uploadAcceptor.local_endpoint().port();
        impl_->accept(impl_->wsAcceptor,
                      tcp::endpoint(loopback, static_cast<std::uint16_t>(backendWsPort)), "ws");
        impl_->accept(impl_->uploadAcceptor,
                      tcp::endpoint(loopback, static_cast<std::uint16_t>(backendUploadPort)),
                      "upload");
        impl_->thread = std::thread([impl = impl_.get()] {
            for (;;) {
                try {
                    impl->ioc.run();
                    return;
                } catch (const std::exception& e) {
                    // A handler failed (out of memory, say): said, and the link goes on.
                    impl->say(std::string("a handler failed: ") + e.what());
                }
            }
        });
    } catch (const std::exception& e) {
        impl_->say(std::string("the link cannot start: ") + e.what());
        return false;
    }
    impl_->say("ws " + std::to_string(impl_->wsPort) + " -> " + std::to_string(backendWsPort) +
               ", upload " + std::to_string(impl_->uploadPort) + " -> " +
               std::to_string(backendUploadPort));
    return true;
}

int SoakLink::wsPort() const {
    return impl_->wsPort;
}

int SoakLink::uploadPort() const {
    return impl_->uploadPort;
}

void SoakLink::cut() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        impl->conditions.cut = true;
        int n = 0;
        impl->each([&](auto& c) {
            if (!c.dead()) {
                c.cut();
                ++n;
            }
        });
        impl->say("cut in silence: " + std::to_string(n) +
                  " connection(s) dropped on the backend's side, kept open on the client's");
    });
}

void SoakLink::heal() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        impl->conditions.cut = false;
        impl->say("healed: new connections pass again");
    });
}

void SoakLink::slow(int bytesPerSecond) {
    asio::post(impl_->ioc, [impl = impl_.get(), bytesPerSecond] {
        impl->conditions.rate = std::max(0, bytesPerSecond);
        impl->say(bytesPerSecond > 0 ? "slow: client to server at " +
                                           std::to_string(bytesPerSecond / 1024) + " KiB/s"
                                     : "full speed again");
        impl->each([](auto& c) { c.pump(); });
    });
}

void SoakLink::late(int meanMs, int jitterMs) {
    asio::post(impl_->ioc, [impl = impl_.get(), meanMs, jitterMs] {
        impl->conditions.lateMs = std::max(0, meanMs);
        impl->conditions.jitterMs = std::clamp(jitterMs, 0, std::max(0, meanMs));
        impl->say(meanMs > 0 ? "late: " + std::to_string(meanMs) + " +- " +
                                   std::to_string(jitterMs) + " ms both ways"
                             : "on time again");
    });
}

void SoakLink::reset() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        int n = 0;
        impl->each([&](auto& c) {
            c.reset();
            ++n;
        });
        impl->say("reset: " + std::to_string(n) + " connection(s) ended with an RST");
    });
}

void SoakLink::stall() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        impl->conditions.stalled = true;
        impl->say("stalled: " + std::to_string(impl->live.size()) +
                  " connection(s) hold what comes both ways");
    });
}

void SoakLink::resume() {
    asio::post(impl_->ioc, [impl = impl_.get()] {
        impl->conditions.stalled = false;
        impl->say("resumed: the same connections go on");
        impl->each([](auto& c) { c.pump(); });
    });
}

}  // namespace host::soak
