// brevant_backend_load: a bounded load client for the reference backend program, run by hand
// (never by the tests). It starts the program it is given on free loopback ports, drives it over
// the loopback only, prints what it measured and stops it.
//
//   relay    ~1,000 paired clients, two to a match, each sending rotate_state to its partner
//            through the backend. A sweep of offered rates finds the best delivered rate, then
//            1x, 2x and 4x that rate are offered; each step prints offered, sent and delivered
//            relays per second, and the backend's resident memory (now and its peak).
//   trickle  1,100 connections trickling request heads that never end (each one closed by the
//            backend comes back), the backend on a 1,024-descriptor limit; meanwhile fresh
//            clients time a WebSocket upgrade and hello, and a GET /pair-status.
//
// The clients write WebSocket frames themselves, many in one write (masked with a zero key,
// which leaves the payload as it is), so that one thread can offer several times what the
// backend delivers; Beast does the handshakes and the fresh clients.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

// --- The backend program -------------------------------------------------------------------

struct Backend {
    pid_t pid = -1;
    // Relays the backend logged (its output read as it comes).
    std::shared_ptr<std::atomic<std::size_t>> relayed =
        std::make_shared<std::atomic<std::size_t>>();
    std::uint16_t port = 0;  // WebSocket and pairing share it
    fs::path folder;

    ~Backend() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    // Processor time used so far, in seconds.
    double cpu() const {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14 || i == 15)
                ticks += std::stod(field);  // utime, stime
        }
        return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    // VmRSS or VmHWM in MiB.
    double memory(const char* key) const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind(key, 0) == 0)
                return std::stod(line.substr(std::string(key).size())) / 1024.0;
        }
        return 0;
    }
};

// Starts `program` with `descriptors` as its limit and the extra arguments. Its output comes
// through a pipe that a thread of ours reads as the program writes (as a terminal would): the
// line naming the ports, then the lines about the backend's bounds, which are printed; the
// rest (a line per event) is dropped.
std::unique_ptr<Backend> startBackend(const std::string& program, rlim_t descriptors,
                                      const std::vector<std::string>& extra) {
    auto backend = std::make_unique<Backend>();
    char pattern[] = "/tmp/brevant-load-XXXXXX";
    int output[2];
    if (!::mkdtemp(pattern) || ::pipe(output) != 0)
        return nullptr;
    backend->folder = pattern;
    std::vector<std::string> args = {program,         "--no-console",
                                     "--ws-port",     "0",
                                     "--pair-port",   "0",
                                     "--rank-port",   "0",
                                     "--upload-port", "0",
                                     "--upload-dir",  (backend->folder / "uploads").string()};
    // Every client of this tool comes from the loopback address: the limit per address is off,
    // so that the cap over all addresses is what the load meets.
    args.insert(args.end(), {"--max-connections-per-address", "0"});
    args.insert(args.end(), extra.begin(), extra.end());
    backend->pid = ::fork();
    if (backend->pid == 0) {
        const rlimit limit{descriptors, descriptors};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::dup2(output[1], STDOUT_FILENO);
        ::close(output[0]);
        ::close(output[1]);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        std::_Exit(127);
    }
    ::close(output[1]);
    auto port = std::make_shared<std::promise<std::uint16_t>>();
    std::thread([fd = output[0], port, relayed = backend->relayed] {
        std::FILE* in = ::fdopen(fd, "r");
        bool found = false;
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, in)) {
            const std::string line = buffer;
            if (line.find(" relayed to ws#") != std::string::npos)
                ++*relayed;
            const auto at = line.find(": ws ");
            if (!found && line.rfind("brevant-backend on ", 0) == 0 && at != std::string::npos) {
                found = true;
                port->set_value(static_cast<std::uint16_t>(std::stoi(line.substr(at + 5))));
            }
            for (const char* note : {"backlog", "at the cap", "refused:", "not reading",
                                     "descriptor limit", "unexpected", "catches up"}) {
                if (line.find(note) != std::string::npos) {
                    std::printf("  backend: %s", buffer);
                    break;
                }
            }
        }
        std::fclose(in);
        if (!found)
            port->set_value(0);
    }).detach();
    auto future = port->get_future();
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready ||
        (backend->port = future.get()) == 0) {
        std::cerr << "the backend did not start\n";
        return nullptr;
    }
    return backend;
}

