// The registry: Zw key routines and their buffer rules, RtlQueryRegistryValues and the other Rtl
// helpers, the host interface, and saving and loading a hive.
#include "hk/nt.h"
#include "hk/host.h"
#include "hk_internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using hk::MakeTag;

const char16_t kBase[] = u"\\Registry\\Machine\\Software\\VyrTest";
const char kBasePath[] = "\\Registry\\Machine\\Software\\VyrTest";

struct Name {
    std::u16string text;
    UNICODE_STRING s{};
    Name(const char16_t *t) : text(t)
    {
        s.Buffer = (PWCH)text.data();
        s.Length = s.MaximumLength = (USHORT)(text.size() * 2);
    }
    operator PUNICODE_STRING() { return &s; }
};

NTSTATUS Create(HANDLE *h, const char16_t *path, HANDLE root = nullptr, ULONG options = 0, ULONG *disposition = nullptr,
                ACCESS_MASK access = KEY_ALL_ACCESS)
{
    Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(h, access, &oa, 0, nullptr, options, disposition);
}

NTSTATUS Open(HANDLE *h, const char16_t *path, ACCESS_MASK access = KEY_ALL_ACCESS, HANDLE root = nullptr)
{
    Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(h, access, &oa);
}

NTSTATUS Set(HANDLE h, const char16_t *name, ULONG type, const void *data, ULONG size)
{
    Name n(name);
    return ZwSetValueKey(h, n, 0, type, (PVOID)data, size);
}

std::vector<uint8_t> Bytes(const std::u16string &s)
{
    return std::vector<uint8_t>((const uint8_t *)s.data(), (const uint8_t *)(s.data() + s.size()));
}

size_t StringBlocks()
{
    size_t n = 0;
    for (const hk::PoolBlockInfo &b : hk::OutstandingPool())
        if (b.tag == MakeTag("Strg"))
            n++;
    return n;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        hk::RegReset();
        ASSERT_EQ(Create(&base_, kBase), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        for (HANDLE h : handles_)
            ZwClose(h);
        ZwClose(base_);
        hk::RegReset();
    }
    HANDLE Keep(HANDLE h)
    {
        handles_.push_back(h);
        return h;
    }
    HANDLE base_ = nullptr;
    std::vector<HANDLE> handles_;
};

TEST_F(Registry, CreateAndOpenFollowThePathRules)
{
    HANDLE h;
    ULONG disposition = 0;
    ASSERT_EQ(Create(&h, u"\\Registry\\Machine\\Software\\VyrTest\\MixedCase", nullptr, 0, &disposition), STATUS_SUCCESS);
    Keep(h);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ASSERT_EQ(Create(&h, u"\\REGISTRY\\MACHINE\\software\\vyrtest\\MIXEDCASE", nullptr, 0, &disposition), STATUS_SUCCESS);
    Keep(h);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(hk::RegSubKeys(kBasePath), std::vector<std::string>{"MixedCase"}); // the case it was created with

    struct Case {
        const char16_t *path;
        bool relative;
        NTSTATUS open, create;
    } cases[] = {
        {u"\\Registry\\Machine\\Software\\VyrTest\\Missing", false, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SUCCESS},
        // ZwCreateKey makes the last component only.
        {u"\\Registry\\Machine\\Software\\VyrTest\\No\\Child", false, STATUS_OBJECT_NAME_NOT_FOUND,
         STATUS_OBJECT_NAME_NOT_FOUND},
        {u"Registry\\Machine\\Software", false, STATUS_OBJECT_PATH_SYNTAX_BAD, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Device\\Tape0", false, STATUS_OBJECT_PATH_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\Registry\\Other", false, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_ACCESS_DENIED},
        {u"Rel\\Deeper", true, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"Rel", true, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_SUCCESS},
        {u"\\Rel", true, STATUS_OBJECT_PATH_SYNTAX_BAD, STATUS_OBJECT_PATH_SYNTAX_BAD},
    };
    for (const Case &c : cases) {
        HANDLE root = c.relative ? base_ : nullptr;
        SCOPED_TRACE(hk::Utf8(c.path));
        EXPECT_EQ(Open(&h, c.path, KEY_READ, root), c.open);
        NTSTATUS status = Create(&h, c.path, root);
        EXPECT_EQ(status, c.create);
        if (NT_SUCCESS(status))
            Keep(h);
    }
    EXPECT_TRUE(hk::RegKeyExists(std::string(kBasePath) + "\\rel"));
    EXPECT_EQ(Open(&h, u"Rel\\..", KEY_READ, base_), STATUS_OBJECT_NAME_NOT_FOUND);
    // An empty name relative to a key opens that key again.
    ASSERT_EQ(Open(&h, u"", KEY_READ, base_), STATUS_SUCCESS);
    Keep(h);
}

