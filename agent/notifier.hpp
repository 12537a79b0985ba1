// The notification command's runner: on its own thread, it reads the store's
// events after its mark, in seq order, and runs the command once for each
// event of a chosen kind (notify_command.hpp), one at a time. The mark moves
// past an event once its command succeeded or was given up on (a
// notify_failed event), and is kept in the store: a restart goes on after it.
// A command that ends and the agent stopping before the mark is written runs
// once more on the next start; nothing is ever skipped.
//
// Hold-off: an alarm_raised, alarm_cleared, unit_lost or unit_back with a
// hold_s waits that long after its time; when its opposite (the same unit,
// and for an alarm the same position) came meanwhile, the pair was a flap and
// neither is told. The events behind a held one wait with it: order is kept.
#pragma once

#include "agent/notify_settings.hpp"
#include "agent/shared_store.hpp"
#include "agent/store_reader.hpp"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace agent {

struct NotifierSetup {
    NotifySettings settings;
    std::string site;
    std::map<std::string, int> alarm_modes;  // per unit, its alarm code mode (1 or 2): which code QM_ALARM_CODE is
    // How late an event may reach the store after its time (the commit interval and a margin): a held
    // event is judged only once its opposite, had it come in time, is surely stored.
    int64_t settle_ms = 1500;
    // Events already stored are told when the agent stops, for this long at most.
    int64_t stop_grace_ms = 2000;
    std::function<void(const std::string&)> log;
};

class Notifier {
public:
    // Reads the mark; a store without one (notify newly added) starts after
    // its newest event, so a site's history is not told. Throws StoreError
    // when the store cannot be read.
    Notifier(NotifierSetup setup, SharedStore& store);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    void start();
    // New events were committed.
    void wake();
    // Tells what is stored and due for stop_grace_ms at most, then stops;
    // a command still running then is killed, and runs again at the next start.
    void stop();

    // The environment and the one-line text the command gets for `event`.
    static std::vector<std::string> environment(const StoredEvent& event, const std::string& site, int alarm_mode);
    static std::string text(const StoredEvent& event, const std::string& site);

private:
    enum class Told { Done, Stopped };

    void run();
    bool ended() const;
    bool wait_until_ms(int64_t utc_ms);
    std::optional<int64_t> due_ms(const StoredEvent& event);
    bool is_flap(const StoredEvent& event);
    Told tell(const StoredEvent& event);
    void move_mark(int64_t seq);

    NotifierSetup setup_;
    SharedStore& store_;
    StoreReader reader_;
    int64_t mark_ = 0;
    int64_t most_hold_ms_ = 0;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool woken_ = false;
    bool stopping_ = false;
    int64_t stop_by_steady_ms_ = 0;
    std::thread thread_;
};

}  // namespace agent
