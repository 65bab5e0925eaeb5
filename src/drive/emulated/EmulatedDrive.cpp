#include "drive/emulated/EmulatedDrive.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "drive/emulated/SubChannel.h"

namespace vindral::emulated {

namespace {

// Sense keys and additional sense codes the drive reports.
constexpr uint8_t kNotReady = 0x02;
constexpr uint8_t kMediumError = 0x03;
constexpr uint8_t kIllegalRequest = 0x05;
constexpr uint8_t kUnitAttention = 0x06;

constexpr uint8_t kAscUnrecoveredRead = 0x11;
constexpr uint8_t kAscParameterListLength = 0x1A;
constexpr uint8_t kAscNotReady = 0x04;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscOutOfRange = 0x21;
constexpr uint8_t kAscInvalidField = 0x24;
constexpr uint8_t kAscInvalidParameter = 0x26;
constexpr uint8_t kAscMediumChanged = 0x28;
constexpr uint8_t kAscPowerOnReset = 0x29;
constexpr uint8_t kAscSavingNotSupported = 0x39;
constexpr uint8_t kAscNoMedium = 0x3A;
constexpr uint8_t kAscIllegalModeForTrack = 0x64;

constexpr uint8_t kDensityCdda = 0x82;
constexpr uint32_t kDataBlock = 2048;

uint32_t Be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t Be24(const uint8_t* p) { return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2]; }
uint32_t Be32(const uint8_t* p) { return (uint32_t{p[0]} << 24) | Be24(p + 1); }

void PutBe16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void PutBe32(uint8_t* p, uint32_t v) {
    PutBe16(p, v >> 16);
    PutBe16(p + 2, v);
}

// Copies an answer of `size` bytes, as much as the allocation length and the
// buffer allow.
void Transfer(const std::vector<uint8_t>& answer, uint32_t allocation, uint8_t* in,
              uint32_t length) {
    const std::size_t n = std::min<std::size_t>({answer.size(), allocation, length});
    if (n > 0 && in != nullptr) {
        std::memcpy(in, answer.data(), n);
    }
}

std::string Padded(std::string text, std::size_t width) {
    text.resize(width, ' ');
    return text;
}

} // namespace

struct EmulatedDrive::Reply {
    int32_t status = kStatusOk;
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
    int64_t sectorsRead = 0; // sectors delivered, for the speed limit

    void Fail(uint8_t k, uint8_t a, uint8_t q = 0) {
        status = kStatusCheckCondition;
        key = k;
        asc = a;
        ascq = q;
    }
    bool Failed() const { return status != kStatusOk; }
};

EmulatedDrive::EmulatedDrive(std::shared_ptr<const Disc> disc) : disc_(std::move(disc)) {
    if (disc_) {
        Adopt(disc_->Drive());
        mediumChanged_ = behaviour_.unitAttention;
    }
}

void EmulatedDrive::Adopt(const DriveBehaviour& behaviour) {
    behaviour_ = behaviour;
    loadedAt_ = clock_.now();
    cache_.clear();
    cacheOrder_.clear();
}

int32_t EmulatedDrive::Execute(const uint8_t* cdb, int cdbLength, bool dataOut, void* buffer,
                               uint32_t length, SenseResult& sense) {
    sense.taken = true;
    sense.data.fill(0);
    // Bytes beyond the CDB's length read as 0, so a short CDB cannot make the
    // drive read past it.
    uint8_t command[16] = {};
    if (cdb != nullptr && cdbLength > 0) {
        std::memcpy(command, cdb, std::min(cdbLength, 16));
    }
    if (buffer == nullptr) {
        length = 0;
    }
    // A data-in command offered a data-out buffer gets no room to write.
    uint8_t* in = dataOut ? nullptr : static_cast<uint8_t*>(buffer);
    const uint8_t* out = dataOut ? static_cast<const uint8_t*>(buffer) : nullptr;

    Reply reply;
    ReadThrottle::Duration wait{0};
    std::function<void(ReadThrottle::Duration)> sleep;
    bool descriptorSense = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        descriptorSense = behaviour_.descriptorSense;
        const uint8_t opcode = command[0];
        const bool shortRead = in != nullptr && length > 0 &&
                               ((opcode == 0xBE && behaviour_.shortReadCd) ||
                                (opcode == 0xD8 && behaviour_.shortReadCdda) ||
                                (opcode == 0x28 && behaviour_.shortRead10));
        if (shortRead) {
            // The whole answer is made, but only 2048 of every 2352 bytes
            // reach the host; the rest of its buffer keeps what it held.
            std::vector<uint8_t> answer(length);
            ExecuteLocked(command, answer.data(), out, length, reply);
            if (!reply.Failed()) {
                const auto delivered = static_cast<uint32_t>(uint64_t{length} * 2048 / kSectorBytes);
                std::memcpy(in, answer.data(), delivered);
                sense.residual = length - delivered;
            }
        } else {
            ExecuteLocked(command, in, out, length, reply);
        }
        if (reply.sectorsRead > 0 && throttle_.LimitKBps() != 0) {
            wait = throttle_.Reserve(clock_.now(), reply.sectorsRead);
            sleep = clock_.sleep;
        }
    }
    if (wait.count() > 0 && sleep) {
        sleep(wait); // never under the lock: another thread may switch modes meanwhile
    }
    if (reply.Failed() && descriptorSense) {
        sense.data[0] = 0x72;
        sense.data[1] = reply.key;
        sense.data[2] = reply.asc;
        sense.data[3] = reply.ascq;
    } else if (reply.Failed()) {
        sense.data[0] = 0x70;
        sense.data[2] = reply.key;
        sense.data[7] = 10;
        sense.data[12] = reply.asc;
        sense.data[13] = reply.ascq;
    }
    return reply.status;
}

