// The whole update through the ASPI backend, the library's answers taken from the fuzzer's
// bytes: SRB_Status, SRB_HaStat and SRB_TargStat, the residue in SRB_BufLen, SRB_SenseLen and
// the sense bytes, what SendASPI32Command returns, a completion at once, late or never, and a
// wait that expires or fails. The library starts once per process, so its start-up is the
// working one here; its failures are tested one process each by the unit tests.
#include <cstring>

#include "fake_kernel32.h"
#include "update_check.h"

namespace {

const char* const DEVICE = "0.1.0";
const char* const LIBRARY = "WNASPI32.DLL";

typedef DWORD (*SendEntry)(void* srb);

struct AspiRun {
    FuzzedDataProvider& in;
    SimDrive drive;
    std::vector<SentCommand> sent;

    void answer(uint8_t* block);
};

// The library's entry points take no context: the run under way is found here.
AspiRun*& runUnderWay() {
    static AspiRun* run = nullptr;
    return run;
}

SendEntry fakeSend() {
    static const SendEntry send = reinterpret_cast<SendEntry>(
        reinterpret_cast<void*>(fakeAspiLibrary().entries["SendASPI32Command"]));
    return send;
}

DWORD sendASPI32Command(void* srb) {
    uint8_t* block = static_cast<uint8_t*>(srb);
    if (block[aspiBlock::CMD] == aspiBlock::SC_EXEC_SCSI_CMD && runUnderWay() != nullptr)
        runUnderWay()->answer(block);
    return fakeSend()(srb);
}

FakeAspiAnswer driveAnswer(SimDrive* drive, const SentCommand& command, uint8_t* data,
                           bool residualCount) {
    const SimAnswer answer = simDriveExecute(drive, command.cdb.data(), int32_t(command.cdb.size()),
                                             data, command.dataLength, command.dataIn ? 1 : 2);
    const uint8_t status = answer.status == SIM_STATUS_GOOD ? aspiBlock::SS_COMP : aspiBlock::SS_ERR;
    const uint32_t bufLen =
        residualCount ? uint32_t(command.dataLength - answer.transferred) : uint32_t(command.dataLength);
    return {FAKE_COMPLETES_AT_ONCE, status,
            {status, aspiBlock::HASTAT_OK, answer.status, bufLen, answer.sense,
             uint8_t(answer.sense.size())}};
}

template <typename T>
T oneOf(FuzzedDataProvider& in, std::initializer_list<T> usual) {
    const size_t pick = in.ConsumeIntegralInRange<size_t>(0, usual.size());
    return pick < usual.size() ? usual.begin()[pick] : in.ConsumeIntegral<T>();
}

// One field or more of the library's answer as the fuzzer says.
void alter(FuzzedDataProvider& in, FakeAspiAnswer* answer, int32_t dataLength) {
    aspiBlock::Outcome& outcome = answer->outcome;
    if (in.ConsumeBool())
        outcome.status = oneOf<uint8_t>(in, {aspiBlock::SS_COMP, aspiBlock::SS_ERR,
                                             aspiBlock::SS_PENDING, aspiBlock::SS_INVALID_HA});
    if (in.ConsumeBool())
        outcome.haStat = oneOf<uint8_t>(in, {aspiBlock::HASTAT_OK, aspiBlock::HASTAT_SEL_TO,
                                             aspiBlock::HASTAT_DO_DU});
    if (in.ConsumeBool()) outcome.targStat = oneOf<uint8_t>(in, {0x00, 0x02, 0x08});
    if (in.ConsumeBool()) {
        outcome.bufLen = in.ConsumeBool()
                             ? uint32_t(dataLength - in.ConsumeIntegralInRange<int32_t>(-2, 64))
                             : in.ConsumeIntegral<uint32_t>();
    }
    if (in.ConsumeBool()) {
        outcome.sense = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 32));
        outcome.senseLen = in.ConsumeIntegral<uint8_t>();
    }
    answer->returned = in.ConsumeBool() ? in.ConsumeIntegral<DWORD>() : outcome.status;
    answer->completion = FakeCompletion(in.ConsumeIntegralInRange<int>(0, FAKE_NEVER_COMPLETES));
}

