#pragma once

#include "Platform/Dispatch/Executor.h"

namespace quillmere {

// The main actor: work runs on the Qt event loop of the application's main
// thread. A QCoreApplication (or QApplication) must exist.
class MainQueue final : public Executor {
public:
    static MainQueue& shared();

    const std::string& label() const override;
    void async(Work work) override;
    void asyncAfter(std::uint64_t delayNs, Work work) override;
    void sync(const Work& work) override;
    bool isCurrent() const override;
    std::uint64_t nowNs() const override;

private:
    MainQueue() = default;
};

} // namespace quillmere
