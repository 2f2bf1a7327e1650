// The walk over the library's buses for a listing: the adapters and each address's device.
#include "aspi.h"

#include <cstring>

#include "kernel32.h"
#include "library.h"

namespace {

// SRB_GDEVBlock in the published layout, padded as the inquiry block is: a library that
// writes more than the published fields writes into the padding.
#pragma pack(push, 1)
struct SrbGetDeviceType {
    SrbHeader header;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_DeviceType;
    uint8_t SRB_Rsvd1;
    uint8_t unused[325];
};
#pragma pack(pop)
static_assert(offsetof(SrbGetDeviceType, SRB_Target) == 8, "SRB_Target offset");
static_assert(offsetof(SrbGetDeviceType, SRB_DeviceType) == 10, "SRB_DeviceType offset");
static_assert(sizeof(SrbGetDeviceType) == 337, "device type block size");

const uint8_t SC_GET_DEV_TYPE = 0x01;

}  // namespace

int32_t aspiAdapterCount(Aspi* aspi) {
    if (aspi == nullptr) return -1;
    traceForget(&aspi->lastTrace);
    if (aspiStartup(aspi) < 0) return aspiStartState();
    return aspiHighestHostAdapter + 1;
}

int32_t aspiGetDeviceType(Aspi* aspi, int32_t hostAdapter, int32_t target, int32_t lun) {
    if (aspi == nullptr || !isAddressPart(hostAdapter) || !isAddressPart(target) ||
        !isAddressPart(lun))
        return -1;
    traceForget(&aspi->lastTrace);
    if (aspiStartup(aspi) < 0) return -1;
    SrbGetDeviceType request;
    memset(&request, 0, sizeof request);
    request.header.SRB_Cmd = SC_GET_DEV_TYPE;
    request.header.SRB_HaId = static_cast<uint8_t>(hostAdapter);
    request.SRB_Target = static_cast<uint8_t>(target);
    request.SRB_Lun = static_cast<uint8_t>(lun);
    const DWORD returned = aspiSendASPI32Command(&request);
    // No device at an address is the common answer of a walk over the bus, not a failure.
    if (request.header.SRB_Status == SS_NO_DEVICE) return ASPI_NO_DEVICE;
    if (!housekeepingCompleted(aspi, "aspiGetDeviceType", returned, request.header.SRB_Status))
        return -1;
    return request.SRB_DeviceType;
}
