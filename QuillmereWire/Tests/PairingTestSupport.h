#pragma once

#include "TestSupport/TestValues.h"
#include "QuillmereWire/PairingCrypto.h"
#include "QuillmereWire/TrustStorage.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere::pairingtest {

// Real HMAC-SHA256, predictable random bytes: draw n yields n bytes counting
// up from a seed that advances per draw. Draws can be scripted to fail or to
// come back short.
class TestPairingCrypto final : public PairingCrypto {
public:
    enum class Draw { normal, fail, shortByOne };

    std::expected<Bytes, RandomFailure> randomBytes(std::size_t count) override {
        ++draws;
        Draw draw = Draw::normal;
        if (!script.empty()) {
            draw = script.front();
            script.pop_front();
        }
        if (draw == Draw::fail) return std::unexpected(RandomFailure{-25300});
        if (draw == Draw::shortByOne && count > 0) --count;
        Bytes out(count);
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(seed + i);
        seed = static_cast<std::uint8_t>(seed + 0x31);
        return out;
    }

    Digest32 authenticationCode(ByteView key, ByteView message) const override {
        ++macs;
        return hmacSHA256(key, message);
    }

    static Digest32 hmacSHA256(ByteView key, ByteView message) {
        std::array<std::uint8_t, 32> out{};
        unsigned int length = 0;
        HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), message.data(), message.size(), out.data(),
             &length);
        return Digest32(out);
    }

    std::deque<Draw> script;
    std::uint8_t seed = 1;
    int draws = 0;
    mutable int macs = 0;
};

// An in-memory storage that counts its calls and fails on request.
class MemoryTrustStorage final : public TrustStorage {
public:
    struct State {
        std::optional<Bytes> blob;
        int loads = 0;
        int saves = 0;
        std::optional<std::string> loadFailure;
        std::optional<std::string> saveFailure;
    };

    explicit MemoryTrustStorage(std::shared_ptr<State> state) : state_(std::move(state)) {}

    std::expected<std::optional<Bytes>, std::string> load() override {
        ++state_->loads;
        if (state_->loadFailure) return std::unexpected(*state_->loadFailure);
        return state_->blob;
    }

    std::expected<void, std::string> save(ByteView blob) override {
        ++state_->saves;
        if (state_->saveFailure) return std::unexpected(*state_->saveFailure);
        state_->blob = Bytes(blob.begin(), blob.end());
        return {};
    }

private:
    std::shared_ptr<State> state_;
};

template <class Fixed>
Fixed filled(std::uint8_t first, std::uint8_t step = 1) {
    typename std::remove_cvref_t<decltype(Fixed().bytes())> raw{};
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(first + i * step);
    return Fixed(raw);
}

// The same digest with one byte changed.
inline Digest32 flipped(const Digest32& digest, std::size_t index = 31) {
    auto raw = digest.bytes();
    raw[index] ^= 0x01;
    return Digest32(raw);
}

inline Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

using testing::bytesOf;

} // namespace quillmere::pairingtest
