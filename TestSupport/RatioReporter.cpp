#include "TestSupport/RatioReporter.h"

#include <fmt/format.h>

#include <optional>

namespace quillmere::testing {

RatioReporter::RatioReporter(std::string heading, std::string figure) {
    tables_.emplace_back(std::move(heading), std::move(figure));
}

RatioReporter& RatioReporter::alsoBy(std::string heading, std::string figure) {
    tables_.emplace_back(std::move(heading), std::move(figure));
    return *this;
}

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
        for (const auto& [heading, name] : tables_) {
            std::optional<double> figure;
            if (name == realTime) {
                figure = run.GetAdjustedRealTime();
            } else if (name == cpuTime) {
                figure = run.GetAdjustedCPUTime();
            } else if (const auto found = run.counters.find(name); found != run.counters.end()) {
                figure = found->second.value;
            }
            if (!figure) continue;
            Figures& figures = figures_[name];
            figures[run.benchmark_name()] = *figure;
            figures.emplace(run.run_name.function_name, *figure);
            runNames_.insert(run.benchmark_name());
        }
    }
    ConsoleReporter::ReportRuns(runs);
}

void RatioReporter::printRatios() const {
    static const Figures none;
    for (const auto& [heading, name] : tables_) {
        const auto found = figures_.find(name);
        const Figures& figures = found != figures_.end() ? found->second : none;
        fmt::print("\n{}\n", heading);
        for (const auto& [measured, baseline] : comparisons_) {
            if (!measured.ends_with('/')) {
                printRatio(figures, measured, baseline);
                continue;
            }
            for (const auto& [benchmark, figure] : figures) {
                if (benchmark.starts_with(measured) && runNames_.contains(benchmark))
                    printRatio(figures, benchmark, baseline + benchmark.substr(measured.size()));
            }
        }
    }
}

void RatioReporter::printRatio(const Figures& figures, const std::string& measured, const std::string& baseline) {
    const auto value = figures.find(measured);
    const auto base = figures.find(baseline);
    if (value == figures.end() || base == figures.end() || base->second <= 0) return;
    fmt::print("{:<40} against {:<32} {:>7.3f}\n", measured, baseline, value->second / base->second);
}

} // namespace quillmere::testing
