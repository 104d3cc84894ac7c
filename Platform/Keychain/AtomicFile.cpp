#include "Platform/Keychain/AtomicFile.h"

#include "QuillmereBase/FileDescriptor.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

using Result = AtomicFile::Result;
using Outcome = AtomicFile::Outcome;

Result failed() { return {Outcome::failed, errno}; }

Result syncFolder(const std::filesystem::path& folder) {
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) return failed();
    return {};
}

// A flushed, private temporary file holding bytes, or the errno of a failure.
std::expected<std::filesystem::path, int> writeTemporary(const std::filesystem::path& folder, ByteView bytes) {
    std::string pattern = (folder / (std::string(AtomicFile::temporaryPrefix) + "XXXXXX")).string();
    FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd.valid()) return std::unexpected(errno);
    std::expected<void, int> written = ::fchmod(fd.get(), 0600) == 0 ? fd.writeAll(bytes) : std::unexpected(errno);
    if (written && ::fsync(fd.get()) != 0) written = std::unexpected(errno);
    if (!fd.close() && written) written = std::unexpected(errno);
    if (!written) {
        ::unlink(pattern.c_str());
        return std::unexpected(written.error());
    }
    return pattern;
}

} // namespace

bool AtomicFile::prepareFolder(const std::filesystem::path& folder) {
    std::filesystem::path built;
    for (const auto& part : folder) {
        built /= part;
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
    return (info.st_mode & 0777) == 0700 || ::chmod(folder.c_str(), 0700) == 0;
}

AtomicFile::Result AtomicFile::create(const std::filesystem::path& folder, const std::string& name, ByteView bytes) {
    const auto temporary = writeTemporary(folder, bytes);
    if (!temporary) return {Outcome::failed, temporary.error()};
    // link() never replaces an existing name, unlike rename().
    const int linked = ::link(temporary->c_str(), (folder / name).c_str());
    const int linkError = errno;
    ::unlink(temporary->c_str());
    if (linked != 0) return {linkError == EEXIST ? Outcome::nameTaken : Outcome::failed, linkError};
    return syncFolder(folder);
}

AtomicFile::Result AtomicFile::replace(const std::filesystem::path& folder, const std::string& name, ByteView bytes) {
    const auto temporary = writeTemporary(folder, bytes);
    if (!temporary) return {Outcome::failed, temporary.error()};
    if (::rename(temporary->c_str(), (folder / name).c_str()) != 0) {
        const Result result = failed();
        ::unlink(temporary->c_str());
        return result;
    }
    return syncFolder(folder);
}

AtomicFile::Result AtomicFile::remove(const std::filesystem::path& folder, const std::string& name) {
    if (::unlink((folder / name).c_str()) != 0)
        return {errno == ENOENT ? Outcome::nameMissing : Outcome::failed, errno};
    return syncFolder(folder);
}

std::optional<Bytes> AtomicFile::read(const std::filesystem::path& file) {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return std::nullopt;
    auto bytes = fd.readToEnd();
    if (!bytes) return std::nullopt;
    return std::move(*bytes);
}

void AtomicFile::sweepTemporaries(const std::filesystem::path& folder, std::chrono::seconds olderThan) {
    std::error_code error;
    const auto cutoff = std::filesystem::file_time_type::clock::now() - olderThan;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto& entry = *it;
        if (entry.path().filename().string().rfind(temporaryPrefix, 0) != 0) continue;
        std::error_code timeError;
        const auto written = entry.last_write_time(timeError);
        if (!timeError && written < cutoff) ::unlink(entry.path().c_str());
    }
}

} // namespace quillmere
