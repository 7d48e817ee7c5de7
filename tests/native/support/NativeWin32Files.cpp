// The native lane's Win32 file calls (win32/windows.h) over POSIX, with the
// Windows behaviour the journal and the log's file side rely on:
// - CreateFile's dispositions, and its sharing: an open whose access or
//   sharing conflicts with a handle already open on the same file fails with
//   ERROR_SHARING_VIOLATION and leaves the file as it was (this is what keeps
//   a second owner off the delivery journal);
// - FILE_APPEND_DATA without GENERIC_WRITE writes at the end, each write
//   whole, as the log's writers do;
// - a rename or delete of a file open without FILE_SHARE_DELETE is refused;
//   MoveFileEx replaces the target only when asked, MoveFile never;
// - a file mapping is extended to its size, keeps the file open on its own,
//   and its views are shared with the file (MAP_SHARED);
// - failures set the error codes the sources check.
// Sharing is kept in this process only, which is all a test needs. A delete
// is POSIX-like (the name goes at once), as on current Windows.

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

struct NativeHandle {
    enum class Kind { File, Mapping } kind = Kind::File;
    int fd = -1;
    DWORD access = 0;  // GENERIC_READ, GENERIC_WRITE, FILE_APPEND_DATA, DELETE as asked
    DWORD share = 0;
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t mappingSize = 0;
};

// The open file handles (for sharing) and the mapped views (for their size).
// Opens, renames and deletes run under the one lock, so a check and what it
// allows cannot be separated by another thread's open.
std::mutex& FilesLock() {
    static std::mutex lock;
    return lock;
}
std::vector<NativeHandle*>& OpenFiles() {
    static std::vector<NativeHandle*> files;
    return files;
}
std::map<const void*, std::size_t>& Views() {
    static std::map<const void*, std::size_t> views;
    return views;
}

constexpr DWORD kReadAccess = GENERIC_READ;
constexpr DWORD kWriteAccess = GENERIC_WRITE | FILE_APPEND_DATA;

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

std::string ParentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The Windows code for an errno of a call on path.
DWORD ErrorOf(int error, const std::string& path) {
    struct stat parent{};
    switch (error) {
    case ENOENT:
        return ::stat(ParentOf(path).c_str(), &parent) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// Windows paths as the product builds them: backslashes separate.
std::string LinuxPath(const char* path) {
    std::string linux = path ? path : "";
    std::replace(linux.begin(), linux.end(), '\\', '/');
    return linux;
}

std::string LinuxPath(LPCWSTR path) {
    std::string utf8;
    if (path) {
        const int length = static_cast<int>(std::wcslen(path));
        utf8.resize(static_cast<std::size_t>(length) * 4);
        utf8.resize(static_cast<std::size_t>(
            ::WideCharToMultiByte(CP_UTF8, 0, path, length, utf8.data(), static_cast<int>(utf8.size()), nullptr,
                                  nullptr)));
    }
    return LinuxPath(utf8.c_str());
}

DWORD DataAccess(DWORD access) {
    DWORD data = 0;
    if (access & kReadAccess) data |= FILE_SHARE_READ;
    if (access & kWriteAccess) data |= FILE_SHARE_WRITE;
    if (access & DELETE) data |= FILE_SHARE_DELETE;
    return data;
}

// Whether an open with this access and sharing may join the handles already
// open on the file: each side must share what the other uses. Caller holds
// FilesLock().
bool SharingAllows(dev_t device, ino_t inode, DWORD access, DWORD share) {
    const DWORD uses = DataAccess(access);
    for (const NativeHandle* open : OpenFiles()) {
        if (open->device != device || open->inode != inode) continue;
        if ((uses & ~open->share) != 0 || (DataAccess(open->access) & ~share) != 0) return false;
    }
    return true;
}

// Whether every handle open on the file at path lets it be renamed or
// deleted; true when nothing is there. Caller holds FilesLock().
bool DeleteAllowed(const std::string& path) {
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) return true;
    return SharingAllows(status.st_dev, status.st_ino, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
}

NativeHandle* AsHandle(HANDLE handle, NativeHandle::Kind kind) {
    auto* native = static_cast<NativeHandle*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || native->kind != kind) return nullptr;
    return native;
}

HANDLE OpenFile(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    int mode = O_RDONLY;
    if ((access & GENERIC_WRITE) != 0) {
        mode = (access & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY;
    } else if ((access & FILE_APPEND_DATA) != 0) {
        mode = ((access & GENERIC_READ) != 0 ? O_RDWR : O_WRONLY) | O_APPEND;
    }
    mode |= O_CLOEXEC;
    const bool mayCreate = disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    const bool truncates = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }

    std::lock_guard<std::mutex> guard(FilesLock());
    // Opened without truncating first: a refused open must leave the file whole.
    int fd = -1;
    bool existed = true;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        if (disposition != CREATE_NEW) fd = ::open(path.c_str(), mode);
        if (fd >= 0 || !mayCreate || (disposition != CREATE_NEW && errno != ENOENT)) break;
        fd = ::open(path.c_str(), mode | O_CREAT | O_EXCL, 0644);
        existed = fd < 0;
        if (fd < 0 && (errno != EEXIST || disposition == CREATE_NEW)) break;
    }
    if (fd < 0) {
        Fail(ErrorOf(errno, path));
        return INVALID_HANDLE_VALUE;
    }
    struct stat status{};
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        ::close(fd);
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!SharingAllows(status.st_dev, status.st_ino, access, share)) {
        ::close(fd);
        Fail(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    if (existed && truncates && ::ftruncate(fd, 0) != 0) {
        const int error = errno;
        ::close(fd);
        Fail(ErrorOf(error, path));
        return INVALID_HANDLE_VALUE;
    }
    auto* handle = new NativeHandle;
    handle->fd = fd;
    handle->access = access;
    handle->share = share;
    handle->device = status.st_dev;
    handle->inode = status.st_ino;
    OpenFiles().push_back(handle);
    // Windows reports an existing file this way even on success.
    t_lastError = existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                           : ERROR_SUCCESS;
    return handle;
}

BOOL Move(const std::string& from, const std::string& to, bool replace) {
    std::lock_guard<std::mutex> guard(FilesLock());
    if (!DeleteAllowed(from)) return Fail(ERROR_SHARING_VIOLATION);
    if (replace && !DeleteAllowed(to)) return Fail(ERROR_ACCESS_DENIED);
    const int result = replace ? ::rename(from.c_str(), to.c_str())
                               : ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (result != 0) return Fail(errno == EEXIST ? ERROR_ALREADY_EXISTS : ErrorOf(errno, from));
    return TRUE;
}

}  // namespace

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

