#include "platform/HttpTransport.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <stop_token>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/buffers_suffix.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "platform/HostLookup.h"
#include "platform/HttpRequestText.h"
#include "platform/PaceWatch.h"

namespace platform {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr std::size_t kReadChunk = 16384;
// A streamed body goes out in pieces of this size.
constexpr std::size_t kSourcePiece = 64 * 1024;
// WinHTTP accepts response heads up to 64 KiB.
constexpr std::uint32_t kMaxResponseHead = 64 * 1024;
// A paced body's socket holds at most this much that has not gone out: what it has taken is then
// close to what left (on loopback its buffer grows to megabytes at once, which a slow peer would
// take minutes to drain after the last byte was handed over).
constexpr int kPacedUnsentBytes = 64 * 1024;

std::string requestHead(const HttpRequest& request, std::string_view hostField) {
    std::string head;
    head.append(request.method)
        .append(" ")
        .append(request.target.empty() ? std::string_view("/") : request.target)
        .append(" HTTP/1.1\r\n");
    head.append("Host: ").append(hostField);
    if (request.port != 80)
        head.append(":").append(std::to_string(request.port));
    head.append("\r\nUser-Agent: ").append(request.userAgent).append("\r\n");
    head.append(headerLines(request.extraHeaders));
    if (carriesBody(request))
        head.append("Content-Length: ")
            .append(std::to_string(request.bodySource ? request.bodySource->size
                                   : request.body     ? request.body->size()
                                                      : 0))
            .append("\r\n");
    head.append("\r\n");
    return head;
}

// One exchange's connection and I/O. Each step runs one asynchronous operation on the
// exchange's own io_context under a limit; a step that completes re-arms the limit for the next,
// so the limits bound inactivity. A limit that expires closes the socket, which ends the step.
class Exchange {
public:
    // The step's operation is started by `start`; its handler must call finish().
    // Ends every step, the one under way included, once `stop` is asked to stop.
    void stopWith(std::stop_token stop) {
        stop_ = stop;
        onStop_.emplace(stop_, [this] {
            asio::post(ioc_, [this] {
                error_code ignored;
                socket_.close(ignored);
            });
        });
    }

    // Past `deadline` no step starts, and a step's limit never runs beyond it.
    void endBy(std::optional<std::chrono::steady_clock::time_point> deadline) {
        deadline_ = deadline;
    }

    // From now on what is written counts toward the pace, which cuts the writing when it falls
    // behind (see HttpPace).
    void keepPace(const HttpPace& pace) {
        pace_.emplace(pace, std::chrono::steady_clock::now());
        limitBy_ = pace_->cutAt();
#ifdef TCP_NOTSENT_LOWAT
        const int unsent = kPacedUnsentBytes;
        ::setsockopt(socket_.native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent,
                     sizeof unsent);  // a system without it takes as much as it takes
#endif
    }
    // The body is out: the response head must come within `limit`, whatever trickles meanwhile.
    void awaitHeadWithin(std::chrono::milliseconds limit) {
        pace_.reset();
        limitBy_.reset();
        if (limit.count() > 0)  // none, as for the other limits
            limitBy_ = std::chrono::steady_clock::now() + limit;
    }
    // The response head came: the reads that follow are bounded as before.
    void headArrived() {
        limitBy_.reset();
    }

    // The step's operation is started by `start`; its handler must call finish(). A stopped
    // exchange, or one past its deadline, starts nothing, leaving the step's result at its
    // failure.
    template <class Start>
    void step(std::chrono::milliseconds limit, Start&& start) {
        if (stop_.stop_requested())
            return;
        for (const auto& end : {deadline_, limitBy_}) {
            if (!end)
                continue;
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return;
            if (limit.count() <= 0 || left < limit)
                limit = left;
        }
        active_ = true;
        if (limit.count() > 0) {
            timer_.expires_after(limit);
            timer_.async_wait([this](error_code ec) {
                if (ec || !active_)
                    return;  // the operation finished in time
                error_code ignored;
                socket_.close(ignored);
            });
        }
        start();
        ioc_.restart();
        ioc_.run();
    }
    void finish() {
        active_ = false;
        timer_.cancel();
    }

