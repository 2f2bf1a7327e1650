#include "fake_linux_device.h"

#include <errno.h>

#include <algorithm>
#include <cstring>

#include "linux_device.h"

namespace {

void reset(FakeLinuxDevice& fake) {
    fake = FakeLinuxDevice();
    fake.reservedSize = 32768;
    fake.queueLimit = 512 * 1024;
}

int answerSgIo(FakeLinuxDevice& fake, sg_io_hdr_t* io) {
    const uint8_t* data = static_cast<const uint8_t*>(io->dxferp);
    FakeSgCall call = {*io, std::vector<uint8_t>(io->cmdp, io->cmdp + io->cmd_len), {}};
    if (io->dxfer_direction == SG_DXFER_TO_DEV) call.dataOut.assign(data, data + io->dxfer_len);
    fake.calls.push_back(call);

    FakeSgAnswer answer = {};
    if (!fake.answers.empty()) {
        answer = fake.answers.front();
        fake.answers.pop_front();
    }
    if (answer.error != 0) {
        errno = answer.error;
        return -1;
    }
    const size_t dataIn = std::min<size_t>(answer.dataIn.size(), io->dxfer_len);
    if (io->dxfer_direction == SG_DXFER_FROM_DEV && dataIn > 0)
        memcpy(io->dxferp, answer.dataIn.data(), dataIn);
    const size_t sense = std::min<size_t>(answer.sense.size(), io->mx_sb_len);
    if (sense > 0) memcpy(io->sbp, answer.sense.data(), sense);
    io->sb_len_wr = static_cast<unsigned char>(sense);
    io->status = answer.status;
    io->masked_status = answer.status >> 1;
    io->host_status = answer.hostStatus;
    io->driver_status = answer.driverStatus;
    io->resid = answer.resid;
    return 0;
}

}  // namespace

FakeLinuxDevice& fakeLinuxDevice() {
    static FakeLinuxDevice fake;
    return fake;
}

FreshFakeLinuxDevice::FreshFakeLinuxDevice() { reset(fakeLinuxDevice()); }
FreshFakeLinuxDevice::~FreshFakeLinuxDevice() { reset(fakeLinuxDevice()); }

int linuxDeviceIoctl(int, unsigned long request, void* argument) {
    FakeLinuxDevice& fake = fakeLinuxDevice();
    if (request == SG_GET_RESERVED_SIZE && fake.reservedSizeError == 0) {
        *static_cast<int*>(argument) = fake.reservedSize;
        return 0;
    }
    errno = request == SG_GET_RESERVED_SIZE ? fake.reservedSizeError : ENOTTY;
    return -1;
}

int linuxDeviceCommand(int, sg_io_hdr* io) { return answerSgIo(fakeLinuxDevice(), io); }

int64_t linuxDeviceQueueLimit(int) { return fakeLinuxDevice().queueLimit; }

int linuxDeviceReopen(int, bool exclusive) {
    FakeLinuxDevice& fake = fakeLinuxDevice();
    fake.reopens.push_back(exclusive);
    if (!exclusive || fake.reopenError == 0) return 0;
    errno = fake.reopenError;
    return -1;
}
