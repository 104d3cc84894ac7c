#pragma once

#include "QuillmereBase/Bytes.h"

#include <chrono>
#include <filesystem>
#include <optional>

namespace quillmere {

// Whole-file writes that a crash cannot leave half done: the bytes go to a
// private temporary file in the same folder, are flushed to the disk, and
// only then take the final name; the folder is flushed after every change of
// names. Files are readable by their owner only.
class AtomicFile {
public:
    enum class Outcome { done, nameTaken, nameMissing, failed };
    struct Result {
        Outcome outcome = Outcome::done;
        // The system's errno when failed.
        int error = 0;
    };

    // Makes the folder (and missing parents) private to the user: 0700.
    static bool prepareFolder(const std::filesystem::path& folder);

    // Gives the bytes the name only when nothing has it yet.
    static Result create(const std::filesystem::path& folder, const std::string& name, ByteView bytes);
    // Gives the bytes the name, replacing what had it.
    static Result replace(const std::filesystem::path& folder, const std::string& name, ByteView bytes);
    static Result remove(const std::filesystem::path& folder, const std::string& name);

    static std::optional<Bytes> read(const std::filesystem::path& file);

    // Deletes temporary files that a killed writer left, once they are older
    // than any live write could take.
    static void sweepTemporaries(const std::filesystem::path& folder, std::chrono::seconds olderThan);

    // Names of temporary files start with this; they are never items.
    static constexpr const char* temporaryPrefix = ".tmp-";
};

} // namespace quillmere
