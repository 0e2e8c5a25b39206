#pragma once
// A TCP proxy in front of an HTTP/1.0 server (Kannel's sendsms) that stops one
// exchange at a chosen point and keeps it there: the whole request kept from
// the server, only the first half of it forwarded, or the request forwarded
// and the server's answer kept from the client. What the test does at that
// point runs on the proxy's thread the moment the hold begins, not a poll
// later. Every other exchange passes. One request per connection, as HTTP/1.0
// has it. For tests only.

#include "tests/support/TcpRelay.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

namespace telvoro {

class HttpFaultProxy {
public:
    enum class Hold { Nothing, Request, HalfRequest, Answer };

    explicit HttpFaultProxy(int upstreamPort)
        : relay_(upstreamPort, "HTTP fault proxy",
                 {[this](Link& l, const char* d, std::size_t n) { FromClient(l, d, n); },
                  [this](Link& l, const char* d, std::size_t n) { FromServer(l, d, n); }}) {}

    int port() const { return relay_.port(); }

    // Holds the `n`th request that arrives whole from this call on and then
    // runs `then`.
    void Set(Hold hold, int n = 1, std::function<void()> then = {}) {
        std::lock_guard lock(mutex_);
        hold_ = hold;
        target_ = n;
        seen_ = 0;
        then_ = std::move(then);
        holding_ = false;
    }
    // Whether the hold of the last Set is in place: the request is in hand
    // (and half of it forwarded), or the server has begun to answer.
    bool Holding() const { return holding_; }

private:
    struct State {
        std::string head;     // the request until its blank line: then it is decided
        bool decided = false; // passed or held
        bool keep = false;    // the client's bytes go no further
        bool silence = false; // the server's answer goes no further
    };
    using Relay = telvoro::testing::TcpRelay<State>;
    using Link = Relay::Link;

    void FromClient(Link& l, const char* data, std::size_t n) {
        // The client gone (killed): the server sees its end of the request too.
        if (n == 0) return Relay::Close(l);
        State& p = l.state;
        if (p.decided) {
            if (!p.keep) Relay::SendAll(l.server, data, n);
            return;
        }
        p.head.append(data, n);
        if (p.head.find("\r\n\r\n") == std::string::npos) return;
        p.decided = true;
        Hold hold = Hold::Nothing;
        {
            std::lock_guard lock(mutex_);
            if (hold_ != Hold::Nothing && seen_ < target_ && ++seen_ == target_) hold = hold_;
        }
        if (hold == Hold::Nothing || hold == Hold::Answer)
            Relay::SendAll(l.server, p.head.data(), p.head.size());
        else if (hold == Hold::HalfRequest)
            Relay::SendAll(l.server, p.head.data(), p.head.size() / 2);
        p.keep = hold == Hold::Request || hold == Hold::HalfRequest;
        p.silence = hold == Hold::Answer;
        if (p.keep) Begin();
    }

    void Begin() {
        if (holding_.exchange(true)) return;
        std::function<void()> then;
        {
            std::lock_guard lock(mutex_);
            then = then_;
        }
        if (then) then();
    }

    void FromServer(Link& l, const char* data, std::size_t n) {
        if (l.state.silence) {
            // The server has answered: the client waits on, unanswered.
            Begin();
            if (n == 0) Relay::CloseServer(l);
            return;
        }
        if (n == 0) return Relay::Close(l);
        Relay::SendAll(l.client, data, n);
    }

    std::mutex mutex_;
    Hold hold_ = Hold::Nothing;
    std::function<void()> then_;
    int target_ = 0, seen_ = 0;
    std::atomic<bool> holding_{false};
    Relay relay_; // last: stopped before the rest goes
};

} // namespace telvoro
