#pragma once

// A private sound server for one test: pulseaudio in a temporary folder with
// a null sink (48 kHz stereo float) as its only device, anonymous clients on
// its own socket, nothing of the user's configuration; and applications
// (pacat) playing tones to it under whichever process identifier the test
// wants them to claim.
//
// A null sink renders its first block at its largest latency (two seconds)
// when it opens, and hands nothing on until that block has passed. So it
// starts suspended, a silent stream of another process (pacat playing
// /dev/zero) asks for a low latency, and only then is it resumed: sound
// flows within milliseconds.

#include "TestSupport/ChildProcess.h"
#include "TestSupport/Eventually.h"
#include "TestSupport/TemporaryFolder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace quillmere::testing {

class PulseAudioServer {
public:
    static constexpr const char* sinkName = "quillmere_test";

    PulseAudioServer() {
        folder_ = temporary_.path();
        socket_ = folder_ / "native";
        std::ofstream(folder_ / "default.pa")
            << "load-module module-null-sink sink_name=" << sinkName << " rate=48000 channels=2 format=float32le\n"
            << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket_.string() << "\n"
            << "set-default-sink " << sinkName << "\n"
            << "suspend-sink " << sinkName << " 1\n";

        // Everything the server keeps or looks up goes to the folder.
        const std::vector<std::string> own{"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "PULSE_RUNTIME_PATH",
                                           "PULSE_STATE_PATH", "PULSE_SERVER"};
        for (const std::string& name : own)
            environment_.push_back(name + "=" + (name == "PULSE_SERVER" ? server() : folder_.string()));
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view text(*entry);
            if (std::find(own.begin(), own.end(), text.substr(0, text.find('='))) == own.end())
                environment_.emplace_back(text);
        }
        server_ = spawn({"pulseaudio", "-n", "-F", (folder_ / "default.pa").string(), "--daemonize=no",
                      "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes", "--realtime=no",
                      "--high-priority=no", "--log-target=stderr", "--log-level=error"},
                     environment_);
        if (!eventually([&] { return accepts(); })) throw std::runtime_error("pulseaudio did not start");
        players_.push_back(spawn({"pacat", "--playback", "--raw", "--latency-msec=10", "/dev/zero"}, environment_));
        waitForPlayers(1);
        if (std::system(("pactl --server=" + server() + " suspend-sink " + sinkName + " 0 >/dev/null 2>&1").c_str()))
            throw std::runtime_error("the test sink cannot be resumed");
    }

    ~PulseAudioServer() {
        // Not ours to wait for: their first parent is gone.
        for (const pid_t group : applications_) ::kill(-group, SIGKILL);
        for (ChildProcess& player : players_) player.kill();
        kill();
    }
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    // The address clients connect to.
    std::string server() const { return "unix:" + socket_.string(); }

    // Ends the server at once, as a crash would.
    void kill() { server_.kill(); }

    // Returns once an application plays a sine of amplitude 0.25 at the
    // frequency, for some seconds, claiming the given process identifier or
    // its own. Returns its own.
    pid_t play(double hz, std::optional<std::int32_t> claimed = std::nullopt, int seconds = 3) {
        auto environment = environment_;
        if (claimed) environment.push_back("PULSE_PROP_OVERRIDE=application.process.id=" + std::to_string(*claimed));
        players_.push_back(spawn(player(hz, seconds), environment));
        waitForPlayers(players_.size() + applications_.size());
        return players_.back().pid();
    }

    // Returns once an application that is no descendant of this process (a
    // shell, as a terminal window's owner would be) has a child playing the
    // tone for ten seconds. Returns the shell's process identifier.
    pid_t playInChildOfAnotherApplication(double hz) {
        std::vector<std::string> arguments{"sh", "-c", "\"$0\" \"$@\" & wait"};
        for (std::string& argument : player(hz, 10)) arguments.push_back(std::move(argument));
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& variable : environment_) envp.push_back(variable.data());
        envp.push_back(nullptr);
        int report[2];
        if (::pipe(report) != 0) throw std::runtime_error("pipe failed");
        // The middle process leaves at once: the shell is adopted away from
        // this process.
        ChildProcess middle = ChildProcess::fork([&] {
            const pid_t shell = ::fork();
            if (shell == 0) {
                ::setpgid(0, 0);
                const int null = ::open("/dev/null", O_WRONLY);
                if (null >= 0) ::dup2(null, STDOUT_FILENO);
                ::execvpe(argv[0], argv.data(), envp.data());
                ::_exit(127);
            }
            return ::write(report[1], &shell, sizeof shell) == sizeof shell ? 0 : 1;
        });
        ::close(report[1]);
        pid_t shell = -1;
        const bool read = ::read(report[0], &shell, sizeof shell) == sizeof shell;
        ::close(report[0]);
        middle.wait();
        if (!read || shell <= 0) throw std::runtime_error("the application did not start");
        applications_.push_back(shell);
        waitForPlayers(players_.size() + applications_.size());
        return shell;
    }

private:
    // pacat playing a sine of amplitude 0.25 at the frequency.
    std::vector<std::string> player(double hz, int seconds) const {
        const auto file = folder_ / ("tone" + std::to_string(hz) + "-" + std::to_string(seconds) + ".raw");
        std::vector<float> samples(static_cast<std::size_t>(48000 * seconds * 2));
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<float>(0.25 * std::sin(2 * M_PI * hz * static_cast<double>(i / 2) / 48000));
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 4));
        return {"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                "--latency-msec=20", file.string()};
    }

    static ChildProcess spawn(const std::vector<std::string>& arguments, const std::vector<std::string>& environment) {
        return ChildProcess(arguments, {.environment = environment});
    }

    void waitForPlayers(std::size_t count) const {
        const std::string list = "pactl --server=" + server() + " list short sink-inputs 2>/dev/null | wc -l";
        const auto playing = [&] {
            FILE* output = ::popen(list.c_str(), "r");
            unsigned found = 0;
            const bool read = output && std::fscanf(output, "%u", &found) == 1;
            if (output) ::pclose(output);
            return read && found >= count;
        };
        if (!eventually(playing)) throw std::runtime_error("a player did not start");
    }

    bool accepts() const {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0) return false;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_.c_str());
        const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return connected;
    }

    TemporaryFolder temporary_;
    std::filesystem::path folder_;
    std::filesystem::path socket_;
    std::vector<std::string> environment_;
    ChildProcess server_;
    // The first keeps the sink's latency low: it plays silence.
    std::vector<ChildProcess> players_;
    // Process groups of the applications not descended from this process.
    std::vector<pid_t> applications_;
};

} // namespace quillmere::testing
