#pragma once

// A private sound server for one test: pulseaudio in a temporary folder with
// a null sink (48 kHz stereo float) as its only device, anonymous clients on
// its own socket, nothing of the user's configuration.
//
// A null sink renders its first block at its largest latency (two seconds)
// when it opens, and hands nothing on until that block has passed. So it
// starts suspended, a silent stream of another process (pacat playing
// /dev/zero) asks for a low latency, and only then is it resumed: sound
// flows within milliseconds.

#include "Platform/AudioCapture/PulseContext.h"

#include <pulse/introspect.h>
#include <pulse/thread-mainloop.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace quillmere::testing {

class PulseAudioServer {
public:
    static constexpr const char* sinkName = "quillmere_test";

    PulseAudioServer() {
        std::string pattern = "/tmp/quillmere-pulse-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        socket_ = folder_ / "native";
        std::ofstream(folder_ / "default.pa")
            << "load-module module-null-sink sink_name=" << sinkName << " rate=48000 channels=2 format=float32le\n"
            << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket_.string() << "\n"
            << "set-default-sink " << sinkName << "\n"
            << "suspend-sink " << sinkName << " 1\n";

        // Everything the server keeps or looks up goes to the folder.
        const std::vector<std::string> own{"HOME", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "PULSE_RUNTIME_PATH",
                                           "PULSE_STATE_PATH"};
        std::vector<std::string> variables;
        for (const std::string& name : own) variables.push_back(name + "=" + folder_.string());
        for (char** entry = environ; *entry; ++entry) {
            const std::string_view text(*entry);
            const std::string_view name = text.substr(0, text.find('='));
            if (std::find(own.begin(), own.end(), name) == own.end() && name != "PULSE_SERVER")
                variables.emplace_back(text);
        }
        std::vector<char*> environment;
        for (std::string& variable : variables) environment.push_back(variable.data());
        environment.push_back(nullptr);
        const std::string script = (folder_ / "default.pa").string();
        std::vector<std::string> arguments{"pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
                                           "--use-pid-file=no", "--disable-shm=yes", "--realtime=no",
                                           "--high-priority=no", "--log-target=stderr", "--log-level=error"};
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);

        pid_ = spawn(argv, environment);
        for (int i = 0; i < 500 && !accepts(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!accepts()) throw std::runtime_error("pulseaudio did not start");

        const std::string address = "PULSE_SERVER=" + server();
        std::vector<char*> keeperEnvironment(environment.begin(), environment.end() - 1);
        keeperEnvironment.push_back(const_cast<char*>(address.c_str()));
        keeperEnvironment.push_back(nullptr);
        std::vector<std::string> keeperArguments{"pacat", "--playback", "--raw", "--latency-msec=10", "/dev/zero"};
        std::vector<char*> keeperArgv;
        for (std::string& argument : keeperArguments) keeperArgv.push_back(argument.data());
        keeperArgv.push_back(nullptr);
        keeper_ = spawn(keeperArgv, keeperEnvironment);
        resume();
    }

    ~PulseAudioServer() {
        stop(keeper_);
        kill();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    // The address clients connect to.
    std::string server() const { return "unix:" + socket_.string(); }

    // Ends the server at once, as a crash would.
    void kill() { stop(pid_); }

private:
    static pid_t spawn(std::vector<char*>& argv, std::vector<char*>& environment) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) ::dup2(null, STDOUT_FILENO);
            ::execvpe(argv[0], argv.data(), environment.data());
            ::_exit(127);
        }
        return pid;
    }
    static void stop(pid_t& pid) {
        if (pid <= 0) return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    // Once the keeper plays.
    void resume() {
        auto control = PulseContext::connect({server(), "test control", {}});
        if (!control) throw std::runtime_error(control.error().description());
        PulseContext& context = **control;
        for (int i = 0; i < 500 && playbackStreams(context) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        PulseContext::Lock lock(context);
        bool done = false;
        struct Wait {
            pa_threaded_mainloop* loop;
            bool* done;
        } wait{context.loop(), &done};
        pa_operation* operation = pa_context_suspend_sink_by_name(
            context.get(), sinkName, 0,
            [](pa_context*, int, void* userdata) {
                auto& w = *static_cast<Wait*>(userdata);
                *w.done = true;
                pa_threaded_mainloop_signal(w.loop, 0);
            },
            &wait);
        if (!operation) throw std::runtime_error("the test sink cannot be resumed");
        while (!done) pa_threaded_mainloop_wait(context.loop());
        pa_operation_unref(operation);
    }

    static int playbackStreams(PulseContext& context) {
        PulseContext::Lock lock(context);
        struct Count {
            pa_threaded_mainloop* loop;
            int streams = 0;
            bool done = false;
        } count{context.loop()};
        pa_operation* operation = pa_context_get_sink_input_info_list(
            context.get(),
            [](pa_context*, const pa_sink_input_info* info, int last, void* userdata) {
                auto& c = *static_cast<Count*>(userdata);
                if (last == 0 && info) ++c.streams;
                if (last != 0) {
                    c.done = true;
                    pa_threaded_mainloop_signal(c.loop, 0);
                }
            },
            &count);
        if (!operation) return 0;
        while (!count.done) pa_threaded_mainloop_wait(context.loop());
        pa_operation_unref(operation);
        return count.streams;
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

    std::filesystem::path folder_;
    std::filesystem::path socket_;
    pid_t pid_ = -1;
    pid_t keeper_ = -1;
};

} // namespace quillmere::testing