void EmulatedDrive::ExecuteLocked(const uint8_t* cdb, uint8_t* in, const uint8_t* out,
                                  uint32_t length, Reply& reply) {
    const uint8_t opcode = cdb[0];
    ++commandCounts_[opcode];
    const uint32_t inLength = in != nullptr ? length : 0;
    const uint32_t outLength = out != nullptr ? length : 0;

    if (opcode == 0x12) {
        Inquiry(cdb, in, inLength, reply);
        return;
    }
    if (mediumChanged_) {
        mediumChanged_ = false;
        reply.Fail(kUnitAttention, behaviour_.attentionReset ? kAscPowerOnReset : kAscMediumChanged);
        return;
    }
    const bool known = opcode == 0x00 || opcode == 0x43 || opcode == 0x42 || opcode == 0x5A ||
                       opcode == 0x55 ||
                       opcode == 0x15 || opcode == 0xBB ||
                       (opcode == 0xBE && acceptReadCd_ && !behaviour_.refuseReadCd) ||
                       (opcode == 0xD8 && acceptReadCdda_ && !behaviour_.refuseReadCdda) ||
                       (opcode == 0x28 && acceptRead10_ && !behaviour_.refuseRead10);
    if (!known) {
        reply.Fail(kIllegalRequest, kAscInvalidOpcode);
        return;
    }
    const bool needsDisc = opcode == 0x00 || opcode == 0x43 || opcode == 0x42 || opcode == 0xBE ||
                           opcode == 0xD8 || opcode == 0x28;
    if (needsDisc && !disc_) {
        reply.Fail(kNotReady, kAscNoMedium);
        return;
    }
    if (needsDisc && behaviour_.becomingReadyMs != 0 &&
        clock_.now() - loadedAt_ < std::chrono::milliseconds(behaviour_.becomingReadyMs)) {
        reply.Fail(kNotReady, kAscNotReady, 0x01); // becoming ready
        return;
    }
    switch (opcode) {
    case 0x00:
        break;
    case 0x43:
        ReadToc(cdb, in, inLength, reply);
        break;
    case 0x42:
        ReadSubChannel(cdb, in, inLength, reply);
        break;
    case 0x5A:
        ModeSense10(cdb, in, inLength, reply);
        break;
    case 0x55:
    case 0x15:
        ModeSelect(cdb, out, outLength, reply);
        break;
    case 0xBB:
        SetCdSpeed(cdb, reply);
        break;
    case 0xBE:
        ReadCd(cdb, in, inLength, reply);
        break;
    case 0xD8:
        ReadCdda(cdb, in, inLength, reply);
        break;
    case 0x28:
        Read10(cdb, in, inLength, reply);
        break;
    default:
        break;
    }
    if (!reply.Failed() && (opcode == 0xBE || opcode == 0xD8 || opcode == 0x28)) {
        const int64_t count = opcode == 0xBE ? Be24(cdb + 6) : opcode == 0xD8 ? Be32(cdb + 6)
                                                                             : Be16(cdb + 7);
        if (count > 0) {
            lastAddress_ = static_cast<SectorAddress>(static_cast<int32_t>(Be32(cdb + 2)) + count - 1);
        }
    }
}

void EmulatedDrive::Inquiry(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply) {
    if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) {
        reply.Fail(kIllegalRequest, kAscInvalidField); // no vital product data pages
        return;
    }
    std::vector<uint8_t> answer(36, 0);
    answer[0] = 0x05; // CD-ROM device, connected
    answer[1] = 0x80; // removable medium
    answer[2] = 0x05;
    answer[3] = 0x02; // response data format
    answer[4] = static_cast<uint8_t>(answer.size() - 5);
    std::memcpy(&answer[8], vendor_.data(), 8);
    std::memcpy(&answer[16], product_.data(), 16);
    std::memcpy(&answer[32], revision_.data(), 4);
    Transfer(answer, Be16(cdb + 3), in, length);
}