// --- Raw WebSocket frames ---------------------------------------------------------------------

// A client's text frame: FIN and text, the length, a zero mask key, the payload unchanged.
void appendFrame(std::string& out, const std::string& payload) {
    out += '\x81';
    const std::size_t n = payload.size();
    if (n < 126) {
        out += static_cast<char>(0x80 | n);
    } else {
        out += static_cast<char>(0x80 | 126);
        out += static_cast<char>((n >> 8) & 0xff);
        out += static_cast<char>(n & 0xff);
    }
    out.append(4, '\0');
    out += payload;
}

// Counts the server's whole frames in `in` and removes them; returns how many were text.
std::size_t takeFrames(std::string& in) {
    std::size_t at = 0;
    std::size_t texts = 0;
    for (;;) {
        if (in.size() - at < 2)
            break;
        const auto b1 = static_cast<unsigned char>(in[at + 1]) & 0x7f;
        std::size_t header = 2;
        std::uint64_t length = b1;
        if (b1 == 126) {
            if (in.size() - at < 4)
                break;
            length = (static_cast<unsigned char>(in[at + 2]) << 8) |
                     static_cast<unsigned char>(in[at + 3]);
            header = 4;
        } else if (b1 == 127) {
            if (in.size() - at < 10)
                break;
            length = 0;
            for (int i = 0; i < 8; ++i)
                length = (length << 8) | static_cast<unsigned char>(in[at + 2 + i]);
            header = 10;
        }
        if (in.size() - at < header + length)
            break;
        texts += (static_cast<unsigned char>(in[at]) & 0x0f) == 1 ? 1 : 0;
        at += header + length;
    }
    in.erase(0, at);
    return texts;
}

// A WebSocket connection whose handshake Beast made; afterwards frames go both ways raw.
bool handshake(tcp::socket& socket, std::uint16_t port) {
    error_code ec;
    socket.connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
    if (ec)
        return false;
    websocket::stream<tcp::socket&> ws(socket);
    ws.handshake("127.0.0.1", "/ws", ec);
    return !ec;
}

// Sends one POST /admin command and returns the status (0 on failure).
unsigned admin(std::uint16_t port, const std::string& command) {
    asio::io_context ioc;
    tcp::socket socket(ioc);
    error_code ec;
    socket.connect({asio::ip::make_address_v4("127.0.0.1"), port}, ec);
    if (ec)
        return 0;
    http::request<http::string_body> request(http::verb::post, "/admin", 11);
    request.set(http::field::host, "127.0.0.1");
    request.set("X-Brevant-Admin", "1");
    request.body() = command;
    request.prepare_payload();
    http::write(socket, request, ec);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response, ec);
    return ec ? 0 : response.result_int();
}

// --- relay ------------------------------------------------------------------------------------

struct RelayClient {
    explicit RelayClient(asio::io_context& ioc) : socket(ioc) {}
    tcp::socket socket;
    std::string match;
    std::string device;
    std::string writing;  // the write under way
    std::string next;     // what waits for it
    std::string reading;
    std::array<char, 64 * 1024> chunk{};
    std::size_t received = 0;  // text frames
    std::uint64_t rev = 0;
};

class RelayLoad {
public:
    RelayLoad(std::uint16_t port, std::size_t clients) : port_(port), count_(clients) {}

