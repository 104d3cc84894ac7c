#include "Platform/ScreenCapture/ScreenCaptureStreamX11.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/ThreadSlice.h"
#include "Platform/ScreenCapture/CaptureLoopX11.h"
#include "Platform/ScreenCapture/CaptureTargetX11.h"
#include "Platform/X11/XcbConnection.h"

#include <poll.h>
#include <pthread.h>
#include <time.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <thread>
#include <variant>

namespace quillmere {

namespace {

struct StopCommand {
    ScreenCaptureStream::Completion completion;
};
struct UpdateCommand {
    ScreenCaptureStreamConfiguration configuration;
    ScreenCaptureStream::Completion completion;
};
struct QuitCommand {};
using Command = std::variant<StopCommand, UpdateCommand, QuitCommand>;

ScreenCaptureError stateError(ScreenCaptureError::Code code, std::string detail) {
    return ScreenCaptureError::make(code, std::move(detail));
}

} // namespace

struct ScreenCaptureStreamX11::Worker {
    Worker(XcbConnection::Opener x, ContentFilter f, ScreenCaptureStreamConfiguration c,
           std::weak_ptr<ScreenCaptureStreamOutput> o, std::shared_ptr<Executor> q)
        : open(std::move(x)), filter(std::move(f)), configuration(c), output(std::move(o)), sampleQueue(std::move(q)),
          wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    ~Worker() {
        if (wakeFd >= 0) close(wakeFd);
    }