    bool connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds limit) {
        std::vector<tcp::endpoint> endpoints;
        error_code ec;
        const auto address = asio::ip::make_address(host, ec);
        if (!ec) {
            endpoints.emplace_back(address, port);
        } else {
            // A lookup that a stop ends at once (unload does not wait out a slow name server).
            auto end = std::chrono::steady_clock::now() + limit;
            if (deadline_ && *deadline_ < end)
                end = *deadline_;
            if (limit.count() <= 0 && !deadline_)
                end = std::chrono::steady_clock::time_point::max();
            if (platform::lookupHost(host, port, stop_, end, endpoints) !=
                platform::LookupOutcome::Found)
                return false;
        }
        ec = asio::error::timed_out;
        step(limit, [&] {
            asio::async_connect(socket_, endpoints, [&](error_code e, const tcp::endpoint&) {
                finish();
                ec = e;
            });
        });
        return !ec && socket_.is_open();
    }

    // The head, then the source's bytes a piece at a time: never more of the body in memory
    // than one piece.
    bool send(const std::string& head, const HttpBodySource& source,
              std::chrono::milliseconds limit) {
        if (!send(head, std::string(), limit))
            return false;
        std::vector<char> piece(kSourcePiece);
        for (std::uint64_t left = source.size; left > 0;) {
            const auto n =
                source.read(piece.data(),
                            static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size())));
            if (!n || *n == 0 || *n > left)
                return false;
            if (!send(std::string_view(piece.data(), *n), std::string_view(), limit))
                return false;
            left -= *n;
        }
        return true;
    }

    bool send(std::string_view head, std::string_view body, std::chrono::milliseconds limit) {
        const std::array<asio::const_buffer, 2> buffers{asio::buffer(head), asio::buffer(body)};
        beast::buffers_suffix<std::array<asio::const_buffer, 2>> rest(buffers);
        while (beast::buffer_bytes(rest) > 0) {
            error_code ec = asio::error::timed_out;
            std::size_t written = 0;
            step(limit, [&] {
                socket_.async_write_some(rest, [&](error_code e, std::size_t n) {
                    finish();
                    ec = e;
                    written = n;
                });
            });
            if (ec)
                return false;
            rest.consume(written);
            if (pace_) {
                pace_->taken(written, std::chrono::steady_clock::now());
                limitBy_ = pace_->cutAt();
            }
        }
        return true;
    }

    // Reads once from the socket into `input`. Returns the error, eof included.
    error_code readSome(beast::flat_buffer& input, std::chrono::milliseconds limit) {
        error_code ec = asio::error::timed_out;
        step(limit, [&] {
            socket_.async_read_some(input.prepare(kReadChunk), [&](error_code e, std::size_t n) {
                finish();
                ec = e;
                input.commit(n);
            });
        });
        return ec;
    }

private:
    asio::io_context ioc_{1};
    tcp::socket socket_{ioc_};
    asio::steady_timer timer_{ioc_};
    bool active_ = false;
    std::stop_token stop_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    // A further end for the steps under way: the pace's cut while the body goes, the response
    // head's limit after it.
    std::optional<std::chrono::steady_clock::time_point> limitBy_;
    std::optional<PaceWatch> pace_;
    // Last, so that it is gone before the io_context it posts to.
    std::optional<std::stop_callback<std::function<void()>>> onStop_;
};

// Bytes that arrived earlier, handed out as a connection would: each piece in reads of at most
// kReadChunk bytes, then the end of the stream. readHttpResponse's stand-in for an Exchange.
class PieceSource {
public:
    explicit PieceSource(std::span<const std::string_view> pieces) : pieces_(pieces) {}

    error_code readSome(beast::flat_buffer& input, std::chrono::milliseconds) {
        while (next_ < pieces_.size() && offset_ == pieces_[next_].size()) {
            ++next_;
            offset_ = 0;
        }
        if (next_ == pieces_.size())
            return asio::error::eof;
        const std::string_view read = pieces_[next_].substr(offset_, kReadChunk);
        offset_ += read.size();
        input.commit(asio::buffer_copy(input.prepare(read.size()), asio::buffer(read)));
        return {};
    }
    void headArrived() {}

private:
    std::span<const std::string_view> pieces_;
    std::size_t next_ = 0;
    std::size_t offset_ = 0;
};

// Reads the response from a Source: an Exchange, or a PieceSource.
template <class Source>
class ResponseReader {
public:
    ResponseReader(Source& source, bool headRequest, std::chrono::milliseconds limit,
                   std::size_t maxBodyBytes, HttpResponse& response)
        : source_(source),
          headRequest_(headRequest),
          limit_(limit),
          maxBody_(maxBodyBytes),
          response_(response) {
        newParser();
    }

