// Files by handle: ZwCreateFile/ZwOpenFile, ZwReadFile, ZwQueryInformationFile.
//
// A name on a drive letter (\??\C:\x, \DosDevices\C:\x) is a file of the sandbox: each letter is a
// host folder, names compare case-insensitively as on NTFS, and the file is opened read-only (the
// drivers only read files). Any other name is a device, opened through the name space with the
// create's extended attributes delivered to its driver, as \Device\Tcp's clients need.
#include "io_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>

#ifndef STATUS_FILE_IS_A_DIRECTORY
#define STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAL)
#endif
#ifndef STATUS_NOT_A_DIRECTORY
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#endif

namespace hk::internal {
namespace {

// Seconds from 1601-01-01 to 1970-01-01, in 100 ns units.
constexpr LONGLONG kUnixEpochIn1601 = 116444736000000000LL;

// Marks a file object as a sandbox file (FsContext2); FsContext is its SandboxFile.
char g_sandboxMarker;

struct SandboxFile {
    int fd = -1;
    std::string hostPath;
    ACCESS_MASK access = 0;
    ULONG share = 0;
};

// Share access of the open sandbox files, by host path.
std::mutex g_shareLock;
std::multimap<std::string, SandboxFile *> g_openFiles;

bool WantsRead(ACCESS_MASK a) { return (a & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0; }
bool WantsWrite(ACCESS_MASK a) { return (a & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0; }

void DeleteSandboxFile(void *body)
{
    auto *file = (PFILE_OBJECT)body;
    auto *sf = (SandboxFile *)file->FsContext;
    if (!sf)
        return;
    {
        std::lock_guard<std::mutex> lock(g_shareLock);
        auto range = g_openFiles.equal_range(sf->hostPath);
        for (auto it = range.first; it != range.second; ++it)
            if (it->second == sf) {
                g_openFiles.erase(it);
                break;
            }
    }
    if (sf->fd >= 0)
        close(sf->fd);
    delete sf;
    file->FsContext = nullptr;
}

// "\??\C:\dir\name" -> drive letter and the components after the root; false when not a drive path.
bool SplitDrivePath(const std::u16string &ntPath, char *letter, std::vector<std::u16string> *parts)
{
    std::u16string path = ObNormalizePath(ntPath);
    const std::u16string prefix = u"\\??\\";
    if (path.size() < prefix.size() + 2 || path.compare(0, prefix.size(), prefix) != 0)
        return false;
    char16_t l = path[prefix.size()];
    if (path[prefix.size() + 1] != u':' || !((l >= u'A' && l <= u'Z') || (l >= u'a' && l <= u'z')))
        return false;
    *letter = (char)(l & ~0x20);
    std::u16string rest = path.substr(prefix.size() + 2);
    // "\??\D:name" names a link "D:name", not a file in D's root.
    if (!rest.empty() && rest[0] != u'\\')
        return false;
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t next = rest.find(u'\\', pos);
        if (next == std::u16string::npos)
            next = rest.size();
        if (next > pos)
            parts->push_back(rest.substr(pos, next - pos));
        pos = next + 1;
    }
    return true;
}

bool EqualNoCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i]))
            return false;
    return true;
}

