// The path filter's debug trace (line formats, depth, concurrency) and the identification-page
// walk that yields the WWNN, both called directly.
#include "debug.h"
#include "wwnn.h"

#include "hk/host.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Brings the shared depth to `target` with real entry and exit traces, then forgets their lines.
void SetDepth(LONG target)
{
    while (CmnTraceDepth() < target)
        CmnTraceEntry("x.c", 1, "up\n");
    while (CmnTraceDepth() > target)
        CmnTraceExit("x.c", 1, "down\n");
    hk::ClearDebugOutput();
}

NTSTATUS Append(char *buffer, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS status = CmnTraceAppend(buffer, format, args);
    va_end(args);
    return status;
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override { SetDepth(0); }
    void TearDown() override { SetDepth(0); }
};

enum class Kind { Entry, Exit, Inside };

struct LineCase {
    Kind kind;
    LONG depth;
    const char *file;
    const char *expected;
    LONG depthAfter;
};

TEST_F(TraceTest, LinesKeepTheArrowWidthAsDepthsGrow)
{
    const LineCase cases[] = {
        {Kind::Entry, 0, "c:\\src\\dpf\\dpfpnp.c", "VYRTpFlt: ENT: 0 -> 1: dpfpnp.c, 42: FltRoutine: in", 1},
        {Kind::Entry, 8, "dpfpnp.c", "VYRTpFlt: ENT: 8 -> 9: dpfpnp.c, 42: FltRoutine: in", 9},
        {Kind::Entry, 9, "dpfpnp.c", "VYRTpFlt: ENT: 9 ->10: dpfpnp.c, 42: FltRoutine: in", 10},
        {Kind::Entry, 10, "dpfpnp.c", "VYRTpFlt: ENT: 10->11: dpfpnp.c, 42: FltRoutine: in", 11},
        {Kind::Entry, 12, "dpfpnp.c", "VYRTpFlt: ENT: 12->13: dpfpnp.c, 42: FltRoutine: in", 13},
        {Kind::Exit, 1, "dpfpnp.c", "VYRTpFlt: EXT: 1 -> 0: dpfpnp.c, 42: FltRoutine: in", 0},
        {Kind::Exit, 9, "dpfpnp.c", "VYRTpFlt: EXT: 9 -> 8: dpfpnp.c, 42: FltRoutine: in", 8},
        {Kind::Exit, 10, "dpfpnp.c", "VYRTpFlt: EXT: 10-> 9: dpfpnp.c, 42: FltRoutine: in", 9},
        {Kind::Exit, 11, "dpfpnp.c", "VYRTpFlt: EXT: 11->10: dpfpnp.c, 42: FltRoutine: in", 10},
        {Kind::Exit, 12, "dpfpnp.c", "VYRTpFlt: EXT: 12->11: dpfpnp.c, 42: FltRoutine: in", 11},
        {Kind::Inside, 12, "dpfpnp.c", "VYRTpFlt: DBG:         dpfpnp.c, 42: FltRoutine: in", 12},
        {Kind::Inside, 0, "d:\\b\\src\\dpf\\filter\\dpfpnp.c", "VYRTpFlt: DBG:         dpfpnp.c, 42: FltRoutine: in", 0},
        {Kind::Inside, 0, "/build/src/drv/dpf/dpfpnp.c", "VYRTpFlt: DBG:         dpfpnp.c, 42: FltRoutine: in", 0},
        {Kind::Inside, 0, "dpfpnp.c", "VYRTpFlt: DBG:         dpfpnp.c, 42: FltRoutine: in", 0},
        {Kind::Inside, 0, "dir\\", "VYRTpFlt: DBG:         , 42: FltRoutine: in", 0},
    };
    for (const LineCase &c : cases) {
        SCOPED_TRACE(c.expected);
        SetDepth(c.depth);
        switch (c.kind) {
        case Kind::Entry: CmnTraceEntry(c.file, 42, "FltRoutine: %s\n", "in"); break;
        case Kind::Exit: CmnTraceExit(c.file, 42, "FltRoutine: %s\n", "in"); break;
        case Kind::Inside: CmnTraceInside(c.file, 42, "FltRoutine: %s\n", "in"); break;
        }
        EXPECT_EQ(hk::DebugOutput(), std::vector<std::string>{c.expected});
        EXPECT_EQ(CmnTraceDepth(), c.depthAfter);
    }
}