    // False when no complete response head arrived. After the head, the body ends at the end of
    // the message, at the cap, or at the first failure, and what arrived is kept.
    bool read() {
        for (;;) {
            if (parser_->is_header_done() && !response_.statusRead) {
                const unsigned status = parser_->get().result_int();
                if (status >= 100 && status < 200 && status != 101) {
                    // An interim response: the real one follows on the same connection.
                    newParser();
                    continue;
                }
                response_.statusRead = true;
                response_.status = status;
                source_.headArrived();
            }
            if (parser_->is_done() || (response_.statusRead && response_.body.size() >= maxBody_))
                return response_.statusRead;

            if (input_.size() > 0) {
                error_code ec;
                setBodyBuffer();
                const std::size_t used = parser_->put(input_.data(), ec);
                input_.consume(used);
                takeBody();
                if (ec == http::error::need_buffer)
                    continue;
                if (ec && ec != http::error::need_more)
                    return response_.statusRead;  // malformed
                if (!ec)
                    continue;
            }

            // The end of the stream completes a body delimited by the close and cuts any other
            // message; either way what arrived stands.
            if (source_.readSome(input_, limit_))
                return response_.statusRead;
        }
    }

private:
    void newParser() {
        parser_.emplace();
        parser_->header_limit(kMaxResponseHead);
        // The cap is applied here, keeping the first bytes. (No boost::none: Beast 1.74 then
        // rejects every body with a Content-Length.)
        parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
        if (headRequest_)
            parser_->skip(true);
    }
    void setBodyBuffer() {
        auto& body = parser_->get().body();
        body.data = chunk_.data();
        body.size = chunk_.size();
        body.more = true;
    }
    void takeBody() {
        const std::size_t got = chunk_.size() - parser_->get().body().size;
        parser_->get().body().data = nullptr;
        const std::size_t room = maxBody_ - std::min(maxBody_, response_.body.size());
        response_.body.append(chunk_.data(), std::min(got, room));
    }

    Source& source_;
    const bool headRequest_;
    const std::chrono::milliseconds limit_;
    const std::size_t maxBody_;
    HttpResponse& response_;
    std::optional<http::response_parser<http::buffer_body>> parser_;
    beast::flat_buffer input_;
    std::array<char, kReadChunk> chunk_{};
};

}  // namespace

bool readHttpResponse(std::span<const std::string_view> pieces, bool headRequest,
                      HttpResponse& response, std::size_t maxBodyBytes) {
    try {
        response = HttpResponse{};
        PieceSource source(pieces);
        ResponseReader reader(source, headRequest, std::chrono::milliseconds(0), maxBodyBytes,
                              response);
        return reader.read();
    } catch (...) {
        return response.statusRead;  // as httpExchange
    }
}

// A limit of zero or less means no limit, as in WinHTTP.
bool httpExchange(const HttpRequest& request, HttpResponse& response, const HttpTimeouts& timeouts,
                  std::size_t maxBodyBytes) {
    try {
        response = HttpResponse{};
        if (request.method.empty() || request.host.empty())
            return false;

        // A numeric IPv6 host may come bracketed; it connects bare and is named bracketed.
        std::string host = request.host;
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        error_code ec;
        const auto address = asio::ip::make_address(host, ec);
        const std::string hostField = !ec && address.is_v6() ? "[" + host + "]" : host;

        Exchange exchange;
        exchange.stopWith(request.stop);
        exchange.endBy(request.deadline);
        if (!exchange.connect(host, request.port, timeouts.connect))
            return false;
        const std::string head = requestHead(request, hostField);
        static const std::string kNoBody;
        const std::string& body = carriesBody(request) && request.body ? *request.body : kNoBody;
        const bool streamed = request.bodySource && carriesBody(request);
        const bool paced = streamed && request.pace;
        if (paced)
            exchange.keepPace(*request.pace);
        if (streamed ? !exchange.send(head, *request.bodySource, timeouts.send)
                     : !exchange.send(head, body, timeouts.send))
            return false;
        if (paced)
            exchange.awaitHeadWithin(timeouts.receive);
        ResponseReader reader(exchange, request.method == "HEAD", timeouts.receive, maxBodyBytes,
                              response);
        return reader.read();
    } catch (...) {
        // Out of descriptors, threads or memory. Past the response head this ends the body like
        // any other failure, keeping what arrived.
        return response.statusRead;
    }
}

}  // namespace platform
