#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::testing {

// The usual benchmark table, then each benchmark set against a baseline
// measured in the same run: the ratio of one figure, the time per iteration
// (cost, 1.0 = as costly), the CPU time per iteration, or a rate counter
// such as "items_per_second" (speed, 1.0 = as fast).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    static constexpr const char* realTime = "";
    static constexpr const char* cpuTime = "cpu time";

    // heading: one line printed above the ratios; figure: realTime, cpuTime
    // or a counter's name.
    explicit RatioReporter(std::string heading, std::string figure = realTime);

    // Benchmarks by their whole name or their function's name. A name ending
    // in '/' stands for every argument both have: "Quic/" against "Udp/"
    // compares Quic/200 with Udp/200 and Quic/1100 with Udp/1100.
    RatioReporter& compare(std::string measured, std::string baseline);
    // A second table of the same comparisons, over another figure.
    RatioReporter& alsoBy(std::string heading, std::string figure);

    // Runs every benchmark the command line selects through this reporter
    // and prints the ratios after the table; the program's exit status.
    int run(int argc, char** argv);

    void ReportRuns(const std::vector<Run>& runs) override;

private:
    using Figures = std::map<std::string, double>;

    void printRatios() const;
    static void printRatio(const Figures& figures, const std::string& measured, const std::string& baseline);

    // Each table's heading and figure.
    std::vector<std::pair<std::string, std::string>> tables_;
    std::vector<std::pair<std::string, std::string>> comparisons_;
    // By figure, then by benchmark.
    std::map<std::string, Figures> figures_;
    // Each run is kept under its full name and its function's name; a prefix
    // compares full names only, so each run once.
    std::set<std::string> runNames_;
};

} // namespace quillmere::testing
