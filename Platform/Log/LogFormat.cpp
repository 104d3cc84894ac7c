#include "Platform/Log/LogFormat.h"

#include <cstdio>
#include <optional>

namespace quillmere {

namespace {

enum class Length { none, hh, h, l, ll, L };

struct Conversion {
    bool isPrivate = false;
    bool boolWords = false;  // true/false
    bool objcWords = false;  // YES/NO
    std::string flags;
    std::optional<int> width;
    std::optional<int> precision;
    Length length = Length::none;
    char type = 0;
};

class Renderer {
public:
    Renderer(std::string_view format, std::span<const LogArgument> arguments)
        : format_(format), arguments_(arguments) {}

    std::string render() {
        while (at_ < format_.size()) {
            const std::size_t percent = format_.find('%', at_);
            out_.append(format_.substr(at_, percent == std::string_view::npos ? std::string_view::npos : percent - at_));
            if (percent == std::string_view::npos) break;
            at_ = percent + 1;
            const std::size_t specStart = percent;
            auto conversion = parse();
            if (!conversion) {
                out_.append(format_.substr(specStart, at_ - specStart));
                continue;
            }
            emit(*conversion);
        }
        return std::move(out_);
    }

private:
    bool more() const { return at_ < format_.size(); }
    char peek() const { return format_[at_]; }

    const LogArgument* next() {
        if (used_ >= arguments_.size()) return nullptr;
        return &arguments_[used_++];
    }

    void annotate(Conversion& c, std::string_view annotations) {
        std::size_t start = 0;
        while (start <= annotations.size()) {
            std::size_t comma = annotations.find(',', start);
            if (comma == std::string_view::npos) comma = annotations.size();
            std::string_view word = annotations.substr(start, comma - start);
            while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
            while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
            if (word == "private" || word == "sensitive") c.isPrivate = true;
            else if (word == "bool") c.boolWords = true;
            else if (word == "BOOL") c.objcWords = true;
            start = comma + 1;
        }
    }

    // A number, or * taking it from the arguments.
    std::optional<int> count() {
        if (more() && peek() == '*') {
            ++at_;
            const LogArgument* argument = next();
            return argument == nullptr ? 0 : static_cast<int>(argument->asSigned());
        }
        if (!more() || peek() < '0' || peek() > '9') return std::nullopt;
        int value = 0;
        while (more() && peek() >= '0' && peek() <= '9') {
            if (value < 100000) value = value * 10 + (peek() - '0');
            ++at_;
        }
        return value;
    }

    std::optional<Conversion> parse() {
        Conversion c;
        if (more() && peek() == '%') {
            ++at_;
            c.type = '%';
            return c;
        }
        if (more() && peek() == '{') {
            const std::size_t close = format_.find('}', at_);
            if (close == std::string_view::npos) return std::nullopt;
            annotate(c, format_.substr(at_ + 1, close - at_ - 1));
            at_ = close + 1;
        }
        while (more() && std::string_view("-+ #0").find(peek()) != std::string_view::npos) c.flags.push_back(format_[at_++]);
        c.width = count();
        if (c.width && *c.width < 0) {
            c.flags.push_back('-');
            c.width = -*c.width;
        }
        if (more() && peek() == '.') {
            ++at_;
            c.precision = count();
            if (!c.precision) c.precision = 0;
            if (*c.precision < 0) c.precision.reset();
        }
        if (more()) {
            switch (peek()) {
            case 'h':
                ++at_;
                c.length = more() && peek() == 'h' ? (++at_, Length::hh) : Length::h;
                break;
            case 'l':
                ++at_;
                c.length = more() && peek() == 'l' ? (++at_, Length::ll) : Length::l;
                break;
            case 'q': case 'j': case 'z': case 't': ++at_; c.length = Length::ll; break;
            case 'L': ++at_; c.length = Length::L; break;
            default: break;
            }
        }
        if (!more()) return std::nullopt;
        c.type = format_[at_++];
        if (std::string_view("diuoxXcspfFeEgGaA@").find(c.type) == std::string_view::npos) return std::nullopt;
        return c;
    }