TEST_F(Registry, ValuesRoundTripBetweenZwAndTheHostInterface)
{
    const uint8_t dword[] = {7, 0, 0, 0}, qword[] = {1, 2, 3, 4, 5, 6, 7, 8}, binary[] = {0xde, 0xad, 0, 0xef};
    struct Case {
        const char16_t *name;
        ULONG type;
        std::vector<uint8_t> data;
    } cases[] = {
        {u"Dword", REG_DWORD, {dword, dword + 4}},
        {u"Qword", REG_QWORD, {qword, qword + 8}},
        {u"String", REG_SZ, Bytes(std::u16string(u"tape\u00e9", 6))},
        {u"Expand", REG_EXPAND_SZ, Bytes(std::u16string(u"%SystemRoot%\\x", 15))},
        {u"Multi", REG_MULTI_SZ, Bytes(std::u16string(u"a\0bc\0\0", 6))},
        {u"Binary", REG_BINARY, {binary, binary + 4}},
        {u"None", REG_NONE, {}},
        {u"Custom", 0x12345, {1, 2}},
        {u"", REG_SZ, Bytes(std::u16string(u"default value", 14))},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(hk::Utf8(c.name));
        // Zw in, host out.
        ASSERT_EQ(Set(base_, c.name, c.type, c.data.data(), (ULONG)c.data.size()), STATUS_SUCCESS);
        hk::RegValue v;
        ASSERT_TRUE(hk::RegGetValue(kBasePath, hk::Utf8(c.name), &v));
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.data, c.data);
        // Host in (under another case of the name), Zw out.
        std::string other = hk::Utf8(c.name);
        for (char &ch : other)
            ch = (char)toupper((unsigned char)ch);
        hk::RegSetValue(kBasePath, other, hk::RegValue{c.type, c.data});
        uint8_t buffer[128];
        ULONG result = 0;
        Name name(c.name);
        ASSERT_EQ(ZwQueryValueKey(base_, name, KeyValuePartialInformation, buffer, sizeof buffer, &result),
                  STATUS_SUCCESS);
        auto *info = (PKEY_VALUE_PARTIAL_INFORMATION)buffer;
        EXPECT_EQ(info->Type, c.type);
        EXPECT_EQ(std::vector<uint8_t>(info->Data, info->Data + info->DataLength), c.data);
    }
    // Overwriting under another case kept the first spelling and the creation order.
    std::vector<std::string> names = hk::RegValueNames(kBasePath);
    ASSERT_EQ(names.size(), 9u);
    EXPECT_EQ(names[0], "Dword");
    EXPECT_EQ(names[8], "");

    ULONG d = 0;
    hk::RegSetDword(kBasePath, "Start", 3);
    EXPECT_TRUE(hk::RegGetDword(kBasePath, "start", &d));
    EXPECT_EQ(d, 3u);
    std::string s;
    EXPECT_FALSE(hk::RegGetString(kBasePath, "Start", &s)); // wrong type
    hk::RegSetMultiString(kBasePath, "Paths", {"one", "", "three"});
    std::vector<std::string> multi;
    EXPECT_TRUE(hk::RegGetMultiString(kBasePath, "Paths", &multi));
    EXPECT_EQ(multi, std::vector<std::string>{"one"}); // an empty string ends a multi-string
    EXPECT_TRUE(hk::RegDeleteValue(kBasePath, "PATHS"));
    EXPECT_FALSE(hk::RegDeleteValue(kBasePath, "Paths"));
}