void EmulatedDrive::ReadToc(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply) {
    const bool msf = (cdb[1] & 0x02) != 0;
    // Older drives took the format in bits 7-6 of the control byte (0 the
    // table of contents, 1 the session information, 2 the full TOC), and
    // hosts still ask that way: the Linux sr driver learns where a disc's
    // last session starts with 0x40 there. Drives honour it when byte 2's
    // format is 0.
    int format = cdb[2] & 0x0F;
    if (format == 0) {
        format = cdb[9] >> 6;
    }
    if ((format > 2 && format != 5) || (format == 5 && behaviour_.noCdText) ||
        (format == 2 && behaviour_.noFullToc)) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    const auto& tracks = disc_->Tracks();
    if (tracks.empty()) {
        reply.Fail(kNotReady, kAscNoMedium); // a disc without a program area reads as none
        return;
    }
    std::vector<uint8_t> answer(4, 0);
    if (format == 5) {
        // CD-Text: the packs after a header; a disc without text has only
        // the header.
        const std::vector<uint8_t> packs = MakeCdTextPacks(*disc_);
        answer.insert(answer.end(), packs.begin(), packs.end());
        PutBe16(answer.data(), static_cast<uint32_t>(answer.size() - 2));
        Transfer(answer, Be16(cdb + 7), in, length);
        return;
    }
    if (format == 2) {
        FullToc(cdb, answer, reply);
        if (!reply.Failed()) {
            Transfer(answer, Be16(cdb + 7), in, length);
        }
        return;
    }
    auto addDescriptor = [&](int number, bool data, uint8_t flags, SectorAddress address) {
        uint8_t d[8] = {};
        d[1] = static_cast<uint8_t>(0x10 | (data ? 0x04 : 0x00) | (flags & 0x0B));
        d[2] = static_cast<uint8_t>(number);
        if (msf) {
            const int32_t frames = address + 150;
            d[5] = static_cast<uint8_t>(frames / kSectorsPerMinute);
            d[6] = static_cast<uint8_t>((frames / kSectorsPerSecond) % 60);
            d[7] = static_cast<uint8_t>(frames % kSectorsPerSecond);
        } else {
            PutBe32(d + 4, static_cast<uint32_t>(address));
        }
        answer.insert(answer.end(), d, d + 8);
    };
    if (format == 1) {
        // Multi-session information: the first and last session numbers and
        // the first track of the last session.
        const DiscTrack* first = disc_->FirstTrackOfLastSession();
        answer[2] = 1;
        answer[3] = static_cast<uint8_t>(disc_->LastSession());
        addDescriptor(first->number, first->data, first->controlFlags, first->start);
        PutBe16(answer.data(), static_cast<uint32_t>(answer.size() - 2));
        Transfer(answer, Be16(cdb + 7), in, length);
        return;
    }
    const int startTrack = cdb[6];
    if (startTrack > tracks.back().number && startTrack != 0xAA) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    answer[2] = static_cast<uint8_t>(tracks.front().number);
    answer[3] = static_cast<uint8_t>(tracks.back().number);
    for (const DiscTrack& track : tracks) {
        if (startTrack != 0xAA && track.number >= startTrack) {
            addDescriptor(track.number, track.data, track.controlFlags, track.start);
        }
    }
    addDescriptor(0xAA, tracks.back().data, 0, disc_->LeadOut());
    PutBe16(answer.data(), static_cast<uint32_t>(answer.size() - 2));
    Transfer(answer, Be16(cdb + 7), in, length);
}

void EmulatedDrive::FullToc(const uint8_t* cdb, std::vector<uint8_t>& answer,
                            Reply& reply) const {
    // Every session from the one asked for: points A0 (first track), A1
    // (last track) and A2 (lead-out), then one point per track, with
    // binary MSF addresses as the lead-in's Q sub-channel holds them.
    const auto& tracks = disc_->Tracks();
    const int last = disc_->LastSession();
    const int from = std::max<int>(1, cdb[6]);
    if (from > last) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    auto control = [](const DiscTrack& track) {
        return static_cast<uint8_t>((track.controlFlags & 0x0B) | (track.data ? 0x04 : 0x00));
    };
    auto add = [&](int session, uint8_t ctl, uint8_t point, int pmin, int psec, int pframe) {
        const uint8_t d[11] = {static_cast<uint8_t>(session), static_cast<uint8_t>(0x10 | ctl), 0,
                               point, 0, 0, 0, 0, static_cast<uint8_t>(pmin),
                               static_cast<uint8_t>(psec), static_cast<uint8_t>(pframe)};
        answer.insert(answer.end(), d, d + 11);
    };
    auto addAddress = [&](int session, uint8_t ctl, uint8_t point, SectorAddress address) {
        const int32_t frames = address + 150;
        add(session, ctl, point, frames / kSectorsPerMinute, (frames / kSectorsPerSecond) % 60,
            frames % kSectorsPerSecond);
    };
    for (int session = from; session <= last; ++session) {
        const DiscTrack* first = nullptr;
        const DiscTrack* final = nullptr;
        for (const DiscTrack& track : tracks) {
            if (track.session == session) {
                first = first != nullptr ? first : &track;
                final = &track;
            }
        }
        if (first == nullptr) {
            continue;
        }
        add(session, control(*first), 0xA0, first->number, 0x00, 0);
        add(session, control(*final), 0xA1, final->number, 0, 0);
        addAddress(session, control(*final), 0xA2, disc_->SessionLeadOut(session));
        for (const DiscTrack& track : tracks) {
            if (track.session == session) {
                addAddress(session, control(track), static_cast<uint8_t>(track.number), track.start);
            }
        }
    }
    answer[2] = 1;
    answer[3] = static_cast<uint8_t>(last);
    PutBe16(answer.data(), static_cast<uint32_t>(answer.size() - 2));
}

