#include "drive/Transport.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

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

constexpr int kRememberedDrives = 256 * 256;

struct TransportState {
    std::mutex initLock;
    std::unique_ptr<TransportBackend> backend;
    bool initialised = false;
    int32_t adapterCount = 0;
    std::atomic<int32_t> lastSense{0};
    std::mutex clockLock;
    RetryClock clock = RetryClock::Steady();
    // A unit attention that a retry passed over, by host adapter * 256 +
    // target; the next TEST UNIT READY of that drive reports it.
    std::mutex changeLock;
    std::array<int32_t, kRememberedDrives> swallowedChange{};
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
    if (sense != nullptr && length >= 4 && ((sense[0] & 0x7F) == 0x72 || (sense[0] & 0x7F) == 0x73)) {
        // Descriptor format: key, additional code and qualifier in bytes 1-3.
        return (sense[1] & 0x0F) * 65536 + sense[2] * 256 + sense[3];
    }
    if (sense == nullptr || length < 14) {
        // Short sense data carry no additional code; take what is there.
        const int32_t key = (sense != nullptr && length > 2) ? sense[2] : 0;
        const int32_t asc = (sense != nullptr && length > 12) ? sense[12] : 0;
        return key * 65536 + asc * 256;
    }
    return sense[2] * 65536 + sense[12] * 256 + sense[13];
}

bool IsSectorRead(uint8_t opcode) {
    return opcode == 0x28 || opcode == 0xA8 || opcode == 0xBE || opcode == 0xD8;
}

std::string DescribeStatus(int32_t status, int32_t senseCode) {
    switch (status) {
    case kStatusShortTransfer:
        return "the drive transferred fewer bytes than asked";
    case kStatusNotPermitted:
        return "the system does not allow this command to this user";
    case kStatusTimeout:
        return "the drive did not answer in time";
    case kStatusNoDrive:
        return "no drive answers at this address";
    default:
        break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "code %06X", static_cast<unsigned>(senseCode));
    return text;
}

RetryClock RetryClock::Steady() {
    RetryClock clock;
    clock.nowMs = [] {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    };
    clock.sleepMs = [](uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    return clock;
}

void SetRetryClock(RetryClock clock) {
    TransportState& state = State();
    std::lock_guard<std::mutex> lock(state.clockLock);
    state.clock = std::move(clock);
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

namespace {

enum class Retry { None, BecomingReady, UnitAttention };

Retry RetryFor(int32_t status, const SenseResult& sense) {
    if (status == kStatusOk || !sense.taken) {
        return Retry::None;
    }
    const int32_t code = PackSense(sense.data.data(), sense.data.size());
    const int key = (code >> 16) & 0x0F;
    const int asc = (code >> 8) & 0xFF;
    const int ascq = code & 0xFF;
    if (key == 0x02 && asc == 0x04 && ascq == 0x01) {
        return Retry::BecomingReady;
    }
    if (key == 0x06 && (asc == 0x28 || asc == 0x29)) {
        return Retry::UnitAttention;
    }
    return Retry::None;
}

} // namespace

int32_t ExecuteCommand(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, void* buffer,
                       uint32_t length) {
    TransportState& state = State();
    if (!state.initialised || !state.backend || cdb == nullptr) {
        return kStatusNoDrive;
    }
    const int cdbLength = CdbLength(cdb[0]);
    const bool dataOut = IsDataOut(cdb[0]);
    const std::size_t drive = std::size_t{hostAdapter} * 256 + target;

    if (cdb[0] == 0x00) {
        // The disc check's question. A change that a retried command passed
        // over is reported here, as the drive itself would have.
        int32_t remembered = 0;
        {
            std::lock_guard<std::mutex> lock(state.changeLock);
            std::swap(remembered, state.swallowedChange[drive]);
        }
        if (remembered != 0) {
            state.lastSense.store(remembered);
            return 2; // CHECK CONDITION
        }
    }

    auto send = [&](SenseResult& sense) {
        int32_t status = state.backend->Execute(hostAdapter, target, cdb, cdbLength, dataOut,
                                                buffer, length, sense);
        if (sense.taken) {
            state.lastSense.store(PackSense(sense.data.data(), sense.data.size()));
        }
        if (status == kStatusOk && !dataOut && buffer != nullptr && length > 0 &&
            sense.residual > 0 && IsSectorRead(cdb[0])) {
            status = kStatusShortTransfer;
        }
        return status;
    };

    SenseResult sense;
    int32_t status = send(sense);
    if (cdb[0] == 0x00) {
        return status;
    }
    RetryClock clock;
    bool attentionRetried = false;
    uint64_t readySince = 0;
    bool waitingForReady = false;
    for (;;) {
        const Retry retry = RetryFor(status, sense);
        if (retry == Retry::None) {
            break;
        }
        if (retry == Retry::UnitAttention) {
            if (attentionRetried) {
                break;
            }
            attentionRetried = true;
            std::lock_guard<std::mutex> lock(state.changeLock);
            state.swallowedChange[drive] = PackSense(sense.data.data(), sense.data.size());
        } else {
            if (!clock.nowMs) {
                std::lock_guard<std::mutex> lock(state.clockLock);
                clock = state.clock;
            }
            const uint64_t now = clock.nowMs();
            if (!waitingForReady) {
                waitingForReady = true;
                readySince = now;
            } else if (now - readySince >= kBecomingReadyLimitMs) {
                break;
            }
            clock.sleepMs(kBecomingReadyPauseMs);
        }
        sense = SenseResult{};
        status = send(sense);
    }
    return status;
}

int32_t LastSenseCode() { return State().lastSense.load(); }

std::string TransportFailureDetail() {
    TransportState& state = State();
    std::lock_guard<std::mutex> lock(state.initLock);
    return state.initialised && state.backend ? state.backend->FailureDetail() : std::string();
}

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
    {
        std::lock_guard<std::mutex> clockLock(state.clockLock);
        state.clock = RetryClock::Steady();
    }
    std::lock_guard<std::mutex> changeLock(state.changeLock);
    state.swallowedChange.fill(0);
}

} // namespace vindral