    bool connect() {
        for (std::size_t i = 0; i < count_; ++i) {
            auto client = std::make_unique<RelayClient>(ioc_);
            client->device = "load" + std::to_string(i);
            client->match = "M" + std::to_string(i / 2);
            if (admin(port_, "pair " + client->device) != 200 ||
                !handshake(client->socket, port_)) {
                std::cerr << "client " << i << " could not connect\n";
                return false;
            }
            std::string hello;
            appendFrame(hello, R"({"t":"hello","deviceId":")" + client->device +
                                   R"(","platform":"steam","version":"load"})");
            // Names its match: the partner's messages reach it from here on.
            appendFrame(hello, R"({"t":"rotate_state_req","server":")" + client->match +
                                   R"(","from":")" + client->device + "\"}");
            asio::write(client->socket, asio::buffer(hello));
            clients_.push_back(std::move(client));
        }
        for (auto& client : clients_)
            read(*client);
        // Everyone got its paired_ok (and perhaps a partner's request).
        runFor(std::chrono::seconds(2));
        return true;
    }

    struct Step {
        double offered = 0, sent = 0, delivered = 0, rss = 0, peak = 0;
        double backendCpu = 0, clientCpu = 0;  // cores busy
        double relayed = 0;                    // by the backend, from its log
    };

    // Offers `rate` rotate_state relays a second for `seconds`, after a second of warm-up.
    Step offer(double rate, int seconds, const Backend& backend) {
        rate_ = rate;
        sending_ = true;
        tick();
        runFor(std::chrono::seconds(1));
        const std::size_t received0 = totalReceived();
        const std::size_t sent0 = sent_;
        const std::size_t offered0 = offered_;
        const double backendCpu0 = backend.cpu();
        const std::size_t relayed0 = *backend.relayed;
        const double clientCpu0 = ownCpu();
        double rss = 0;
        for (int i = 0; i < seconds * 10; ++i) {
            runFor(std::chrono::milliseconds(100));
            rss = std::max(rss, backend.memory("VmRSS:"));
        }
        Step step;
        step.offered = static_cast<double>(offered_ - offered0) / seconds;
        step.sent = static_cast<double>(sent_ - sent0) / seconds;
        step.delivered = static_cast<double>(totalReceived() - received0) / seconds;
        step.rss = rss;
        step.backendCpu = (backend.cpu() - backendCpu0) / seconds;
        step.relayed = static_cast<double>(*backend.relayed - relayed0) / seconds;
        step.clientCpu = (ownCpu() - clientCpu0) / seconds;
        step.peak = backend.memory("VmHWM:");
        sending_ = false;
        timer_.cancel();
        // Let the backlog drain before the next step.
        runFor(std::chrono::seconds(3));
        return step;
    }

private:
    static double ownCpu() {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }

    void runFor(Clock::duration d) {
        ioc_.restart();
        ioc_.run_for(d);
    }

    std::size_t totalReceived() const {
        std::size_t n = 0;
        for (const auto& client : clients_)
            n += client->received;
        return n;
    }

    void read(RelayClient& client) {
        client.socket.async_read_some(asio::buffer(client.chunk),
                                      [this, &client](error_code ec, std::size_t n) {
                                          if (ec)
                                              return;
                                          client.reading.append(client.chunk.data(), n);
                                          client.received += takeFrames(client.reading);
                                          read(client);
                                      });
    }

    // Every 100 ms: this period's share of the rate, round robin over the clients, each
    // client's share in one write (fewer writes leave more of the processors to the backend).
    // A client whose writes are held up (the backend stopped reading it) holds at most 64 KiB
    // more; past that an offered message is not sent.
    void tick() {
        if (!sending_)
            return;
        carry_ += rate_ / 10.0;
        for (; carry_ >= 1; carry_ -= 1) {
            RelayClient& client = *clients_[nextClient_++ % clients_.size()];
            ++offered_;
            if (client.next.size() > 64 * 1024)
                continue;
            appendFrame(client.next, R"({"t":"rotate_state","server":")" + client.match +
                                         R"(","from":")" + client.device + R"(","rev":)" +
                                         std::to_string(++client.rev) +
                                         R"(,"rotation":["Stadium_P","Park_P"]})");
            ++sent_;
        }
        for (auto& client : clients_) {
            if (client->writing.empty() && !client->next.empty())
                write(*client);
        }
        timer_.expires_after(std::chrono::milliseconds(100));
        timer_.async_wait([this](error_code ec) {
            if (!ec)
                tick();
        });
    }

    void write(RelayClient& client) {
        client.writing.swap(client.next);
        asio::async_write(client.socket, asio::buffer(client.writing),
                          [this, &client](error_code ec, std::size_t) {
                              client.writing.clear();
                              if (!ec && !client.next.empty())
                                  write(client);
                          });
    }

    asio::io_context ioc_;
    asio::steady_timer timer_{ioc_};
    std::uint16_t port_;
    std::size_t count_;
    std::vector<std::unique_ptr<RelayClient>> clients_;
    double rate_ = 0;
    double carry_ = 0;
    bool sending_ = false;
    std::size_t nextClient_ = 0;
    std::size_t offered_ = 0;
    std::size_t sent_ = 0;
};