void EmulatedDrive::ReadSubChannel(const uint8_t* cdb, uint8_t* in, uint32_t length,
                                   Reply& reply) {
    const bool msf = (cdb[1] & 0x02) != 0;
    const bool subQ = (cdb[2] & 0x40) != 0;
    const int format = cdb[3];
    std::vector<uint8_t> answer(4, 0);
    answer[1] = 0x15; // no current audio status
    if (!subQ) {
        Transfer(answer, Be16(cdb + 7), in, length);
        return;
    }
    const auto& tracks = disc_->Tracks();
    if ((format < 1 || format > 3) || tracks.empty()) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    answer.resize(format == 1 ? 16 : 24, 0);
    uint8_t* d = answer.data() + 4;
    d[0] = static_cast<uint8_t>(format);
    auto controlOf = [](const DiscTrack& track) {
        return static_cast<uint8_t>((track.controlFlags & 0x0B) | (track.data ? 0x04 : 0x00));
    };
    auto putAddress = [&](uint8_t* p, int32_t address, bool absolute) {
        if (!msf) {
            PutBe32(p, static_cast<uint32_t>(address));
            return;
        }
        // In a pregap the relative time runs down to zero.
        const int32_t frames = absolute ? address + 150 : address < 0 ? -address - 1 : address;
        p[1] = static_cast<uint8_t>(frames / kSectorsPerMinute);
        p[2] = static_cast<uint8_t>((frames / kSectorsPerSecond) % 60);
        p[3] = static_cast<uint8_t>(frames % kSectorsPerSecond);
    };
    if (format == 1) {
        SectorPosition position;
        if (!disc_->Position(lastAddress_, position)) {
            disc_->Position(0, position);
        }
        d[1] = static_cast<uint8_t>(0x10 | controlOf(*position.track));
        d[2] = static_cast<uint8_t>(position.track->number);
        d[3] = static_cast<uint8_t>(position.index);
        putAddress(d + 4, lastAddress_, true);
        putAddress(d + 8, position.relative, false);
    } else if (format == 2) {
        const std::string& catalog = disc_->Fields().catalog;
        if (catalog.size() == 13 && !behaviour_.noSubChannelIsrc) {
            d[4] = 0x80; // MCVal
            std::memcpy(d + 5, catalog.data(), 13);
        }
    } else {
        const auto found = std::find_if(tracks.begin(), tracks.end(), [&](const DiscTrack& t) {
            return t.number == cdb[6];
        });
        if (found == tracks.end()) {
            reply.Fail(kIllegalRequest, kAscInvalidField);
            return;
        }
        const auto index = static_cast<std::size_t>(found - tracks.begin());
        const std::string isrc = TrackIsrc(*disc_, index);
        d[1] = static_cast<uint8_t>(0x30 | controlOf(*found));
        d[2] = static_cast<uint8_t>(found->number);
        if (isrc.size() == 12 && !found->data && !behaviour_.noSubChannelIsrc) {
            d[4] = 0x80; // TCVal
            std::memcpy(d + 5, isrc.data(), 12);
        }
    }
    PutBe16(answer.data() + 2, static_cast<uint32_t>(answer.size() - 4));
    Transfer(answer, Be16(cdb + 7), in, length);
}

void EmulatedDrive::DeliverSubChannel(SectorAddress address, int selection, uint8_t* out) {
    if (selection == 4) {
        std::memset(out, 0, 96); // R-W: the disc has no graphics
        return;
    }
    const SectorAddress from = address + behaviour_.qShift;
    QFrame q = MakeQFrame(*disc_, from);
    ++qFramesDelivered_;
    if (behaviour_.badQCrcEvery != 0 && qFramesDelivered_ % behaviour_.badQCrcEvery == 0) {
        q[11] ^= 0x01; // a bit lost on the way: the CRC no longer fits
    }
    if (selection == 2) {
        std::memcpy(out, q.data(), q.size());
        std::memset(out + q.size(), 0, 16 - q.size());
        return;
    }
    SectorPosition position;
    const bool pause = from < 0 || (disc_->Position(from, position) && position.index == 0);
    MakeRawSubChannel(q, pause, out);
}

uint16_t EmulatedDrive::CurrentSpeedKBps() const {
    const uint32_t limit = throttle_.LimitKBps();
    return limit == 0 ? currentKBps_ : static_cast<uint16_t>(std::min<uint32_t>(limit, 0xFFFF));
}

