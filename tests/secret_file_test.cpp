// Secret files: what kind of file and which modes are taken, and that a FIFO
// is refused at once rather than waited on.
#include "agent/secret_file.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kToken = "a-token-of-32-characters-or-so-1";

std::string made(const std::string& path, mode_t mode, const std::string& text = kToken + "\n")
{
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    return path;
}

TEST(SecretFile, TakesPrivateRegularFilesOnly)
{
    std::string dir = ::testing::TempDir() + "/secret-file-XXXXXX";
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    const struct {
        const char* name;
        std::function<std::string(const std::string&)> make;  // the path handed to the reader
        const char* refusal;                                  // empty: read, and the token
    } cases[] = {
        {"0600", [](const std::string& p) { return made(p, 0600); }, ""},
        {"0640", [](const std::string& p) { return made(p, 0640); }, ""},
        {"crlf", [](const std::string& p) { return made(p, 0600, kToken + "\r\nnext\n"); }, ""},
        {"0644", [](const std::string& p) { return made(p, 0644); }, "has mode 0644: others may read or write it (fix: chmod 0640 "},
        {"0666", [](const std::string& p) { return made(p, 0666); }, "has mode 0666"},
        {"0602", [](const std::string& p) { return made(p, 0602); }, "has mode 0602"},
        {"long", [](const std::string& p) { return made(p, 0600, std::string(300, 'x')); }, "its first line is longer than 64 bytes"},
        {"missing", [](const std::string& p) { return p; }, "cannot read "},
        {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0600); return p; }, "is a FIFO"},
        {"folder", [](const std::string& p) { ::mkdir(p.c_str(), 0700); return p; }, "is a folder"},
        {"device", [](const std::string&) { return std::string("/dev/null"); }, "is a device"},
        {"link-to-0600", [](const std::string& p) { ::symlink(made(p + ".target", 0600).c_str(), p.c_str()); return p; }, ""},
        {"link-to-0644", [](const std::string& p) { ::symlink(made(p + ".target", 0644).c_str(), p.c_str()); return p; }, "has mode 0644"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.make(dir + "/" + c.name);
        auto read = std::async(std::launch::async, [&path] {
            try {
                return "read: " + agent::read_secret_line(path, 64);
            } catch (const std::runtime_error& e) {
                return std::string(e.what());
            }
        });
        if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the reader waits on " << path;
            ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));  // a writer releases it
        }
        const std::string got = read.get();
        if (*c.refusal == '\0') {
            EXPECT_EQ(got, "read: " + kToken);
        } else {
            EXPECT_EQ(got.rfind(path, 0) == 0 || got.rfind("cannot read " + path, 0) == 0, true) << got;
            EXPECT_NE(got.find(c.refusal), std::string::npos) << got;
            EXPECT_EQ(got.find(kToken), std::string::npos) << got;
        }
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
