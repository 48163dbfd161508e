// The control codes the changer class driver stand-in answers itself besides the private identity
// codes (sim/classcommon): the standard changer codes, each turned into the SCSI medium changer
// commands of the path. Element addresses of the standard codes count from 0
// within their element type; the changer's own addresses come from its element address
// assignment page, read again for every request (a changer may be replaced behind a path).
#include "changerclass.h"

namespace {

enum : UCHAR {
    CGOP_TEST_UNIT_READY = 0x00,
    CGOP_INITIALIZE_ELEMENT_STATUS = 0x07,
    CGOP_MODE_SENSE6 = 0x1A,
    CGOP_INITIALIZE_ELEMENT_STATUS_RANGE = 0x37,
    CGOP_MOVE_MEDIUM = 0xA5,
    CGOP_READ_ELEMENT_STATUS = 0xB8,
};

// The changer's element address assignment page and device capabilities page.
struct CgpLayout {
    ULONG First[ChangerMaxElement]; // by ELEMENT_TYPE: the first element's address
    ULONG Count[ChangerMaxElement];
    UCHAR MoveFrom[4];              // transport, slot, IE port, drive: what each can move to
};

NTSTATUS CgpReadLayout(CgExtension *Ext, CgIo *Io, CgpLayout *Layout)
{
    UCHAR data[4 + 20 + 20];
    const UCHAR cdb[6] = {CGOP_MODE_SENSE6, 0x08 /* DBD */, 0x3F, 0, sizeof(data), 0};
    FabScsiRequest result;
    NTSTATUS status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_IN, data, sizeof(data), &result);
    if (!NT_SUCCESS(status))
        return status;
    RtlZeroMemory(Layout, sizeof(*Layout));
    BOOLEAN haveAddresses = FALSE;
    // Walk the pages the changer returned, each checked against what was transferred.
    ULONG end = result.DataTransferred;
    ULONG at = 4 + (end > 3 ? data[3] : 0);
    while (at + 2 <= end) {
        UCHAR code = data[at] & 0x3F;
        ULONG length = data[at + 1];
        if (at + 2 + length > end)
            break;
        const UCHAR *page = data + at;
        if (code == 0x1D && length >= 16) {
            Layout->First[ChangerTransport] = ClsGetBe16(page + 2);
            Layout->Count[ChangerTransport] = ClsGetBe16(page + 4);
            Layout->First[ChangerSlot] = ClsGetBe16(page + 6);
            Layout->Count[ChangerSlot] = ClsGetBe16(page + 8);
            Layout->First[ChangerIEPort] = ClsGetBe16(page + 10);
            Layout->Count[ChangerIEPort] = ClsGetBe16(page + 12);
            Layout->First[ChangerDrive] = ClsGetBe16(page + 14);
            Layout->Count[ChangerDrive] = ClsGetBe16(page + 16);
            haveAddresses = TRUE;
        } else if (code == 0x1F && length >= 6) {
            for (ULONG i = 0; i < 4; i++)
                Layout->MoveFrom[i] = page[4 + i] & 0x0F;
        }
        at += 2 + length;
    }
    return haveAddresses ? STATUS_SUCCESS : STATUS_DEVICE_PROTOCOL_ERROR;
}

// The changer's address of element Address (from 0) of Type, or FALSE when there is none.
BOOLEAN CgpToDevice(const CgpLayout *Layout, const CHANGER_ELEMENT *Element, ULONG *Address)
{
    ULONG type = (ULONG)Element->ElementType;
    if (type < ChangerTransport || type > ChangerDrive || Element->ElementAddress >= Layout->Count[type])
        return FALSE;
    *Address = Layout->First[type] + Element->ElementAddress;
    return TRUE;
}

