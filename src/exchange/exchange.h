#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "exchange/reply_check.h"
#include "foundation/loop.h"
#include "foundation/time_math.h"
#include "platform/clock.h"
#include "platform/network.h"

// The exchange core: one plan in, one result out. An SNTPv4 client that asks a server for
// its time over UDP, as many servers at once as it is given, each moved on by the loop.
namespace pelldor::exchange {

// What proves a reply came unchanged from the server that was asked: fields added to each
// request, and the reply examined for what answers them (NTS, RFC 8915).
class Authenticator {
public:
    virtual ~Authenticator() = default;
    // The request as it goes out: the header given, and what authenticates it.
    [[nodiscard]] virtual std::vector<std::uint8_t> Extend(std::span<const std::uint8_t> header) = 0;

    enum class Finding {
        Authentic,
        Refused,  // the server's own unauthenticated refusal of our credentials (NTS NAK)
        Forged,   // anything else: a reply that proves nothing, whatever its header says
    };
    struct Examined {
        Finding finding = Finding::Forged;
        std::string why;  // for Forged
    };
    // A whole reply, as long as it came.
    [[nodiscard]] virtual Examined Examine(std::span<const std::uint8_t> reply) = 0;
};

// How one server is asked.
struct Plan {
    // A host name or a numeric address, looked up once for every exchange of the client
    // that names it; or, when `addresses` is given, only a name for these addresses.
    std::string host;
    std::vector<platform::NetAddress> addresses;
    std::int32_t port = 123;  // outside 1 to 65535 the exchange fails at once
    // Only addresses of this family are asked.
    std::optional<platform::NetAddress::Family> family;
    // A request unanswered this long is sent again, on the same socket with a fresh
    // cookie, and after its second request the next address of the name takes its turn,
    // round and round. 0: one request per address.
    std::int64_t resendNanos = 0;
    // The exchange ends this long after it began, with what arrived by then read and the
    // notice that no answer came; 0 or less: it waits for an answer without end.
    std::int64_t timeoutNanos = 0;
    // With one, only a reply it finds authentic counts, and one it finds forged or
    // refused ends the exchange without a time.
    std::shared_ptr<Authenticator> authenticator;
};

// What a usable reply measured, beside the time it brought.
struct Measurement {
    std::int64_t offsetNanos = 0;  // the server's clock minus ours
    std::int64_t delayNanos = 0;   // the round trip on the wire
    std::uint8_t stratum = 0;
    std::uint8_t leap = 0;
    std::int8_t precision = 0;
    std::uint32_t referenceId = 0;
    std::int64_t rootDistanceNanos = 0;
    // The server's clock at its reply minus its reference time: how long ago it last set it.
    std::int64_t referenceAgeNanos = 0;
    platform::NetAddress server;
};

struct Result {
    bool done = false;
    // The server's clock at the moment of receipt, as a local date-time in the zone our
    // clock was read in when the request went out.
    std::optional<PreciseLocalTime> time;
    std::optional<Measurement> measurement;
    // Where the last request went; none when none went out (its name not looked up yet).
    std::optional<platform::NetAddress> asked;
    // Why there is no time, and the text the client reports it with; for a failed lookup
    // or network, the failure that the text tells of.
    Notice notice = Notice::None;
    std::string text;
    platform::NetFailure failure;
    // The code of a reply's kiss (RATE, DENY, INIT, ...), or of the kiss-o'-death that kept
    // this exchange from asking.
    std::string kissCode;
};

class Exchange;

// Lives for the whole run and remembers across exchanges what later ones must respect:
// the name lookups, whose turn each address has, and the servers that told it to stop.
class Client {
public:
    Client(platform::Clock& clock, platform::Network& network, Loop& loop);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Starts asking; the loop moves the exchange on from now, and `finished` hears its
    // result as it ends (at once for a plan that cannot be asked). Dropping the exchange
    // abandons it: its socket closes, and nothing of it is read or told afterwards.
    [[nodiscard]] std::unique_ptr<Exchange> Begin(Plan plan, std::function<void(const Result&)> finished = {});
    // Asks as each plan says, all at once, and returns when every exchange has ended.
    [[nodiscard]] std::vector<Result> Run(std::vector<Plan> plans);

