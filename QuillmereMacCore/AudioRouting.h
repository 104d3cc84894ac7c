#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace quillmere::AudioRouting {

// What a surface shows.
namespace source {
struct Window { std::int32_t pid = 0; bool operator==(const Window&) const = default; };
struct Display { bool operator==(const Display&) const = default; };
struct TestPattern { bool operator==(const TestPattern&) const = default; };
} // namespace source

struct Source : std::variant<source::Window, source::Display, source::TestPattern> {
    using variant::variant;
    static Source window(std::int32_t pid) { return source::Window{pid}; }
    static Source display() { return source::Display{}; }
    static Source testPattern() { return source::TestPattern{}; }
};

// What a surface's audio carries.
namespace route {
struct EverythingElse {
    // Order matters: two routes with the same processes in another order differ.
    std::vector<std::int32_t> excluding;
    bool operator==(const EverythingElse&) const = default;
};
struct App { std::int32_t pid = 0; bool operator==(const App&) const = default; };
struct ClickTrack { bool operator==(const ClickTrack&) const = default; };
struct Silent { bool operator==(const Silent&) const = default; };
} // namespace route

struct Route : std::variant<route::EverythingElse, route::App, route::ClickTrack, route::Silent> {
    using variant::variant;
    static Route everythingElse(std::vector<std::int32_t> excluding) { return route::EverythingElse{std::move(excluding)}; }
    static Route app(std::int32_t pid) { return route::App{pid}; }
    static Route clickTrack() { return route::ClickTrack{}; }
    static Route silent() { return route::Silent{}; }
};

// The case name with its labelled values, as "everythingElse(excluding: [500, 42])",
// "app(pid: 500)", "clickTrack", "silent".
std::string description(const Route& route);

// The routes in surface order, each "s" + the surface + ":" + its
// description, joined by spaces: "s2:app(pid: 500) s3:clickTrack".
std::string describe(const std::map<std::uint32_t, Route>& routes);

struct Reconciliation {
    // Surfaces whose route is new or different, ascending.
    std::vector<std::uint32_t> changed;
    // Surfaces that had a route and have none now, ascending.
    std::vector<std::uint32_t> removed;

    bool operator==(const Reconciliation&) const = default;
};

// One route per surface, so that no sound is sent twice: each application's
// first window carries it, the first display carries everything else, the test
// pattern carries the click track, and every duplicate is silent.
std::map<std::uint32_t, Route> routes(const std::map<std::uint32_t, Source>& sources);

Reconciliation reconcile(const std::map<std::uint32_t, Route>& current, const std::map<std::uint32_t, Route>& desired);

} // namespace quillmere::AudioRouting