// The element (type, address from 0) of the changer's address Address.
BOOLEAN CgpFromDevice(const CgpLayout *Layout, ULONG Address, CHANGER_ELEMENT *Element)
{
    for (ULONG type = ChangerTransport; type <= ChangerDrive; type++) {
        if (Address >= Layout->First[type] && Address - Layout->First[type] < Layout->Count[type]) {
            Element->ElementType = (ELEMENT_TYPE)type;
            Element->ElementAddress = Address - Layout->First[type];
            return TRUE;
        }
    }
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// Standard changer codes
// ---------------------------------------------------------------------------------------------
NTSTATUS CgpGetParameters(CgExtension *Ext, CgIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    CgpLayout layout;
    NTSTATUS status = CgpReadLayout(Ext, Io, &layout);
    if (!NT_SUCCESS(status))
        return status;
    GET_CHANGER_PARAMETERS p;
    RtlZeroMemory(&p, sizeof(p));
    p.Size = sizeof(p);
    p.NumberTransportElements = (USHORT)layout.Count[ChangerTransport];
    p.NumberStorageElements = (USHORT)layout.Count[ChangerSlot];
    p.NumberIEElements = (USHORT)layout.Count[ChangerIEPort];
    p.NumberDataTransferElements = (USHORT)layout.Count[ChangerDrive];
    p.Features0 = CHANGER_BAR_CODE_SCANNER_INSTALLED | CHANGER_INIT_ELEM_STAT_WITH_RANGE | CHANGER_STORAGE_SLOT |
                  CHANGER_STORAGE_DRIVE | (layout.Count[ChangerIEPort] ? CHANGER_STORAGE_IEPORT : 0) |
                  CHANGER_SERIAL_NUMBER_VALID;
    p.MoveFromTransport = layout.MoveFrom[0];
    p.MoveFromSlot = layout.MoveFrom[1];
    p.MoveFromIePort = layout.MoveFrom[2];
    p.MoveFromDrive = layout.MoveFrom[3];
    RtlCopyMemory(Buffer, &p, sizeof(p));
    *Information = sizeof(p);
    return STATUS_SUCCESS;
}

NTSTATUS CgpGetStatus(CgExtension *Ext, CgIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    const UCHAR cdb[6] = {CGOP_TEST_UNIT_READY, 0, 0, 0, 0, 0};
    return ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
}

NTSTATUS CgpGetProductData(CgExtension *Ext, CgIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    UCHAR inquiry[36];
    ULONG transferred;
    NTSTATUS status = ClsInquiry(Ext, Io, 0x00, 0x00, inquiry, sizeof(inquiry), &transferred);
    if (!NT_SUCCESS(status))
        return status;
    if (transferred < 36)
        return STATUS_DEVICE_PROTOCOL_ERROR;
    CHANGER_PRODUCT_DATA data;
    RtlZeroMemory(&data, sizeof(data));
    RtlCopyMemory(data.VendorId, inquiry + 8, VENDOR_ID_LENGTH);
    RtlCopyMemory(data.ProductId, inquiry + 16, PRODUCT_ID_LENGTH);
    RtlCopyMemory(data.Revision, inquiry + 32, REVISION_LENGTH);
    data.DeviceType = inquiry[0] & 0x1F;
    UCHAR serial[VYRCG_SERIAL_NUMBER_SIZE];
    if (NT_SUCCESS(ClsReadSerial(Ext, Io, serial)))
        RtlCopyMemory(data.SerialNumber, serial, SERIAL_NUMBER_LENGTH);
    RtlCopyMemory(Buffer, &data, sizeof(data));
    *Information = sizeof(data);
    return STATUS_SUCCESS;
}

/*++
Routine Description:
    IOCTL_CHANGER_GET_ELEMENT_STATUS: NumberOfElements elements of one type from ElementAddress
    (AllElements: every element from the first, ElementAddress 0). The output must hold a
    CHANGER_ELEMENT_STATUS for each element asked for. The changer's report is read field by
    field within what it transferred: a page or descriptor that claims more bytes than arrived
    ends the walk.
--*/
NTSTATUS CgpGetElementStatus(CgExtension *Ext, CgIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    CHANGER_READ_ELEMENT_STATUS request;
    RtlCopyMemory(&request, Buffer, sizeof(request));
    ULONG count = request.ElementList.NumberOfElements;
    if (count == 0)
        return STATUS_INVALID_PARAMETER;
    if (count > 0xFFFF || Out / sizeof(CHANGER_ELEMENT_STATUS) < count)
        return STATUS_BUFFER_TOO_SMALL;
    CgpLayout layout;
    NTSTATUS status = CgpReadLayout(Ext, Io, &layout);
    if (!NT_SUCCESS(status))
        return status;
    UCHAR typeCode;
    ULONG start;
    if (request.ElementList.Element.ElementType == AllElements) {
        if (request.ElementList.Element.ElementAddress != 0)
            return STATUS_ILLEGAL_ELEMENT_ADDRESS;
        typeCode = 0;
        start = 0;
    } else {
        if (!CgpToDevice(&layout, &request.ElementList.Element, &start))
            return STATUS_ILLEGAL_ELEMENT_ADDRESS;
        typeCode = (UCHAR)request.ElementList.Element.ElementType; // ELEMENT_TYPE and SCSI codes agree for 1..4
    }
    BOOLEAN volTag = request.VolumeTagInfo != 0;

    ULONG length = 8 + 4 * 8 + count * (12 + 36);
    if (length > CG_MAX_TRANSFER)
        return STATUS_INVALID_PARAMETER;
    auto *data = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, length, CG_POOL_TAG);
    if (!data)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(data, length);
    UCHAR cdb[12] = {CGOP_READ_ELEMENT_STATUS, (UCHAR)(typeCode | (volTag ? 0x10 : 0)), (UCHAR)(start >> 8), (UCHAR)start,
                     (UCHAR)(count >> 8), (UCHAR)count, 0, (UCHAR)(length >> 16), (UCHAR)(length >> 8), (UCHAR)length, 0, 0};
    FabScsiRequest result;
    status = ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_IN, data, length, &result);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(data, CG_POOL_TAG);
        return status;
    }

    auto *out = (CHANGER_ELEMENT_STATUS *)Buffer;
    ULONG filled = 0;
    ULONG end = result.DataTransferred;
    ULONG at = 8;
    while (filled < count && at + 8 <= end) {
        const UCHAR *page = data + at;
        ULONG descriptor = ClsGetBe16(page + 2);
        ULONG pageBytes = ClsGetBe24(page + 5);
        BOOLEAN pageVolTag = (page[1] & 0x80) != 0;
        at += 8;
        if (descriptor < 12 || (pageVolTag && descriptor < 12 + 36))
            break;
        ULONG pageEnd = at + pageBytes < end ? at + pageBytes : end;
        for (; filled < count && at + descriptor <= pageEnd; at += descriptor) {
            const UCHAR *d = data + at;
            CHANGER_ELEMENT_STATUS *e = &out[filled];
            RtlZeroMemory(e, sizeof(*e));
            if (!CgpFromDevice(&layout, ClsGetBe16(d), &e->Element))
                continue; // an address outside the layout the changer itself reported
            e->Flags = d[2] & (ELEMENT_STATUS_FULL | ELEMENT_STATUS_IMPEXP | ELEMENT_STATUS_EXCEPT | ELEMENT_STATUS_ACCESS |
                               ELEMENT_STATUS_EXENAB | ELEMENT_STATUS_INENAB);
            if (d[2] & 0x04)
                e->ExceptionCode = ERROR_UNHANDLED_ERROR;
            if (d[9] & 0x80) {
                if (CgpFromDevice(&layout, ClsGetBe16(d + 10), &e->SrcElementAddress))
                    e->Flags |= ELEMENT_STATUS_SVALID;
                if (d[9] & 0x40)
                    e->Flags |= ELEMENT_STATUS_INVERT;
            }
            if (pageVolTag) {
                e->Flags |= ELEMENT_STATUS_PVOLTAG;
                RtlCopyMemory(e->PrimaryVolumeID, d + 12, MAX_VOLUME_ID_SIZE);
            }
            filled++;
        }
        at = pageEnd > at ? pageEnd : at;
    }
    ExFreePoolWithTag(data, CG_POOL_TAG);
    *Information = filled * sizeof(CHANGER_ELEMENT_STATUS);
    return STATUS_SUCCESS;
}

