#include "Platform/Log/LogFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace quillmere {
namespace {

template <class... Args>
std::string render(std::string_view format, const Args&... args) {
    const std::vector<LogArgument> arguments{LogArgument(args)...};
    return renderLogFormat(format, arguments);
}

struct Described {
    std::string description() const { return "outOfRange(\"hello.role\")"; }
};

// Every format the host's log lines use, with the value types their callers pass.
TEST(LogFormat, RendersTheHostsLines) {
    EXPECT_EQ(render("screen shape %{public}s ignored: Wide/Ultrawide is turned off", "Wide 21:9"),
              "screen shape Wide 21:9 ignored: Wide/Ultrawide is turned off");
    EXPECT_EQ(render("focus ignored surface=%{public}u: no control granted", std::uint32_t{7}),
              "focus ignored surface=7: no control granted");
    EXPECT_EQ(render("datagram flow ready, usable %{public}ld bytes", std::int64_t{1200}),
              "datagram flow ready, usable 1200 bytes");
    EXPECT_EQ(render("wifi stall ended: dropped %{public}ld stale datagrams, keyframes for %{public}ld surfaces",
                     std::int64_t{14}, std::int64_t{2}),
              "wifi stall ended: dropped 14 stale datagrams, keyframes for 2 surfaces");
    EXPECT_EQ(render("text size %{public}hhu: %{public}ldx%{public}ld looks-like", std::uint8_t{2}, std::int64_t{1512},
                     std::int64_t{982}),
              "text size 2: 1512x982 looks-like");
    EXPECT_EQ(render("text size %{public}hhu: no larger HiDPI mode", std::uint8_t{3}),
              "text size 3: no larger HiDPI mode");
    EXPECT_EQ(render("heal: restored %{public}ldx%{public}ld from %{public}ldx%{public}ld ok=%{bool,public}d",
                     std::int64_t{1920}, std::int64_t{1080}, std::int64_t{1512}, std::int64_t{982}, true),
              "heal: restored 1920x1080 from 1512x982 ok=true");
    EXPECT_EQ(render("screen shape %{public}s: display %{public}u %{public}ldx%{public}ld mirrored=%{bool,public}d",
                     "Ultrawide 32:9", std::uint32_t{5}, std::int64_t{5120}, std::int64_t{1440}, false),
              "screen shape Ultrawide 32:9: display 5 5120x1440 mirrored=false");
    EXPECT_EQ(render("raise pid=%{public}d windows=%{public}ld axRaise=%{public}d/%{public}d fronted=%{bool,public}d "
                     "onTop=%{bool,public}d fitted=%{bool,public}d",
                     std::int32_t{4242}, std::int64_t{3}, std::int32_t{-25204}, std::int32_t{0}, false, true, true),
              "raise pid=4242 windows=3 axRaise=-25204/0 fronted=false onTop=true fitted=true");
    EXPECT_EQ(render("control moves surface=%{public}u \u2192 %{public}u: stopped", std::uint32_t{1}, std::uint32_t{2}),
              "control moves surface=1 \u2192 2: stopped");
    EXPECT_EQ(render("surface closed: %{public}s",
                     std::string("frames sent=10 dropped=0 datagrams=40 rejected=0 sendAge mean=120\u00b5s "
                                 "max=900\u00b5s usableDatagram last=1200 min=1100")),
              "surface closed: frames sent=10 dropped=0 datagrams=40 rejected=0 sendAge mean=120\u00b5s max=900\u00b5s "
              "usableDatagram last=1200 min=1100");
    EXPECT_EQ(render("focus hint surface=%{public}u controlled=%{public}s injector=%{bool,public}d", std::uint32_t{3},
                     "nil", true),
              "focus hint surface=3 controlled=nil injector=true");
    EXPECT_EQ(render("connection closed: %{public}s", Described{}), "connection closed: outOfRange(\"hello.role\")");
    EXPECT_EQ(render("bytes %{public}llu rate %{public}.1f fps", std::uint64_t{18446744073709551615ULL}, 59.94),
              "bytes 18446744073709551615 rate 59.9 fps");
}

TEST(LogFormat, LengthModifiersSetTheIntegersWidth) {
    EXPECT_EQ(render("%{public}hhu", 300), "44");
    EXPECT_EQ(render("%{public}hhd", 200), "-56");
    EXPECT_EQ(render("%{public}hu", 70000), "4464");
    EXPECT_EQ(render("%{public}u", -1), "4294967295");
    EXPECT_EQ(render("%{public}d", std::int64_t{5000000000}), "705032704");
    EXPECT_EQ(render("%{public}ld", std::int64_t{5000000000}), "5000000000");
    EXPECT_EQ(render("%{public}lu", std::int64_t{-1}), "18446744073709551615");
    EXPECT_EQ(render("%{public}zu %{public}lld %{public}qd", std::size_t{9}, -9LL, 10), "9 -9 10");
    EXPECT_EQ(render("%{public}d", true), "1");
}

TEST(LogFormat, FollowsPrintfForFlagsWidthAndPrecision) {
    EXPECT_EQ(render("[%5d|%-5d|%05d|%+d]", 42, 42, 42, 42), "[   42|42   |00042|+42]");
    EXPECT_EQ(render("%x %X %#x %o", 255, 255, 255, 8), "ff FF 0xff 10");
    EXPECT_EQ(render("%{public}08.3f|%e|%g", 3.14159, 1234.5, 0.0001), "0003.142|1.234500e+03|0.0001");
    EXPECT_EQ(render("[%5s|%-5s|%.3s]", "ab", "ab", "abcdef"), "[   ab|ab   |abc]");
    EXPECT_EQ(render("[%*d|%-*d|%.*s]", 4, 7, 3, 7, 2, "xyz"), "[   7|7  |xy]");
    EXPECT_EQ(render("%c%c", 'o', 'k'), "ok");
    // A precision never cuts a character in half.
    EXPECT_EQ(render("%.3s", "\u00e4\u00e4x"), "\u00e4");
}

TEST(LogFormat, AnnotationsChangeHowValuesAppear) {
    EXPECT_EQ(render("key %{private}s", "secret"), "key <private>");
    EXPECT_EQ(render("%{bool}d %{bool}d %{BOOL}d %{BOOL}d", true, false, 1, 0), "true false YES NO");
    EXPECT_EQ(render("%{ public , bool }d", 2), "true");
    EXPECT_EQ(render("%{public}@", "object"), "object");
}

TEST(LogFormat, OddFormatsAndArgumentsRenderWithoutHarm) {
    EXPECT_EQ(render("100%% done"), "100% done");
    EXPECT_EQ(render("a %{public}s b"), "a <missing> b");
    EXPECT_EQ(render("only %d", 1, 2, 3), "only 1");
    EXPECT_EQ(render("bad %y here", 1), "bad %y here");
    EXPECT_EQ(render("open %{public", 1), "open %{public");
    EXPECT_EQ(render("trailing %", 1), "trailing %");
    EXPECT_EQ(render("text as number %d", "seven"), "text as number seven");
    EXPECT_EQ(render("number as text %s %s %s", 7, std::uint64_t{8}, false), "number as text 7 8 false");
    const char* none = nullptr;
    EXPECT_EQ(render("%s", none), "(null)");
    EXPECT_EQ(render("%p", reinterpret_cast<const void*>(0x1234)), "0x1234");
}

} // namespace
} // namespace quillmere