TEST_F(TraceTest, StandardFailureAndNullLines)
{
    CmnTraceFailure("c:\\src\\dpfpnp.c", 310, "FltIrpMnStartDevice: CmnSendIrpSync", (NTSTATUS)0xC0000010L);
    CmnTraceNull("c:\\src\\dpfpnp.c", 311, "FltDispatchPnP: pIrpStack");
    EXPECT_EQ(hk::DebugOutput(),
              (std::vector<std::string>{
                  "VYRTpFlt: DBG:         dpfpnp.c, 310: FltIrpMnStartDevice: CmnSendIrpSync failed with RC = 0xc0000010",
                  "VYRTpFlt: DBG:         dpfpnp.c, 311: FltDispatchPnP: pIrpStack == NULL.",
              }));
    EXPECT_EQ(CmnTraceDepth(), 0);
}

TEST_F(TraceTest, LongMessageIsCutToTheLineBufferAndStillEmitted)
{
    std::string longText(400, 'm');
    CmnTraceInside("dpfpnp.c", 7, "%s\n", longText.c_str());
    std::vector<std::string> lines = hk::DebugOutput();
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = "VYRTpFlt: DBG:         dpfpnp.c, 7: ";
    EXPECT_EQ(lines[0], prefix + std::string(DEBUG_BUFFER_SIZE - 1 - prefix.size(), 'm'));
    hk::ClearDebugOutput();

    // The append itself: what fits goes in whole, what does not is cut and reported.
    struct AppendCase {
        size_t alreadyUsed;
        const char *text;
        NTSTATUS status;
        size_t lengthAfter;
    };
    const AppendCase appends[] = {
        {0, "abc", STATUS_SUCCESS, 3},
        {DEBUG_BUFFER_SIZE - 4, "abc", STATUS_SUCCESS, DEBUG_BUFFER_SIZE - 1},
        {DEBUG_BUFFER_SIZE - 4, "abcd", STATUS_BUFFER_OVERFLOW, DEBUG_BUFFER_SIZE - 1},
        {DEBUG_BUFFER_SIZE - 1, "a", STATUS_BUFFER_OVERFLOW, DEBUG_BUFFER_SIZE - 1},
        {DEBUG_BUFFER_SIZE - 1, "", STATUS_SUCCESS, DEBUG_BUFFER_SIZE - 1},
    };
    for (const AppendCase &a : appends) {
        SCOPED_TRACE(a.alreadyUsed);
        char buffer[DEBUG_BUFFER_SIZE + 8];
        memset(buffer, 'g', sizeof buffer); // guard bytes past the line buffer
        memset(buffer, 'u', a.alreadyUsed);
        buffer[a.alreadyUsed] = 0;
        EXPECT_EQ(Append(buffer, "%s", a.text), a.status);
        EXPECT_EQ(strlen(buffer), a.lengthAfter);
        EXPECT_EQ(std::string(buffer + DEBUG_BUFFER_SIZE, 8), std::string(8, 'g'));
    }
}

TEST(TraceNames, CodesBeyondTheTablesPrintQuestionMarks)
{
    struct NameCase {
        const char *actual;
        const char *expected;
    };
    const NameCase cases[] = {
        {CmnPnpMinorName(0x00), "IRP_MN_START_DEVICE"},
        {CmnPnpMinorName(0x0E), "IRP_MN_VALUE UNKNOWN"},
        {CmnPnpMinorName(0x17), "IRP_MN_SURPRISE_REMOVAL"},
        {CmnPnpMinorName(0x18), "IRP_MN_QUERY_LEGACY_BUS_INFORMATION"},
        {CmnPnpMinorName(0x19), "???"},
        {CmnPnpMinorName(0xFF), "???"},
        {CmnPowerMinorName(0), "IRP_MN_WAIT_WAKE"},
        {CmnPowerMinorName(3), "IRP_MN_QUERY_POWER"},
        {CmnPowerMinorName(4), "???"},
        {CmnStatusName(1), "STATUS_WAIT_1"},
        {CmnStatusName(3), "STATUS_WAIT_3"},
        {CmnStatusName(0x103), "STATUS_PENDING"},
        {CmnStatusName(0), "???"},
        {CmnBooleanName(TRUE), "TRUE"},
        {CmnBooleanName(FALSE), "FALSE"},
    };
    for (const NameCase &c : cases)
        EXPECT_STREQ(c.actual, c.expected);
}

