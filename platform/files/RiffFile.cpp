#include "files/RiffFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "files/FileFaults.h"

namespace kora486 {

std::unique_ptr<RiffFile> RiffFile::Open(const std::string& path, FileOpenMode mode,
                                         std::string* error) {
    auto fail = [error](int code) {
        if (error != nullptr) {
            *error = std::strerror(code);
        }
        return nullptr;
    };
    const std::string key = fault_seam::KeyOfPath(path);
    if (fault_seam::FaultFor(key, FileOperation::Open, 0, 0)) {
        return fail(EIO);
    }

    int flags = O_CLOEXEC;
    switch (mode) {
        case FileOpenMode::Read:
            flags |= O_RDONLY;
            break;
        case FileOpenMode::ReadWrite:
            flags |= O_RDWR;
            break;
        case FileOpenMode::Create:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return fail(errno);
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        const int code = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(fd);
        return fail(code);
    }
    std::unique_ptr<RiffFile> file(
        new RiffFile(fd, path, mode != FileOpenMode::Read, static_cast<int64_t>(info.st_size)));
    file->faultKey_ = key;
    return file;
}

bool RiffFile::Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

RiffFile::RiffFile(int fd, std::string path, bool writable, int64_t length)
    : fd_(fd),
      path_(std::move(path)),
      writable_(writable),
      length_(length),
      buffer_(static_cast<size_t>(BufferSize)) {}

RiffFile::~RiffFile() {
    if (fd_ >= 0) {
        WriteBack();
        ::close(fd_);
    }
}

int RiffFile::Close() {
    if (fd_ < 0) {
        return -1;
    }
    const bool faulted = fault_seam::FaultFor(faultKey_, FileOperation::Close, 0, 0).has_value();
    int result = WriteBack();
    // The descriptor is gone after close even when it reports an error, so it is never retried.
    if (::close(fd_) != 0) {
        result = -1;
    }
    fd_ = -1;
    return faulted ? -1 : result;
}

int RiffFile::Flush() {
    return fd_ < 0 ? -1 : WriteBack();
}

int RiffFile::Sync() {
    if (fd_ < 0 || WriteBack() != 0) {
        return -1;
    }
    int result;
    do {
        result = ::fsync(fd_);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : -1;
}

void RiffFile::WillNeed(int64_t offset, int64_t length) {
    if (fd_ >= 0 && offset >= 0 && length > 0) {
        posix_fadvise(fd_, offset, length, POSIX_FADV_WILLNEED);
    }
}

int64_t RiffFile::Length() {
    return fd_ < 0 ? -1 : length_;
}

int64_t RiffFile::Seek(int64_t offset, SeekOrigin origin) {
    if (fd_ < 0) {
        return -1;
    }
    int64_t base = 0;
    switch (origin) {
        case SeekOrigin::Start:
            break;
        case SeekOrigin::Current:
            base = position_;
            break;
        case SeekOrigin::End:
            base = length_;
            break;
    }
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0) {
        return -1;
    }
    if (fault_seam::FaultFor(faultKey_, FileOperation::Seek, target, 0)) {
        return -1;
    }
    // Leaving the buffer writes it back now rather than on the next transfer, so a failing disk
    // shows at the seek that left the data behind.
    if (!InWindow(target) && WriteBack() != 0) {
        return -1;
    }
    position_ = target;
    return position_;
}

int32_t RiffFile::Read(void* data, int32_t count) {
    if (fd_ < 0 || count < 0 || (data == nullptr && count > 0)) {
        return -1;
    }
    int64_t wanted = count;
    if (auto fault = fault_seam::FaultFor(faultKey_, FileOperation::Read, position_, count)) {
        if (fault->kind == FaultKind::Fail) {
            return -1;
        }
        wanted = std::clamp<int64_t>(fault->atByte - position_, 0, count);
    }

    auto* out = static_cast<uint8_t*>(data);
    int64_t done = 0;
    while (done < wanted) {
        const int64_t offset = position_ - bufferStart_;
        if (offset >= 0 && offset < bufferLength_) {
            const int64_t n = std::min(wanted - done, bufferLength_ - offset);
            std::memcpy(out + done, buffer_.data() + offset, static_cast<size_t>(n));
            done += n;
            position_ += n;
            continue;
        }
        // The disk must hold everything the buffer holds before it is read or the buffer refilled.
        if (WriteBack() != 0) {
            return done > 0 ? static_cast<int32_t>(done) : -1;
        }
        if (wanted - done >= BufferSize) {
            const int64_t n = PreadAll(out + done, wanted - done, position_);
            if (n > 0) {
                done += n;
                position_ += n;
            }
            if (n < 0 && done == 0) {
                return -1;
            }
            break;
        }
        bufferStart_ = position_;
        bufferLength_ = 0;
        const int64_t n = PreadAll(buffer_.data(), BufferSize, position_);
        if (n < 0 && done == 0) {
            return -1;
        }
        if (n <= 0) {
            break;
        }
        bufferLength_ = n;
    }
    return static_cast<int32_t>(done);
}

int32_t RiffFile::Write(const void* data, int32_t count) {
    if (fd_ < 0 || !writable_ || count < 0 || (data == nullptr && count > 0) ||
        position_ > INT64_MAX - count) {
        return -1;
    }
    int64_t wanted = count;
    if (auto fault = fault_seam::FaultFor(faultKey_, FileOperation::Write, position_, count)) {
        if (fault->kind == FaultKind::Fail) {
            return -1;
        }
        wanted = std::clamp<int64_t>(fault->atByte - position_, 0, count);
    }

    const auto* in = static_cast<const uint8_t*>(data);
    int64_t done = 0;
    while (done < wanted) {
        if (!InWindow(position_)) {
            if (WriteBack() != 0) {
                break;
            }
            if (wanted - done >= BufferSize) {
                // The buffer is clean now; it is dropped because the direct write may overlap it.
                bufferLength_ = 0;
                const int64_t n = PwriteAll(in + done, wanted - done, position_);
                if (n > 0) {
                    done += n;
                    position_ += n;
                    length_ = std::max(length_, position_);
                }
                break;
            }
            bufferStart_ = position_;
            bufferLength_ = 0;
        }
        const int64_t offset = position_ - bufferStart_;
        const int64_t n = std::min(wanted - done, BufferSize - offset);
        std::memcpy(buffer_.data() + offset, in + done, static_cast<size_t>(n));
        if (dirtyEnd_ > dirtyBegin_) {
            dirtyBegin_ = std::min(dirtyBegin_, offset);
            dirtyEnd_ = std::max(dirtyEnd_, offset + n);
        } else {
            dirtyBegin_ = offset;
            dirtyEnd_ = offset + n;
        }
        bufferLength_ = std::max(bufferLength_, offset + n);
        done += n;
        position_ += n;
        length_ = std::max(length_, position_);
    }
    if (done == 0 && wanted > 0) {
        return -1;
    }
    return static_cast<int32_t>(done);
}

bool RiffFile::InWindow(int64_t position) const {
    // A write may extend the buffered bytes at their end, never leave a hole inside them.
    const int64_t offset = position - bufferStart_;
    return bufferLength_ > 0 && offset >= 0 && offset <= bufferLength_ && offset < BufferSize;
}

int RiffFile::WriteBack() {
    while (dirtyEnd_ > dirtyBegin_) {
        const int64_t n = PwriteAll(buffer_.data() + dirtyBegin_, dirtyEnd_ - dirtyBegin_,
                                    bufferStart_ + dirtyBegin_);
        if (n <= 0) {
            return -1;  // the rest stays dirty for the next attempt
        }
        dirtyBegin_ += n;
    }
    dirtyBegin_ = dirtyEnd_ = 0;
    return 0;
}

int64_t RiffFile::PreadAll(uint8_t* data, int64_t count, int64_t offset) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, data + done, static_cast<size_t>(count - done),
                                  static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return done > 0 ? done : -1;
        }
        if (n == 0) {
            break;
        }
        done += n;
    }
    return done;
}

int64_t RiffFile::PwriteAll(const uint8_t* data, int64_t count, int64_t offset) {
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::pwrite(fd_, data + done, static_cast<size_t>(count - done),
                                   static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return done > 0 ? done : -1;
        }
        done += n;
    }
    return done;
}

}  // namespace kora486