void EmulatedDrive::ModeSense10(const uint8_t* cdb, uint8_t* in, uint32_t length,
                                Reply& reply) {
    const int pageControl = cdb[2] >> 6;
    const int page = cdb[2] & 0x3F;
    if (pageControl == 3) {
        reply.Fail(kIllegalRequest, kAscSavingNotSupported);
        return;
    }
    if (page != 0x2A && page != 0x3F) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    const bool blockDescriptor = (cdb[1] & 0x08) == 0;
    std::vector<uint8_t> answer(8, 0);
    if (blockDescriptor) {
        answer[7] = 8;
        uint8_t d[8] = {density_, 0, 0, 0, 0, 0, 0, 0};
        d[5] = static_cast<uint8_t>(blockLength_ >> 16);
        d[6] = static_cast<uint8_t>(blockLength_ >> 8);
        d[7] = static_cast<uint8_t>(blockLength_);
        answer.insert(answer.end(), d, d + 8);
    }
    // Page 0x2A, CD capabilities and mechanical status (22 bytes).
    std::vector<uint8_t> p(22, 0);
    p[0] = 0x2A;
    p[1] = static_cast<uint8_t>(p.size() - 2);
    if (pageControl != 1) { // the changeable-values mask is all zero
        p[2] = 0x00;        // reads CD-ROM only
        p[4] = 0x01;        // audio play
        p[5] = static_cast<uint8_t>(0x01 | 0x02 | (OffersC2() ? 0x10 : 0x00));
        p[6] = 0x29; // tray, eject, lock
        PutBe16(&p[8], maximumKBps_);
        PutBe16(&p[10], 256); // volume levels
        // The buffer size in kB: 64, or what the cache holds when larger.
        const uint64_t cacheKB = (uint64_t{behaviour_.cacheSectors} * kSectorBytes + 1023) / 1024;
        PutBe16(&p[12], static_cast<uint32_t>(std::clamp<uint64_t>(cacheKB, 64, 0xFFFF)));
        PutBe16(&p[14], pageControl == 2 ? maximumKBps_ : CurrentSpeedKBps());
    }
    answer.insert(answer.end(), p.begin(), p.end());
    PutBe16(answer.data(), static_cast<uint32_t>(answer.size() - 2));
    Transfer(answer, Be16(cdb + 7), in, length);
}

void EmulatedDrive::ModeSelect(const uint8_t* cdb, const uint8_t* out, uint32_t length,
                               Reply& reply) {
    const bool ten = cdb[0] == 0x55;
    const uint32_t listLength = ten ? Be16(cdb + 7) : cdb[4];
    const uint32_t headerLength = ten ? 8 : 4;
    if (listLength == 0) {
        return; // nothing to change
    }
    if (listLength > length || listLength < headerLength) {
        reply.Fail(kIllegalRequest, kAscParameterListLength);
        return;
    }
    const uint32_t descriptorLength = ten ? Be16(out + 6) : out[3];
    if (descriptorLength == 0) {
        return; // only mode pages, which this drive keeps as they are
    }
    if (descriptorLength != 8 || headerLength + descriptorLength > listLength) {
        reply.Fail(kIllegalRequest, kAscParameterListLength);
        return;
    }
    const uint8_t* d = out + headerLength;
    const uint8_t density = d[0];
    const uint32_t block = Be24(d + 5);
    const bool audio = block == static_cast<uint32_t>(kSectorBytes) &&
                       (density == kDensityCdda || density == 0x00);
    const bool data = block == kDataBlock && density == 0x00;
    if (!audio && !data) {
        reply.Fail(kIllegalRequest, kAscInvalidParameter);
        return;
    }
    density_ = density;
    blockLength_ = block;
}

void EmulatedDrive::SetCdSpeed(const uint8_t* cdb, Reply&) {
    const uint32_t requested = Be16(cdb + 2);
    lastSetSpeed_ = static_cast<int32_t>(requested);
    if (requested == 0xFFFF) {
        throttle_.SetLimitKBps(0);
        return;
    }
    // A drive rounds to what it can: not below single speed, not above its
    // maximum.
    throttle_.SetLimitKBps(std::clamp<uint32_t>(requested, 176, std::max<uint32_t>(
                                                                   maximumKBps_, 176)));
}

bool EmulatedDrive::CheckRange(int64_t address, int64_t count, Reply& reply) const {
    // Sectors between two sessions (a lead-out and a lead-in) are no
    // logical blocks of the program area.
    if (address < 0 || count < 0 || address + count > disc_->LeadOut() ||
        (count == 0 && address > disc_->LeadOut()) ||
        (count > 0 && disc_->IsBetweenSessions(static_cast<SectorAddress>(address),
                                               static_cast<int32_t>(count)))) {
        reply.Fail(kIllegalRequest, kAscOutOfRange);
        return false;
    }
    return true;
}

