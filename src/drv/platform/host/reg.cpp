// The registry: one in-memory hive under \Registry, the Zw key routines, the Rtl registry helpers
// and the host's own Reg* interface.
//
// Names compare case-insensitively and keep the case they were created with. Subkeys enumerate in
// the order of their upper-cased names and values in the order they were created, as Windows
// returns them. Keys are kernel objects: every open handle refers to a key object that holds the
// key it opened, so a key deleted under an open handle answers STATUS_KEY_DELETED instead of
// vanishing. One lock guards the whole hive; it is never held while a driver's query routine runs
// or while pool is allocated.
//
// The hive outlives Boot/Shutdown (a restart keeps the machine's registry) except for volatile
// keys; RegReset makes a new machine, RegSave/RegLoad keep a hive in a readable text file.
#include "hk_internal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

using namespace hk;
using namespace hk::internal;

// 'Strg': strings handed to a driver that it frees with RtlFreeUnicodeString.
constexpr ULONG kStringTag = MakeTag("Strg");
constexpr size_t kMaxValueNameChars = 16383;

std::u16string Upcase(const std::u16string &s)
{
    std::u16string u = s;
    for (auto &c : u)
        c = (char16_t)RtlUpcaseUnicodeChar((WCHAR)c);
    return u;
}

bool EqualNoCase(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (RtlUpcaseUnicodeChar((WCHAR)a[i]) != RtlUpcaseUnicodeChar((WCHAR)b[i]))
            return false;
    return true;
}

LONGLONG SystemTimeNow()
{
    using namespace std::chrono;
    auto since1970 = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    return since1970 * 10 + 116444736000000000LL;
}

struct Value {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

struct KeyNode {
    std::u16string name;
    std::u16string className;
    KeyNode *parent = nullptr;
    std::map<std::u16string, std::shared_ptr<KeyNode>> subkeys; // by upper-cased name
    std::vector<Value> values;                                   // in creation order
    LONGLONG lastWrite = 0;
    bool isVolatile = false;
    bool deleted = false;
    bool hiveRoot = false; // \Registry, \Registry\Machine, \Registry\User

    std::shared_ptr<KeyNode> Find(const std::u16string &child) const
    {
        auto it = subkeys.find(Upcase(child));
        return it == subkeys.end() ? nullptr : it->second;
    }
    Value *FindValue(const std::u16string &valueName)
    {
        for (Value &v : values)
            if (EqualNoCase(v.name, valueName))
                return &v;
        return nullptr;
    }
};

// The object behind a key handle.
struct KeyObject {
    std::shared_ptr<KeyNode> node;
    ACCESS_MASK access = 0;
};

std::mutex g_lock;
std::shared_ptr<KeyNode> g_root; // \Registry

std::shared_ptr<KeyNode> AddChild(KeyNode *parent, const std::u16string &name, bool isVolatile)
{
    auto child = std::make_shared<KeyNode>();
    child->name = name;
    child->parent = parent;
    child->isVolatile = isVolatile;
    child->lastWrite = SystemTimeNow();
    parent->subkeys[Upcase(name)] = child;
    parent->lastWrite = child->lastWrite;
    return child;
}

void MarkDeleted(KeyNode &node)
{
    auto children = std::move(node.subkeys);
    node.subkeys.clear();
    for (auto &[upper, child] : children) {
        child->parent = nullptr;
        MarkDeleted(*child);
    }
    node.deleted = true;
}

// Detaches a key and everything below it; handles that still refer to any of them see a deleted key.
void DeleteSubtree(std::shared_ptr<KeyNode> node)
{
    if (KeyNode *parent = node->parent) {
        parent->subkeys.erase(Upcase(node->name));
        parent->lastWrite = SystemTimeNow();
        node->parent = nullptr;
    }
    MarkDeleted(*node);
}

// What a new machine has: the hive roots and the keys every Windows system carries and the
// relative forms of the Rtl routines start from.
std::shared_ptr<KeyNode> NewHive()
{
    auto root = std::make_shared<KeyNode>();
    root->name = u"Registry";
    root->hiveRoot = true;
    auto machine = AddChild(root.get(), u"Machine", false);
    machine->hiveRoot = true;
    auto user = AddChild(root.get(), u"User", false);
    user->hiveRoot = true;
    AddChild(user.get(), u".Default", false);
    auto system = AddChild(machine.get(), u"System", false);
    auto ccs = AddChild(system.get(), u"CurrentControlSet", false);
    AddChild(ccs.get(), u"Control", false);
    AddChild(ccs.get(), u"Services", false);
    AddChild(ccs.get(), u"Enum", false);
    auto hardware = AddChild(machine.get(), u"Hardware", false);
    AddChild(hardware.get(), u"DeviceMap", false);
    auto software = AddChild(machine.get(), u"Software", false);
    auto microsoft = AddChild(software.get(), u"Microsoft", false);
    auto nt = AddChild(microsoft.get(), u"Windows NT", false);
    AddChild(nt.get(), u"CurrentVersion", false);
    return root;
}

KeyNode &Root()
{
    if (!g_root)
        g_root = NewHive();
    return *g_root;
}

std::vector<std::u16string> SplitComponents(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t slash = path.find(u'\\', i);
        if (slash == std::u16string::npos)
            slash = path.size();
        if (slash > i)
            parts.push_back(path.substr(i, slash - i));
        i = slash + 1;
    }
    return parts;
}

