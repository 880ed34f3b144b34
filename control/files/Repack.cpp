#include "files/Repack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>

#include "files/DeleteSound.h"
#include "files/RiffFile.h"
#include "shell/TemporaryFiles.h"

namespace kora486 {

namespace {

// The folder part of a path: "." without one, "/" for a file in the root.
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names, through a symbolic link, so that the rename replaces the file and not
// the link.
std::string FileNamedBy(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_symlink(path, error)) {
        const std::filesystem::path target = std::filesystem::canonical(path, error);
        if (!error) {
            return target.string();
        }
    }
    return path;
}

bool CopyLeadingBytes(RiffFile& from, RiffFile& to, int64_t length) {
    const auto piece = std::make_unique<uint8_t[]>(EditPieceBytes);
    if (from.Seek(0, SeekOrigin::Start) != 0 || to.Seek(0, SeekOrigin::Start) != 0) {
        return false;
    }
    for (int64_t left = length; left > 0;) {
        const auto n = static_cast<int32_t>(std::min<int64_t>(left, EditPieceBytes));
        if (from.Read(piece.get(), n) != n || to.Write(piece.get(), n) != n) {
            return false;
        }
        left -= n;
    }
    return true;
}

bool CopyInto(const std::string& path, const std::string& copy, int64_t length) {
    const std::unique_ptr<RiffFile> from = RiffFile::Open(path, FileOpenMode::Read);
    const std::unique_ptr<RiffFile> to = RiffFile::Open(copy, FileOpenMode::ReadWrite);
    if (!from || !to) {
        return false;
    }
    // Whoever could read or write the recording can do the same with its shorter self.
    struct stat info {};
    const bool copied = CopyLeadingBytes(*from, *to, length) && ::stat(path.c_str(), &info) == 0 &&
                        ::chmod(copy.c_str(), info.st_mode & 07777) == 0;
    const bool synced = copied && to->Sync() == 0;
    const bool closed = to->Close() == 0;
    from->Close();
    return synced && closed;
}

// A rename is durable only once the folder that holds the name is on disk; a failure here
// leaves a whole file under one name or the other, so it is not reported.
void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

std::optional<int64_t> RepackedLength(MmioFile& file, const RecorderState& state, bool dataOnly) {
    const ChunkInfo& data = state.DataChunk;
    int64_t used = int64_t{data.dataOffset} + data.size;
    if (!dataOnly) {
        if (state.RiffChunk.size == 0) {
            return std::nullopt;
        }
        // A RIFF size from elsewhere that ends inside the data must not cut sound off.
        used = std::max(used + (data.size & 1),
                        int64_t{state.RiffChunk.dataOffset} + state.RiffChunk.size);
    }
    const int64_t length = file.Seek(0, SeekOrigin::End);
    if (length <= used) {
        return std::nullopt;
    }
    return used;
}

bool ShortenByCopy(const std::string& path, int64_t length) {
    const std::string target = FileNamedBy(path);
    const std::string folder = FolderOf(target);
    const std::optional<std::string> copy = CreateUniqueFileIn(folder, "TVM");
    if (!copy) {
        return false;
    }
    if (!CopyInto(target, *copy, length) || ::rename(copy->c_str(), target.c_str()) != 0) {
        ::unlink(copy->c_str());
        return false;
    }
    SyncFolder(folder);
    return true;
}

}  // namespace kora486
