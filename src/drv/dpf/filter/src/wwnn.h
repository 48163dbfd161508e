// The world-wide node name from the SCSI Device Identification VPD page (page 0x83).
#pragma once

#include "kernel.h"

// Size of the page buffer the filter asks the class driver to fill.
#define DEVICE_IDENTIFICATION_PAGE_LENGTH 560
// Distance from the walk's index (byte 1 of a designation descriptor) to the descriptor's length.
#define OFFSET_FROM_INDEX_TO_LENGTH 2
// Longest NAA designator that fits the 16 hexadecimal characters of a WWNN.
#define WWNN_MAX_DESIGNATOR_LENGTH 8
#define WWNN_TEXT_LENGTH (2 * WWNN_MAX_DESIGNATOR_LENGTH + 1)

/*++
Routine Description:
    Walks the designation descriptors of the page for the first NAA designator of the logical unit
    and writes it as lowercase hexadecimal text. Nothing outside the page is read, whatever its
    length bytes say.

Arguments:
    pPage  - the page, DEVICE_IDENTIFICATION_PAGE_LENGTH bytes.
    szWwnn - text of WWNN_TEXT_LENGTH characters, terminated; changed only on success.

Return Value:
    STATUS_SUCCESS; STATUS_BUFFER_TOO_SMALL for a designator longer than 8 bytes;
    STATUS_DATA_ERROR when there is none, it is empty, or it does not lie inside the page.
--*/
NTSTATUS FltGetWwnnString(const UCHAR *pPage, char *szWwnn);
