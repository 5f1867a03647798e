/* A test radio switch driver: a PnP function driver for one root-enumerated device that exposes
 * the radio switch interface. A read stays pending until the test tool hands it a switch value
 * or a not-ready failure; the BIOS wifi status request answers what the tool last set. Test code
 * only: it stands in for the vendor's driver under Wine. */
#include <ddk/wdm.h>

#include "switch_test_ioctl.h"

/* The interface class and the status request as the vendor's driver defines them. */
static const GUID GUID_RADIO_SWITCH_INTERFACE = {
    0x248801F3, 0x19F5, 0x472C, {0xA8, 0xAE, 0x36, 0x08, 0x5D, 0xB2, 0xC0, 0xA5}};
#define IOCTL_READ_BIOS_WIFI_STATUS \
    CTL_CODE(FILE_DEVICE_KEYBOARD, 0x001, METHOD_BUFFERED, FILE_READ_ACCESS)

#define SWITCH_VALUE_BYTES 4

typedef struct SWITCH_DEVICE {
    DEVICE_OBJECT* lowerDevice;
    UNICODE_STRING interfaceName;
    /* Guards everything below. */
    KSPIN_LOCK lock;
    IRP* pendingRead;
    /* The pending read has its cancel routine: false while cancellation is refused. */
    BOOLEAN pendingReadCancellable;
    BOOLEAN shortReadFlood;
    BOOLEAN cancelRefused;
    ULONG emptyReads;
    ULONG biosStatus;
    BOOLEAN biosStatusFails;
    BOOLEAN biosStatusHeld;
    IRP* pendingStatus;
    ULONG readsCancelled;
    ULONG statusRequests;
    /* The benchmark's values, a ring of SWITCH_TEST_QUEUE_MAX, and the times noted for them. */
    ULONG* queuedValues;
    ULONG queuedFirst;
    ULONG queuedCount;
    SWITCH_TEST_TIME* times;
    ULONG timesCount;
    ULONG timesDropped;
    /* A value was read and the reader's next read has not come yet. */
    BOOLEAN awaitingNextRead;
    IRP* readWaiter;
} SWITCH_DEVICE;

static SWITCH_DEVICE* DeviceOf(DEVICE_OBJECT* device) {
    return (SWITCH_DEVICE*)device->DeviceExtension;
}