// An absolute kernel path (\Registry\...) as the components below \Registry.
NTSTATUS ParseAbsolute(const std::u16string &path, std::vector<std::u16string> *components)
{
    if (path.empty() || path[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    std::vector<std::u16string> parts = SplitComponents(path);
    if (parts.empty() || !EqualNoCase(parts[0], u"Registry"))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    components->assign(parts.begin() + 1, parts.end());
    return STATUS_SUCCESS;
}

std::shared_ptr<KeyNode> Walk(const std::shared_ptr<KeyNode> &start, const std::vector<std::u16string> &components,
                              size_t count)
{
    std::shared_ptr<KeyNode> node = start;
    for (size_t i = 0; i < count && node; i++)
        node = node->Find(components[i]);
    return node;
}

// Opens (or creates, with `create`) the key at base\components; only the last component is ever
// created, as ZwCreateKey does.
NTSTATUS OpenOrCreateLocked(const std::shared_ptr<KeyNode> &base, const std::vector<std::u16string> &components,
                            bool create, bool isVolatile, const std::u16string *className,
                            std::shared_ptr<KeyNode> *result, ULONG *disposition)
{
    if (base->deleted)
        return STATUS_KEY_DELETED;
    if (components.empty()) {
        *result = base;
        if (disposition)
            *disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    std::shared_ptr<KeyNode> parent = Walk(base, components, components.size() - 1);
    if (!parent)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (std::shared_ptr<KeyNode> existing = parent->Find(components.back())) {
        *result = existing;
        if (disposition)
            *disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    if (!create)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (parent == g_root)
        return STATUS_ACCESS_DENIED; // hives are not created by a key operation
    if (parent->isVolatile && !isVolatile)
        return STATUS_CHILD_MUST_BE_VOLATILE;
    *result = AddChild(parent.get(), components.back(), isVolatile);
    if (className)
        (*result)->className = *className;
    if (disposition)
        *disposition = REG_CREATED_NEW_KEY;
    return STATUS_SUCCESS;
}

std::u16string FromCounted(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer)
        return {};
    return std::u16string((const char16_t *)s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string FromZ(PCWSTR s)
{
    if (!s)
        return {};
    size_t n = 0;
    while (s[n])
        n++;
    return std::u16string((const char16_t *)s, n);
}

// ---------------------------------------------------------------------------------------------
// Key handles
// ---------------------------------------------------------------------------------------------
void DeleteKeyObject(void *body)
{
    ((KeyObject *)body)->~KeyObject();
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & (GENERIC_READ | GENERIC_EXECUTE))
        granted |= KEY_READ;
    if (desired & GENERIC_WRITE)
        granted |= KEY_WRITE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= KEY_ALL_ACCESS;
    return granted;
}

NTSTATUS CreateKeyHandle(const std::shared_ptr<KeyNode> &node, ACCESS_MASK access, ULONG attributes, PHANDLE handle)
{
    void *body = ObCreateObject(ObType::Key, sizeof(KeyObject), DeleteKeyObject);
    if (!body)
        return STATUS_INSUFFICIENT_RESOURCES;
    new (body) KeyObject{node, MapKeyAccess(access)};
    // A kernel handle lives in the system process; any other in the process the caller runs in.
    PEPROCESS process = (attributes & OBJ_KERNEL_HANDLE) ? SystemProcess() : CurrentThreadState().process;
    *handle = ObCreateHandle(process, body, ((KeyObject *)body)->access);
    return STATUS_SUCCESS;
}

// A referenced key object for the length of one call.
class KeyRef {
public:
    KeyRef() = default;
    KeyRef(const KeyRef &) = delete;
    KeyRef &operator=(const KeyRef &) = delete;
    ~KeyRef()
    {
        if (object_)
            ObfDereferenceObject(object_);
    }
    NTSTATUS Open(HANDLE handle, ACCESS_MASK needed)
    {
        void *body = nullptr;
        NTSTATUS status = ObReferenceHandle(CurrentThreadState().process, handle, ObType::Key, &body);
        if (!NT_SUCCESS(status))
            return status;
        object_ = (KeyObject *)body;
        if ((object_->access & needed) != needed)
            return STATUS_ACCESS_DENIED;
        return STATUS_SUCCESS;
    }
    const std::shared_ptr<KeyNode> &Node() const { return object_->node; }

private:
    KeyObject *object_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Information classes
// ---------------------------------------------------------------------------------------------
// The caller's buffer need not be aligned, so everything goes in through memcpy.
template <typename T>
void Put(void *buffer, size_t offset, T value)
{
    memcpy((uint8_t *)buffer + offset, &value, sizeof value);
}

// Copies as much of a variable part as fits after `offset`; false when not all of it did.
bool PutPart(void *buffer, ULONG length, size_t offset, const void *data, size_t size)
{
    if (size == 0)
        return true;
    if (offset >= length)
        return false;
    size_t room = length - offset;
    memcpy((uint8_t *)buffer + offset, data, std::min(room, size));
    return room >= size;
}

// The fixed part must fit or nothing is written (STATUS_BUFFER_TOO_SMALL); otherwise it is
// written whole and the variable parts as far as they fit (STATUS_BUFFER_OVERFLOW when cut).
// ResultLength is always the size of the whole information.
NTSTATUS FillValueInformation(const Value &v, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                              PULONG resultLength)
{
    ULONG nameBytes = (ULONG)(v.name.size() * sizeof(char16_t));
    ULONG dataBytes = (ULONG)v.data.size();
    switch (infoClass) {
    case KeyValueBasicInformation: {
        constexpr ULONG fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        *resultLength = fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put<ULONG>(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
        Put<ULONG>(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), v.type);
        Put<ULONG>(buffer, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        return PutPart(buffer, length, fixed, v.name.data(), nameBytes) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case KeyValuePartialInformation: {
        constexpr ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        *resultLength = fixed + dataBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put<ULONG>(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        Put<ULONG>(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), v.type);
        Put<ULONG>(buffer, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        return PutPart(buffer, length, fixed, v.data.data(), dataBytes) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case KeyValueFullInformation: {
        constexpr ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        // The data starts at the next pointer-aligned offset after the name.
        ULONG dataOffset = (fixed + nameBytes + 7) & ~7u;
        *resultLength = dataBytes ? dataOffset + dataBytes : fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        Put<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, Type), v.type);
        Put<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        Put<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        Put<ULONG>(buffer, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        if (!PutPart(buffer, length, fixed, v.name.data(), nameBytes))
            return STATUS_BUFFER_OVERFLOW;
        return PutPart(buffer, length, dataOffset, v.data.data(), dataBytes) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS FillKeyInformation(const KeyNode &key, KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                            PULONG resultLength)
{
    ULONG nameBytes = (ULONG)(key.name.size() * sizeof(char16_t));
    ULONG classBytes = (ULONG)(key.className.size() * sizeof(char16_t));
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = key.lastWrite;
    switch (infoClass) {
    case KeyBasicInformation: {
        constexpr ULONG fixed = offsetof(KEY_BASIC_INFORMATION, Name);
        *resultLength = fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put(buffer, offsetof(KEY_BASIC_INFORMATION, LastWriteTime), lastWrite);
        Put<ULONG>(buffer, offsetof(KEY_BASIC_INFORMATION, TitleIndex), 0);
        Put<ULONG>(buffer, offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
        return PutPart(buffer, length, fixed, key.name.data(), nameBytes) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case KeyNodeInformation: {
        constexpr ULONG fixed = offsetof(KEY_NODE_INFORMATION, Name);
        ULONG classOffset = classBytes ? fixed + nameBytes : 0xFFFFFFFF;
        *resultLength = fixed + nameBytes + classBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put(buffer, offsetof(KEY_NODE_INFORMATION, LastWriteTime), lastWrite);
        Put<ULONG>(buffer, offsetof(KEY_NODE_INFORMATION, TitleIndex), 0);
        Put<ULONG>(buffer, offsetof(KEY_NODE_INFORMATION, ClassOffset), classOffset);
        Put<ULONG>(buffer, offsetof(KEY_NODE_INFORMATION, ClassLength), classBytes);
        Put<ULONG>(buffer, offsetof(KEY_NODE_INFORMATION, NameLength), nameBytes);
        if (!PutPart(buffer, length, fixed, key.name.data(), nameBytes))
            return STATUS_BUFFER_OVERFLOW;
        return PutPart(buffer, length, fixed + nameBytes, key.className.data(), classBytes) ? STATUS_SUCCESS
                                                                                           : STATUS_BUFFER_OVERFLOW;
    }
    case KeyFullInformation: {
        constexpr ULONG fixed = offsetof(KEY_FULL_INFORMATION, Class);
        ULONG maxName = 0, maxClass = 0, maxValueName = 0, maxValueData = 0;
        for (auto &[upper, child] : key.subkeys) {
            maxName = std::max<ULONG>(maxName, (ULONG)(child->name.size() * sizeof(char16_t)));
            maxClass = std::max<ULONG>(maxClass, (ULONG)(child->className.size() * sizeof(char16_t)));
        }
        for (const Value &v : key.values) {
            maxValueName = std::max<ULONG>(maxValueName, (ULONG)(v.name.size() * sizeof(char16_t)));
            maxValueData = std::max<ULONG>(maxValueData, (ULONG)v.data.size());
        }
        *resultLength = fixed + classBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        Put(buffer, offsetof(KEY_FULL_INFORMATION, LastWriteTime), lastWrite);
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, TitleIndex), 0);
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, ClassOffset), classBytes ? fixed : 0xFFFFFFFF);
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, ClassLength), classBytes);
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, SubKeys), (ULONG)key.subkeys.size());
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxName);
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, MaxClassLen), maxClass);
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, Values), (ULONG)key.values.size());
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueName);
        Put<ULONG>(buffer, offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxValueData);
        return PutPart(buffer, length, fixed, key.className.data(), classBytes) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// ---------------------------------------------------------------------------------------------
// Rtl helpers
// ---------------------------------------------------------------------------------------------
const char16_t *RelativeRoot(ULONG relativeTo)
{
    switch (relativeTo) {
    case RTL_REGISTRY_SERVICES: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER: return u"\\Registry\\User\\.Default";
    default: return nullptr;
    }
}

// The key an Rtl registry routine works on: a handle's key (RTL_REGISTRY_HANDLE), or a path that
// is absolute or relative to one of the well-known roots. RTL_REGISTRY_OPTIONAL is accepted and
// changes nothing, as on Windows. With `create`, the last component is created if missing.
NTSTATUS ResolveRtlKey(ULONG relativeTo, PCWSTR path, bool create, std::shared_ptr<KeyNode> *node)
{
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        KeyRef key;
        NTSTATUS status = key.Open((HANDLE)path, 0);
        if (!NT_SUCCESS(status))
            return status;
        *node = key.Node();
        std::lock_guard<std::mutex> lock(g_lock);
        return (*node)->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
    }
    relativeTo &= ~RTL_REGISTRY_OPTIONAL;
    std::u16string full;
    if (relativeTo == RTL_REGISTRY_ABSOLUTE) {
        if (!path)
            return STATUS_INVALID_PARAMETER;
        full = FromZ(path);
    } else {
        const char16_t *root = RelativeRoot(relativeTo);
        if (!root)
            return STATUS_INVALID_PARAMETER;
        full = root;
        std::u16string rest = FromZ(path);
        if (!rest.empty() && rest[0] == u'\\')
            rest.erase(0, 1);
        if (!rest.empty())
            full += u"\\" + rest;
    }
    std::vector<std::u16string> components;
    NTSTATUS status = ParseAbsolute(full, &components);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    Root();
    return OpenOrCreateLocked(g_root, components, create, false, nullptr, node, nullptr);
}

struct QueryContext {
    PVOID context;
    PVOID environment;
    const void *caller;
};

// Strings a query routine or a DIRECT target receive are followed by two extra zero characters,
// so that a value stored without its terminator cannot be read past its end.
std::vector<uint8_t> Padded(const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> out = data;
    out.resize(out.size() + 2 * sizeof(char16_t), 0);
    return out;
}

std::u16string EnvironmentValue(PVOID environment, const std::u16string &name)
{
    if (!environment)
        return {};
    auto *p = (const char16_t *)environment;
    while (*p) {
        std::u16string entry = p;
        p += entry.size() + 1;
        size_t eq = entry.find(u'=', 1);
        if (eq != std::u16string::npos && EqualNoCase(entry.substr(0, eq), name))
            return entry.substr(eq + 1) + u'\0'; // trailing NUL marks "found", even for an empty value
    }
    return {};
}

// %NAME% from the environment block; unknown names and a lone % stay as written.
std::u16string ExpandEnvironment(const std::u16string &text, PVOID environment)
{
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == u'%') {
            size_t close = text.find(u'%', i + 1);
            if (close != std::u16string::npos && close > i + 1) {
                std::u16string value = EnvironmentValue(environment, text.substr(i + 1, close - i - 1));
                if (!value.empty()) {
                    out += value.substr(0, value.size() - 1);
                    i = close + 1;
                    continue;
                }
            }
        }
        out.push_back(text[i++]);
    }
    return out;
}

