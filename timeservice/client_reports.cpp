#include "timeservice/client_reports.h"

#include <algorithm>
#include <chrono>

#include "platform/time.h"
#include "storage/log.h"
#include "storage/settings.h"
#include "storage/strings.h"
#include "storage/string_slots.h"

namespace tavrel {
namespace {

constexpr size_t kMostEvents = 4096;
constexpr size_t kMostLookups = 64;
constexpr size_t kMostNames = 256;
constexpr size_t kMostLines = 256;
constexpr uint64_t kStatusEveryMs = 500;
constexpr auto kReportEvery = std::chrono::milliseconds(250);

std::string servedText(ServedBy by) { return slot(by == ServedBy::Time ? kSlotTimeServed : kSlotSntpServed); }

bool syncsLogged() { return settings.logSyncs.load() && !settings.logDisabled.load(); }

}  // namespace

std::string confirmedName(const platform::NetAddress& client, const NameLookups& lookups) {
    const std::string name = lookups.reverse ? lookups.reverse(client) : std::string();
    if (name.empty() || !lookups.forward) return std::string();
    for (const platform::NetAddress& address : lookups.forward(name)) {
        if (address.sameHost(client)) return name;
    }
    return std::string();
}

std::string clientText(const platform::NetAddress& client, const std::string& name) {
    const std::string address = platform::addressText(client);
    return name.empty() ? address : address + " (" + name + ")";
}

void ClientReports::start(ServerStatusSink sink, ServerStatusSink trouble) {
    stop();
    {
        std::lock_guard lock(mutex_);
        trouble_ = trouble ? std::move(trouble) : sink;
        sink_ = std::move(sink);
        stopping_ = false;
        events_.clear();
        problems_.clear();
        droppedEvents_[0] = droppedEvents_[1] = 0;
    }
    // Each start counts afresh.
    tallies_[0] = ServedTally{};
    tallies_[1] = ServedTally{};
    lines_.clear();
    reporter_ = std::thread([this] { report(); });
    if (!resolver_.joinable()) resolver_ = std::thread([this] { resolve(); });
}

void ClientReports::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (reporter_.joinable()) reporter_.join();
    std::lock_guard lock(mutex_);
    lookups_.clear();
}

ClientReports::~ClientReports() {
    stop();
    {
        std::lock_guard lock(mutex_);
        resolverEnding_ = true;
    }
    changed_.notify_all();
    if (resolver_.joinable()) resolver_.join();
}

void ClientReports::served(ServedBy by, const platform::NetAddress* clients, int count) {
    {
        std::lock_guard lock(mutex_);
        for (int i = 0; i < count; ++i) {
            if (!events_.empty() && events_.back().by == by && events_.back().client.sameHost(clients[i])) {
                ++events_.back().requests;
            } else if (events_.size() < kMostEvents) {
                events_.push_back(Event{by, clients[i], 1});
            } else {
                ++droppedEvents_[static_cast<int>(by)];
            }
        }
    }
    // No wake-up: the reporting thread looks four times a second, and a
    // wake-up for every answer would cost the serving thread its speed.
}

void ClientReports::problem(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        problems_.push_back(text);
    }
    changed_.notify_one();
}

bool ClientReports::nameOf(const platform::NetAddress& client, std::string& name) {
    for (Name& n : names_) {
        if (n.address.sameHost(client)) {
            n.used = ++nameUses_;
            name = n.name;
            return true;
        }
    }
    return false;
}

// The names of clients, one lookup at a time; a slow or silent DNS server
// holds up only this thread.
void ClientReports::resolve() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return resolverEnding_ || !lookups_.empty(); });
        if (resolverEnding_) return;
        const platform::NetAddress client = lookups_.front();
        lock.unlock();
        // Both lookups, reverse and forward, on this thread.
        std::string name = confirmedName(client, nameLookups_);
        lock.lock();
        // A stop meanwhile dropped the waiting lookups, this one's entry
        // with them.
        const auto waiting = std::find_if(lookups_.begin(), lookups_.end(),
                                          [&](const platform::NetAddress& a) { return a.sameHost(client); });
        if (waiting != lookups_.end()) lookups_.erase(waiting);
        Name entry{client, name, ++nameUses_};
        if (names_.size() < kMostNames) {
            names_.push_back(entry);
        } else {
            Name* oldest = &names_.front();
            for (Name& n : names_) {
                if (n.used < oldest->used) oldest = &n;
            }
            *oldest = entry;
        }
        changed_.notify_all();
    }
}