// Each information class: a buffer that cannot hold the fixed part gets nothing; one that holds it
// gets the fixed part and as much of the rest as fits; ResultLength is always the full size.
TEST_F(Registry, QueryValueBufferRules)
{
    const char16_t data[] = u"abc"; // 6 bytes without the terminator
    ASSERT_EQ(Set(base_, u"Name", REG_SZ, data, 6), STATUS_SUCCESS);
    struct Case {
        KEY_VALUE_INFORMATION_CLASS infoClass;
        ULONG length;
        NTSTATUS status;
        ULONG result;
    } cases[] = {
        // Basic: 12 bytes of header, the 8-byte name.
        {KeyValueBasicInformation, 0, STATUS_BUFFER_TOO_SMALL, 20},
        {KeyValueBasicInformation, 11, STATUS_BUFFER_TOO_SMALL, 20},
        {KeyValueBasicInformation, 12, STATUS_BUFFER_OVERFLOW, 20},
        {KeyValueBasicInformation, 15, STATUS_BUFFER_OVERFLOW, 20},
        {KeyValueBasicInformation, 20, STATUS_SUCCESS, 20},
        // Partial: 12 bytes of header, the 6 bytes of data.
        {KeyValuePartialInformation, 11, STATUS_BUFFER_TOO_SMALL, 18},
        {KeyValuePartialInformation, 12, STATUS_BUFFER_OVERFLOW, 18},
        {KeyValuePartialInformation, 17, STATUS_BUFFER_OVERFLOW, 18},
        {KeyValuePartialInformation, 18, STATUS_SUCCESS, 18},
        {KeyValuePartialInformation, 100, STATUS_SUCCESS, 18},
        // Full: 20 bytes of header, the name, the data at the next 8-byte boundary (32).
        {KeyValueFullInformation, 19, STATUS_BUFFER_TOO_SMALL, 38},
        {KeyValueFullInformation, 20, STATUS_BUFFER_OVERFLOW, 38},
        {KeyValueFullInformation, 28, STATUS_BUFFER_OVERFLOW, 38},
        {KeyValueFullInformation, 37, STATUS_BUFFER_OVERFLOW, 38},
        {KeyValueFullInformation, 38, STATUS_SUCCESS, 38},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << c.infoClass << " length " << c.length);
        uint8_t buffer[128];
        memset(buffer, 0xCC, sizeof buffer);
        ULONG result = 0;
        Name name(u"NAME");
        EXPECT_EQ(ZwQueryValueKey(base_, name, c.infoClass, buffer, c.length, &result), c.status);
        EXPECT_EQ(result, c.result);
        // Nothing past the caller's length, ever.
        for (size_t i = c.length; i < sizeof buffer; i++)
            ASSERT_EQ(buffer[i], 0xCC) << "byte " << i;
        if (c.status == STATUS_BUFFER_TOO_SMALL) {
            for (size_t i = 0; i < c.length; i++)
                ASSERT_EQ(buffer[i], 0xCC) << "byte " << i;
            continue;
        }
        ULONG type;
        memcpy(&type, buffer + 4, 4);
        EXPECT_EQ(type, (ULONG)REG_SZ);
        if (c.infoClass == KeyValueFullInformation) {
            auto *full = (PKEY_VALUE_FULL_INFORMATION)buffer;
            EXPECT_EQ(full->DataOffset, 32u);
            EXPECT_EQ(full->DataLength, 6u);
            EXPECT_EQ(full->NameLength, 8u);
            if (c.status == STATUS_SUCCESS) {
                EXPECT_EQ(memcmp(buffer + full->DataOffset, data, 6), 0);
            }
        }
    }
    ULONG result;
    uint8_t buffer[64];
    Name missing(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(base_, missing, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    Name name(u"Name");
    EXPECT_EQ(ZwQueryValueKey(base_, name, (KEY_VALUE_INFORMATION_CLASS)7, buffer, sizeof buffer, &result),
              STATUS_INVALID_PARAMETER);
}

TEST_F(Registry, EnumerationOrder)
{
    for (const char16_t *name : {u"b", u"A", u"c"}) {
        HANDLE h;
        ASSERT_EQ(Create(&h, name, base_), STATUS_SUCCESS);
        ZwClose(h);
    }
    for (const char16_t *name : {u"z", u"y", u"x"})
        ASSERT_EQ(Set(base_, name, REG_DWORD, "\1\0\0\0", 4), STATUS_SUCCESS);

    std::vector<std::u16string> keys, values;
    uint8_t buffer[256];
    ULONG result;
    for (ULONG i = 0;; i++) {
        NTSTATUS status = ZwEnumerateKey(base_, i, KeyBasicInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto *info = (PKEY_BASIC_INFORMATION)buffer;
        keys.emplace_back((const char16_t *)info->Name, info->NameLength / 2);
    }
    for (ULONG i = 0;; i++) {
        NTSTATUS status = ZwEnumerateValueKey(base_, i, KeyValueBasicInformation, buffer, sizeof buffer, &result);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto *info = (PKEY_VALUE_BASIC_INFORMATION)buffer;
        values.emplace_back((const char16_t *)info->Name, info->NameLength / 2);
    }
    // Subkeys sorted without case, values in creation order.
    EXPECT_EQ(keys, (std::vector<std::u16string>{u"A", u"b", u"c"}));
    EXPECT_EQ(values, (std::vector<std::u16string>{u"z", u"y", u"x"}));

    EXPECT_EQ(ZwEnumerateKey(base_, 0, KeyBasicInformation, buffer, 15, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 18u);
    EXPECT_EQ(ZwEnumerateKey(base_, 0, KeyBasicInformation, buffer, 16, &result), STATUS_BUFFER_OVERFLOW);

    HANDLE parent;
    ASSERT_EQ(Open(&parent, u"\\Registry\\Machine\\Software"), STATUS_SUCCESS);
    Keep(parent);
    ULONG index = 0;
    bool found = false;
    while (ZwEnumerateKey(parent, index++, KeyFullInformation, buffer, sizeof buffer, &result) == STATUS_SUCCESS) {
        auto *full = (PKEY_FULL_INFORMATION)buffer;
        if (full->SubKeys == 3 && full->Values == 3) {
            found = true;
            EXPECT_EQ(full->MaxNameLen, 2u);
            EXPECT_EQ(full->MaxValueDataLen, 4u);
            EXPECT_EQ(full->ClassOffset, 0xFFFFFFFFu);
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(Registry, DeletionAndAccessRules)
{
    HANDLE parent, child, readOnly, writeOnly, generic;
    ASSERT_EQ(Create(&parent, u"Parent", base_), STATUS_SUCCESS);
    Keep(parent);
    ASSERT_EQ(Create(&child, u"Parent\\Child", base_), STATUS_SUCCESS);
    Keep(child);
    ASSERT_EQ(Open(&readOnly, u"Parent\\Child", KEY_READ, base_), STATUS_SUCCESS);
    Keep(readOnly);
    ASSERT_EQ(Open(&writeOnly, u"Parent\\Child", KEY_WRITE, base_), STATUS_SUCCESS);
    Keep(writeOnly);
    ASSERT_EQ(Open(&generic, u"Parent\\Child", GENERIC_READ, base_), STATUS_SUCCESS);
    Keep(generic);

    ULONG one = 1, result;
    uint8_t buffer[64];
    Name value(u"V");
    EXPECT_EQ(Set(readOnly, u"V", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Set(generic, u"V", REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Set(writeOnly, u"V", REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryValueKey(writeOnly, value, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryValueKey(generic, value, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(readOnly), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteKey(writeOnly), STATUS_ACCESS_DENIED); // KEY_WRITE has no DELETE
    Name missing(u"Missing");
    EXPECT_EQ(ZwDeleteValueKey(writeOnly, missing), STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE); // it has a subkey
    ASSERT_EQ(ZwDeleteKey(child), STATUS_SUCCESS);
    EXPECT_FALSE(hk::RegKeyExists(std::string(kBasePath) + "\\Parent\\Child"));
    // Handles still open on the deleted key see it as deleted.
    EXPECT_EQ(ZwQueryValueKey(generic, value, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_KEY_DELETED);
    EXPECT_EQ(Set(writeOnly, u"V", REG_DWORD, &one, 4), STATUS_KEY_DELETED);
    HANDLE h;
    EXPECT_EQ(Create(&h, u"Under", child), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(child), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS);

    HANDLE machine;
    ASSERT_EQ(Open(&machine, u"\\Registry\\Machine"), STATUS_SUCCESS);
    Keep(machine);
    EXPECT_EQ(ZwDeleteKey(machine), STATUS_CANNOT_DELETE);
    EXPECT_FALSE(hk::RegDeleteTree("\\Registry\\Machine"));
    EXPECT_EQ(ZwFlushKey(machine), STATUS_SUCCESS);

    // A handle of another object type is not a key.
    EXPECT_EQ(ZwFlushKey((HANDLE)(uintptr_t)0xFFFFFFFF80FFFF00ull), STATUS_INVALID_HANDLE);
}

TEST_F(Registry, VolatileKeysDoNotSurviveARestartOrASave)
{
    HANDLE h, child;
    ASSERT_EQ(Create(&h, u"Volatile", base_, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    Keep(h);
    EXPECT_EQ(Create(&child, u"Lasting", h), STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(Create(&child, u"AlsoVolatile", h, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    Keep(child);
    hk::RegSetDword(kBasePath, "Kept", 1);

    char file[] = "/tmp/vyr-hive-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(hk::RegSave(file));
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    unlink(file);
    EXPECT_EQ(text.str().find("Volatile"), std::string::npos);
    EXPECT_NE(text.str().find("VyrTest"), std::string::npos);

    hk::internal::RegResetHandles();
    EXPECT_FALSE(hk::RegKeyExists(std::string(kBasePath) + "\\Volatile"));
    EXPECT_TRUE(hk::RegKeyExists(kBasePath));
    ULONG kept = 0;
    EXPECT_TRUE(hk::RegGetDword(kBasePath, "Kept", &kept));
}

// The registry is pageable: a driver touching it at DISPATCH_LEVEL would fault on Windows.
TEST_F(Registry, RoutinesRefuseDispatchLevel)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            HANDLE h;
            Open(&h, kBase);
        },
        "pageable routine ZwOpenKey ran at IRQL 2");
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, (PCWSTR)kBase, nullptr, nullptr, nullptr);
        },
        "pageable routine RtlQueryRegistryValues");
}

// ---------------------------------------------------------------------------------------------
// RtlQueryRegistryValues
// ---------------------------------------------------------------------------------------------
struct Call {
    std::u16string name; // "<null>" for a NOVALUE call
    ULONG type;
    std::vector<uint8_t> data;
};

NTSTATUS NTAPI Collect(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                       PVOID EntryContext)
{
    auto *calls = (std::vector<Call> *)Context;
    Call c{ValueName ? std::u16string((const char16_t *)ValueName) : u"<null>", ValueType,
           std::vector<uint8_t>((uint8_t *)ValueData, (uint8_t *)ValueData + ValueLength)};
    calls->push_back(c);
    return EntryContext ? *(NTSTATUS *)EntryContext : STATUS_SUCCESS;
}

std::vector<uint8_t> Sz(const std::u16string &s)
{
    return Bytes(s + u'\0');
}

class RegistryQuery : public Registry {
protected:
    void SetUp() override
    {
        Registry::SetUp();
        hk::RegSetDword(kBasePath, "Dword", 7);
        hk::RegSetString(kBasePath, "String", "hello");
        hk::RegSetMultiString(kBasePath, "Multi", {"a", "bc"});
        hk::RegSetValue(kBasePath, "Binary", hk::RegValue{REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8}});
        hk::RegSetValue(kBasePath, "Qword", hk::RegValue{REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}});
        hk::RegSetString(kBasePath, "Expand", "%Root%\\x%Nope%", REG_EXPAND_SZ);
        hk::RegSetValue(kBasePath, "Empty", hk::RegValue{REG_SZ, {}});
        hk::RegSetString(kBasePath + std::string("\\Sub"), "Inner", "deep");
    }
    NTSTATUS Query(RTL_QUERY_REGISTRY_TABLE *table, std::vector<Call> *calls = nullptr, PVOID environment = nullptr)
    {
        return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, (PCWSTR)kBase, table, calls, environment);
    }
};

TEST_F(RegistryQuery, DirectValuesDefaultsAndRequired)
{
    size_t strings = StringBlocks();
    ULONG dword = 0, missing = 99, fallback = 5, untouched = 42;
    char16_t prepared[16];
    UNICODE_STRING preparedString{0, sizeof prepared, (PWCH)prepared};
    UNICODE_STRING allocated{};
    UNICODE_STRING defaulted{};
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"DWORD", &dword, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"String", &preparedString, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"String", &allocated, REG_NONE, nullptr, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Absent", &missing, REG_DWORD, &fallback, sizeof fallback},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Absent", &untouched, REG_NONE, nullptr, 0},
        // An empty value of the default's type counts as missing.
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Empty", &defaulted, REG_SZ, (PVOID)u"dflt", 0},
        {},
    };
    ASSERT_EQ(Query(table), STATUS_SUCCESS);
    EXPECT_EQ(dword, 7u);
    EXPECT_EQ(std::u16string(prepared, preparedString.Length / 2), u"hello");
    EXPECT_EQ(prepared[5], u'\0');
    ASSERT_NE(allocated.Buffer, nullptr);
    EXPECT_EQ(std::u16string((char16_t *)allocated.Buffer, allocated.Length / 2), u"hello");
    EXPECT_EQ(missing, 5u);
    EXPECT_EQ(untouched, 42u);
    ASSERT_NE(defaulted.Buffer, nullptr);
    EXPECT_EQ(std::u16string((char16_t *)defaulted.Buffer, defaulted.Length / 2), u"dflt");
    EXPECT_EQ(StringBlocks(), strings + 2); // both for the caller to free
    RtlFreeUnicodeString(&allocated);
    RtlFreeUnicodeString(&defaulted);
    EXPECT_EQ(StringBlocks(), strings);

    // A prepared buffer that cannot hold the string and its terminator is a failure, not a
    // silently unread value.
    char16_t tiny[5];
    UNICODE_STRING tinyString{0, sizeof tiny, (PWCH)tiny};
    RTL_QUERY_REGISTRY_TABLE small[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"String", &tinyString, REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(Query(small), STATUS_BUFFER_TOO_SMALL);

    RTL_QUERY_REGISTRY_TABLE required[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED, (PWSTR)u"Absent", &untouched, REG_NONE,
         nullptr, 0},
        {}};
    EXPECT_EQ(Query(required), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\Nope", table, nullptr,
                                     nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    RTL_QUERY_REGISTRY_TABLE bad[] = {{Collect, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Dword", &dword, 0, nullptr, 0}, {}};
    EXPECT_EQ(Query(bad), STATUS_INVALID_PARAMETER);

    // A multi-string arrives whole with NOEXPAND; without it, it would be spread over as many
    // UNICODE_STRINGs as the value has strings, past the caller's one: refused.
    UNICODE_STRING multi{};
    UNICODE_STRING guard[2] = {};
    RTL_QUERY_REGISTRY_TABLE whole[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_NOEXPAND, (PWSTR)u"Multi", &multi, REG_NONE, nullptr,
         0},
        {}};
    ASSERT_EQ(Query(whole), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string((char16_t *)multi.Buffer, multi.Length / 2), std::u16string(u"a\0bc\0", 5));
    RtlFreeUnicodeString(&multi);
    RTL_QUERY_REGISTRY_TABLE spread[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Multi", &guard[0], REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(Query(spread), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(guard[0].Buffer, nullptr);
    EXPECT_EQ(guard[1].Buffer, nullptr);
    EXPECT_EQ(StringBlocks(), strings);
}

// Data larger than a ULONG: a negative first LONG is the buffer size and gets the bare data; a
// positive one gets length, type and data; too small fails.
TEST_F(RegistryQuery, DirectLargeDataFollowsTheSizeInFirstLongConvention)
{
    struct Case {
        const char16_t *name;
        LONG first;
        NTSTATUS status;
        std::vector<ULONG> expected;
    } cases[] = {
        {u"Binary", -16, STATUS_SUCCESS, {0x04030201, 0x08070605, 0xEEEEEEEE}},
        {u"Binary", 16, STATUS_SUCCESS, {8, REG_BINARY, 0x04030201, 0x08070605}},
        {u"Binary", -7, STATUS_BUFFER_TOO_SMALL, {}},
        {u"Binary", 15, STATUS_BUFFER_TOO_SMALL, {}},
        // A REG_QWORD read into a zeroed ULONGLONG fails: it is larger than a ULONG.
        {u"Qword", 0, STATUS_BUFFER_TOO_SMALL, {}},
        {u"Qword", -8, STATUS_SUCCESS, {1, 0, 0xEEEEEEEE}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << hk::Utf8(c.name) << " " << c.first);
        ULONG target[6];
        std::fill(std::begin(target), std::end(target), 0xEEEEEEEE);
        target[0] = (ULONG)c.first;
        RTL_QUERY_REGISTRY_TABLE table[] = {
            {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)c.name, target, REG_NONE, nullptr, 0}, {}};
        EXPECT_EQ(Query(table), c.status);
        for (size_t i = 0; i < c.expected.size(); i++)
            EXPECT_EQ(target[i], c.expected[i]) << "ULONG " << i;
    }
}

TEST_F(RegistryQuery, RoutinesSeeExpandedMultiStringsAndEnvironment)
{
    std::vector<Call> calls;
    const char16_t environment[] = u"Root=C:\\Win\0Other=1\0";
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {Collect, 0, (PWSTR)u"Multi", nullptr, REG_NONE, nullptr, 0},
        {Collect, RTL_QUERY_REGISTRY_NOEXPAND, (PWSTR)u"Multi", nullptr, REG_NONE, nullptr, 0},
        {Collect, 0, (PWSTR)u"Expand", nullptr, REG_NONE, nullptr, 0},
        {Collect, RTL_QUERY_REGISTRY_NOEXPAND, (PWSTR)u"Expand", nullptr, REG_NONE, nullptr, 0},
        {Collect, 0, (PWSTR)u"Absent", nullptr, REG_SZ, (PVOID)u"fallback", 0},
        {Collect, RTL_QUERY_REGISTRY_NOVALUE, nullptr, nullptr, REG_NONE, nullptr, 0},
        {},
    };
    ASSERT_EQ(Query(table, &calls, (PVOID)environment), STATUS_SUCCESS);
    std::vector<Call> expected = {
        {u"Multi", REG_SZ, Sz(u"a")},
        {u"Multi", REG_SZ, Sz(u"bc")},
        {u"Multi", REG_MULTI_SZ, Bytes(std::u16string(u"a\0bc\0\0", 6))},
        {u"Expand", REG_SZ, Sz(u"C:\\Win\\x%Nope%")}, // unknown variables stay as written
        {u"Expand", REG_EXPAND_SZ, Sz(u"%Root%\\x%Nope%")},
        {u"Absent", REG_SZ, Sz(u"fallback")},
        {u"<null>", REG_NONE, {}},
    };
    ASSERT_EQ(calls.size(), expected.size());
    for (size_t i = 0; i < calls.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].name, expected[i].name);
        EXPECT_EQ(calls[i].type, expected[i].type);
        EXPECT_EQ(calls[i].data, expected[i].data);
    }
}

TEST_F(RegistryQuery, SubkeysEnumerationDeleteAndRoutineFailures)
{
    std::vector<Call> calls;
    NTSTATUS stop = STATUS_INVALID_DEVICE_STATE;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {Collect, RTL_QUERY_REGISTRY_SUBKEY, (PWSTR)u"Sub", nullptr, REG_NONE, nullptr, 0}, // every value of Sub
        {Collect, 0, (PWSTR)u"Inner", nullptr, REG_NONE, nullptr, 0},                         // still in Sub
        {Collect, RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_DELETE, (PWSTR)u"Dword", nullptr, REG_NONE, nullptr, 0},
        {Collect, 0, (PWSTR)u"Inner", nullptr, REG_NONE, nullptr, 0}, // not in the top key: skipped
        {},
    };
    ASSERT_EQ(Query(table, &calls), STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].name, u"Inner");
    EXPECT_EQ(calls[1].name, u"Inner");
    EXPECT_EQ(calls[2].name, u"Dword");
    ULONG d;
    EXPECT_FALSE(hk::RegGetDword(kBasePath, "Dword", &d)); // DELETE removed it after the query

    calls.clear();
    RTL_QUERY_REGISTRY_TABLE all[] = {{Collect, 0, nullptr, nullptr, REG_NONE, nullptr, 0}, {}};
    ASSERT_EQ(Query(all, &calls), STATUS_SUCCESS);
    std::vector<std::u16string> names;
    for (const Call &c : calls)
        names.push_back(c.name);
    // Every value in creation order; the multi-string once per string; the empty string as it is.
    EXPECT_EQ(names, (std::vector<std::u16string>{u"String", u"Multi", u"Multi", u"Binary", u"Qword", u"Expand",
                                                  u"Empty"}));

    calls.clear();
    RTL_QUERY_REGISTRY_TABLE failing[] = {
        {Collect, 0, (PWSTR)u"String", &stop, REG_NONE, nullptr, 0},
        {Collect, 0, (PWSTR)u"Binary", nullptr, REG_NONE, nullptr, 0},
        {}};
    EXPECT_EQ(Query(failing, &calls), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(calls.size(), 1u);

    RTL_QUERY_REGISTRY_TABLE missingSub[] = {
        {Collect, RTL_QUERY_REGISTRY_SUBKEY, (PWSTR)u"NoSuch", nullptr, REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(Query(missingSub, &calls), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryQuery, RelativeRootsAndHandles)
{
    hk::RegSetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VyrSvc\\Parameters", "Level", 4);
    ULONG level = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, (PWSTR)u"Level", &level, REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"VyrSvc\\Parameters", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(level, 4u);

    HANDLE h;
    ASSERT_EQ(Open(&h, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VyrSvc\\Parameters", KEY_READ),
              STATUS_SUCCESS);
    Keep(h);
    level = 0;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE | RTL_REGISTRY_OPTIONAL, (PCWSTR)h, table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(level, 4u);
    EXPECT_EQ(RtlQueryRegistryValues(17, u"x", table, nullptr, nullptr), STATUS_INVALID_PARAMETER);

    ULONG six = 6;
    // Writing creates the key's last component only.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"VyrSvc\\New", u"Six", REG_DWORD, &six, 4), STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"VyrSvc\\A\\B", u"Six", REG_DWORD, &six, 4),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ULONG read = 0;
    EXPECT_TRUE(hk::RegGetDword("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VyrSvc\\New", "six", &read));
    EXPECT_EQ(read, 6u);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_CONTROL, (PWSTR)u"VyrCtl"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_CONTROL, (PWSTR)u"VyrCtl"), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_CONTROL, (PWSTR)u"VyrCtl"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, u"VyrSvc\\New", u"Six"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, u"VyrSvc\\New", u"Six"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_DEVICEMAP, (PWSTR)u""), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Saving and loading
// ---------------------------------------------------------------------------------------------
// Every key and value below `path`, as text.
void Dump(const std::string &path, std::string *out)
{
    *out += "[" + path + "]\n";
    for (const std::string &name : hk::RegValueNames(path)) {
        hk::RegValue v;
        EXPECT_TRUE(hk::RegGetValue(path, name, &v));
        *out += name + "=" + std::to_string(v.type) + ":";
        for (uint8_t b : v.data)
            *out += std::to_string(b) + ",";
        *out += "\n";
    }
    for (const std::string &sub : hk::RegSubKeys(path))
        Dump(path + "\\" + sub, out);
}

std::string TempFile()
{
    char file[] = "/tmp/vyr-hive-XXXXXX";
    int fd = mkstemp(file);
    EXPECT_GE(fd, 0);
    close(fd);
    return file;
}

std::string ReadFile(const std::string &file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(Registry, SaveAndLoadRoundTripEveryValue)
{
    const std::string key = std::string(kBasePath) + "\\Odd ]%[ n\xc3\xa4me";
    hk::RegSetDword(key, "Dword", 0xDEADBEEF);
    hk::RegSetValue(key, "Qword", hk::RegValue{REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 0xFF}});
    hk::RegSetString(key, "Quote \"and\" \\back\\slash\nnewline", "t\xc3\xa9xt with \"quotes\" and \\");
    hk::RegSetString(key, "Expand", "%SystemRoot%\\System32", REG_EXPAND_SZ);
    hk::RegSetMultiString(key, "Multi", {"a", "b c", "\xe2\x82\xac"});
    hk::RegSetMultiString(key, "EmptyMulti", {});
    hk::RegSetValue(key, "OddSz", hk::RegValue{REG_SZ, {'a', 0, 'b'}});            // odd length
    hk::RegSetValue(key, "NoTerm", hk::RegValue{REG_SZ, {'a', 0}});               // no terminator
    hk::RegSetValue(key, "Embedded", hk::RegValue{REG_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0}});
    hk::RegSetValue(key, "Surrogate", hk::RegValue{REG_SZ, {0x00, 0xD8, 0, 0}}); // a lone surrogate
    hk::RegSetValue(key, "ShortDword", hk::RegValue{REG_DWORD, {1, 2}});
    hk::RegSetValue(key, "None", hk::RegValue{REG_NONE, {}});
    hk::RegSetValue(key, "Custom", hk::RegValue{0xFFFFFFFF, {0, 0xFF}});
    hk::RegSetValue(key, "", hk::RegValue{REG_BINARY, {}});
    hk::RegCreateKey(key + "\\Empty\\Deeper");
    hk::RegCreateKey("\\Registry\\User\\.Default\\UserKey");

    std::string before;
    Dump("\\Registry", &before);
    std::string file = TempFile();
    ASSERT_TRUE(hk::RegSave(file));
    hk::RegReset();
    EXPECT_FALSE(hk::RegKeyExists(key));
    ASSERT_TRUE(hk::RegLoad(file));
    std::string after;
    Dump("\\Registry", &after);
    EXPECT_EQ(after, before);
    // Saving the loaded hive gives the same file.
    std::string again = TempFile();
    ASSERT_TRUE(hk::RegSave(again));
    EXPECT_EQ(ReadFile(again), ReadFile(file));
    unlink(file.c_str());
    unlink(again.c_str());
}

TEST_F(Registry, LoadRejectsADamagedFileAndKeepsTheHive)
{
    hk::RegSetDword(kBasePath, "Before", 1);
    std::string before;
    Dump("\\Registry", &before);
    const char *damaged[] = {
        "\"Value\"=dword:00000001\n",                                     // a value outside any key
        "[\\Registry\\Machine\\X]\n\"V\"=dword:1234567890\n",             // too large for a DWORD
        "[\\Registry\\Machine\\X]\n\"V\"=hex(3):01,0g\n",                 // not hex
        "[\\Registry\\Machine\\X]\n\"V\"=hex(3):01,02,\n",                // dangling comma
        "[\\Registry\\Machine\\X]\n\"V\"=sz:\"unterminated\n",
        "[\\Registry\\Machine\\X]\n\"V\"=text:\"x\"\n",                   // unknown kind
        "[\\Registry\\Machine\\X]\n\"V\"=sz:\"\\q\"\n",                   // unknown escape
        "[\\Registry\\Machine\\X]\n\"V\"=dword:1\n\"v\"=dword:2\n",       // the same value twice
        "[\\Registry\\Elsewhere\\X]\n",                                   // no such hive
        "[\\Registry\\Machine\\X\n",                                      // unclosed key line
        "[\\Registry\\Machine\\%u00zz]\n",                                // bad key escape
    };
    for (const char *text : damaged) {
        SCOPED_TRACE(text);
        std::string file = TempFile();
        std::ofstream(file) << text;
        EXPECT_FALSE(hk::RegLoad(file));
        unlink(file.c_str());
        std::string after;
        Dump("\\Registry", &after);
        EXPECT_EQ(after, before);
    }
    EXPECT_FALSE(hk::RegLoad("/nonexistent/dir/hive.txt"));
}

TEST(RegistryPaths, NormalizeKeyPath)
{
    struct Case {
        const char *in, *out;
    } cases[] = {
        {"\\Registry\\Machine\\System", "\\Registry\\Machine\\System"},
        {"\\REGISTRY\\MACHINE\\System\\", "\\Registry\\Machine\\System"},
        {"HKLM\\Software\\\\Vyr", "\\Registry\\Machine\\Software\\Vyr"},
        {"HKEY_LOCAL_MACHINE\\x", "\\Registry\\Machine\\x"},
        {"hku\\.Default", "\\Registry\\User\\.Default"},
        {"Registry\\user", "\\Registry\\User"},
        {"", "\\"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(hk::internal::NormalizeKeyPath(c.in), c.out) << c.in;
    hk::RegReset();
    hk::RegSetDword("HKLM\\Software\\Alias", "V", 1);
    EXPECT_TRUE(hk::RegKeyExists("\\registry\\machine\\SOFTWARE\\alias"));
    EXPECT_THROW(hk::RegCreateKey("\\Device\\Tape0"), std::invalid_argument);
    EXPECT_THROW(hk::RegCreateKey("\\Registry\\NewHive\\Key"), std::invalid_argument);
    hk::RegReset();
}

} // namespace