    // False once the capture thread has finished: the command was not queued.
    bool post(Command command) {
        {
            std::lock_guard lock(mutex);
            if (finished) return false;
            commands.push_back(std::move(command));
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = write(wakeFd, &one, sizeof one);
        return true;
    }

    void run(Completion startCompletion);
    // Takes the queued commands; false when the capture must end.
    bool applyCommands(CaptureLoopX11* loop, std::optional<Completion>& stopCompletion);
    void finish(std::optional<Completion> stopCompletion);

    const XcbConnection::Opener open;
    const ContentFilter filter;
    ScreenCaptureStreamConfiguration configuration;
    const std::weak_ptr<ScreenCaptureStreamOutput> output;
    const std::shared_ptr<Executor> sampleQueue;
    const int wakeFd;

    std::mutex mutex;
    std::deque<Command> commands;
    bool started = false;
    bool finished = false;
    std::thread thread;
};

bool ScreenCaptureStreamX11::Worker::applyCommands(CaptureLoopX11* loop, std::optional<Completion>& stopCompletion) {
    std::uint64_t drained = 0;
    [[maybe_unused]] const auto read = ::read(wakeFd, &drained, sizeof drained);
    std::deque<Command> taken;
    {
        std::lock_guard lock(mutex);
        taken.swap(commands);
    }
    bool keepGoing = true;
    for (Command& command : taken) {
        if (auto* stop = std::get_if<StopCommand>(&command)) {
            if (!stopCompletion) stopCompletion = std::move(stop->completion);
            keepGoing = false;
        } else if (auto* update = std::get_if<UpdateCommand>(&command)) {
            if (update->configuration.width < 1 || update->configuration.height < 1) {
                update->completion(stateError(ScreenCaptureError::invalidParameter, "raster side below 1"));
                continue;
            }
            configuration = update->configuration;
            if (loop != nullptr) loop->setConfiguration(configuration);
            update->completion(std::nullopt);
        } else {
            keepGoing = false;
        }
    }
    return keepGoing;
}

void ScreenCaptureStreamX11::Worker::finish(std::optional<Completion> stopCompletion) {
    std::deque<Command> leftover;
    {
        std::lock_guard lock(mutex);
        finished = true;
        leftover.swap(commands);
    }
    if (stopCompletion) (*stopCompletion)(std::nullopt);
    for (Command& command : leftover) {
        if (auto* stop = std::get_if<StopCommand>(&command)) stop->completion(std::nullopt);
        if (auto* update = std::get_if<UpdateCommand>(&command)) {
            update->completion(stateError(ScreenCaptureError::attemptToConfigStreamState, "the capture ended"));
        }
    }
}

void ScreenCaptureStreamX11::Worker::run(Completion startCompletion) {
    // Its frames are due on a grid: a late wake-up is a late frame.
    ThreadSlice::request(ThreadSlice::mediaNs);
    pthread_setname_np(pthread_self(), "quill-capture");
    std::optional<Completion> stopCompletion;
    {
        auto connection = open();
        if (!connection) {
            startCompletion(
                ScreenCaptureError::make(ScreenCaptureError::connectionInvalid, connection.error().description()));
            finish(std::nullopt);
            return;
        }
        auto target = CaptureTargetX11::open(**connection, filter);
        if (!target) {
            startCompletion(target.error());
            finish(std::nullopt);
            return;
        }
        CaptureLoopX11 loop(**connection, **target, configuration, output, sampleQueue);
        startCompletion(std::nullopt);

        const int xFd = (*connection)->fileDescriptor();
        bool running = applyCommands(&loop, stopCompletion);
        while (running) {
            loop.drainEvents(true);
            const auto next = loop.tick(Clock::nowNs());
            if (!next) break;
            // Replies read during the tick may have brought events along.
            if (loop.drainEvents(false)) continue;
            const std::uint64_t now = Clock::nowNs();
            const std::uint64_t waitNs = *next > now ? *next - now : 0;
            // Until a frame's deadline the server's events only wake this
            // thread for nothing (a moving picture sends several a frame).
            pollfd fds[2] = {{loop.waitsForFrameDeadline() ? -1 : xFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
            // To the nanosecond: whole milliseconds would stretch every frame interval.
            const std::uint64_t boundedNs = std::min<std::uint64_t>(waitNs, 1'000'000'000);
            const timespec timeout{static_cast<time_t>(boundedNs / 1'000'000'000),
                                   static_cast<long>(boundedNs % 1'000'000'000)};
            ppoll(fds, 2, &timeout, nullptr);
            if (fds[1].revents & POLLIN) running = applyCommands(&loop, stopCompletion);
        }
        // Target and connection go here, before any stop completes: nothing
        // of this capture is left on the server afterwards.
    }
    finish(std::move(stopCompletion));
}

ScreenCaptureStreamFactory ScreenCaptureStreamX11::factory(XcbConnection::Opener open) {
    return [open = std::move(open)](const ContentFilter& filter, const ScreenCaptureStreamConfiguration& configuration,
              std::weak_ptr<ScreenCaptureStreamOutput> output,
              std::shared_ptr<Executor> sampleQueue) -> std::expected<std::shared_ptr<ScreenCaptureStream>,
                                                                      ScreenCaptureError> {
        if (configuration.width < 1 || configuration.height < 1) {
            return std::unexpected(stateError(ScreenCaptureError::invalidParameter, "raster side below 1"));
        }
        if (configuration.pixelFormat != PixelFormat::nv12VideoRange) {
            return std::unexpected(stateError(ScreenCaptureError::invalidParameter, "only NV12 is captured"));
        }
        return std::make_shared<ScreenCaptureStreamX11>(open, filter, configuration, std::move(output),
                                                        std::move(sampleQueue));
    };
}

ScreenCaptureStreamX11::ScreenCaptureStreamX11(XcbConnection::Opener open, ContentFilter filter,
                                               ScreenCaptureStreamConfiguration configuration,
                                               std::weak_ptr<ScreenCaptureStreamOutput> output,
                                               std::shared_ptr<Executor> sampleQueue)
    : worker_(std::make_shared<Worker>(std::move(open), std::move(filter), configuration, std::move(output),
                                       std::move(sampleQueue))) {}

ScreenCaptureStreamX11::~ScreenCaptureStreamX11() {
    worker_->post(QuitCommand{});
    if (worker_->thread.joinable()) worker_->thread.join();
}

void ScreenCaptureStreamX11::startCapture(Completion completion) {
    {
        std::lock_guard lock(worker_->mutex);
        if (!worker_->started && !worker_->finished && worker_->wakeFd >= 0) {
            worker_->started = true;
            worker_->thread = std::thread([worker = worker_.get(), completion = std::move(completion)]() mutable {
                worker->run(std::move(completion));
            });
            return;
        }
    }
    completion(stateError(ScreenCaptureError::attemptToStartStreamState, "already started"));
}

void ScreenCaptureStreamX11::stopCapture(Completion completion) {
    bool started = false;
    {
        std::lock_guard lock(worker_->mutex);
        started = worker_->started;
    }
    if (!started) {
        completion(stateError(ScreenCaptureError::attemptToStopStreamState, "not started"));
        return;
    }
    auto shared = std::make_shared<Completion>(std::move(completion));
    if (!worker_->post(StopCommand{[shared](std::optional<ScreenCaptureError> error) { (*shared)(std::move(error)); }})) {
        (*shared)(std::nullopt);
    }
}

void ScreenCaptureStreamX11::updateConfiguration(ScreenCaptureStreamConfiguration configuration, Completion completion) {
    auto shared = std::make_shared<Completion>(std::move(completion));
    if (!worker_->post(UpdateCommand{configuration,
                                     [shared](std::optional<ScreenCaptureError> error) { (*shared)(std::move(error)); }})) {
        (*shared)(stateError(ScreenCaptureError::attemptToConfigStreamState, "the capture ended"));
    }
}

} // namespace quillmere
