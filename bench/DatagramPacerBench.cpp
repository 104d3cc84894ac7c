// The datagram pacer, measured two ways in one run.
//
// Cost: a 100 KB frame's datagrams through the pacer on a fake clock, against
// handing the same datagrams straight to the transport (the unpaced
// baseline); the table at the end gives paced datagrams per second and their
// ratio to the baseline's.
//
// Schedule: the same frames paced on a real serial queue with the real clock;
// every send time is set against the token bucket's ideal schedule (the
// moment the bucket first holds enough for that datagram), giving the jitter
// of send times and the achieved rate as a ratio to the bucket's 40 MB/s.
#include "QuillmereMac/Sending/DatagramPacer.h"

#include "Platform/Dispatch/Clock.h"
#include "Platform/Dispatch/ManualExecutor.h"
#include "Platform/Dispatch/SerialQueue.h"
#include "QuillmereWire/MediaFragmenter.h"
#include "TestSupport/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace quillmere;

constexpr std::size_t frameBytes = 100 * 1024;
constexpr std::int64_t datagramSize = 1200;

std::vector<SharedBytes> frameDatagrams() {
    EncodedFrame frame;
    frame.surfaceID = 1;
    frame.epoch = 1;
    frame.frameID = 1;
    frame.configGeneration = 1;
    frame.flags = MediaHeader::Flags::keyframe;
    frame.data.assign(frameBytes, 0x5A);
    return MediaFragmenter::fragment(frame, datagramSize, 0).value();
}

// The baseline: every datagram handed to a transport that completes at once.
void Unpaced(benchmark::State& state) {
    const std::vector<SharedBytes> datagrams = frameDatagrams();
    std::int64_t completed = 0;
    const DatagramPacer::RawSend rawSend = [&](SharedBytes bytes, DatagramPacer::Completion completion) {
        benchmark::DoNotOptimize(bytes.data());
        completion(true);
    };
    for (auto _ : state) {
        for (const SharedBytes& datagram : datagrams) rawSend(datagram, [&](bool sent) { completed += sent; });
    }
    benchmark::DoNotOptimize(completed);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(datagrams.size()));
}

// The same datagrams through the pacer; the fake clock moves on by the time
// the bucket needs for a frame, so its timers fire as they would for real.
void PacedFakeClock(benchmark::State& state) {
    const std::vector<SharedBytes> datagrams = frameDatagrams();
    ManualExecutor queue("connection");
    std::int64_t completed = 0;
    auto pacer = DatagramPacer::make(
        queue, [&] { return queue.nowNs(); },
        [](SharedBytes bytes, DatagramPacer::Completion completion) {
            benchmark::DoNotOptimize(bytes.data());
            completion(true);
        });
    const std::uint64_t frameNs = 3'000'000; // 104 KB at 40 MB/s take 2.6 ms
    for (auto _ : state) {
        for (const SharedBytes& datagram : datagrams) pacer->send(datagram, [&](bool sent) { completed += sent; });
        queue.advance(frameNs);
    }
    if (completed != state.iterations() * static_cast<std::int64_t>(datagrams.size()))
        state.SkipWithError("datagrams were not all sent");
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(datagrams.size()));
    state.counters["paced"] = static_cast<double>(pacer->metrics().paced);
    state.counters["immediate"] = static_cast<double>(pacer->metrics().immediate);
}

// When the bucket (full at the frame's start) first holds enough for each
// datagram: the schedule a perfect timer would keep.
std::vector<double> idealOffsetsNs(const std::vector<SharedBytes>& datagrams, const DatagramPacer::Config& config) {
    std::vector<double> ideal;
    double spent = 0;
    for (const SharedBytes& datagram : datagrams) {
        spent += static_cast<double>(datagram.size());
        ideal.push_back(std::max(0.0, spent - config.burstBytes) / config.bytesPerSecond * 1e9);
    }
    return ideal;
}

void PacedRealTime(benchmark::State& state) {
    const std::vector<SharedBytes> datagrams = frameDatagrams();
    const DatagramPacer::Config config;
    const std::vector<double> ideal = idealOffsetsNs(datagrams, config);
    SerialQueue queue("com.ornbeck.quillmeretransport.server");

    std::mutex mutex;
    std::vector<std::uint64_t> sendTimes;
    std::shared_ptr<DatagramPacer> pacer;
    queue.sync([&] {
        pacer = DatagramPacer::make(queue, &Clock::nowNs, [&](SharedBytes, DatagramPacer::Completion completion) {
            {
                std::lock_guard lock(mutex);
                sendTimes.push_back(Clock::nowNs());
            }
            completion(true);
        });
    });

    std::vector<double> jitterNs;
    double idealSpanNs = 0;
    double actualSpanNs = 0;
    for (auto _ : state) {
        {
            std::lock_guard lock(mutex);
            sendTimes.clear();
        }
        std::promise<void> done;
        std::atomic<std::size_t> remaining = datagrams.size();
        std::uint64_t start = 0;
        queue.async([&] {
            start = Clock::nowNs();
            for (const SharedBytes& datagram : datagrams)
                pacer->send(datagram, [&](bool) {
                    if (--remaining == 0) done.set_value();
                });
        });
        done.get_future().wait();
        state.PauseTiming();
        {
            std::lock_guard lock(mutex);
            for (std::size_t i = 0; i < sendTimes.size(); ++i)
                jitterNs.push_back(static_cast<double>(sendTimes[i] - start) - ideal[i]);
            idealSpanNs += ideal.back();
            actualSpanNs += static_cast<double>(sendTimes.back() - start);
        }
        // Let the bucket fill up again before the next frame.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        state.ResumeTiming();
    }
    queue.sync([&] { pacer->close(); });

    std::vector<double> late = jitterNs;
    std::sort(late.begin(), late.end());
    const double mean = std::accumulate(late.begin(), late.end(), 0.0) / static_cast<double>(late.size());
    const double meanAbs = std::accumulate(late.begin(), late.end(), 0.0,
                                           [](double sum, double v) { return sum + std::abs(v); }) /
                           static_cast<double>(late.size());
    const double spacingNs = static_cast<double>(datagramSize) / config.bytesPerSecond * 1e9;
    state.counters["jitterMeanUs"] = mean / 1000.0;
    state.counters["jitterAbsMeanUs"] = meanAbs / 1000.0;
    state.counters["jitterP50Us"] = late[late.size() / 2] / 1000.0;
    state.counters["jitterP99Us"] = late[late.size() * 99 / 100] / 1000.0;
    state.counters["jitterMaxUs"] = late.back() / 1000.0;
    // Jitter in units of one datagram's ideal spacing (30 µs at 40 MB/s).
    state.counters["jitterPerSpacing"] = meanAbs / spacingNs;
    // Time the frame took against the bucket's schedule (1.0 = exact rate).
    state.counters["spanRatio"] = actualSpanNs / idealSpanNs;
    state.counters["pacedPerSecond"] =
        static_cast<double>(state.iterations()) * static_cast<double>(datagrams.size() - 20) / (actualSpanNs / 1e9);
}

BENCHMARK(Unpaced);
BENCHMARK(PacedFakeClock);
BENCHMARK(PacedRealTime)->Iterations(300)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    quillmere::testing::RatioReporter reporter("datagrams per second of CPU, paced against unpaced (1.0 = as fast)",
                                               "items_per_second");
    reporter.compare("PacedFakeClock", "Unpaced");
    return reporter.run(argc, argv);
}