void EmulatedDrive::ReadAudioRun(int64_t address, int64_t count, uint8_t* in, Reply& reply) {
    for (int64_t i = 0; i < count; ++i) {
        if (disc_->IsDataSector(static_cast<SectorAddress>(address + i))) {
            reply.Fail(kIllegalRequest, kAscIllegalModeForTrack);
            return;
        }
    }
    const auto sectors = static_cast<int32_t>(count);
    if (behaviour_.cacheSectors == 0 && behaviour_.offsetSamples == 0) {
        const int32_t read =
            disc_->ReadSectors(static_cast<SectorAddress>(address), sectors, in, readNumber_);
        readNumber_ += static_cast<uint64_t>(count);
        reply.sectorsRead += read;
        if (read < sectors) {
            reply.Fail(kMediumError, kAscUnrecoveredRead);
        }
        return;
    }
    for (int32_t i = 0; i < sectors; ++i) {
        if (!DeliverSector(static_cast<SectorAddress>(address + i), in + int64_t{i} * kSectorBytes)) {
            reply.Fail(kMediumError, kAscUnrecoveredRead);
            return;
        }
        ++reply.sectorsRead;
    }
}

bool EmulatedDrive::PressedBytes(int64_t firstByte, uint8_t* out, uint32_t count,
                                 bool asPressed) {
    const int64_t discBytes = int64_t{disc_->LeadOut()} * kSectorBytes;
    uint8_t raw[kSectorBytes];
    int64_t at = firstByte;
    uint32_t done = 0;
    while (done < count) {
        const int64_t sector = at >= 0 ? at / kSectorBytes : (at - kSectorBytes + 1) / kSectorBytes;
        const auto within = static_cast<uint32_t>(at - sector * kSectorBytes);
        const uint32_t take = std::min<uint32_t>(count - done, kSectorBytes - within);
        if (at < 0 || at >= discBytes) {
            std::memset(out + done, 0, take);
        } else {
            const auto address = static_cast<SectorAddress>(sector);
            if (!(asPressed ? disc_->CleanSector(address, raw)
                            : disc_->ReadSector(address, raw, readNumber_++))) {
                return false;
            }
            std::memcpy(out + done, raw + within, take);
        }
        done += take;
        at += take;
    }
    return true;
}