NTSTATUS DirectWrite(ULONG type, const uint8_t *data, ULONG length, PVOID target, const void *caller)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        auto *string = (PUNICODE_STRING)target;
        size_t chars = length / sizeof(char16_t);
        const auto *text = (const char16_t *)data;
        if (type == REG_MULTI_SZ) {
            if (chars && !text[chars - 1])
                chars--; // the terminating empty string
        } else {
            size_t n = 0;
            while (n < chars && text[n])
                n++;
            chars = n;
        }
        size_t needed = (chars + 1) * sizeof(char16_t);
        if (needed > 0xFFFE)
            return STATUS_BUFFER_TOO_SMALL;
        if (!string->Buffer) {
            // Freed by the caller with RtlFreeUnicodeString.
            string->Buffer = (PWCH)PoolAllocate(PagedPool, needed, kStringTag, AllocKind::Pool, caller);
            if (!string->Buffer)
                return STATUS_NO_MEMORY;
            string->MaximumLength = (USHORT)needed;
        } else if (needed > string->MaximumLength) {
            // Windows leaves such a string as it was and carries on; a value silently not read is
            // worse than a failed query, so the caller hears of it.
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(string->Buffer, data, chars * sizeof(char16_t));
        string->Buffer[chars] = 0;
        string->Length = (USHORT)(chars * sizeof(char16_t));
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG)) {
        if (length)
            memmove(target, data, length);
        return STATUS_SUCCESS;
    }
    // Larger data: the target starts with a LONG. Negative, its magnitude is the buffer size and the
    // data alone is stored; otherwise it is the size of a buffer that gets length, type and data.
    LONG first;
    memcpy(&first, target, sizeof first);
    if (first < 0) {
        if ((uint64_t)(-(int64_t)first) < length)
            return STATUS_BUFFER_TOO_SMALL;
        memmove(target, data, length);
        return STATUS_SUCCESS;
    }
    if ((uint64_t)first < 2 * sizeof(ULONG) + (uint64_t)length)
        return STATUS_BUFFER_TOO_SMALL;
    Put<ULONG>(target, 0, length);
    Put<ULONG>(target, sizeof(ULONG), type);
    memmove((uint8_t *)target + 2 * sizeof(ULONG), data, length);
    return STATUS_SUCCESS;
}

