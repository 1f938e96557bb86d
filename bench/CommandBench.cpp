// The command port's cost: small commands a second and their latency over
// loopback, beside the HTTP library's bare server answering a fixed body in
// the same run (the ratio is what our own processing costs).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <httplib.h>

#include "commands/CommandProcessor.h"
#include "commands/WebServer.h"
#include "common/Crypto.h"
#include "common/Settings.h"
#include "platform/Sockets.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"

using namespace qz;
namespace sock = platform::sock;

namespace {

struct Figures {
    double perSecond, p50, p99;
};

// Clients each sending requests one after another, one connection a request.
Figures Drive(uint16_t port, const std::string& request, int clients, int perClient) {
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<int> failures{0};
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            char buf[4096];
            for (int i = 0; i < perClient; ++i) {
                const auto s0 = std::chrono::steady_clock::now();
                const sock::Socket s = sock::ConnectLoopback(port, 5000);
                bool ok = s != sock::InvalidSocket && sock::SendAll(s, request.data(), request.size(), 5000);
                size_t got = 0;
                for (int n; ok && (n = sock::Receive(s, buf, sizeof buf, 5000)) > 0;) got += static_cast<size_t>(n);
                sock::Close(s);
                if (!ok || got == 0) ++failures;
                latencies[c].push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s0).count());
            }
        });
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::vector<double> all;
    for (auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    if (failures) std::printf("  (%d requests failed)\n", failures.load());
    return {all.size() / seconds, all[all.size() / 2], all[all.size() * 99 / 100]};
}

void Print(const char* what, const Figures& f) {
    std::printf("%-44s %8.0f req/s   p50 %6.2f ms   p99 %6.2f ms\n", what, f.perSecond, f.p50, f.p99);
}

}  // namespace

int main(int argc, char** argv) {
    const int perClient = argc > 1 ? std::atoi(argv[1]) : 500;
    const int clients = 4;

    TSettings settings;
    TLocker locker;
    TUserCache users{false};
    TGuardEventsInfo journal{users, false};
    TAppStateContext a;
    a.Settings = &settings;
    a.Locker = &locker;
    a.GuardEvents = &journal;
    a.UserCache = &users;
    TApplicationState state(a);
    state.SetAppInitialized(true);
    TCommandContext c;
    c.AppState = &state;
    c.GuardEvents = &journal;
    c.Settings = &settings;
    TCommandProcessor processor(c);
    TWebServerModule::Deps d;
    d.Processor = &processor;
    d.AppState = &state;
    d.StubPage = "stub";
    TWebServerModule module(d);
    if (!module.StartOn(0, true)) return 1;

    const TBytes body = TCrypto::Encrypt(ToBytes("<command id=\"1\"><name>message_logout</name></command>"), TBytes{});
    const std::string post = "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                             "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                             std::string(body.begin(), body.end());
    const std::string stubGet = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";

    httplib::Server bare;
    bare.Get("/", [](const httplib::Request&, httplib::Response& r) { r.set_content("stub", "text/plain"); });
    const int barePort = bare.bind_to_any_port("127.0.0.1");
    std::thread bareThread([&] { bare.listen_after_bind(); });
    while (!bare.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

    Drive(module.Port(), post, clients, 50);  // warm-up
    Drive(static_cast<uint16_t>(barePort), stubGet, clients, 50);
    std::printf("%d clients, %d requests each, one connection a request\n", clients, perClient);
    const Figures base = Drive(static_cast<uint16_t>(barePort), stubGet, clients, perClient);
    Print("HTTP library's bare server, fixed body", base);
    const Figures stub = Drive(module.Port(), stubGet, clients, perClient);
    Print("command port, stub page", stub);
    const Figures cmd = Drive(module.Port(), post, clients, perClient);
    Print("command port, encrypted command and reply", cmd);
    std::printf("commands/s against the bare server: %.2f; p99 ratio %.2f\n", cmd.perSecond / base.perSecond,
                cmd.p99 / base.p99);
    bare.stop();
    bareThread.join();
    module.Stop();
    return 0;
}
