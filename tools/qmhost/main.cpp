// qmhost: the stand-in host as a command-line program. It loads the driver
// plug-in, creates a driver and drives it over a real Modbus line.
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/options.hpp"

#include <exception>
#include <iostream>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int run(const CommandLine& c)
{
    switch (c.command) {
    case CommandLine::Command::Poll:
        return run_poll(c);
    case CommandLine::Command::Control:
        return run_control(c);
    case CommandLine::Command::Demo:
        return run_demo();
    case CommandLine::Command::Version:
        std::cout << "qmhost " << QM_VERSION << std::endl;
        return 0;
    case CommandLine::Command::Help:
        break;
    }
    std::cout << usage_text(c.help_topic);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(parse_command_line(argc, argv));
    } catch (const UsageError& e) {
        std::cerr << "qmhost: " << e.what() << " (qmhost --help for usage)" << std::endl;
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "qmhost: " << e.what() << std::endl;
        return kExitFailure;
    }
}