// Hands one value (or a default standing in for it) to the entry's routine or DIRECT target,
// splitting REG_MULTI_SZ and expanding REG_EXPAND_SZ unless NOEXPAND says otherwise.
NTSTATUS Deliver(PRTL_QUERY_REGISTRY_TABLE entry, std::u16string name, ULONG type, std::vector<uint8_t> data,
                 ULONG length, const QueryContext &q)
{
    bool direct = entry->Flags & RTL_QUERY_REGISTRY_DIRECT;
    name.push_back(0);
    if (!(entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND)) {
        if (type == REG_MULTI_SZ && direct) {
            // Windows stores each string into the next UNICODE_STRING after EntryContext, as many
            // as the value holds: the registry would decide how far past the caller's variable
            // it writes. A multi-string goes into one UNICODE_STRING with NOEXPAND.
            return STATUS_INVALID_PARAMETER;
        }
        if (type == REG_MULTI_SZ) {
            auto *text = (char16_t *)data.data();
            size_t chars = length / sizeof(char16_t), i = 0;
            while (i < chars && text[i]) {
                size_t start = i;
                while (i < chars && text[i])
                    i++;
                text[i] = 0; // inside the padding when the last string had no terminator
                ULONG bytes = (ULONG)((i - start + 1) * sizeof(char16_t));
                NTSTATUS status = entry->QueryRoutine((PWSTR)name.data(), REG_SZ, text + start, bytes, q.context,
                                                      entry->EntryContext);
                if (!NT_SUCCESS(status))
                    return status;
                i++;
            }
            return STATUS_SUCCESS;
        }
        if (type == REG_EXPAND_SZ) {
            std::u16string text((const char16_t *)data.data(), length / sizeof(char16_t));
            text = text.substr(0, std::min(text.find(u'\0'), text.size()));
            if (text.find(u'%') != std::u16string::npos) {
                std::u16string expanded = ExpandEnvironment(text, q.environment);
                type = REG_SZ;
                length = (ULONG)((expanded.size() + 1) * sizeof(char16_t));
                data.assign((const uint8_t *)expanded.data(), (const uint8_t *)(expanded.data() + expanded.size()));
                data.resize(length + 2 * sizeof(char16_t), 0);
            }
        }
    }
    if (direct)
        return DirectWrite(type, data.data(), length, entry->EntryContext, q.caller);
    return entry->QueryRoutine((PWSTR)name.data(), type, data.data(), length, q.context, entry->EntryContext);
}

