// A transport backend for tests: records every command and answers from a
// script that the test sets.
#pragma once

#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "drive/Transport.h"

namespace vindral::test {

struct RecordedCommand {
    uint8_t hostAdapter = 0;
    uint8_t target = 0;
    std::vector<uint8_t> cdb;
    bool dataOut = false;
    uint32_t length = 0;
    std::vector<uint8_t> dataSent; // data-out payload
    bool bufferNull = false;
};

class RecordingBackend : public TransportBackend {
public:
    // Answer for one command: fills the data-in buffer and the sense bytes,
    // returns the status.
    using Responder = std::function<int32_t(const RecordedCommand&, uint8_t* buffer,
                                            SenseResult& sense)>;

    std::vector<RecordedCommand>* log = nullptr;
    Responder responder;
    int32_t adapters = 1;
    bool passThrough = false;
    std::function<bool(uint8_t, std::vector<InquiryEntry>&)> inquiryList;
    // Commands may come from a worker and the window thread at once.
    std::mutex logLock;

    int32_t Initialise() override { return adapters; }

    int32_t Execute(uint8_t hostAdapter, uint8_t target, const uint8_t* cdb, int cdbLength,
                    bool dataOut, void* buffer, uint32_t length, SenseResult& sense) override {
        RecordedCommand command;
        command.hostAdapter = hostAdapter;
        command.target = target;
        command.cdb.assign(cdb, cdb + cdbLength);
        command.dataOut = dataOut;
        command.length = length;
        command.bufferNull = buffer == nullptr;
        if (dataOut && buffer != nullptr) {
            const auto* bytes = static_cast<const uint8_t*>(buffer);
            command.dataSent.assign(bytes, bytes + length);
        }
        if (log != nullptr) {
            std::lock_guard<std::mutex> guard(logLock);
            log->push_back(command);
        }
        sense.taken = true;
        if (!responder) {
            return kStatusOk;
        }
        return responder(command, static_cast<uint8_t*>(buffer), sense);
    }

    bool IsPassThrough() const override { return passThrough; }

    bool AdapterInquiryList(uint8_t adapter, std::vector<InquiryEntry>& out) override {
        return inquiryList ? inquiryList(adapter, out) : false;
    }
};

// Installs a fresh recording backend as the process's transport.
inline RecordingBackend* InstallRecordingBackend(std::vector<RecordedCommand>* log) {
    ResetTransportForTesting();
    auto backend = std::make_unique<RecordingBackend>();
    RecordingBackend* raw = backend.get();
    raw->log = log;
    SelectTransport(std::move(backend));
    InitialiseTransport();
    return raw;
}

} // namespace vindral::test
