// A stand-in site agent for the publishing benchmark (bench/mqtt_bench.py):
// it commits a cycle of made-up records (and now and then an event) to a
// store at any interval, far faster than units can be polled, and runs the
// publisher beside it, the store shared behind one lock as qmhost serve
// shares it between its lines and its publisher.
//   outbox_agent --store FILE --site NAME --mqtt FILE [--interval-ms N] [--units N]
//                [--cycles N] [--max-mb N]
// --mqtt names a JSON file holding the site file's "mqtt" member. SIGTERM
// or SIGINT stops it; it prints "outbox_agent: publishing STORE_ID" once running.
#include "agent/events.hpp"
#include "agent/mqtt_settings.hpp"
#include "agent/publisher.hpp"
#include "agent/shared_store.hpp"
#include "agent/store.hpp"
#include "agent/time_text.hpp"
#include "tools/common/arguments.hpp"
#include "base/json_file.hpp"

#include <signal.h>

#include <chrono>
#include <iostream>
#include <string>

namespace {

std::string option(int argc, char** argv, const std::string& name, const std::string& fallback)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (argv[i] == name) return argv[i + 1];
    return fallback;
}

agent::Cycle make_cycle(int64_t number, int units)
{
    agent::Cycle cycle;
    cycle.time_ms = agent::utc_now_ms();
    for (int u = 1; u <= units; ++u) {
        agent::NewRecord r;
        r.unit = "unit-" + std::to_string(u);
        r.slave = u;
        r.device_id = u;
        r.ts_ms = cycle.time_ms;
        r.local_time = agent::iso8601_utc_ms(cycle.time_ms);
        r.clock_ok = true;
        r.rtype = 5156;
        r.body.assign(459, static_cast<unsigned char>(number & 0xFF));
        cycle.records.push_back(std::move(r));
    }
    if (number % 10 == 0)
        cycle.events.push_back({"unit-1", cycle.time_ms, agent::event_kind::kUnitBack, agent::unit_back_detail(number)});
    return cycle;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        sigset_t stop;
        sigemptyset(&stop);
        sigaddset(&stop, SIGINT);
        sigaddset(&stop, SIGTERM);
        sigprocmask(SIG_BLOCK, &stop, nullptr);

        const std::string site = option(argc, argv, "--site", "site-1");
        agent::StoreSettings settings;
        settings.path = option(argc, argv, "--store", "outbox.db");
        settings.site = site;
        settings.forwarding = true;
        settings.max_mb = parse_integer<int>("--max-mb", option(argc, argv, "--max-mb", "256"), 1, 1024);
        agent::AgentStats stats;
        agent::SharedStore store(settings, stats);

        agent::PublisherSetup setup;
        setup.mqtt = agent::check_mqtt_settings(read_json_file("mqtt settings", option(argc, argv, "--mqtt", "")),
                                                "mqtt", ".");
        setup.site = site;
        setup.store_path = settings.path;
        setup.store_id = store.store_id();
        setup.version = "test";
        setup.log = [](const std::string& line) { std::cerr << "outbox_agent: " << line << std::endl; };
        agent::Publisher publisher(setup, store, stats);
        publisher.start();
        std::cout << "outbox_agent: publishing " << store.store_id() << std::endl;

        const auto interval = std::chrono::milliseconds(
            parse_integer<int>("--interval-ms", option(argc, argv, "--interval-ms", "200"), 1, 60000));
        const int units = parse_integer<int>("--units", option(argc, argv, "--units", "2"), 1, 100);
        const int64_t cycles = parse_integer<int64_t>("--cycles", option(argc, argv, "--cycles", "0"), 0, 100000000);
        for (int64_t n = 1;; ++n) {
            if (cycles == 0 || n <= cycles) {
                store.write(make_cycle(n, units));
                publisher.wake();
                if (cycles != 0 && n == cycles) store.flush();
                if (cycles != 0 && n == cycles) std::cout << "outbox_agent: committed " << n << std::endl;
            }
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(interval);
            const timespec wait{static_cast<time_t>(seconds.count()),
                                static_cast<long>(std::chrono::nanoseconds(interval - seconds).count())};
            if (sigtimedwait(&stop, nullptr, &wait) > 0) break;
        }
        publisher.stop();
        const agent::AgentStatsSnapshot s = stats.snapshot();
        std::cout << "outbox_agent: published " << s.published_total << " replayed " << s.replayed_total
                  << " dropped " << s.dropped_records_total << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "outbox_agent: " << e.what() << std::endl;
        return 1;
    }
}