// A value, or its absence (value == nullptr), through the default rules: a missing value, a
// REG_NONE value, or an empty value of the default's type is replaced by the entry's default;
// without a default it is skipped, unless REQUIRED.
NTSTATUS ProcessValue(PRTL_QUERY_REGISTRY_TABLE entry, const Value *value, const QueryContext &q)
{
    // With TYPECHECK the expected type rides in the top byte of DefaultType.
    ULONG defaultType = entry->DefaultType & 0x00FFFFFF;
    bool useDefault = !value || value->type == REG_NONE || (value->data.empty() && value->type == defaultType);
    if (useDefault) {
        if (defaultType == REG_NONE)
            return (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
        size_t length = entry->DefaultLength;
        const auto *p = (const char16_t *)entry->DefaultData;
        if (!length && p) {
            if (defaultType == REG_SZ || defaultType == REG_EXPAND_SZ) {
                size_t n = 0;
                while (p[n])
                    n++;
                length = (n + 1) * sizeof(char16_t);
            } else if (defaultType == REG_MULTI_SZ) {
                size_t n = 0;
                while (p[n])
                    while (p[n++]) {
                    }
                length = (n + 1) * sizeof(char16_t);
            }
        }
        std::vector<uint8_t> data;
        if (entry->DefaultData)
            data.assign((const uint8_t *)entry->DefaultData, (const uint8_t *)entry->DefaultData + length);
        else
            length = 0;
        return Deliver(entry, FromZ(entry->Name), defaultType, Padded(data), (ULONG)length, q);
    }
    if (entry->Flags & RTL_QUERY_REGISTRY_TYPECHECK) {
        ULONG expected = entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
        if (expected != REG_NONE && value->type != expected)
            return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return Deliver(entry, value->name, value->type, Padded(value->data), (ULONG)value->data.size(), q);
}

void DeleteValueLocked(KeyNode &key, const std::u16string &name)
{
    auto it = std::find_if(key.values.begin(), key.values.end(), [&](const Value &v) { return EqualNoCase(v.name, name); });
    if (it != key.values.end()) {
        key.values.erase(it);
        key.lastWrite = SystemTimeNow();
    }
}

NTSTATUS QueryNamed(PRTL_QUERY_REGISTRY_TABLE entry, const std::shared_ptr<KeyNode> &key, const QueryContext &q)
{
    std::u16string name = FromZ(entry->Name);
    Value copy;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (key->deleted)
            return STATUS_KEY_DELETED;
        if (Value *v = key->FindValue(name)) {
            copy = *v;
            found = true;
        }
    }
    NTSTATUS status = ProcessValue(entry, found ? &copy : nullptr, q);
    if (NT_SUCCESS(status) && found && (entry->Flags & RTL_QUERY_REGISTRY_DELETE)) {
        std::lock_guard<std::mutex> lock(g_lock);
        DeleteValueLocked(*key, name);
    }
    return status;
}

NTSTATUS QueryAllValues(PRTL_QUERY_REGISTRY_TABLE entry, const std::shared_ptr<KeyNode> &key, const QueryContext &q)
{
    std::vector<Value> values;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        if (key->deleted)
            return STATUS_KEY_DELETED;
        values = key->values;
    }
    if (values.empty())
        return (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS;
    for (const Value &v : values) {
        NTSTATUS status = ProcessValue(entry, &v, q);
        if (!NT_SUCCESS(status))
            return status;
        if (entry->Flags & RTL_QUERY_REGISTRY_DELETE) {
            std::lock_guard<std::mutex> lock(g_lock);
            DeleteValueLocked(*key, v.name);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetValueLocked(KeyNode &key, const std::u16string &name, ULONG type, const void *data, size_t size)
{
    if (key.deleted)
        return STATUS_KEY_DELETED;
    if (name.size() > kMaxValueNameChars)
        return STATUS_INVALID_PARAMETER;
    std::vector<uint8_t> bytes((const uint8_t *)data, (const uint8_t *)data + size);
    if (Value *v = key.FindValue(name)) {
        // Replacing keeps the value's place (and the case of its name) in the enumeration.
        v->type = type;
        v->data = std::move(bytes);
    } else {
        key.values.push_back(Value{name, type, std::move(bytes)});
    }
    key.lastWrite = SystemTimeNow();
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Host interface helpers
// ---------------------------------------------------------------------------------------------
std::shared_ptr<KeyNode> FindHostKeyLocked(const std::string &path)
{
    std::vector<std::u16string> components;
    if (!NT_SUCCESS(ParseAbsolute(Utf16(NormalizeKeyPath(path)), &components)))
        return nullptr;
    Root();
    return Walk(g_root, components, components.size());
}

std::shared_ptr<KeyNode> CreateHostKeyLocked(const std::string &path)
{
    std::vector<std::u16string> components;
    if (!NT_SUCCESS(ParseAbsolute(Utf16(NormalizeKeyPath(path)), &components)) || components.empty())
        throw std::invalid_argument("not a registry key path: " + path);
    Root();
    std::shared_ptr<KeyNode> node = g_root;
    for (size_t i = 0; i < components.size(); i++) {
        std::shared_ptr<KeyNode> next = node->Find(components[i]);
        if (!next) {
            if (node == g_root)
                throw std::invalid_argument("no such hive: " + path);
            next = AddChild(node.get(), components[i], node->isVolatile);
        }
        node = next;
    }
    return node;
}

std::u16string StringFromData(const std::vector<uint8_t> &data)
{
    std::u16string s((const char16_t *)data.data(), data.size() / sizeof(char16_t));
    size_t nul = s.find(u'\0');
    if (nul != std::u16string::npos)
        s.resize(nul);
    return s;
}

std::vector<uint8_t> DataFromString(const std::u16string &s)
{
    std::vector<uint8_t> data((s.size() + 1) * sizeof(char16_t), 0);
    memcpy(data.data(), s.data(), s.size() * sizeof(char16_t));
    return data;
}

// A REG_MULTI_SZ list: each string with its terminator, then the empty string that ends the list.
std::vector<uint8_t> DataFromMulti(const std::vector<std::u16string> &strings)
{
    std::u16string all;
    for (const auto &s : strings) {
        all += s;
        all.push_back(0);
    }
    all.push_back(0);
    return std::vector<uint8_t>((const uint8_t *)all.data(), (const uint8_t *)(all.data() + all.size()));
}

std::vector<std::u16string> MultiFromData(const std::vector<uint8_t> &data)
{
    std::vector<std::u16string> out;
    std::u16string all((const char16_t *)data.data(), data.size() / sizeof(char16_t));
    size_t i = 0;
    while (i < all.size() && all[i]) {
        size_t end = all.find(u'\0', i);
        if (end == std::u16string::npos)
            end = all.size();
        out.push_back(all.substr(i, end - i));
        i = end + 1;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Text form of the hive
// ---------------------------------------------------------------------------------------------
//   ; comment
//   [\Registry\Machine\Key\Subkey]
//   "Name"=dword:00000003                 REG_DWORD of 4 bytes
//   "Name"=qword:0000000000000003         REG_QWORD of 8 bytes
//   "Name"=sz:"text"                      REG_SZ with exactly one terminator (also expand_sz)
//   "Name"=multi_sz:"a","b"               REG_MULTI_SZ in its canonical form
//   "Name"=hex(3):01,02,ff                anything else: type number and raw bytes
// Quoted text is UTF-8 with \\ \" and \uXXXX escapes (control characters and lone surrogates);
// key names escape %, ], control characters and surrogates as %uXXXX.
const char kHexDigits[] = "0123456789abcdef";

std::string Hex4(char16_t c)
{
    std::string s;
    for (int shift = 12; shift >= 0; shift -= 4)
        s.push_back(kHexDigits[(c >> shift) & 15]);
    return s;
}

bool IsSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

// UTF-8 for runs of ordinary characters, the escape for the rest.
template <typename NeedsEscape, typename Escape>
std::string EscapeText(const std::u16string &s, NeedsEscape needsEscape, Escape escape)
{
    std::string out;
    std::u16string run;
    for (size_t i = 0; i < s.size(); i++) {
        char16_t c = s[i];
        bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF;
        if (pair) {
            run.push_back(c);
            run.push_back(s[++i]);
            continue;
        }
        if (needsEscape(c)) {
            out += Utf8(run);
            run.clear();
            out += escape(c);
        } else {
            run.push_back(c);
        }
    }
    return out + Utf8(run);
}

std::string QuoteText(const std::u16string &s)
{
    return "\"" +
           EscapeText(
               s, [](char16_t c) { return c < 0x20 || c == 0x7F || c == u'\\' || c == u'"' || IsSurrogate(c); },
               [](char16_t c) -> std::string {
                   if (c == u'\\')
                       return "\\\\";
                   if (c == u'"')
                       return "\\\"";
                   return "\\u" + Hex4(c);
               }) +
           "\"";
}

std::string EscapeKeyName(const std::u16string &s)
{
    return EscapeText(
        s, [](char16_t c) { return c < 0x20 || c == 0x7F || c == u'%' || c == u']' || IsSurrogate(c); },
        [](char16_t c) { return "%u" + Hex4(c); });
}

bool ParseHex4(const std::string &s, size_t at, char16_t *c)
{
    if (at + 4 > s.size())
        return false;
    unsigned v = 0;
    for (size_t i = at; i < at + 4; i++) {
        char h = s[i];
        int d = (h >= '0' && h <= '9') ? h - '0' : (h >= 'a' && h <= 'f') ? h - 'a' + 10 : (h >= 'A' && h <= 'F') ? h - 'A' + 10 : -1;
        if (d < 0)
            return false;
        v = v * 16 + (unsigned)d;
    }
    *c = (char16_t)v;
    return true;
}

// Reads a quoted string at `at`; `at` ends after the closing quote.
bool ParseQuoted(const std::string &line, size_t &at, std::u16string *out)
{
    if (at >= line.size() || line[at] != '"')
        return false;
    at++;
    out->clear();
    std::string run;
    while (at < line.size() && line[at] != '"') {
        if (line[at] != '\\') {
            run.push_back(line[at++]);
            continue;
        }
        *out += Utf16(run);
        run.clear();
        if (at + 1 >= line.size())
            return false;
        char e = line[at + 1];
        if (e == '\\' || e == '"') {
            out->push_back((char16_t)e);
            at += 2;
        } else if (e == 'u') {
            char16_t c;
            if (!ParseHex4(line, at + 2, &c))
                return false;
            out->push_back(c);
            at += 6;
        } else {
            return false;
        }
    }
    if (at >= line.size())
        return false;
    at++;
    *out += Utf16(run);
    return true;
}

bool ParseKeyName(const std::string &text, std::u16string *out)
{
    out->clear();
    std::string run;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '%') {
            char16_t c;
            if (i + 1 >= text.size() || text[i + 1] != 'u' || !ParseHex4(text, i + 2, &c))
                return false;
            *out += Utf16(run);
            run.clear();
            out->push_back(c);
            i += 6;
        } else {
            run.push_back(text[i++]);
        }
    }
    *out += Utf16(run);
    return true;
}

bool IsCanonicalString(const std::vector<uint8_t> &data)
{
    if (data.size() < 2 || data.size() % 2)
        return false;
    std::u16string s((const char16_t *)data.data(), data.size() / 2);
    return s.find(u'\0') == s.size() - 1;
}

bool IsCanonicalMulti(const std::vector<uint8_t> &data)
{
    return data.size() % 2 == 0 && !data.empty() && DataFromMulti(MultiFromData(data)) == data;
}

std::string ValueText(const Value &v)
{
    std::string out = QuoteText(v.name) + "=";
    char buf[32];
    if (v.type == REG_DWORD && v.data.size() == 4) {
        ULONG d;
        memcpy(&d, v.data.data(), 4);
        snprintf(buf, sizeof buf, "dword:%08x", d);
        return out + buf;
    }
    if (v.type == REG_QWORD && v.data.size() == 8) {
        ULONGLONG q;
        memcpy(&q, v.data.data(), 8);
        snprintf(buf, sizeof buf, "qword:%016llx", (unsigned long long)q);
        return out + buf;
    }
    if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && IsCanonicalString(v.data))
        return out + (v.type == REG_SZ ? "sz:" : "expand_sz:") + QuoteText(StringFromData(v.data));
    if (v.type == REG_MULTI_SZ && IsCanonicalMulti(v.data)) {
        out += "multi_sz:";
        std::vector<std::u16string> strings = MultiFromData(v.data);
        for (size_t i = 0; i < strings.size(); i++)
            out += (i ? "," : "") + QuoteText(strings[i]);
        return out;
    }
    snprintf(buf, sizeof buf, "hex(%u):", (unsigned)v.type);
    out += buf;
    for (size_t i = 0; i < v.data.size(); i++) {
        if (i)
            out.push_back(',');
        out.push_back(kHexDigits[v.data[i] >> 4]);
        out.push_back(kHexDigits[v.data[i] & 15]);
    }
    return out;
}

bool ParseNumber(const std::string &s, int base, uint64_t max, uint64_t *value)
{
    if (s.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, base);
    if (errno || *end || v > max || s[0] == '-' || s[0] == '+' || isspace((unsigned char)s[0]))
        return false;
    *value = v;
    return true;
}

bool ParseValueLine(const std::string &line, Value *v)
{
    size_t at = 0;
    if (!ParseQuoted(line, at, &v->name) || at >= line.size() || line[at] != '=')
        return false;
    at++;
    size_t colon = line.find(':', at);
    if (colon == std::string::npos)
        return false;
    std::string kind = line.substr(at, colon - at);
    std::string payload = line.substr(colon + 1);
    uint64_t number;
    if (kind == "dword" || kind == "qword") {
        bool dword = kind == "dword";
        if (!ParseNumber(payload, 16, dword ? 0xFFFFFFFFull : ~0ull, &number))
            return false;
        v->type = dword ? REG_DWORD : REG_QWORD;
        v->data.resize(dword ? 4 : 8);
        memcpy(v->data.data(), &number, v->data.size());
        return true;
    }
    if (kind == "sz" || kind == "expand_sz") {
        std::u16string text;
        size_t p = 0;
        if (!ParseQuoted(payload, p, &text) || p != payload.size())
            return false;
        v->type = kind == "sz" ? REG_SZ : REG_EXPAND_SZ;
        v->data = DataFromString(text);
        return true;
    }
    if (kind == "multi_sz") {
        std::vector<std::u16string> strings;
        size_t p = 0;
        while (p < payload.size()) {
            if (!strings.empty()) {
                if (payload[p] != ',')
                    return false;
                p++;
            }
            std::u16string text;
            if (!ParseQuoted(payload, p, &text))
                return false;
            strings.push_back(text);
        }
        v->type = REG_MULTI_SZ;
        v->data = DataFromMulti(strings);
        return true;
    }
    if (kind.size() > 5 && kind.compare(0, 4, "hex(") == 0 && kind.back() == ')') {
        if (!ParseNumber(kind.substr(4, kind.size() - 5), 10, 0xFFFFFFFFull, &number))
            return false;
        v->type = (ULONG)number;
        v->data.clear();
        size_t p = 0;
        while (p < payload.size()) {
            if (!v->data.empty()) {
                if (payload[p] != ',')
                    return false;
                p++;
            }
            uint64_t byte;
            if (p + 2 > payload.size() || !ParseNumber(payload.substr(p, 2), 16, 0xFF, &byte))
                return false;
            v->data.push_back((uint8_t)byte);
            p += 2;
        }
        return true;
    }
    return false;
}

void SaveKey(std::ostream &out, const KeyNode &key, const std::string &path)
{
    if (key.isVolatile)
        return;
    out << "[" << path << "]\n";
    for (const Value &v : key.values)
        out << ValueText(v) << "\n";
    out << "\n";
    for (auto &[upper, child] : key.subkeys)
        SaveKey(out, *child, path + "\\" + EscapeKeyName(child->name));
}

void DropVolatile(KeyNode &key)
{
    std::vector<std::shared_ptr<KeyNode>> doomed;
    for (auto &[upper, child] : key.subkeys) {
        if (child->isVolatile)
            doomed.push_back(child);
        else
            DropVolatile(*child);
    }
    for (auto &child : doomed)
        DeleteSubtree(child);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Internal interface
// ---------------------------------------------------------------------------------------------
namespace hk::internal {

std::string NormalizeKeyPath(const std::string &path)
{
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t slash = path.find('\\', i);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > i)
            parts.push_back(path.substr(i, slash - i));
        i = slash + 1;
    }
    auto upper = [](std::string s) {
        for (char &c : s)
            c = (char)toupper((unsigned char)c);
        return s;
    };
    if (!parts.empty()) {
        std::string first = upper(parts[0]);
        if (first == "HKLM" || first == "HKEY_LOCAL_MACHINE") {
            parts[0] = "Machine";
            parts.insert(parts.begin(), "Registry");
        } else if (first == "HKU" || first == "HKEY_USERS") {
            parts[0] = "User";
            parts.insert(parts.begin(), "Registry");
        }
    }
    if (!parts.empty() && upper(parts[0]) == "REGISTRY") {
        parts[0] = "Registry";
        if (parts.size() > 1 && upper(parts[1]) == "MACHINE")
            parts[1] = "Machine";
        else if (parts.size() > 1 && upper(parts[1]) == "USER")
            parts[1] = "User";
    }
    std::string out;
    for (const std::string &p : parts)
        out += "\\" + p;
    return out.empty() ? "\\" : out;
}

void RegResetHandles()
{
    std::lock_guard<std::mutex> lock(g_lock);
    DropVolatile(Root());
}

} // namespace hk::internal

// ---------------------------------------------------------------------------------------------
// Host interface
// ---------------------------------------------------------------------------------------------
namespace hk {

bool RegKeyExists(const std::string &path)
{
    std::lock_guard<std::mutex> lock(g_lock);
    return FindHostKeyLocked(path) != nullptr;
}

void RegCreateKey(const std::string &path)
{
    std::lock_guard<std::mutex> lock(g_lock);
    CreateHostKeyLocked(path);
}

bool RegDeleteTree(const std::string &path)
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::shared_ptr<KeyNode> key = FindHostKeyLocked(path);
    if (!key || key->hiveRoot)
        return false;
    DeleteSubtree(key);
    return true;
}

// Creates the key path when it is missing, as a setup program writing a value would.
void RegSetValue(const std::string &path, const std::string &name, const RegValue &value)
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::shared_ptr<KeyNode> key = CreateHostKeyLocked(path);
    SetValueLocked(*key, Utf16(name), value.type, value.data.data(), value.data.size());
}

void RegSetDword(const std::string &path, const std::string &name, ULONG value)
{
    RegValue v;
    v.type = REG_DWORD;
    v.data.resize(sizeof value);
    memcpy(v.data.data(), &value, sizeof value);
    RegSetValue(path, name, v);
}

void RegSetString(const std::string &path, const std::string &name, const std::string &value, ULONG type)
{
    RegSetValue(path, name, RegValue{type, DataFromString(Utf16(value))});
}

void RegSetMultiString(const std::string &path, const std::string &name, const std::vector<std::string> &values)
{
    std::vector<std::u16string> strings;
    for (const std::string &s : values)
        strings.push_back(Utf16(s));
    RegSetValue(path, name, RegValue{REG_MULTI_SZ, DataFromMulti(strings)});
}

bool RegGetValue(const std::string &path, const std::string &name, RegValue *value)
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::shared_ptr<KeyNode> key = FindHostKeyLocked(path);
    if (!key)
        return false;
    Value *v = key->FindValue(Utf16(name));
    if (!v)
        return false;
    value->type = v->type;
    value->data = v->data;
    return true;
}

bool RegGetDword(const std::string &path, const std::string &name, ULONG *value)
{
    RegValue v;
    if (!RegGetValue(path, name, &v) || v.type != REG_DWORD || v.data.size() != sizeof(ULONG))
        return false;
    memcpy(value, v.data.data(), sizeof(ULONG));
    return true;
}

bool RegGetString(const std::string &path, const std::string &name, std::string *value)
{
    RegValue v;
    if (!RegGetValue(path, name, &v) || (v.type != REG_SZ && v.type != REG_EXPAND_SZ))
        return false;
    *value = Utf8(StringFromData(v.data));
    return true;
}

bool RegGetMultiString(const std::string &path, const std::string &name, std::vector<std::string> *values)
{
    RegValue v;
    if (!RegGetValue(path, name, &v) || v.type != REG_MULTI_SZ)
        return false;
    values->clear();
    for (const std::u16string &s : MultiFromData(v.data))
        values->push_back(Utf8(s));
    return true;
}

bool RegDeleteValue(const std::string &path, const std::string &name)
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::shared_ptr<KeyNode> key = FindHostKeyLocked(path);
    if (!key || !key->FindValue(Utf16(name)))
        return false;
    DeleteValueLocked(*key, Utf16(name));
    return true;
}

