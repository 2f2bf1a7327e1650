// The whole update through the pass-through backend, the driver's answers taken from the
// fuzzer's bytes: the drive's own, or with ScsiStatus, DataTransferLength, the sense bytes
// and SenseInfoLength as the fuzzer says, or a DeviceIoControl that fails with any error code.
#include <cstddef>
#include <cstring>

#include "fake_kernel32.h"
#include "update_check.h"

namespace {

const char* const DEVICE = "e:";
const char* const DEVICE_PATH = "\\\\.\\e:";
const UCHAR STATUS_GOOD = 0;
const UCHAR STATUS_CONDITION_MET = 4;

DataArea dataAreaOf(DWORD code, uint8_t* request) {
    const SCSI_PASS_THROUGH* record = reinterpret_cast<const SCSI_PASS_THROUGH*>(request);
    const int32_t length = int32_t(record->DataTransferLength);
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        const auto* direct = reinterpret_cast<const SCSI_PASS_THROUGH_DIRECT*>(request);
        return {static_cast<uint8_t*>(direct->DataBuffer), length};
    }
    return {request + record->DataBufferOffset, length};
}

FakeIoAnswer driveAnswer(SimDrive* drive, const SentCommand& command, DataArea area) {
    const SimAnswer answer = simDriveExecute(drive, command.cdb.data(), int32_t(command.cdb.size()),
                                             area.bytes, area.length, command.dataIn ? 1 : 2);
    return {TRUE, 0, true, answer.status, ULONG(answer.transferred), answer.sense,
            UCHAR(answer.sense.size())};
}

// One field or more of the driver's answer as the fuzzer says.
void alter(FuzzedDataProvider& in, FakeIoAnswer* answer, int32_t dataLength) {
    if (in.ConsumeBool()) answer->scsiStatus = in.ConsumeIntegral<UCHAR>();
    if (in.ConsumeBool()) {
        answer->transferred = in.ConsumeBool()
                                  ? ULONG(dataLength - in.ConsumeIntegralInRange<int32_t>(-2, 64))
                                  : in.ConsumeIntegral<ULONG>();
    }
    if (in.ConsumeBool()) {
        answer->sense = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 32));
        answer->reportedSenseLength = in.ConsumeIntegral<UCHAR>();
    }
    if (in.ConsumeBool()) {
        answer->succeeds = FALSE;
        answer->error = in.ConsumeIntegral<DWORD>();
        answer->touchesBuffer = in.ConsumeBool();
    }
}

// The backend's rules: a failed call, a status other than GOOD or CONDITION MET, or a count
// outside 0 to the data length gives a negative result; otherwise the result is the residue.
void judge(const FakeIoAnswer& answer, const SCSI_PASS_THROUGH& sent, SentCommand* command) {
    const UCHAR status = answer.touchesBuffer ? answer.scsiStatus : sent.ScsiStatus;
    const int32_t count = int32_t(answer.touchesBuffer ? answer.transferred : sent.DataTransferLength);
    const bool done = status == STATUS_GOOD || status == STATUS_CONDITION_MET;
    command->usable = answer.succeeds && done && count >= 0 && count <= command->dataLength;
    command->accepted = command->usable && count == command->dataLength;
    command->reportedLength = count;
}

struct PassThroughRun {
    FuzzedDataProvider& in;
    SimDrive drive;
    std::vector<SentCommand> sent;

    void answer(DWORD code, uint8_t* request) {
        const SCSI_PASS_THROUGH record = *reinterpret_cast<const SCSI_PASS_THROUGH*>(request);
        SentCommand command;
        const uint8_t* cdb = request + offsetof(SCSI_PASS_THROUGH, Cdb);
        command.cdb.assign(cdb, cdb + record.CdbLength);
        command.dataLength = int32_t(record.DataTransferLength);
        command.dataIn = record.DataIn == SCSI_IOCTL_DATA_IN;
        const DataArea area = dataAreaOf(code, request);
        if (!command.dataIn) command.data.assign(area.bytes, area.bytes + area.length);

        const int kind = in.ConsumeIntegralInRange<int>(0, ANSWER_KINDS - 1);
        FakeIoAnswer answer = {TRUE, 0, true, 0, record.DataTransferLength, {}, 0};
        if (kind == ANSWER_INSTEAD && command.dataIn) {
            const Bytes data = in.ConsumeBytes<uint8_t>(size_t(area.length));
            if (!data.empty()) memcpy(area.bytes, data.data(), data.size());
        }
        if (kind != ANSWER_INSTEAD) answer = driveAnswer(&drive, command, area);
        if (kind != ANSWER_AS_DRIVE) alter(in, &answer, command.dataLength);
        if (command.dataIn) command.data.assign(area.bytes, area.bytes + area.length);
        judge(answer, record, &command);
        fakeKernel32().answers.push_back(answer);
        sent.push_back(command);
    }
};

void planAdapter(FuzzedDataProvider& in, FakeKernel32& fake) {
    fake.capabilitiesFail = in.ConsumeBool();
    fake.capabilities.MaximumTransferLength = in.ConsumeIntegral<ULONG>();
    fake.capabilities.MaximumPhysicalPages = in.ConsumeIntegral<ULONG>();
    fake.capabilities.AlignmentMask = in.ConsumeIntegral<ULONG>();
    if (in.ConsumeBool()) fake.closeHandleError = in.ConsumeIntegral<DWORD>() | 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const UpdatePlan plan = planUpdate(in);
    PassThroughRun run{in, plannedDrive(in), {}};
    resetFakeKernel32();
    FakeKernel32& fake = fakeKernel32();
    planAdapter(in, fake);
    fake.devices[DEVICE_PATH] = &run.drive;
    fake.onPassThrough = [&run](DWORD code, uint8_t* request) { run.answer(code, request); };
    const KelvoRun result = runUpdate(DEVICE, plan);
    resetFakeKernel32();
    checkUpdate(DEVICE, plan, run.sent, result);
    return 0;
}
