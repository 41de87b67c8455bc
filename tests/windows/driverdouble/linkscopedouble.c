/* A test double of the card's kernel driver. It creates the card devices that "\\.\LINKSCOPE<n>"
 * names, serves the six card requests with the buffer sizes the protocol fixes, keeps
 * WAIT_EVENTS pending until a block is injected or RELEASE_WAIT comes, and offers a control
 * device through which tests inject blocks, read back every request a card received, make a
 * card stop answering and reset everything. */
#include <ntddk.h>

#include "common/driver/requestcodes.h"
#include "tests/windows/driverdouble/controlcodes.h"

#define POOL_TAG 0x6C62444Cu /* "LDbl" in a pool dump */
#define NAME_CHARS 64

/* A queued event block that no wait has taken yet. */
typedef struct QueuedBlock {
    LIST_ENTRY link;
    UCHAR bytes[LINKSCOPE_SIZE_EVENT_BLOCK];
} QueuedBlock;

typedef struct LogEntry {
    ULONG major;
    ULONG code;
    ULONG input_length;
    ULONG output_length;
    UCHAR input[DOUBLE_ENTRY_INPUT_KEPT];
} LogEntry;

/* The extension of every device: the control device has number 0. */
typedef struct Card {
    ULONG number;
    UCHAR infos[LINKSCOPE_SIZE_DEVICE_INFOS];
    LIST_ENTRY pending_waits; /* IRPs through Tail.Overlay.ListEntry */
    LIST_ENTRY blocks;
    ULONG queued_blocks;
    BOOLEAN broken;
    ULONG sniffer;
    ULONG sniffer_set;
    ULONG epoch_set;
    ULONGLONG epoch;
    ULONG opens;
    ULONG closes;
    LogEntry* log;
    ULONG log_total;
} Card;

static KSPIN_LOCK g_lock; /* guards every Card and g_cards */
static PDEVICE_OBJECT g_cards[LINKSCOPE_MAX_DEVICE_NUMBER + 1];
static PDEVICE_OBJECT g_control;

/* ---- little helpers ---- */

static ULONG load_le32(const UCHAR* p) {
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

static ULONGLONG load_le64(const UCHAR* p) { return (ULONGLONG)load_le32(p) | ((ULONGLONG)load_le32(p + 4) << 32); }

static void store_le32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

static void store_le64(UCHAR* p, ULONGLONG v) {
    store_le32(p, (ULONG)v);
    store_le32(p + 4, (ULONG)(v >> 32));
}

/* Writes prefix followed by the decimal number into a counted string backed by buffer. */
static void make_numbered_name(UNICODE_STRING* name, WCHAR* buffer, const WCHAR* prefix, ULONG number) {
    USHORT length = 0;
    WCHAR digits[12];
    int count = 0;
    while (*prefix && length < NAME_CHARS - 12) buffer[length++] = *prefix++;
    do {
        digits[count++] = (WCHAR)(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) buffer[length++] = digits[--count];
    buffer[length] = 0;
    name->Buffer = buffer;
    name->Length = (USHORT)(length * sizeof(WCHAR));
    name->MaximumLength = (USHORT)(NAME_CHARS * sizeof(WCHAR));
}

static NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* ---- pending waits ---- */

static VOID NTAPI cancel_wait(PDEVICE_OBJECT device, PIRP irp) {
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_lock, irql);
    complete(irp, STATUS_CANCELLED, 0);
}

/* Takes the oldest pending wait off the card, or NULL. A wait whose cancel routine already runs
 * is left to that routine. Called with g_lock held. */
static PIRP take_pending_wait(Card* card) {
    while (!IsListEmpty(&card->pending_waits)) {
        PLIST_ENTRY entry = RemoveHeadList(&card->pending_waits);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) return irp;
        InitializeListHead(entry); /* the cancel routine's removal becomes harmless */
    }
    return NULL;
}

/* Moves every pending wait of the card (of one file object, or all when file is NULL) onto
 * `out`. Called with g_lock held; the caller completes them after releasing it. */