std::vector<std::string> RegSubKeys(const std::string &path)
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::vector<std::string> out;
    if (std::shared_ptr<KeyNode> key = FindHostKeyLocked(path))
        for (auto &[upper, child] : key->subkeys)
            out.push_back(Utf8(child->name));
    return out;
}

std::vector<std::string> RegValueNames(const std::string &path)
{
    std::lock_guard<std::mutex> lock(g_lock);
    std::vector<std::string> out;
    if (std::shared_ptr<KeyNode> key = FindHostKeyLocked(path))
        for (const Value &v : key->values)
            out.push_back(Utf8(v.name));
    return out;
}

void RegReset()
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_root)
        DeleteSubtree(g_root); // open handles see their keys deleted
    g_root = NewHive();
}

bool RegSave(const std::string &file)
{
    std::ostringstream text;
    text << "; host registry hive\n\n";
    {
        std::lock_guard<std::mutex> lock(g_lock);
        SaveKey(text, Root(), "\\Registry");
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    return !out.fail();
}

// The whole file is read into a new hive first: a file that does not parse leaves the current
// hive as it was.
bool RegLoad(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    std::shared_ptr<KeyNode> hive = NewHive();
    std::shared_ptr<KeyNode> current;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == ';')
            continue;
        if (line[0] == '[') {
            std::u16string path;
            std::vector<std::u16string> components;
            if (line.back() != ']' || !ParseKeyName(line.substr(1, line.size() - 2), &path) ||
                !NT_SUCCESS(ParseAbsolute(path, &components)))
                return false;
            current = hive;
            for (const std::u16string &c : components) {
                std::shared_ptr<KeyNode> next = current->Find(c);
                if (!next) {
                    if (current == hive)
                        return false; // only the two hives exist
                    next = AddChild(current.get(), c, false);
                }
                current = next;
            }
            continue;
        }
        Value v;
        if (!current || !ParseValueLine(line, &v) || current->FindValue(v.name))
            return false;
        current->values.push_back(std::move(v));
    }
    if (in.bad())
        return false;
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_root)
        DeleteSubtree(g_root);
    g_root = hive;
    return true;
}

} // namespace hk