    std::string spec(const Conversion& c, std::string_view length) const {
        std::string s = "%" + c.flags;
        if (c.width) s += std::to_string(*c.width);
        if (c.precision) s += "." + std::to_string(*c.precision);
        s += length;
        s.push_back(c.type);
        return s;
    }

    static std::string printed(const std::string& spec, auto value) {
        const int size = std::snprintf(nullptr, 0, spec.c_str(), value);
        if (size <= 0) return {};
        std::string text(static_cast<std::size_t>(size) + 1, '\0');
        std::snprintf(text.data(), text.size(), spec.c_str(), value);
        text.pop_back();
        return text;
    }

    void pad(std::string text, const Conversion& c) {
        const std::size_t width = c.width ? static_cast<std::size_t>(*c.width) : 0;
        if (text.size() < width) {
            const std::string fill(width - text.size(), ' ');
            text = c.flags.find('-') != std::string::npos ? text + fill : fill + text;
        }
        out_ += text;
    }

    static std::int64_t signedOfWidth(std::uint64_t raw, Length length) {
        switch (length) {
        case Length::hh: return static_cast<std::int8_t>(raw);
        case Length::h: return static_cast<std::int16_t>(raw);
        case Length::none: return static_cast<std::int32_t>(raw);
        default: return static_cast<std::int64_t>(raw);
        }
    }

    static std::uint64_t unsignedOfWidth(std::uint64_t raw, Length length) {
        switch (length) {
        case Length::hh: return static_cast<std::uint8_t>(raw);
        case Length::h: return static_cast<std::uint16_t>(raw);
        case Length::none: return static_cast<std::uint32_t>(raw);
        default: return raw;
        }
    }

    // Precision cuts a text in bytes, never inside a UTF-8 sequence.
    static std::string cut(std::string text, std::optional<int> precision) {
        if (!precision || text.size() <= static_cast<std::size_t>(*precision)) return text;
        std::size_t end = static_cast<std::size_t>(*precision);
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        text.resize(end);
        return text;
    }

    void emit(const Conversion& c) {
        if (c.type == '%') {
            out_.push_back('%');
            return;
        }
        const LogArgument* argument = next();
        if (argument == nullptr) {
            out_ += "<missing>";
            return;
        }
        if (c.isPrivate) {
            pad("<private>", c);
            return;
        }
        const bool integerType = std::string_view("diuoxX").find(c.type) != std::string_view::npos;
        if (integerType && (c.boolWords || c.objcWords)) {
            const bool value = argument->kind() == LogArgument::Kind::boolean ? argument->asUnsigned() != 0
                                                                               : unsignedOfWidth(argument->asUnsigned(), c.length) != 0;
            pad(c.boolWords ? (value ? "true" : "false") : (value ? "YES" : "NO"), c);
            return;
        }
        if (integerType && argument->kind() == LogArgument::Kind::text) {
            pad(argument->asText(), c);
            return;
        }
        switch (c.type) {
        case 'd':
        case 'i':
            out_ += printed(spec(c, "ll"), static_cast<long long>(signedOfWidth(argument->asUnsigned(), c.length)));
            return;
        case 'u': case 'o': case 'x': case 'X':
            out_ += printed(spec(c, "ll"), static_cast<unsigned long long>(unsignedOfWidth(argument->asUnsigned(), c.length)));
            return;
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
            out_ += printed(spec(c, ""), argument->asDouble());
            return;
        case 'c': {
            const std::string text = argument->kind() == LogArgument::Kind::text
                                         ? argument->asText().substr(0, 1)
                                         : std::string(1, static_cast<char>(argument->asUnsigned()));
            pad(text, c);
            return;
        }
        case 'p':
            pad(printed("%p", reinterpret_cast<const void*>(static_cast<std::uintptr_t>(argument->asUnsigned()))), c);
            return;
        default: // s and @
            pad(cut(argument->asText(), c.precision), c);
            return;
        }
    }

    std::string_view format_;
    std::span<const LogArgument> arguments_;
    std::size_t at_ = 0;
    std::size_t used_ = 0;
    std::string out_;
};

} // namespace

std::string renderLogFormat(std::string_view format, std::span<const LogArgument> arguments) {
    return Renderer(format, arguments).render();
}

} // namespace quillmere