// Resolves the components below a drive folder on the host, case-insensitively when asked.
NTSTATUS ResolveHostPath(char letter, const std::vector<std::u16string> &parts, bool caseInsensitive, std::string *out)
{
    std::string current = hk::DriveFolder(letter);
    struct stat st{};
    if (stat(current.c_str(), &st) != 0)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    for (size_t i = 0; i < parts.size(); i++) {
        std::string name = Utf8(parts[i]);
        bool last = i + 1 == parts.size();
        // Nothing leaves its drive folder.
        if (name == "." || name == ".." || name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
            return STATUS_OBJECT_NAME_INVALID;
        std::string candidate = current + "/" + name;
        if (stat(candidate.c_str(), &st) != 0 && caseInsensitive) {
            if (DIR *dir = opendir(current.c_str())) {
                while (dirent *entry = readdir(dir))
                    if (EqualNoCase(entry->d_name, name)) {
                        candidate = current + "/" + entry->d_name;
                        break;
                    }
                closedir(dir);
            }
        }
        if (stat(candidate.c_str(), &st) != 0)
            return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
        if (!last && !S_ISDIR(st.st_mode))
            return STATUS_OBJECT_PATH_NOT_FOUND;
        current = candidate;
    }
    *out = current;
    return STATUS_SUCCESS;
}

NTSTATUS OpenSandboxFile(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, char letter,
                         const std::vector<std::u16string> &parts, ULONG share, ULONG disposition, ULONG options,
                         PIO_STATUS_BLOCK iosb)
{
    // The drivers read files; creating or writing one in the sandbox is the testbed's business.
    if (WantsWrite(access) || (disposition != FILE_OPEN && disposition != FILE_OPEN_IF))
        return STATUS_ACCESS_DENIED;
    std::string hostPath;
    NTSTATUS status = ResolveHostPath(letter, parts, (attributes->Attributes & OBJ_CASE_INSENSITIVE) != 0, &hostPath);
    if (!NT_SUCCESS(status))
        return status;
    struct stat st{};
    if (stat(hostPath.c_str(), &st) != 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    bool isDir = S_ISDIR(st.st_mode);
    if (isDir && (options & FILE_NON_DIRECTORY_FILE))
        return STATUS_FILE_IS_A_DIRECTORY;
    if (!isDir && (options & FILE_DIRECTORY_FILE))
        return STATUS_NOT_A_DIRECTORY;

    auto sf = std::make_unique<SandboxFile>();
    sf->hostPath = hostPath;
    sf->access = access;
    sf->share = share;
    {
        std::lock_guard<std::mutex> lock(g_shareLock);
        auto range = g_openFiles.equal_range(hostPath);
        for (auto it = range.first; it != range.second; ++it) {
            const SandboxFile *other = it->second;
            if ((WantsRead(access) && !(other->share & FILE_SHARE_READ)) ||
                (WantsWrite(access) && !(other->share & FILE_SHARE_WRITE)) ||
                (WantsRead(other->access) && !(share & FILE_SHARE_READ)) ||
                (WantsWrite(other->access) && !(share & FILE_SHARE_WRITE)))
                return STATUS_SHARING_VIOLATION;
        }
        sf->fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | (isDir ? O_DIRECTORY : 0));
        if (sf->fd < 0)
            return errno == EACCES ? STATUS_ACCESS_DENIED : STATUS_OBJECT_NAME_NOT_FOUND;
        g_openFiles.emplace(hostPath, sf.get());
    }

    auto *file = (PFILE_OBJECT)ObCreateObject(ObType::File, sizeof(FILE_OBJECT), DeleteSandboxFile);
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->FsContext = sf.release();
    file->FsContext2 = &g_sandboxMarker;
    file->ReadAccess = WantsRead(access);
    file->SharedRead = (share & FILE_SHARE_READ) != 0;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        file->Flags |= FO_SYNCHRONOUS_IO;
    KeInitializeEvent(&file->Event, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    PEPROCESS process = (attributes->Attributes & OBJ_KERNEL_HANDLE) ? SystemProcess() : CurrentThreadState().process;
    *handle = ObCreateHandle(process, file, access);
    iosb->Status = STATUS_SUCCESS;
    iosb->Information = 1; // FILE_OPENED
    return STATUS_SUCCESS;
}

// The sandbox file behind a handle, referenced; the caller dereferences `*file`.
NTSTATUS ReferenceSandboxFile(HANDLE handle, PFILE_OBJECT *file, SandboxFile **sf)
{
    void *body = nullptr;
    NTSTATUS status = ObReferenceHandle(CurrentThreadState().process, handle, ObType::File, &body);
    if (!NT_SUCCESS(status))
        return status;
    auto *f = (PFILE_OBJECT)body;
    if (f->FsContext2 != &g_sandboxMarker || !f->FsContext) {
        ObfDereferenceObject(f);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *file = f;
    *sf = (SandboxFile *)f->FsContext;
    return STATUS_SUCCESS;
}

LONGLONG FileTime(const timespec &t)
{
    return kUnixEpochIn1601 + (LONGLONG)t.tv_sec * 10000000LL + t.tv_nsec / 100;
}

} // namespace
} // namespace hk::internal

using namespace hk::internal;

extern "C" NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                       PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                                       ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                       ULONG EaLength)
{
    if (!FileHandle || !ObjectAttributes || !ObjectAttributes->ObjectName || !IoStatusBlock)
        return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes->RootDirectory)
        return STATUS_NOT_SUPPORTED; // relative opens: nothing in the drivers uses them
    *FileHandle = nullptr;
    const UNICODE_STRING *name = ObjectAttributes->ObjectName;
    std::u16string path((const char16_t *)name->Buffer, name->Length / sizeof(WCHAR));
    if (path.empty() || path[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;

    char letter = 0;
    std::vector<std::u16string> parts;
    if (SplitDrivePath(path, &letter, &parts))
        return OpenSandboxFile(FileHandle, DesiredAccess, ObjectAttributes, letter, parts, ShareAccess, CreateDisposition,
                               CreateOptions, IoStatusBlock);

    PFILE_OBJECT file = nullptr;
    NTSTATUS status = IoOpenDeviceWithEa(path, DesiredAccess, ShareAccess, KernelMode, EaBuffer, EaLength,
                                         CreateDisposition, CreateOptions, &file);
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = 0;
    if (!NT_SUCCESS(status))
        return status;
    if (CreateOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        file->Flags |= FO_SYNCHRONOUS_IO;
    PEPROCESS process = (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) ? SystemProcess() : CurrentThreadState().process;
    *FileHandle = ObCreateHandle(process, file, DesiredAccess, [](void *body) { IoCleanupFile((PFILE_OBJECT)body); });
    IoStatusBlock->Information = 1; // FILE_OPENED
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions)
{
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                        OpenOptions, nullptr, 0);
}

extern "C" NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                     PLARGE_INTEGER ByteOffset, PULONG Key)
{
    if (!IoStatusBlock || (!Buffer && Length))
        return STATUS_INVALID_PARAMETER;
    PFILE_OBJECT file = nullptr;
    SandboxFile *sf = nullptr;
    NTSTATUS status = ReferenceSandboxFile(FileHandle, &file, &sf);
    if (!NT_SUCCESS(status))
        return status;
    if (!file->ReadAccess) {
        ObfDereferenceObject(file);
        return STATUS_ACCESS_DENIED;
    }
    LONGLONG offset = file->CurrentByteOffset.QuadPart;
    if (ByteOffset && !(ByteOffset->HighPart == -1 && ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION))
        offset = ByteOffset->QuadPart;
    if (offset < 0) {
        ObfDereferenceObject(file);
        return STATUS_INVALID_PARAMETER;
    }
    ssize_t got = Length ? pread(sf->fd, Buffer, Length, (off_t)offset) : 0;
    if (got < 0) {
        status = errno == EISDIR ? STATUS_INVALID_DEVICE_REQUEST : STATUS_UNSUCCESSFUL;
        ObfDereferenceObject(file);
        return status;
    }
    if (got == 0 && Length) {
        status = STATUS_END_OF_FILE;
    } else {
        status = STATUS_SUCCESS;
        file->CurrentByteOffset.QuadPart = offset + got;
    }
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = (ULONG_PTR)got;
    ObfDereferenceObject(file);
    return status;
}