static void take_all_pending_waits(Card* card, PFILE_OBJECT file, LIST_ENTRY* out) {
    LIST_ENTRY keep;
    PIRP irp;
    InitializeListHead(&keep);
    while ((irp = take_pending_wait(card)) != NULL) {
        if (file == NULL || IoGetCurrentIrpStackLocation(irp)->FileObject == file) {
            InsertTailList(out, &irp->Tail.Overlay.ListEntry);
        } else {
            IoSetCancelRoutine(irp, cancel_wait);
            InsertTailList(&keep, &irp->Tail.Overlay.ListEntry);
        }
    }
    while (!IsListEmpty(&keep)) InsertTailList(&card->pending_waits, RemoveHeadList(&keep));
}

static void complete_all(LIST_ENTRY* irps, NTSTATUS status) {
    while (!IsListEmpty(irps)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(irps), IRP, Tail.Overlay.ListEntry);
        complete(irp, status, 0);
    }
}

/* Parks the wait until a block or RELEASE_WAIT comes and returns STATUS_PENDING, or
 * STATUS_CANCELLED when its caller already gave it up. Called with g_lock held, so that the
 * cancel routine cannot run before the wait is in the list. */
static NTSTATUS park_wait(Card* card, PIRP irp) {
    IoSetCancelRoutine(irp, cancel_wait);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) return STATUS_CANCELLED;
    IoMarkIrpPending(irp);
    InsertTailList(&card->pending_waits, &irp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
}

static void free_blocks(Card* card) {
    while (!IsListEmpty(&card->blocks)) {
        QueuedBlock* block = CONTAINING_RECORD(RemoveHeadList(&card->blocks), QueuedBlock, link);
        ExFreePoolWithTag(block, POOL_TAG);
    }
    card->queued_blocks = 0;
}

/* ---- the request log ---- */

static void log_request(Card* card, ULONG major, ULONG code, const UCHAR* input, ULONG input_length,
                        ULONG output_length) {
    if (card->log_total < DOUBLE_LOG_CAPACITY) {
        LogEntry* entry = &card->log[card->log_total];
        ULONG kept = input_length < DOUBLE_ENTRY_INPUT_KEPT ? input_length : DOUBLE_ENTRY_INPUT_KEPT;
        RtlZeroMemory(entry, sizeof(*entry));
        entry->major = major;
        entry->code = code;
        entry->input_length = input_length;
        entry->output_length = output_length;
        if (input != NULL && kept > 0) RtlCopyMemory(entry->input, input, kept);
    }
    if (card->log_total != 0xFFFFFFFFu) ++card->log_total;
}

/* Back to the state after the card was created. Called with g_lock held; pending waits go to
 * `cancelled`. */
static void reset_card(Card* card, LIST_ENTRY* cancelled) {
    take_all_pending_waits(card, NULL, cancelled);
    free_blocks(card);
    RtlZeroMemory(card->infos, sizeof(card->infos));
    card->broken = FALSE;
    card->sniffer = 0;
    card->sniffer_set = 0;
    card->epoch_set = 0;
    card->epoch = 0;
    card->opens = 0;
    card->closes = 0;
    card->log_total = 0;
}

/* ---- card devices ---- */

static NTSTATUS serve_wait_events(Card* card, PIRP irp, ULONG output_length) {
    QueuedBlock* block;
    if (output_length != LINKSCOPE_SIZE_EVENT_BLOCK) return STATUS_INVALID_PARAMETER;
    if (IsListEmpty(&card->blocks)) return park_wait(card, irp);
    block = CONTAINING_RECORD(RemoveHeadList(&card->blocks), QueuedBlock, link);
    --card->queued_blocks;
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, block->bytes, LINKSCOPE_SIZE_EVENT_BLOCK);
    ExFreePoolWithTag(block, POOL_TAG);
    irp->IoStatus.Information = LINKSCOPE_SIZE_EVENT_BLOCK;
    return STATUS_SUCCESS;
}

/* Serves one card request with g_lock held. Returns the status to complete with, or
 * STATUS_PENDING for a parked wait; released waits are moved onto `released`. */