// Several threads trace nested routines at once: every captured line must be exactly one of the
// three forms, with the message of the thread that wrote it and consistent depths.
TEST_F(TraceTest, ConcurrentRoutinesNeverMixTheirLines)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            std::string payload(120, (char)('a' + t));
            for (int r = 0; r < kRounds; r++) {
                CmnTraceEntry("c:\\src\\dpfio.c", 10, "worker %d round %d %s\n", t, r, payload.c_str());
                CmnTraceInside("c:\\src\\dpfio.c", 11, "worker %d round %d %s\n", t, r, payload.c_str());
                CmnTraceExit("c:\\src\\dpfio.c", 12, "worker %d round %d %s\n", t, r, payload.c_str());
            }
        });
    }
    for (std::thread &th : threads)
        th.join();

    std::vector<std::string> lines = hk::DebugOutput();
    ASSERT_EQ(lines.size(), (size_t)kThreads * kRounds * 3);
    // With at most eight routines entered at once every depth has one digit: " -> " throughout.
    const std::regex form("VYRTpFlt: (?:ENT: (\\d) -> (\\d): |EXT: (\\d) -> (\\d): |DBG:         )"
                          "dpfio\\.c, (1[012]): worker (\\d) round (\\d+) ([a-z]+)");
    std::vector<int> perThread(kThreads, 0);
    for (const std::string &line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, form)) << line;
        int t = std::stoi(m[6]);
        ASSERT_LT(t, kThreads) << line;
        EXPECT_EQ(m[8].str(), std::string(120, (char)('a' + t))) << line;
        if (m[1].matched) {
            EXPECT_EQ(std::stoi(m[2]), std::stoi(m[1]) + 1) << line;
            EXPECT_LT(std::stoi(m[1]), kThreads) << line;
            EXPECT_EQ(m[5].str(), "10") << line;
        } else if (m[3].matched) {
            EXPECT_EQ(std::stoi(m[4]), std::stoi(m[3]) - 1) << line;
            EXPECT_LE(std::stoi(m[3]), kThreads) << line;
            EXPECT_EQ(m[5].str(), "12") << line;
        } else {
            EXPECT_EQ(m[5].str(), "11") << line;
        }
        perThread[t]++;
    }
    EXPECT_EQ(perThread, std::vector<int>(kThreads, kRounds * 3));
    EXPECT_EQ(CmnTraceDepth(), 0);
}

// ---------------------------------------------------------------------------------------------
// The identification-page walk
// ---------------------------------------------------------------------------------------------

// A page whose last byte is the last readable byte of memory: any read past it faults.
class GuardedPage {
public:
    GuardedPage()
    {
        size_t pageSize = (size_t)sysconf(_SC_PAGESIZE);
        map_ = mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map_ == MAP_FAILED)
            abort();
        size_ = 2 * pageSize;
        mprotect((char *)map_ + pageSize, pageSize, PROT_NONE);
        bytes_ = (UCHAR *)map_ + pageSize - DEVICE_IDENTIFICATION_PAGE_LENGTH;
        memset(bytes_, 0, DEVICE_IDENTIFICATION_PAGE_LENGTH);
    }
    ~GuardedPage() { munmap(map_, size_); }
    GuardedPage(const GuardedPage &) = delete;
    GuardedPage &operator=(const GuardedPage &) = delete;
    UCHAR *bytes() { return bytes_; }

private:
    void *map_ = nullptr;
    size_t size_ = 0;
    UCHAR *bytes_ = nullptr;
};

// Page builders. `at` is the offset of a descriptor's first header byte (the walk looks at at + 1).
void Descriptor(UCHAR *page, int at, UCHAR associationAndType, std::vector<UCHAR> designator)
{
    page[at] = 0x01; // binary code set
    page[at + 1] = associationAndType;
    page[at + 3] = (UCHAR)designator.size();
    for (size_t i = 0; i < designator.size(); i++)
        page[at + 4 + i] = designator[i];
}

// A vendor descriptor that sends the walk from index `from` to index `to` (indexes are byte 1).
void Hop(UCHAR *page, int from, int to)
{
    int length = to - from - 4;
    ASSERT_TRUE(length >= 0 && length <= 255) << from << " -> " << to;
    page[from] = 0x00;
    page[from + 2] = (UCHAR)length;
}

