// One server asked by Network Time Security: the keys and cookies from its
// NTS-KE, kept in memory (and told to a keeper, which may keep them on disk
// for the next start), and authenticated NTPv4 exchanges with them.
// Every request spends one cookie (never sent twice) and asks with
// placeholders for as many back as keep about kNtsMaxCookies in hand; a new
// NTS-KE runs when none are left or the server sends an NTS NAK. A reply
// counts only when it answers the request outstanding (its Unique
// Identifier) and its Authenticator verifies.
//
// One thread uses an object at a time, except abort().
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "nts/nts_fields.h"
#include "nts/nts_ke_records.h"
#include "platform/nts_crypto.h"
#include "platform/socket.h"
#include "platform/time.h"
#include "protocol/time_protocol.h"

namespace tavrel {

struct NtsServer {
    std::string host;             // as written: name or address, checked against the certificate
    uint16_t port = kNtsKePort;   // NTS-KE's TCP port
    std::string extraCaFile;      // trusted beside the system's store; "": platform::ntsExtraCaFile()
    uint32_t timeoutMs = 5000;    // for each NTS-KE and each exchange
};

// One exchange's outcome, in the terms the SNTP path uses.
struct NtsExchange {
    bool ok = false;
    std::string failure;           // why not, for the log
    std::string kiss;              // an authenticated Kiss-o'-Death's code
    platform::FileTime t1 = 0;     // this computer's clock as the request left
    platform::FileTime t4 = 0;     // and as the reply came
    SntpTimestamps stamps{};       // T2 and T3
    int64_t offsetUnits = 0;       // server minus this computer, 100 ns
    std::array<uint8_t, kNtpHeaderSize> header{};  // the reply's NTP header
    // The reply came under keys whose certificate was let through
    // provisionally (the clock was not known good) and settled by the
    // server's authenticated time: it lay inside the chain's validity.
    bool certificateCheckedByServer = false;
};

// What a client holds between exchanges: its keys, the cookies not yet
// sent, the NTP server they go with and when the NTS-KE gave them. Secret:
// never logged.
struct NtsKeys {
    platform::SivKey c2s{};
    platform::SivKey s2c{};
    uint16_t aead = kNtsAeadAesSivCmac256;
    std::vector<std::vector<uint8_t>> cookies;
    std::string ntpHost;
    uint16_t ntpPort = kSntpPort;
    platform::FileTime got = 0;  // UTC of the NTS-KE
};

// Keys and cookies are used for at most a day after their NTS-KE: a
// server's keys for its cookies may last no longer.
inline constexpr uint64_t kNtsKeysLifetimeMs = 24ULL * 3600 * 1000;

class NtsClient {
public:
    explicit NtsClient(NtsServer server);
    NtsClient(const NtsClient&) = delete;
    NtsClient& operator=(const NtsClient&) = delete;

    // Runs NTS-KE now, replacing any keys and cookies, with each address of
    // the server's name in turn until one succeeds, all within the
    // time-out; false with the reason ("certificate not valid for ...",
    // "refused (error 1)", "connection closed", ...).
    // clockKnownGood false: this computer's clock is not known good, so a
    // certificate chain that fails on its validity period alone is taken
    // provisionally; the next authenticated reply then settles it: its
    // time must lie inside the chain's period, or the keys and cookies are
    // dropped and the reply refused with the certificate's reason.
    [[nodiscard]] bool keyExchange(std::string& failure, bool clockKnownGood = true);

    size_t cookieCount() const { return cookies_.size(); }
    // How many NTS-KEs have succeeded so far.
    size_t keyExchangeCount() const { return keyExchanges_; }
    // Where the NTP requests go, as the NTS-KE named it (when it named
    // none, the address that answered it).
    const std::string& ntpHost() const { return ntpHost_; }
    uint16_t ntpPort() const { return ntpPort_; }

