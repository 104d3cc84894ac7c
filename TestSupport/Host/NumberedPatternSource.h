#pragma once

#include "Platform/Dispatch/LockedBox.h"
#include "QuillmereMac/Capture/CaptureSource.h"
#include "QuillmereMac/TestPattern/TestPatternSource.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace quillmere::testing {

// A test-pattern source that writes down the number each frame shows, by
// the frame's capture time.
class NumberedPatternSource final : public CaptureSource {
public:
    using Numbers = LockedBox<std::map<std::uint64_t, std::uint64_t>>;

    NumberedPatternSource(std::shared_ptr<TestPatternSource> inner, std::shared_ptr<Numbers> numbers)
        : inner_(std::move(inner)), numbers_(std::move(numbers)) {}

    const std::string& label() const override { return inner_->label(); }
    std::expected<void, CaptureStartError> start(CaptureEventHandler handler) override;
    void stop() override { inner_->stop(); }

private:
    std::shared_ptr<TestPatternSource> inner_;
    std::shared_ptr<Numbers> numbers_;
};

} // namespace quillmere::testing