// Writes the lines whose names are known, or whose wait ran out (or all,
// when flushing); under the lock.
void ClientReports::writeLines(bool flush) {
    const uint64_t now = platform::getTickCount64();
    std::vector<std::string> ready;
    for (auto it = lines_.begin(); it != lines_.end();) {
        std::string name;
        if (nameOf(it->client, name) || flush || now - it->queuedAt >= kNameWaitMs) {
            ready.push_back(servedText(it->by) + clientText(it->client, name));
            it = lines_.erase(it);
        } else {
            ++it;
        }
    }
    if (ready.empty()) return;
    // The file is written outside the lock.
    mutex_.unlock();
    for (const std::string& line : ready) logLine(line);
    mutex_.lock();
}

void ClientReports::report() {
    uint64_t lastStatus = 0;
    bool statusPending = false;
    uint64_t statusSince = 0;
    Event statusEvent{ServedBy::Time, platform::NetAddress{}, 1};
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait_for(lock, kReportEvery);
        const bool stopping = stopping_;
        std::vector<Event> events;
        events.swap(events_);
        events_.reserve(events.size() < kMostEvents ? events.size() : kMostEvents);
        std::vector<std::string> problems;
        problems.swap(problems_);
        uint64_t dropped[2] = {droppedEvents_[0], droppedEvents_[1]};
        droppedEvents_[0] = droppedEvents_[1] = 0;
        const uint64_t now = platform::getTickCount64();
        const bool logging = syncsLogged();

        for (const Event& e : events) {
            if (!tallies_[static_cast<int>(e.by)].served(e.client, now, e.requests) || !logging) continue;
            if (lines_.size() < kMostLines) lines_.push_back(Line{e.by, e.client, now});
            std::string known;
            if (!nameOf(e.client, known) && lookups_.size() < kMostLookups) lookups_.push_back(e.client);
        }
        if (!lookups_.empty()) changed_.notify_all();
        writeLines(stopping);

        // The status line, at most twice a second: the last client answered,
        // by name once it is known (or by address when the lookup is slow).
        ServerStatusSink sink = sink_;
        ServerStatusSink trouble = trouble_;
        std::string status;
        if (!events.empty()) {
            if (!statusPending) statusSince = now;
            statusPending = true;
            statusEvent = events.back();
            std::string known;
            if (!nameOf(statusEvent.client, known) && lookups_.size() < kMostLookups) {
                lookups_.push_back(statusEvent.client);
                changed_.notify_all();
            }
        }
        if (statusPending && now - lastStatus >= kStatusEveryMs) {
            std::string name;
            if (nameOf(statusEvent.client, name) || now - statusSince >= kNameWaitMs || stopping) {
                status = servedText(statusEvent.by) + clientText(statusEvent.client, name);
                statusPending = false;
                lastStatus = now;
            }
        }
        std::vector<std::string> summaries;
        for (int by = 0; by < 2; ++by) {
            tallies_[by].countWithoutClient(dropped[by]);
            // At the stop, what no summary has told yet is written too.
            const auto summary = stopping ? tallies_[by].summaryNow(now) : tallies_[by].summaryDue(now);
            if (summary && logging) {
                summaries.push_back(servedText(static_cast<ServedBy>(by)) + std::to_string(summary->requests) +
                                    " requests from " + (summary->clientsEstimated ? "about " : "") +
                                    std::to_string(summary->clients) + (summary->clients == 1 ? " client" : " clients"));
            }
        }
        lock.unlock();
        for (const std::string& problem : problems) {
            if (trouble) trouble(problem);
            if (settings.logErrors.load() && !settings.logDisabled.load()) logLine(problem, LogLevel::Warning);
        }
        if (!status.empty() && sink) sink(status);
        for (const std::string& summary : summaries) logLine(summary);
        lock.lock();
        if (stopping) return;
    }
}

}  // namespace tavrel