// The backend's rules: the command counts once its status is final, at once or after a wait
// that the event ended; only SS_COMP gives a result of 0 or more, the residue when the
// adapter reports one (then it must lie within the data length), else 0.
void judge(const FakeAspiAnswer& answer, FakeWait wait, bool residualCount,
           SentCommand* command) {
    const uint8_t status = answer.outcome.status;
    const bool pendingOnReturn =
        answer.completion != FAKE_COMPLETES_AT_ONCE || status == aspiBlock::SS_PENDING;
    // A block left pending with anything else returned was not taken: nothing waits for it.
    const bool waited = !pendingOnReturn || (answer.returned == aspiBlock::SS_PENDING &&
                                             wait == FAKE_WAIT_FOR_SIGNAL &&
                                             answer.completion != FAKE_NEVER_COMPLETES);
    const int32_t residue = residualCount ? int32_t(answer.outcome.bufLen) : 0;
    command->usable = waited && status == aspiBlock::SS_COMP && residue >= 0 &&
                      residue <= command->dataLength;
    command->accepted = command->usable && residue == 0;
    command->reportedLength = command->usable ? command->dataLength - residue : 0;
}

void AspiRun::answer(uint8_t* block) {
    SentCommand command;
    command.cdb.assign(block + aspiBlock::CDB, block + aspiBlock::CDB + block[aspiBlock::CDB_LEN]);
    command.dataLength = int32_t(aspiBlock::read32(block, aspiBlock::BUF_LEN));
    command.dataIn = (block[aspiBlock::FLAGS] & aspiBlock::SRB_DIR_IN) != 0;
    const bool residualCount = (block[aspiBlock::FLAGS] & aspiBlock::SRB_ENABLE_RESIDUAL_COUNT) != 0;
    uint8_t* data = static_cast<uint8_t*>(aspiBlock::readPointer(block, aspiBlock::BUF_POINTER));
    if (!command.dataIn) command.data.assign(data, data + command.dataLength);

    const int kind = in.ConsumeIntegralInRange<int>(0, ANSWER_KINDS - 1);
    FakeAspiAnswer answer = {FAKE_COMPLETES_AT_ONCE, aspiBlock::SS_COMP,
                             {aspiBlock::SS_COMP, 0, 0, 0, {}, 0}};
    if (kind == ANSWER_INSTEAD && command.dataIn) {
        const Bytes bytes = in.ConsumeBytes<uint8_t>(size_t(command.dataLength));
        if (!bytes.empty()) memcpy(data, bytes.data(), bytes.size());
    }
    if (kind != ANSWER_INSTEAD) answer = driveAnswer(&drive, command, data, residualCount);
    if (kind != ANSWER_AS_DRIVE) alter(in, &answer, command.dataLength);
    if (command.dataIn) command.data.assign(data, data + command.dataLength);
    judge(answer, fakeKernel32().wait, residualCount, &command);
    fakeKernel32().aspi.answers.push_front(answer);
    sent.push_back(command);
}

FakeLibrary library() {
    FakeLibrary library = fakeAspiLibrary();
    library.entries["SendASPI32Command"] = reinterpret_cast<FARPROC>(
        reinterpret_cast<void (*)(void)>(&sendASPI32Command));
    return library;
}

// The adapter's answers to the examination, and how the completion events behave.
void planLibrary(FuzzedDataProvider& in, FakeKernel32& fake) {
    fake.libraries[LIBRARY] = library();
    const Bytes unique = in.ConsumeBytes<uint8_t>(sizeof fake.aspi.haUnique);
    if (!unique.empty()) memcpy(fake.aspi.haUnique, unique.data(), unique.size());
    if (in.ConsumeBool()) {
        fake.aspi.inquiryStatus = in.ConsumeIntegral<BYTE>();
        fake.aspi.inquiryReturned = in.ConsumeIntegral<DWORD>();
    }
    fake.wait = FakeWait(in.ConsumeIntegralInRange<int>(0, FAKE_WAIT_FAILS));
    fake.createEventFails = in.ConsumeIntegralInRange<int>(0, 63) == 63;
    fake.closeEventFails = in.ConsumeIntegralInRange<int>(0, 15) == 15;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const UpdatePlan plan = planUpdate(in);
    AspiRun run{in, plannedDrive(in), {}};
    resetFakeKernel32();
    planLibrary(in, fakeKernel32());
    runUnderWay() = &run;
    const KelvoRun result = runUpdate(DEVICE, plan);
    runUnderWay() = nullptr;
    resetFakeKernel32();
    checkUpdate(DEVICE, plan, run.sent, result);
    return 0;
}
