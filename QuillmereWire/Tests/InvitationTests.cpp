#include "PairingTestSupport.h"
#include "QuillmereBase/ByteWriter.h"
#include "QuillmereWire/Base64URL.h"
#include "QuillmereWire/Invitation.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

using pairingtest::filled;

Invitation sample(std::string address = "192.168.1.20", std::string hostName = "Studio Mac") {
    return Invitation{
        .invitationID = filled<WireID>(0xA0),
        .hostFingerprint = filled<Digest32>(0x80),
        .secret = filled<Digest32>(0x00),
        .expiresAt = 1'750'000'000,
        .port = 50123,
        .address = std::move(address),
        .hostName = std::move(hostName),
    };
}

// A record written field by field, so that tests can break any one of them.
struct Record {
    int version = 1;
    Bytes id = filled<WireID>(0xA0).toBytes();
    Bytes fingerprint = filled<Digest32>(0x80).toBytes();
    Bytes secret = filled<Digest32>(0x00).toBytes();
    std::uint32_t expiresAt = 1'750'000'000;
    std::uint16_t port = 50123;
    int addressLength = -1; // -1: the address's own length
    std::string address = "10.0.0.1";
    std::string hostName = "Mac";
    Bytes extra;

    Bytes bytes() const {
        ByteWriter writer;
        writer.writeU8(static_cast<std::uint8_t>(version));
        writer.writeBytes(viewOf(id));
        writer.writeBytes(viewOf(fingerprint));
        writer.writeBytes(viewOf(secret));
        writer.writeU32(expiresAt);
        writer.writeU16(port);
        writer.writeU8(static_cast<std::uint8_t>(addressLength < 0 ? address.size() : addressLength));
        writer.writeBytes(ByteView(reinterpret_cast<const std::uint8_t*>(address.data()), address.size()));
        writer.writeShortString(hostName);
        writer.writeBytes(viewOf(extra));
        return std::move(writer).take();
    }

    std::string text() const { return std::string(Invitation::textPrefix) + Base64URL::encode(viewOf(bytes())); }
};

EnrollmentError malformed(const std::string& where) { return EnrollmentError::malformedInvitation(where); }

TEST(Invitation, RoundTripsThroughItsText) {
    const Invitation invitation = sample();
    const auto text = invitation.encoded();
    ASSERT_TRUE(text.has_value());
    EXPECT_TRUE(text->starts_with("quillmere:1:"));
    EXPECT_EQ(Invitation::fromText(*text), invitation);
}

TEST(Invitation, RoundTripsAtBothSizeLimits) {
    const Invitation smallest = sample("a", "");
    const auto small = smallest.encoded();
    ASSERT_TRUE(small.has_value());
    EXPECT_EQ(small->size(), 132u); // 90-byte record
    EXPECT_EQ(Invitation::fromText(*small), smallest);

    // 64 bytes each, with multi-byte scalars in the host name.
    const Invitation largest = sample(std::string(64, 'x'), std::string(16, 'y') + std::string(16, '\0') + "ééééééééééééééé\xC3\xA9");
    ASSERT_EQ(largest.hostName.size(), 64u);
    const auto large = largest.encoded();
    ASSERT_TRUE(large.has_value());
    EXPECT_EQ(large->size(), 302u); // 217-byte record
    EXPECT_EQ(Base64URL::decode(std::string_view(*large).substr(12))->size(), 217u);
    EXPECT_EQ(Invitation::fromText(*large), largest);
}

TEST(Invitation, WritesTheRecordLayout) {
    Record record;
    Invitation invitation = sample(record.address, record.hostName);
    EXPECT_EQ(invitation.encoded(), record.text());
}

TEST(Invitation, EncodingChecksTheTexts) {
    EXPECT_EQ(sample(std::string(65, 'a')).encoded().error(), WireError::outOfRange("invitation.address"));
    EXPECT_EQ(sample("").encoded().error(), WireError::outOfRange("invitation.address"));
    EXPECT_EQ(sample("a", std::string(65, 'h')).encoded().error(), WireError::outOfRange("invitation.hostName"));
    // The host name is checked first.
    EXPECT_EQ(sample(std::string(65, 'a'), std::string(65, 'h')).encoded().error(),
              WireError::outOfRange("invitation.hostName"));
    EXPECT_EQ(sample("", std::string(65, 'h')).encoded().error(), WireError::outOfRange("invitation.hostName"));
    // Broken UTF-8 would write a text no reader accepts.
    EXPECT_EQ(sample("a", "Mac\xC3").encoded().error(), WireError::invalidString());
    EXPECT_EQ(sample("\xED\xA0\x80").encoded().error(), WireError::invalidString());
}

TEST(Invitation, PortAndExpiryAreNotCheckedOnWriting) {
    Invitation invitation = sample();
    invitation.port = 0;
    invitation.expiresAt = 0;
    EXPECT_TRUE(invitation.encoded().has_value());
}

