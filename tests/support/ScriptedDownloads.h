#pragma once
// An HTTP transport for download tests: each GET is recorded and answered by
// a script; safe to use from the thread under test.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/HttpClient.h"

namespace qztest {

class ScriptedDownloads : public qz::THttpTransport {
public:
    // Answers a URL: the body, or an HTTP error status, or a network failure.
    struct Answer {
        std::string body;
        int status = 200;      // 0: no reply at all (connection failed)
    };
    std::function<Answer(const std::string& url)> script = [](const std::string&) { return Answer{}; };

    qz::THttpReply Request(const std::string& method, const std::string& url, const std::string&, uint32_t,
                           uint32_t) override {
        std::function<Answer(const std::string&)> s;
        {
            std::lock_guard<std::mutex> hold(lock_);
            urls_.push_back(method + " " + url);
            s = script;
        }
        const Answer a = s(url);
        qz::THttpReply r;
        r.status = a.status;
        r.ok = a.status >= 200 && a.status < 300;
        if (a.status == 0) {
            r.error = "Could not establish connection (socket error 10061)";
            r.socketError = 10061;
        } else {
            r.body = a.body;
            if (!r.ok) r.error = "HTTP/1.1 " + std::to_string(a.status);
        }
        return r;
    }
    std::vector<std::string> Urls() {
        std::lock_guard<std::mutex> hold(lock_);
        return urls_;
    }

private:
    std::mutex lock_;
    std::vector<std::string> urls_;
};

}  // namespace qztest