    // Looks up the plans' names, all at once, and returns when each has its answer or the
    // monotonic clock reads `until`; exchanges that name them later take the same answers.
    void LookUp(const std::vector<Plan>& plans, std::int64_t until);
    // A name's addresses once it has been looked up; none while pending or when it failed.
    [[nodiscard]] std::vector<platform::NetAddress> AddressesOf(const std::string& host) const;

private:
    friend class Exchange;

    // One lookup per host for the whole run: an exchange that ends while it is pending
    // leaves it running for the next, so a slow name server costs one resolver thread and
    // a name slower than an attempt still resolves for a later one.
    struct Resolution {
        std::string host;
        bool given = false;  // the plan's own addresses, not a lookup that others share
        std::unique_ptr<platform::NameLookup> lookup;  // until it has finished
        platform::LookupStatus status = platform::LookupStatus::Pending;
        std::vector<platform::NetAddress> addresses;
        platform::NetFailure failure;
        std::size_t nextFirst = 0;  // where the next exchange starts in the list
    };

    // An address that answered DENY, RSTR or RATE, and the notice it earned.
    struct Silenced {
        platform::NetAddress address;
        std::string text;
        std::string kissCode;
    };

    Resolution& ResolutionOf(const Plan& plan);
    // Takes the lookup's answer once it has one.
    static void Poll(Resolution& resolution);
    [[nodiscard]] Resolution* LookedUp(const std::string& host) const;
    [[nodiscard]] const Silenced* FindSilenced(const platform::NetAddress& address) const;

    platform::Clock& clock_;
    platform::Network& network_;
    Loop& loop_;
    std::vector<std::unique_ptr<Resolution>> resolutions_;
    std::vector<Silenced> silenced_;
};

// One server asked, from its plan to its result.
class Exchange final : public Task {
public:
    ~Exchange() override;
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    [[nodiscard]] bool Done() const { return result_.done; }
    [[nodiscard]] const Result& result() const { return result_; }

    platform::Channel* Channel() override;
    [[nodiscard]] std::int64_t WakeAt() const override;
    void Advance(std::int64_t until) override;

private:
    friend class Client;

    // One request that went out. Our send time stays here rather than on the wire: T1 is
    // the wall clock then, and the time of receipt is T1 plus the monotonic time since, so
    // a wall-clock step during the exchange cannot distort the offset.
    struct Sent {
        std::uint64_t cookie = 0;
        platform::WallReading wall;
        std::int64_t monotonic = 0;
    };

    // The address being asked, through its own socket, and what went out to it.
    struct Request {
        std::unique_ptr<platform::UdpChannel> channel;
        platform::NetAddress peer;
        std::vector<Sent> sent;
    };

    Exchange(Client& client, Plan plan, std::function<void(const Result&)> finished);
    void Start();
    void StartSending();
    // Moves to the next address of the list; with `again`, one that every address has had
    // its turn in starts the round afresh.
    void SendToNextAddress(bool again = false);
    // Puts one more request on the wire to the address being asked; false when it failed.
    bool Send(Request& request);
    void ResendWhenDue();
    void ReadReplies(std::int64_t until);
    // True when the reply ended the exchange.
    bool TakeReply(std::size_t size);
    void Fail(Notice notice, std::string text);
    void Finish();

    Client& client_;
    Plan plan_;
    std::function<void(const Result&)> finished_;
    Client::Resolution* resolution_ = nullptr;
    Result result_;
    std::int64_t startNanos_ = 0;
    std::int64_t deadline_ = platform::kNever;
    std::int64_t pollAt_ = 0;  // while the name is looked up
    // The addresses this exchange may ask, and how many turns they have had, counted from
    // where it started in the list.
    std::vector<platform::NetAddress> addresses_;
    std::size_t first_ = 0;
    std::size_t tried_ = 0;
    platform::NetFailure lastNetworkError_;
    std::optional<Client::Silenced> passedOver_;  // an address passed over for its kiss
    std::optional<Request> request_;           // none while the name is looked up
    std::array<std::uint8_t, 1500> buffer_{};
};

}  // namespace pelldor::exchange