static NTSTATUS serve_card_request(Card* card, PIRP irp, ULONG code, ULONG input_length, ULONG output_length,
                                   LIST_ENTRY* released) {
    const UCHAR* input = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
    irp->IoStatus.Information = 0;
    if (card->broken) return STATUS_IO_DEVICE_ERROR;
    switch (code) {
    case LINKSCOPE_CODE_GET_INFOS:
        if (input_length != 0 || output_length != LINKSCOPE_SIZE_DEVICE_INFOS) return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, card->infos, LINKSCOPE_SIZE_DEVICE_INFOS);
        irp->IoStatus.Information = LINKSCOPE_SIZE_DEVICE_INFOS;
        return STATUS_SUCCESS;
    case LINKSCOPE_CODE_SET_SNIFFER:
        if (input_length != LINKSCOPE_SIZE_SNIFFER_INPUT || output_length != 0) return STATUS_INVALID_PARAMETER;
        card->sniffer = load_le32(input);
        ++card->sniffer_set;
        return STATUS_SUCCESS;
    case LINKSCOPE_CODE_SET_EPOCH:
        if (input_length != LINKSCOPE_SIZE_EPOCH_INPUT || output_length != 0) return STATUS_INVALID_PARAMETER;
        card->epoch = load_le64(input);
        ++card->epoch_set;
        return STATUS_SUCCESS;
    case LINKSCOPE_CODE_RESET:
        if (input_length != 0 || output_length != 0) return STATUS_INVALID_PARAMETER;
        return STATUS_SUCCESS;
    case LINKSCOPE_CODE_WAIT_EVENTS:
        if (input_length != 0) return STATUS_INVALID_PARAMETER;
        return serve_wait_events(card, irp, output_length);
    case LINKSCOPE_CODE_RELEASE_WAIT:
        if (input_length != 0 || output_length != 0) return STATUS_INVALID_PARAMETER;
        take_all_pending_waits(card, NULL, released);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS card_device_control(Card* card, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    LIST_ENTRY released;
    NTSTATUS status;
    KIRQL irql;

    InitializeListHead(&released);
    KeAcquireSpinLock(&g_lock, &irql);
    log_request(card, DOUBLE_MAJOR_DEVICE_CONTROL, code, (const UCHAR*)irp->AssociatedIrp.SystemBuffer,
                input_length, output_length);
    status = serve_card_request(card, irp, code, input_length, output_length, &released);
    KeReleaseSpinLock(&g_lock, irql);

    /* A released wait returns successfully with no bytes: the reader sees a short block. */
    complete_all(&released, STATUS_SUCCESS);
    if (status == STATUS_PENDING) return STATUS_PENDING;
    return complete(irp, status, irp->IoStatus.Information);
}

/* ---- the control device ---- */

static NTSTATUS create_card(ULONG number) {
    WCHAR device_buffer[NAME_CHARS];
    WCHAR link_buffer[NAME_CHARS];
    UNICODE_STRING device_name;
    UNICODE_STRING link_name;
    PDEVICE_OBJECT device;
    Card* card;
    LogEntry* log;
    NTSTATUS status;
    KIRQL irql;

    if (number < 1 || number > LINKSCOPE_MAX_DEVICE_NUMBER) return STATUS_INVALID_PARAMETER;
    log = (LogEntry*)ExAllocatePoolWithTag(NonPagedPool, sizeof(LogEntry) * DOUBLE_LOG_CAPACITY, POOL_TAG);
    if (log == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    make_numbered_name(&device_name, device_buffer, DOUBLE_CARD_DEVICE_PREFIX, number);
    make_numbered_name(&link_name, link_buffer, DOUBLE_CARD_LINK_PREFIX, number);
    status = IoCreateDevice(g_control->DriverObject, sizeof(Card), &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &device);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(log, POOL_TAG);
        return status;
    }
    card = (Card*)device->DeviceExtension;
    RtlZeroMemory(card, sizeof(*card));
    card->number = number;
    card->log = log;
    InitializeListHead(&card->pending_waits);
    InitializeListHead(&card->blocks);
    device->Flags |= DO_BUFFERED_IO;
    status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        ExFreePoolWithTag(log, POOL_TAG);
        return status;
    }
    KeAcquireSpinLock(&g_lock, &irql);
    g_cards[number] = device;
    KeReleaseSpinLock(&g_lock, irql);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

/* Removes the card's device and link; FALSE when there was no such card. */
static BOOLEAN delete_card(ULONG number) {
    WCHAR link_buffer[NAME_CHARS];
    UNICODE_STRING link_name;
    LIST_ENTRY cancelled;
    PDEVICE_OBJECT device;
    Card* card;
    KIRQL irql;

    InitializeListHead(&cancelled);
    KeAcquireSpinLock(&g_lock, &irql);
    device = g_cards[number];
    g_cards[number] = NULL;
    if (device != NULL) {
        card = (Card*)device->DeviceExtension;
        take_all_pending_waits(card, NULL, &cancelled);
        free_blocks(card);
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (device == NULL) return FALSE;
    complete_all(&cancelled, STATUS_CANCELLED);
    make_numbered_name(&link_name, link_buffer, DOUBLE_CARD_LINK_PREFIX, number);
    IoDeleteSymbolicLink(&link_name);
    ExFreePoolWithTag(((Card*)device->DeviceExtension)->log, POOL_TAG);
    IoDeleteDevice(device);
    return TRUE;
}

/* The card named by the first four input bytes, or NULL. Called with g_lock held. */
static Card* addressed_card(const UCHAR* input, ULONG input_length) {
    ULONG number;
    if (input_length < DOUBLE_CARD_NUMBER_SIZE) return NULL;
    number = load_le32(input);
    if (number < 1 || number > LINKSCOPE_MAX_DEVICE_NUMBER || g_cards[number] == NULL) return NULL;
    return (Card*)g_cards[number]->DeviceExtension;
}

static NTSTATUS inject_block(const UCHAR* input, ULONG input_length) {
    QueuedBlock* block;
    Card* card;
    PIRP wait;
    KIRQL irql;

    if (input_length != DOUBLE_CARD_NUMBER_SIZE + LINKSCOPE_SIZE_EVENT_BLOCK) return STATUS_INVALID_PARAMETER;
    block = (QueuedBlock*)ExAllocatePoolWithTag(NonPagedPool, sizeof(QueuedBlock), POOL_TAG);
    if (block == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(block->bytes, input + DOUBLE_CARD_NUMBER_SIZE, LINKSCOPE_SIZE_EVENT_BLOCK);

    KeAcquireSpinLock(&g_lock, &irql);
    card = addressed_card(input, input_length);
    if (card == NULL) {
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePoolWithTag(block, POOL_TAG);
        return STATUS_NO_SUCH_DEVICE;
    }
    wait = take_pending_wait(card);
    if (wait == NULL) {
        if (card->queued_blocks >= DOUBLE_MAX_QUEUED_BLOCKS) {
            KeReleaseSpinLock(&g_lock, irql);
            ExFreePoolWithTag(block, POOL_TAG);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        InsertTailList(&card->blocks, &block->link);
        ++card->queued_blocks;
        KeReleaseSpinLock(&g_lock, irql);
        return STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&g_lock, irql);
    RtlCopyMemory(wait->AssociatedIrp.SystemBuffer, block->bytes, LINKSCOPE_SIZE_EVENT_BLOCK);
    ExFreePoolWithTag(block, POOL_TAG);
    complete(wait, STATUS_SUCCESS, LINKSCOPE_SIZE_EVENT_BLOCK);
    return STATUS_SUCCESS;
}

static NTSTATUS read_log(Card* card, UCHAR* output, ULONG output_length, ULONG_PTR* written) {
    ULONG stored = card->log_total < DOUBLE_LOG_CAPACITY ? card->log_total : DOUBLE_LOG_CAPACITY;
    ULONG room;
    ULONG returned;
    ULONG i;
    if (output_length < DOUBLE_LOG_HEADER_SIZE) return STATUS_BUFFER_TOO_SMALL;
    room = (output_length - DOUBLE_LOG_HEADER_SIZE) / DOUBLE_LOG_ENTRY_SIZE;
    returned = stored < room ? stored : room;
    store_le32(output + DOUBLE_LOG_OFF_TOTAL, card->log_total);
    store_le32(output + DOUBLE_LOG_OFF_RETURNED, returned);
    for (i = 0; i < returned; ++i) {
        const LogEntry* entry = &card->log[i];
        UCHAR* at = output + DOUBLE_LOG_HEADER_SIZE + i * DOUBLE_LOG_ENTRY_SIZE;
        store_le32(at + DOUBLE_ENTRY_OFF_MAJOR, entry->major);
        store_le32(at + DOUBLE_ENTRY_OFF_CODE, entry->code);
        store_le32(at + DOUBLE_ENTRY_OFF_INPUT_LENGTH, entry->input_length);
        store_le32(at + DOUBLE_ENTRY_OFF_OUTPUT_LENGTH, entry->output_length);
        RtlCopyMemory(at + DOUBLE_ENTRY_OFF_INPUT, entry->input, DOUBLE_ENTRY_INPUT_KEPT);
    }
    *written = DOUBLE_LOG_HEADER_SIZE + returned * DOUBLE_LOG_ENTRY_SIZE;
    return STATUS_SUCCESS;
}

static ULONG count_pending_waits(Card* card) {
    ULONG count = 0;
    PLIST_ENTRY entry;
    for (entry = card->pending_waits.Flink; entry != &card->pending_waits; entry = entry->Flink) ++count;
    return count;
}

static NTSTATUS read_state(Card* card, UCHAR* output, ULONG output_length, ULONG_PTR* written) {
    if (output_length < DOUBLE_STATE_SIZE) return STATUS_BUFFER_TOO_SMALL;
    RtlZeroMemory(output, DOUBLE_STATE_SIZE);
    store_le32(output + DOUBLE_STATE_OFF_PENDING_WAITS, count_pending_waits(card));
    store_le32(output + DOUBLE_STATE_OFF_QUEUED_BLOCKS, card->queued_blocks);
    store_le32(output + DOUBLE_STATE_OFF_BROKEN, card->broken ? 1u : 0u);
    store_le32(output + DOUBLE_STATE_OFF_SNIFFER, card->sniffer);
    store_le32(output + DOUBLE_STATE_OFF_SNIFFER_SET, card->sniffer_set);
    store_le32(output + DOUBLE_STATE_OFF_EPOCH_SET, card->epoch_set);
    store_le64(output + DOUBLE_STATE_OFF_EPOCH, card->epoch);
    store_le32(output + DOUBLE_STATE_OFF_OPENS, card->opens);
    store_le32(output + DOUBLE_STATE_OFF_CLOSES, card->closes);
    *written = DOUBLE_STATE_SIZE;
    return STATUS_SUCCESS;
}

/* Requests on one existing card that need nothing but g_lock. */
static NTSTATUS control_card_request(ULONG code, UCHAR* buffer, ULONG input_length, ULONG output_length,
                                     ULONG_PTR* written, LIST_ENTRY* failed) {
    Card* card = addressed_card(buffer, input_length);
    if (card == NULL) return STATUS_NO_SUCH_DEVICE;
    switch (code) {
    case DOUBLE_CTL_SET_INFOS:
        if (input_length != DOUBLE_CARD_NUMBER_SIZE + LINKSCOPE_SIZE_DEVICE_INFOS) return STATUS_INVALID_PARAMETER;
        RtlCopyMemory(card->infos, buffer + DOUBLE_CARD_NUMBER_SIZE, LINKSCOPE_SIZE_DEVICE_INFOS);
        return STATUS_SUCCESS;
    case DOUBLE_CTL_READ_LOG:
        return read_log(card, buffer, output_length, written);
    case DOUBLE_CTL_READ_STATE:
        return read_state(card, buffer, output_length, written);
    case DOUBLE_CTL_BREAK:
        card->broken = TRUE;
        take_all_pending_waits(card, NULL, failed);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS reset_all(void) {
    LIST_ENTRY cancelled;
    BOOLEAN present;
    ULONG number;
    KIRQL irql;
    for (number = 1; number <= LINKSCOPE_MAX_DEVICE_NUMBER; ++number) {
        if (number != DOUBLE_DEFAULT_CARD) delete_card(number);
    }
    InitializeListHead(&cancelled);
    KeAcquireSpinLock(&g_lock, &irql);
    present = g_cards[DOUBLE_DEFAULT_CARD] != NULL;
    if (present) reset_card((Card*)g_cards[DOUBLE_DEFAULT_CARD]->DeviceExtension, &cancelled);
    KeReleaseSpinLock(&g_lock, irql);
    complete_all(&cancelled, STATUS_CANCELLED);
    return present ? STATUS_SUCCESS : create_card(DOUBLE_DEFAULT_CARD);
}

static NTSTATUS control_device_control(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR written = 0;
    LIST_ENTRY failed;
    NTSTATUS status;
    KIRQL irql;

    switch (code) {
    case DOUBLE_CTL_ADD_CARD:
        /* A number in use fails in IoCreateDevice with STATUS_OBJECT_NAME_COLLISION. */
        if (input_length != DOUBLE_CARD_NUMBER_SIZE) return complete(irp, STATUS_INVALID_PARAMETER, 0);
        return complete(irp, create_card(load_le32(buffer)), 0);
    case DOUBLE_CTL_REMOVE_CARD:
        if (input_length != DOUBLE_CARD_NUMBER_SIZE || load_le32(buffer) < 1 ||
            load_le32(buffer) > LINKSCOPE_MAX_DEVICE_NUMBER || !delete_card(load_le32(buffer)))
            return complete(irp, STATUS_NO_SUCH_DEVICE, 0);
        return complete(irp, STATUS_SUCCESS, 0);
    case DOUBLE_CTL_INJECT:
        return complete(irp, inject_block(buffer, input_length), 0);
    case DOUBLE_CTL_RESET:
        return complete(irp, reset_all(), 0);
    default:
        break;
    }
    InitializeListHead(&failed);
    KeAcquireSpinLock(&g_lock, &irql);
    status = control_card_request(code, buffer, input_length, output_length, &written, &failed);
    KeReleaseSpinLock(&g_lock, irql);
    /* A card that stops answering ends its pending waits with a failure. */
    complete_all(&failed, STATUS_IO_DEVICE_ERROR);
    return complete(irp, status, written);
}

/* ---- dispatch ---- */

static NTSTATUS NTAPI dispatch_device_control(PDEVICE_OBJECT device, PIRP irp) {
    Card* card = (Card*)device->DeviceExtension;
    if (card->number == 0) return control_device_control(irp);
    return card_device_control(card, irp);
}

static NTSTATUS NTAPI dispatch_create_close(PDEVICE_OBJECT device, PIRP irp) {
    Card* card = (Card*)device->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    LIST_ENTRY cancelled;
    KIRQL irql;
    InitializeListHead(&cancelled);
    if (card->number != 0) {
        KeAcquireSpinLock(&g_lock, &irql);
        log_request(card, stack->MajorFunction, 0, NULL, 0, 0);
        if (stack->MajorFunction == IRP_MJ_CREATE) ++card->opens;
        if (stack->MajorFunction == IRP_MJ_CLOSE) ++card->closes;
        /* Cleanup ends the waits that the closing handle left pending. */
        if (stack->MajorFunction == IRP_MJ_CLEANUP) take_all_pending_waits(card, stack->FileObject, &cancelled);
        KeReleaseSpinLock(&g_lock, irql);
    }
    complete_all(&cancelled, STATUS_CANCELLED);
    return complete(irp, STATUS_SUCCESS, 0);
}

static VOID NTAPI unload(PDRIVER_OBJECT driver) {
    UNICODE_STRING link_name;
    ULONG number;
    (void)driver;
    for (number = 1; number <= LINKSCOPE_MAX_DEVICE_NUMBER; ++number) delete_card(number);
    RtlInitUnicodeString(&link_name, DOUBLE_CONTROL_LINK_NAME);
    IoDeleteSymbolicLink(&link_name);
    if (g_control != NULL) IoDeleteDevice(g_control);
    g_control = NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    UNICODE_STRING device_name;
    UNICODE_STRING link_name;
    NTSTATUS status;
    (void)registry_path;

    KeInitializeSpinLock(&g_lock);
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_create_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_device_control;
    driver->DriverUnload = unload;

    RtlInitUnicodeString(&device_name, DOUBLE_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&link_name, DOUBLE_CONTROL_LINK_NAME);
    status = IoCreateDevice(driver, sizeof(Card), &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_control);
    if (!NT_SUCCESS(status)) return status;
    RtlZeroMemory(g_control->DeviceExtension, sizeof(Card));
    g_control->Flags |= DO_BUFFERED_IO;
    status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_control);
        g_control = NULL;
        return status;
    }
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;
    status = create_card(DOUBLE_DEFAULT_CARD);
    if (!NT_SUCCESS(status)) unload(driver);
    return status;
}