BOOL CloseHandle(HANDLE handle) {
    auto* native = static_cast<NativeHandle*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    {
        std::lock_guard<std::mutex> guard(FilesLock());
        auto& files = OpenFiles();
        files.erase(std::remove(files.begin(), files.end(), native), files.end());
        ::close(native->fd);
    }
    delete native;
    return TRUE;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
    return OpenFile(LinuxPath(path), access, share, disposition);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
    return OpenFile(LinuxPath(path), access, share, disposition);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, DWORD* read, LPOVERLAPPED) {
    NativeHandle* native = AsHandle(file, NativeHandle::Kind::File);
    if (read) *read = 0;
    if (!native) return Fail(ERROR_INVALID_HANDLE);
    if ((native->access & GENERIC_READ) == 0) return Fail(ERROR_ACCESS_DENIED);
    DWORD done = 0;
    while (done < size) {
        const ssize_t got = ::read(native->fd, static_cast<char*>(buffer) + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return Fail(ErrorOf(errno, {}));
        if (got == 0) break;  // end of file: success with fewer bytes
        done += static_cast<DWORD>(got);
    }
    if (read) *read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, DWORD* written, LPOVERLAPPED) {
    NativeHandle* native = AsHandle(file, NativeHandle::Kind::File);
    if (written) *written = 0;
    if (!native) return Fail(ERROR_INVALID_HANDLE);
    if ((native->access & kWriteAccess) == 0) return Fail(ERROR_ACCESS_DENIED);
    DWORD done = 0;
    while (done < size) {
        const ssize_t put = ::write(native->fd, static_cast<const char*>(buffer) + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            if (written) *written = done;
            return Fail(ErrorOf(errno, {}));
        }
        done += static_cast<DWORD>(put);
    }
    if (written) *written = done;
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    NativeHandle* native = AsHandle(file, NativeHandle::Kind::File);
    struct stat status{};
    if (!native) return Fail(ERROR_INVALID_HANDLE);
    if (::fstat(native->fd, &status) != 0) return Fail(ErrorOf(errno, {}));
    size->QuadPart = status.st_size;
    return TRUE;
}

// Only what the log asks: the attributes (a directory never opens here, and a
// symbolic link is followed, so every open handle is a plain file) and the size.
BOOL GetFileInformationByHandle(HANDLE file, BY_HANDLE_FILE_INFORMATION* information) {
    NativeHandle* native = AsHandle(file, NativeHandle::Kind::File);
    struct stat status{};
    if (!native) return Fail(ERROR_INVALID_HANDLE);
    if (::fstat(native->fd, &status) != 0) return Fail(ErrorOf(errno, {}));
    *information = {};
    information->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    information->nFileSizeHigh = static_cast<DWORD>(static_cast<std::uint64_t>(status.st_size) >> 32);
    information->nFileSizeLow = static_cast<DWORD>(status.st_size);
    information->nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
    information->nFileIndexHigh = static_cast<DWORD>(static_cast<std::uint64_t>(status.st_ino) >> 32);
    information->nFileIndexLow = static_cast<DWORD>(status.st_ino);
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* position, DWORD method) {
    NativeHandle* native = AsHandle(file, NativeHandle::Kind::File);
    if (!native) return Fail(ERROR_INVALID_HANDLE);
    const int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    const off_t at = ::lseek(native->fd, distance.QuadPart, whence);
    if (at < 0) return Fail(ERROR_INVALID_PARAMETER);
    if (position) position->QuadPart = at;
    return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
    NativeHandle* native = AsHandle(file, NativeHandle::Kind::File);
    if (!native) return Fail(ERROR_INVALID_HANDLE);
    if ((native->access & GENERIC_WRITE) == 0) return Fail(ERROR_ACCESS_DENIED);
    const off_t at = ::lseek(native->fd, 0, SEEK_CUR);
    return at >= 0 && ::ftruncate(native->fd, at) == 0 ? TRUE : Fail(ErrorOf(errno, {}));
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    return Move(LinuxPath(from), LinuxPath(to), (flags & MOVEFILE_REPLACE_EXISTING) != 0);
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) { return Move(LinuxPath(from), LinuxPath(to), false); }

BOOL DeleteFileA(LPCSTR path) {
    const std::string linux = LinuxPath(path);
    std::lock_guard<std::mutex> guard(FilesLock());
    if (!DeleteAllowed(linux)) return Fail(ERROR_SHARING_VIOLATION);
    return ::unlink(linux.c_str()) == 0 ? TRUE : Fail(ErrorOf(errno, linux));
}

// A mapping larger than its file extends the file, as a read-write section
// does on Windows; the mapping holds the file open on its own.
HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD sizeHigh, DWORD sizeLow,
                          LPCWSTR) {
    NativeHandle* native = AsHandle(file, NativeHandle::Kind::File);
    if (!native) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    struct stat status{};
    if (::fstat(native->fd, &status) != 0) {
        Fail(ErrorOf(errno, {}));
        return nullptr;
    }
    std::uint64_t size = (static_cast<std::uint64_t>(sizeHigh) << 32) | sizeLow;
    if (size == 0) size = static_cast<std::uint64_t>(status.st_size);
    if (size == 0) {
        Fail(ERROR_FILE_INVALID);
        return nullptr;
    }
    if (size > static_cast<std::uint64_t>(status.st_size)) {
        if (protect != PAGE_READWRITE || (native->access & GENERIC_WRITE) == 0) {
            Fail(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        if (::ftruncate(native->fd, static_cast<off_t>(size)) != 0) {
            Fail(ErrorOf(errno, {}));
            return nullptr;
        }
    }
    const int fd = ::fcntl(native->fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        Fail(ErrorOf(errno, {}));
        return nullptr;
    }
    auto* mapping = new NativeHandle;
    mapping->kind = NativeHandle::Kind::Mapping;
    mapping->fd = fd;
    mapping->access = protect == PAGE_READWRITE ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    mapping->mappingSize = size;
    return mapping;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
    NativeHandle* native = AsHandle(mapping, NativeHandle::Kind::Mapping);
    if (!native) {
        Fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const std::uint64_t offset = (static_cast<std::uint64_t>(offsetHigh) << 32) | offsetLow;
    if (offset >= native->mappingSize || bytes > native->mappingSize - offset) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const std::size_t length = bytes != 0 ? bytes : static_cast<std::size_t>(native->mappingSize - offset);
    const bool writes = (access & FILE_MAP_WRITE) != 0;
    if (writes && (native->access & GENERIC_WRITE) == 0) {
        Fail(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    void* view = ::mmap(nullptr, length, writes ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, native->fd,
                        static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        Fail(ErrorOf(errno, {}));
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(FilesLock());
    Views()[view] = length;
    return view;
}

BOOL UnmapViewOfFile(LPCVOID view) {
    std::size_t length = 0;
    {
        std::lock_guard<std::mutex> guard(FilesLock());
        auto found = Views().find(view);
        if (found == Views().end()) return Fail(ERROR_INVALID_PARAMETER);
        length = found->second;
        Views().erase(found);
    }
    return ::munmap(const_cast<void*>(view), length) == 0 ? TRUE : Fail(ErrorOf(errno, {}));
}