// ---------------------------------------------------------------------------------------------
// Zw key routines
// ---------------------------------------------------------------------------------------------
namespace {

// The key an OBJECT_ATTRIBUTES names: an absolute \Registry path, or a path below RootDirectory.
NTSTATUS ResolveAttributes(POBJECT_ATTRIBUTES attributes, std::shared_ptr<KeyNode> *base,
                           std::vector<std::u16string> *components)
{
    if (!attributes)
        return STATUS_INVALID_PARAMETER;
    std::u16string name = FromCounted(attributes->ObjectName);
    if (attributes->RootDirectory) {
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        KeyRef root;
        NTSTATUS status = root.Open(attributes->RootDirectory, 0);
        if (!NT_SUCCESS(status))
            return status;
        *base = root.Node();
        *components = SplitComponents(name);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = ParseAbsolute(name, components);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    Root();
    *base = g_root;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                      ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    HkAssertPagedCode("ZwCreateKey");
    std::shared_ptr<KeyNode> base, key;
    std::vector<std::u16string> components;
    NTSTATUS status = ResolveAttributes(ObjectAttributes, &base, &components);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string className = FromCounted(Class);
    ULONG disposition = 0;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        status = OpenOrCreateLocked(base, components, true, CreateOptions & REG_OPTION_VOLATILE, &className, &key,
                                    &disposition);
    }
    if (!NT_SUCCESS(status))
        return status;
    status = CreateKeyHandle(key, DesiredAccess, ObjectAttributes->Attributes, KeyHandle);
    if (NT_SUCCESS(status) && Disposition)
        *Disposition = disposition;
    return status;
}

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    HkAssertPagedCode("ZwOpenKey");
    std::shared_ptr<KeyNode> base, key;
    std::vector<std::u16string> components;
    NTSTATUS status = ResolveAttributes(ObjectAttributes, &base, &components);
    if (!NT_SUCCESS(status))
        return status;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        status = OpenOrCreateLocked(base, components, false, false, nullptr, &key, nullptr);
    }
    if (!NT_SUCCESS(status))
        return status;
    return CreateKeyHandle(key, DesiredAccess, ObjectAttributes->Attributes, KeyHandle);
}

