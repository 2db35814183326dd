#include "cli/file_ops.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/log.h"
#include "common/read_file.h"
#include "common/unique_fd.h"

namespace cli {

namespace {

constexpr size_t kMaxFileSize = 1 << 20;

bool write_all(int fd, const std::string& contents) {
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Removes the entry `name` of the directory `dir_fd`.
bool remove_at(int dir_fd, const char* name, const std::string& shown_path) {
    if (unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM) {
        log_message(LOG_ERR, "unlink(%s) failed: %s", shown_path.c_str(), strerror(errno));
        return false;
    }
    UniqueFd dir(openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir) {
        log_message(LOG_ERR, "open(%s) failed: %s", shown_path.c_str(), strerror(errno));
        return false;
    }
    DIR* listing = fdopendir(dup(dir.get()));
    if (listing == nullptr) {
        log_message(LOG_ERR, "fdopendir(%s) failed: %s", shown_path.c_str(), strerror(errno));
        return false;
    }
    bool ok = true;
    while (dirent* entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        ok = remove_at(dir.get(), entry->d_name, shown_path + "/" + entry->d_name) && ok;
    }
    closedir(listing);
    if (ok && unlinkat(dir_fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        log_message(LOG_ERR, "rmdir(%s) failed: %s", shown_path.c_str(), strerror(errno));
        return false;
    }
    return ok;
}

}  // namespace

bool read_file(const std::string& path, std::string& contents) {
    switch (read_whole_file(path, kMaxFileSize, contents)) {
    case FileRead::ok:
        return true;
    case FileRead::open_failed:
        log_message(LOG_ERR, "open(%s) failed: %s", path.c_str(), strerror(errno));
        return false;
    case FileRead::read_failed:
    case FileRead::too_big:
        log_message(LOG_ERR, "read(%s) failed: %s", path.c_str(), strerror(errno));
        return false;
    }
    return false;
}

Replace replace_file(const std::string& path, const std::string& contents, mode_t mode) {
    struct stat old = {};
    uid_t owner = 0;
    gid_t group = 0;
    if (stat(path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
        owner = old.st_uid;
        group = old.st_gid;
    }
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());  // a stale one from an interrupted run
    UniqueFd fd(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        log_message(LOG_ERR, "open(%s) failed: %s", temporary.c_str(), strerror(errno));
        return Replace::write_failed;
    }
    const char* failed = nullptr;
    if (!write_all(fd.get(), contents))
        failed = "write";
    else if (fchown(fd.get(), owner, group) != 0)
        failed = "fchown";
    else if (fchmod(fd.get(), mode) != 0)
        failed = "fchmod";
    else if (fsync(fd.get()) != 0)
        failed = "fsync";
    else if (close(fd.release()) != 0)
        failed = "close";
    if (failed != nullptr) {
        const int error = errno;
        log_message(LOG_ERR, "%s(%s) failed: %s", failed, temporary.c_str(), strerror(error));
        unlink(temporary.c_str());
        errno = error;
        return Replace::write_failed;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        log_message(LOG_ERR, "rename(%s) failed: %s", temporary.c_str(), strerror(error));
        unlink(temporary.c_str());
        errno = error;
        return Replace::rename_failed;
    }
    // The rename itself reaches the disk with the directory.
    const std::string directory = path.substr(0, path.rfind('/') == std::string::npos ? 1 : path.rfind('/') + 1);
    UniqueFd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir && fsync(dir.get()) != 0)
        log_message(LOG_ERR, "fsync(%s) failed: %s", directory.c_str(), strerror(errno));
    return Replace::done;
}

bool remove_tree(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    UniqueFd dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        log_message(LOG_ERR, "open(%s) failed: %s", parent.c_str(), strerror(errno));
        return false;
    }
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return remove_at(dir.get(), name.c_str(), path);
}

}  // namespace cli
