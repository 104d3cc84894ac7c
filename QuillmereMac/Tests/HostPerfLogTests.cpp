#include "Platform/Dispatch/ManualExecutor.h"
#include "QuillmereMac/Diagnostics/HostPerfLog.h"
#include "QuillmereMac/Diagnostics/PerfLogFile.h"
#include "QuillmereMac/Diagnostics/PerfRecord.h"
#include "QuillmereMac/Tests/RecordingConnection.h"
#include "TestSupport/ChildProcess.h"
#include "TestSupport/OtherAccount.h"
#include "TestSupport/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

namespace quillmere {
namespace {

using testing::TemporaryFolder;
using Json = nlohmann::json;
using Route = AudioRouting::Route;

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return std::move(text).str();
}

std::vector<std::string> linesOf(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(readAll(file));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Whether every object's keys, at every depth, come in ascending order.
bool keysSorted(const nlohmann::ordered_json& value) {
    if (value.is_array()) return std::all_of(value.begin(), value.end(), keysSorted);
    if (!value.is_object()) return true;
    std::string previous;
    for (const auto& [key, member] : value.items()) {
        if (!previous.empty() && key <= previous) return false;
        if (!keysSorted(member)) return false;
        previous = key;
    }
    return true;
}

// The exit status of body, run in a child process whose standard error goes
// to the file errors.
int inChild(const std::filesystem::path& errors, const std::function<int()>& body) {
    testing::ChildProcess child = testing::ChildProcess::fork([&] {
        const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        return fd >= 0 && ::dup2(fd, STDERR_FILENO) >= 0 ? body() : 126;
    });
    return child.wait();
}

PerfSurfaceSample surface(std::int64_t captured, std::int64_t encoded = 0, std::int64_t encodeNs = 0) {
    PerfSurfaceSample sample;
    sample.choice = CaptureChoice::display(0);
    sample.perf.stats.captured = captured;
    sample.perf.stats.encoded = encoded;
    sample.perf.stats.totalEncodeLatencyNs = encodeNs;
    sample.perf.stats.maxEncodeLatencyNs = 12'345'678;
    sample.perf.stats.maxFrameBytes = 2048;
    sample.perf.width = 1280;
    sample.perf.height = 720;
    sample.perf.fps = 30;
    sample.perf.bitrateKbps = 20000;
    sample.fps = 60;
    return sample;
}

class HostPerfLogTest : public ::testing::Test {
protected:
    TemporaryFolder folder;
    Defaults defaults{folder.path() / "defaults.ini"};
    ManualExecutor main{"main", 0};
    PerfSurfaces surfaces;
    std::optional<DatagramPacer::Metrics> pacer;
    std::vector<DisplayRecords::Screen> displays{{"screen", 1280, 800, 2, 60, std::nullopt}};
    std::filesystem::path directory = folder.path() / "cache" / HostPerfLog::folderName;
    std::shared_ptr<HostPerfLog> log = make();

    std::shared_ptr<HostPerfLog> make() {
        HostPerfLog::Providers providers;
        providers.surfaces = [this] { return surfaces; };
        providers.pacer = [this] { return pacer; };
        providers.audioRoutes = [] { return std::map<std::uint32_t, Route>{{2, Route::silent()}, {1, Route::app(500)}}; };
        providers.screenShape = [] { return std::string("standard"); };
        HostPerfLog::Environment environment;
        environment.wallClockMs = [] { return std::int64_t{1796563517123}; };
        environment.sysfs = PowerSysfs(folder.path() / "sys");
        environment.wifi = [] { return WiFiStatus{-55, -92, 866.7, WiFiStatus::Channel{36, WiFiStatus::Band::ghz5, 80}}; };
        environment.awdlRunning = [] { return false; };
        environment.displays = [this] { return displays; };
        environment.defaults = &defaults;
        environment.bundle = BundleInfo{"2.3", "41", "Release"};
        return HostPerfLog::make(main, std::move(providers), directory, std::move(environment));
    }

    std::filesystem::path file() const { return directory / HostPerfLog::fileName; }
    std::vector<Json> records() const {
        std::vector<Json> parsed;
        for (const std::string& line : linesOf(file())) parsed.push_back(Json::parse(line));
        return parsed;
    }
    Json lastSurface() const { return records().back()["surface"][0]; }
};

TEST_F(HostPerfLogTest, AContextAtStartThenARecordPerTickOnlyWhileSharing) {
    EXPECT_FALSE(std::filesystem::exists(file()));
    log->start();
    ASSERT_EQ(records().size(), 1u);
    const Json context = records()[0];
    EXPECT_EQ(context["event"], "host.context");
    EXPECT_EQ(context["reason"], "launch");
    EXPECT_EQ(context["app"], "2.3 (41)");
    EXPECT_EQ(context["build"], "Release");
    EXPECT_EQ(context["t"], "2026-12-06T13:25:17.123Z");
    EXPECT_EQ(context["displays"], Json::parse(R"([{"name":"screen","points":"1280x800","scale":2,"maxFPS":60}])"));
    EXPECT_EQ(context["os"], SystemInfo().osVersion());
    EXPECT_GE(context["cores"].get<int>(), 1);

    // Nothing shared: nothing written, yet the CPU reading is taken.
    main.advance(HostPerfLog::intervalNs);
    EXPECT_EQ(records().size(), 1u);

    surfaces[{{}, 1}] = surface(0);
    main.advance(HostPerfLog::intervalNs);
    ASSERT_EQ(records().size(), 2u);
    const Json perf = records()[1];
    EXPECT_EQ(perf["event"], "host.perf");
    EXPECT_EQ(perf["surfaces"], 1);
    EXPECT_TRUE(perf.contains("cpu"));
    EXPECT_EQ(perf["thermal"], "nominal");
    EXPECT_EQ(perf["lowLatencyRC"], true);
    EXPECT_EQ(perf["wifiPriority"], false);
    EXPECT_EQ(perf["screenShape"], "standard");
    EXPECT_EQ(perf["audioRoutes"], "s1:app(pid: 500) s2:silent");
    EXPECT_EQ(perf["wifi"], Json::parse(R"({"rssi":-55,"noise":-92,"txRate":866.7,"channel":36,"band":"5GHz",
                                            "width":80,"awdlRunning":false})"));
    EXPECT_FALSE(perf.contains("power")); // no power_supply folder to read
}

// Two phones that both share a surface 1: two entries, each with rates of
// its own pipeline, also once the other phone left.
TEST_F(HostPerfLogTest, EachClientsSurfaceOfOneNumberIsItsOwnEntry) {
    const auto phoneA = std::make_shared<testing::RecordingConnection>();
    const auto phoneB = std::make_shared<testing::RecordingConnection>();
    const SurfaceKey a{phoneA, 1};
    const SurfaceKey b{phoneB, 1};
    surfaces[a] = surface(0);
    surfaces[b] = surface(1000);
    log->sample(5);
    EXPECT_EQ(records().back()["surfaces"], 2);
    surfaces[a] = surface(150);
    surfaces[b] = surface(1050);
    log->sample(10);
    std::multiset<int> rates;
    const Json last = records().back();
    for (const Json& entry : last["surface"]) {
        EXPECT_EQ(entry["id"], 1);
        rates.insert(entry["captureFPS"].get<int>());
    }
    EXPECT_EQ(rates, (std::multiset<int>{10, 30}));
    surfaces.erase(a);
    surfaces[b] = surface(1100);
    log->sample(15);
    EXPECT_EQ(records().back()["surfaces"], 1);
    EXPECT_EQ(lastSurface()["captureFPS"], 10);
}

TEST_F(HostPerfLogTest, RatesAreDifferencesOverTheIntervalInLinesOfSortedKeys) {
    surfaces[{{}, 1}] = surface(0);
    log->sample(5);
    surfaces[{{}, 1}] = surface(150);
    log->sample(10);
    const std::string line = linesOf(file()).back();
    EXPECT_NE(line.find("\"captureFPS\":30,"), std::string::npos) << line;
    const Json s = lastSurface();
    EXPECT_EQ(s["kind"], "display0");
    EXPECT_EQ(s["raster"], "1280x720");
    EXPECT_EQ(s["fps"], 60);
    EXPECT_EQ(s["tierFPS"], 30);
    // encoded did not move: no mean, but the maxima are there.
    EXPECT_FALSE(s.contains("encodeMs"));
    EXPECT_EQ(s["maxFrameKB"], 2);
    EXPECT_EQ(s["encodeMaxMsSession"], 12.346);
    EXPECT_FALSE(s.contains("maxKeyframeKB"));

    // The same uptime again: dt is 0.001 s.
    surfaces[{{}, 1}] = surface(151, 2, 20'000'000);
    log->sample(10);
    EXPECT_EQ(lastSurface()["captureFPS"], 1000);
    EXPECT_EQ(lastSurface()["encodeMs"], 10);

    for (const std::string& written : linesOf(file())) {
        EXPECT_TRUE(keysSorted(nlohmann::ordered_json::parse(written))) << written;
        EXPECT_EQ(written.find(".0,"), std::string::npos) << written;
    }
}

TEST_F(HostPerfLogTest, ACounterThatWentDownGivesNoNegativeFigure) {
    PerfSurfaceSample before = surface(500, 400, 4'000'000'000);
    before.transport = TransportMetrics{400, 390, 10, 4000, 3, 9'000'000, 5'000'000, 3'900'000'000, 1200, 1100};
    surfaces[{{}, 1}] = before;
    pacer = DatagramPacer::Metrics{900, 50, 4'000'000, 90'000'000, 7, 900, 900'000'000, 3'000'000, 4, 2, 5'000'000};
    log->sample(5);

    // A new pipeline and connection: everything starts again from zero.
    PerfSurfaceSample after = surface(100, 10, 50'000'000);
    after.transport = TransportMetrics{10, 10, 0, 80, 0, 1'000'000, 125'000, 20'000'000, 1200, 1200};
    surfaces[{{}, 1}] = after;
    pacer = DatagramPacer::Metrics{20, 5, 1'000'000, 2'000'000, 3, 20, 40'000'000, 1'000'000, 0, 0, 0};
    log->sample(10);

    const Json record = records().back();
    const std::function<void(const Json&, const std::string&)> nonNegative = [&](const Json& value,
                                                                               const std::string& path) {
        if (value.is_number()) {
            EXPECT_GE(value.get<double>(), 0) << path;
        } else if (value.is_object()) {
            for (const auto& [key, member] : value.items()) nonNegative(member, path + "." + key);
        } else if (value.is_array()) {
            for (const auto& member : value) nonNegative(member, path + "[]");
        }
    };
    nonNegative(record["surface"], "surface");
    nonNegative(record["pacer"], "pacer");
    const Json s = record["surface"][0];
    EXPECT_EQ(s["captureFPS"], 20);
    EXPECT_EQ(s["encodeMs"], 5);
    EXPECT_EQ(s["sendAgeMs"], 2);
    EXPECT_EQ(s["sentMbps"], 0.2);
    EXPECT_EQ(s["datagramSize"], 1200);
    EXPECT_EQ(record["pacer"]["paced"], 20);
    EXPECT_EQ(record["pacer"]["meanDelayMs"], 0.1);
}

TEST_F(HostPerfLogTest, ASampleAfterAContextWithoutScreensWritesASessionContextFirst) {
    displays.clear();
    log->start();
    surfaces[{{}, 1}] = surface(10);
    log->sample(5);
    const auto all = records();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[1]["reason"], "session");
    EXPECT_EQ(all[2]["event"], "host.perf");
}

// Made under this program's umask (022); one that others may read is
// closed, one they could change is not used at all.
TEST_F(HostPerfLogTest, TheFolderIsTheUsersAlone) {
    using std::filesystem::perms;
    const auto mode = [&] { return std::filesystem::status(directory).permissions(); };
    EXPECT_EQ(mode(), perms::owner_all);
    const auto errors = folder.path() / "errors.txt";
    struct Case {
        perms given;
        perms after;
        bool logged;
    };
    for (const Case c : {Case{perms::owner_all | perms::group_read | perms::others_read, perms::owner_all, true},
                         Case{perms::all, perms::all, false}}) {
        std::filesystem::remove(file());
        std::filesystem::permissions(directory, c.given);
        EXPECT_EQ(inChild(errors, [&] {
                      log = make();
                      log->context("launch");
                      return 0;
                  }),
                  0);
        EXPECT_EQ(mode(), c.after);
        EXPECT_EQ(std::filesystem::exists(file()), c.logged);
        EXPECT_EQ(readAll(errors), c.logged ? std::string()
                                            : "quillmere-host: the diagnostics folder " + directory.string() +
                                                  " can be changed by other accounts (mode 0777); nothing is logged\n");
    }
}

// The link names a file of the user's, or nothing yet: it stays so, and the
// host says so once however often it would write.
TEST_F(HostPerfLogTest, NothingIsWrittenThroughASymbolicLink) {
    const auto target = folder.path() / "notes.txt";
    const auto errors = folder.path() / "errors.txt";
    for (const std::optional<std::string>& notes : {std::optional<std::string>("mine\nno line feed"), {}}) {
        std::filesystem::remove(target);
        std::filesystem::remove(file());
        if (notes) std::ofstream(target, std::ios::binary) << *notes;
        std::filesystem::create_symlink(target, file());
        const int status = inChild(errors, [&] {
            for (int i = 0; i < 3; ++i) log->context("launch");
            return 0;
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(std::filesystem::exists(target) ? std::optional(readAll(target)) : std::nullopt, notes);
        EXPECT_EQ(readAll(errors), "quillmere-host: the diagnostics log " + file().string() +
                                       " is a symbolic link; nothing is logged\n");
    }
}

TEST(PerfLogFile, CutsToItsLastWholeLinesOnlyPastTheLimit) {
    const std::string line = "{\"n\":1234}\n"; // 11 bytes
    struct Case {
        std::uintmax_t existing;
        bool cut;
    };
    for (const Case c : {Case{7'999'990, true}, Case{7'999'989, false}}) {
        TemporaryFolder folder;
        const auto path = folder.path() / "host-perf.jsonl";
        std::string body;
        body.reserve(c.existing);
        // Lines of varied length, so that the cut falls inside one.
        for (std::int64_t i = 0; body.size() + 64 < c.existing; ++i)
            body += "{\"line\":" + std::to_string(i * 7919) + "}\n";
        body += "{\"p\":\"" + std::string(c.existing - body.size() - 9, 'x') + "\"}\n";
        if (c.cut) {
            ASSERT_NE(body[body.size() - PerfLogFile::keptBytes - 1], '\n') << "the cut falls between lines";
        }
        std::ofstream(path, std::ios::binary) << body;
        PerfLogFile(path).append(line);
        const std::string after = readAll(path);
        if (!c.cut) {
            EXPECT_EQ(after.size(), 8'000'000u);
            continue;
        }
        EXPECT_LE(after.size(), PerfLogFile::keptBytes + line.size());
        EXPECT_GT(after.size(), PerfLogFile::keptBytes - 64);
        ASSERT_TRUE(after.ends_with(line));
        // Every line was whole JSON: what is kept must be their end, from the
        // start of one.
        const std::string_view kept = std::string_view(after).substr(0, after.size() - line.size());
        EXPECT_TRUE(body.ends_with(kept));
        EXPECT_EQ(body[body.size() - kept.size() - 1], '\n');
    }
}

TEST(PerfLogFile, AnExistingFileThatCannotBeOpenedIsLeftAsItIs) {
    // Root may open any file: the writer is then another account.
    testing::OtherAccount other(65534);
    const auto folder = other.folder();
    if (!folder) GTEST_SKIP() << folder.error();
    const auto path = *folder / "host-perf.jsonl";
    std::ofstream(path) << "{\"kept\":true}\n";
    // A folder anyone may write in, a file only its owner may.
    ::chmod(folder->c_str(), 0777);
    ::chmod(path.c_str(), 0444);
    testing::ChildProcess writer = testing::ChildProcess::fork([&] {
        if (!other.become()) return 2;
        PerfLogFile(path).append("{\"new\":1}\n");
        return 0;
    });
    ASSERT_EQ(writer.wait(), 0);
    EXPECT_EQ(readAll(path), "{\"kept\":true}\n");
}

// A disk that filled, or a host killed mid-write, left half a record: it
// goes, also when it is longer than one read of the file's end.
TEST(PerfLogFile, ALineCutShortIsDroppedBeforeTheNext) {
    const std::string whole = "{\"a\":1}\n";
    const std::string line = "{\"n\":2}\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {whole, whole},
        {whole + "{\"b\":[1,", whole},
        {"{\"b\":[1,", ""},
        {whole + "{\"b\":\"" + std::string(40'000, 'x'), whole},
    };
    for (const auto& [existing, kept] : cases) {
        TemporaryFolder folder;
        const auto path = folder.write("host-perf.jsonl", existing);
        EXPECT_EQ(PerfLogFile(path).append(line), PerfLogFile::Outcome::appended);
        EXPECT_EQ(readAll(path), kept + line) << existing.substr(0, 20);
    }
}

// With SIGXFSZ ignored, as the host does, a write past the file size limit
// fails as on a full disk, and what it wrote of its line is taken back.
TEST(PerfLogFile, PastTheFileSizeLimitTheWriterLivesOnWithWholeLines) {
    const auto padded = [](std::size_t bytes) { return "{\"p\":\"" + std::string(bytes - 9, 'x') + "\"}\n"; };
    const std::string before = padded(4901);
    // Each line twice: the short one fits the 99 bytes left once, the long never.
    for (const auto& c : {std::pair{padded(60), before + padded(60)}, std::pair{padded(200), before}}) {
        TemporaryFolder folder;
        const auto path = folder.write("host-perf.jsonl", before);
        testing::ChildProcess writer = testing::ChildProcess::fork([&] {
            PerfLogFile::ignoreFileSizeSignal();
            const rlimit limit{5000, 5000};
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
            for (int i = 0; i < 2; ++i) PerfLogFile(path).append(c.first);
            return 0;
        });
        ASSERT_EQ(writer.wait(), 0);
        EXPECT_EQ(readAll(path), c.second);
    }
}

TEST(PerfRecord, FiguresAsTheyAreWritten) {
    EXPECT_EQ(PerfRecord::number(PerfRecord::r3(0.0005)).dump(), "0.001");
    EXPECT_EQ(PerfRecord::number(PerfRecord::r3(-0.0005)).dump(), "-0.001");
    EXPECT_EQ(PerfRecord::number(PerfRecord::r3(29.99999)).dump(), "30");
    EXPECT_EQ(PerfRecord::number(1.25).dump(), "1.25");
    EXPECT_EQ(PerfRecord::timestamp(1796563517123), "2026-12-06T13:25:17.123Z");
    EXPECT_EQ(PerfRecord::timestamp(5), "1970-01-01T00:00:00.005Z");
    const std::pair<int, const char*> thermal[] = {{0, "nominal"}, {1, "fair"}, {2, "serious"}, {3, "critical"},
                                                   {4, "unknown"}, {-1, "unknown"}};
    for (const auto& [state, name] : thermal) EXPECT_EQ(PerfRecord::thermalName(state), name);
    EXPECT_EQ(PerfRecord::audioRoutes({}), std::nullopt);
    // Text that is not UTF-8 still makes a line.
    EXPECT_EQ(PerfRecord::line(Json{{"name", "a\xff"}}), "{\"name\":\"a\xEF\xBF\xBD\"}\n");
}

TEST(PerfRecord, PowerText) {
    const auto battery = [](std::optional<std::int64_t> percent, const char* state) {
        PowerSourceDescription source;
        source.type = "InternalBattery";
        source.currentCapacity = percent;
        source.maxCapacity = percent ? std::optional<std::int64_t>(100) : std::nullopt;
        source.powerSourceState = state;
        return source;
    };
    PowerSourceDescription mains;
    mains.type = "Mains";
    mains.powerSourceState = "AC Power";
    struct Case {
        std::optional<std::vector<PowerSourceDescription>> sources;
        std::optional<std::string> text;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt},
        {std::vector<PowerSourceDescription>{}, "AC"},
        {std::vector{mains}, "AC"},
        {std::vector{battery(87, "Battery Power")}, "battery 87%"},
        {std::vector{mains, battery(40, "AC Power")}, "AC 40%"},
        {std::vector{battery(std::nullopt, "Battery Power")}, "battery"},
    };
    for (const Case& c : cases) EXPECT_EQ(PerfRecord::powerText(c.sources), c.text);
}

TEST(DisplayRecords, AScreenWithoutAnOutputHasFourKeys) {
    DisplayRecords::Screen screen{"eDP-1", 1440, 900, 2, 60, std::nullopt};
    EXPECT_EQ(DisplayRecords::record(screen),
              Json::parse(R"({"name":"eDP-1","points":"1440x900","scale":2,"maxFPS":60})"));
    screen.output = DisplayRecords::Output{true, true, std::nullopt};
    EXPECT_EQ(DisplayRecords::record(screen).size(), 6u);
    screen.output->mode = DisplayRecords::Mode{2880, 1800, 59.9512};
    const Json full = DisplayRecords::record(screen);
    EXPECT_EQ(full["pixels"], "2880x1800");
    EXPECT_EQ(full["refreshHz"], 59.951);
    EXPECT_EQ(full["builtIn"], true);
    EXPECT_FALSE(DisplayRecords::isBuiltIn("HDMI-1"));
}

} // namespace
} // namespace quillmere
