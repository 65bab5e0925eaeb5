#include "drive/linux/LinuxSysCalls.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vindral::linuxdrive {

namespace {

int NegatedErrno() { return errno != 0 ? -errno : -EIO; }

class RealSysCalls final : public LinuxSysCalls {
public:
    int Open(const std::string& path, int flags) override {
        int fd;
        do {
            fd = ::open(path.c_str(), flags | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        return fd >= 0 ? fd : NegatedErrno();
    }

    int Close(int fd) override { return ::close(fd) == 0 ? 0 : NegatedErrno(); }

    int Ioctl(int fd, unsigned long request, void* argument) override {
        int result;
        do {
            result = ::ioctl(fd, request, argument);
        } while (result < 0 && errno == EINTR);
        return result >= 0 ? result : NegatedErrno();
    }

    int ReadFile(const std::string& path, std::size_t maxBytes,
                 std::vector<uint8_t>& contents) override {
        contents.clear();
        const int fd = Open(path, O_RDONLY);
        if (fd < 0) {
            return fd;
        }
        contents.resize(maxBytes);
        std::size_t filled = 0;
        int error = 0;
        while (filled < maxBytes) {
            const ssize_t got = ::read(fd, contents.data() + filled, maxBytes - filled);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                error = NegatedErrno();
                break;
            }
            if (got == 0) {
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        ::close(fd);
        contents.resize(filled);
        return error;
    }

    int ListDirectory(const std::string& path, std::vector<std::string>& names) override {
        names.clear();
        DIR* dir = ::opendir(path.c_str());
        if (dir == nullptr) {
            return NegatedErrno();
        }
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                names.emplace_back(entry->d_name);
            }
        }
        ::closedir(dir);
        return 0;
    }

    int FileGroup(const std::string& path, std::string& group) override {
        group.clear();
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) {
            return NegatedErrno();
        }
        std::vector<char> scratch(4096);
        struct group entry {};
        struct group* found = nullptr;
        const int error = ::getgrgid_r(info.st_gid, &entry, scratch.data(), scratch.size(), &found);
        if (error != 0 || found == nullptr || found->gr_name == nullptr) {
            group = std::to_string(info.st_gid);
            return 0;
        }
        group = found->gr_name;
        return 0;
    }
};

} // namespace

std::shared_ptr<LinuxSysCalls> RealLinuxSysCalls() {
    static const std::shared_ptr<LinuxSysCalls> calls = std::make_shared<RealSysCalls>();
    return calls;
}

} // namespace vindral::linuxdrive