void printStep(const char* what, const RelayLoad::Step& s) {
    std::printf(
        "%-10s offered %6.0f/s  sent %6.0f/s  relayed %6.0f/s  delivered %6.0f/s  RSS "
        "%5.1f MiB (peak %5.1f)  cores: backend %.2f, client %.2f\n",
        what, s.offered, s.sent, s.relayed, s.delivered, s.rss, s.peak, s.backendCpu, s.clientCpu);
    std::fflush(stdout);
}

int relay(const std::string& program, std::size_t clients, int seconds,
          const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--ping-seconds", "0", "--max-connections",
                                     std::to_string(clients + 100)};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto backend = startBackend(program, clients + 1024, args);
    if (!backend)
        return 1;
    RelayLoad load(backend->port, clients);
    if (!load.connect())
        return 1;
    std::printf("%zu paired clients in %zu matches on port %u\n", clients, clients / 2,
                backend->port);
    // Up the rates until two steps in a row deliver no more than the best so far.
    double best = 0;
    int flat = 0;
    for (double rate = 10000; rate <= 200000 && flat < 2; rate *= 1.5) {
        const auto step = load.offer(rate, seconds, *backend);
        printStep("sweep", step);
        flat = step.delivered > best ? 0 : flat + 1;
        best = std::max(best, step.delivered);
    }
    std::printf("best delivered: %.0f relays/s\n", best);
    for (const int factor : {1, 2, 4}) {
        const auto step = load.offer(best * factor, seconds, *backend);
        const std::string what = std::to_string(factor) + "x best";
        printStep(what.c_str(), step);
        std::printf("           delivered at %dx: %.0f%% of the best\n", factor,
                    100.0 * step.delivered / best);
    }
    std::printf("backend peak resident memory: %.1f MiB\n", backend->memory("VmHWM:"));
    return 0;
}

// --- trickle ----------------------------------------------------------------------------------

class Trickle {
public:
    Trickle(asio::io_context& ioc, std::uint16_t port, std::size_t count)
        : ioc_(ioc), port_(port), timer_(ioc) {
        for (std::size_t i = 0; i < count; ++i)
            conns_.push_back(std::make_unique<Conn>(ioc));
    }

    void start() {
        for (auto& c : conns_)
            open(*c);
        tick();
    }
    std::size_t reopened() const { return reopened_; }

private:
    struct Conn {
        explicit Conn(asio::io_context& ioc) : socket(ioc) {}
        tcp::socket socket;
        std::size_t sent = 0;
        bool open = false;
        std::array<char, 512> sink{};
    };
    static constexpr const char* kHead = "GET /pair-status?deviceId=trickle HTTP/1.1\r\nHost: x";

    void open(Conn& c) {
        error_code ignored;
        c.socket.close(ignored);
        c.socket = tcp::socket(ioc_);
        c.sent = 0;
        c.open = false;
        c.socket.async_connect({asio::ip::make_address_v4("127.0.0.1"), port_},
                               [this, &c](error_code ec) {
                                   if (ec)
                                       return open(c);
                                   c.open = true;
                                   watch(c);
                               });
    }

    // Anything the backend sends ends it (it closes evicted or timed-out heads): come back.
    void watch(Conn& c) {
        c.socket.async_read_some(asio::buffer(c.sink), [this, &c](error_code ec, std::size_t) {
            if (ec == asio::error::operation_aborted)
                return;
            ++reopened_;
            open(c);
        });
    }

    // One more byte of each head every 500 ms.
    void tick() {
        for (auto& c : conns_) {
            if (!c->open || c->sent >= std::char_traits<char>::length(kHead))
                continue;
            error_code ignored;
            c->socket.write_some(asio::buffer(kHead + c->sent, 1), ignored);
            ++c->sent;
        }
        timer_.expires_after(std::chrono::milliseconds(500));
        timer_.async_wait([this](error_code ec) {
            if (!ec)
                tick();
        });
    }

    asio::io_context& ioc_;
    std::uint16_t port_;
    asio::steady_timer timer_;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::size_t reopened_ = 0;
};

