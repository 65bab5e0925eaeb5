// A small HTTP/1.0 server for tests: listens on 127.0.0.1 on a free port,
// answers GET requests from a table of stored answers (by path with its
// query), and records every request line. Nothing beyond this machine.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vindral::test {

class LocalHttpServer {
public:
    struct Answer {
        int status = 200;
        std::string body;
        int delayMs = 0;          // wait this long before answering
        bool closeAtOnce = false; // close the connection without an answer
    };

    LocalHttpServer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 16) != 0) {
            ::close(listener_);
            listener_ = -1;
            return;
        }
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }

    ~LocalHttpServer() { Stop(); }

    // Stops answering and closes the port: later requests find nobody.
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (listener_ >= 0) {
            ::close(listener_);
            listener_ = -1;
        }
    }

    int Port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // `target` is the path with its query, as the request line carries it.
    void Set(const std::string& target, Answer answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[target] = std::move(answer);
    }
    void Set(const std::string& target, const std::string& body) { Set(target, Answer{200, body}); }

    // Answers `target` once with `first`; later requests get the table's.
    void SetOnce(const std::string& target, Answer first) {
        std::lock_guard<std::mutex> lock(mutex_);
        once_[target] = std::move(first);
    }

    std::vector<std::string> Requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void Serve() {
        while (!stop_) {
            pollfd wait{listener_, POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0) {
                continue;
            }
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) {
                continue;
            }
            Handle(client);
            ::close(client);
        }
    }

    void Handle(int client) {
        std::string request;
        char buffer[4096];
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (request.find("\r\n\r\n") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd wait{client, POLLIN, 0};
            if (::poll(&wait, 1, 50) <= 0) {
                continue;
            }
            const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
            if (got <= 0) {
                return;
            }
            request.append(buffer, static_cast<std::size_t>(got));
        }
        const std::string line = request.substr(0, request.find("\r\n"));
        std::string target;
        if (line.rfind("GET ", 0) == 0) {
            target = line.substr(4, line.rfind(' ') - 4);
        }
        Answer answer{404, "Not Found"};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(target);
            if (auto once = once_.find(target); once != once_.end()) {
                answer = once->second;
                once_.erase(once);
            } else if (auto it = answers_.find(target); it != answers_.end()) {
                answer = it->second;
            }
        }
        if (answer.delayMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
        }
        if (answer.closeAtOnce) {
            return;
        }
        std::string reply = "HTTP/1.0 " + std::to_string(answer.status) +
                            (answer.status == 200 ? " OK" : " Error") +
                            "\r\nContent-Length: " + std::to_string(answer.body.size()) +
                            "\r\nConnection: close\r\n\r\n" + answer.body;
        std::size_t sent = 0;
        while (sent < reply.size()) {
            const ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::map<std::string, Answer> once_;
    std::vector<std::string> requests_;
};

} // namespace vindral::test
