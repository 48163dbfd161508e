// The bus's generic sorted list, linked into the test directly.
#include "bus.h"
#include "kernel_fixture.h"

#include <string>
#include <vector>

namespace vyr::test {
namespace {

constexpr ULONG kNodeTag = hk::MakeTag("Tnod");

struct Node {
    Node *pNext;
    LONG s32;
    signed char s8;
    UCHAR pad[3];
    ULONG64 u64;
    char text[12];
    int id; // not a key: tells equal nodes apart
};

constexpr SortedListKey kS32{SORTED_KEY_S32, offsetof(Node, s32)};
constexpr SortedListKey kS32Alt{SORTED_KEY_S32_ALT, offsetof(Node, s32)};
constexpr SortedListKey kS8{SORTED_KEY_S8, offsetof(Node, s8)};
constexpr SortedListKey kU64{SORTED_KEY_U64, offsetof(Node, u64)};
constexpr SortedListKey kText{SORTED_KEY_STRING, offsetof(Node, text)};

class SortedListTest : public KernelTest {
protected:
    void TearDown() override
    {
        SortedListRemove((PVOID *)&head_, nullptr, nullptr, 0, kNodeTag);
        KernelTest::TearDown();
    }
    Node *Make(int id, LONG s32 = 0, signed char s8 = 0, ULONG64 u64 = 0, const char *text = "")
    {
        auto *n = (Node *)ExAllocatePoolWithTag(NonPagedPool, sizeof(Node), kNodeTag);
        memset(n, 0, sizeof *n);
        n->id = id;
        n->s32 = s32;
        n->s8 = s8;
        n->u64 = u64;
        snprintf(n->text, sizeof n->text, "%s", text);
        return n;
    }
    NTSTATUS Insert(Node *n, std::initializer_list<SortedListKey> keys, bool refuse = false, BOOLEAN *inserted = nullptr)
    {
        std::vector<SortedListKey> k(keys);
        BOOLEAN done = FALSE;
        NTSTATUS status = SortedListInsert((PVOID *)&head_, n, k.data(), (ULONG)k.size(), refuse, &done);
        if (inserted)
            *inserted = done;
        if (!done)
            ExFreePoolWithTag(n, kNodeTag);
        return status;
    }
    std::vector<int> Ids() const
    {
        std::vector<int> ids;
        for (Node *n = head_; n; n = n->pNext)
            ids.push_back(n->id);
        return ids;
    }
    Node *head_ = nullptr;
};

TEST_F(SortedListTest, OrdersByEachKeyKind)
{
    struct Case {
        const char *what;
        SortedListKey key;
        std::vector<Node> values; // only the key fields matter
        std::vector<int> order;
    };
    auto v = [](LONG s32, signed char s8, ULONG64 u64, const char *text) {
        Node n{};
        n.s32 = s32;
        n.s8 = s8;
        n.u64 = u64;
        snprintf(n.text, sizeof n.text, "%s", text);
        return n;
    };
    const Case cases[] = {
        {"signed 32", kS32, {v(5, 0, 0, ""), v(-7, 0, 0, ""), v(0, 0, 0, "")}, {1, 2, 0}},
        {"signed 32, kind 4", kS32Alt, {v(INT32_MAX, 0, 0, ""), v(INT32_MIN, 0, 0, "")}, {1, 0}},
        {"signed 8", kS8, {v(0, 100, 0, ""), v(0, -100, 0, ""), v(0, 1, 0, "")}, {1, 2, 0}},
        {"unsigned 64", kU64, {v(0, 0, ~0ull, ""), v(0, 0, 1, ""), v(0, 0, 1ull << 40, "")}, {1, 2, 0}},
        {"string", kText, {v(0, 0, 0, "beta"), v(0, 0, 0, "alpha"), v(0, 0, 0, "alphabet"), v(0, 0, 0, "")}, {3, 1, 2, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        for (size_t i = 0; i < c.values.size(); i++) {
            const Node &x = c.values[i];
            ASSERT_EQ(Insert(Make((int)i, x.s32, x.s8, x.u64, x.text), {c.key}), STATUS_SUCCESS);
        }
        EXPECT_EQ(Ids(), c.order);
        ASSERT_EQ(SortedListRemove((PVOID *)&head_, nullptr, nullptr, 0, kNodeTag), STATUS_SUCCESS);
        EXPECT_EQ(head_, nullptr);
    }
}

TEST_F(SortedListTest, LaterKeysBreakTiesAndDuplicatesFollowOrAreRefused)
{
    ASSERT_EQ(Insert(Make(0, 1, 0, 0, "b"), {kS32, kText}), STATUS_SUCCESS);
    ASSERT_EQ(Insert(Make(1, 1, 0, 0, "a"), {kS32, kText}), STATUS_SUCCESS);
    ASSERT_EQ(Insert(Make(2, 0, 0, 0, "z"), {kS32, kText}), STATUS_SUCCESS);
    ASSERT_EQ(Insert(Make(3, 1, 0, 0, "a"), {kS32, kText}), STATUS_SUCCESS); // equal to 1: after it
    EXPECT_EQ(Ids(), (std::vector<int>{2, 1, 3, 0}));

    BOOLEAN inserted = TRUE;
    ASSERT_EQ(Insert(Make(4, 1, 0, 0, "a"), {kS32, kText}, /*refuse=*/true, &inserted), STATUS_SUCCESS);
    EXPECT_FALSE(inserted);
    ASSERT_EQ(Insert(Make(5, 1, 0, 0, "c"), {kS32, kText}, /*refuse=*/true, &inserted), STATUS_SUCCESS);
    EXPECT_TRUE(inserted);
    EXPECT_EQ(Ids(), (std::vector<int>{2, 1, 3, 0, 5}));

    // Removal takes the first node equal in all keys and frees it.
    Node probe{};
    probe.s32 = 1;
    snprintf(probe.text, sizeof probe.text, "a");
    const SortedListKey keys[] = {kS32, kText};
    EXPECT_EQ(SortedListRemove((PVOID *)&head_, &probe, keys, 2, kNodeTag), STATUS_SUCCESS);
    EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 0, 5}));
    snprintf(probe.text, sizeof probe.text, "q");
    EXPECT_EQ(SortedListRemove((PVOID *)&head_, &probe, keys, 2, kNodeTag), STATUS_NOT_FOUND);
    EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 0, 5}));
}

TEST_F(SortedListTest, UnknownKeyKindsAreRefused)
{
    ASSERT_EQ(Insert(Make(0, 3), {kS32}), STATUS_SUCCESS);
    for (ULONG kind : {2u, 3u, 7u, 100u}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(Insert(Make(1), {SortedListKey{kind, 0}}), STATUS_INVALID_PARAMETER);
        Node probe{};
        SortedListKey bad{kind, 0};
        EXPECT_EQ(SortedListRemove((PVOID *)&head_, &probe, &bad, 1, kNodeTag), STATUS_INVALID_PARAMETER);
    }

    // (A descriptor copy that fails for lack of pool is driven through registration, where the
    // verifier can fail the driver's allocations.)
    Node probe{};
    probe.s32 = 3;
    EXPECT_EQ(SortedListRemove((PVOID *)&head_, &probe, &kS32, 1, kNodeTag), STATUS_SUCCESS);
    EXPECT_EQ(head_, nullptr);
}

} // namespace
} // namespace vyr::test
