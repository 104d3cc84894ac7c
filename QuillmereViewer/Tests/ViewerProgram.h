#pragma once

#include "TestSupport/ChildProcess.h"
#include "TestSupport/TemporaryFolder.h"

#include <string>
#include <vector>

namespace quillmere::testing {

struct ViewerOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

// quillmere-viewer started with the arguments, its standard output and error
// in files of the folder.
inline ChildProcess startViewer(const std::vector<std::string>& arguments, const TemporaryFolder& folder) {
    std::vector<std::string> all = {QUILLMERE_VIEWER_PROGRAM};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return ChildProcess(all, {.output = folder.path() / "out.txt", .errors = folder.path() / "err.txt"});
}

// What it printed once it ended.
inline ViewerOutcome finishViewer(ChildProcess& viewer) {
    ViewerOutcome outcome;
    outcome.status = viewer.wait();
    outcome.out = viewer.output();
    outcome.err = viewer.errors();
    return outcome;
}

inline ViewerOutcome runViewer(const std::vector<std::string>& arguments) {
    const TemporaryFolder folder;
    ChildProcess viewer = startViewer(arguments, folder);
    return finishViewer(viewer);
}

} // namespace quillmere::testing
