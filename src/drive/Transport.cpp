#include "drive/Transport.h"

#include <atomic>
#include <mutex>

namespace vindral {

namespace {

constexpr std::array<bool, 256> MakeDataOutTable() {
    std::array<bool, 256> table{};
    for (uint8_t code : {0x04, 0x0A, 0x15, 0x1D, 0x2A, 0x3B, 0x54, 0x55, 0x5D, 0xAA, 0xE2, 0xF0,
                         0xFD}) {
        table[code] = true;
    }
    return table;
}

struct TransportState {
    std::mutex initLock;
    std::unique_ptr<TransportBackend> backend;
    bool initialised = false;
    int32_t adapterCount = 0;
    std::atomic<int32_t> lastSense{0};
};

TransportState& State() {
    static TransportState state;
    return state;
}

} // namespace

const std::array<bool, 256> DataOutOpcodes = MakeDataOutTable();

int CdbLength(uint8_t opcode) {
    if (opcode < 0x20) {
        return 6;
    }
    if (opcode < 0x60) {
        return 10;
    }
    return 12;
}

bool IsDataOut(uint8_t opcode) { return DataOutOpcodes[opcode]; }

int32_t PackSense(const uint8_t* sense, std::size_t length) {
    if (sense == nullptr || length < 14) {
        // Short sense data carry no additional code; take what is there.
        const int32_t key = (sense != nullptr && length > 2) ? sense[2] : 0;
        const int32_t asc = (sense != nullptr && length > 12) ? sense[12] : 0;
        return key * 65536 + asc * 256;
    }
    return sense[2] * 65536 + sense[12] * 256 + sense[13];
}

int32_t OsErrorStatus(int32_t code) {
    if (code == 1) {
        return kStatusOsErrorOne;
    }
    if (code == 0) {
        // A request that failed without a code is still a failure.
        return kStatusNoDrive;
    }
    return code;
}

void SelectTransport(std::unique_ptr<TransportBackend> backend) {
    TransportState& state = State();
    std::lock_guard<std::mutex> lock(state.initLock);
    if (!state.initialised && !state.backend) {
        state.backend = std::move(backend);
    }
}

int32_t InitialiseTransport() {
    TransportState& state = State();
    std::lock_guard<std::mutex> lock(state.initLock);
    if (state.initialised) {
        return state.adapterCount;
    }
    if (!state.backend) {
        state.backend = CreatePlatformTransport();
    }
    state.adapterCount = state.backend ? state.backend->Initialise() : 0;
    state.initialised = true;
    return state.adapterCount;
}

int32_t ExecuteCommand(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, void* buffer,
                       uint32_t length) {
    TransportState& state = State();
    if (!state.initialised || !state.backend || cdb == nullptr) {
        return kStatusNoDrive;
    }
    const int cdbLength = CdbLength(cdb[0]);
    SenseResult sense;
    const int32_t status = state.backend->Execute(hostAdapter, target, cdb, cdbLength,
                                                  IsDataOut(cdb[0]), buffer, length, sense);
    if (sense.taken) {
        state.lastSense.store(PackSense(sense.data.data(), sense.data.size()));
    }
    return status;
}

int32_t LastSenseCode() { return State().lastSense.load(); }

bool TransportIsPassThrough() {
    TransportState& state = State();
    return state.initialised && state.backend && state.backend->IsPassThrough();
}

bool TransportAdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) {
    TransportState& state = State();
    out.clear();
    if (!state.initialised || !state.backend) {
        return false;
    }
    return state.backend->AdapterInquiryList(adapter, out);
}

void ResetTransportForTesting() {
    TransportState& state = State();
    std::lock_guard<std::mutex> lock(state.initLock);
    state.backend.reset();
    state.initialised = false;
    state.adapterCount = 0;
    state.lastSense.store(0);
}

} // namespace vindral