void EmulatedDrive::FlagErrors(const uint8_t* read, const uint8_t* pressed, SectorAddress address,
                               uint64_t readNumber, uint8_t* errorBits) const {
    for (int i = 0; i < kSectorBytes; ++i) {
        // Whether the drive misses a wrong byte is a draw of its own
        // (another byte position than the damage's) per byte and reading.
        const bool missed =
            behaviour_.c2MissPercent != 0 &&
            DamageHash(address, 2 * kSectorBytes + i, readNumber) % 100 < behaviour_.c2MissPercent;
        if (read[i] != pressed[i] && !missed) {
            errorBits[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
        }
    }
}

bool EmulatedDrive::DeliverSector(SectorAddress address, uint8_t* out, uint8_t* errorBits) {
    auto cached = cache_.find(address);
    if (cached != cache_.end()) {
        std::memcpy(out, cached->second.data.data(), kSectorBytes);
        if (errorBits != nullptr) {
            std::memcpy(errorBits, cached->second.errorBits.data(), 294);
        }
        return true;
    }
    std::array<uint8_t, 294> bits{};
    const uint64_t reading = readNumber_;
    // Offset +N: sample j is the pressed disc's sample j - N. The sector's
    // bytes come from one disc sector, or two when the offset is not whole.
    const int64_t first = int64_t{address} * kSectorBytes - int64_t{behaviour_.offsetSamples} * 4;
    auto sectorOf = [](int64_t byte) {
        return byte >= 0 ? byte / kSectorBytes : (byte - kSectorBytes + 1) / kSectorBytes;
    };
    const int64_t firstSector = sectorOf(first);
    const int64_t lastSector = sectorOf(first + kSectorBytes - 1);
    if (!PressedBytes(first, out, kSectorBytes)) {
        return false;
    }
    bool damaged = false;
    for (int64_t s = firstSector; s <= lastSector; ++s) {
        const auto at = static_cast<SectorAddress>(s);
        damaged = damaged || disc_->IsUnstable(at) || disc_->IsFlaky(at);
    }
    uint8_t pressed[kSectorBytes];
    if (damaged && PressedBytes(first, pressed, kSectorBytes, true)) {
        // The bytes this reading got wrong are the ones it flags.
        FlagErrors(out, pressed, address, reading, bits.data());
    }
    if (errorBits != nullptr) {
        std::memcpy(errorBits, bits.data(), bits.size());
    }
    if (behaviour_.cacheSectors != 0) {
        CacheSlot& slot = cache_[address];
        std::memcpy(slot.data.data(), out, kSectorBytes);
        slot.errorBits = bits;
        cacheOrder_.push_back(address);
        while (cacheOrder_.size() > behaviour_.cacheSectors) {
            cache_.erase(cacheOrder_.front());
            cacheOrder_.pop_front();
        }
    }
    return true;
}

void EmulatedDrive::ReadCd(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply) {
    const int expected = (cdb[1] >> 2) & 0x07;
    const int64_t address = static_cast<int32_t>(Be32(cdb + 2));
    const int64_t count = Be24(cdb + 6);
    const uint8_t fields = cdb[9];
    const int errorField = (fields >> 1) & 0x03;
    const int subChannel = cdb[10] & 0x07;
    const bool subChannelKnown =
        subChannel == 0 || (!behaviour_.noSubChannel &&
                            (subChannel == 1 || subChannel == 4 ||
                             (subChannel == 2 && !behaviour_.rawSubChannelOnly)));
    const bool subChannelAlone = subChannel != 0 && (fields & 0xF8) == 0 && errorField == 0;
    if (expected > 5 || errorField == 3 || !subChannelKnown ||
        (subChannelAlone && behaviour_.noSubChannelAlone) ||
        (errorField != 0 && !OffersC2())) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    if (!CheckRange(address, count, reply)) {
        return;
    }
    const uint32_t c2Bytes = errorField == 1 ? 294 : errorField == 2 ? 296 : 0;
    const uint32_t subBytes = subChannel == 2 ? 16 : subChannel != 0 ? 96 : 0;
    // The bytes one sector delivers: CD-DA sectors have nothing but their 2352
    // bytes; MODE1 sectors are cut into sync, header, user data and EDC/ECC.
    auto mainBytes = [&](bool data) -> uint32_t {
        if (!data) {
            return (fields & 0xF8) != 0 ? kSectorBytes : 0;
        }
        uint32_t n = 0;
        n += (fields & 0x80) ? 12 : 0;
        n += (fields & 0x20) ? 4 : 0;
        n += (fields & 0x10) ? kMode1UserBytes : 0;
        n += (fields & 0x08) ? 288 : 0;
        return n;
    };
    uint64_t needed = 0;
    for (int64_t i = 0; i < count; ++i) {
        needed += mainBytes(disc_->IsDataSector(static_cast<SectorAddress>(address + i))) +
                  c2Bytes + subBytes;
    }
    if (needed > length) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    if (c2Bytes == 0 && subBytes == 0 && (expected == 0 || expected == 1) && mainBytes(false) == kSectorBytes &&
        needed == static_cast<uint64_t>(count) * kSectorBytes) {
        // Plain CD-DA sectors, as the extraction reads them.
        bool allAudio = true;
        for (int64_t i = 0; i < count && allAudio; ++i) {
            allAudio = !disc_->IsDataSector(static_cast<SectorAddress>(address + i));
        }
        if (allAudio) {
            ReadAudioRun(address, count, in, reply);
            return;
        }
    }
    uint8_t raw[kSectorBytes];
    uint8_t* at = in;
    for (int64_t i = 0; i < count; ++i) {
        const auto sector = static_cast<SectorAddress>(address + i);
        const bool data = disc_->IsDataSector(sector);
        const bool typeFits = expected == 0 || (expected == 1 && !data) || (expected == 2 && data);
        if (!typeFits) {
            reply.Fail(kIllegalRequest, kAscIllegalModeForTrack);
            return;
        }
        uint8_t bits[294] = {};
        // Sub-channel alone needs no reading of the main channel.
        const bool mainWanted = mainBytes(data) != 0 || c2Bytes != 0;
        const bool delivered = !mainWanted                ? true
                               : data ? disc_->ReadSector(sector, raw, readNumber_++)
                                      : DeliverSector(sector, raw, bits);
        if (!delivered) {
            reply.Fail(kMediumError, kAscUnrecoveredRead);
            return;
        }
        if (data && disc_->IsUnstable(sector)) {
            // Every byte of an unstable data sector is unreliable.
            std::memset(bits, 0xFF, sizeof bits);
        }
        if (!data) {
            const uint32_t n = mainBytes(false);
            if (n > 0) {
                std::memcpy(at, raw, n);
                at += n;
            }
        } else {
            if (fields & 0x80) {
                std::memcpy(at, raw, 12);
                at += 12;
            }
            if (fields & 0x20) {
                std::memcpy(at, raw + 12, 4);
                at += 4;
            }
            if (fields & 0x10) {
                std::memcpy(at, raw + kMode1UserOffset, kMode1UserBytes);
                at += kMode1UserBytes;
            }
            if (fields & 0x08) {
                std::memcpy(at, raw + kMode1UserOffset + kMode1UserBytes, 288);
                at += 288;
            }
        }
        if (c2Bytes != 0) {
            std::memcpy(at, bits, 294);
            if (c2Bytes == 296) {
                uint8_t any = 0;
                for (const uint8_t b : bits) {
                    any |= b;
                }
                at[294] = any; // the OR of the sector's C2 bytes
                at[295] = 0;
            }
            at += c2Bytes;
        }
        if (subBytes != 0) {
            DeliverSubChannel(sector, subChannel, at);
            at += subBytes;
        }
        ++reply.sectorsRead;
    }
}

void EmulatedDrive::ReadCdda(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply) {
    const int64_t address = static_cast<int32_t>(Be32(cdb + 2));
    const int64_t count = Be32(cdb + 6);
    if (cdb[10] != 0) {
        reply.Fail(kIllegalRequest, kAscInvalidField); // no sub-code
        return;
    }
    if (!CheckRange(address, count, reply)) {
        return;
    }
    if (static_cast<uint64_t>(count) * kSectorBytes > length) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    ReadAudioRun(address, count, in, reply);
}

void EmulatedDrive::Read10(const uint8_t* cdb, uint8_t* in, uint32_t length, Reply& reply) {
    const int64_t address = static_cast<int32_t>(Be32(cdb + 2));
    const int64_t count = Be16(cdb + 7);
    if (!CheckRange(address, count, reply)) {
        return;
    }
    if (static_cast<uint64_t>(count) * blockLength_ > length) {
        reply.Fail(kIllegalRequest, kAscInvalidField);
        return;
    }
    const bool audioBlocks = blockLength_ == static_cast<uint32_t>(kSectorBytes);
    if (audioBlocks) {
        ReadAudioRun(address, count, in, reply);
        return;
    }
    uint8_t raw[kSectorBytes];
    for (int64_t i = 0; i < count; ++i) {
        const auto sector = static_cast<SectorAddress>(address + i);
        if (disc_->IsDataSector(sector) == audioBlocks) {
            // 2352-byte blocks are CD-DA; 2048-byte blocks are MODE1 user data.
            reply.Fail(kIllegalRequest, kAscIllegalModeForTrack);
            return;
        }
        if (!disc_->ReadSector(sector, raw, readNumber_++)) {
            reply.Fail(kMediumError, kAscUnrecoveredRead);
            return;
        }
        if (audioBlocks) {
            std::memcpy(in + i * kSectorBytes, raw, kSectorBytes);
        } else {
            // Mode 2 form 1 sectors (CD-ROM XA) carry an 8-byte subheader
            // before their user data.
            const int offset = raw[15] == 2 ? kMode1UserOffset + 8 : kMode1UserOffset;
            std::memcpy(in + i * kDataBlock, raw + offset, kDataBlock);
        }
        ++reply.sectorsRead;
    }
}

void EmulatedDrive::SetIdentity(std::string vendor, std::string product, std::string revision) {
    std::lock_guard<std::mutex> lock(mutex_);
    vendor_ = Padded(std::move(vendor), 8);
    product_ = Padded(std::move(product), 16);
    revision_ = Padded(std::move(revision), 4);
}

void EmulatedDrive::SetAcceptedReads(bool readCd, bool readCdda, bool read10) {
    std::lock_guard<std::mutex> lock(mutex_);
    acceptReadCd_ = readCd;
    acceptReadCdda_ = readCdda;
    acceptRead10_ = read10;
}

void EmulatedDrive::SetC2Supported(bool supported) {
    std::lock_guard<std::mutex> lock(mutex_);
    c2Supported_ = supported;
}

void EmulatedDrive::Eject() {
    std::lock_guard<std::mutex> lock(mutex_);
    disc_.reset();
    mediumChanged_ = false;
    cache_.clear();
    cacheOrder_.clear();
}

void EmulatedDrive::Insert(std::shared_ptr<const Disc> disc) {
    std::lock_guard<std::mutex> lock(mutex_);
    disc_ = std::move(disc);
    mediumChanged_ = true;
    Adopt(disc_ ? disc_->Drive() : DriveBehaviour{});
}

void EmulatedDrive::SetBehaviour(const DriveBehaviour& behaviour) {
    std::lock_guard<std::mutex> lock(mutex_);
    Adopt(behaviour);
}

DriveBehaviour EmulatedDrive::Behaviour() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return behaviour_;
}

void EmulatedDrive::SetSpeedLimitKBps(uint32_t kbps) {
    std::lock_guard<std::mutex> lock(mutex_);
    throttle_.SetLimitKBps(kbps);
}

void EmulatedDrive::SetReportedSpeeds(uint16_t maximumKBps, uint16_t currentKBps) {
    std::lock_guard<std::mutex> lock(mutex_);
    maximumKBps_ = maximumKBps;
    currentKBps_ = currentKBps;
}

void EmulatedDrive::SetClockForTesting(ThrottleClock clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ = std::move(clock);
    loadedAt_ = clock_.now(); // the disc counts as going in on the new clock
}

uint64_t EmulatedDrive::CommandCount(uint8_t opcode) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commandCounts_[opcode];
}

int32_t EmulatedDrive::LastSetSpeedValue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastSetSpeed_;
}

uint32_t EmulatedDrive::BlockLength() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blockLength_;
}

uint32_t EmulatedDrive::SpeedLimitKBps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return throttle_.LimitKBps();
}

std::shared_ptr<const Disc> EmulatedDrive::CurrentDisc() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return disc_;
}

} // namespace vindral::emulated
