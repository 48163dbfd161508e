// Commands that move the tape or record on it: READ, READ REVERSE, VERIFY, WRITE, WRITE FILEMARKS,
// SPACE, LOCATE, REWIND, ERASE, LOAD UNLOAD, PREVENT ALLOW MEDIUM REMOVAL and READ POSITION.
// All run under the drive's lock (TapeDriveExecute).
#include "tapeint.h"

namespace {

BOOLEAN TapepInEarlyWarning(const TapeDrive *Drive, ULONG64 Offset)
{
    return Offset >= Drive->EarlyWarning;
}

// CHECK CONDITION with a residual in the information field.
VOID TapepReport(TapeCommand *Cmd, UCHAR Key, UCHAR Asc, UCHAR Ascq, UCHAR Flags, LONG Residual)
{
    TapeSense sense = {};
    sense.Key = Key;
    sense.Asc = Asc;
    sense.Ascq = Ascq;
    sense.Flags = Flags;
    sense.Valid = TRUE;
    sense.Information = Residual;
    TapeCheckCondition(Cmd, sense);
}

// End of data met while reading or spacing forward: BLANK CHECK, EOD DETECTED; EOM as well when
// the data end in the early-warning zone.
VOID TapepBlankCheck(TapeCommand *Cmd, BOOLEAN Valid, LONG Residual)
{
    TapeSense sense = {};
    sense.Key = SK_BLANK_CHECK;
    sense.Asc = 0x00;
    sense.Ascq = 0x05;
    if (TapepInEarlyWarning(Cmd->Drive, Cmd->Drive->Medium.DataBytes))
        sense.Flags = SENSE_EOM;
    sense.Valid = Valid;
    sense.Information = Residual;
    TapeCheckCondition(Cmd, sense);
}

VOID TapepFilemarkDetected(TapeCommand *Cmd, LONG Residual)
{
    TapepReport(Cmd, SK_NO_SENSE, 0x00, 0x01, SENSE_FILEMARK, Residual);
}

VOID TapepBeginningOfPartition(TapeCommand *Cmd, BOOLEAN Valid, LONG Residual)
{
    TapeSense sense = {};
    sense.Key = SK_NO_SENSE;
    sense.Asc = 0x00;
    sense.Ascq = 0x04;
    sense.Flags = SENSE_EOM;
    sense.Valid = Valid;
    sense.Information = Residual;
    TapeCheckCondition(Cmd, sense);
}

// Copies a block to the host, reversed byte by byte when read backwards without BYTORD.
VOID TapepCopyBlock(const TapeMedium *Medium, const TapeObject *Object, PUCHAR Dest, ULONG Count, BOOLEAN Reversed)
{
    if (!Reversed) {
        TapeMediumCopyOut(Medium, Object->Offset, Dest, Count);
        return;
    }
    // Read backwards, the block's last byte comes first: a short transfer gets its tail.
    TapeMediumCopyOut(Medium, Object->Offset + Object->Length - Count, Dest, Count);
    for (ULONG i = 0, j = Count ? Count - 1 : 0; i < j; i++, j--) {
        UCHAR t = Dest[i];
        Dest[i] = Dest[j];
        Dest[j] = t;
    }
}

enum class TapeTransfer { Read, ReadReverse, Verify };

/*++
Routine Description:
    READ(6), READ REVERSE(6) and VERIFY(6): one variable-length block, or Count fixed-length
    blocks, from the current position on (backwards for READ REVERSE). Stops at a filemark (after
    it; before it going backwards), at end of data, at beginning of partition and after a block of
    the wrong length, reporting the residual in blocks (fixed) or bytes (variable).
--*/
VOID TapepTransferIn(TapeCommand *Cmd, TapeTransfer Kind)
{
    const UCHAR *cdb = Cmd->Cdb;
    TapeDrive *drive = Cmd->Drive;
    TapeMedium *medium = &drive->Medium;
    BOOLEAN fixed = (cdb[1] & 0x01) != 0;
    BOOLEAN sili = Kind != TapeTransfer::Verify && (cdb[1] & 0x02) != 0;
    BOOLEAN compare = Kind == TapeTransfer::Verify && (cdb[1] & 0x02) != 0;
    BOOLEAN reverse = Kind == TapeTransfer::ReadReverse;
    BOOLEAN reversedBytes = reverse && (cdb[1] & 0x04) == 0;
    ULONG count = TapeGet24(cdb + 2);

    if (Kind == TapeTransfer::Verify && (cdb[1] & 0x38)) {
        // Verify to end of data, by logical block address or by filemark: not supported.
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    if (fixed && (sili || drive->BlockSize == 0)) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    ULONG64 bytes = fixed ? (ULONG64)count * drive->BlockSize : count;
    ULONG available = Kind == TapeTransfer::Verify ? Cmd->OutLength : Cmd->InLength;
    if ((Kind != TapeTransfer::Verify || compare) && bytes > available) {
        // The host's buffer cannot hold what the CDB asks for: refuse before the tape moves.
        TapeInvalidCdbField(Cmd, 2);
        return;
    }
    if (!TapeCheckReady(Cmd))
        return;
    if (count == 0)
        return;
    if (!TapeCheckKey(Cmd))
        return;

    auto *data = (PUCHAR)Cmd->Request->Data;
    ULONG blocks = fixed ? count : 1;
    ULONG size = fixed ? drive->BlockSize : count;
    ULONG moved = 0;
    for (ULONG i = 0; i < blocks; i++) {
        LONG residual = fixed ? (LONG)(count - i) : (LONG)count;
        const TapeObject *object;
        if (reverse) {
            if (drive->Position == 0) {
                Cmd->Request->DataTransferred = moved;
                TapepBeginningOfPartition(Cmd, TRUE, residual);
                return;
            }
            object = &medium->Objects[drive->Position - 1];
            drive->Position--;
        } else {
            if (drive->Position >= medium->ObjectCount) {
                Cmd->Request->DataTransferred = moved;
                TapepBlankCheck(Cmd, TRUE, residual);
                return;
            }
            object = &medium->Objects[drive->Position];
            drive->Position++;
        }
        if (TapeIsFilemark(object)) {
            Cmd->Request->DataTransferred = moved;
            TapepFilemarkDetected(Cmd, residual);
            return;
        }
        ULONG n = object->Length < size ? object->Length : size;
        PUCHAR slot = data ? data + (SIZE_T)i * size : nullptr;
        if (Kind != TapeTransfer::Verify) {
            TapepCopyBlock(medium, object, slot, n, reversedBytes);
            moved += n;
        } else if (compare && (object->Length != size || !TapeMediumCompare(medium, object->Offset, slot, n))) {
            if (object->Length == size) {
                TapepReport(Cmd, SK_MISCOMPARE, 0x1D, 0x00, 0, residual);
                return;
            }
        }
        if (object->Length != size) {
            // Incorrect length. SILI hides an underlength block, and in variable-block mode an
            // overlength one too; the residual counts the blocks before this one (fixed) or the
            // byte difference (variable, negative for an overlength block).
            BOOLEAN suppressed = sili && (object->Length < size || drive->BlockSize == 0);
            if (!suppressed) {
                Cmd->Request->DataTransferred = moved;
                TapepReport(Cmd, SK_NO_SENSE, 0x00, 0x00, SENSE_ILI,
                            fixed ? (LONG)(count - i) : (LONG)count - (LONG)object->Length);
                return;
            }
        }
    }
    Cmd->Request->DataTransferred = moved;
}

BOOLEAN TapepCheckWritable(TapeCommand *Cmd)
{
    if (Cmd->Drive->Medium.WriteProtected) {
        TapeFail(Cmd, SK_DATA_PROTECT, 0x27, 0x00);
        return FALSE;
    }
    return TRUE;
}

// After a write that left data at or past the early-warning point: the data are on the tape, and
// the host is told that the end is near.
VOID TapepEarlyWarningCheck(TapeCommand *Cmd)
{
    if (TapepInEarlyWarning(Cmd->Drive, Cmd->Drive->Medium.DataBytes))
        TapepReport(Cmd, SK_NO_SENSE, 0x00, 0x02, SENSE_EOM, 0);
}

VOID TapepVolumeOverflow(TapeCommand *Cmd, LONG Residual)
{
    Cmd->Drive->Medium.EndOfMedium = TRUE;
    TapepReport(Cmd, SK_VOLUME_OVERFLOW, 0x00, 0x02, SENSE_EOM, Residual);
}

// Counts the filemarks before Position (the logical file identifier).
ULONG64 TapepFileNumber(const TapeDrive *Drive)
{
    ULONG64 files = 0;
    for (ULONG64 i = 0; i < Drive->Position && i < Drive->Medium.ObjectCount; i++)
        if (TapeIsFilemark(&Drive->Medium.Objects[i]))
            files++;
    return files;
}

VOID TapepLocateTo(TapeCommand *Cmd, ULONG64 Target)
{
    TapeDrive *drive = Cmd->Drive;
    if (Target > drive->Medium.ObjectCount) {
        drive->Position = drive->Medium.ObjectCount;
        TapepBlankCheck(Cmd, FALSE, 0);
        return;
    }
    drive->Position = Target;
}

VOID TapepSpaceBlocks(TapeCommand *Cmd, LONG Count)
{
    TapeDrive *drive = Cmd->Drive;
    const TapeMedium *medium = &drive->Medium;
    if (Count > 0) {
        for (LONG done = 0; done < Count; done++) {
            if (drive->Position >= medium->ObjectCount) {
                TapepBlankCheck(Cmd, TRUE, Count - done);
                return;
            }
            const TapeObject *object = &medium->Objects[drive->Position++];
            if (TapeIsFilemark(object)) {
                TapepFilemarkDetected(Cmd, Count - done);
                return;
            }
        }
    } else {
        for (LONG done = 0; done < -Count; done++) {
            if (drive->Position == 0) {
                TapepBeginningOfPartition(Cmd, TRUE, Count + done);
                return;
            }
            const TapeObject *object = &medium->Objects[--drive->Position];
            if (TapeIsFilemark(object)) {
                TapepFilemarkDetected(Cmd, Count + done);
                return;
            }
        }
    }
}

VOID TapepSpaceFilemarks(TapeCommand *Cmd, LONG Count)
{
    TapeDrive *drive = Cmd->Drive;
    const TapeMedium *medium = &drive->Medium;
    LONG done = 0;
    if (Count > 0) {
        while (done < Count) {
            if (drive->Position >= medium->ObjectCount) {
                TapepBlankCheck(Cmd, TRUE, Count - done);
                return;
            }
            if (TapeIsFilemark(&medium->Objects[drive->Position++]))
                done++;
        }
    } else {
        // Backwards the tape stops on the BOP side of the last filemark it passes.
        while (done < -Count) {
            if (drive->Position == 0) {
                TapepBeginningOfPartition(Cmd, TRUE, Count + done);
                return;
            }
            if (TapeIsFilemark(&medium->Objects[--drive->Position]))
                done++;
        }
    }
}

// Space to the first run of Count consecutive filemarks: forward, to just after the run; backward,
// to just before it. The information field is not meaningful here and is not reported.
VOID TapepSpaceSequentialFilemarks(TapeCommand *Cmd, LONG Count)
{
    TapeDrive *drive = Cmd->Drive;
    const TapeMedium *medium = &drive->Medium;
    ULONG64 run = Count > 0 ? (ULONG64)Count : (ULONG64)-(LONG64)Count;
    if (Count > 0) {
        ULONG64 length = 0;
        for (ULONG64 i = drive->Position; i < medium->ObjectCount; i++) {
            length = TapeIsFilemark(&medium->Objects[i]) ? length + 1 : 0;
            if (length == run) {
                drive->Position = i + 1;
                return;
            }
        }
        drive->Position = medium->ObjectCount;
        TapepBlankCheck(Cmd, FALSE, 0);
    } else {
        ULONG64 length = 0;
        for (ULONG64 i = drive->Position; i > 0; i--) {
            length = TapeIsFilemark(&medium->Objects[i - 1]) ? length + 1 : 0;
            if (length == run) {
                // Keep going while the run continues, so the tape stops before its first mark.
                ULONG64 start = i - 1;
                while (start > 0 && TapeIsFilemark(&medium->Objects[start - 1]))
                    start--;
                drive->Position = start;
                return;
            }
        }
        drive->Position = 0;
        TapepBeginningOfPartition(Cmd, FALSE, 0);
    }
}

} // namespace

VOID TapeCmdRead(TapeCommand *Cmd)
{
    TapepTransferIn(Cmd, TapeTransfer::Read);
}

VOID TapeCmdReadReverse(TapeCommand *Cmd)
{
    TapepTransferIn(Cmd, TapeTransfer::ReadReverse);
}

VOID TapeCmdVerify(TapeCommand *Cmd)
{
    TapepTransferIn(Cmd, TapeTransfer::Verify);
}

/*++
Routine Description:
    WRITE(6): one variable-length block, or Count fixed-length blocks, at the current position,
    after discarding everything from there on. A block that does not fit is not written (VOLUME
    OVERFLOW with the residual); data at or past early warning complete with EOM, 00/02.
--*/
VOID TapeCmdWrite(TapeCommand *Cmd)
{
    const UCHAR *cdb = Cmd->Cdb;
    TapeDrive *drive = Cmd->Drive;
    TapeMedium *medium = &drive->Medium;
    BOOLEAN fixed = (cdb[1] & 0x01) != 0;
    ULONG count = TapeGet24(cdb + 2);
    if (fixed && drive->BlockSize == 0) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    ULONG64 bytes = fixed ? (ULONG64)count * drive->BlockSize : count;
    if (bytes > Cmd->OutLength || (!fixed && count > drive->MaxBlock)) {
        TapeInvalidCdbField(Cmd, 2);
        return;
    }
    if (!TapeCheckReady(Cmd))
        return;
    if (count == 0)
        return;
    if (!TapepCheckWritable(Cmd) || !TapeCheckKey(Cmd))
        return;

    TapeMediumTruncate(medium, drive->Position);
    ULONG blocks = fixed ? count : 1;
    ULONG size = fixed ? drive->BlockSize : count;
    auto *data = (const UCHAR *)Cmd->Request->Data;
    for (ULONG i = 0; i < blocks; i++) {
        LONG residual = fixed ? (LONG)(count - i) : (LONG)count;
        if (medium->EndOfMedium || medium->DataBytes + size > drive->Capacity) {
            Cmd->Request->DataTransferred = i * size;
            TapepVolumeOverflow(Cmd, residual);
            return;
        }
        if (!NT_SUCCESS(TapeMediumReserve(medium, size))) {
            // The testbed's own memory ran out: say so as the drive's internal failure.
            Cmd->Request->DataTransferred = i * size;
            TapepReport(Cmd, SK_HARDWARE_ERROR, 0x44, 0x00, 0, residual);
            return;
        }
        TapeMediumAppendBlock(medium, data + (SIZE_T)i * size, size);
        drive->Position++;
    }
    Cmd->Request->DataTransferred = (ULONG)bytes;
    TapepEarlyWarningCheck(Cmd);
}

VOID TapeCmdWriteFilemarks(TapeCommand *Cmd)
{
    TapeDrive *drive = Cmd->Drive;
    TapeMedium *medium = &drive->Medium;
    if (Cmd->Cdb[1] & 0x02) {
        TapeInvalidCdbField(Cmd, 1); // setmarks
        return;
    }
    ULONG count = TapeGet24(Cmd->Cdb + 2);
    if (!TapeCheckReady(Cmd))
        return;
    // A count of 0 only flushes the (empty) buffer: no change to the tape, allowed when protected.
    if (count == 0)
        return;
    if (!TapepCheckWritable(Cmd))
        return;
    TapeMediumTruncate(medium, drive->Position);
    for (ULONG i = 0; i < count; i++) {
        if (medium->EndOfMedium) {
            TapepVolumeOverflow(Cmd, (LONG)(count - i));
            return;
        }
        if (!NT_SUCCESS(TapeMediumReserve(medium, 0))) {
            TapepReport(Cmd, SK_HARDWARE_ERROR, 0x44, 0x00, 0, (LONG)(count - i));
            return;
        }
        TapeMediumAppendFilemark(medium);
        drive->Position++;
    }
    TapepEarlyWarningCheck(Cmd);
}

VOID TapeCmdSpace(TapeCommand *Cmd)
{
    UCHAR code = Cmd->Cdb[1] & 0x0F;
    LONG count = TapeGetSigned24(Cmd->Cdb + 2);
    if (code > 3) {
        TapeInvalidCdbField(Cmd, 1); // setmarks and reserved codes
        return;
    }
    if (!TapeCheckReady(Cmd))
        return;
    switch (code) {
    case 0:
        TapepSpaceBlocks(Cmd, count);
        break;
    case 1:
        TapepSpaceFilemarks(Cmd, count);
        break;
    case 2:
        if (count != 0)
            TapepSpaceSequentialFilemarks(Cmd, count);
        break;
    default:
        Cmd->Drive->Position = Cmd->Drive->Medium.ObjectCount;
        break;
    }
}

/*++
Routine Description:
    LOCATE(10) to a logical object identifier, and LOCATE(16) to a logical object, a logical file
    (the position after that many filemarks) or end of data. There is one partition: a partition
    change to any other fails with 5/24/00. A target past end of data leaves the tape at end of
    data with BLANK CHECK, 00/05.
--*/
VOID TapeCmdLocate(TapeCommand *Cmd)
{
    const UCHAR *cdb = Cmd->Cdb;
    TapeDrive *drive = Cmd->Drive;
    BOOLEAN changePartition = (cdb[1] & 0x02) != 0;
    if (cdb[0] == OP_LOCATE10) {
        if (changePartition && cdb[8] != 0) {
            TapeInvalidCdbField(Cmd, 8);
            return;
        }
        if (!TapeCheckReady(Cmd))
            return;
        TapepLocateTo(Cmd, TapeGet32(cdb + 3));
        return;
    }
    UCHAR destination = (cdb[1] >> 3) & 0x07;
    if (changePartition && cdb[3] != 0) {
        TapeInvalidCdbField(Cmd, 3);
        return;
    }
    if (destination != 0 && destination != 1 && destination != 3) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    if (!TapeCheckReady(Cmd))
        return;
    ULONG64 id = TapeGet64(cdb + 4);
    if (destination == 0) {
        TapepLocateTo(Cmd, id);
    } else if (destination == 3) {
        drive->Position = drive->Medium.ObjectCount;
    } else {
        ULONG64 files = 0, i = 0;
        for (; i < drive->Medium.ObjectCount && files < id; i++)
            if (TapeIsFilemark(&drive->Medium.Objects[i]))
                files++;
        if (files < id) {
            drive->Position = drive->Medium.ObjectCount;
            TapepBlankCheck(Cmd, FALSE, 0);
            return;
        }
        drive->Position = i;
    }
}

VOID TapeCmdRewind(TapeCommand *Cmd)
{
    if (TapeCheckReady(Cmd))
        Cmd->Drive->Position = 0;
}

/*++
Routine Description:
    READ POSITION: short form (service actions 0 and 1, 20 bytes) and long form (6, 32 bytes).
    The drive has no write buffer, so the first and last block locations are equal and the buffer
    counts are 0. BOP is set at position 0, EOP when the position lies at or past early warning.
--*/
VOID TapeCmdReadPosition(TapeCommand *Cmd)
{
    TapeDrive *drive = Cmd->Drive;
    UCHAR action = Cmd->Cdb[1] & 0x1F;
    if (action != 0 && action != 1 && action != 6) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    if (!TapeCheckReady(Cmd))
        return;
    UCHAR data[32] = {};
    UCHAR flags = 0;
    if (drive->Position == 0)
        flags |= 0x80;
    if (TapepInEarlyWarning(drive, TapeMediumOffsetOf(&drive->Medium, drive->Position)))
        flags |= 0x40;
    if (action == 6) {
        data[0] = flags;
        TapePut64(data + 8, drive->Position);
        TapePut64(data + 16, TapepFileNumber(drive));
        TapeReturnData(Cmd, data, 32);
        return;
    }
    if (drive->Position > 0xFFFFFFFFull) {
        flags |= 0x04 | 0x02; // block position unknown: it does not fit the short form
    } else {
        TapePut32(data + 4, (ULONG)drive->Position);
        TapePut32(data + 8, (ULONG)drive->Position);
    }
    data[0] = flags;
    TapeReturnData(Cmd, data, 20);
}

VOID TapeCmdErase(TapeCommand *Cmd)
{
    if (!TapeCheckReady(Cmd) || !TapepCheckWritable(Cmd))
        return;
    // Short and long erase alike leave end of data at the current position.
    TapeMediumTruncate(&Cmd->Drive->Medium, Cmd->Drive->Position);
}

/*++
Routine Description:
    LOAD UNLOAD. Load: threads a cartridge that an UNLOAD left in the drive (other nexuses get
    28/00), or rewinds a loaded one. Unload: refused with 5/53/02 while any nexus prevents medium
    removal; else the cartridge is rewound and unthreaded (not ready, 2/04/02, until LOAD) and its
    key is dropped. HOLD is not supported; EOT with LOAD is invalid.
--*/
VOID TapeCmdLoadUnload(TapeCommand *Cmd)
{
    TapeDrive *drive = Cmd->Drive;
    UCHAR flags = Cmd->Cdb[4];
    BOOLEAN load = (flags & 0x01) != 0;
    if ((flags & 0x08) || (load && (flags & 0x04))) {
        TapeInvalidCdbField(Cmd, 4);
        return;
    }
    if (drive->Cartridge == TAPE_CARTRIDGE_NONE) {
        TapeFail(Cmd, SK_NOT_READY, 0x3A, 0x00);
        return;
    }
    if (load) {
        if (drive->Cartridge == TAPE_CARTRIDGE_UNLOADED) {
            drive->Cartridge = TAPE_CARTRIDGE_LOADED;
            TapeRaiseAttention(drive, UA_MEDIUM_CHANGED, Cmd->NexusIndex);
        }
        drive->Position = 0;
        return;
    }
    for (const TapeNexus &n : drive->Nexus) {
        if (n.InUse && n.Prevent) {
            TapeFail(Cmd, SK_ILLEGAL_REQUEST, 0x53, 0x02);
            return;
        }
    }
    if (drive->Cartridge == TAPE_CARTRIDGE_LOADED) {
        drive->Cartridge = TAPE_CARTRIDGE_UNLOADED;
        drive->Position = 0;
        TapeDropKey(drive);
    }
}

VOID TapeCmdPreventAllow(TapeCommand *Cmd)
{
    UCHAR prevent = Cmd->Cdb[4] & 0x03;
    if (prevent > 1) {
        TapeInvalidCdbField(Cmd, 4); // the medium changer forms
        return;
    }
    Cmd->Nexus->Prevent = prevent;
}

namespace {

/*++
Routine Description:
    READ(10) and WRITE(10), which this drive takes as the 6-byte commands with a 16-bit transfer
    length: byte 1 carries the FIXED (bit 0) and SILI (bit 1) bits, bytes 7-8 the length (blocks
    in fixed-block mode, bytes in variable-block mode). The tape reads and writes where it stands,
    so the logical block address (bytes 2-5) must be 0.
--*/
VOID TapepAsSixByte(TapeCommand *Cmd, UCHAR Opcode, VOID (*Handler)(TapeCommand *))
{
    const UCHAR *cdb = Cmd->Cdb;
    if (cdb[2] || cdb[3] || cdb[4] || cdb[5]) {
        TapeInvalidCdbField(Cmd, 2);
        return;
    }
    if (cdb[1] & ~0x03) {
        TapeInvalidCdbField(Cmd, 1);
        return;
    }
    const UCHAR six[6] = {Opcode, (UCHAR)(cdb[1] & 0x03), 0, cdb[7], cdb[8], cdb[9]};
    Cmd->Cdb = six;
    Handler(Cmd);
    Cmd->Cdb = cdb;
}

} // namespace

VOID TapeCmdRead10(TapeCommand *Cmd)
{
    TapepAsSixByte(Cmd, OP_READ6, TapeCmdRead);
}

VOID TapeCmdWrite10(TapeCommand *Cmd)
{
    TapepAsSixByte(Cmd, OP_WRITE6, TapeCmdWrite);
}