const std::vector<UCHAR> kNaa8 = {0x51, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

struct WalkCase {
    const char *name;
    void (*build)(UCHAR *page);
    NTSTATUS status;
    const char *text; // the text after the walk; it starts as "previous"
};

const WalkCase kWalkCases[] = {
    {"vendor designator, then the logical unit's NAA",
     [](UCHAR *p) {
         Descriptor(p, 4, 0x00, std::vector<UCHAR>(12, 0x03)); // designator bytes that look like NAA
         Descriptor(p, 20, 0x03, kNaa8);
     },
     STATUS_SUCCESS, "5123456789abcdef"},
    {"NAA first, with the protocol identifier bit set",
     [](UCHAR *p) { Descriptor(p, 4, 0x83, {0x0A, 0x0B, 0x0C, 0x0D}); },
     STATUS_SUCCESS, "0a0b0c0d"},
    {"target-port NAA is skipped", [](UCHAR *p) { Descriptor(p, 4, 0x13, kNaa8); }, STATUS_DATA_ERROR, "previous"},
    {"target-port NAA skipped, logical-unit NAA taken",
     [](UCHAR *p) {
         Descriptor(p, 4, 0x13, {1, 2, 3, 4, 5, 6, 7, 8});
         Descriptor(p, 16, 0x03, kNaa8);
     },
     STATUS_SUCCESS, "5123456789abcdef"},
    {"16-byte NAA", [](UCHAR *p) { Descriptor(p, 4, 0x03, std::vector<UCHAR>(16, 0x60)); }, STATUS_BUFFER_TOO_SMALL,
     "previous"},
    {"zero-length NAA", [](UCHAR *p) { Descriptor(p, 4, 0x03, {}); }, STATUS_DATA_ERROR, "previous"},
    {"empty page", [](UCHAR *) {}, STATUS_DATA_ERROR, "previous"},
    {"length 200 moves the walk 204 bytes",
     [](UCHAR *p) {
         Descriptor(p, 4, 0x00, std::vector<UCHAR>(200, 0x00));
         Descriptor(p, 208, 0x03, kNaa8);
     },
     STATUS_SUCCESS, "5123456789abcdef"},
    {"length 200 does not land one byte further",
     [](UCHAR *p) {
         Descriptor(p, 4, 0x00, std::vector<UCHAR>(200, 0x00));
         Descriptor(p, 209, 0x03, {0x40, 0x40, 0x40, 0x40}); // the walk sees its code set byte
     },
     STATUS_DATA_ERROR, "previous"},
    {"walk runs past byte 559",
     [](UCHAR *p) {
         Hop(p, 5, 260);
         Hop(p, 260, 515);
         Hop(p, 515, 770); // length 251
     },
     STATUS_DATA_ERROR, "previous"},
    {"NAA whose designator starts past the page",
     [](UCHAR *p) {
         Hop(p, 5, 264);
         Hop(p, 264, 523);
         Hop(p, 523, 557);
         p[557] = 0x03;
         p[559] = 8;
     },
     STATUS_DATA_ERROR, "previous"},
    {"NAA whose designator runs past the page",
     [](UCHAR *p) {
         Hop(p, 5, 264);
         Hop(p, 264, 523);
         Hop(p, 523, 553);
         p[553] = 0x03;
         p[555] = 8; // bytes 556..563: the last four are not in the page
     },
     STATUS_DATA_ERROR, "previous"},
    {"NAA that ends on the last byte of the page",
     [](UCHAR *p) {
         Hop(p, 5, 264);
         Hop(p, 264, 523);
         Hop(p, 523, 549);
         Descriptor(p, 548, 0x03, {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02, 0x03, 0x04}); // bytes 552..559
     },
     STATUS_SUCCESS, "deadbeef01020304"},
    {"NAA match on byte 558: its length byte is not in the page",
     [](UCHAR *p) {
         Hop(p, 5, 264);
         Hop(p, 264, 523);
         Hop(p, 523, 558);
         p[558] = 0x03;
     },
     STATUS_DATA_ERROR, "previous"},
    {"NAA match on byte 559",
     [](UCHAR *p) {
         Hop(p, 5, 264);
         Hop(p, 264, 523);
         Hop(p, 523, 559);
         p[559] = 0x03;
     },
     STATUS_DATA_ERROR, "previous"},
    {"non-matching descriptor on byte 558 ends the walk",
     [](UCHAR *p) {
         Hop(p, 5, 264);
         Hop(p, 264, 523);
         Hop(p, 523, 558);
         p[558] = 0x00;
         p[559] = 0x03;
     },
     STATUS_DATA_ERROR, "previous"},
};

TEST(WwnnWalk, PageEdgeCases)
{
    for (const WalkCase &c : kWalkCases) {
        SCOPED_TRACE(c.name);
        GuardedPage page;
        c.build(page.bytes());
        char text[WWNN_TEXT_LENGTH] = "previous";
        hk::ClearDebugOutput();
        EXPECT_EQ(FltGetWwnnString(page.bytes(), text), c.status);
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(CmnTraceDepth(), 0);

        std::vector<std::string> lines = hk::DebugOutput();
        ASSERT_FALSE(lines.empty());
        char exitMessage[80];
        snprintf(exitMessage, sizeof exitMessage, "FltGetWwnnString: status 0x%08x, Wwnn %s", (unsigned)c.status, c.text);
        EXPECT_TRUE(lines.back().starts_with("VYRTpFlt: EXT: 1 -> 0: wwnn.cpp, ")) << lines.back();
        EXPECT_TRUE(lines.back().ends_with(exitMessage)) << lines.back();
        bool invalidLine = false;
        for (const std::string &line : lines)
            invalidLine |= line.ends_with("FltGetWwnnString: Invalid index into device ID.  ww_name invalid.");
        EXPECT_EQ(invalidLine, c.status == STATUS_DATA_ERROR);
    }
}

} // namespace