NTSTATUS CgpInitializeElementStatus(CgExtension *Ext, CgIo *Io, PUCHAR Buffer, ULONG In, ULONG Out,
                                    ULONG_PTR *Information)
{
    CHANGER_INITIALIZE_ELEMENT_STATUS request;
    RtlCopyMemory(&request, Buffer, sizeof(request));
    if (request.ElementList.Element.ElementType == AllElements) {
        const UCHAR cdb[6] = {CGOP_INITIALIZE_ELEMENT_STATUS, 0, 0, 0, 0, 0};
        return ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
    }
    CgpLayout layout;
    NTSTATUS status = CgpReadLayout(Ext, Io, &layout);
    if (!NT_SUCCESS(status))
        return status;
    ULONG start;
    ULONG count = request.ElementList.NumberOfElements;
    if (!CgpToDevice(&layout, &request.ElementList.Element, &start) || count == 0 ||
        count > layout.Count[request.ElementList.Element.ElementType] - request.ElementList.Element.ElementAddress)
        return STATUS_ILLEGAL_ELEMENT_ADDRESS;
    const UCHAR cdb[10] = {CGOP_INITIALIZE_ELEMENT_STATUS_RANGE, 0x01, (UCHAR)(start >> 8), (UCHAR)start, 0, 0,
                           (UCHAR)(count >> 8), (UCHAR)count, 0, 0};
    return ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
}