// A key with subkeys cannot be deleted; the handle stays open on a deleted key.
extern "C" NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle)
{
    HkAssertPagedCode("ZwDeleteKey");
    KeyRef key;
    NTSTATUS status = key.Open(KeyHandle, DELETE);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    const std::shared_ptr<KeyNode> &node = key.Node();
    if (node->deleted)
        return STATUS_KEY_DELETED;
    if (node->hiveRoot || !node->subkeys.empty())
        return STATUS_CANNOT_DELETE;
    DeleteSubtree(node);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    HkAssertPagedCode("ZwQueryValueKey");
    if (!ResultLength || (!KeyValueInformation && Length))
        return STATUS_INVALID_PARAMETER;
    KeyRef key;
    NTSTATUS status = key.Open(KeyHandle, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    if (key.Node()->deleted)
        return STATUS_KEY_DELETED;
    Value *v = key.Node()->FindValue(FromCounted(ValueName));
    if (!v)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    HkAssertPagedCode("ZwEnumerateValueKey");
    if (!ResultLength || (!KeyValueInformation && Length))
        return STATUS_INVALID_PARAMETER;
    KeyRef key;
    NTSTATUS status = key.Open(KeyHandle, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    const KeyNode &node = *key.Node();
    if (node.deleted)
        return STATUS_KEY_DELETED;
    if (Index >= node.values.size())
        return STATUS_NO_MORE_ENTRIES;
    return FillValueInformation(node.values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    HkAssertPagedCode("ZwEnumerateKey");
    if (!ResultLength || (!KeyInformation && Length))
        return STATUS_INVALID_PARAMETER;
    KeyRef key;
    NTSTATUS status = key.Open(KeyHandle, KEY_ENUMERATE_SUB_KEYS);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    const KeyNode &node = *key.Node();
    if (node.deleted)
        return STATUS_KEY_DELETED;
    if (Index >= node.subkeys.size())
        return STATUS_NO_MORE_ENTRIES;
    auto it = node.subkeys.begin();
    std::advance(it, Index);
    return FillKeyInformation(*it->second, KeyInformationClass, KeyInformation, Length, ResultLength);
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize)
{
    HkAssertPagedCode("ZwSetValueKey");
    if (!Data && DataSize)
        return STATUS_INVALID_PARAMETER;
    KeyRef key;
    NTSTATUS status = key.Open(KeyHandle, KEY_SET_VALUE);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    return SetValueLocked(*key.Node(), FromCounted(ValueName), Type, Data, DataSize);
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    HkAssertPagedCode("ZwDeleteValueKey");
    KeyRef key;
    NTSTATUS status = key.Open(KeyHandle, KEY_SET_VALUE);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    KeyNode &node = *key.Node();
    if (node.deleted)
        return STATUS_KEY_DELETED;
    std::u16string name = FromCounted(ValueName);
    if (!node.FindValue(name))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    DeleteValueLocked(node, name);
    return STATUS_SUCCESS;
}

// The hive lives in memory; there is nothing to write back.
extern "C" NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle)
{
    HkAssertPagedCode("ZwFlushKey");
    KeyRef key;
    NTSTATUS status = key.Open(KeyHandle, 0);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    return key.Node()->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Rtl registry routines
// ---------------------------------------------------------------------------------------------
/*++
Routine Description:
    Walks a query table against one key. Each entry either switches the key (SUBKEY, TOPKEY),
    queries one named value, calls its routine once without a value (NOVALUE), or enumerates every
    value of the current key. Values reach a query routine or, with DIRECT, EntryContext itself.
    The table ends at the first entry with neither a routine nor SUBKEY/DIRECT.
Return Value:
    The first failure of an entry or of its routine; STATUS_OBJECT_NAME_NOT_FOUND for a missing
    key, subkey or REQUIRED value.
IRQL: PASSIVE_LEVEL.
--*/
extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment)
{
    HkAssertPagedCode("RtlQueryRegistryValues");
    if (!QueryTable)
        return STATUS_INVALID_PARAMETER;
    QueryContext q{Context, Environment, __builtin_return_address(0)};
    std::shared_ptr<KeyNode> top;
    NTSTATUS status = ResolveRtlKey(RelativeTo, Path, false, &top);
    if (!NT_SUCCESS(status))
        return status;
    std::shared_ptr<KeyNode> current = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
         entry->QueryRoutine || (entry->Flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT)); entry++) {
        ULONG flags = entry->Flags;
        if ((flags & RTL_QUERY_REGISTRY_DIRECT) &&
            (!entry->Name || (flags & RTL_QUERY_REGISTRY_SUBKEY) || entry->QueryRoutine))
            return STATUS_INVALID_PARAMETER;
        if (flags & (RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_SUBKEY))
            current = top;
        if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
            if (!entry->Name)
                return STATUS_INVALID_PARAMETER;
            std::shared_ptr<KeyNode> sub;
            {
                std::lock_guard<std::mutex> lock(g_lock);
                status = OpenOrCreateLocked(top, SplitComponents(FromZ(entry->Name)), false, false, nullptr, &sub,
                                            nullptr);
            }
            if (!NT_SUCCESS(status))
                return status;
            current = sub;
            status = entry->QueryRoutine ? QueryAllValues(entry, current, q) : STATUS_SUCCESS;
        } else if (entry->Name) {
            status = QueryNamed(entry, current, q);
        } else if (flags & RTL_QUERY_REGISTRY_NOVALUE) {
            status = entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, Context, entry->EntryContext);
        } else {
            status = QueryAllValues(entry, current, q);
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

// Creates the key (its last component) when it is missing, as the real routine does.
extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                                PVOID ValueData, ULONG ValueLength)
{
    HkAssertPagedCode("RtlWriteRegistryValue");
    if (!ValueData && ValueLength)
        return STATUS_INVALID_PARAMETER;
    std::shared_ptr<KeyNode> key;
    NTSTATUS status = ResolveRtlKey(RelativeTo, Path, true, &key);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    return SetValueLocked(*key, FromZ(ValueName), ValueType, ValueData, ValueLength);
}

extern "C" NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    HkAssertPagedCode("RtlDeleteRegistryValue");
    std::shared_ptr<KeyNode> key;
    NTSTATUS status = ResolveRtlKey(RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> lock(g_lock);
    if (key->deleted)
        return STATUS_KEY_DELETED;
    std::u16string name = FromZ(ValueName);
    if (!key->FindValue(name))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    DeleteValueLocked(*key, name);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    HkAssertPagedCode("RtlCheckRegistryKey");
    std::shared_ptr<KeyNode> key;
    return ResolveRtlKey(RelativeTo, Path, false, &key);
}

extern "C" NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    HkAssertPagedCode("RtlCreateRegistryKey");
    std::shared_ptr<KeyNode> key;
    return ResolveRtlKey(RelativeTo, Path, true, &key);
}
