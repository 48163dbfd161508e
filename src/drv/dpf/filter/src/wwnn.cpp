// The identification-page walk, kept apart from the request plumbing so tests can run it directly.
#include "wwnn.h"

#include "debug.h"

namespace {

// Association 0 (the logical unit) and designator type 3 (NAA), from byte 1 of a descriptor.
constexpr UCHAR kLogicalUnitNaa = 0x03;
constexpr UCHAR kAssociationAndTypeMask = 0x3F;
// Byte 1 of the first descriptor, after the 4-byte page header.
constexpr int kFirstDescriptorIndex = 5;
// A descriptor's header is 4 bytes; its length byte counts the designator only.
constexpr int kDescriptorHeaderLength = 4;
// From byte 1 of a descriptor to its first designator byte.
constexpr int kIndexToDesignator = 3;

} // namespace

NTSTATUS FltGetWwnnString(const UCHAR *pPage, char *szWwnn)
{
    FLT_TRACE_ENTRY("FltGetWwnnString: pPage %p, szWwnn %p\n", (const void *)pPage, (void *)szWwnn);

    const int iLast = DEVICE_IDENTIFICATION_PAGE_LENGTH - 1;
    int iIndex = kFirstDescriptorIndex;
    int iPrevious = -1;
    BOOLEAN fFound = FALSE;

    // The index only grows (a length byte adds at least the header), so the walk ends.
    while (iIndex <= iLast && iPrevious < iIndex) {
        if ((pPage[iIndex] & kAssociationAndTypeMask) == kLogicalUnitNaa) {
            fFound = TRUE;
            break;
        }
        iPrevious = iIndex;
        if (iIndex + OFFSET_FROM_INDEX_TO_LENGTH <= iLast)
            iIndex += pPage[iIndex + OFFSET_FROM_INDEX_TO_LENGTH] + kDescriptorHeaderLength;
    }

    // A match in the last two bytes has no length byte inside the page: it is no designator.
    if (fFound && iIndex + OFFSET_FROM_INDEX_TO_LENGTH >= DEVICE_IDENTIFICATION_PAGE_LENGTH)
        fFound = FALSE;

    NTSTATUS status = STATUS_DATA_ERROR;
    UCHAR ucLength = 0;
    if (fFound) {
        ASSERT(iIndex + OFFSET_FROM_INDEX_TO_LENGTH < DEVICE_IDENTIFICATION_PAGE_LENGTH);
        ucLength = pPage[iIndex + OFFSET_FROM_INDEX_TO_LENGTH];
        iIndex += kIndexToDesignator;
    }

    if (fFound && iIndex < DEVICE_IDENTIFICATION_PAGE_LENGTH && ucLength != 0) {
        if (ucLength > WWNN_MAX_DESIGNATOR_LENGTH) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else if (iIndex + ucLength <= DEVICE_IDENTIFICATION_PAGE_LENGTH) {
            static const char kHex[] = "0123456789abcdef";
            for (int i = 0; i < ucLength; i++) {
                UCHAR b = pPage[iIndex + i];
                szWwnn[2 * i] = kHex[b >> 4];
                szWwnn[2 * i + 1] = kHex[b & 0x0F];
            }
            szWwnn[2 * ucLength] = 0;
            status = STATUS_SUCCESS;
        }
        // Otherwise the designator would run past the end of the page: no name to take.
    }

    if (status == STATUS_DATA_ERROR)
        FLT_TRACE("FltGetWwnnString: Invalid index into device ID.  ww_name invalid.\n");

    FLT_TRACE_EXIT("FltGetWwnnString: status 0x%08x, Wwnn %s\n", (unsigned)status, szWwnn);
    return status;
}
