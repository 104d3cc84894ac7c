#include "TestSupport/RatioReporter.h"

#include <fmt/format.h>

#include <optional>

namespace quillmere::testing {

RatioReporter::RatioReporter(std::string heading, std::string figure)
    : heading_(std::move(heading)), figure_(std::move(figure)) {}

RatioReporter& RatioReporter::compare(std::string measured, std::string baseline) {
    comparisons_.emplace_back(std::move(measured), std::move(baseline));
    return *this;
}

int RatioReporter::run(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks(this);
    printRatios();
    benchmark::Shutdown();
    return 0;
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
        std::optional<double> figure;
        if (figure_ == realTime) {
            figure = run.GetAdjustedRealTime();
        } else if (figure_ == cpuTime) {
            figure = run.GetAdjustedCPUTime();
        } else if (const auto found = run.counters.find(figure_); found != run.counters.end()) {
            figure = found->second.value;
        }
        if (!figure) continue;
        figures_[run.benchmark_name()] = *figure;
        figures_.emplace(run.run_name.function_name, *figure);
    }
    ConsoleReporter::ReportRuns(runs);
}

void RatioReporter::printRatios() const {
    fmt::print("\n{}\n", heading_);
    for (const auto& [measured, baseline] : comparisons_) {
        if (!measured.ends_with('/')) {
            printRatio(measured, baseline);
            continue;
        }
        for (const auto& [name, figure] : figures_) {
            if (name.starts_with(measured)) printRatio(name, baseline + name.substr(measured.size()));
        }
    }
}

void RatioReporter::printRatio(const std::string& measured, const std::string& baseline) const {
    const auto value = figures_.find(measured);
    const auto base = figures_.find(baseline);
    if (value == figures_.end() || base == figures_.end() || base->second <= 0) return;
    fmt::print("{:<40} against {:<32} {:>7.3f}\n", measured, baseline, value->second / base->second);
}

} // namespace quillmere::testing
