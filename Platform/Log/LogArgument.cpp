#include "Platform/Log/LogArgument.h"

#include <cinttypes>
#include <cstdio>

namespace quillmere {

namespace {

template <class... Visitors>
struct Overloaded : Visitors... {
    using Visitors::operator()...;
};

} // namespace

LogArgument::Kind LogArgument::kind() const {
    return std::visit(Overloaded{
                          [](std::int64_t) { return Kind::signedInteger; },
                          [](std::uint64_t) { return Kind::unsignedInteger; },
                          [](double) { return Kind::floating; },
                          [](bool) { return Kind::boolean; },
                          [](std::string_view) { return Kind::text; },
                          [](const std::string&) { return Kind::text; },
                          [](const void*) { return Kind::pointer; },
                      },
                      value_);
}

std::int64_t LogArgument::asSigned() const { return static_cast<std::int64_t>(asUnsigned()); }

std::uint64_t LogArgument::asUnsigned() const {
    return std::visit(Overloaded{
                          [](std::int64_t v) { return static_cast<std::uint64_t>(v); },
                          [](std::uint64_t v) { return v; },
                          [](double v) { return static_cast<std::uint64_t>(static_cast<std::int64_t>(v)); },
                          [](bool v) { return std::uint64_t{v ? 1u : 0u}; },
                          [](std::string_view) { return std::uint64_t{0}; },
                          [](const std::string&) { return std::uint64_t{0}; },
                          [](const void* v) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(v)); },
                      },
                      value_);
}

double LogArgument::asDouble() const {
    return std::visit(Overloaded{
                          [](std::int64_t v) { return static_cast<double>(v); },
                          [](std::uint64_t v) { return static_cast<double>(v); },
                          [](double v) { return v; },
                          [](bool v) { return v ? 1.0 : 0.0; },
                          [](std::string_view) { return 0.0; },
                          [](const std::string&) { return 0.0; },
                          [](const void*) { return 0.0; },
                      },
                      value_);
}

std::string LogArgument::asText() const {
    char buffer[64];
    return std::visit(Overloaded{
                          [&](std::int64_t v) {
                              std::snprintf(buffer, sizeof buffer, "%" PRId64, v);
                              return std::string(buffer);
                          },
                          [&](std::uint64_t v) {
                              std::snprintf(buffer, sizeof buffer, "%" PRIu64, v);
                              return std::string(buffer);
                          },
                          [&](double v) {
                              std::snprintf(buffer, sizeof buffer, "%g", v);
                              return std::string(buffer);
                          },
                          [](bool v) { return std::string(v ? "true" : "false"); },
                          [](std::string_view v) { return std::string(v); },
                          [](const std::string& v) { return v; },
                          [&](const void* v) {
                              std::snprintf(buffer, sizeof buffer, "%p", v);
                              return std::string(buffer);
                          },
                      },
                      value_);
}

} // namespace quillmere