NTSTATUS CgpMoveMedium(CgExtension *Ext, CgIo *Io, PUCHAR Buffer, ULONG In, ULONG Out, ULONG_PTR *Information)
{
    CHANGER_MOVE_MEDIUM request;
    RtlCopyMemory(&request, Buffer, sizeof(request));
    if (request.Flip)
        return STATUS_INVALID_PARAMETER; // the transport cannot turn a cartridge over
    CgpLayout layout;
    NTSTATUS status = CgpReadLayout(Ext, Io, &layout);
    if (!NT_SUCCESS(status))
        return status;
    ULONG transport, source, target;
    if (request.Transport.ElementType != ChangerTransport || !CgpToDevice(&layout, &request.Transport, &transport) ||
        !CgpToDevice(&layout, &request.Source, &source) || !CgpToDevice(&layout, &request.Destination, &target))
        return STATUS_ILLEGAL_ELEMENT_ADDRESS;
    const UCHAR cdb[12] = {CGOP_MOVE_MEDIUM, 0, (UCHAR)(transport >> 8), (UCHAR)transport, (UCHAR)(source >> 8),
                           (UCHAR)source, (UCHAR)(target >> 8), (UCHAR)target, 0, 0, 0, 0};
    return ClsExecute(Ext, Io, cdb, sizeof(cdb), FAB_DATA_NONE, nullptr, 0);
}

const CgControlEntry kControls[] = {
    {IOCTL_CHANGER_GET_PARAMETERS, 0, sizeof(GET_CHANGER_PARAMETERS), CgpGetParameters},
    {IOCTL_CHANGER_GET_STATUS, 0, 0, CgpGetStatus},
    {IOCTL_CHANGER_GET_PRODUCT_DATA, 0, sizeof(CHANGER_PRODUCT_DATA), CgpGetProductData},
    {IOCTL_CHANGER_GET_ELEMENT_STATUS, sizeof(CHANGER_READ_ELEMENT_STATUS), 0, CgpGetElementStatus},
    {IOCTL_CHANGER_INITIALIZE_ELEMENT_STATUS, sizeof(CHANGER_INITIALIZE_ELEMENT_STATUS), 0, CgpInitializeElementStatus},
    {IOCTL_CHANGER_MOVE_MEDIUM, sizeof(CHANGER_MOVE_MEDIUM), 0, CgpMoveMedium},
};

} // namespace

BOOLEAN CgControl(CgExtension *Ext, CgIo *Io, NTSTATUS *Status, ULONG_PTR *Information)
{
    return ClsIdentityControl(Ext, Io, Status, Information) ||
           ClsRunControl(kControls, RTL_NUMBER_OF(kControls), Ext, Io, Status, Information);
}