static LONGLONG Now(void) {
    return KeQueryPerformanceCounter(NULL).QuadPart;
}

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static VOID NTAPI CancelRead(DEVICE_OBJECT* device, IRP* irp) {
    SWITCH_DEVICE* switchDevice = DeviceOf(device);
    KIRQL irql;

    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    /* A completer that cleared the cancel routine too late has already let go of the read. */
    if (switchDevice->pendingRead == irp) switchDevice->pendingRead = NULL;
    ++switchDevice->readsCancelled;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Takes the pending read out of the device, or NULL when there is none or when its cancel
 * routine has started and so owns it. Called with the lock held. */
static IRP* TakePendingReadLocked(SWITCH_DEVICE* switchDevice) {
    IRP* irp = switchDevice->pendingRead;
    switchDevice->pendingRead = NULL;
    if (irp != NULL && switchDevice->pendingReadCancellable &&
        IoSetCancelRoutine(irp, NULL) == NULL)
        irp = NULL;
    return irp;
}

static IRP* TakePendingRead(SWITCH_DEVICE* switchDevice) {
    KIRQL irql;
    IRP* irp;

    KeAcquireSpinLock(&switchDevice->lock, &irql);
    irp = TakePendingReadLocked(switchDevice);
    KeReleaseSpinLock(&switchDevice->lock, irql);
    return irp;
}

static VOID NTAPI CancelReadWaiter(DEVICE_OBJECT* device, IRP* irp) {
    SWITCH_DEVICE* switchDevice = DeviceOf(device);
    KIRQL irql;

    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    if (switchDevice->readWaiter == irp) switchDevice->readWaiter = NULL;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Takes the waiter for a pending read out of the device, as TakePendingRead does the read. Called
 * with the lock held. */
static IRP* TakeReadWaiterLocked(SWITCH_DEVICE* switchDevice) {
    IRP* irp = switchDevice->readWaiter;
    switchDevice->readWaiter = NULL;
    if (irp != NULL && IoSetCancelRoutine(irp, NULL) == NULL) irp = NULL;
    return irp;
}

/* Takes the next queued value for a read completed at `now`, noting the time. Called with the
 * lock held and a value queued. */
static ULONG TakeQueuedValueLocked(SWITCH_DEVICE* switchDevice, LONGLONG now) {
    ULONG value = switchDevice->queuedValues[switchDevice->queuedFirst];
    switchDevice->queuedFirst = (switchDevice->queuedFirst + 1) % SWITCH_TEST_QUEUE_MAX;
    --switchDevice->queuedCount;
    if (switchDevice->timesCount < SWITCH_TEST_TIMES_MAX) {
        switchDevice->times[switchDevice->timesCount].completedAt = now;
        switchDevice->awaitingNextRead = TRUE;
    } else {
        ++switchDevice->timesDropped;
    }
    return value;
}

static NTSTATUS NTAPI DispatchRead(DEVICE_OBJECT* device, IRP* irp) {
    SWITCH_DEVICE* switchDevice = DeviceOf(device);
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const LONGLONG arrivedAt = Now();
    IRP* waiter;
    KIRQL irql;

    if (stack->Parameters.Read.Length < SWITCH_VALUE_BYTES)
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);

    KeAcquireSpinLock(&switchDevice->lock, &irql);
    if (switchDevice->awaitingNextRead) {
        switchDevice->times[switchDevice->timesCount++].nextReadAt = arrivedAt;
        switchDevice->awaitingNextRead = FALSE;
    }
    if (switchDevice->queuedCount > 0 && switchDevice->pendingRead == NULL) {
        const ULONG value = TakeQueuedValueLocked(switchDevice, Now());
        KeReleaseSpinLock(&switchDevice->lock, irql);
        *(ULONG*)irp->AssociatedIrp.SystemBuffer = value;
        return Complete(irp, STATUS_SUCCESS, SWITCH_VALUE_BYTES);
    }
    if (switchDevice->pendingRead != NULL) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return Complete(irp, STATUS_DEVICE_BUSY, 0);
    }
    if (switchDevice->shortReadFlood) {
        ++switchDevice->emptyReads;
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    if (!switchDevice->cancelRefused) {
        IoSetCancelRoutine(irp, CancelRead);
        /* Cancelled before the routine was set: the I/O manager found no routine to call. */
        if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
            ++switchDevice->readsCancelled;
            KeReleaseSpinLock(&switchDevice->lock, irql);
            return Complete(irp, STATUS_CANCELLED, 0);
        }
    }
    IoMarkIrpPending(irp);
    switchDevice->pendingRead = irp;
    switchDevice->pendingReadCancellable = !switchDevice->cancelRefused;
    waiter = TakeReadWaiterLocked(switchDevice);
    KeReleaseSpinLock(&switchDevice->lock, irql);
    if (waiter != NULL) Complete(waiter, STATUS_SUCCESS, 0);
    return STATUS_PENDING;
}

