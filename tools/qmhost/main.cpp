// qmhost: the stand-in host as a command-line program. It loads the driver
// plug-in, creates a driver and drives it over a real Modbus line.
#include "tools/qmhost/commands.hpp"
#include "tools/qmhost/ingest_command.hpp"
#include "tools/qmhost/options.hpp"
#include "tools/qmhost/output_file.hpp"
#include "tools/qmhost/program_output.hpp"
#include "tools/qmhost/store_commands.hpp"
#include "tools/qmhost/store_repair_command.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>

namespace {

ExitStatus run(const CommandLine& c, DriverLog& driver_log)
{
    switch (c.command) {
    case CommandLine::Command::Poll:
        return run_poll(c, driver_log);
    case CommandLine::Command::Control:
        return run_control(c);
    case CommandLine::Command::Demo:
        return run_demo();
    case CommandLine::Command::On:
    case CommandLine::Command::Off:
    case CommandLine::Command::Set:
        return run_safe_control(c);
    case CommandLine::Command::Points:
        return run_points(c);
    case CommandLine::Command::Decode:
        return run_decode(c);
    case CommandLine::Command::Scan:
        return run_scan(c);
    case CommandLine::Command::Serve:
        return run_serve(c);
    case CommandLine::Command::Status:
        return run_status(c);
    case CommandLine::Command::Version:
        program_output() << "qmhost " << QM_VERSION << std::endl;
        return ExitStatus::kOk;
    case CommandLine::Command::Help:
        break;
    }
    program_output() << usage_text(c.help_topic);
    if (c.help_topic == CommandLine::Command::Help)
        program_output() << "\n" << store_usage_text() << "\n" << store_repair_usage_text() << "\n" << ingest_usage_text()
                         << "\n" << documents_text();
    program_output() << std::flush;
    return ExitStatus::kOk;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        if (argc >= 2 && is_store_command(argv[1])) return run_store_command(argc, argv);
        if (argc >= 2 && std::string(argv[1]) == "ingest") return run_ingest_command(argc, argv);
        if (argc >= 2 && std::string(argv[1]) == "store") return run_store_repair(argc, argv);
        const CommandLine command = parse_command_line(argc, argv);
        refuse_shared_outputs({{"--driver-log", command.driver_log},
                               {"--report", command.poll.report},
                               {"--alarms", command.poll.alarms},
                               {"--history", command.poll.history},
                               {"--events", command.poll.events}});
        DriverLog driver_log(command.driver_log);
        const ExitStatus status = run(command, driver_log);
        // What went out on standard output through the stream, written at last.
        if (!program_output().flush()) {
            std::cerr << "qmhost: cannot write standard output: " << std::strerror(errno) << std::endl;
            return exit_code(ExitStatus::kOutputFailed);
        }
        return exit_code(status);
    } catch (const ConfigError& e) {
        std::cerr << "qmhost: " << e.what() << std::endl;
        return exit_code(ExitStatus::kRefused);
    } catch (const UsageError& e) {
        std::cerr << "qmhost: " << e.what() << " (qmhost --help for usage)" << std::endl;
        return exit_code(ExitStatus::kRefused);
    } catch (const std::exception& e) {
        std::cerr << "qmhost: " << e.what() << std::endl;
        return exit_code(ExitStatus::kFailed);
    }
}