TEST(Invitation, RefusesAnotherScheme) {
    const std::string valid = *sample().encoded();
    EXPECT_EQ(Invitation::fromText("quillmere:2:" + valid.substr(12)).error(), malformed("scheme"));
    EXPECT_EQ(Invitation::fromText(valid.substr(1)).error(), malformed("scheme"));
    EXPECT_EQ(Invitation::fromText("QUILLMERE:1:" + valid.substr(12)).error(), malformed("scheme"));
    EXPECT_EQ(Invitation::fromText(" " + valid).error(), malformed("scheme"));
    EXPECT_EQ(Invitation::fromText("").error(), malformed("scheme"));
    EXPECT_EQ(Invitation::fromText("quillmere:1").error(), malformed("scheme"));
}

TEST(Invitation, RefusesTextsOver320Bytes) {
    const std::string base = std::string(Invitation::textPrefix) + std::string(320 - 12, 'A');
    // 320 bytes pass the scheme check and decode to a record of zeros.
    EXPECT_EQ(Invitation::fromText(base).error(), malformed("version"));
    EXPECT_EQ(Invitation::fromText(base + "A").error(), malformed("scheme"));
    EXPECT_EQ(Invitation::fromText(base + "\xC3\xA9").error(), malformed("scheme"));
}

TEST(Invitation, RefusesBadBase64) {
    const std::string valid = *sample().encoded();
    EXPECT_EQ(Invitation::fromText(valid + "=").error(), malformed("base64"));
    std::string plus = valid;
    plus[20] = '+';
    EXPECT_EQ(Invitation::fromText(plus).error(), malformed("base64"));
    std::string slash = valid;
    slash[20] = '/';
    EXPECT_EQ(Invitation::fromText(slash).error(), malformed("base64"));
    EXPECT_EQ(Invitation::fromText(valid.substr(0, 30) + "\n" + valid.substr(30)).error(), malformed("base64"));
    // One character: length 1 modulo 4.
    EXPECT_EQ(Invitation::fromText("quillmere:1:A").error(), malformed("base64"));
}

TEST(Invitation, RefusesAnotherRecordVersion) {
    Record record;
    record.version = 2;
    EXPECT_EQ(Invitation::fromText(record.text()).error(), malformed("version"));
    record.version = 0;
    EXPECT_EQ(Invitation::fromText(record.text()).error(), malformed("version"));
}

TEST(Invitation, CarriesTheReaderErrorAsText) {
    EXPECT_EQ(Invitation::fromText("quillmere:1:").error(), malformed("truncated"));

    Record trailing;
    trailing.extra = {0};
    EXPECT_EQ(Invitation::fromText(trailing.text()).error(), malformed("trailingBytes"));

    Record longAddress;
    longAddress.address = std::string(65, 'a');
    EXPECT_EQ(Invitation::fromText(longAddress.text()).error(), malformed("outOfRange(\"invitation.address\")"));

    Record longName;
    longName.hostName = std::string(65, 'h');
    EXPECT_EQ(Invitation::fromText(longName.text()).error(), malformed("outOfRange(\"invitation.hostName\")"));

    Record badName;
    badName.hostName = "Mac\xC0\xAF";
    EXPECT_EQ(Invitation::fromText(badName.text()).error(), malformed("invalidString"));

    // The address length claims more bytes than follow.
    Record shortAddress;
    shortAddress.addressLength = 60;
    shortAddress.hostName = "";
    EXPECT_EQ(Invitation::fromText(shortAddress.text()).error(), malformed("truncated"));
}

TEST(Invitation, EveryCutOfTheRecordIsTruncated) {
    const Bytes full = Record().bytes();
    for (std::size_t cut = 1; cut < full.size(); ++cut) {
        const std::string text = std::string(Invitation::textPrefix) + Base64URL::encode(ByteView(full.data(), cut));
        EXPECT_EQ(Invitation::fromText(text).error(), malformed("truncated")) << cut;
    }
}

TEST(Invitation, RefusesPortZeroAndAnEmptyAddress) {
    Record noPort;
    noPort.port = 0;
    EXPECT_EQ(Invitation::fromText(noPort.text()).error(), malformed("port"));

    Record noAddress;
    noAddress.address = "";
    EXPECT_EQ(Invitation::fromText(noAddress.text()).error(), malformed("address"));

    // Encoding does not test the port, so the host can write what no client reads.
    Invitation portZero = sample();
    portZero.port = 0;
    EXPECT_EQ(Invitation::fromText(*portZero.encoded()).error(), malformed("port"));
}

TEST(Invitation, ParsesWhatHasExpired) {
    Record record;
    record.expiresAt = 1;
    EXPECT_EQ(Invitation::fromText(record.text())->expiresAt, 1u);
}

TEST(Invitation, ErrorTextFollowsTheCaseNames) {
    EXPECT_EQ(malformed("scheme").description(), "malformedInvitation(\"scheme\")");
    EXPECT_EQ(EnrollmentError::rejected(EnrollmentOutcome::alreadyUsed).description(), "rejected(alreadyUsed)");
    EXPECT_EQ(EnrollmentError::hostProofInvalid().description(), "hostProofInvalid");
    EXPECT_NE(EnrollmentError::rejected(EnrollmentOutcome::denied), EnrollmentError::rejected(EnrollmentOutcome::expired));
    EXPECT_NE(EnrollmentError::expired(), EnrollmentError::rejected(EnrollmentOutcome::expired));
}

} // namespace
} // namespace quillmere