static NTSTATUS ReadBiosStatus(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG outputLength) {
    KIRQL irql;
    BOOLEAN fails;
    ULONG status;

    KeAcquireSpinLock(&switchDevice->lock, &irql);
    ++switchDevice->statusRequests;
    fails = switchDevice->biosStatusFails;
    status = switchDevice->biosStatus;
    KeReleaseSpinLock(&switchDevice->lock, irql);

    if (fails) return STATUS_IO_DEVICE_ERROR;
    if (outputLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    *(ULONG*)irp->AssociatedIrp.SystemBuffer = status;
    irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static VOID NTAPI CancelStatus(DEVICE_OBJECT* device, IRP* irp) {
    SWITCH_DEVICE* switchDevice = DeviceOf(device);
    KIRQL irql;

    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    if (switchDevice->pendingStatus == irp) switchDevice->pendingStatus = NULL;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

/* Takes the held status request out of the device, as TakePendingRead does the read. */
static IRP* TakePendingStatus(SWITCH_DEVICE* switchDevice) {
    KIRQL irql;
    IRP* irp;

    KeAcquireSpinLock(&switchDevice->lock, &irql);
    irp = switchDevice->pendingStatus;
    switchDevice->pendingStatus = NULL;
    if (irp != NULL && IoSetCancelRoutine(irp, NULL) == NULL) irp = NULL;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    return irp;
}

/* Keeps a status request pending while status requests are held; STATUS_PENDING when it does. */
static NTSTATUS HoldStatusRequest(SWITCH_DEVICE* switchDevice, IRP* irp) {
    KIRQL irql;

    KeAcquireSpinLock(&switchDevice->lock, &irql);
    if (!switchDevice->biosStatusHeld) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return STATUS_SUCCESS;
    }
    if (switchDevice->pendingStatus != NULL) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return STATUS_DEVICE_BUSY;
    }
    IoSetCancelRoutine(irp, CancelStatus);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    switchDevice->pendingStatus = irp;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    return STATUS_PENDING;
}

static NTSTATUS SetBiosStatus(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG inputLength,
                              BOOLEAN fails) {
    KIRQL irql;

    if (!fails && inputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    switchDevice->biosStatusFails = fails;
    if (!fails) switchDevice->biosStatus = *(const ULONG*)irp->AssociatedIrp.SystemBuffer;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    return STATUS_SUCCESS;
}

static NTSTATUS HoldBiosStatus(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG inputLength) {
    KIRQL irql;
    BOOLEAN hold;
    IRP* held;

    if (inputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    hold = *(const ULONG*)irp->AssociatedIrp.SystemBuffer != 0;
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    switchDevice->biosStatusHeld = hold;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    if (hold) return STATUS_SUCCESS;
    held = TakePendingStatus(switchDevice);
    if (held != NULL) {
        IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(held);
        NTSTATUS status = ReadBiosStatus(switchDevice, held,
                                         stack->Parameters.DeviceIoControl.OutputBufferLength);
        Complete(held, status, held->IoStatus.Information);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS EndPendingRead(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG inputLength,
                               BOOLEAN notReady) {
    IRP* read;
    ULONG value = 0;

    if (!notReady) {
        if (inputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
        value = *(const ULONG*)irp->AssociatedIrp.SystemBuffer;
    }
    read = TakePendingRead(switchDevice);
    if (read == NULL) return STATUS_NOT_FOUND;
    if (notReady) {
        Complete(read, STATUS_DEVICE_NOT_READY, 0);
    } else {
        *(ULONG*)read->AssociatedIrp.SystemBuffer = value;
        Complete(read, STATUS_SUCCESS, SWITCH_VALUE_BYTES);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS QueueValues(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG inputLength) {
    const ULONG* values = (const ULONG*)irp->AssociatedIrp.SystemBuffer;
    const ULONG count = inputLength / sizeof(ULONG);
    IRP* read = NULL;
    ULONG value = 0;
    ULONG i;
    KIRQL irql;

    if (count == 0 || count > SWITCH_TEST_QUEUE_MAX) return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    if (switchDevice->queuedCount + count > SWITCH_TEST_QUEUE_MAX) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (i = 0; i < count; ++i) {
        const ULONG slot =
            (switchDevice->queuedFirst + switchDevice->queuedCount + i) % SWITCH_TEST_QUEUE_MAX;
        switchDevice->queuedValues[slot] = values[i];
    }
    switchDevice->queuedCount += count;
    /* The pending read takes the first value at once. */
    read = TakePendingReadLocked(switchDevice);
    if (read != NULL) value = TakeQueuedValueLocked(switchDevice, Now());
    KeReleaseSpinLock(&switchDevice->lock, irql);
    if (read != NULL) {
        *(ULONG*)read->AssociatedIrp.SystemBuffer = value;
        Complete(read, STATUS_SUCCESS, SWITCH_VALUE_BYTES);
    }
    return STATUS_SUCCESS;
}

static NTSTATUS SetShortReadFlood(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG inputLength) {
    IRP* read = NULL;
    KIRQL irql;

    if (inputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    switchDevice->shortReadFlood = *(const ULONG*)irp->AssociatedIrp.SystemBuffer != 0;
    if (switchDevice->shortReadFlood) {
        read = TakePendingReadLocked(switchDevice);
        if (read != NULL) ++switchDevice->emptyReads;
    }
    KeReleaseSpinLock(&switchDevice->lock, irql);
    if (read != NULL) Complete(read, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

static NTSTATUS RefuseCancel(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG inputLength) {
    IRP* cancelled = NULL;
    KIRQL irql;

    if (inputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    switchDevice->cancelRefused = *(const ULONG*)irp->AssociatedIrp.SystemBuffer != 0;
    if (switchDevice->pendingRead != NULL && switchDevice->pendingReadCancellable &&
        switchDevice->cancelRefused) {
        /* A cancel routine already running owns the read; it ends as cancelled. */
        if (IoSetCancelRoutine(switchDevice->pendingRead, NULL) != NULL)
            switchDevice->pendingReadCancellable = FALSE;
    } else if (switchDevice->pendingRead != NULL && !switchDevice->pendingReadCancellable &&
               !switchDevice->cancelRefused) {
        IRP* read = switchDevice->pendingRead;
        IoSetCancelRoutine(read, CancelRead);
        switchDevice->pendingReadCancellable = TRUE;
        /* A cancel that came while it was refused found no routine: it ends the read now. */
        if (read->Cancel && IoSetCancelRoutine(read, NULL) != NULL) {
            switchDevice->pendingRead = NULL;
            ++switchDevice->readsCancelled;
            cancelled = read;
        }
    }
    KeReleaseSpinLock(&switchDevice->lock, irql);
    if (cancelled != NULL) Complete(cancelled, STATUS_CANCELLED, 0);
    return STATUS_SUCCESS;
}

/* Returns STATUS_PENDING when the waiter stays with the device. */
static NTSTATUS WaitForRead(SWITCH_DEVICE* switchDevice, IRP* irp) {
    KIRQL irql;

    KeAcquireSpinLock(&switchDevice->lock, &irql);
    if (switchDevice->pendingRead != NULL) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return STATUS_SUCCESS;
    }
    if (switchDevice->readWaiter != NULL) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return STATUS_DEVICE_BUSY;
    }
    IoSetCancelRoutine(irp, CancelReadWaiter);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    switchDevice->readWaiter = irp;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    return STATUS_PENDING;
}

static NTSTATUS TakeTimes(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG outputLength) {
    SWITCH_TEST_TIMES* out = (SWITCH_TEST_TIMES*)irp->AssociatedIrp.SystemBuffer;
    const ULONG headerSize = FIELD_OFFSET(SWITCH_TEST_TIMES, entries);
    LARGE_INTEGER frequency;
    ULONG count;
    KIRQL irql;

    KeQueryPerformanceCounter(&frequency);
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    count = switchDevice->timesCount;
    if (outputLength < headerSize ||
        (outputLength - headerSize) / sizeof(SWITCH_TEST_TIME) < count) {
        KeReleaseSpinLock(&switchDevice->lock, irql);
        return STATUS_BUFFER_TOO_SMALL;
    }
    out->count = count;
    out->dropped = switchDevice->timesDropped;
    out->frequency = frequency.QuadPart;
    RtlCopyMemory(out->entries, switchDevice->times, count * sizeof(SWITCH_TEST_TIME));
    switchDevice->timesCount = 0;
    switchDevice->awaitingNextRead = FALSE;
    switchDevice->timesDropped = 0;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    irp->IoStatus.Information = headerSize + count * sizeof(SWITCH_TEST_TIME);
    return STATUS_SUCCESS;
}

static NTSTATUS GetState(SWITCH_DEVICE* switchDevice, IRP* irp, ULONG outputLength) {
    SWITCH_TEST_STATE* state = (SWITCH_TEST_STATE*)irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;

    if (outputLength < sizeof(SWITCH_TEST_STATE)) return STATUS_BUFFER_TOO_SMALL;
    KeAcquireSpinLock(&switchDevice->lock, &irql);
    state->readsPending = switchDevice->pendingRead != NULL ? 1 : 0;
    state->readsCancelled = switchDevice->readsCancelled;
    state->statusRequests = switchDevice->statusRequests;
    state->emptyReads = switchDevice->emptyReads;
    KeReleaseSpinLock(&switchDevice->lock, irql);
    irp->IoStatus.Information = sizeof(SWITCH_TEST_STATE);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI DispatchDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
    SWITCH_DEVICE* switchDevice = DeviceOf(device);
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS status;

    irp->IoStatus.Information = 0;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_READ_BIOS_WIFI_STATUS:
            status = HoldStatusRequest(switchDevice, irp);
            if (status == STATUS_PENDING) return status;
            if (NT_SUCCESS(status)) status = ReadBiosStatus(switchDevice, irp, outputLength);
            break;
        case IOCTL_SWITCH_TEST_SHORT_READ_FLOOD:
            status = SetShortReadFlood(switchDevice, irp, inputLength);
            break;
        case IOCTL_SWITCH_TEST_REFUSE_CANCEL:
            status = RefuseCancel(switchDevice, irp, inputLength);
            break;
        case IOCTL_SWITCH_TEST_HOLD_BIOS_STATUS:
            status = HoldBiosStatus(switchDevice, irp, inputLength);
            break;
        case IOCTL_SWITCH_TEST_COMPLETE_READ:
            status = EndPendingRead(switchDevice, irp, inputLength, FALSE);
            break;
        case IOCTL_SWITCH_TEST_FAIL_READ:
            status = EndPendingRead(switchDevice, irp, inputLength, TRUE);
            break;
        case IOCTL_SWITCH_TEST_SET_BIOS_STATUS:
            status = SetBiosStatus(switchDevice, irp, inputLength, FALSE);
            break;
        case IOCTL_SWITCH_TEST_FAIL_BIOS_STATUS:
            status = SetBiosStatus(switchDevice, irp, inputLength, TRUE);
            break;
        case IOCTL_SWITCH_TEST_GET_STATE:
            status = GetState(switchDevice, irp, outputLength);
            break;
        case IOCTL_SWITCH_TEST_QUEUE_VALUES:
            status = QueueValues(switchDevice, irp, inputLength);
            break;
        case IOCTL_SWITCH_TEST_WAIT_READ:
            status = WaitForRead(switchDevice, irp);
            if (status == STATUS_PENDING) return status;
            break;
        case IOCTL_SWITCH_TEST_TAKE_TIMES:
            status = TakeTimes(switchDevice, irp, outputLength);
            break;
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
            break;
    }
    return Complete(irp, status, irp->IoStatus.Information);
}

static NTSTATUS NTAPI DispatchCreateClose(DEVICE_OBJECT* device, IRP* irp) {
    (void)device;
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI SignalLowerDone(DEVICE_OBJECT* device, IRP* irp, void* done) {
    (void)device;
    (void)irp;
    KeSetEvent((KEVENT*)done, IO_NO_INCREMENT, FALSE);
    /* The IRP is not finished: its dispatch routine completes it. */
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* Passes the IRP down and waits until the drivers below have completed it (Wine has no
 * IoForwardIrpSynchronously). */
static NTSTATUS ForwardAndWait(DEVICE_OBJECT* lowerDevice, IRP* irp) {
    KEVENT done;

    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalLowerDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(lowerDevice, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

static VOID FreeBenchBuffers(SWITCH_DEVICE* switchDevice) {
    if (switchDevice->queuedValues != NULL) ExFreePool(switchDevice->queuedValues);
    if (switchDevice->times != NULL) ExFreePool(switchDevice->times);
    switchDevice->queuedValues = NULL;
    switchDevice->times = NULL;
}

static NTSTATUS NTAPI DispatchPnp(DEVICE_OBJECT* device, IRP* irp) {
    SWITCH_DEVICE* switchDevice = DeviceOf(device);
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    DEVICE_OBJECT* lowerDevice = switchDevice->lowerDevice;
    IRP* read;
    IRP* waiter;
    KIRQL irql;
    NTSTATUS status;

    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            /* The device below starts first; the interface is turned on once it has. */
            status = ForwardAndWait(lowerDevice, irp);
            if (NT_SUCCESS(status))
                status = IoSetDeviceInterfaceState(&switchDevice->interfaceName, TRUE);
            return Complete(irp, status, 0);

        case IRP_MN_REMOVE_DEVICE:
            IoSetDeviceInterfaceState(&switchDevice->interfaceName, FALSE);
            read = TakePendingRead(switchDevice);
            if (read != NULL) Complete(read, STATUS_DELETE_PENDING, 0);
            read = TakePendingStatus(switchDevice);
            if (read != NULL) Complete(read, STATUS_DELETE_PENDING, 0);
            KeAcquireSpinLock(&switchDevice->lock, &irql);
            waiter = TakeReadWaiterLocked(switchDevice);
            KeReleaseSpinLock(&switchDevice->lock, irql);
            if (waiter != NULL) Complete(waiter, STATUS_DELETE_PENDING, 0);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            status = IoCallDriver(lowerDevice, irp);
            IoDetachDevice(lowerDevice);
            RtlFreeUnicodeString(&switchDevice->interfaceName);
            FreeBenchBuffers(switchDevice);
            IoDeleteDevice(device);
            return status;

        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;

        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lowerDevice, irp);
}

static NTSTATUS NTAPI DispatchPower(DEVICE_OBJECT* device, IRP* irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(DeviceOf(device)->lowerDevice, irp);
}

static NTSTATUS NTAPI AddDevice(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice) {
    DEVICE_OBJECT* device;
    SWITCH_DEVICE* switchDevice;
    NTSTATUS status;

    status = IoCreateDevice(driver, sizeof(SWITCH_DEVICE), NULL, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    switchDevice = DeviceOf(device);
    RtlZeroMemory(switchDevice, sizeof(SWITCH_DEVICE));
    KeInitializeSpinLock(&switchDevice->lock);
    switchDevice->queuedValues =
        (ULONG*)ExAllocatePool(NonPagedPool, SWITCH_TEST_QUEUE_MAX * sizeof(ULONG));
    switchDevice->times = (SWITCH_TEST_TIME*)ExAllocatePool(
        NonPagedPool, SWITCH_TEST_TIMES_MAX * sizeof(SWITCH_TEST_TIME));
    if (switchDevice->queuedValues == NULL || switchDevice->times == NULL) {
        FreeBenchBuffers(switchDevice);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    status = IoRegisterDeviceInterface(physicalDevice, &GUID_RADIO_SWITCH_INTERFACE, NULL,
                                       &switchDevice->interfaceName);
    if (!NT_SUCCESS(status)) {
        FreeBenchBuffers(switchDevice);
        IoDeleteDevice(device);
        return status;
    }
    switchDevice->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
    if (switchDevice->lowerDevice == NULL) {
        RtlFreeUnicodeString(&switchDevice->interfaceName);
        FreeBenchBuffers(switchDevice);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    /* Reads and requests exchange their 4 bytes through the system buffer. */
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

static VOID NTAPI Unload(DRIVER_OBJECT* driver) {
    (void)driver;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
    (void)registryPath;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return STATUS_SUCCESS;
}