    // One exchange on a UDP socket connected to ntpHost():ntpPort(): waits
    // until a reply passes (others are ignored) or the time-out.
    NtsExchange exchange(platform::Socket& socket);
    // Everything: NTS-KE when no cookie is left, then the exchange with the
    // server it named, on a socket of its own. clockKnownGood as for
    // keyExchange(); true also judges keys a server's time vouched for
    // against the clock.
    NtsExchange query(bool clockKnownGood = true);

    // For a caller that moves the datagrams itself: the next request,
    // spending a cookie (false with the reason when none is left) ...
    [[nodiscard]] bool buildRequest(platform::FileTime t1, std::vector<uint8_t>& packet, std::string& failure);
    // ... and a datagram that came back at t4. Refused ones leave the
    // request outstanding; an accepted one or a NAK settles it.
    NtsExchange readReply(std::span<const uint8_t> packet, platform::FileTime t4);

    // The keys and cookies held now (none after a NAK or a failed NTS-KE).
    NtsKeys keys() const;
    // Takes keys and cookies kept from an earlier run instead of a new
    // NTS-KE, for what is left of their day; false (and nothing taken)
    // when they are older, from a clock far ahead, or not usable.
    bool restore(NtsKeys keys, platform::FileTime now);
    // Called with the keys whenever they change: after an NTS-KE, after a
    // NAK, and as a cookie is spent, before its request can be sent (so a
    // keeper that writes them never keeps a cookie once sent). Cookies
    // that come back with replies are handed over by keepUnsaved().
    void setKeeper(std::function<void(const NtsKeys&)> keeper) { keeper_ = std::move(keeper); }
    void keepUnsaved();

    // Closes the socket in use, from any thread: the running call fails
    // with "aborted", and so does every later one until resume(). An owner
    // that keeps the client (and its cookies) for later queries calls
    // resume() before each and then checks its own abort flag, so that an
    // abort that came in between is not lost.
    void abort();
    void resume() { aborted_.store(false); }

private:
    std::shared_ptr<platform::Socket> openSocket(platform::SocketKind kind, const platform::NetAddress& address);
    // One NTS-KE with one address of the server, within the tick slotEnd:
    // true with the keys and cookies taken; else the reason, and `refused`
    // when the server itself refused rather than the connection failing.
    bool keyExchangeAt(platform::NetAddress address, uint64_t slotEnd, platform::TlsExchangeRequest& request,
                       std::string& failure, bool& refused);
    void forgetKeys();
    void keep();
    // Tells the keeper the keys without the cookie the next request spends.
    void keepWithoutNext();
    // A reply under provisional keys: accepted when its server's time lies
    // in the chain's validity period, else refused and the keys dropped.
    void settleProvisional(NtsExchange& result);

    const NtsServer server_;
    platform::SivKey c2s_{};
    platform::SivKey s2c_{};
    std::deque<std::vector<uint8_t>> cookies_;
    std::string ntpHost_;
    uint16_t ntpPort_ = kSntpPort;
    size_t keyExchanges_ = 0;
    platform::FileTime got_ = 0;    // UTC of the NTS-KE
    uint64_t expiresTick_ = 0;      // tick count when the keys are a day old
    bool unsaved_ = false;          // cookies came back since the keeper was last told
    bool nextKept_ = false;         // the keeper was told without the next cookie already
    std::function<void(const NtsKeys&)> keeper_;
    // The keys came from a chain whose validity period this computer's
    // clock could not vouch for: the period, until a reply settles it.
    bool provisional_ = false;
    // A reply's time settled it: the keys stand, but on the server's word,
    // until a clock known good judges the period again.
    bool checkedByServer_ = false;
    platform::CertificatePeriod period_;
    // The request outstanding.
    bool pending_ = false;
    std::array<uint8_t, kNtsUidSize> uid_{};
    platform::FileTime t1_ = 0;
    std::array<uint8_t, 8> transmit_{};  // the request's transmit timestamp, echoed as origin

    std::atomic<bool> aborted_{false};
    std::mutex socketMutex_;  // guards socket_
    std::shared_ptr<platform::Socket> socket_;
};

}  // namespace tavrel
