// An NTS server of the tests' own, on 127.0.0.1 (Linux only): an NTS-KE
// server over TLS 1.3 (a self-signed certificate for "localhost", trusted
// through caFile()) and the NTP server it names, which answers with the
// real time. It keeps the keys of each cookie it gave out, checks each
// request's Authenticator, and records every cookie it receives, so that a
// test can tell which were sent, how often, and from which key exchange.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/nts_crypto.h"
#include "tests/support/temp_dir.h"

namespace tavrel::test {

class FakeNtsServer {
public:
    enum class Answer {
        Time,               // the time, with a new cookie for the spent one and each placeholder
        TimeWithoutCookies, // the time, but no cookie back
        Nak,                // an NTS NAK for every request
        NakOnce,            // an NTS NAK for the next request, then the time again
    };
    // What one NTP request carried.
    struct Request {
        std::vector<uint8_t> cookie;
        int keyExchange = -1;   // which NTS-KE (0, 1, ...) gave the cookie; -1 none of them
        bool authentic = false; // the Authenticator opened under that exchange's key
        size_t placeholders = 0;
        bool naked = false;     // answered with an NTS NAK
    };

    // The certificate is valid from validFromSeconds to validUntilSeconds
    // around the real time now (a day either side unless told).
    explicit FakeNtsServer(int64_t validFromSeconds = -86'400, int64_t validUntilSeconds = 86'400);
    ~FakeNtsServer();
    FakeNtsServer(const FakeNtsServer&) = delete;
    FakeNtsServer& operator=(const FakeNtsServer&) = delete;

    bool ok() const { return ok_; }
    uint16_t kePort() const { return kePort_; }
    uint16_t ntpPort() const { return ntpPort_; }
    const std::string& caFile() const { return caFile_; }
    void setAnswer(Answer answer) { answer_.store(answer); }

    size_t keyExchanges() const;
    std::vector<Request> requests() const;

private:
    struct Keys {
        platform::SivKey c2s{};
        platform::SivKey s2c{};
        int exchange = 0;
    };
    void serveKeyExchanges();
    void serveKeyExchange(int fd);
    void serveNtp();
    std::vector<uint8_t> newCookie(const Keys& keys);

    TempDir dir_;
    std::string caFile_;
    bool ok_ = false;
    int keListener_ = -1;
    int ntpSocket_ = -1;
    int stopPipe_[2] = {-1, -1};
    uint16_t kePort_ = 0;
    uint16_t ntpPort_ = 0;
    std::atomic<Answer> answer_{Answer::Time};
    void* credentials_ = nullptr;  // gnutls_certificate_credentials_t
    void* key_ = nullptr;          // gnutls_x509_privkey_t
    void* certificate_ = nullptr;  // gnutls_x509_crt_t

    mutable std::mutex mutex_;
    std::map<std::vector<uint8_t>, Keys> issued_;
    std::vector<Request> requests_;
    int exchanges_ = 0;
    std::thread keThread_;
    std::thread ntpThread_;
};

}  // namespace tavrel::test