// A fresh WebSocket client: connect, upgrade, hello, until its answer; seconds or -1.
double timeUpgradeAndHello(std::uint16_t port) {
    const auto start = Clock::now();
    asio::io_context ioc;
    websocket::stream<tcp::socket> ws(ioc);
    bool done = false;
    bool ok = false;
    beast::flat_buffer buffer;
    const std::string hello = R"({"t":"hello","deviceId":"fresh","platform":"steam"})";
    ws.next_layer().async_connect(
        {asio::ip::make_address_v4("127.0.0.1"), port}, [&](error_code ec) {
            if (ec)
                return void(done = true);
            ws.async_handshake("127.0.0.1", "/ws", [&](error_code ec2) {
                if (ec2)
                    return void(done = true);
                ws.async_write(asio::buffer(hello), [&](error_code ec3, std::size_t) {
                    if (ec3)
                        return void(done = true);
                    ws.async_read(buffer, [&](error_code ec4, std::size_t) {
                        ok = !ec4;
                        done = true;
                    });
                });
            });
        });
    ioc.run_for(std::chrono::seconds(10));
    return done && ok ? std::chrono::duration<double>(Clock::now() - start).count() : -1;
}

// A fresh GET /pair-status: seconds until its answer, or -1.
double timePairStatus(std::uint16_t port) {
    const auto start = Clock::now();
    asio::io_context ioc;
    tcp::socket socket(ioc);
    http::request<http::empty_body> request(http::verb::get, "/pair-status?deviceId=fresh", 11);
    request.set(http::field::host, "127.0.0.1");
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    bool ok = false;
    socket.async_connect({asio::ip::make_address_v4("127.0.0.1"), port}, [&](error_code ec) {
        if (ec)
            return;
        http::async_write(socket, request, [&](error_code ec2, std::size_t) {
            if (ec2)
                return;
            http::async_read(socket, buffer, response, [&](error_code ec3, std::size_t) {
                ok = !ec3 && response.result_int() == 200;
            });
        });
    });
    ioc.run_for(std::chrono::seconds(10));
    return ok ? std::chrono::duration<double>(Clock::now() - start).count() : -1;
}

int trickle(const std::string& program, std::size_t count, const std::vector<std::string>& extra) {
    const auto backend = startBackend(program, 1024, extra);
    if (!backend)
        return 1;
    asio::io_context ioc;
    Trickle attack(ioc, backend->port, count);
    attack.start();
    std::thread attacker([&] { ioc.run_for(std::chrono::seconds(40)); });
    std::this_thread::sleep_for(std::chrono::seconds(5));  // every trickler connected
    std::printf(
        "%zu connections trickling request heads on port %u (backend limit: 1024 "
        "descriptors)\n",
        count, backend->port);
    for (int i = 0; i < 5; ++i) {
        std::printf("fresh WebSocket upgrade + hello: %.3f s; fresh GET /pair-status: %.3f s\n",
                    timeUpgradeAndHello(backend->port), timePairStatus(backend->port));
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::seconds(2));
    }
    std::printf("trickling connections closed by the backend and opened again: %zu\n",
                attack.reopened());
    ioc.stop();
    attacker.join();
    return 0;
}

int usage() {
    std::cerr << "usage: brevant_backend_load relay BACKEND [CLIENTS [SECONDS]] [-- OPTIONS]\n"
                 "       brevant_backend_load trickle BACKEND [CONNECTIONS] [-- OPTIONS]\n"
                 "BACKEND is the brevant-backend program; OPTIONS go to it.\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> extra;
    if (const auto dash = std::find(args.begin(), args.end(), "--"); dash != args.end()) {
        extra.assign(dash + 1, args.end());
        args.erase(dash, args.end());
    }
    if (args.size() < 2)
        return usage();
    // Our own descriptors: one per client.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::signal(SIGPIPE, SIG_IGN);
    if (args[0] == "relay")
        return relay(args[1], args.size() > 2 ? std::stoul(args[2]) : 1000,
                     args.size() > 3 ? std::stoi(args[3]) : 5, extra);
    if (args[0] == "trickle")
        return trickle(args[1], args.size() > 2 ? std::stoul(args[2]) : 1100, extra);
    return usage();
}
