// Runs the fuzz entry over mutations of valid inputs, so that every test run
// (the sanitizer build included) exercises it without libFuzzer.
#include "QuillmereWire/Base64URL.h"
#include "QuillmereWire/Invitation.h"
#include "QuillmereWire/Tests/PairingTestSupport.h"
#include "QuillmereWire/TrustStore.h"
#include "fuzz/PairingDecoderChecks.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmere {
namespace {

using pairingtest::filled;

std::vector<Bytes> seeds() {
    std::vector<Bytes> out;
    auto withSelector = [&](std::uint8_t selector, const Bytes& body) {
        Bytes unit{selector};
        unit.insert(unit.end(), body.begin(), body.end());
        out.push_back(std::move(unit));
    };
    Invitation small{filled<WireID>(1), filled<Digest32>(2), filled<Digest32>(3), 1000, 1, "a", ""};
    Invitation large{filled<WireID>(1), filled<Digest32>(2), filled<Digest32>(3), 0xFFFFFFFF, 65535,
                     std::string(64, 'a'), std::string(30, 'h') + "\xE2\x82\xAC" + std::string(31, 'g')};
    for (const Invitation& invitation : {small, large}) {
        const std::string text = *invitation.encoded();
        withSelector('0', Bytes(text.begin(), text.end()));
        withSelector('2', *Base64URL::decode(std::string_view(text).substr(Invitation::textPrefix.size())));
    }
    std::vector<TrustedPeer> peers;
    withSelector('1', *TrustStore::encode(peers));
    for (int n = 0; n < 32; ++n) {
        peers.emplace_back(filled<WireID>(static_cast<std::uint8_t>(n)), filled<Digest32>(static_cast<std::uint8_t>(n)),
                           std::string(static_cast<std::size_t>(n * 2), 'n'), n % 2 ? PeerRole::host : PeerRole::client,
                           static_cast<std::uint64_t>(n) << 40);
        if (n == 1 || n == 31) withSelector('1', *TrustStore::encode(peers));
    }
    return out;
}

Bytes mutate(Bytes unit, std::mt19937& random) {
    std::uniform_int_distribution<int> kind(0, 4);
    const int changes = std::uniform_int_distribution<int>(1, 4)(random);
    for (int i = 0; i < changes && unit.size() > 1; ++i) {
        const std::size_t at = std::uniform_int_distribution<std::size_t>(1, unit.size() - 1)(random);
        const auto byte = static_cast<std::uint8_t>(random());
        switch (kind(random)) {
        case 0: unit[at] = byte; break;
        case 1: unit[at] ^= static_cast<std::uint8_t>(1u << (byte % 8)); break;
        case 2: unit.insert(unit.begin() + static_cast<std::ptrdiff_t>(at), byte); break;
        case 3: unit.erase(unit.begin() + static_cast<std::ptrdiff_t>(at)); break;
        default: unit.resize(at); break;
        }
    }
    return unit;
}

TEST(PairingDecodersFuzz, SeedsDecode) {
    // The seeds must reach the success path, or the mutations test only refusals.
    for (const Bytes& seed : seeds()) {
        const ByteView body = ByteView(seed).subspan(1);
        if (seed[0] == '0') {
            EXPECT_TRUE(Invitation::fromText(std::string(body.begin(), body.end())).has_value());
        } else if (seed[0] == '2') {
            EXPECT_TRUE(Invitation::fromText(std::string(Invitation::textPrefix) + Base64URL::encode(body)));
        } else {
            EXPECT_TRUE(TrustStore::decode(body).has_value());
        }
    }
}

TEST(PairingDecodersFuzz, MutationsKeepEveryPromise) {
    std::mt19937 random(20240611);
    const std::vector<Bytes> units = seeds();
    for (int round = 0; round < 40'000; ++round) {
        const Bytes unit = mutate(units[static_cast<std::size_t>(round) % units.size()], random);
        ASSERT_EQ(fuzzPairingDecoders(unit.data(), unit.size()), 0);
    }
}

} // namespace
} // namespace quillmere
