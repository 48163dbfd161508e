// What the drive tells about itself and how it is set: INQUIRY and its VPD pages, READ BLOCK
// LIMITS, REPORT LUNS, MODE SENSE/SELECT (block descriptor, data compression page 0x0F, device
// configuration page 0x10, the key request page 0x25/0xFF) and SEND DIAGNOSTIC.
#include "tapeint.h"
#include "vyr/scsiident.h"

namespace {

// Pages 0x0F and 0x10 as the drive comes up, and which bits a MODE SELECT may change. Bytes 0-1
// are the page header; the rest is compared under the mask, so a select that tries to change a
// fixed bit is refused instead of silently ignored.
const UCHAR TapepCompressionDefault[TAPE_MODE_PAGE_LENGTH] = {
    0x0F, 0x0E, 0xC0, 0x80, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0};
const UCHAR TapepCompressionMask[TAPE_MODE_PAGE_LENGTH] = {
    0, 0, 0x80, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; // DCE, DDE
const UCHAR TapepConfigurationDefault[TAPE_MODE_PAGE_LENGTH] = {
    0x10, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x00, 0x00, 0x00, 0x01, 0x00};
const UCHAR TapepConfigurationMask[TAPE_MODE_PAGE_LENGTH] = {
    0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0, 0x08, 0, 0, 0, 0xFF, 0}; // ratios, write delay, REW, SEW, compression

enum : UCHAR { PC_CURRENT = 0, PC_CHANGEABLE = 1, PC_DEFAULT = 2, PC_SAVED = 3 };

struct TapeSimplePage {
    UCHAR Page;
    const UCHAR *Default;
    const UCHAR *Mask;
    SIZE_T CurrentOffset; // of the current values in TapeDrive
};
const TapeSimplePage TapepSimplePages[] = {
    {0x0F, TapepCompressionDefault, TapepCompressionMask, (SIZE_T)FIELD_OFFSET(TapeDrive, CompressionPage)},
    {0x10, TapepConfigurationDefault, TapepConfigurationMask, (SIZE_T)FIELD_OFFSET(TapeDrive, ConfigurationPage)},
};

UCHAR *TapepCurrentPage(TapeDrive *Drive, const TapeSimplePage &Page)
{
    return (UCHAR *)Drive + Page.CurrentOffset;
}

const TapeSimplePage *TapepFindSimplePage(UCHAR Page)
{
    for (const TapeSimplePage &p : TapepSimplePages)
        if (p.Page == Page)
            return &p;
    return nullptr;
}

VOID TapepAppendSimplePage(TapeDrive *Drive, const TapeSimplePage &Page, UCHAR Control, UCHAR *Out)
{
    if (Control == PC_CHANGEABLE) {
        RtlCopyMemory(Out, Page.Mask, TAPE_MODE_PAGE_LENGTH);
        Out[0] = Page.Page;
        Out[1] = TAPE_MODE_PAGE_LENGTH - 2;
    } else if (Control == PC_DEFAULT) {
        RtlCopyMemory(Out, Page.Default, TAPE_MODE_PAGE_LENGTH);
    } else {
        RtlCopyMemory(Out, TapepCurrentPage(Drive, Page), TAPE_MODE_PAGE_LENGTH);
    }
}

// The key request message (mode page 0x25 subpage 0xFF, layout in tapedrive.h). Reading the
// current page delivers the message: a key-path check raised by the diagnostic is answered by that.
// Only the first 4 + TAPE_KEY_SENSE_PAGE_LENGTH bytes are built here; the vendor bytes of a
// lengthened page follow them (TapepReturnKeyTail).
ULONG TapepAppendKeyPage(TapeDrive *Drive, UCHAR Control, UCHAR *Out)
{
    RtlZeroMemory(Out, 4 + TAPE_KEY_SENSE_PAGE_LENGTH);
    Out[0] = 0x40 | TAPE_KEY_PAGE;
    Out[1] = TAPE_KEY_SUBPAGE;
    TapePut16(Out + 2, Drive->KeyPageLength);
    if (Control != PC_CURRENT)
        return 4 + TAPE_KEY_SENSE_PAGE_LENGTH; // nothing in the message is a setting
    UCHAR *d = Out + 4;
    TapePut32(d + 0, (ULONG)Drive->KeyPageLength - 4);
    TapePut32(d + 4, TAPE_KEY_MESSAGE_FORMAT);
    TapePut32(d + 8, Drive->KeyRequestSequence);
    d[12] = Drive->KeyRequestPending ? 1 : 0;
    d[13] = Drive->KeyRequestPending ? Drive->KeyRequestReason : TAPE_KEY_REASON_NONE;
    d[14] = (Drive->KeyManaged ? 0x01 : 0) | (Drive->KeyLoaded ? 0x02 : 0);
    d[15] = Drive->KeyLength;
    for (ULONG i = 0; i < TAPE_SERIAL_LENGTH; i++)
        d[16 + i] = i < Drive->SerialLength ? (UCHAR)Drive->Serial[i] : ' ';
    RtlCopyMemory(d + 48, Drive->WwnnText, TAPE_WWNN_LENGTH);
    RtlCopyMemory(d + 64, Drive->Product, sizeof(Drive->Product));
    UCHAR *echo = d + TAPE_KEY_ECHO_OFFSET;
    echo[0] = d[12];
    echo[1] = d[13];
    TapePut32(echo + 4, Drive->KeyRequestSequence);
    for (ULONG i = 0; i < 12; i++) {
        LONG from = (LONG)Drive->SerialLength - 12 + (LONG)i;
        echo[8 + i] = from >= 0 ? (UCHAR)Drive->Serial[from] : ' ';
    }
    if (Drive->KeyRequestPending && Drive->KeyRequestReason == TAPE_KEY_REASON_CHECK) {
        Drive->KeyRequestPending = FALSE;
        Drive->KeyRequestReason = TAPE_KEY_REASON_NONE;
        Drive->DiagnosticAnswered = TAPE_KEY_REASON_CHECK;
    }
    return 4 + TAPE_KEY_SENSE_PAGE_LENGTH;
}

// The answer of a MODE SENSE runs on past the At bytes built in Answered into the vendor bytes of
// a lengthened key request page (the page's last bytes, so the answer's). They may run to nearly
// 64 KiB, too much for the stack: they go straight into the initiator's buffer, clipped to Total
// (the allocation length or the answer's end) and to the buffer.
VOID TapepReturnKeyTail(TapeCommand *Cmd, const UCHAR *Answered, ULONG At, ULONG Total, BOOLEAN Current)
{
    TapeReturnData(Cmd, Answered, Total < At ? Total : At);
    ULONG end = Total < Cmd->InLength ? Total : Cmd->InLength;
    auto *out = (UCHAR *)Cmd->Request->Data;
    // Page data offset of the first vendor byte, which sits at answer offset At.
    const ULONG first = TAPE_KEY_SENSE_PAGE_LENGTH;
    for (ULONG i = At; i < end; i++)
        out[i] = Current ? (UCHAR)(first + (i - At)) : 0;
    if (end > At)
        Cmd->Request->DataTransferred = end;
}

// Raises a key request (a new one unless one of the same reason is pending) and reports it.
VOID TapepRequestKey(TapeCommand *Cmd, UCHAR Reason)
{
    TapeDrive *drive = Cmd->Drive;
    if (!drive->KeyRequestPending || drive->KeyRequestReason != Reason) {
        drive->KeyRequestSequence++;
        drive->KeyRequestPending = TRUE;
        drive->KeyRequestReason = Reason;
    }
    TapeFail(Cmd, SK_DATA_PROTECT, TAPE_ASC_KEY_REQUEST, Reason);
}

// Checks a key page of a MODE SELECT (page header at Page, Length bytes after it, at parameter
// list offset Offset). Returns the parameter list offset of the first bad byte, or -1.
LONG TapepCheckKeySelect(const TapeDrive *Drive, const UCHAR *Page, ULONG Length, ULONG Offset)
{
    const UCHAR *d = Page + 4;
    if (!Drive->KeyManaged)
        return (LONG)Offset;
    if (Length < TAPE_KEY_SELECT_MIN_LENGTH)
        return (LONG)Offset + 2;
    if (TapeGet32(d + 4) != TAPE_KEY_MESSAGE_FORMAT)
        return (LONG)Offset + 4 + 4;
    ULONG sequence = TapeGet32(d + 8);
    if (sequence != 0 && sequence != Drive->KeyRequestSequence)
        return (LONG)Offset + 4 + 8;
    UCHAR function = d[12];
    if (function != TAPE_KEY_FUNCTION_SET && function != TAPE_KEY_FUNCTION_CLEAR)
        return (LONG)Offset + 4 + 12;
    USHORT keyLength = TapeGet16(d + 14);
    if (function == TAPE_KEY_FUNCTION_SET && (keyLength == 0 || keyLength > TAPE_MAX_KEY_LENGTH))
        return (LONG)Offset + 4 + 14;
    return -1;
}

VOID TapepApplyKeySelect(TapeDrive *Drive, const UCHAR *Page)
{
    const UCHAR *d = Page + 4;
    if (d[12] == TAPE_KEY_FUNCTION_CLEAR) {
        Drive->KeyLoaded = FALSE;
        Drive->KeyLength = 0;
        RtlZeroMemory(Drive->Key, sizeof(Drive->Key));
        return;
    }
    Drive->KeyLength = (UCHAR)TapeGet16(d + 14);
    RtlZeroMemory(Drive->Key, sizeof(Drive->Key));
    RtlCopyMemory(Drive->Key, d + 16, Drive->KeyLength);
    Drive->KeyLoaded = TRUE;
    if (Drive->KeyRequestPending && Drive->KeyRequestReason != TAPE_KEY_REASON_DATA)
        Drive->DiagnosticAnswered = Drive->KeyRequestReason;
    Drive->KeyRequestPending = FALSE;
    Drive->KeyRequestReason = TAPE_KEY_REASON_NONE;
}

SimScsiIdentity TapepIdentity(const TapeDrive *Drive)
{
    return {0x01, Drive->Vendor, Drive->Product, Drive->Revision, Drive->Serial, Drive->SerialLength,
            Drive->HasWwnn ? Drive->Wwnn : nullptr};
}

} // namespace

VOID TapeInitializeModePages(TapeDrive *Drive)
{
    RtlCopyMemory(Drive->CompressionPage, TapepCompressionDefault, TAPE_MODE_PAGE_LENGTH);
    RtlCopyMemory(Drive->ConfigurationPage, TapepConfigurationDefault, TAPE_MODE_PAGE_LENGTH);
}

BOOLEAN TapeCheckKey(TapeCommand *Cmd)
{
    TapeDrive *drive = Cmd->Drive;
    if (!drive->KeyManaged || drive->KeyLoaded)
        return TRUE;
    TapepRequestKey(Cmd, TAPE_KEY_REASON_DATA);
    return FALSE;
}

VOID TapeCmdInquiry(TapeCommand *Cmd)
{
    const UCHAR *cdb = Cmd->Cdb;
    BOOLEAN evpd = (cdb[1] & 0x01) != 0;
    if (cdb[1] & 0x02) {
        TapeInvalidCdbField(Cmd, 1); // CMDDT
        return;
    }
    if (!evpd && cdb[2] != 0) {
        TapeInvalidCdbField(Cmd, 2);
        return;
    }
    UCHAR data[128];
    ULONG length = 0;
    const SimScsiIdentity identity = TapepIdentity(Cmd->Drive);
    if (!SimBuildInquiryData(&identity, evpd, cdb[2], data, &length)) {
        TapeInvalidCdbField(Cmd, 2);
        return;
    }
    ULONG allocation = TapeGet16(cdb + 3);
    TapeReturnData(Cmd, data, allocation < length ? allocation : length);
}

VOID TapeCmdReadBlockLimits(TapeCommand *Cmd)
{
    UCHAR data[6] = {};
    TapePut24(data + 1, Cmd->Drive->MaxBlock);
    TapePut16(data + 4, 1);
    TapeReturnData(Cmd, data, sizeof(data));
}

VOID TapeCmdReportLuns(TapeCommand *Cmd)
{
    ULONG allocation = TapeGet32(Cmd->Cdb + 6);
    if (Cmd->Cdb[2] > 2) {
        TapeInvalidCdbField(Cmd, 2);
        return;
    }
    if (allocation < 16) {
        TapeInvalidCdbField(Cmd, 6);
        return;
    }
    UCHAR data[16] = {};
    TapePut32(data, 8); // one LUN, LUN 0
    TapeReturnData(Cmd, data, sizeof(data));
}

/*++
Routine Description:
    MODE SENSE(6) and (10): header, the block descriptor unless DBD (density, 0 blocks, block
    length: 0 in variable-block mode), then the page asked for: 0x0F, 0x10, 0x25/0xFF, or 0x3F
    for all (subpage 0x00: the two plain pages; 0xFF: all three). Saved values are not kept:
    page control 3 fails with 5/39/00.
--*/
VOID TapeCmdModeSense(TapeCommand *Cmd)
{
    const UCHAR *cdb = Cmd->Cdb;
    TapeDrive *drive = Cmd->Drive;
    BOOLEAN six = cdb[0] == OP_MODE_SENSE6;
    BOOLEAN dbd = (cdb[1] & 0x08) != 0;
    UCHAR control = cdb[2] >> 6;
    UCHAR page = cdb[2] & 0x3F;
    UCHAR subpage = cdb[3];
    ULONG allocation = six ? cdb[4] : TapeGet16(cdb + 7);
    if (control == PC_SAVED) {
        TapeFail(Cmd, SK_ILLEGAL_REQUEST, 0x39, 0x00);
        return;
    }
    BOOLEAN wantCompression = FALSE, wantConfiguration = FALSE, wantKey = FALSE;
    if (page == 0x3F && (subpage == 0x00 || subpage == 0xFF)) {
        wantCompression = wantConfiguration = TRUE;
        wantKey = subpage == 0xFF;
    } else if ((page == 0x0F || page == 0x10) && subpage == 0x00) {
        wantCompression = page == 0x0F;
        wantConfiguration = page == 0x10;
    } else if (page == TAPE_KEY_PAGE && subpage == TAPE_KEY_SUBPAGE) {
        wantKey = TRUE;
    } else {
        TapeInvalidCdbField(Cmd, page == 0x0F || page == 0x10 || page == 0x3F || page == TAPE_KEY_PAGE ? 3 : 2);
        return;
    }
    // The vendor bytes of a lengthened key request page, after the part built below.
    const ULONG keyTail = wantKey ? (ULONG)drive->KeyPageLength - TAPE_KEY_SENSE_PAGE_LENGTH : 0;
    if (six && keyTail) {
        TapeInvalidCdbField(Cmd, 2); // its one-byte mode data length cannot count such a page
        return;
    }

    UCHAR data[8 + 8 + 2 * TAPE_MODE_PAGE_LENGTH + 4 + TAPE_KEY_SENSE_PAGE_LENGTH] = {};
    ULONG header = six ? 4 : 8;
    ULONG at = header;
    if (!dbd) {
        UCHAR *bd = data + at;
        if (control == PC_CHANGEABLE) {
            TapePut24(bd + 5, 0xFFFFFF);
        } else if (control == PC_DEFAULT) {
            TapePut24(bd + 5, drive->PowerOnBlockSize);
        } else {
            bd[0] = drive->Cartridge == TAPE_CARTRIDGE_LOADED ? TAPE_DENSITY_CODE : 0;
            TapePut24(bd + 5, drive->BlockSize);
        }
        at += 8;
    }
    if (wantCompression) {
        TapepAppendSimplePage(drive, TapepSimplePages[0], control, data + at);
        at += TAPE_MODE_PAGE_LENGTH;
    }
    if (wantConfiguration) {
        TapepAppendSimplePage(drive, TapepSimplePages[1], control, data + at);
        at += TAPE_MODE_PAGE_LENGTH;
    }
    if (wantKey)
        at += TapepAppendKeyPage(drive, control, data + at);
    static_assert(sizeof(data) <= 256, "every answer fits MODE SENSE(6)'s one-byte length");

    UCHAR deviceSpecific = (UCHAR)(drive->BufferedMode << 4);
    if (drive->Cartridge != TAPE_CARTRIDGE_NONE && drive->Medium.WriteProtected)
        deviceSpecific |= 0x80;
    if (six) {
        data[0] = (UCHAR)(at - 1);
        data[2] = deviceSpecific;
        data[3] = dbd ? 0 : 8;
    } else {
        TapePut16(data, at + keyTail - 2);
        data[3] = deviceSpecific;
        TapePut16(data + 6, dbd ? 0 : 8);
    }
    const ULONG total = at + keyTail;
    TapepReturnKeyTail(Cmd, data, at, allocation < total ? allocation : total, control == PC_CURRENT);
}

/*++
Routine Description:
    MODE SELECT(6) and (10): an optional 8-byte block descriptor (density 0, 0x7F or the drive's
    own; block length 0 for variable-block mode or up to the maximum block length) and pages 0x0F,
    0x10 and 0x25/0xFF. The whole list is checked first and applied only when all of it is good,
    so a refused select changes nothing. Saving pages (SP) is not supported.
--*/
VOID TapeCmdModeSelect(TapeCommand *Cmd)
{
    const UCHAR *cdb = Cmd->Cdb;
    TapeDrive *drive = Cmd->Drive;
    BOOLEAN six = cdb[0] == OP_MODE_SELECT6;
    ULONG length = six ? cdb[4] : TapeGet16(cdb + 7);
    if (cdb[1] & 0x01) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    if (length > Cmd->OutLength) {
        TapeInvalidCdbField(Cmd, six ? 4 : 7);
        return;
    }
    if (length == 0)
        return;
    auto *list = (const UCHAR *)Cmd->Request->Data;
    ULONG header = six ? 4 : 8;
    if (length < header) {
        TapeParameterListLengthError(Cmd);
        return;
    }
    ULONG descriptorLength = six ? list[3] : TapeGet16(list + 6);
    if (!six && (list[4] & 0x01)) {
        TapeInvalidParameter(Cmd, 4); // long LBA descriptors
        return;
    }
    if (descriptorLength != 0 && descriptorLength != 8) {
        TapeInvalidParameter(Cmd, six ? 3 : 6);
        return;
    }
    if (header + descriptorLength > length) {
        TapeParameterListLengthError(Cmd);
        return;
    }
    ULONG blockSize = drive->BlockSize;
    if (descriptorLength) {
        const UCHAR *bd = list + header;
        if (bd[0] != 0 && bd[0] != 0x7F && bd[0] != TAPE_DENSITY_CODE) {
            TapeInvalidParameter(Cmd, (USHORT)header);
            return;
        }
        blockSize = TapeGet24(bd + 5);
        if (blockSize > drive->MaxBlock) {
            TapeInvalidParameter(Cmd, (USHORT)(header + 5));
            return;
        }
    }

    // First pass: check every page.
    ULONG start = header + descriptorLength;
    for (ULONG at = start; at < length;) {
        BOOLEAN subpageFormat = (list[at] & 0x40) != 0;
        ULONG pageHeader = subpageFormat ? 4 : 2;
        if (at + pageHeader > length) {
            TapeParameterListLengthError(Cmd);
            return;
        }
        UCHAR page = list[at] & 0x3F;
        ULONG pageLength = subpageFormat ? TapeGet16(list + at + 2) : list[at + 1];
        if (at + pageHeader + pageLength > length) {
            TapeParameterListLengthError(Cmd);
            return;
        }
        const TapeSimplePage *simple = subpageFormat ? nullptr : TapepFindSimplePage(page);
        if (simple) {
            if (pageLength != TAPE_MODE_PAGE_LENGTH - 2) {
                TapeInvalidParameter(Cmd, (USHORT)(at + 1));
                return;
            }
            const UCHAR *current = TapepCurrentPage(drive, *simple);
            for (ULONG i = 2; i < TAPE_MODE_PAGE_LENGTH; i++) {
                if ((list[at + i] ^ current[i]) & ~simple->Mask[i]) {
                    TapeInvalidParameter(Cmd, (USHORT)(at + i));
                    return;
                }
            }
        } else if (subpageFormat && page == TAPE_KEY_PAGE && list[at + 1] == TAPE_KEY_SUBPAGE) {
            LONG bad = TapepCheckKeySelect(drive, list + at, pageLength, at);
            if (bad >= 0) {
                TapeInvalidParameter(Cmd, (USHORT)bad);
                return;
            }
        } else {
            TapeInvalidParameter(Cmd, (USHORT)at);
            return;
        }
        at += pageHeader + pageLength;
    }

    // Second pass: apply.
    drive->BlockSize = blockSize;
    drive->BufferedMode = ((six ? list[2] : list[3]) >> 4) & 0x07; // the device-specific parameter
    for (ULONG at = start; at < length;) {
        BOOLEAN subpageFormat = (list[at] & 0x40) != 0;
        ULONG pageHeader = subpageFormat ? 4 : 2;
        ULONG pageLength = subpageFormat ? TapeGet16(list + at + 2) : list[at + 1];
        if (subpageFormat) {
            TapepApplyKeySelect(drive, list + at);
        } else {
            const TapeSimplePage *simple = TapepFindSimplePage(list[at] & 0x3F);
            UCHAR *current = TapepCurrentPage(drive, *simple);
            for (ULONG i = 2; i < TAPE_MODE_PAGE_LENGTH; i++)
                current[i] = (UCHAR)((current[i] & ~simple->Mask[i]) | (list[at + i] & simple->Mask[i]));
        }
        at += pageHeader + pageLength;
    }
}

/*++
Routine Description:
    SEND DIAGNOSTIC: the default self-test (GOOD), or with PF the vendor encryption control page
    0x80 (see tapedrive.h).
--*/
VOID TapeCmdSendDiagnostic(TapeCommand *Cmd)
{
    const UCHAR *cdb = Cmd->Cdb;
    TapeDrive *drive = Cmd->Drive;
    BOOLEAN selfTest = (cdb[1] & 0x04) != 0;
    BOOLEAN pageFormat = (cdb[1] & 0x10) != 0;
    ULONG length = TapeGet16(cdb + 3);
    if (length > Cmd->OutLength) {
        TapeInvalidCdbField(Cmd, 3);
        return;
    }
    if (selfTest) {
        if (length != 0 || (cdb[1] & 0xE0)) {
            TapeInvalidCdbField(Cmd, length != 0 ? 3 : 1);
            return;
        }
        return;
    }
    if (length == 0)
        return;
    if (!pageFormat) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    auto *list = (const UCHAR *)Cmd->Request->Data;
    if (length < 4 || 4 + (ULONG)TapeGet16(list + 2) > length) {
        TapeParameterListLengthError(Cmd);
        return;
    }
    if (list[0] != TAPE_DIAG_ENCRYPTION_PAGE) {
        TapeInvalidParameter(Cmd, 0);
        return;
    }
    if (TapeGet16(list + 2) < 6) {
        TapeInvalidParameter(Cmd, 2);
        return;
    }
    static const UCHAR signature[5] = {0xE0, 0x00, 0x01, 0x00, 0x20};
    for (ULONG i = 0; i < sizeof(signature); i++) {
        if (list[4 + i] != signature[i]) {
            TapeInvalidParameter(Cmd, (USHORT)(4 + i));
            return;
        }
    }
    UCHAR function = list[9];
    if (function == 0x0F)
        return;
    if ((function != 0x01 && function != 0x00) || !drive->KeyManaged) {
        TapeInvalidParameter(Cmd, 9);
        return;
    }
    UCHAR reason = function == 0x01 ? TAPE_KEY_REASON_CHECK : TAPE_KEY_REASON_EXCHANGE;
    if (drive->DiagnosticAnswered == reason) {
        drive->DiagnosticAnswered = TAPE_KEY_REASON_NONE;
        return;
    }
    TapepRequestKey(Cmd, reason);
}