extern "C" NTSTATUS NTAPI ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass)
{
    if (!IoStatusBlock || !FileInformation)
        return STATUS_INVALID_PARAMETER;
    PFILE_OBJECT file = nullptr;
    SandboxFile *sf = nullptr;
    NTSTATUS status = ReferenceSandboxFile(FileHandle, &file, &sf);
    if (!NT_SUCCESS(status))
        return status;
    struct stat st{};
    if (fstat(sf->fd, &st) != 0) {
        ObfDereferenceObject(file);
        return STATUS_UNSUCCESSFUL;
    }
    ULONG_PTR written = 0;
    switch (FileInformationClass) {
    case FileBasicInformation: {
        if (Length < sizeof(FILE_BASIC_INFORMATION)) {
            status = STATUS_INFO_LENGTH_MISMATCH;
            break;
        }
        FILE_BASIC_INFORMATION info{};
        info.CreationTime.QuadPart = FileTime(st.st_mtim);
        info.LastAccessTime.QuadPart = FileTime(st.st_atim);
        info.LastWriteTime.QuadPart = FileTime(st.st_mtim);
        // NTFS's change time moves with every write and every attribute change, as ctime does.
        info.ChangeTime.QuadPart = FileTime(st.st_ctim);
        info.FileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        memcpy(FileInformation, &info, sizeof info);
        written = sizeof info;
        break;
    }
    case FileStandardInformation: {
        if (Length < sizeof(FILE_STANDARD_INFORMATION)) {
            status = STATUS_INFO_LENGTH_MISMATCH;
            break;
        }
        FILE_STANDARD_INFORMATION info{};
        info.AllocationSize.QuadPart = (LONGLONG)st.st_blocks * 512;
        info.EndOfFile.QuadPart = S_ISDIR(st.st_mode) ? 0 : (LONGLONG)st.st_size;
        info.NumberOfLinks = (ULONG)st.st_nlink;
        info.Directory = S_ISDIR(st.st_mode) ? TRUE : FALSE;
        memcpy(FileInformation, &info, sizeof info);
        written = sizeof info;
        break;
    }
    default:
        status = STATUS_INVALID_INFO_CLASS;
        break;
    }
    IoStatusBlock->Status = status;
    IoStatusBlock->Information = written;
    ObfDereferenceObject(file);
    return status;
}
